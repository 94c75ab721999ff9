// Where the portal is: Update.ini beside the program, section "UPDATE", key "PORTAL" (its
// base URL; a bare host means https), key "CAFILE" (a CA bundle for a private portal CA,
// relative to the program folder unless absolute) and key "MAX_DOWNLOAD_MB". Read by the
// service manager and the update applier.
#pragma once

#include <string>

struct PortalConfig {
  static constexpr unsigned long long kDefaultMaxDownloadMb = 512;

  std::string base_url;  // empty: no portal configured
  std::string ca_file;   // empty: the system's CA store
  // "MAX_DOWNLOAD_MB": the largest file a download may bring, in bytes (a value that is no
  // positive whole number of megabytes means the default).
  unsigned long long max_download_bytes = kDefaultMaxDownloadMb << 20;
};

// Reads "Update.ini" in `program_dir`; missing or unreadable values stay empty.
PortalConfig ReadPortalConfig(const std::string& program_dir);

// The base URL from a "PORTAL" value: blanks and trailing '/' removed, "https://" put in
// front of a bare host. Empty for an empty value.
std::string PortalBaseUrl(const std::string& value);
