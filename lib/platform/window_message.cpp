#include "platform/window_message.h"

#include <chrono>
#include <unordered_map>

#include "platform/error.h"

namespace plat {

// --- Queue_Message_Sink ---

bool Queue_Message_Sink::post(UINT msg, WPARAM wparam, LPARAM lparam) {
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (closed_) return false;
    queue_.push_back(Window_Message{msg, wparam, lparam});
  }
  ready_.notify_one();
  return true;
}

bool Queue_Message_Sink::wait(Window_Message& message, DWORD milliseconds) {
  std::unique_lock<std::mutex> guard(lock_);
  auto ready = [this] { return !queue_.empty() || closed_; };
  if (milliseconds == INFINITE) {
    ready_.wait(guard, ready);
  } else if (!ready_.wait_for(guard, std::chrono::milliseconds(milliseconds), ready)) {
    return false;
  }
  if (queue_.empty()) return false;  // closed
  message = queue_.front();
  queue_.pop_front();
  return true;
}

void Queue_Message_Sink::close() {
  {
    std::lock_guard<std::mutex> guard(lock_);
    closed_ = true;
  }
  ready_.notify_all();
}

std::size_t Queue_Message_Sink::size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return queue_.size();
}

// --- the window table ---

namespace {

class Window_Table {
 public:
  HWND add(std::shared_ptr<Message_Sink> sink) {
    std::lock_guard<std::mutex> guard(lock_);
    const std::uintptr_t id = ++last_id_;
    windows_.emplace(id, std::move(sink));
    return reinterpret_cast<HWND>(id);
  }
  bool remove(HWND hwnd) {
    std::lock_guard<std::mutex> guard(lock_);
    return windows_.erase(reinterpret_cast<std::uintptr_t>(hwnd)) != 0;
  }
  std::shared_ptr<Message_Sink> find(HWND hwnd) const {
    std::lock_guard<std::mutex> guard(lock_);
    const auto at = windows_.find(reinterpret_cast<std::uintptr_t>(hwnd));
    return at == windows_.end() ? nullptr : at->second;
  }

 private:
  mutable std::mutex lock_;
  std::uintptr_t last_id_ = 0;
  std::unordered_map<std::uintptr_t, std::shared_ptr<Message_Sink>> windows_;
};

// The process's window namespace, as the window manager keeps it on other systems.
Window_Table& windows() {
  static Window_Table table;
  return table;
}

}  // namespace

HWND CreateMessageWindow(std::shared_ptr<Message_Sink> sink) {
  if (!sink) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  return windows().add(std::move(sink));
}

BOOL DestroyWindow(HWND hwnd) {
  if (hwnd == nullptr || !windows().remove(hwnd)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL IsWindow(HWND hwnd) { return hwnd != nullptr && windows().find(hwnd) != nullptr; }

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  // The sink is posted to outside the table lock; a window destroyed meanwhile may still
  // receive this one message, as on other systems.
  const std::shared_ptr<Message_Sink> sink = hwnd != nullptr ? windows().find(hwnd) : nullptr;
  if (!sink || !sink->post(msg, wparam, lparam)) {
    SetLastError(ERROR_INVALID_WINDOW_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace plat
