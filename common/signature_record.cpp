#include "common/signature_record.h"

#include "common/program_utils.h"
#include "platform/atomic_file.h"
#include "platform/codeset.h"

namespace {

constexpr char kSection[] = "SIGNATURE";

// UTF-8 `text` in the locale's codeset (empty when it cannot be converted).
std::string InLocaleCodeset(const std::string& text) {
  const int units = plat::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                              static_cast<int>(text.size()), nullptr, 0);
  if (units <= 0) return std::string();
  std::u16string wide(static_cast<std::size_t>(units), u'\0');
  plat::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                            static_cast<int>(text.size()), wide.data(), units);
  const int bytes =
      plat::WideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string narrow(static_cast<std::size_t>(bytes), '\0');
  plat::WideCharToMultiByte(CP_ACP, 0, wide.data(), units, narrow.data(), bytes, nullptr, nullptr);
  return narrow;
}

bool HasLineBreak(const std::string& text) {
  return text.find_first_of("\r\n", 0, 2) != std::string::npos ||
         text.find('\0') != std::string::npos;
}

}  // namespace

std::string SignatureRecordPath(const std::string& folder, const std::string& file_name) {
  return folder + "/." + file_name + ".signature";
}

bool WriteSignatureRecord(const std::string& folder, const std::string& file_name,
                          const CSignatureRecord& record) {
  if (HasLineBreak(record.name) || HasLineBreak(record.version) || HasLineBreak(record.signature)) {
    return false;
  }
  const std::string text = std::string("[") + kSection + "]\r\nNAME=" + record.name +
                           "\r\nVERSION=" + record.version + "\r\nSIGNATURE=" + record.signature +
                           "\r\n";
  const std::string path = SignatureRecordPath(folder, file_name);
  return plat::ReplaceFileContentsNoFollow(path.c_str(), text.data(), text.size()) != FALSE;
}

bool ReadSignatureRecord(const std::string& folder, const std::string& file_name,
                         CSignatureRecord* record) {
  const std::string path = SignatureRecordPath(folder, file_name);
  record->name = ReadProfileString(path, kSection, "NAME", "");
  record->version = ReadProfileString(path, kSection, "VERSION", "");
  record->signature = ReadProfileString(path, kSection, "SIGNATURE", "");
  return !record->signature.empty() && InLocaleCodeset(record->name) == file_name;
}
