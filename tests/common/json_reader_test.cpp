#include "common/json_reader.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "foundation/error_codes.h"
#include "foundation/library.h"

namespace {

std::unique_ptr<JsonValue> Whole(const std::u16string& text) { return ParseJsonText(text); }

// Parses one value at the start of `text`; `rest` receives what follows it.
std::unique_ptr<JsonValue> Prefix(const std::u16string& text, std::u16string* rest = nullptr) {
  const char16_t* cursor = text.c_str();
  auto value = ParseJson(cursor);
  if (rest != nullptr) *rest = cursor;
  return value;
}

double Number(const std::u16string& text) {
  auto v = Whole(text);
  EXPECT_TRUE(v && v->kind == JsonValue::kNumber) << std::string(text.begin(), text.end());
  return v && v->kind == JsonValue::kNumber ? v->number : NAN;
}

TEST(JsonReader, LiteralsIgnoreCase) {
  for (const char16_t* t : {u"true", u"TRUE", u"tRuE"}) {
    auto v = Whole(t);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->kind, JsonValue::kBool);
    EXPECT_EQ(v->flag, 1);
  }
  auto f = Whole(u"False");
  ASSERT_TRUE(f);
  EXPECT_EQ(f->kind, JsonValue::kBool);
  EXPECT_EQ(f->flag, 0);
  auto n = Whole(u"NULL");
  ASSERT_TRUE(n);
  EXPECT_EQ(n->kind, JsonValue::kNull);

  EXPECT_FALSE(Whole(u"tru"));
  EXPECT_FALSE(Whole(u"nul"));
  EXPECT_FALSE(Whole(u"fals"));
  std::u16string rest;
  EXPECT_TRUE(Prefix(u"truex", &rest));  // the literal is read; trailing text is left
  EXPECT_EQ(rest, u"x");
  EXPECT_FALSE(Whole(u"truex"));
}

TEST(JsonReader, NumbersFollowTheDigitAlgorithm) {
  EXPECT_EQ(Number(u"0"), 0.0);
  EXPECT_EQ(Number(u"123"), 123.0);
  EXPECT_EQ(Number(u"-42"), -42.0);
  EXPECT_EQ(Number(u"1e3"), 1000.0);
  EXPECT_EQ(Number(u"1.5E-1"), 0.15);
  EXPECT_EQ(Number(u"2E+2"), 200.0);
  EXPECT_EQ(Number(u"0.25"), 0.25);
  EXPECT_EQ(Number(u"1.1"), 1.0 + 1 * 0.1);
  EXPECT_TRUE(std::signbit(Number(u"-0")));

  for (const char16_t* bad : {u"1.", u"1.e5", u"1e", u"1e+", u"1E-", u"-", u"-a", u".5", u"+1"}) {
    EXPECT_FALSE(Whole(bad)) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
  }
  std::u16string rest;
  auto zero = Prefix(u"01", &rest);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->number, 0.0);
  EXPECT_EQ(rest, u"1");
  EXPECT_FALSE(Whole(u"01"));
}

TEST(JsonReader, HugeNumbersSaturateQuickly) {
  EXPECT_TRUE(std::isinf(Number(std::u16string(400, u'9'))));
  EXPECT_TRUE(std::isinf(Number(u"1e999999999999999999999")));
  EXPECT_EQ(Number(u"1e-999999999999999999999"), 0.0);
  EXPECT_EQ(Number(u"0e999999999"), 0.0);
  double repeated = 1;  // the exponent is ten multiplications, not a correctly rounded power
  for (int i = 0; i < 308; ++i) repeated *= 10;
  EXPECT_EQ(Number(u"1e308"), repeated);
  EXPECT_TRUE(std::isinf(Number(u"1e309")));
  EXPECT_EQ(Number(u"0." + std::u16string(5000, u'0') + u"1"), 0.0);
}

