#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "common/json_reader.h"
#include "relay/bridge_script.h"
#include "relay/program_settings.h"
#include "support/scratch_dir.h"

namespace {

// --- the bridge's string literals ---

TEST(BridgeLiteralTest, EscapesWhatWouldBreakAScriptAndRoundTrips) {
  struct Case {
    std::u16string text;
    std::string literal;
  };
  const std::vector<Case> cases = {
      {u"", "\"\""},
      {u"plain {\"a\":1}", R"("plain {\"a\":1}")"},
      {u"back\\slash / slash", R"("back\\slash / slash")"},
      {u"\b\f\n\r\t\x01\x1f\x7f", R"("\b\f\n\r\t\u0001\u001f\u007f")"},
      {u"</script><!-- & -->", R"("\u003c/script\u003e\u003c!-- \u0026 --\u003e")"},
      {u"line\u2028para\u2029end", R"("line\u2028para\u2029end")"},
      {u"한글 ☏", "\"한글 ☏\""},
      {u"\U0001F600", "\"\xF0\x9F\x98\x80\""},  // a pair becomes one UTF-8 character
      {std::u16string(1, char16_t(0xD800)) + u"x" + std::u16string(1, char16_t(0xDC00)),
       R"("\ud800x\udc00")"},  // unpaired halves stay what they are
      {std::u16string(u"a\0b", 3), R"("a\u0000b")"},
  };
  for (const Case& c : cases) {
    const std::string literal = JsonStringLiteral(c.text);
    EXPECT_EQ(literal, c.literal);
    const auto back = ParseBridgeCall("[\"t7\"," + literal + "]");
    ASSERT_TRUE(back.has_value()) << literal;
    EXPECT_EQ(back->token, "t7");
    EXPECT_TRUE(back->text == c.text) << literal;
  }
}

TEST(BridgeLiteralTest, OnlyATokenAndOneWellFormedStringAreACall) {
  const auto call = ParseBridgeCall(" [ \"3f2a\" , \"x\" ]\n");
  ASSERT_TRUE(call.has_value());
  EXPECT_EQ(call->token, "3f2a");
  EXPECT_TRUE(call->text == u"x");
  for (const std::string bad :
       {"", "\"x\"", "[\"t\"]", "[\"t\",\"x\",2]", "[1,\"x\"]", "[\"t\",2]", "[null,\"x\"]",
        "[\"t\",\"x\"] 1", "{\"a\":\"b\"}", "[\"t\",\"\xC3\x28\"]", "[\"t\",\"\xED\xA0\x80\"]",
        "[\"t\",\"\xFF\"]", "[\"t\",\"x]"}) {
    EXPECT_FALSE(ParseBridgeCall(bad).has_value()) << bad;
  }
}

TEST(BridgeLiteralTest, ScriptCarriesTextTokenAndOriginsAsLiteralsAndDefinesTheThreeCalls) {
  const std::u16string text = u"{\"auth_key\":\"</script>\u2028\"}";
  const std::string script =
      BridgeScript(text, "tok\"en", {"https://portal.example", "http://127.0.0.1:8080"});
  EXPECT_NE(script.find("var initData = " + JsonStringLiteral(text) + ";"), std::string::npos);
  EXPECT_NE(script.find(R"(var token = "tok\"en";)"), std::string::npos);
  EXPECT_NE(script.find(R"(var trusted = ["https://portal.example","http://127.0.0.1:8080"];)"),
            std::string::npos);
  // The origin check comes before the request text and the token are reachable.
  EXPECT_LT(script.find("if (!allowed) return;"), script.find("var initData"));
  EXPECT_EQ(script.find("</script>"), std::string::npos);
  for (const char* name : {"ocsFnInit:", "ocsFnSendData:", "ocsFnSession:", "OCS_initUI"}) {
    EXPECT_NE(script.find(name), std::string::npos) << name;
  }
}

// --- frame settings ---

TEST(ProgramSettingsTest, CaptionFramesTheHelpDeskNumber) {
  EXPECT_EQ(
      FrameCaption("0000-0000"),
      "\u2592Zerv\u2592Veltrane - Web Viewer\u2592오류 관련 상담은 \u260F0000-0000 전화 후 IT "
      "상담원 연결을 요청하시기 바랍니다.\u2592");
}

TEST(ProgramSettingsTest, PlacementDefaultsAndRoundTripsThroughANewProfileFolder) {
  ScratchDir dir;
  const std::string profile = dir.file("config/Veltrane/profile.ini");
  const CFramePlacement first = LoadFramePlacement(profile);
  EXPECT_EQ(first.left, 0);
  EXPECT_EQ(first.top, 0);
  EXPECT_EQ(first.width, 1024);
  EXPECT_EQ(first.height, 768);

  ASSERT_TRUE(StoreFramePlacement(profile, CFramePlacement{-20, 35, 800, 600}));
  const CFramePlacement back = LoadFramePlacement(profile);
  EXPECT_EQ(back.left, -20);
  EXPECT_EQ(back.top, 35);
  EXPECT_EQ(back.width, 800);
  EXPECT_EQ(back.height, 600);
  EXPECT_EQ(ReadAll(profile),
            "[Initialization]\r\nleft=-20\r\ntop=35\r\nWidth=800\r\nHeight=600\r\n");
}

TEST(ProgramSettingsTest, WinSizeIsRewrittenEachTime) {
  ScratchDir dir;
  const std::string path = dir.file("WinSize.ini");
  ASSERT_EQ(WriteWinSize(path, 10, 20, 1024), 0);
  EXPECT_EQ(ReadAll(path), "[POSITION]\r\nX=10\r\nY=20\r\nCX=1024\r\n");
  ASSERT_EQ(WriteWinSize(path, -5, 0, 640), 0);
  EXPECT_EQ(ReadAll(path), "[POSITION]\r\nX=-5\r\nY=0\r\nCX=640\r\n");
  EXPECT_EQ(WriteWinSize(dir.path(), 1, 2, 3), -1);  // a folder cannot be written
}

TEST(ProgramSettingsTest, ListenPortIsAWholeNumberFrom1To65535) {
  EXPECT_EQ(ParseListenPort("9812").value_or(0), 9812);
  EXPECT_EQ(ParseListenPort("1").value_or(0), 1);
  EXPECT_EQ(ParseListenPort("65535").value_or(0), 65535);
  for (const char* bad :
       {"", "0", "65536", "-1", "+80", " 80", "80 ", "8o", "99999999999999999999"}) {
    EXPECT_FALSE(ParseListenPort(bad).has_value()) << bad;
  }
  EXPECT_FALSE(ParseListenPort(nullptr).has_value());
}

TEST(ProgramSettingsTest, ProductVersionOfAStampedFileAndNoneOfAnUnstampedOne) {
  // This test program carries the project's version block; a text file carries none.
  char self[4096] = {0};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  EXPECT_EQ(ReadProductVersion(self), ZERV_PROJECT_VERSION);
  ScratchDir dir;
  WriteAll(dir.file("plain"), "no version here");
  EXPECT_EQ(ReadProductVersion(dir.file("plain")), "");
  EXPECT_EQ(ReadProductVersion(dir.file("missing")), "");
}

}  // namespace
