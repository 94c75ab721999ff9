// Window ids and posted window messages.
//
// A window id (HWND) names a message sink: whatever delivers posted messages to the
// thread that owns the window. The GTK front end registers a sink that hands messages to
// the GUI main loop; headless programs and tests use Queue_Message_Sink. Ids are never
// reused, so a stale id stays invalid after its window is destroyed.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

#include "platform/types.h"

struct HWND__;
using HWND = HWND__*;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;

namespace plat {

constexpr DWORD ERROR_INVALID_WINDOW_HANDLE = 1400;

// Delivers messages posted to one window. post runs on the poster's thread and must not
// block on the window's thread.
class Message_Sink {
 public:
  virtual ~Message_Sink() = default;
  // false when the window's thread no longer takes messages.
  virtual bool post(UINT msg, WPARAM wparam, LPARAM lparam) = 0;
};

struct Window_Message {
  UINT msg = 0;
  WPARAM wparam = 0;
  LPARAM lparam = 0;
};

// A thread-safe FIFO of posted messages, read by the window's thread with wait().
class Queue_Message_Sink : public Message_Sink {
 public:
  bool post(UINT msg, WPARAM wparam, LPARAM lparam) override;
  // The oldest message, waiting at most `milliseconds` (INFINITE: no limit); false on
  // time-out or after close().
  bool wait(Window_Message& message, DWORD milliseconds);
  // Refuses further posts and wakes every waiter; queued messages can still be read.
  void close();
  std::size_t size() const;

 private:
  mutable std::mutex lock_;
  std::condition_variable ready_;
  std::deque<Window_Message> queue_;
  bool closed_ = false;
};

// Registers `sink` as a new window; its id, or null (ERROR_INVALID_PARAMETER for a null
// sink).
HWND CreateMessageWindow(std::shared_ptr<Message_Sink> sink);
// Unregisters the window; posts to its id fail from now on. FALSE with 1400 when the id
// is unknown.
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
// Hands the message to the window's sink. FALSE with 1400 for an unknown or destroyed
// window and for a sink that refuses it (its thread takes no more messages).
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);

}  // namespace plat
