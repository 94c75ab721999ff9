// ocs-client: sends a JSON request to the relay as an OCS client does and prints the
// deciphered answer. See --help for the options and exit codes.
#include <iostream>
#include <iterator>
#include <string>

#include "foundation/library.h"
#include "platform/winsock.h"
#include "tools/ocs_client/exit_codes.h"
#include "tools/ocs_client/ocs_connection.h"
#include "tools/ocs_client/options.h"

namespace {

using namespace ocs_client;

int Report(int code, const std::string& text) {
  std::cerr << "ocs-client: " << text << "\n";
  return code;
}

// The request text: the argument, or standard input without its final line break.
int ReadRequest(const ClientOptions& options, std::string* request) {
  if (options.request != "-") {
    *request = options.request;
  } else {
    request->assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    if (std::cin.bad()) return Report(kExitFailure, "cannot read the request from standard input");
    while (!request->empty() && (request->back() == '\n' || request->back() == '\r')) {
      request->pop_back();
    }
  }
  if (request->empty()) return Report(kExitUsage, "the request is empty (see --help)");
  if (request->find('\0') != std::string::npos) {
    return Report(kExitUsage, "the request holds a zero byte (see --help)");
  }
  return kExitOk;
}

int Run(const ClientOptions& options) {
  std::string request;
  const int read = ReadRequest(options, &request);
  if (read != kExitOk) return read;

  OcsConnection connection(TimeoutMs(options.timeout_seconds));
  ExitCode result = connection.Open(options.host, options.port, options.bind_address);
  for (int i = 0; result == kExitOk && i < options.repeat; ++i) {
    std::string answer;
    result = connection.Exchange(request, &answer);
    if (result == kExitOk) std::cout << answer << '\n' << std::flush;
  }
  if (result != kExitOk) return Report(result, connection.error());
  return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
  ClientOptions options;
  const int parsed = ParseCommandLine(argc, argv, &options, std::cout, std::cerr);
  if (parsed >= 0) return parsed;

  if (VGSLib::initialize() != 0) return Report(kExitFailure, "cannot start the library");
  plat::WSADATA data;
  if (plat::WSAStartup(plat::WINSOCK_VERSION_2_2, &data) != 0) {
    VGSLib::uninitialize();
    return Report(kExitFailure, "cannot start the socket layer");
  }
  const int result = Run(options);
  plat::WSACleanup();
  VGSLib::uninitialize();
  return result;
}
