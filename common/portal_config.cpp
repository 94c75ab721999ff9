#include "common/portal_config.h"

#include "common/program_utils.h"

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

}  // namespace

std::string PortalBaseUrl(const std::string& value) {
  std::size_t begin = 0, end = value.size();
  while (begin < end && IsBlank(value[begin])) ++begin;
  while (end > begin && (IsBlank(value[end - 1]) || value[end - 1] == '/')) --end;
  std::string base = value.substr(begin, end - begin);
  if (base.empty()) return base;
  if (base.find("://") == std::string::npos) base = "https://" + base;
  return base;
}

PortalConfig ReadPortalConfig(const std::string& program_dir) {
  const std::string update_ini = program_dir + "/Update.ini";
  PortalConfig config;
  config.base_url = PortalBaseUrl(ReadProfileString(update_ini, "UPDATE", "PORTAL", ""));
  config.ca_file = ReadProfileString(update_ini, "UPDATE", "CAFILE", "");
  if (!config.ca_file.empty() && config.ca_file[0] != '/') {
    config.ca_file = program_dir + "/" + config.ca_file;
  }
  return config;
}
