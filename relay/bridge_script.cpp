#include "relay/bridge_script.h"

#include <cstdio>

#include "common/json_reader.h"
#include "relay/ansi_text.h"

namespace {

void AppendEscape(std::string& out, char16_t unit) {
  char escape[8];
  std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned int>(unit));
  out += escape;
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

bool IsHigh(char16_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLow(char16_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

// The script around the request text; the page cannot replace the functions it captures
// here, because the script runs before any script of the page. A frame of any other
// origin returns at once: it gets neither the functions nor the token.
constexpr char kScriptHead[] = R"JS((function () {
  'use strict';
  var trusted = )JS";
constexpr char kScriptInit[] = R"JS(;
  var here = self.origin, allowed = false;
  for (var i = 0; i < trusted.length; i++) if (trusted[i] === here) allowed = true;
  if (!allowed) return;
  var initData = )JS";
constexpr char kScriptToken[] = R"JS(;
  var token = )JS";
constexpr char kScriptTail[] = R"JS(;
  var stringify = JSON.stringify;
  var toText = String;
  var handlers = (window.webkit && window.webkit.messageHandlers) || {};
  var sendData = handlers.ocsFnSendData;
  var session = handlers.ocsFnSession;
  var init = handlers.ocsFnInit;
  function post(handler, text) {
    if (handler) handler.postMessage(stringify([token, toText(text)]));
  }
  function ocsFnInit() {
    if (window.top === window) {
      if (typeof OCS_initUI === 'function') OCS_initUI(initData);
      return;
    }
    var top = window.top, initUI;
    try {
      initUI = top.OCS_initUI;
    } catch (e) {
      post(init, '');
      return;
    }
    if (typeof initUI === 'function') initUI.call(top, initData);
  }
  var external = {
    ocsFnInit: ocsFnInit,
    ocsFnSendData: function (text) { post(sendData, text); },
    ocsFnSession: function (text) { post(session, text); }
  };
  Object.freeze(external);
  try {
    Object.defineProperty(window, 'external', { value: external, enumerable: true });
  } catch (e) {
    window.external = external;
  }
})();
)JS";

// Only primitive operations: the document may have replaced any built-in function, but
// not window.location, whose properties cannot be redefined.
constexpr char kInitUiHead[] = R"JS((function (trusted, text) {
  var here = window.location.origin;
  for (var i = 0; i < trusted.length; i++) {
    if (trusted[i] === here) {
      if (typeof OCS_initUI === 'function') OCS_initUI(text);
      return;
    }
  }
})()JS";

std::string ArrayLiteral(const std::vector<std::string>& texts) {
  std::string out = "[";
  for (const std::string& text : texts) {
    if (out.size() > 1) out += ',';
    out += JsonStringLiteral(Utf8ToWide(text));
  }
  return out + "]";
}

}  // namespace

std::string JsonStringLiteral(const std::u16string& text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t u = text[i];
    switch (u) {
      case u'"': out += "\\\""; continue;
      case u'\\': out += "\\\\"; continue;
      case u'\b': out += "\\b"; continue;
      case u'\f': out += "\\f"; continue;
      case u'\n': out += "\\n"; continue;
      case u'\r': out += "\\r"; continue;
      case u'\t': out += "\\t"; continue;
      case u'<':
      case u'>':
      case u'&':
      case 0x2028:
      case 0x2029:
      case 0x7F: AppendEscape(out, u); continue;
      default: break;
    }
    if (u < 0x20) {
      AppendEscape(out, u);
    } else if (IsHigh(u) && i + 1 < text.size() && IsLow(text[i + 1])) {
      AppendUtf8(out, 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) +
                          (static_cast<char32_t>(text[i + 1]) - 0xDC00));
      ++i;
    } else if (IsHigh(u) || IsLow(u)) {
      AppendEscape(out, u);  // unpaired: kept as the code unit it is
    } else {
      AppendUtf8(out, u);
    }
  }
  out += '"';
  return out;
}

std::optional<CBridgeCall> ParseBridgeCall(const std::string& utf8) {
  const std::optional<std::u16string> wide = Utf8ToWideStrict(utf8);
  if (!wide) return std::nullopt;
  const std::unique_ptr<JsonValue> value = ParseJsonText(*wide);
  if (!value || value->kind != JsonValue::kArray || value->items.size() != 2) return std::nullopt;
  const JsonValue& token = value->items[0];
  const JsonValue& text = value->items[1];
  if (token.kind != JsonValue::kString || text.kind != JsonValue::kString) return std::nullopt;
  return CBridgeCall{WideToUtf8(token.text), text.text};
}

std::string BridgeScript(const std::u16string& init_text, const std::string& token,
                         const std::vector<std::string>& trusted) {
  return kScriptHead + ArrayLiteral(trusted) + kScriptInit + JsonStringLiteral(init_text) +
         kScriptToken + JsonStringLiteral(Utf8ToWide(token)) + kScriptTail;
}

std::string InitUiScript(const std::u16string& text, const std::vector<std::string>& trusted) {
  return kInitUiHead + ArrayLiteral(trusted) + "," + JsonStringLiteral(text) + ");";
}
