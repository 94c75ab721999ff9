#include "common/json_reader.h"

#include <cstdint>
#include <type_traits>

#include "foundation/error_codes.h"
#include "foundation/library.h"

namespace {

constexpr bool IsSpace(char16_t c) { return c == u'\t' || c == u'\n' || c == u'\r' || c == u' '; }
constexpr bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
constexpr char16_t AsciiLower(char16_t c) {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

// True when the text at `p` starts with the lower-case ASCII `word`, ignoring case; never
// reads past the terminating zero.
bool StartsWithNoCase(const char16_t* p, const char* word) {
  for (; *word != '\0'; ++p, ++word) {
    if (*p == u'\0' || AsciiLower(*p) != static_cast<char16_t>(*word)) return false;
  }
  return true;
}

int HexValue(char16_t c) {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  return -1;
}

// Exponents are counted up to this bound only: past it every finite value has already
// become zero or infinity, so the result is the same.
constexpr uint32_t kExponentCap = 100000;

static_assert(std::is_nothrow_move_constructible_v<JsonValue>,
              "arrays must grow without copying subtrees");

// One parse over a cursor; owns nothing but the nesting depth. Each reader fills the
// node it is given and returns false on an error (the caller frees the tree).
class JsonParser {
 public:
  explicit JsonParser(const char16_t*& cursor) : p_(cursor) {}

  bool Value(JsonValue& out) {
    const char16_t c = *p_;
    if (c == u'"') {
      out.kind = JsonValue::kString;
      return StringText(out.text);
    }
    if (StartsWithNoCase(p_, "true")) return Literal(out, JsonValue::kBool, 1, 4);
    if (StartsWithNoCase(p_, "false")) return Literal(out, JsonValue::kBool, 0, 5);
    if (StartsWithNoCase(p_, "null")) return Literal(out, JsonValue::kNull, 0, 4);
    if (c == u'-' || IsDigit(c)) return Number(out);
    if (c == u'[') return Nested(&JsonParser::Array, out);
    if (c == u'{') return Nested(&JsonParser::Object, out);
    return false;
  }

 private:
  using Reader = bool (JsonParser::*)(JsonValue&);

  bool Nested(Reader reader, JsonValue& out) {
    if (depth_ >= kJsonMaxDepth) return false;
    ++depth_;
    const bool ok = (this->*reader)(out);
    --depth_;
    return ok;
  }

  bool Literal(JsonValue& out, int kind, int flag, int length) {
    out.kind = kind;
    out.flag = flag;
    p_ += length;
    return true;
  }

  // Reads digits as value * 10 + digit.
  double Digits() {
    double value = 0;
    while (IsDigit(*p_)) value = value * 10 + (*p_++ - u'0');
    return value;
  }

  bool Number(JsonValue& out) {
    const bool negative = *p_ == u'-';
    if (negative) ++p_;
    double value = 0;
    if (*p_ == u'0') {
      ++p_;
    } else if (IsDigit(*p_)) {
      value = Digits();
    } else {
      return false;
    }
    if (*p_ == u'.') {
      ++p_;
      if (!IsDigit(*p_)) return false;
      double factor = 0.1;
      while (IsDigit(*p_)) {
        value += (*p_++ - u'0') * factor;
        factor *= 0.1;
      }
    }
    if (*p_ == u'e' || *p_ == u'E') {
      ++p_;
      bool divide = false;
      if (*p_ == u'+' || *p_ == u'-') divide = *p_++ == u'-';
      if (!IsDigit(*p_)) return false;
      uint32_t exponent = 0;
      while (IsDigit(*p_)) {
        if (exponent < kExponentCap) exponent = exponent * 10 + static_cast<uint32_t>(*p_ - u'0');
        ++p_;
      }
      for (uint32_t i = 0; i < exponent && value != 0 && value - value == 0; ++i) {
        value = divide ? value / 10 : value * 10;
      }
    }
    out.kind = JsonValue::kNumber;
    out.number = negative ? -value : value;
    return true;
  }

  // Reads a string body into `out`; the cursor stands on the opening quote.
  bool StringText(std::u16string& out) {
    ++p_;
    for (;;) {
      const char16_t* run = p_;
      while (*p_ >= 0x20 && *p_ != u'"' && *p_ != u'\\') ++p_;
      out.append(run, p_);
      const char16_t c = *p_;
      if (c == u'"') {
        ++p_;
        return true;
      }
      if (c == u'\\') {
        if (!Escape(out)) return false;
      } else if (c == u'\t') {
        out.push_back(c);
        ++p_;
      } else {
        return false;  // terminating zero or a raw control character
      }
    }
  }

  bool Escape(std::u16string& out) {
    ++p_;  // the backslash
    char16_t c;
    switch (*p_) {
      case u'"': c = u'"'; break;
      case u'/': c = u'/'; break;
      case u'\\': c = u'\\'; break;
      case u'b': c = u'\b'; break;
      case u'f': c = u'\f'; break;
      case u'n': c = u'\n'; break;
      case u'r': c = u'\r'; break;
      case u't': c = u'\t'; break;
      case u'u': {
        uint32_t unit = 0;
        for (int i = 1; i <= 4; ++i) {
          const int digit = HexValue(p_[i]);  // stops at the terminating zero
          if (digit < 0) return false;
          unit = (unit << 4) | static_cast<uint32_t>(digit);
        }
        p_ += 4;
        c = static_cast<char16_t>(unit);
        break;
      }
      default: return false;
    }
    out.push_back(c);
    ++p_;
    return true;
  }

  bool Array(JsonValue& out) {
    ++p_;
    out.kind = JsonValue::kArray;
    for (;;) {
      if (!SkipSpace(p_)) return false;
      if (out.items.empty() && *p_ == u']') break;
      out.items.emplace_back();
      if (!Value(out.items.back())) return false;
      if (!SkipSpace(p_)) return false;
      if (*p_ == u']') break;
      if (*p_ != u',') return false;
      ++p_;
    }
    ++p_;
    return true;
  }

  bool Object(JsonValue& out) {
    ++p_;
    out.kind = JsonValue::kObject;
    bool first = true;
    std::u16string key;
    for (;;) {
      if (!SkipSpace(p_)) return false;
      if (first && *p_ == u'}') break;
      first = false;
      if (*p_ != u'"') return false;
      key.clear();
      if (!StringText(key)) return false;
      SkipSpace(p_);
      if (*p_ != u':') return false;
      ++p_;
      SkipSpace(p_);
      // A later member replaces an earlier one of the same key.
      JsonValue& member = out.members[key];
      member = JsonValue();
      if (!Value(member)) return false;
      if (!SkipSpace(p_)) return false;
      if (*p_ == u'}') break;
      if (*p_ != u',') return false;
      ++p_;
    }
    ++p_;
    return true;
  }

  const char16_t*& p_;
  int depth_ = 0;
};

}  // namespace

bool SkipSpace(const char16_t*& cursor) {
  if (cursor == nullptr) return false;
  while (IsSpace(*cursor)) ++cursor;
  return *cursor != u'\0';
}

std::unique_ptr<JsonValue> ParseJson(const char16_t*& cursor) {
  if (cursor == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return nullptr;
  }
  auto value = std::make_unique<JsonValue>();
  if (!JsonParser(cursor).Value(*value)) return nullptr;
  return value;
}

std::unique_ptr<JsonValue> ParseJsonText(const char16_t* text) {
  const char16_t* cursor = text;
  if (!SkipSpace(cursor)) return nullptr;
  std::unique_ptr<JsonValue> value = ParseJson(cursor);
  if (!value || SkipSpace(cursor)) return nullptr;
  return value;
}

std::unique_ptr<JsonValue> ParseJsonText(const std::u16string& text) {
  return ParseJsonText(text.c_str());
}

std::u16string JsonStringMember(const JsonValue* object, const std::u16string& key) {
  if (object == nullptr || object->kind != JsonValue::kObject) return std::u16string();
  const auto it = object->members.find(key);
  if (it == object->members.end() || it->second.kind != JsonValue::kString) return std::u16string();
  return it->second.text;
}
