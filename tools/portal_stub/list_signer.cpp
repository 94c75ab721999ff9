#include "tools/portal_stub/list_signer.h"

#include <system_error>

#include "common/update_signature.h"

namespace portal_stub {

std::string ListSigner::Sign(const std::string& path, const std::string& name,
                             const std::string& version, bool bad, std::string* error) {
  std::error_code stat_error;
  const std::uintmax_t size = std::filesystem::file_size(path, stat_error);
  const std::filesystem::file_time_type modified =
      stat_error ? std::filesystem::file_time_type()
                 : std::filesystem::last_write_time(path, stat_error);
  Digest digest;
  bool known = false;
  if (!stat_error) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = digests_.find(path);
    if (it != digests_.end() && it->second.size == size && it->second.modified == modified) {
      digest = it->second;
      known = true;
    }
  }
  if (!known) {
    unsigned long long hashed_size = 0;
    if (!HashUpdateFile(path, &hashed_size, &digest.sha256_hex, error)) return std::string();
    digest.size = hashed_size;
    digest.modified = modified;
    // Kept only when the file did not change size between the look and the read.
    if (!stat_error && hashed_size == size) {
      std::lock_guard<std::mutex> lock(mutex_);
      digests_[path] = digest;
    }
  }
  // A bad one signs the text of a file one byte longer.
  const std::string signature =
      key_.Sign(UpdateSignedText(name, version, digest.size + (bad ? 1 : 0), digest.sha256_hex));
  if (signature.empty()) *error = "cannot sign " + path;
  return signature;
}

std::string UnsignedBadSignature() {
  const unsigned char zeros[64] = {};
  return EncodeBase64(zeros, sizeof zeros);
}

}  // namespace portal_stub
