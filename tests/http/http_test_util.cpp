#include "http_test_util.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <utility>

#include "foundation/library.h"
#include "tools/portal_stub/pattern.h"

namespace http_test {

std::string pattern(std::size_t size) {
  std::string out(size, '\0');
  for (std::size_t i = 0; i < size; ++i) out[i] = portal_stub::PatternByte(i);
  return out;
}

Localhost_Certificate::Localhost_Certificate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  X509* cert = X509_new();
  X509_set_version(cert, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert), 1);
  X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
  X509_set_pubkey(cert, key);
  X509_NAME* name = X509_get_subject_name(cert);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("localhost"), -1, -1, 0);
  X509_set_issuer_name(cert, name);
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, cert, cert, nullptr, nullptr, 0);
  const std::pair<int, const char*> extensions[] = {{NID_subject_alt_name, "DNS:localhost"},
                                                    {NID_basic_constraints, "critical,CA:TRUE"}};
  for (const auto& e : extensions) {
    X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, e.first, e.second);
    X509_add_ext(cert, ext, -1);
    X509_EXTENSION_free(ext);
  }
  ok_ = !dir_.path().empty() && key != nullptr && X509_sign(cert, key, EVP_sha256()) > 0;
  if (ok_) {
    FILE* file = std::fopen(cert_file().c_str(), "w");
    ok_ = file != nullptr && PEM_write_X509(file, cert) == 1;
    if (file != nullptr) ok_ = std::fclose(file) == 0 && ok_;
  }
  if (ok_) {
    FILE* file = std::fopen(key_file().c_str(), "w");
    ok_ = file != nullptr &&
          PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
    if (file != nullptr) ok_ = std::fclose(file) == 0 && ok_;
  }
  X509_free(cert);
  EVP_PKEY_free(key);
}

std::size_t resident_bytes() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  std::size_t resident = 0;
  statm >> pages >> resident;
  return resident * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

// ---- Body_Reader ----

Body_Reader::Body_Reader(unsigned int piece, std::atomic<int>* live) : piece_(piece), live_(live) {
  if (live_ != nullptr) ++*live_;
}

Body_Reader::~Body_Reader() {
  if (live_ != nullptr) --*live_;
}

bool Body_Reader::start(const char* resource, int method, const char* headers,
                        const std::string& data) {
  done_.store(false);
  response_error = error = 0;
  status = 0;
  body.clear();
  received = 0;
  max_piece = 0;
  pattern_ok = true;
  reads_at_once = input_records = 0;
  void* optional = data.empty() ? nullptr : const_cast<char*>(data.data());
  const int result =
      open_request(resource, headers, method, optional, static_cast<unsigned int>(data.size()));
  return result == -1 && VGSLib::GetErrorCode() == ERROR_IO_PENDING;
}

int Body_Reader::handle_callback_response(unsigned long code) {
  response_error = code;
  if (code != 0) {
    finish(code);
    return 0;
  }
  status = getStatusCode();
  pull();
  return 0;
}

int Body_Reader::handle_callback_input(VGS_Byte_Block& data, unsigned int size,
                                       unsigned long code) {
  ++input_records;
  if (code != 0) {
    if (!data.is_null() || size != 0) failed_input_empty = false;
    finish(code);
    return 0;
  }
  if (size == 0) {
    finish(0);
    return 0;
  }
  // The bytes arrive in the block that was given to read.
  if (data != block_) {
    finish(0xBADB10C);
    return 0;
  }
  consume(static_cast<const char*>(data.c_ptr(0)), size);
  pull();
  return 0;
}

void Body_Reader::consume(const char* data, unsigned int size) {
  if (keep_body) body.append(data, size);
  if (check_pattern) {
    for (unsigned int i = 0; i < size && pattern_ok; ++i) {
      pattern_ok = data[i] == portal_stub::PatternByte(received + i);
    }
  }
  received += size;
  if (size > max_piece) max_piece = size;
  if (on_piece) on_piece(*this);
}

void Body_Reader::pull() {
  for (;;) {
    const int n = read(block_, piece_);
    if (n > 0) {
      ++reads_at_once;
      consume(static_cast<const char*>(block_.c_ptr(0)), static_cast<unsigned int>(n));
      continue;
    }
    if (n == 0) {
      finish(0);
      return;
    }
    const unsigned long code = VGSLib::GetErrorCode();
    if (code != ERROR_IO_PENDING) finish(code);
    return;
  }
}

void Body_Reader::finish(unsigned long code) {
  error = code;
  done_.store(true, std::memory_order_release);
}

bool pump(VGS_HTTP_Request& request, const std::function<bool()>& until, unsigned timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!until()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    if (request.wait(20) == 0) request.handle_signal(request.get_event(), nullptr);
  }
  return true;
}

}  // namespace http_test
