// The relay's own texts get real glyphs: laid out by the toolkit's text engine with the
// machine's fonts, not one character falls back to an empty box. A font set without Korean
// glyphs shows what the check catches. (A portal page's Korean text: relay_ui_test.cpp.)
#include <fontconfig/fontconfig.h>
#include <gtest/gtest.h>
#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>

#include <string>
#include <vector>

#include "relay/program_settings.h"

#if defined(__SANITIZE_ADDRESS__)
// What fontconfig allocates for its configurations and caches stays with the library, as in
// the relay itself (tests/support/gui_leaks.supp).
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
#endif

namespace {

// Characters of `text` the layout found no glyph for, with the toolkit's default font.
int unknown_glyphs(PangoFontMap* fonts, const std::string& text) {
  PangoContext* context = pango_font_map_create_context(fonts);
  PangoLayout* layout = pango_layout_new(context);
  PangoFontDescription* font = pango_font_description_from_string("Sans 10");
  pango_layout_set_font_description(layout, font);
  pango_layout_set_text(layout, text.c_str(), -1);
  const int unknown = pango_layout_get_unknown_glyphs_count(layout);
  pango_font_description_free(font);
  g_object_unref(layout);
  g_object_unref(context);
  return unknown;
}

// A font set of one installed font that has no glyph for U+D55C ("한"); null when there is none.
FcConfig* config_without_korean() {
  FcPattern* all = FcPatternCreate();
  FcObjectSet* wanted = FcObjectSetBuild(FC_FILE, FC_CHARSET, nullptr);
  FcFontSet* fonts = FcFontList(nullptr, all, wanted);
  FcConfig* config = nullptr;
  for (int i = 0; fonts != nullptr && i < fonts->nfont && config == nullptr; ++i) {
    FcChar8* file = nullptr;
    FcCharSet* chars = nullptr;
    if (FcPatternGetString(fonts->fonts[i], FC_FILE, 0, &file) != FcResultMatch ||
        FcPatternGetCharSet(fonts->fonts[i], FC_CHARSET, 0, &chars) != FcResultMatch ||
        FcCharSetHasChar(chars, 0xD55C) || !FcCharSetHasChar(chars, 'A')) {
      continue;
    }
    config = FcConfigCreate();
    if (!FcConfigAppFontAddFile(config, file)) {
      FcConfigDestroy(config);
      config = nullptr;
    }
  }
  if (fonts != nullptr) FcFontSetDestroy(fonts);
  FcObjectSetDestroy(wanted);
  FcPatternDestroy(all);
  return config;
}

TEST(KoreanTextTest, TheRelaysOwnTextsHaveAGlyphForEveryCharacter) {
  const std::vector<std::string> texts = {
      FrameCaption(VELTRANE_HELPDESK_NUMBER),  // the window's title
      "보이기",
      "끝내기",  // the tray menu
      "URL 정보를 찾을 수 없습니다.",
      "인증키를 찾을 수 없습니다.",
      "URL정보를 찾을 수 없습니다",
      "[veltrane_url.ini]파일을 열 수 없습니다.",  // message boxes
  };
  PangoFontMap* installed = pango_cairo_font_map_new();
  for (const std::string& text : texts) EXPECT_EQ(unknown_glyphs(installed, text), 0) << text;
  g_object_unref(installed);

  FcConfig* latin = config_without_korean();
  ASSERT_NE(latin, nullptr) << "no installed font without Korean glyphs to compare with";
  PangoFontMap* latin_only = pango_cairo_font_map_new();
  pango_fc_font_map_set_config(PANGO_FC_FONT_MAP(latin_only), latin);
  EXPECT_GT(unknown_glyphs(latin_only, "보이기"), 0);
  g_object_unref(latin_only);
  FcConfigDestroy(latin);
}

}  // namespace
