#include "common/portal_config.h"

#include "common/program_files.h"
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
  const std::string update_ini = program_dir + "/" + kUpdateIni;
  PortalConfig config;
  config.base_url = PortalBaseUrl(ReadProfileString(update_ini, "UPDATE", "PORTAL", ""));
  config.ca_file = ReadProfileString(update_ini, "UPDATE", "CAFILE", "");
  if (!config.ca_file.empty() && config.ca_file[0] != '/') {
    config.ca_file = program_dir + "/" + config.ca_file;
  }
  const std::string limit = ReadProfileString(update_ini, "UPDATE", "MAX_DOWNLOAD_MB", "");
  if (!limit.empty() && limit.size() <= 7 &&
      limit.find_first_not_of("0123456789") == std::string::npos && std::stoull(limit) > 0) {
    config.max_download_bytes = std::stoull(limit) << 20;
  }
  config.update_keys = ReadProfileString(update_ini, "UPDATE", "UPDATE_KEYS", "");
  return config;
}
