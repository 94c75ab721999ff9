// The update list the stub offers: the files of its updates folder with the version the
// update manager reads from each, and a download URL that points back at the stub.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace portal_stub {

struct UpdateFile {
  std::string name;
  std::string version;
  std::string signature;  // listed when not empty
};

// The version of a file as the update manager reads it: for a name whose extension is
// exactly "ini" or "INI", the [VERSION] VERSION value (empty when absent); otherwise the
// file version of its version block ("0.0.0.0" when it has none). Nothing when the file
// cannot be read.
std::optional<std::string> ReadListedVersion(const std::string& path, const std::string& name);

// A name that may be listed and downloaded: not empty, not "." or "..", without "/",
// "\" or a zero byte.
bool IsServableName(const std::string& name);

// The regular files directly in `folder` with servable names, sorted by name. Files whose
// version cannot be read are left out, each with a line in `skipped`. A missing or
// unreadable folder gives an empty list.
std::vector<UpdateFile> ScanUpdateFolder(const std::string& folder,
                                         std::vector<std::string>* skipped);

// `text` with every byte except A-Z a-z 0-9 - . _ ~ written as %XX.
std::string PercentEncode(const std::string& text);

// The update-list JSON: an array of {"file_name", "file_version", "down_path"} (with
// "signature" for a file that has one), where down_path is `base_url` + "/download/" +
// the encoded name.
std::string BuildUpdateListJson(const std::vector<UpdateFile>& files, const std::string& base_url);

}  // namespace portal_stub
