#include "support/display.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace test_support {

bool on_own_display(const char* marker, int argc, char** argv) {
  if (std::getenv(marker) != nullptr) return true;
  ::setenv(marker, "1", 1);
  ::unsetenv("WAYLAND_DISPLAY");
  std::vector<std::string> args = {
      "xvfb-run", "-a", "-s", "-screen 0 1280x1024x24 -nolisten tcp", "dbus-run-session", "--"};
  char self[4096] = {0};
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  args.push_back(n > 0 ? std::string(self, static_cast<std::size_t>(n)) : argv[0]);
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  std::vector<char*> exec_args;
  for (std::string& a : args) exec_args.push_back(a.data());
  exec_args.push_back(nullptr);
  ::execvp(exec_args[0], exec_args.data());
  std::perror("xvfb-run");
  return false;
}

}  // namespace test_support
