// The signature a verified download came with, kept beside it in the download folder as
// "." + NAME + ".signature" (a dot name: never installed, removed with the folder), so that
// the applier can check the file once more before it installs it.
#pragma once

#include <string>

struct CSignatureRecord {
  std::string name;  // the list's file name and version in UTF-8, as they were signed
  std::string version;
  std::string signature;
};

std::string SignatureRecordPath(const std::string& folder, const std::string& file_name);

// False when the record cannot be written or a value cannot be held in it (a line break).
bool WriteSignatureRecord(const std::string& folder, const std::string& file_name,
                          const CSignatureRecord& record);

// False when there is no readable record with a signature, or when the record was made for
// another file (its signed name, in the locale's codeset, is not `file_name`): a signed file
// renamed with its record is not what was signed.
bool ReadSignatureRecord(const std::string& folder, const std::string& file_name,
                         CSignatureRecord* record);
