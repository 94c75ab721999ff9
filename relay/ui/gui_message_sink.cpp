#include "relay/ui/gui_message_sink.h"

#include <glib.h>

#include <new>

struct CGuiMessageSink::Posted {
  std::shared_ptr<Target> target;
  UINT msg;
  WPARAM wparam;
  LPARAM lparam;
};

CGuiMessageSink::CGuiMessageSink(Handler handler)
    : target_(std::make_shared<Target>(std::move(handler))) {}

bool CGuiMessageSink::post(UINT msg, WPARAM wparam, LPARAM lparam) {
  if (!target_->open.load(std::memory_order_acquire)) return false;
  auto* posted = new (std::nothrow) Posted{target_, msg, wparam, lparam};
  if (posted == nullptr) return false;
  // Always queued, never run here: g_main_context_invoke would run the handler on the
  // posting thread whenever the GUI thread does not hold the context at that moment
  // (before and after its main loop).
  g_idle_add_full(G_PRIORITY_DEFAULT, &CGuiMessageSink::Dispatch, posted, &CGuiMessageSink::Free);
  return true;
}

void CGuiMessageSink::close() { target_->open.store(false, std::memory_order_release); }

int CGuiMessageSink::Dispatch(void* data) {
  const Posted* posted = static_cast<const Posted*>(data);
  if (posted->target->open.load(std::memory_order_acquire)) {
    posted->target->handler(posted->msg, posted->wparam, posted->lparam);
  }
  return G_SOURCE_REMOVE;
}

void CGuiMessageSink::Free(void* data) { delete static_cast<Posted*>(data); }
