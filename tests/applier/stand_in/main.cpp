// A stand-in for the relay and the service manager in the update applier's tests. Copied
// into a program folder under their names, it appends "<name> <pid> <version>" to
// "starts.txt" beside itself when it starts, then runs until it is ended (two minutes at
// most). With the argument --exit it ends at once.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "foundation/library.h"
#include "foundation/version.h"
#include "platform/module.h"

int main(int argc, char** argv) {
  VGSLib::initialize();
  const std::string path = plat::ExecutablePath();
  const std::size_t slash = path.rfind('/');
  VGS_Version version;
  const std::string line =
      path.substr(slash + 1) + " " + std::to_string(::getpid()) + " " +
      (version.extract(path.c_str()) ? version.fileVerStr() : std::string("none")) + "\n";
  const std::string record = path.substr(0, slash) + "/starts.txt";
  const int fd = ::open(record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd >= 0) {
    if (::write(fd, line.data(), line.size()) < 0) return 1;
    ::close(fd);
  }
  if (argc > 1 && std::strcmp(argv[1], "--exit") == 0) return 0;
  for (int i = 0; i < 120; ++i) ::sleep(1);
  return 0;
}
