#include "platform/instance_activation.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <string>

namespace {

std::string UniqueName(const char* what) {
  return std::string("test-") + what + "-" + std::to_string(::getpid());
}

TEST(InstanceActivationTest, ASecondStartReachesTheListenerOfItsName) {
  const std::string name = UniqueName("reach");
  EXPECT_FALSE(plat::RequestActivation(name)) << "nobody listens yet";

  plat::ActivationListener listener(name);
  ASSERT_TRUE(listener.listening());
  EXPECT_FALSE(plat::ActivationListener(name).listening()) << "one listener per name";
  EXPECT_FALSE(listener.TakeRequests()) << "nothing waiting, and it does not block";

  EXPECT_TRUE(plat::RequestActivation(name));
  EXPECT_TRUE(plat::RequestActivation(name));
  EXPECT_TRUE(listener.TakeRequests());
  EXPECT_FALSE(listener.TakeRequests()) << "both were taken at once";
  EXPECT_FALSE(plat::RequestActivation(name + "-other"));
}

// A process of another user: root lends the child an unused uid.
int RunAsStranger(const std::function<bool()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgid(64999) != 0 || ::setuid(64999) != 0) ::_exit(3);
    ::_exit(body() ? 0 : 1);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

sockaddr_un AbstractAddress(const std::string& socket_name, socklen_t* length) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, socket_name.data(), socket_name.size());
  *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socket_name.size());
  return address;
}

// Another user may connect to the socket or take its name first; neither counts as a
// request, and the user's own second start sends nothing to a stranger's listener.
TEST(InstanceActivationTest, PeersOfAnotherUserAreIgnoredBothWays) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  const std::string name = UniqueName("stranger");
  socklen_t length = 0;
  const sockaddr_un address = AbstractAddress(plat::ActivationSocketName(name), &length);
  {
    plat::ActivationListener listener(name);
    ASSERT_TRUE(listener.listening());
    EXPECT_EQ(RunAsStranger([&] {
                const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
                return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0;
              }),
              0);
    EXPECT_FALSE(listener.TakeRequests());
  }
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t squatter = ::fork();
  if (squatter == 0) {
    if (::setgid(64999) != 0 || ::setuid(64999) != 0) ::_exit(3);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    const bool bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) == 0 &&
                       ::listen(fd, 8) == 0;
    const char byte = bound ? 1 : 0;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(1);
    ::pause();
    ::_exit(0);
  }
  char bound = 0;
  ASSERT_EQ(::read(ready[0], &bound, 1), 1);
  EXPECT_EQ(bound, 1);
  EXPECT_FALSE(plat::RequestActivation(name));
  EXPECT_FALSE(plat::ActivationListener(name).listening());
  ::kill(squatter, SIGKILL);
  ::waitpid(squatter, nullptr, 0);
  ::close(ready[0]);
  ::close(ready[1]);
}

}  // namespace
