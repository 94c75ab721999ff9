#include "http/http_request_manager.h"

#include <vector>

#include "foundation/guard.h"
#include "foundation/library.h"
#include "foundation/library_context.h"
#include "http/http_request.h"

VGS_HTTP_Request_Manager::VGS_HTTP_Request_Manager(unsigned long last_id)
    : last_id_(last_id > kMaxId ? 0 : last_id) {}

VGS_HTTP_Request_Manager::~VGS_HTTP_Request_Manager() { worker_.stop(); }

VGS_HTTP_Request_Manager* VGS_HTTP_Request_Manager::instance() {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  if (context == nullptr) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  VGS_Context_Registry* registry = context->http_registry(
      []() -> VGS_Context_Registry* { return new (std::nothrow) VGS_HTTP_Request_Manager(); });
  if (registry == nullptr) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  return static_cast<VGS_HTTP_Request_Manager*>(registry);
}

long VGS_HTTP_Request_Manager::register_request(VGS_HTTP_Request* request) {
  if (request == nullptr) {
    VGSLib::SetErrorCode(VGS_ERR_NULL_ARGUMENT);
    return -1;
  }
  VGS_Guard guard(lock_);
  if (requests_.size() >= kMaxId) {
    VGSLib::SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  // A request open since the last wrap may still hold an id; it is passed over.
  unsigned long id = last_id_;
  VGS_HTTP_Request* holder = nullptr;
  do {
    id = id >= kMaxId ? 1 : id + 1;
  } while (requests_.find(id, holder) == 0);
  if (requests_.insert(id, request) != 0) return -1;
  last_id_ = id;
  request->id_ = id;
  request->addref();
  return static_cast<long>(id);
}

int VGS_HTTP_Request_Manager::lookup(unsigned long id, VGS_HTTP_Request*& request) {
  VGS_Guard guard(lock_);
  VGS_HTTP_Request* found = nullptr;
  if (requests_.find(id, found) != 0) return -1;
  found->addref();
  request = found;
  return 0;
}

int VGS_HTTP_Request_Manager::unregister(unsigned long id) {
  VGS_HTTP_Request* request = nullptr;
  {
    VGS_Guard guard(lock_);
    if (requests_.remove(id, request) != 0) return -1;
  }
  request->release();
  return 0;
}

bool VGS_HTTP_Request_Manager::take(unsigned long id, const VGS_HTTP_Request* request) {
  VGS_Guard guard(lock_);
  VGS_HTTP_Request* found = nullptr;
  if (requests_.find(id, found) != 0 || found != request) return false;
  requests_.remove(id);
  return true;
}

void VGS_HTTP_Request_Manager::release_all() {
  std::vector<VGS_HTTP_Request*> released;
  {
    VGS_Guard guard(lock_);
    released.reserve(requests_.size());
    for (auto it = requests_.begin(); it != requests_.end(); ++it) released.push_back(it.value());
    requests_.clear();
  }
  // Outside the lock: a request whose last reference this is closes itself, which
  // unregisters.
  for (VGS_HTTP_Request* request : released) request->release();
  worker_.stop();
}

unsigned int VGS_HTTP_Request_Manager::size() const {
  VGS_Guard guard(lock_);
  return requests_.size();
}
