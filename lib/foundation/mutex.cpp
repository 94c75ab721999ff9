#include "foundation/mutex.h"

#include "foundation/exception.h"
#include "foundation/file_util.h"
#include "foundation/library.h"
#include "platform/error.h"
#include "platform/process_mutex.h"

namespace {

int not_implemented() {
  VGSLib::SetErrorCode(VGS_ERR_NOT_IMPLEMENTED);
  return -1;
}

}  // namespace

// ---- VGS_Base_Mutex: the null lock ----

VGS_Base_Mutex::~VGS_Base_Mutex() = default;
int VGS_Base_Mutex::tryacquire() { return 0; }
int VGS_Base_Mutex::tryacquire_read() { return 0; }
int VGS_Base_Mutex::tryacquire_write() { return 0; }
int VGS_Base_Mutex::acquire(unsigned long) { return 0; }
int VGS_Base_Mutex::acquire() { return 0; }
int VGS_Base_Mutex::acquire_read() { return 0; }
int VGS_Base_Mutex::acquire_write() { return 0; }
int VGS_Base_Mutex::release() { return 0; }

// ---- VGS_Thread_Mutex ----

VGS_Thread_Mutex::VGS_Thread_Mutex() { plat::InitializeCriticalSection(&lock_); }
VGS_Thread_Mutex::~VGS_Thread_Mutex() { plat::DeleteCriticalSection(&lock_); }

int VGS_Thread_Mutex::tryacquire() { return plat::TryEnterCriticalSection(&lock_) ? 0 : -1; }
int VGS_Thread_Mutex::tryacquire_read() { return not_implemented(); }
int VGS_Thread_Mutex::tryacquire_write() { return not_implemented(); }
int VGS_Thread_Mutex::acquire(unsigned long) { return not_implemented(); }

int VGS_Thread_Mutex::acquire() {
  plat::EnterCriticalSection(&lock_);
  return 0;
}

int VGS_Thread_Mutex::acquire_read() { return not_implemented(); }
int VGS_Thread_Mutex::acquire_write() { return not_implemented(); }

int VGS_Thread_Mutex::release() {
  plat::LeaveCriticalSection(&lock_);
  return 0;
}

// ---- VGS_RW_Thread_Mutex ----

VGS_RW_Thread_Mutex::VGS_RW_Thread_Mutex() : no_readers_(nullptr), readers_(0) {
  plat::InitializeCriticalSection(&count_lock_);
  no_readers_ = plat::CreateEvent(TRUE, FALSE);
  if (no_readers_ == nullptr) {
    const DWORD code = plat::GetLastError();
    plat::DeleteCriticalSection(&count_lock_);
    VGS_Exception::ThrowException(code, nullptr);
  }
  plat::SetEvent(no_readers_);
}

VGS_RW_Thread_Mutex::~VGS_RW_Thread_Mutex() {
  plat::CloseHandle(no_readers_);
  plat::DeleteCriticalSection(&count_lock_);
}

void VGS_RW_Thread_Mutex::add_reader() {
  plat::EnterCriticalSection(&count_lock_);
  ++readers_;
  plat::ResetEvent(no_readers_);
  plat::LeaveCriticalSection(&count_lock_);
  plat::LeaveCriticalSection(&lock_);
}

int VGS_RW_Thread_Mutex::reader_count() {
  plat::EnterCriticalSection(&count_lock_);
  const int readers = readers_;
  plat::LeaveCriticalSection(&count_lock_);
  return readers;
}

int VGS_RW_Thread_Mutex::acquire_read() {
  plat::EnterCriticalSection(&lock_);
  add_reader();
  return 0;
}

int VGS_RW_Thread_Mutex::tryacquire_read() {
  if (!plat::TryEnterCriticalSection(&lock_)) return -1;
  add_reader();
  return 0;
}

int VGS_RW_Thread_Mutex::acquire_write() {
  plat::EnterCriticalSection(&lock_);
  while (reader_count() > 0) plat::WaitForSingleObject(no_readers_, INFINITE);
  return 0;
}

int VGS_RW_Thread_Mutex::acquire() { return acquire_write(); }

int VGS_RW_Thread_Mutex::tryacquire_write() {
  if (!plat::TryEnterCriticalSection(&lock_)) return -1;
  if (reader_count() > 0) {
    plat::LeaveCriticalSection(&lock_);
    return -1;
  }
  return 0;
}

