// Signatures of the files the built update list offers, made with the operators' key of
// --sign-key; a file's digest is kept while its size and modification time stay the same.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "tools/veltrane_sign/signing_key.h"

namespace portal_stub {

class ListSigner {
 public:
  explicit ListSigner(veltrane_sign::CSigningKey key) : key_(std::move(key)) {}

  // The "signature" of the file `path` listed as `name` `version`; with `bad`, a signature
  // by the same key of another file's text (well-formed, but it does not hold for this
  // file). Empty with the reason in *error when the file cannot be read.
  std::string Sign(const std::string& path, const std::string& name, const std::string& version,
                   bool bad, std::string* error);

 private:
  struct Digest {
    std::uintmax_t size = 0;
    std::filesystem::file_time_type modified;
    std::string sha256_hex;
  };

  const veltrane_sign::CSigningKey key_;
  std::mutex mutex_;
  std::map<std::string, Digest> digests_;  // by path
};

// What a bad signature is when the stub has no key: Base64 of 64 zero bytes.
std::string UnsignedBadSignature();

}  // namespace portal_stub
