// SHA-256 of a byte stream computed on a thread of its own, so that a download hashes at the
// network's pace instead of adding the hashing to its own: the bytes are copied into a few
// reused buffers, which the thread hashes in order.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/update_signature.h"

class CSha256Pipe {
 public:
  // Bytes queued for the thread at most; Update waits while that many are.
  static constexpr std::size_t kMaxQueuedBytes = 2u << 20;

  CSha256Pipe();
  ~CSha256Pipe();  // abandons what is queued
  CSha256Pipe(const CSha256Pipe&) = delete;
  CSha256Pipe& operator=(const CSha256Pipe&) = delete;

  void Update(const void* data, std::size_t size);
  // Waits until every byte given is hashed; then as CSha256::HexDigest.
  std::string HexDigest();

 private:
  void Run();
  void Stop();

  CSha256 hash_;  // used by the thread only, until it ended
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queued_;
  std::vector<std::string> spare_;  // buffers the thread is done with
  std::size_t queued_bytes_ = 0;
  bool closing_ = false;
  bool abandon_ = false;
  std::thread thread_;  // last: starts once the rest is made
};
