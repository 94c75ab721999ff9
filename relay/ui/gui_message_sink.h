// The window-message sink of a GTK window: posts from any thread run the window's
// handler on the GUI thread (the thread that runs the default GLib main context).
#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "platform/window_message.h"

class CGuiMessageSink : public plat::Message_Sink {
 public:
  using Handler = std::function<void(UINT msg, WPARAM wparam, LPARAM lparam)>;

  explicit CGuiMessageSink(Handler handler);
  // Any thread. false once the sink is closed.
  bool post(UINT msg, WPARAM wparam, LPARAM lparam) override;
  // GUI thread: refuses further posts; messages posted earlier are dropped undelivered.
  void close();

 private:
  struct Target {
    explicit Target(Handler h) : handler(std::move(h)) {}
    const Handler handler;
    std::atomic<bool> open{true};
  };
  struct Posted;
  static int Dispatch(void* data);
  static void Free(void* data);

  const std::shared_ptr<Target> target_;
};
