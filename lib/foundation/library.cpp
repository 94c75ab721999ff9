#include "foundation/library.h"

#include <cstring>
#include <new>

#include "foundation/allocator.h"
#include "foundation/exception.h"
#include "foundation/guard.h"
#include "foundation/library_context.h"
#include "foundation/message_table.h"
#include "foundation/singleton.h"
#include "platform/error.h"
#include "platform/winsock.h"

// ---- VGS_Library_Context ----

namespace {

std::atomic<VGS_Library_Context*> g_context{nullptr};

const char kFallbackText[] = "알 수 없는 오류가 발생하였습니다.";

}  // namespace

VGS_Library_Context::VGS_Library_Context()
    : init_count_(0),
      module_(nullptr),
      init_lock_(nullptr),
      error_slot_(nullptr),
      default_allocator_(nullptr),
      allocators_(nullptr),
      thread_hooks_{nullptr, nullptr} {
  init_lock_ = new (std::nothrow) VGS_Thread_Mutex();
  allocators_ = new (std::nothrow) VGS_List<VGS_Allocator*>();
  try {
    error_slot_ = new (std::nothrow) VGS_TLS<unsigned long>();
  } catch (const VGS_Exception&) {
    error_slot_ = nullptr;
  }
  if (init_lock_ == nullptr || allocators_ == nullptr || error_slot_ == nullptr) {
    delete error_slot_;
    delete allocators_;
    delete init_lock_;
    VGS_Exception::ThrowException(ERROR_NOT_ENOUGH_MEMORY, "Library context creation failed");
  }
}

VGS_Library_Context::~VGS_Library_Context() {
  http_requests_.reset();
  // Newest first.
  for (auto it = allocators_->rbegin(); it != allocators_->end(); --it) delete *it;
  allocators_->clear();
  delete allocators_;
  error_slot_->cleanup();  // the unloading thread's value; other threads free theirs at exit
  delete error_slot_;
  delete init_lock_;
}

