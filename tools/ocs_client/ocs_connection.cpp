#include "tools/ocs_client/ocs_connection.h"

#include <chrono>
#include <cstring>

#include "foundation/library.h"
#include "platform/socket_client.h"
#include "relay/ocs_message.h"
#include "tools/ocs_client/payload_codec.h"

namespace ocs_client {

namespace {

constexpr std::size_t kReceiveSize = 32768;

using Clock = std::chrono::steady_clock;

unsigned int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<unsigned int>(left.count()) : 0u;
}

std::string SocketErrorText(DWORD code) {
  char text[512];
  std::string result;
  if (VGSLib::GetErrorMsg(code, text, sizeof text) > 0) result = text;
  while (!result.empty() &&
         (result.back() == '\n' || result.back() == '\r' || result.back() == '.')) {
    result.pop_back();
  }
  return result.empty() ? "error " + std::to_string(code) : result;
}

bool IsConnectionLoss(DWORD code) {
  return code == WSAECONNRESET || code == WSAECONNABORTED || code == WSAESHUTDOWN ||
         code == WSAENOTCONN;
}

}  // namespace

OcsConnection::OcsConnection(unsigned int timeout_ms)
    : timeout_ms_(timeout_ms), buffer_(kReceiveSize) {}

OcsConnection::~OcsConnection() {
  if (socket_ != plat::INVALID_SOCKET) plat::closesocket(socket_);
}

ExitCode OcsConnection::Fail(ExitCode code, const std::string& text) {
  error_ = text;
  return code;
}

ExitCode OcsConnection::SocketFailure(const std::string& doing) {
  const DWORD code = plat::WSAGetLastError();
  if (code == WSAETIMEDOUT) {
    return Fail(kExitTimeout, "no answer from " + peer_ + " within the time-out (" + doing + ")");
  }
  if (IsConnectionLoss(code)) {
    return Fail(kExitClosed, peer_ + " closed the connection before the answer");
  }
  return Fail(kExitFailure, doing + " " + peer_ + " failed: " + SocketErrorText(code));
}

ExitCode OcsConnection::Open(const std::string& host, int port, const std::string& bind_address) {
  peer_ = host + ":" + std::to_string(port);
  const plat::HOSTENT* entry = plat::gethostbyname(host.c_str());
  if (entry == nullptr || entry->h_addr_list == nullptr || entry->h_addr_list[0] == nullptr) {
    return Fail(kExitFailure, "cannot resolve host " + host);
  }
  sockaddr_in remote{};
  remote.sin_family = AF_INET;
  remote.sin_port = htons(static_cast<unsigned short>(port));
  std::memcpy(&remote.sin_addr, entry->h_addr_list[0], sizeof remote.sin_addr);

  socket_ = plat::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket_ == plat::INVALID_SOCKET) {
    return Fail(kExitFailure, "cannot create a socket: " + SocketErrorText(plat::WSAGetLastError()));
  }
  if (!bind_address.empty()) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = static_cast<in_addr_t>(plat::inet_addr(bind_address.c_str()));
    if (local.sin_addr.s_addr == plat::INADDR_NONE_VALUE ||
        plat::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
      return Fail(kExitFailure, "cannot bind to " + bind_address + ": " +
                                    SocketErrorText(plat::WSAGetLastError()));
    }
  }
  if (plat::connect_timeout(socket_, reinterpret_cast<const sockaddr*>(&remote), sizeof remote,
                            timeout_ms_) != 0) {
    const DWORD code = plat::WSAGetLastError();
    if (code == WSAECONNREFUSED) return Fail(kExitRefused, "connection refused by " + peer_);
    if (code == WSAETIMEDOUT) {
      return Fail(kExitTimeout, "could not connect to " + peer_ + " within the time-out");
    }
    return Fail(kExitFailure, "cannot connect to " + peer_ + ": " + SocketErrorText(code));
  }
  return kExitOk;
}

ExitCode OcsConnection::Exchange(const std::string& request, std::string* answer) {
  if (socket_ == plat::INVALID_SOCKET) return Fail(kExitFailure, "not connected");
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms_);
  const std::string frame = BuildRequestFrame(request);
  if (frame.empty()) {
    return Fail(kExitFailure, "cannot build the request frame: " +
                                  SocketErrorText(static_cast<DWORD>(VGSLib::GetErrorCode())));
  }
  if (plat::send_all(socket_, frame.data(), static_cast<int>(frame.size()), MsLeft(deadline)) < 0) {
    return SocketFailure("sending to");
  }
  for (;;) {
    bool done = false;
    const ExitCode taken = TakeFrames(answer, &done);
    if (taken != kExitOk || done) return taken;
    const int got = plat::recv_timeout(socket_, buffer_.data(), static_cast<int>(buffer_.size()),
                                       MsLeft(deadline));
    if (got < 0) return SocketFailure("receiving from");
    if (got == 0) return Fail(kExitClosed, peer_ + " closed the connection before the answer");
    held_.append(buffer_.data(), static_cast<std::size_t>(got));
  }
}

ExitCode OcsConnection::TakeFrames(std::string* answer, bool* done) {
  *done = false;
  std::size_t at = 0;
  ExitCode result = kExitOk;
  while (at < held_.size() && !*done) {
    CVgsMessage* message = nullptr;
    const int used = archive_.read_frame(held_.data() + at,
                                         static_cast<unsigned int>(held_.size() - at), message);
    if (used < 0) {
      held_.clear();
      return Fail(kExitBadFrame, "malformed frame from " + peer_ + ": " +
                                     SocketErrorText(static_cast<DWORD>(VGSLib::GetErrorCode())));
    }
    if (used == 0) {
      at = held_.size();  // the reader holds the rest
      break;
    }
    at += static_cast<std::size_t>(used);
    if (message->get_sid() == OCS_SID_DATA_RES) {
      const VGS_Byte_Block& payload = static_cast<COCSDataRes*>(message)->payload();
      std::optional<std::string> text =
          DecipherAnswer(static_cast<const std::uint8_t*>(payload.c_ptr(0)), payload.size());
      if (text) {
        *answer = std::move(*text);
      } else {
        result = Fail(kExitUndecipherable, "the answer from " + peer_ + " cannot be deciphered");
      }
      *done = true;
    }
    message->release();
  }
  held_.erase(0, at);
  return result;
}

}  // namespace ocs_client
