#include "support/scripted_peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/net.h"

namespace test_support {

Script_Server::Script_Server(Script script)
    : script_(std::move(script)), listener_(listen_on_loopback(64, &port_)) {
  acceptor_ = std::thread([this] { accept_loop(); });
}

Script_Server::~Script_Server() {
  stopping_ = true;
  release();
  acceptor_.join();
  {
    std::lock_guard<std::mutex> guard(mutex_);
    for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
  }
  for (std::thread& session : sessions_) session.join();
  ::close(listener_);
}

bool Script_Server::send_all(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

void Script_Server::release() {
  std::lock_guard<std::mutex> guard(mutex_);
  released_ = true;
  released_cv_.notify_all();
}

void Script_Server::hold() {
  std::unique_lock<std::mutex> lock(mutex_);
  released_cv_.wait(lock, [this] { return released_; });
}

void Script_Server::accept_loop() {
  while (!stopping_) {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 50) <= 0) continue;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      fds_.push_back(fd);
    }
    sessions_.emplace_back([this, fd] {
      std::string request;
      char buffer[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
      }
      script_(fd, request);
      std::lock_guard<std::mutex> guard(mutex_);
      for (int& open : fds_) {
        if (open == fd) open = -1;
      }
      ::close(fd);
    });
  }
}

Full_Listener::Full_Listener() : listener_(listen_on_loopback(0, &port_)), full_(false) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<unsigned short>(port_));
  // Connect until one connection does not complete: the queue is full.
  for (int i = 0; i < 16 && !full_; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    fillers_.push_back(fd);
    ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    pollfd p{fd, POLLOUT, 0};
    full_ = ::poll(&p, 1, 200) == 0;
  }
}

Full_Listener::~Full_Listener() {
  for (int fd : fillers_) ::close(fd);
  ::close(listener_);
}

}  // namespace test_support