VGS_Library_Context* VGS_Library_Context::instance() {
  VGS_Library_Context* context = g_context.load(std::memory_order_acquire);
  if (context != nullptr) return context;
  try {
    context = new VGS_Library_Context();
  } catch (const VGS_Exception&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
  VGS_Library_Context* expected = nullptr;
  if (!g_context.compare_exchange_strong(expected, context, std::memory_order_acq_rel)) {
    delete context;  // created concurrently by another thread
    return expected;
  }
  return context;
}

void VGS_Library_Context::destroy() {
  delete g_context.exchange(nullptr, std::memory_order_acq_rel);
}

int VGS_Library_Context::register_allocator(VGS_Allocator* allocator) {
  VGS_Guard guard(*init_lock_);
  if (allocator == nullptr) {
    VGSLib::SetErrorCode(ERROR_INVALID_PARAMETER);
    return -1;
  }
  if (allocators_->contains(allocator)) return 0;
  allocators_->append(allocator);
  return 0;
}

void VGS_Library_Context::set_thread_manager_hooks(const VGS_Thread_Manager_Hooks& hooks) {
  VGS_Guard guard(*init_lock_);
  thread_hooks_ = hooks;
}

VGS_Context_Registry* VGS_Library_Context::http_registry(VGS_Context_Registry* (*create)()) {
  VGS_Guard guard(*init_lock_);
  if (!http_requests_) http_requests_.reset(create());
  return http_requests_.get();
}

bool VGS_Library_Context::is_initialized() const {
  return init_count_.load(std::memory_order_acquire) > 0;
}

int VGS_Library_Context::initialize() {
  VGS_Guard guard(*init_lock_);
  if (init_count_.load() >= 1) {
    ++init_count_;
    return 0;
  }
  plat::WSADATA data;
  if (plat::WSAStartup(plat::WINSOCK_VERSION_2_2, &data) != 0) {
    VGSLib::SetErrorCode(plat::WSAGetLastError());
    return -1;
  }
  if ((data.wVersion & 0xFF) != 2 || (data.wVersion >> 8) != 2) {
    VGSLib::SetErrorCode(WSAVERNOTSUPPORTED);
    plat::WSACleanup();
    return -1;
  }
  if (default_allocator() == nullptr) {
    VGS_Allocator* standard = VGS_Std_Allocator::instance();
    if (standard != nullptr) set_default_allocator(standard);
    if (standard == nullptr || VGS_Virtual_Allocator::instance() == nullptr ||
        VGS_Global_Allocator::instance() == nullptr) {
      plat::WSACleanup();
      return -1;
    }
  }
  if (thread_hooks_.open != nullptr && thread_hooks_.open() != 0) {
    plat::WSACleanup();
    return -1;
  }
  init_count_.store(1);
  return 0;
}

void VGS_Library_Context::uninitialize() {
  VGS_Thread_Manager_Hooks hooks;
  VGS_Context_Registry* http = nullptr;
  {
    VGS_Guard guard(*init_lock_);
    if (init_count_.load() <= 0) return;
    if (init_count_.fetch_sub(1) != 1) return;
    hooks = thread_hooks_;
    http = http_requests_.get();
  }
  // The last matching call: tear down outside the init lock.
  if (hooks.close != nullptr) hooks.close();
  if (http != nullptr) http->release_all();
  VGS_SingleInstance::release_all_instance();
  plat::WSACleanup();
}

// ---- Load and unload of the library ----

namespace {

__attribute__((constructor)) void on_library_load() {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  if (context != nullptr) context->set_module(reinterpret_cast<void*>(&on_library_load));
}

__attribute__((destructor)) void on_library_unload() { VGS_Library_Context::destroy(); }

}  // namespace

// ---- VGSLib ----

namespace VGSLib {

int initialize() {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  if (context == nullptr) {
    SetErrorCode(ERROR_NOT_ENOUGH_MEMORY);
    return -1;
  }
  return context->initialize();
}

void uninitialize() {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  if (context != nullptr) context->uninitialize();
}

bool isInitiate() {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  return context != nullptr && context->is_initialized();
}

void SetErrorCode(unsigned long code) {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  if (context == nullptr) return;
  try {
    context->error_slot().set(code);
  } catch (const VGS_Exception&) {
  }
}

unsigned long GetErrorCode() {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  if (context == nullptr) return ERROR_NOT_ENOUGH_MEMORY;
  unsigned long code;
  try {
    code = context->error_slot().get();
  } catch (const VGS_Exception& e) {
    return e.GetErrorCode();
  }
  return code != 0 ? code : VGS_ERR_UNKNOWN;
}

unsigned int GetErrorMsg(unsigned long code, char* buffer, unsigned int size) {
  if (buffer == nullptr || size == 0) {
    SetErrorCode(buffer == nullptr ? VGS_ERR_NULL_ARGUMENT : ERROR_INVALID_PARAMETER);
    return 0;
  }
  unsigned int length = 0;
  if (code & VGS_ERR_LIBRARY_BIT) {
    length = VGS_Load_Message(static_cast<unsigned int>(code & 0xDFFFFFFFul), buffer, size);
  } else if (code <= 0xFFFFFFFFul) {
    length = plat::FormatSystemMessage(static_cast<DWORD>(code), buffer, size);
    // Drop the trailing line break; the length still counts it.
    for (unsigned int i = 1; i <= 2 && i <= length; ++i) {
      char& c = buffer[length - i];
      if (c == '\n' || c == '\r') c = '\0';
    }
  }
  if (length != 0) return length;
  std::size_t fallback = sizeof(kFallbackText) - 1;
  if (fallback > size - 1) fallback = size - 1;
  std::memcpy(buffer, kFallbackText, fallback);
  buffer[fallback] = '\0';
  return static_cast<unsigned int>(fallback);
}

void* malloc(unsigned int size, bool zero) {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  VGS_Allocator* allocator = context != nullptr ? context->default_allocator() : nullptr;
  if (allocator == nullptr) {
    SetErrorCode(VGS_ERR_NOT_INITIALIZED);
    return nullptr;
  }
  return allocator->malloc(size, zero);
}

void* realloc(void* block, unsigned int size) {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  VGS_Allocator* allocator = context != nullptr ? context->default_allocator() : nullptr;
  if (allocator == nullptr) {
    SetErrorCode(VGS_ERR_NOT_INITIALIZED);
    return nullptr;
  }
  return allocator->realloc(block, size);
}

void free(void* block) {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  VGS_Allocator* allocator = context != nullptr ? context->default_allocator() : nullptr;
  if (allocator != nullptr) allocator->free(block);
}

int set_allocator(VGS_Allocator* allocator) {
  VGS_Library_Context* context = VGS_Library_Context::instance();
  if (context != nullptr) context->set_default_allocator(allocator);
  return 0;
}

int debug_output(const char*, int, const char*) { return 0; }

}  // namespace VGSLib
