// Exit codes of ocs-client; each failure kind has its own.
#pragma once

namespace ocs_client {

enum ExitCode : int {
  kExitOk = 0,
  kExitFailure = 1,         // anything else: unreadable input, unknown host, bind failure...
  kExitUsage = 2,           // bad command line or empty request
  kExitRefused = 3,         // the relay refused the connection
  kExitTimeout = 4,         // no connection or no answer within the time-out
  kExitClosed = 5,          // the relay closed the connection before the answer
  kExitUndecipherable = 6,  // the answer is not a text enciphered with the payload key
  kExitBadFrame = 7,        // the relay sent bytes that are not a valid frame
};

}  // namespace ocs_client
