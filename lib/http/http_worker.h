// VGS_HTTP_Worker: the library's one HTTP thread. It drives a libcurl multi handle over
// the connections of every open VGS_HTTP_Request and runs libcurl's callbacks, which turn
// progress into the requests' callback records.
//
// The thread starts with the first session (VGS_HTTP_Request::open) and ends with stop()
// (the last VGSLib::uninitialize); each run is an epoch. Requests talk to it through
// commands on the connection, run in the order they were posted. A command posted to an
// epoch that has ended is refused: transfers of that epoch were cancelled when it ended,
// and none of its connections is in a multi handle any more.
#pragma once

#include <curl/curl.h>

#include <vector>

#include "foundation/mutex.h"
#include "platform/types.h"

class VGS_HTTP_Connection;
class VGS_HTTP_Request;

class VGS_HTTP_Worker {
 public:
  enum Command_Type {
    kStart,   // (re)configure the connection for its pending send and run it
    kResume,  // the reader wants more: unpause the transfer
    kDetach,  // the request let go: stop the transfer and free the connection
  };

  VGS_HTTP_Worker();
  // stop(); then libcurl's global state is released.
  ~VGS_HTTP_Worker();

  VGS_HTTP_Worker(const VGS_HTTP_Worker&) = delete;
  VGS_HTTP_Worker& operator=(const VGS_HTTP_Worker&) = delete;

  // Starts the thread when none runs. The running epoch in *epoch. 0, or -1 with the
  // code recorded.
  int open_session(unsigned long* epoch);

  // Queues a command for `connection`'s epoch. Start and resume hold one reference on the
  // connection's request until they have run (the caller must hold one); detach holds
  // none and the worker frees the connection. False when that epoch has ended: nothing
  // was queued and the caller keeps the connection (which no thread touches any more).
  bool post(Command_Type type, VGS_HTTP_Connection* connection);

  // On this worker's thread: takes a reference on `request` and sets its event at the end
  // of the current pass. False on any other thread.
  bool defer_event(VGS_HTTP_Request* request);

  // Ends the thread: queued commands run, running transfers end with 12017 records, the
  // multi handle and its cached connections are closed. The next session starts a new
  // epoch. Harmless when no thread runs.
  void stop();

 private:
  struct Command {
    Command_Type type;
    VGS_HTTP_Connection* connection;
  };

  static unsigned thread_main(void* self);
  void run();
  void run_command(const Command& command);
  void add(VGS_HTTP_Connection* connection);
  // Takes the handle out of the multi handle; the request's reference is the caller's.
  void remove(VGS_HTTP_Connection* connection);
  void finish_transfers();
  void cancel_all();
  void wait_for_work();
  void raise_events();

  // Serialises start and stop of the thread.
  VGS_Thread_Mutex life_lock_;
  // Guards the fields below it.
  VGS_Thread_Mutex lock_;
  std::vector<Command> commands_;
  CURLM* multi_;
  void* thread_;
  unsigned long epoch_;
  bool accepting_;  // the thread of epoch_ takes commands
  bool stopping_;
  bool sleeping_;   // the thread waits in curl_multi_poll
  bool woken_;      // a wake-up was sent since it went to sleep
  bool curl_ready_;

  // The thread's own.
  CURLM* multi_of_thread_;
  std::vector<VGS_HTTP_Connection*> running_;  // each knows its index (running_index)
  std::vector<VGS_HTTP_Request*> deferred_events_;
};
