// The completion port: a packet queue, an epoll set and the threads waiting on them.
// Internal to lib/platform.
//
// Waiting threads follow the leader/followers pattern: at most one waiter (the leader)
// sits in epoll_wait. It turns each readiness report into a record on the packet queue
// and goes back to waiting; whichever waiter takes a record does that socket's I/O and
// runs the first completion it produces itself, as a Windows port lets a running thread
// take its own completion. Followers sleep on a futex word of their own; a packet queued
// while a follower sleeps goes straight to it, so the woken thread runs it without
// touching the port's lock. A follower woken without a packet is being promoted to
// leader (or the port closed).
//
// While every thread is busy nobody sits in epoll_wait, so sockets that became ready
// meanwhile would wait until the queue runs dry. Instead, once the packets that were
// queued at the last poll have all been handed out, the next waiter polls without blocking
// before it takes a packet: readiness is picked up once per pass over the queue.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/iocp_packet.h"
#include "platform/types.h"

namespace plat {
namespace iocp {

class CompletionPort {
 public:
  // Turns one epoll readiness report into packets (socket layer).
  using EventHandler = void (*)(std::uint64_t data, std::uint32_t events);

  // Null with the last error set when the epoll set or the wake fd cannot be made.
  static std::shared_ptr<CompletionPort> Create(EventHandler handler);
  ~CompletionPort();
  CompletionPort(const CompletionPort&) = delete;
  CompletionPort& operator=(const CompletionPort&) = delete;

  // The epoll fd; also the value of the port's HANDLE.
  int fd() const { return epoll_fd_; }

  // Queues a finished packet; dropped (and freed) when the port is closed.
  void push(Packet* packet);

  // One packet for the calling thread, as GetQueuedCompletionStatus returns it.
  BOOL wait(DWORD* bytes, std::uintptr_t* key, OVERLAPPED** overlapped, DWORD milliseconds);

  // Wakes every waiter with ERROR_ABANDONED_WAIT_0 and drops queued packets.
  void close();
  bool closed();

  // Edge-triggered interest for a socket fd; data identifies it in reports. Input (and
  // errors) from the start; output only from watch_output on, as most sends finish at
  // once and the edges a TCP socket reports whenever an acknowledgement frees send space
  // would otherwise wake a waiter for nothing. 0 or an errno value.
  int watch(int fd, std::uint64_t data);
  int watch_output(int fd, std::uint64_t data);
  void unwatch(int fd);

 private:
  CompletionPort(int epoll_fd, int wake_fd, EventHandler handler);
  // A follower blocked in wait(); lives on that thread's stack. Every field is written
  // under mutex_; `state` is also the futex word the follower sleeps on.
  struct Waiter {
    std::atomic<std::uint32_t> state{0};  // 0 asleep, 1 woken
    Packet* packet = nullptr;             // handed over with the wake-up, or null
    Waiter* prev = nullptr;
    Waiter* next = nullptr;
  };
  // Polls epoll and queues its reports; returns with the lock held.
  void lead(std::unique_lock<std::mutex>& lock, int timeout_ms);
  // Runs a readiness record (lock not held); returns the first completion it produced
  // on this thread, or null.
  Packet* serve(OpRecord* readiness);
  // Sleeps as a follower. Returns a handed-over packet with the lock released, or null
  // with the lock held (promoted, closed or timed out).
  Packet* follow(std::unique_lock<std::mutex>& lock, bool infinite,
                 std::chrono::steady_clock::time_point deadline);
  // Under mutex_: wakes the most recent follower, handing it `packet` (may be null), and
  // returns the word to signal once the lock is released; null when nobody waits.
  std::atomic<std::uint32_t>* wake_one(Packet* packet);
  void unlink(Waiter* w);
  // Makes a leader inside epoll_wait return.
  void interrupt_poll();
  static void deliver(Packet* p, DWORD* bytes, std::uintptr_t* key, OVERLAPPED** overlapped);

  const int epoll_fd_;
  const int wake_fd_;
  const EventHandler handler_;

  std::mutex mutex_;
  PacketQueue ready_;
  std::size_t until_poll_ = 0;  // packets to hand out before the next non-blocking poll
  Waiter* waiters_ = nullptr;  // most recent first
  bool leader_ = false;
  bool polling_ = false;       // the leader is inside epoll_wait
  bool wake_pending_ = false;  // the wake fd has been written since the leader started
  bool closed_ = false;
};

// Registry from port HANDLE values to ports (ports are few).
std::shared_ptr<CompletionPort> FindPort(HANDLE handle);
void AddPort(const std::shared_ptr<CompletionPort>& port);
// Removes and returns the port, or null when the handle is not a port.
std::shared_ptr<CompletionPort> RemovePort(HANDLE handle);

}  // namespace iocp
}  // namespace plat
