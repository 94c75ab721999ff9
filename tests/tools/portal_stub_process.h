// Runs the real portal-stub program for a test and talks HTTP to it over plain sockets,
// so that answers can be checked byte for byte (cut bodies, stalls, missing lengths).
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "platform/scratch_dir.h"
#include "platform/socket.h"
#include "platform/socket_client.h"

extern char** environ;

// The whole file in one read (ReadAll goes byte by byte, slow for programs in Debug builds).
inline std::string ReadFileFast(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  std::string data(in ? static_cast<std::size_t>(in.tellg()) : 0, '\0');
  in.seekg(0);
  in.read(data.data(), static_cast<std::streamsize>(data.size()));
  return data;
}

// portal-stub started with `args` (plus --log FILE), its standard output and error
// in files of `dir`; stopped with SIGTERM when the object goes.
class StubProcess {
 public:
  StubProcess(const ScratchDir& dir, std::vector<std::string> args, const std::string& tag = "stub")
      : out_path_(dir.file(tag + ".out")),
        err_path_(dir.file(tag + ".err")),
        log_path_(dir.file(tag + ".log")) {
    std::vector<std::string> all{PORTAL_STUB_PATH, "--log", log_path_};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, PORTAL_STUB_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    WaitForListening();
  }

  ~StubProcess() { Stop(); }
  StubProcess(const StubProcess&) = delete;
  StubProcess& operator=(const StubProcess&) = delete;

  // Sends SIGTERM and reaps the process; its exit status, or -1.
  int Stop() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      Reap(true);
    }
    return status_;
  }

  // Waits for the process to end on its own (within 10 s); its exit code, or -1.
  int WaitExit() {
    Reap(false);
    return status_;
  }

  int port() const { return port_; }
  const std::string& url() const { return url_; }  // "http://127.0.0.1:PORT"
  std::string out() const { return ReadAll(out_path_); }
  std::string err() const { return ReadAll(err_path_); }
  std::string log() const { return ReadAll(log_path_); }

 private:
  void WaitForListening() {
    const std::string mark = "listening on ";
    for (int i = 0; i < 1000 && pid_ > 0; ++i) {
      const std::string text = out();
      const std::size_t at = text.find(mark);
      const std::size_t end = text.find('\n', at == std::string::npos ? 0 : at);
      if (at != std::string::npos && end != std::string::npos) {
        url_ = text.substr(at + mark.size(), end - at - mark.size());
        port_ = std::atoi(url_.substr(url_.rfind(':') + 1).c_str());
        return;
      }
      int status = 0;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }

  void Reap(bool killed) {
    if (pid_ <= 0) return;  // never started, or already reaped
    int status = 0;
    for (int i = 0; i < 1000; ++i) {
      const pid_t done = ::waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        if (WIFEXITED(status)) {
          status_ = WEXITSTATUS(status);
        } else {
          status_ = killed && WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM ? 0 : -1;
        }
        pid_ = -1;
        return;
      }
      if (done < 0 && errno != EINTR) {  // not our child any more: nothing to signal
        pid_ = -1;
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  std::string out_path_, err_path_, log_path_;
  pid_t pid_ = -1;
  int status_ = -1;
  int port_ = 0;
  std::string url_;
};

// One answer as received: what arrived before the peer closed or the time ran out.
struct RawAnswer {
  bool connected = false;
  bool closed = false;  // the stub closed the connection
  std::string bytes;

  bool has_head() const { return bytes.find("\r\n\r\n") != std::string::npos; }
  int status() const {
    return bytes.size() > 12 && bytes.compare(0, 5, "HTTP/") == 0 ? std::atoi(bytes.c_str() + 9) : -1;
  }
  // A header value (name in any case); empty when absent.
  std::string header(const std::string& name) const {
    const std::string head = bytes.substr(0, bytes.find("\r\n\r\n"));
    std::string lower_name = name;
    std::transform(lower_name.begin(), lower_name.end(), lower_name.begin(), ::tolower);
    std::size_t at = head.find("\r\n");
    while (at != std::string::npos) {
      const std::size_t end = head.find("\r\n", at + 2);
      const std::string line = head.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2);
      const std::size_t colon = line.find(':');
      std::string key = line.substr(0, colon);
      std::transform(key.begin(), key.end(), key.begin(), ::tolower);
      if (colon != std::string::npos && key == lower_name) {
        return line.substr(line.find_first_not_of(' ', colon + 1));
      }
      at = end;
    }
    return std::string();
  }
  bool has_header(const std::string& name) const {
    const std::string head = bytes.substr(0, bytes.find("\r\n\r\n") + 2);
    std::string lower = head;
    std::transform(lower.begin(), lower.end(), lower.begin(), ::tolower);
    std::string key = "\r\n" + name + ":";
    std::transform(key.begin(), key.end(), key.begin(), ::tolower);
    return lower.find(key) != std::string::npos;
  }
  std::string body() const {
    const std::size_t end = bytes.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : bytes.substr(end + 4);
  }
};

// A plain TCP connection to the stub on 127.0.0.1.
class RawConnection {
 public:
  explicit RawConnection(int port) : port_(port) {
    socket_ = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    answer_.connected =
        socket_ != plat::INVALID_SOCKET &&
        plat::connect_timeout(socket_, reinterpret_cast<const sockaddr*>(&address), sizeof address,
                              5000) == 0;
  }
  ~RawConnection() {
    if (socket_ != plat::INVALID_SOCKET) plat::closesocket(socket_);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // Sends "METHOD TARGET HTTP/1.1" with "Host: 127.0.0.1:PORT" and "Connection: close", plus `extra`
  // header lines (each ending in \r\n) and `body`.
  bool Send(const std::string& method, const std::string& target, const std::string& extra = "",
            const std::string& body = "") {
    const std::string request = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                                std::to_string(port_) + "\r\n" +
                                "Connection: close\r\n" + extra + "\r\n" + body;
    return answer_.connected &&
           plat::send_all(socket_, request.data(), static_cast<int>(request.size()), 5000) ==
               static_cast<int>(request.size());
  }

  // Receives until the stub closes the connection or `ms` pass without it.
  const RawAnswer& ReadFor(unsigned int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buffer[65536];
    while (!answer_.closed && answer_.connected) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      const int got = plat::recv_timeout(socket_, buffer, sizeof buffer, static_cast<DWORD>(left.count()));
      if (got > 0) {
        answer_.bytes.append(buffer, static_cast<std::size_t>(got));
      } else if (got == 0) {
        answer_.closed = true;
      } else if (plat::WSAGetLastError() == WSAETIMEDOUT) {
        break;
      } else {
        answer_.closed = true;  // reset
      }
    }
    return answer_;
  }

  const RawAnswer& answer() const { return answer_; }

 private:
  int port_;
  plat::SOCKET socket_ = plat::INVALID_SOCKET;
  RawAnswer answer_;
};

// One request on a new connection, read to the end (10 s at most).
inline RawAnswer RawRequest(int port, const std::string& method, const std::string& target,
                            const std::string& extra = "", const std::string& body = "") {
  RawConnection connection(port);
  connection.Send(method, target, extra, body);
  return connection.ReadFor(10000);
}