int VGS_RW_Thread_Mutex::tryacquire() { return tryacquire_write(); }

int VGS_RW_Thread_Mutex::acquire(unsigned long) { return not_implemented(); }

int VGS_RW_Thread_Mutex::release() {
  plat::EnterCriticalSection(&count_lock_);
  if (readers_ < 1) {  // the writer
    plat::LeaveCriticalSection(&count_lock_);
    plat::LeaveCriticalSection(&lock_);
    return 0;
  }
  if (--readers_ == 0) plat::SetEvent(no_readers_);
  plat::LeaveCriticalSection(&count_lock_);
  return 0;
}

// ---- VGS_Process_Mutex ----

VGS_Process_Mutex::VGS_Process_Mutex(const char* name, bool open) : mutex_(nullptr) {
  if (open && open_mutex(name) != 0) {
    VGS_Exception::ThrowException(VGSLib::GetErrorCode(), nullptr);
  }
}

VGS_Process_Mutex::~VGS_Process_Mutex() { close_mutex(); }

int VGS_Process_Mutex::open_mutex(const char* name) {
  // Named mutexes are created openable by any user of the machine.
  plat::ProcessMutex* mutex = plat::CreateMutexA(name, FALSE);
  if (mutex == nullptr) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return -1;
  }
  // Reopening replaces the handle; the old one is closed rather than leaked.
  close_mutex();
  mutex_ = mutex;
  return 0;
}

void VGS_Process_Mutex::close_mutex() {
  if (mutex_ != nullptr) {
    plat::CloseMutex(mutex_);
    mutex_ = nullptr;
  }
}

int VGS_Process_Mutex::wait(unsigned long timeout, unsigned long not_owned) {
  if (mutex_ == nullptr) {
    VGSLib::SetErrorCode(ERROR_INVALID_HANDLE);
    return -1;
  }
  const DWORD result = mutex_->Wait(static_cast<DWORD>(timeout));
  if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED) return 0;
  if (result == WAIT_FAILED) {
    VGSLib::SetErrorCode(plat::GetLastError());
  } else if (not_owned != 0) {
    VGSLib::SetErrorCode(not_owned);
  }
  return -1;
}

int VGS_Process_Mutex::tryacquire() { return wait(0, 0); }

int VGS_Process_Mutex::tryacquire_read() { return not_implemented(); }
int VGS_Process_Mutex::tryacquire_write() { return not_implemented(); }

int VGS_Process_Mutex::acquire(unsigned long timeout) { return wait(timeout, WAIT_TIMEOUT); }
int VGS_Process_Mutex::acquire() { return wait(INFINITE, VGS_ERR_UNKNOWN); }

int VGS_Process_Mutex::acquire_read() { return not_implemented(); }
int VGS_Process_Mutex::acquire_write() { return not_implemented(); }

int VGS_Process_Mutex::release() {
  if (mutex_ == nullptr) {
    VGSLib::SetErrorCode(ERROR_INVALID_HANDLE);
    return -1;
  }
  if (!mutex_->Release()) {
    VGSLib::SetErrorCode(plat::GetLastError());
    return -1;
  }
  return 0;
}

// ---- VGS_File_Mutex ----

VGS_File_Mutex::VGS_File_Mutex(void* file, unsigned long long length, unsigned long long offset)
    : file_(file), length_(length), offset_(offset) {}

VGS_File_Mutex::~VGS_File_Mutex() = default;

void VGS_File_Mutex::setlockopt(void* file, unsigned long long length, unsigned long long offset) {
  file_ = file;
  length_ = length;
  offset_ = offset;
}

int VGS_File_Mutex::tryacquire() { return VGSLib::flock(file_, offset_, length_, nullptr, false); }
int VGS_File_Mutex::tryacquire_read() { return not_implemented(); }
int VGS_File_Mutex::tryacquire_write() { return not_implemented(); }
int VGS_File_Mutex::acquire(unsigned long) { return not_implemented(); }
int VGS_File_Mutex::acquire() { return VGSLib::flock(file_, offset_, length_, nullptr, true); }
int VGS_File_Mutex::acquire_read() { return not_implemented(); }
int VGS_File_Mutex::acquire_write() { return not_implemented(); }
int VGS_File_Mutex::release() { return VGSLib::funlock(file_, offset_, length_, nullptr); }
