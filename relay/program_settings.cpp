#include "relay/program_settings.h"

#include <cstdlib>
#include <string>

#include "foundation/file_util.h"
#include "platform/profile.h"
#include "relay/ini_config.h"

namespace {

constexpr char kPlacementSection[] = "Initialization";

bool WriteInt(const std::string& path, const char* key, int value) {
  return plat::WritePrivateProfileStringA(kPlacementSection, key, std::to_string(value).c_str(),
                                          path.c_str()) != FALSE;
}

}  // namespace

std::string FrameCaption(const std::string& helpdesk_number) {
  return "▒Zerv▒Veltrane - Web Viewer▒오류 관련 상담은 ☏" + helpdesk_number +
         " 전화 후 IT 상담원 연결을 요청하시기 바랍니다.▒";
}

CFramePlacement LoadFramePlacement(const std::string& profile_path) {
  const CFramePlacement defaults;
  const char* path = profile_path.c_str();
  CFramePlacement placement;
  placement.left =
      static_cast<int>(plat::GetPrivateProfileIntA(kPlacementSection, "left", defaults.left, path));
  placement.top =
      static_cast<int>(plat::GetPrivateProfileIntA(kPlacementSection, "top", defaults.top, path));
  placement.width = static_cast<int>(
      plat::GetPrivateProfileIntA(kPlacementSection, "Width", defaults.width, path));
  placement.height = static_cast<int>(
      plat::GetPrivateProfileIntA(kPlacementSection, "Height", defaults.height, path));
  return placement;
}

bool StoreFramePlacement(const std::string& profile_path, const CFramePlacement& placement) {
  const std::size_t slash = profile_path.rfind('/');
  if (slash != std::string::npos && slash > 0 &&
      VGSLib::createdir(profile_path.substr(0, slash).c_str()) < 0) {
    return false;
  }
  bool ok = WriteInt(profile_path, "left", placement.left);
  ok = WriteInt(profile_path, "top", placement.top) && ok;
  ok = WriteInt(profile_path, "Width", placement.width) && ok;
  return WriteInt(profile_path, "Height", placement.height) && ok;
}

int WriteWinSize(const std::string& path, int x, int y, int cx) {
  CIniConfig config;
  if (config.Load(path) != 0) return -1;
  config.SetValue("X", "POSITION", std::to_string(x));
  config.SetValue("Y", "POSITION", std::to_string(y));
  config.SetValue("CX", "POSITION", std::to_string(cx));
  return config.Save();
}

std::optional<unsigned short> ParseListenPort(const char* text) {
  if (text == nullptr || *text < '0' || *text > '9') return std::nullopt;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (*end != '\0' || value == 0 || value > 65535) return std::nullopt;
  return static_cast<unsigned short>(value);
}
