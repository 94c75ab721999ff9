// The program folder, the three programs and their library.
#include <sstream>
#include <string>

#include "common/program_files.h"
#include "platform/directory.h"
#include "platform/error.h"
#include "platform/path_owner.h"
#include "platform/program_run.h"
#include "tools/veltrane_check/checks.h"

namespace veltrane_check {

namespace {

constexpr char kLibrary[] = "libzervlib.so";
constexpr char kReinstall[] =
    "install the programs again (the tarball's install.sh, or the package)";

std::string Seconds(DWORD ms) {
  std::ostringstream text;
  text << ms / 1000.0 << " s";
  return text.str();
}

std::string LastErrorText() {
  const DWORD code = plat::GetLastError();
  const char* text = plat::SystemMessageText(code);
  return text != nullptr ? text : "error " + std::to_string(code);
}

// The version of the "NAME VERSION" line a program prints for --version: the first line's
// last word; empty when that line has fewer than two words.
std::string VersionFrom(const std::string& output) {
  std::istringstream first(output.substr(0, output.find('\n')));
  std::string word;
  std::string version;
  int words = 0;
  while (first >> word) {
    version = word;
    ++words;
  }
  return words >= 2 ? version : std::string();
}

void CheckProgram(const Context& context, const char* name, Lines& lines) {
  const std::string path = context.Path(name);
  const std::string where = std::string(name) + " (" + path + ")";
  if (plat::AccessA(path.c_str(), 0) != 0) {
    lines.Fail(std::string(name) + " missing from " + context.folder, kReinstall);
    return;
  }
  plat::ProgramResult result;
  if (!plat::RunProgram({path, "--version"}, {}, context.timeout_ms, &result)) {
    lines.Fail(
        where + " cannot be started: " + LastErrorText(),
        "it must be a program file the user may run (chmod 755); else " + std::string(kReinstall));
    return;
  }
  if (result.timed_out) {
    lines.Fail(where + " gave no answer to --version within " + Seconds(context.timeout_ms),
               "it is not a program of this version: " + std::string(kReinstall));
    return;
  }
  if (!result.exited) {
    lines.Fail(where + " ended by a signal when asked --version", kReinstall);
    return;
  }
  if (result.exit_code == 127) {
    lines.Fail(where + " cannot start: a library it needs is missing",
               "ldd " + path + " names it; " + kLibrary + " belongs beside the programs");
    return;
  }
  if (result.exit_code != 0) {
    lines.Fail(where + " --version ended with exit status " + std::to_string(result.exit_code),
               kReinstall);
    return;
  }
  const std::string version = VersionFrom(result.output);
  if (version.empty()) {
    lines.Fail(where + " printed no \"" + name + " VERSION\" line for --version", kReinstall);
    return;
  }
  lines.Ok(std::string(name) + " " + version + " runs");
}

}  // namespace

void CheckProgramFolder(const Context& context, Lines& lines) {
  const std::string& folder = context.folder;
  plat::PathOwner owner;
  if (folder.empty() || !plat::GetPathOwner(folder.c_str(), &owner) || !owner.is_directory) {
    lines.Fail("program folder " + folder + " not found",
               "name the folder of the programs with --folder DIR");
    return;
  }
  if (owner.root && plat::IsAdministratorFolder(folder.c_str())) {
    lines.Ok("program folder " + folder + ": a system install, root's and writable by no one else");
    return;
  }
  if (owner.group_writable || owner.other_writable) {
    lines.Fail("program folder " + folder + " may be changed by its group or by every user",
               "another user could replace the programs: chmod go-w " + folder);
    return;
  }
  if (owner.caller) {
    lines.Ok("program folder " + folder + ": a per-user install, the user's own");
    return;
  }
  if (owner.root) {
    lines.Fail("program folder " + folder +
                   " is root's, but a folder above it is a link or may be changed by others",
               "install the package (/opt/veltrane), or use a folder whose every parent is "
               "root's and writable by root only");
    return;
  }
  lines.Fail("program folder " + folder + " belongs to another user (id " +
                 std::to_string(owner.user_id) + ")",
             "install into a folder of your own (the tarball), or install the package");
}

void CheckPrograms(const Context& context, Lines& lines) {
  for (const char* name : {kRelayExe, kServiceExe, kApplierExe}) CheckProgram(context, name, lines);
  if (plat::AccessA(context.Path(kLibrary).c_str(), 4) != 0) {
    lines.Fail(std::string(kLibrary) + " missing from " + context.folder, kReinstall);
  } else {
    lines.Ok(std::string(kLibrary) + " present");
  }
}

}  // namespace veltrane_check
