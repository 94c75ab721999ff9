// One connection of an OCS client to the relay: connect, then request/answer exchanges.
#pragma once

#include <string>
#include <vector>

#include "platform/socket.h"
#include "relay/ocs_archive.h"
#include "tools/ocs_client/exit_codes.h"

namespace ocs_client {

class OcsConnection {
 public:
  // `timeout_ms` bounds the connect and each exchange (sending and the answer).
  explicit OcsConnection(unsigned int timeout_ms);
  ~OcsConnection();
  OcsConnection(const OcsConnection&) = delete;
  OcsConnection& operator=(const OcsConnection&) = delete;

  // Resolves `host`, binds to `bind_address` when it is not empty, and connects.
  ExitCode Open(const std::string& host, int port, const std::string& bind_address);

  // Sends `request` as message 1001 and waits for the 1002 answer; frames with other ids
  // are skipped. Bytes after the answer are kept for the next exchange.
  ExitCode Exchange(const std::string& request, std::string* answer);

  // One line describing the last failure.
  const std::string& error() const { return error_; }

 private:
  ExitCode Fail(ExitCode code, const std::string& text);
  ExitCode SocketFailure(const std::string& doing);
  // Offers held bytes to the frame reader; kExitOk with `answer` set when a 1002 frame
  // completed, kExitOk with `*done` false when more bytes are needed.
  ExitCode TakeFrames(std::string* answer, bool* done);

  unsigned int timeout_ms_;
  plat::SOCKET socket_ = plat::INVALID_SOCKET;
  std::string peer_;
  COCSArchive archive_;
  std::vector<char> buffer_;
  std::string held_;  // received bytes not yet offered to the frame reader
  std::string error_;
};

}  // namespace ocs_client
