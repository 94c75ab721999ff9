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

// A process of another user (root lends it an unused uid) that runs `body`; it reports the
// body's result on `report` and then waits to be killed, so that what it holds stays.
pid_t StartStranger(const std::function<bool()>& body, int report) {
  const pid_t child = ::fork();
  if (child != 0) return child;
  const char result = ::setgid(64999) == 0 && ::setuid(64999) == 0 && body() ? 1 : 0;
  if (::write(report, &result, 1) != 1) ::_exit(1);
  ::pause();
  ::_exit(0);
}

// Another user may connect to the socket or take its name first; neither counts as a
// request, and the user's own second start sends nothing to a stranger's listener.
TEST(InstanceActivationTest, PeersOfAnotherUserAreIgnoredBothWays) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  const std::string name = UniqueName("stranger");
  const std::string socket_name = plat::ActivationSocketName(name);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, socket_name.data(), socket_name.size());
  const auto length =
      static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + socket_name.size());
  const auto* where = reinterpret_cast<const sockaddr*>(&address);
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const auto stranger = [&](const std::function<bool(int)>& use) {
    const pid_t pid =
        StartStranger([&] { return use(::socket(AF_UNIX, SOCK_STREAM, 0)); }, report[1]);
    char done = 0;
    EXPECT_EQ(::read(report[0], &done, 1), 1);
    EXPECT_EQ(done, 1);
    return pid;
  };
  const auto end = [](pid_t pid) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  };
  {
    plat::ActivationListener listener(name);
    ASSERT_TRUE(listener.listening());
    const pid_t client = stranger([&](int fd) { return ::connect(fd, where, length) == 0; });
    EXPECT_FALSE(listener.TakeRequests());
    end(client);
  }
  const pid_t squatter =
      stranger([&](int fd) { return ::bind(fd, where, length) == 0 && ::listen(fd, 8) == 0; });
  EXPECT_FALSE(plat::RequestActivation(name));
  EXPECT_FALSE(plat::ActivationListener(name).listening());
  end(squatter);
  ::close(report[0]);
  ::close(report[1]);
}

}  // namespace
