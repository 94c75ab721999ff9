#include "platform/netinfo.h"

#include <arpa/inet.h>
#include <cerrno>
#include <dirent.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>

#include "platform/error.h"

namespace plat {

DWORD GetLocalIPv4Address(std::string* address) {
  if (address == nullptr) {
    SetLastError(WSAEFAULT);
    return WSAEFAULT;
  }
  char host[256];
  if (::gethostname(host, sizeof host) != 0) return SetLastWsaErrorFromErrno();
  host[sizeof host - 1] = '\0';
  struct addrinfo hints = {};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  struct addrinfo* result = nullptr;
  int rc = ::getaddrinfo(host, nullptr, &hints, &result);
  if (rc != 0) {
    DWORD code = EaiToWsaError(rc);
    SetLastError(code);
    return code;
  }
  DWORD code = WSANO_DATA;
  for (struct addrinfo* ai = result; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_family != AF_INET || ai->ai_addr == nullptr) continue;
    char text[INET_ADDRSTRLEN];
    const auto* sin = reinterpret_cast<const struct sockaddr_in*>(ai->ai_addr);
    if (::inet_ntop(AF_INET, &sin->sin_addr, text, sizeof text) != nullptr) {
      *address = text;
      code = 0;
      break;
    }
  }
  ::freeaddrinfo(result);
  SetLastError(code);
  return code;
}

namespace {

// The socket inodes of the IPv4 TCP sockets listening on `port` (state 0A in
// /proc/net/tcp, whose ports are hexadecimal).
std::set<std::string> ListeningInodes(unsigned short port) {
  std::set<std::string> inodes;
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the heading
  while (std::getline(table, line)) {
    char local[64] = {0}, remote[64] = {0}, state[8] = {0};
    unsigned long inode = 0;
    // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
    if (std::sscanf(line.c_str(), " %*s %63s %63s %7s %*s %*s %*s %*s %*s %lu", local, remote,
                    state, &inode) != 4) {
      continue;
    }
    const char* colon = std::strchr(local, ':');
    if (colon == nullptr || std::string(state) != "0A") continue;
    if (std::strtoul(colon + 1, nullptr, 16) == port) inodes.insert(std::to_string(inode));
  }
  return inodes;
}

}  // namespace

PortListener FindTcpListener(unsigned short port) {
  PortListener found;
  const std::set<std::string> inodes = ListeningInodes(port);
  if (inodes.empty()) return found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (const dirent* entry = ::readdir(proc)) {
    const char* pid = entry->d_name;
    if (*pid < '1' || *pid > '9') continue;
    const std::string fds = std::string("/proc/") + pid + "/fd";
    DIR* dir = ::opendir(fds.c_str());  // only this user's processes open
    if (dir == nullptr) continue;
    bool holds = false;
    while (const dirent* fd = ::readdir(dir)) {
      char target[64] = {0};
      const std::string link = fds + "/" + fd->d_name;
      const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
      if (length <= 0) continue;
      const std::string text(target, static_cast<std::size_t>(length));
      if (text.rfind("socket:[", 0) == 0 && inodes.count(text.substr(8, text.size() - 9)) != 0) {
        holds = true;
        break;
      }
    }
    ::closedir(dir);
    if (!holds) continue;
    char exe[4096] = {0};
    const std::string exe_link = std::string("/proc/") + pid + "/exe";
    const ssize_t length = ::readlink(exe_link.c_str(), exe, sizeof exe - 1);
    const std::string path = length > 0 ? std::string(exe, static_cast<std::size_t>(length)) : "";
    found.program = path.substr(path.rfind('/') + 1);
    found.process_id = static_cast<DWORD>(std::strtoul(pid, nullptr, 10));
    break;
  }
  ::closedir(proc);
  return found;
}

}  // namespace plat
