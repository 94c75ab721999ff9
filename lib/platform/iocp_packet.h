// Completion packets and operation records of the completion-port emulation.
// Internal to lib/platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "platform/socket.h"
#include "platform/types.h"

namespace plat {
namespace iocp {

// One completion: what GetQueuedCompletionStatus hands out. Linked intrusively.
struct Packet {
  Packet* next = nullptr;
  OVERLAPPED* overlapped = nullptr;
  std::uintptr_t key = 0;
  DWORD bytes = 0;
  DWORD error = 0;
};

// Ready: not an operation but a socket's readiness report (key: the report's data,
// bytes: its events), queued for whichever waiter takes it to do the socket's I/O.
enum class OpKind : std::uint8_t { Post, Recv, Send, Accept, Connect, Ready };

// A started operation: its packet plus what is needed to finish it.
struct OpRecord : Packet {
  OpKind kind = OpKind::Post;
  // Recv / Send: the caller's buffers (one kept inline) and the send position.
  DWORD buffer_count = 0;
  WSABUF single{};
  std::unique_ptr<WSABUF[]> several;
  DWORD buffer_index = 0;
  DWORD buffer_offset = 0;
  // Accept: target fd, its reservation tag and the caller's address buffer.
  int target_fd = -1;
  std::uint64_t accept_tag = 0;
  char* address_buffer = nullptr;
  DWORD local_length = 0;

  WSABUF* buffers() { return buffer_count > 1 ? several.get() : &single; }
  // Copies the caller's buffer list; false when it cannot be allocated.
  bool set_buffers(const WSABUF* list, DWORD count);
};

// Records come from a per-thread free list, so the steady state allocates nothing.
OpRecord* AllocRecord(OpKind kind);
void FreeRecord(Packet* packet);

// FIFO of packets (or records), linked through Packet::next.
class PacketQueue {
 public:
  bool empty() const { return head_ == nullptr; }
  std::size_t size() const { return size_; }
  Packet* front() const { return head_; }
  void push(Packet* p) {
    ++size_;
    p->next = nullptr;
    if (tail_ != nullptr) {
      tail_->next = p;
    } else {
      head_ = p;
    }
    tail_ = p;
  }
  Packet* pop() {
    Packet* p = head_;
    if (p != nullptr) {
      --size_;
      head_ = p->next;
      if (head_ == nullptr) tail_ = nullptr;
      p->next = nullptr;
    }
    return p;
  }
  // Hands over the whole chain and leaves this queue empty.
  Packet* take_all() {
    Packet* p = head_;
    head_ = tail_ = nullptr;
    size_ = 0;
    return p;
  }

 private:
  Packet* head_ = nullptr;
  Packet* tail_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace iocp
}  // namespace plat