TEST(JsonReader, StringsAndEscapes) {
  auto s = Whole(u"\"a\\\"b\\/c\\\\d\\b\\f\\n\\r\\t\\u0041\\u00e9\\u00E9\"");
  ASSERT_TRUE(s);
  EXPECT_EQ(s->kind, JsonValue::kString);
  EXPECT_EQ(s->text, u"a\"b/c\\d\b\f\n\r\tA\u00e9\u00e9");

  // Surrogate halves are taken one unit at a time, paired or not.
  auto lone = Whole(u"\"\\uD83D x \\uDE00\"");
  ASSERT_TRUE(lone);
  EXPECT_EQ(lone->text, (std::u16string{0xD83D, u' ', u'x', u' ', 0xDE00}));
  std::u16string raw_lone = u"\"";
  raw_lone += char16_t{0xDC00};
  raw_lone += u"\"";
  auto copied = Whole(raw_lone);
  ASSERT_TRUE(copied);
  EXPECT_EQ(copied->text, std::u16string(1, char16_t{0xDC00}));

  auto tab = Whole(u"\"a\tb\"");
  ASSERT_TRUE(tab);
  EXPECT_EQ(tab->text, u"a\tb");
  EXPECT_FALSE(Whole(u"\"a\nb\""));
  EXPECT_FALSE(Whole(u"\"a\x01\""));

  for (const char16_t* bad : {u"\"abc", u"\"\\", u"\"\\u12", u"\"\\u12\"", u"\"\\u12g4\"",
                              u"\"\\x\"", u"\"\\U0041\"", u"\""}) {
    EXPECT_FALSE(Whole(bad));
  }
}

TEST(JsonReader, ObjectsKeepTheLaterMemberAndCodeUnitOrder) {
  auto o = Whole(u" { \"b\" : 1 , \"a\":2, \"a\" : \"x\", \"\u00e9\":null,\"B\":[] } ");
  ASSERT_TRUE(o);
  ASSERT_EQ(o->kind, JsonValue::kObject);
  ASSERT_EQ(o->members.size(), 4u);
  EXPECT_EQ(o->members.at(u"a").kind, JsonValue::kString);
  EXPECT_EQ(o->members.at(u"a").text, u"x");
  std::u16string keys;
  for (const auto& m : o->members) keys += m.first;
  EXPECT_EQ(keys, u"Bab\u00e9");

  EXPECT_EQ(JsonStringMember(o.get(), u"a"), u"x");
  EXPECT_EQ(JsonStringMember(o.get(), u"b"), u"");  // a number reads as empty
  EXPECT_EQ(JsonStringMember(o.get(), u"missing"), u"");
  EXPECT_EQ(JsonStringMember(&o->members.at(u"B"), u"a"), u"");
  EXPECT_EQ(JsonStringMember(nullptr, u"a"), u"");
}

// Every field of a value, whatever its kind, so that leftovers of an earlier value show.
std::string Dump(const JsonValue& v) {
  std::string out = "<" + std::to_string(v.kind) + " \"" +
                    std::string(v.text.begin(), v.text.end()) + "\" " + std::to_string(v.flag) +
                    " " + std::to_string(v.number) + " [";
  for (const JsonValue& item : v.items) out += Dump(item) + ",";
  out += "] {";
  for (const auto& m : v.members)
    out += std::string(m.first.begin(), m.first.end()) + ":" + Dump(m.second) + ",";
  return out + "}>";
}

TEST(JsonReader, ARepeatedKeyTakesOnlyTheLaterValue) {
  struct Case {
    const char16_t* earlier;
    const char16_t* later;
  };
  const Case cases[] = {
      {u"\"x\"", u"\"y\""},                                  // strings are not joined
      {u"[1, \"a\"]", u"[2]"},                               // arrays are not appended
      {u"{\"p\": 1, \"q\": [3]}", u"{\"p\": 2, \"r\": 4}"},  // objects are not merged
      {u"[1]", u"\"s\""},                                    // a new kind keeps nothing of the old
      {u"{\"p\": true}", u"7"},
      {u"\"x\"", u"[]"},
  };
  for (const Case& c : cases) {
    const std::u16string text =
        u"{\"k\": " + std::u16string(c.earlier) + u", \"k\": " + c.later + u"}";
    SCOPED_TRACE(std::string(text.begin(), text.end()));
    auto object = Whole(text);
    auto later = Whole(c.later);
    ASSERT_TRUE(object);
    ASSERT_TRUE(later);
    ASSERT_EQ(object->members.size(), 1u);
    EXPECT_EQ(Dump(object->members.at(u"k")), Dump(*later));
  }
}

