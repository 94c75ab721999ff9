#include "common/sha256_pipe.h"

#include <cstring>

CSha256Pipe::CSha256Pipe() : thread_([this] { Run(); }) {}

CSha256Pipe::~CSha256Pipe() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abandon_ = true;
  }
  Stop();
}

void CSha256Pipe::Update(const void* data, std::size_t size) {
  if (size == 0) return;
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return queued_bytes_ < kMaxQueuedBytes || closing_; });
  if (closing_) return;
  std::string buffer;
  if (!spare_.empty()) {
    buffer = std::move(spare_.back());
    spare_.pop_back();
  }
  buffer.assign(static_cast<const char*>(data), size);
  queued_bytes_ += size;
  queued_.push_back(std::move(buffer));
  changed_.notify_all();
}

std::string CSha256Pipe::HexDigest() {
  Stop();
  return hash_.HexDigest();
}

void CSha256Pipe::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void CSha256Pipe::Run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [&] { return !queued_.empty() || closing_; });
    if (abandon_ || queued_.empty()) return;  // closing with nothing left
    std::string buffer = std::move(queued_.front());
    queued_.pop_front();
    lock.unlock();
    hash_.Update(buffer.data(), buffer.size());
    lock.lock();
    queued_bytes_ -= buffer.size();
    spare_.push_back(std::move(buffer));
    changed_.notify_all();
  }
}
