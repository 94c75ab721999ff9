#include "tools/portal_stub/update_list.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include <nlohmann/json.hpp>

#include "foundation/version.h"
#include "platform/profile.h"

namespace portal_stub {

namespace {

constexpr unsigned int kProfileBufferSize = 4096;  // as the update manager reads profiles

bool HasIniExtension(const std::string& name) {
  const std::size_t point = name.rfind('.');
  if (point == std::string::npos) return false;
  const std::string extension = name.substr(point + 1);
  return extension == "ini" || extension == "INI";
}

}  // namespace

std::optional<std::string> ReadListedVersion(const std::string& path, const std::string& name) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  if (HasIniExtension(name)) {
    std::string value(kProfileBufferSize, '\0');
    const DWORD length = plat::GetPrivateProfileStringA("VERSION", "VERSION", "", value.data(),
                                                        kProfileBufferSize, path.c_str());
    value.resize(length);
    return value;
  }
  VGS_Version version;
  if (version.extract(path.c_str()) != 1) return std::nullopt;
  return version.fileVerStr();
}

bool IsServableName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

std::vector<UpdateFile> ScanUpdateFolder(const std::string& folder,
                                         std::vector<std::string>* skipped) {
  std::vector<UpdateFile> files;
  std::error_code error;
  std::filesystem::directory_iterator it(folder, error);
  if (error) return files;
  for (const std::filesystem::directory_entry& entry : it) {
    std::error_code type_error;
    if (!entry.is_regular_file(type_error)) continue;
    const std::string name = entry.path().filename().string();
    if (!IsServableName(name)) continue;
    const std::optional<std::string> version = ReadListedVersion(entry.path().string(), name);
    if (!version) {
      skipped->push_back("cannot read the version of " + entry.path().string());
      continue;
    }
    files.push_back({name, *version, std::string()});
  }
  std::sort(files.begin(), files.end(),
            [](const UpdateFile& a, const UpdateFile& b) { return a.name < b.name; });
  return files;
}

std::string PercentEncode(const std::string& text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
        (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_' || byte == '~') {
      encoded.push_back(c);
    } else {
      encoded.push_back('%');
      encoded.push_back(kHex[byte >> 4]);
      encoded.push_back(kHex[byte & 0x0F]);
    }
  }
  return encoded;
}

std::string BuildUpdateListJson(const std::vector<UpdateFile>& files, const std::string& base_url) {
  nlohmann::json list = nlohmann::json::array();
  for (const UpdateFile& file : files) {
    nlohmann::json element = {{"file_name", file.name},
                              {"file_version", file.version},
                              {"down_path", base_url + "/download/" + PercentEncode(file.name)}};
    if (!file.signature.empty()) element["signature"] = file.signature;
    list.push_back(std::move(element));
  }
  return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace portal_stub
