#include "tools/portal_stub/options.h"

#include <CLI/CLI.hpp>

#include "common/command_line.h"

namespace portal_stub {

namespace {

constexpr char kDescription[] =
    "A local stand-in for the insurer's portal, for the Veltrane demo, tests and benchmarks: "
    "service and login pages for the relay's web view, the update endpoints with downloads "
    "from a folder, a record of the calls it received, and fault switches.";

constexpr char kFooter[] =
    "Start it, read the first line for the address, point veltrane_url.ini (URL_INFO) and\n"
    "Update.ini ([UPDATE] PORTAL) at it, stop it with SIGTERM or Ctrl+C:\n"
    "  portal-stub --port 0 --updates ./offer --log stub.log\n"
    "  -> listening on http://127.0.0.1:PORT\n"
    "Every request served is logged as one line: TIME METHOD TARGET STATUS [fault=KIND].\n"
    "\n"
    "Pages (opened by the relay with ?auth_key=...&session_key=...; the index at / lists all):\n"
    "  /pages/answer-now.html       answers at once through ocsFnSendData\n"
    "  /pages/answer-on-click.html  answers when the button #send-answer is pressed\n"
    "  /pages/answer-on-load.html   answers from its load event with its navigation timing\n"
    "  /pages/no-init.html          defines no OCS_initUI\n"
    "  /pages/login.html            answers svc_no LOGIN, a new session key and rtnUrl\n"
    "  /pages/bad/KIND.html         calls the bridge with bad input, then answers\n"
    "Endpoints (POST, also GET):\n"
    "  /ocs/veltrane/updateList.do?sessionKey=KEY   the update list of --updates\n"
    "  /ocs/veltrane/start.do?sessionKey=KEY        recorded\n"
    "  /ocs/veltrane/complete.do?sessionKey=KEY     recorded\n"
    "  GET /download/NAME                           a file of --updates, with Content-Length\n"
    "  /probe/bytes?n=N (any method)                N bytes of a fixed pattern\n"
    "With --sign-key KEY.pem every element of the built list carries \"signature\": the\n"
    "  Base64 Ed25519 signature of its file (as veltrane-sign signs it), made when the list\n"
    "  is built; UPDATE_KEYS of Update.ini takes the key's public half.\n"
    "Test controls:\n"
    "  GET /_stub/calls[?endpoint=E]   the recorded calls (JSON); DELETE /_stub/calls clears\n"
    "  POST /_stub/fault?kind=KIND[&target=T][&count=N][&ms=M][&code=C][&path=P]\n"
    "                                  [&location=L]; kind=none clears\n"
    "  GET /_stub/fault                the switches in force (JSON)\n"
    "  PUT /_stub/update-list          serve the request body as the list ({{BASE_URL}}\n"
    "                                  is replaced); DELETE /_stub/update-list undoes it\n"
    "\n"
    "Fault kinds: status (code=C, default 500; status500 is short for it), redirect and\n"
    "  redirect-nowhere (302, or code=301/303/307/308; redirect to location=L when given),\n"
    "  cut-body, stall, stall-body (held until kind=none or for ms=M), partial (206),\n"
    "  not-modified (304), no-length,\n"
    "  delay (ms=M, default 2000). count=N: only the next N matching requests; path=P:\n"
    "  only requests of the path P (before the target's other switches).\n"
    "Fault targets: updates (default: the three endpoints and downloads), updateList,\n"
    "  start, complete, download, pages, all.\n"
    "List faults change the built list, not the answer: bad-signature (a signature that\n"
    "  does not hold for the file: without --sign-key, 64 zero bytes) and no-signature (the\n"
    "  member left out). Their target is a listed file name, every file when absent;\n"
    "  count=N: only the next N lists built. kind=none&target=NAME clears the one of NAME.\n"
    "--fault takes KIND, KIND@TARGET or the query form, e.g. 'kind=stall&target=download'.\n"
    "\n"
    "Exit codes: 0 after --help, 1 cannot start (port taken, bad certificate, log file),\n"
    "2 bad command line.";

}  // namespace

int ParseCommandLine(int argc, const char* const* argv, StubOptions* options, std::ostream& out,
                     std::ostream& err) {
  CLI::App app(kDescription, "portal-stub");
  app.footer(kFooter);
  std::vector<std::string> fault_texts;
  app.add_option("--port", options->port, "TCP port; 0 picks a free one")
      ->check(CLI::Range(0, 65535))
      ->capture_default_str();
  app.add_option("--bind", options->bind_address, "local address to listen on")
      ->capture_default_str();
  CLI::Option* cert = app.add_option("--cert", options->cert_file, "PEM certificate: serve HTTPS")
                          ->check(CLI::ExistingFile);
  CLI::Option* key = app.add_option("--key", options->key_file, "PEM private key of --cert")
                         ->check(CLI::ExistingFile);
  cert->needs(key);
  key->needs(cert);
  app.add_option("--updates", options->updates_dir, "folder whose files the update list offers")
      ->check(CLI::ExistingDirectory);
  app.add_option("--update-list", options->update_list_file,
                 "file served as the update list instead of the built one")
      ->check(CLI::ExistingFile);
  app.add_option("--sign-key", options->sign_key_file,
                 "Ed25519 private key (PEM, as veltrane-sign keygen writes it): every file of "
                 "the built update list carries its signature")
      ->check(CLI::ExistingFile);
  app.add_option("--log", options->log_file, "append the request log to FILE (default: stdout)");
  app.add_option("--fault", fault_texts, "a fault switch in force from the start (repeatable)");
  static_assert(kExitOk == 0 && kExitUsage == 2, "the tools' exit status after --help and misuse");
  const int parsed = command_line::Parse(app, argc, argv, out, err);
  if (parsed >= 0) return parsed;
  for (const std::string& text : fault_texts) {
    std::string error;
    const std::optional<FaultSpec> spec = ParseFaultText(text, &error);
    if (!spec) {
      err << "portal-stub: --fault " << text << ": " << error << " (see --help)\n";
      return kExitUsage;
    }
    options->faults.push_back(*spec);
  }
  return -1;
}

}  // namespace portal_stub
