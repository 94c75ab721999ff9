// Peers on 127.0.0.1 that no HTTP server would be: one that sends scripted bytes, and one
// that never accepts.
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace test_support {

// A raw TCP server: each accepted connection runs `script` on a thread of its own with the
// socket, after the request's headers were read.
class Script_Server {
 public:
  using Script = std::function<void(int fd, const std::string& request)>;
  explicit Script_Server(Script script);
  ~Script_Server();
  Script_Server(const Script_Server&) = delete;
  Script_Server& operator=(const Script_Server&) = delete;

  int port() const { return port_; }
  // Sends everything (blocking); false when the peer went away.
  static bool send_all(int fd, const std::string& data);
  // Lets scripts that wait in hold() go on.
  void release();
  // Waits until release() or the server's end.
  void hold();

 private:
  void accept_loop();

  Script script_;
  int listener_;
  int port_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::condition_variable released_cv_;
  bool released_ = false;
  std::vector<std::thread> sessions_;
  std::vector<int> fds_;
};

// A listener that never accepts, with its queue filled: a new connection hangs in the
// handshake.
class Full_Listener {
 public:
  Full_Listener();
  ~Full_Listener();
  Full_Listener(const Full_Listener&) = delete;
  Full_Listener& operator=(const Full_Listener&) = delete;

  int port() const { return port_; }
  // False when the queue could not be filled (the system takes every connection).
  bool full() const { return full_; }

 private:
  int listener_;
  int port_;
  bool full_;
  std::vector<int> fillers_;
};

}  // namespace test_support
