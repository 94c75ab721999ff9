// HTTP over plain sockets, so that the portal stub's answers can be checked byte for byte
// (cut bodies, stalls, missing lengths).
#pragma once

#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>

#include "platform/socket.h"
#include "platform/socket_client.h"

// One answer as received: what arrived before the peer closed or the time ran out.
struct RawAnswer {
  bool connected = false;
  bool closed = false;  // the stub closed the connection
  std::string bytes;

  bool has_head() const { return bytes.find("\r\n\r\n") != std::string::npos; }
  int status() const {
    return bytes.size() > 12 && bytes.compare(0, 5, "HTTP/") == 0 ? std::atoi(bytes.c_str() + 9)
                                                                  : -1;
  }
  // A header value (name in any case); empty when absent.
  std::string header(const std::string& name) const {
    const std::string head = bytes.substr(0, bytes.find("\r\n\r\n"));
    std::string lower_name = name;
    std::transform(lower_name.begin(), lower_name.end(), lower_name.begin(), ::tolower);
    std::size_t at = head.find("\r\n");
    while (at != std::string::npos) {
      const std::size_t end = head.find("\r\n", at + 2);
      const std::string line =
          head.substr(at + 2, end == std::string::npos ? std::string::npos : end - at - 2);
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
    answer_.connected = socket_ != plat::INVALID_SOCKET &&
                        plat::connect_timeout(socket_, reinterpret_cast<const sockaddr*>(&address),
                                              sizeof address, 5000) == 0;
  }
  ~RawConnection() {
    if (socket_ != plat::INVALID_SOCKET) plat::closesocket(socket_);
  }
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;

  // Sends "METHOD TARGET HTTP/1.1" with "Host: 127.0.0.1:PORT" and "Connection: close", plus
  // `extra` header lines (each ending in \r\n) and `body`.
  bool Send(const std::string& method, const std::string& target, const std::string& extra = "",
            const std::string& body = "") {
    const std::string request = method + " " + target +
                                " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) + "\r\n" +
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
      const int got =
          plat::recv_timeout(socket_, buffer, sizeof buffer, static_cast<DWORD>(left.count()));
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
