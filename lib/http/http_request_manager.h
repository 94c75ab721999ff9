// VGS_HTTP_Request_Manager: the process-wide registry of open HTTP requests (held by the
// library context), which gives each request its id, and the owner of the library's
// HTTP worker thread.
#pragma once

#include "foundation/hash_map.h"
#include "foundation/library_context.h"
#include "foundation/mutex.h"
#include "http/http_worker.h"

class VGS_HTTP_Request;

class VGS_HTTP_Request_Manager : public VGS_Context_Registry {
 public:
  static constexpr unsigned long kMaxId = 0xFFFFFFFEul;

  // Ids start after `last_id`.
  explicit VGS_HTTP_Request_Manager(unsigned long last_id = 0);
  // Stops the worker thread; requests still registered are left alone.
  ~VGS_HTTP_Request_Manager() override;

  VGS_HTTP_Request_Manager(const VGS_HTTP_Request_Manager&) = delete;
  VGS_HTTP_Request_Manager& operator=(const VGS_HTTP_Request_Manager&) = delete;

  // The library context's manager; null (8 recorded) without a context.
  static VGS_HTTP_Request_Manager* instance();

  // Gives the request the next id (1..0xFFFFFFFE, wrapping; ids still in use are
  // skipped), stores it in the request and takes one reference on it. The id, or -1
  // with the code recorded.
  long register_request(VGS_HTTP_Request* request);
  // The request of `id` with one reference taken for the caller; 0, or -1 (nothing
  // recorded) for an unknown id.
  int lookup(unsigned long id, VGS_HTTP_Request*& request);
  // Removes the entry and drops the registry's reference; -1 for an unknown id.
  int unregister(unsigned long id);
  // Removes the entry of `id` when it is `request`'s, without dropping the reference,
  // which passes to the caller. True when it was removed.
  bool take(unsigned long id, const VGS_HTTP_Request* request);
  // Removes every entry and drops the registry's reference on each, then stops the
  // worker thread (the last VGSLib::uninitialize).
  void release_all() override;

  unsigned int size() const;
  VGS_HTTP_Worker& worker() { return worker_; }

 private:
  unsigned long last_id_;
  mutable VGS_Thread_Mutex lock_;
  VGS_Hash_Map<unsigned long, VGS_HTTP_Request*> requests_;
  VGS_HTTP_Worker worker_;
};
