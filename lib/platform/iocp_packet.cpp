#include "platform/iocp_packet.h"

#include <new>

namespace plat {
namespace iocp {

namespace {

// Freed records are kept per thread for reuse; a record may be freed on another thread
// than the one that took it, so the lists drift, but each stays bounded.
class RecordCache {
 public:
  RecordCache() = default;
  RecordCache(const RecordCache&) = delete;
  RecordCache& operator=(const RecordCache&) = delete;
  ~RecordCache() {
    while (head_ != nullptr) {
      Packet* next = head_->next;
      delete static_cast<OpRecord*>(head_);
      head_ = next;
    }
  }
  OpRecord* take() {
    if (head_ == nullptr) return nullptr;
    Packet* p = head_;
    head_ = p->next;
    --count_;
    return static_cast<OpRecord*>(p);
  }
  bool give(OpRecord* r) {
    if (count_ >= kLimit) return false;
    r->next = head_;
    head_ = r;
    ++count_;
    return true;
  }

 private:
  static constexpr std::size_t kLimit = 4096;
  Packet* head_ = nullptr;
  std::size_t count_ = 0;
};

thread_local RecordCache cache;

}  // namespace

bool OpRecord::set_buffers(const WSABUF* list, DWORD count) {
  buffer_count = count;
  buffer_index = 0;
  buffer_offset = 0;
  if (count <= 1) {
    single = count == 1 ? list[0] : WSABUF{0, nullptr};
    return true;
  }
  several.reset(new (std::nothrow) WSABUF[count]);
  if (!several) return false;
  for (DWORD i = 0; i < count; ++i) several[i] = list[i];
  return true;
}

OpRecord* AllocRecord(OpKind kind) {
  OpRecord* r = cache.take();
  if (r != nullptr) {
    *r = OpRecord();
  } else {
    r = new (std::nothrow) OpRecord();
    if (r == nullptr) return nullptr;
  }
  r->kind = kind;
  return r;
}

void FreeRecord(Packet* packet) {
  auto* r = static_cast<OpRecord*>(packet);
  r->several.reset();
  if (!cache.give(r)) delete r;
}

}  // namespace iocp
}  // namespace plat
