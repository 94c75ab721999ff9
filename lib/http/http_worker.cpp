#include "http/http_worker.h"

#include <algorithm>
#include <new>

#include "foundation/guard.h"
#include "foundation/library.h"
#include "http/http_codes.h"
#include "http/http_connection.h"
#include "http/http_request.h"
#include "platform/error.h"
#include "platform/sync.h"
#include "platform/thread.h"

namespace {

// Longest wait in curl_multi_poll; libcurl shortens it for its own timers.
constexpr int kPollMilliseconds = 1000;

// The worker whose thread this is.
thread_local VGS_HTTP_Worker* t_worker = nullptr;

}  // namespace

VGS_HTTP_Worker::VGS_HTTP_Worker()
    : multi_(nullptr),
      thread_(nullptr),
      epoch_(0),
      accepting_(false),
      stopping_(false),
      sleeping_(false),
      woken_(false),
      curl_ready_(false),
      multi_of_thread_(nullptr) {}

VGS_HTTP_Worker::~VGS_HTTP_Worker() {
  stop();
  if (curl_ready_) curl_global_cleanup();
}

int VGS_HTTP_Worker::open_session(unsigned long* epoch) {
  VGS_Guard life(life_lock_);
  {
    VGS_Guard guard(lock_);
    if (accepting_) {
      *epoch = epoch_;
      return 0;
    }
  }
  if (!curl_ready_) {
    if (curl_global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
      VGSLib::SetErrorCode(ERROR_INTERNET_INTERNAL_ERROR);
      return -1;
    }
    curl_ready_ = true;
  }
  CURLM* multi = curl_multi_init();
  if (multi == nullptr) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  {
    VGS_Guard guard(lock_);
    multi_ = multi;
    ++epoch_;
    accepting_ = true;
    stopping_ = false;
    sleeping_ = false;
    woken_ = false;
  }
  thread_ = plat::CreateThread(0, &VGS_HTTP_Worker::thread_main, this, 0, nullptr);
  if (thread_ == nullptr) {
    const DWORD error = plat::GetLastError();
    {
      VGS_Guard guard(lock_);
      accepting_ = false;
      multi_ = nullptr;
    }
    curl_multi_cleanup(multi);
    VGSLib::SetErrorCode(error);
    return -1;
  }
  VGS_Guard guard(lock_);
  *epoch = epoch_;
  return 0;
}

bool VGS_HTTP_Worker::post(Command_Type type, VGS_HTTP_Connection* connection) {
  VGS_Guard guard(lock_);
  if (!accepting_ || connection->epoch() != epoch_) return false;
  commands_.push_back(Command{type, connection});
  if (type != kDetach) connection->request()->addref();
  if (sleeping_ && !woken_) {
    curl_multi_wakeup(multi_);
    woken_ = true;
  }
  return true;
}

void VGS_HTTP_Worker::stop() {
  VGS_Guard life(life_lock_);
  if (thread_ == nullptr) return;
  {
    VGS_Guard guard(lock_);
    stopping_ = true;
    if (sleeping_ && !woken_) {
      curl_multi_wakeup(multi_);
      woken_ = true;
    }
  }
  plat::WaitForSingleObject(thread_, INFINITE);
  plat::CloseThreadHandle(thread_);
  thread_ = nullptr;
  VGS_Guard guard(lock_);
  stopping_ = false;
}

unsigned VGS_HTTP_Worker::thread_main(void* self) {
  static_cast<VGS_HTTP_Worker*>(self)->run();
  return 0;
}

bool VGS_HTTP_Worker::defer_event(VGS_HTTP_Request* request) {
  if (t_worker != this) return false;
  request->addref();
  deferred_events_.push_back(request);
  return true;
}

void VGS_HTTP_Worker::raise_events() {
  for (VGS_HTTP_Request* request : deferred_events_) {
    request->raise_event();
    request->release();
  }
  deferred_events_.clear();
}

