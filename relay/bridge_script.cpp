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
// here, because the script runs before any script of the page.
constexpr char kScriptHead[] = R"JS((function () {
  'use strict';
  var initData = )JS";
constexpr char kScriptMiddle[] = R"JS(;
  var serial = )JS";
constexpr char kScriptTail[] = R"JS(;
  var stringify = JSON.stringify;
  var toText = String;
  var handlers = (window.webkit && window.webkit.messageHandlers) || {};
  var sendData = handlers.ocsFnSendData;
  var session = handlers.ocsFnSession;
  var init = handlers.ocsFnInit;
  function post(handler, text) {
    if (handler) handler.postMessage(stringify([serial, toText(text)]));
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
      case u'<': case u'>': case u'&': case 0x2028: case 0x2029: case 0x7F:
        AppendEscape(out, u);
        continue;
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
  const JsonValue& number = value->items[0];
  const JsonValue& text = value->items[1];
  if (number.kind != JsonValue::kNumber || text.kind != JsonValue::kString) return std::nullopt;
  if (!(number.number >= 0 && number.number <= 4294967295.0) ||
      number.number != static_cast<double>(static_cast<unsigned long long>(number.number))) {
    return std::nullopt;
  }
  return CBridgeCall{static_cast<unsigned int>(number.number), text.text};
}

std::string BridgeScript(const std::u16string& init_text, unsigned int serial) {
  return kScriptHead + JsonStringLiteral(init_text) + kScriptMiddle + std::to_string(serial) +
         kScriptTail;
}
