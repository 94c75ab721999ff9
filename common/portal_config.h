// Where the portal is and what its updates must carry: Update.ini beside the program,
// section "UPDATE", key "PORTAL" (its base URL; a bare host means https), key "CAFILE" (a
// CA bundle for a private portal CA, relative to the program folder unless absolute), key
// "MAX_DOWNLOAD_MB" and key "UPDATE_KEYS". Read by the service manager and the update
// applier.
#pragma once

#include <string>

struct PortalConfig {
  static constexpr unsigned long long kDefaultMaxDownloadMb = 512;

  std::string base_url;  // empty: no portal configured
  std::string ca_file;   // empty: the system's CA store
  // "MAX_DOWNLOAD_MB": the largest file a download may bring, in bytes (a value that is no
  // positive whole number of megabytes means the default).
  unsigned long long max_download_bytes = kDefaultMaxDownloadMb << 20;
  // "UPDATE_KEYS" as it is written: the trusted keys of signed updates
  // (CUpdateKeys::Parse reads them).
  std::string update_keys;
};

// Reads "Update.ini" in `program_dir`; missing or unreadable values stay empty.
PortalConfig ReadPortalConfig(const std::string& program_dir);

// The base URL from a "PORTAL" value: blanks and trailing '/' removed, "https://" put in
// front of a bare host. Empty for an empty value.
std::string PortalBaseUrl(const std::string& value);
