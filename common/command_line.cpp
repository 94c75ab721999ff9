#include "common/command_line.h"

#include <CLI/CLI.hpp>

#include <string>

#include "common/program_version.h"

namespace command_line {

namespace {

// CLI11's message without line breaks and trailing spaces.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

// The help ends with a line break also when the footer does not.
std::string EndLine(std::string text) {
  if (text.empty() || text.back() != '\n') text += '\n';
  return text;
}

}  // namespace

int Parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out, std::ostream& err) {
  return Parse(app, argc, argv, out, err, [] { return OwnProductVersion(); });
}

int Parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out, std::ostream& err,
          const std::function<std::string()>& version) {
  if (app.get_option_no_throw("--version") == nullptr) {
    const std::string name = app.get_name();
    app.set_version_flag(
        "--version",
        [name, version] {
          const std::string text = version();
          return name + " " + (text.empty() ? std::string("(no version information)") : text);
        },
        "Print the program's name and version and exit");
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    out << EndLine(app.help()) << std::flush;
    return kExitShown;
  } catch (const CLI::CallForAllHelp&) {
    out << EndLine(app.help("", CLI::AppFormatMode::All)) << std::flush;
    return kExitShown;
  } catch (const CLI::CallForVersion& e) {
    out << e.what() << '\n' << std::flush;
    return kExitShown;
  } catch (const CLI::ParseError& e) {
    // An unknown option is named even when a missing argument was found first.
    std::string message = OneLine(e.what());
    for (const std::string& arg : app.remaining(true)) {
      if (arg.size() > 1 && arg[0] == '-') {
        message = "unknown option " + arg;
        break;
      }
    }
    err << app.get_name() << ": " << message << " (see --help)\n" << std::flush;
    return kExitUsage;
  }
  return -1;
}

}  // namespace command_line
