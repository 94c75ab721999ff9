#include "tools/command_line.h"

#include <CLI/CLI.hpp>

#include <string>

namespace tools {

namespace {

// CLI11's message without line breaks and trailing spaces.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

int ParseWith(CLI::App& app, int argc, const char* const* argv, std::ostream& out,
              std::ostream& err) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    err << app.get_name() << ": " << OneLine(e.what()) << " (see --help)\n";
    return 2;
  }
  return -1;
}

}  // namespace tools
