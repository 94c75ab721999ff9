#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

// Every run gets an X server and a session bus of its own, so that no test depends on the
// desktop it is started from (and no status-notifier host exists): the program starts
// itself again under xvfb-run and dbus-run-session. Listing the tests needs neither.
int main(int argc, char** argv) {
  bool listing = false;
  for (int i = 1; i < argc; ++i) listing = listing || std::strcmp(argv[i], "--gtest_list_tests") == 0;
  if (!listing && std::getenv("RELAY_UI_ISOLATED") == nullptr) {
    setenv("RELAY_UI_ISOLATED", "1", 1);
    unsetenv("WAYLAND_DISPLAY");
    std::vector<std::string> args = {"xvfb-run", "-a", "-s", "-screen 0 1280x1024x24 -nolisten tcp",
                                     "dbus-run-session", "--"};
    char self[4096] = {0};
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    args.push_back(n > 0 ? std::string(self, static_cast<std::size_t>(n)) : argv[0]);
    for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
    std::vector<char*> exec_args;
    for (std::string& a : args) exec_args.push_back(a.data());
    exec_args.push_back(nullptr);
    execvp(exec_args[0], exec_args.data());
    perror("xvfb-run");
    return 2;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
