// A stand-in for the relay's TCP server: one thread that accepts connections on
// 127.0.0.1, decodes request frames with the project's own reader and answers each
// 1001 request with a 1002 frame, or misbehaves on purpose.
#pragma once

#include <arpa/inet.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "relay/ocs_archive.h"
#include "relay/ocs_message.h"
#include "relay/seed_cipher.h"

class FakeRelay {
 public:
  enum class Mode {
    kAnswer,         // an unknown frame, then the answer, sent one byte at a time
    kSilent,         // reads requests, never answers
    kClose,          // closes the connection when a request arrives
    kGarbage,        // a 1002 frame whose payload is not Base64
    kWrongKey,       // a 1002 frame enciphered under another key
    kBadMagic,       // a frame with the magic "ZERX"
  };

  explicit FakeRelay(Mode mode) : mode_(mode) {
    listener_ = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof address;
    if (listener_ == plat::INVALID_SOCKET ||
        plat::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        plat::listen(listener_, 8) != 0 ||
        plat::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      return;
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Serve(); });
  }

  ~FakeRelay() {
    stopping_ = true;
    plat::shutdown(listener_, plat::SD_BOTH);  // wakes a pending accept
    plat::SOCKET client = client_.load();
    if (client != plat::INVALID_SOCKET) plat::shutdown(client, plat::SD_BOTH);
    if (thread_.joinable()) thread_.join();
    if (listener_ != plat::INVALID_SOCKET) plat::closesocket(listener_);
  }

  FakeRelay(const FakeRelay&) = delete;
  FakeRelay& operator=(const FakeRelay&) = delete;

  int port() const { return port_; }

  // Deciphered request texts, connections accepted and their peer addresses.
  std::vector<std::string> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  std::vector<std::string> peers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return peers_;
  }

  // The answer the relay gives to the n-th request (from 1).
  static std::string AnswerFor(const std::string& request, size_t n) {
    return "{\"n\":" + std::to_string(n) + ",\"echo\":" + request + "}";
  }

  static std::string Frame(unsigned short sid, const std::string& payload) {
    COCSDataRes message;
    if (!payload.empty()) message.payload().set(static_cast<unsigned int>(payload.size()), payload.data());
    CVgsMessage other(sid);
    COCSArchive archive;
    VGS_Byte_Block frame;
    const int length = archive.write_frame(sid == OCS_SID_DATA_RES ? message : other, frame);
    return length > 0 ? std::string(static_cast<const char*>(frame.c_ptr(0)), length) : "";
  }

 private:
  void Serve() {
    while (!stopping_) {
      sockaddr_in peer{};
      int length = sizeof peer;
      plat::SOCKET client = plat::accept(listener_, reinterpret_cast<sockaddr*>(&peer), &length);
      if (client == plat::INVALID_SOCKET) return;
      client_ = client;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        peers_.push_back(plat::inet_ntoa(peer.sin_addr));
      }
      if (!stopping_) Talk(client);
      client_ = plat::INVALID_SOCKET;
      plat::closesocket(client);
    }
  }

  // Serves one connection until the peer closes it or the mode ends it.
  void Talk(plat::SOCKET client) {
    COCSArchive archive;
    std::vector<char> buffer(4096);
    for (;;) {
      const int got = plat::recv(client, buffer.data(), static_cast<int>(buffer.size()), 0);
      if (got <= 0) return;
      const char* at = buffer.data();
      unsigned int left = static_cast<unsigned int>(got);
      while (left > 0) {
        CVgsMessage* message = nullptr;
        const int used = archive.read_frame(at, left, message);
        if (used < 0) return;
        if (used == 0) break;
        at += used;
        left -= static_cast<unsigned int>(used);
        const bool keep = Respond(client, message);
        message->release();
        if (!keep) return;
      }
    }
  }

  // Handles one decoded message; false ends the connection.
  bool Respond(plat::SOCKET client, CVgsMessage* message) {
    if (message->get_sid() != OCS_SID_DATA_REQ) return true;
    const VGS_Byte_Block& payload = static_cast<COCSDataReq*>(message)->payload();
    std::optional<std::string> request =
        DecryptFromBase64(static_cast<const char*>(payload.c_ptr(0)), payload.size(), kOcsPayloadKey);
    size_t n;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(request.value_or("<undecipherable>"));
      n = requests_.size();
    }
    const std::string answer = AnswerFor(request.value_or(""), n);
    switch (mode_) {
      case Mode::kAnswer: {
        const std::string bytes =
            Frame(2000, "") + Frame(OCS_SID_DATA_RES, EncryptToBase64(answer.c_str(), kOcsPayloadKey));
        for (char c : bytes) {
          if (plat::send(client, &c, 1, 0) != 1) return false;
        }
        return true;
      }
      case Mode::kSilent:
        return true;
      case Mode::kClose:
        return false;
      case Mode::kGarbage:
        return SendAll(client, Frame(OCS_SID_DATA_RES, "%%% not base64 %%%"));
      case Mode::kWrongKey:
        return SendAll(client, Frame(OCS_SID_DATA_RES, EncryptToBase64(answer.c_str(), "SOME-OTHER-KEY16")));
      case Mode::kBadMagic: {
        std::string bytes = Frame(OCS_SID_DATA_RES, EncryptToBase64(answer.c_str(), kOcsPayloadKey));
        bytes[4] = 'X';
        return SendAll(client, bytes);
      }
    }
    return false;
  }

  static bool SendAll(plat::SOCKET client, const std::string& bytes) {
    return plat::send(client, bytes.data(), static_cast<int>(bytes.size()), 0) ==
           static_cast<int>(bytes.size());
  }

  const Mode mode_;
  plat::SOCKET listener_ = plat::INVALID_SOCKET;
  std::atomic<plat::SOCKET> client_{plat::INVALID_SOCKET};
  std::atomic<bool> stopping_{false};
  int port_ = 0;
  std::thread thread_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  std::vector<std::string> peers_;
};
