// portal-stub: a local stand-in for the insurer's portal. See --help.
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>

#include "foundation/library.h"
#include "tools/portal_stub/options.h"
#include "tools/portal_stub/portal_server.h"
#include "tools/portal_stub/request_log.h"

#if defined(__SANITIZE_THREAD__)
// The server library is a prebuilt shared object without ThreadSanitizer instrumentation:
// the sanitizer sees the memory functions it calls but not how it synchronises its
// threads, and reports races that are not there.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libcpp-httplib.so\n";
}
#endif

namespace {

using namespace portal_stub;

int Report(int code, const std::string& text) {
  std::cerr << "portal-stub: " << text << "\n";
  return code;
}

int Run(const StubOptions& options) {
  std::unique_ptr<RequestLog> log;
  if (options.log_file.empty()) {
    log = std::make_unique<RequestLog>(&std::cout);
  } else {
    log = std::make_unique<RequestLog>(options.log_file);
    if (!log->ok()) return Report(kExitFailure, "cannot open the log file " + options.log_file);
  }

  ServerConfig config;
  config.bind_address = options.bind_address;
  config.port = options.port;
  config.cert_file = options.cert_file;
  config.key_file = options.key_file;
  config.updates_dir = options.updates_dir;
  config.faults = options.faults;
  if (!options.sign_key_file.empty()) {
    veltrane_sign::CSigningKey key;
    std::string error;
    if (!key.Load(options.sign_key_file, &error)) return Report(kExitFailure, error);
    config.signer = std::make_shared<ListSigner>(std::move(key));
  }
  if (!options.update_list_file.empty()) {
    std::ifstream in(options.update_list_file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) return Report(kExitFailure, "cannot read " + options.update_list_file);
    config.update_list = std::move(text);
  }

  PortalServer server(std::move(config), log.get());
  if (!server.valid()) {
    return Report(kExitFailure, "cannot load the certificate " + options.cert_file +
                                    " with the key " + options.key_file);
  }
  const int port = server.Bind();
  if (port < 0) {
    return Report(kExitFailure,
                  "cannot listen on " + options.bind_address + ":" + std::to_string(options.port));
  }
  const std::string listening = std::string("listening on ") + server.scheme() + "://" +
                                options.bind_address + ":" + std::to_string(port);
  std::cout << listening << std::endl;
  if (!options.log_file.empty()) log->Write(listening);
  if (!server.Run()) return Report(kExitFailure, "serving stopped with an error");
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  StubOptions options;
  const int parsed = ParseCommandLine(argc, argv, &options, std::cout, std::cerr);
  if (parsed >= 0) return parsed;
  if (VGSLib::initialize() != 0) return Report(kExitFailure, "cannot start the library");
  const int result = Run(options);
  VGSLib::uninitialize();
  return result;
}
