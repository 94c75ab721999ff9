// A font with Korean glyphs, as fontconfig finds it for the relay's pages and texts.
#include <fontconfig/fontconfig.h>

#include <string>

#include "tools/veltrane_check/checks.h"

namespace veltrane_check {

namespace {

// The configuration the programs get: FONTCONFIG_FILE when the environment names one, else
// fontconfig's default. Null when it cannot be loaded.
FcConfig* LoadConfig(const Context& context) {
  const std::string file = context.Env("FONTCONFIG_FILE");
  if (file.empty()) return FcInitLoadConfigAndFonts();
  FcConfig* config = FcConfigCreate();
  if (config == nullptr) return nullptr;
  if (!FcConfigParseAndLoad(config, reinterpret_cast<const FcChar8*>(file.c_str()), FcTrue) ||
      !FcConfigBuildFonts(config)) {
    FcConfigDestroy(config);
    return nullptr;
  }
  return config;
}

}  // namespace

void CheckKoreanFont(const Context& context, Lines& lines) {
  const char* install = "sudo apt-get install fonts-noto-cjk (or fonts-nanum, the smaller one)";
  FcConfig* config = LoadConfig(context);
  if (config == nullptr) {
    lines.Warn("no Korean font: the font configuration cannot be read", install);
    return;
  }
  FcPattern* korean = FcNameParse(reinterpret_cast<const FcChar8*>(":lang=ko"));
  FcObjectSet* wanted = FcObjectSetBuild(FC_FAMILY, nullptr);
  FcFontSet* fonts =
      korean != nullptr && wanted != nullptr ? FcFontList(config, korean, wanted) : nullptr;
  std::string family;
  const int count = fonts != nullptr ? fonts->nfont : 0;
  FcChar8* name = nullptr;
  if (count > 0 && FcPatternGetString(fonts->fonts[0], FC_FAMILY, 0, &name) == FcResultMatch) {
    family = reinterpret_cast<const char*>(name);
  }
  if (fonts != nullptr) FcFontSetDestroy(fonts);
  if (wanted != nullptr) FcObjectSetDestroy(wanted);
  if (korean != nullptr) FcPatternDestroy(korean);
  FcConfigDestroy(config);
  if (count == 0) {
    lines.Warn("no Korean font: Korean text shows as empty boxes", install);
    return;
  }
  lines.Ok("Korean font: " + (family.empty() ? std::string("found") : family) +
           (count > 1 ? " and " + std::to_string(count - 1) + " more" : std::string()));
}

}  // namespace veltrane_check