TEST(JsonReader, ArraysAndObjectsRefuseTrailingCommasAndAcceptEmptyBodies) {
  auto a = Whole(u"[1, \"two\", [true, null], {\"k\": false}]");
  ASSERT_TRUE(a);
  ASSERT_EQ(a->items.size(), 4u);
  EXPECT_EQ(a->items[0].number, 1.0);
  EXPECT_EQ(a->items[1].text, u"two");
  EXPECT_EQ(a->items[2].items.size(), 2u);
  EXPECT_EQ(a->items[3].members.at(u"k").flag, 0);

  auto empty_array = Whole(u"[ \t\r\n]");
  ASSERT_TRUE(empty_array);
  EXPECT_EQ(empty_array->kind, JsonValue::kArray);
  EXPECT_TRUE(empty_array->items.empty());
  auto empty_object = Whole(u"{   }");
  ASSERT_TRUE(empty_object);
  EXPECT_EQ(empty_object->kind, JsonValue::kObject);
  EXPECT_TRUE(empty_object->members.empty());

  for (const char16_t* bad :
       {u"[1,]", u"{\"a\":1,}", u"[,1]", u"[1 2]", u"{\"a\" 1}", u"{a:1}", u"{\"a\":}", u"[", u"[1",
        u"[1,", u"{", u"{\"a\"", u"{\"a\":1", u"]", u"}", u"{,}"}) {
    EXPECT_FALSE(Whole(bad)) << std::string(bad, bad + std::char_traits<char16_t>::length(bad));
  }
}

TEST(JsonReader, WholeTextRule) {
  EXPECT_FALSE(Whole(u""));
  EXPECT_FALSE(Whole(u" \t\r\n"));
  EXPECT_FALSE(Whole(u"{} x"));
  EXPECT_FALSE(Whole(u"{}{}"));
  EXPECT_FALSE(Whole(u"\f{}"));  // only tab, LF, CR and space are white space
  EXPECT_TRUE(Whole(u"\r\n{}\t "));
  EXPECT_FALSE(ParseJsonText(static_cast<const char16_t*>(nullptr)));

  // ParseJson itself skips nothing and stops right after the value.
  std::u16string rest;
  EXPECT_FALSE(Prefix(u" 1"));
  EXPECT_TRUE(Prefix(u"[1] rest", &rest));
  EXPECT_EQ(rest, u" rest");

  const char16_t* cursor = u"  \n x";
  EXPECT_TRUE(SkipSpace(cursor));
  EXPECT_EQ(*cursor, u'x');
  const char16_t* blank = u"  ";
  EXPECT_FALSE(SkipSpace(blank));
  EXPECT_EQ(*blank, u'\0');
  const char16_t* none = nullptr;
  EXPECT_FALSE(SkipSpace(none));
  EXPECT_FALSE(ParseJson(none));
  EXPECT_EQ(VGSLib::GetErrorCode(), VGS_ERR_NULL_ARGUMENT);
}

TEST(JsonReader, NestingIsLimited) {
  auto nested = [](int depth) { return std::u16string(depth, u'[') + std::u16string(depth, u']'); };
  EXPECT_TRUE(Whole(nested(kJsonMaxDepth)));
  EXPECT_FALSE(Whole(nested(kJsonMaxDepth + 1)));
  EXPECT_FALSE(Whole(std::u16string(1000000, u'[')));
  std::u16string objects;
  for (int i = 0; i < 100000; ++i) objects += u"{\"a\":";
  EXPECT_FALSE(Whole(objects));
}

TEST(JsonReader, ReadsARequestText) {
  auto request =
      Whole(u"{\"service_code\":\"MED01\",\"auth_key\":\"k&=1\",\"data\":{\"n\":[1,2.5,-3e2]}}");
  ASSERT_TRUE(request);
  EXPECT_EQ(JsonStringMember(request.get(), u"service_code"), u"MED01");
  EXPECT_EQ(JsonStringMember(request.get(), u"auth_key"), u"k&=1");
  const auto& n = request->members.at(u"data").members.at(u"n").items;
  ASSERT_EQ(n.size(), 3u);
  EXPECT_EQ(n[2].number, -300.0);
}

}  // namespace