void VGS_HTTP_Worker::run() {
  t_worker = this;
  {
    VGS_Guard guard(lock_);
    multi_of_thread_ = multi_;
  }
  std::vector<Command> work;
  for (;;) {
    bool stopping;
    {
      VGS_Guard guard(lock_);
      work.swap(commands_);
      stopping = stopping_;
      if (stopping && work.empty() && running_.empty()) {
        // Nothing can reach this epoch any more.
        accepting_ = false;
        multi_ = nullptr;
        break;
      }
    }
    for (const Command& command : work) run_command(command);
    work.clear();
    if (stopping) {
      cancel_all();
      raise_events();
      continue;
    }
    int still_running = 0;
    curl_multi_perform(multi_of_thread_, &still_running);
    finish_transfers();
    raise_events();
    wait_for_work();
  }
  t_worker = nullptr;
  curl_multi_cleanup(multi_of_thread_);
  multi_of_thread_ = nullptr;
}

void VGS_HTTP_Worker::run_command(const Command& command) {
  VGS_HTTP_Connection* connection = command.connection;
  VGS_HTTP_Request* request = connection->request();
  switch (command.type) {
    case kStart: {
      if (connection->in_multi) {
        bool wanted;
        {
          VGS_Guard guard(request->lock_);
          wanted = !connection->detached && connection->applied != connection->generation;
        }
        if (wanted) {
          remove(connection);  // abandons the transfer of the previous send
          request->release();  // the multi handle's; the command still holds one
        }
      }
      if (!connection->in_multi && request->transfer_configure(*connection)) add(connection);
      request->release();
      break;
    }
    case kResume:
      if (connection->in_multi) curl_easy_pause(connection->easy(), CURLPAUSE_CONT);
      request->release();
      break;
    case kDetach: {
      // The request may be gone: only the multi handle's reference proves it is not.
      const bool was_running = connection->in_multi;
      if (was_running) remove(connection);
      delete connection;
      if (was_running) request->release();
      break;
    }
  }
}

void VGS_HTTP_Worker::add(VGS_HTTP_Connection* connection) {
  VGS_HTTP_Request* request = connection->request();
  try {
    running_.reserve(running_.size() + 1);
  } catch (const std::bad_alloc&) {
    request->transfer_done(*connection, ERROR_NOT_ENOUGH_MEMORY);
    return;
  }
  const CURLMcode code = curl_multi_add_handle(multi_of_thread_, connection->easy());
  if (code != CURLM_OK) {
    request->transfer_done(*connection, code == CURLM_OUT_OF_MEMORY
                                            ? ERROR_NOT_ENOUGH_MEMORY
                                            : ERROR_INTERNET_INTERNAL_ERROR);
    return;
  }
  connection->in_multi = true;
  connection->running_index = running_.size();
  running_.push_back(connection);
  request->addref();
}

void VGS_HTTP_Worker::remove(VGS_HTTP_Connection* connection) {
  curl_multi_remove_handle(multi_of_thread_, connection->easy());
  connection->in_multi = false;
  connection->reusable = false;  // finish_transfers says otherwise for a finished one
  VGS_HTTP_Connection* last = running_.back();
  running_[connection->running_index] = last;
  last->running_index = connection->running_index;
  running_.pop_back();
}

void VGS_HTTP_Worker::finish_transfers() {
  int left = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_of_thread_, &left)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* easy = message->easy_handle;
    const CURLcode code = message->data.result;  // the message dies with the removal
    char* owner = nullptr;
    curl_easy_getinfo(easy, CURLINFO_PRIVATE, &owner);
    auto* connection = reinterpret_cast<VGS_HTTP_Connection*>(owner);
    VGS_HTTP_Request* request = connection->request();
    const DWORD error = VGS_HTTP_Error_From_Curl(easy, code);
    remove(connection);
    connection->reusable = code == CURLE_OK;
    request->transfer_done(*connection, error);
    request->release();
  }
}

void VGS_HTTP_Worker::cancel_all() {
  while (!running_.empty()) {
    VGS_HTTP_Connection* connection = running_.back();
    VGS_HTTP_Request* request = connection->request();
    remove(connection);
    request->transfer_done(*connection, ERROR_INTERNET_OPERATION_CANCELLED);
    request->release();
  }
}

void VGS_HTTP_Worker::wait_for_work() {
  {
    VGS_Guard guard(lock_);
    if (!commands_.empty() || stopping_) return;
    sleeping_ = true;
    woken_ = false;
  }
  int ready = 0;
  curl_multi_poll(multi_of_thread_, nullptr, 0, kPollMilliseconds, &ready);
  VGS_Guard guard(lock_);
  sleeping_ = false;
}
