#include "platform/process_mutex.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <string>

#include "platform/error.h"
#include "platform/fd.h"

namespace plat {

namespace {

constexpr std::uint32_t kMagic = 0x5A4D5458;  // "ZMTX"
constexpr std::size_t kMaxNameLength = MAX_PATH;
constexpr std::size_t kMaxShmNameLength = 240;

// The shared object's layout. Byte 0 of the object is the creation gate (an exclusive
// open-file-description lock held while a handle is opened or closed); byte 1 carries a
// shared lock for every open handle, so "no other handle" is "byte 1 can be locked
// exclusively".
struct SharedBlock {
  std::uint32_t magic;
  std::uint32_t size;
  pthread_mutex_t mutex;
};

constexpr off_t kGateByte = 0;
constexpr off_t kPresenceByte = 1;

pid_t current_tid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// The thread that owns a robust mutex: the kernel's robust-futex protocol keeps the
// owner's thread id in the low 30 bits of the lock word.
pid_t owner_of(pthread_mutex_t* mutex) {
  constexpr int kFutexTidMask = 0x3FFFFFFF;
  return __atomic_load_n(&mutex->__data.__lock, __ATOMIC_ACQUIRE) & kFutexTidMask;
}

int lock_byte(int fd, off_t byte, short type, bool wait) {
  struct flock lock;
  std::memset(&lock, 0, sizeof(lock));
  lock.l_type = type;
  lock.l_whence = SEEK_SET;
  lock.l_start = byte;
  lock.l_len = 1;
  int rc;
  do {
    rc = ::fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &lock);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

bool init_mutex(pthread_mutex_t* mutex) {
  pthread_mutexattr_t attr;
  if (pthread_mutexattr_init(&attr) != 0) return false;
  bool ok = pthread_mutexattr_settype(&attr, PTHREAD_MUTEX_RECURSIVE) == 0 &&
            pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED) == 0 &&
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST) == 0 &&
            pthread_mutex_init(mutex, &attr) == 0;
  pthread_mutexattr_destroy(&attr);
  return ok;
}

// Maps a mutex name onto a shared-memory object name: a scope ("g" machine-wide or
// "u<uid>" per user) and the name with every byte outside [A-Za-z0-9._-] as %XX.
// Empty on failure with the last error set.
std::string shm_name_for(const char* name, bool* machine_wide) {
  std::size_t length = std::strlen(name);
  if (length > kMaxNameLength) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::string();
  }
  static const char kGlobal[] = "Global\\";
  static const char kLocal[] = "Local\\";
  std::string scope;
  *machine_wide = false;
  if (std::strncmp(name, kGlobal, sizeof(kGlobal) - 1) == 0) {
    name += sizeof(kGlobal) - 1;
    scope = "g";
    *machine_wide = true;
  } else {
    if (std::strncmp(name, kLocal, sizeof(kLocal) - 1) == 0) name += sizeof(kLocal) - 1;
    scope = "u" + std::to_string(::geteuid());
  }
  std::string result = "/zerv-mutex." + scope + ".";
  static const char kHex[] = "0123456789ABCDEF";
  for (const char* p = name; *p != '\0'; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
        c == '_' || c == '-') {
      result += static_cast<char>(c);
    } else {
      result += '%';
      result += kHex[c >> 4];
      result += kHex[c & 0xF];
    }
  }
  if (result.size() > kMaxShmNameLength) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return std::string();
  }
  return result;
}

}  // namespace

class ProcessMutex::Impl {
 public:
  Impl(SharedBlock* block, int fd, std::string shm_name)
      : block_(block), fd_(fd), shm_name_(std::move(shm_name)) {}

  ~Impl() {
    const pid_t owner = owner_tid_.load(std::memory_order_acquire);
    if (owner == current_tid()) {
      while (depth_ > 0 && pthread_mutex_unlock(&block_->mutex) == 0) --depth_;
      owner_tid_.store(0, std::memory_order_release);
    } else if (owner != 0) {
      // Another thread of this process owns it: the mapping stays, so that the system can
      // still mark the mutex abandoned when that thread ends.
      block_ = nullptr;
    }
    if (fd_ >= 0) {
      lock_byte(fd_, kGateByte, F_WRLCK, true);
      if (lock_byte(fd_, kPresenceByte, F_WRLCK, false) == 0) ::shm_unlink(shm_name_.c_str());
    }
    if (block_ != nullptr) ::munmap(block_, sizeof(SharedBlock));
    if (fd_ >= 0) ::close(fd_);  // drops both byte locks
  }

  DWORD wait(DWORD milliseconds) {
    int rc;
    if (milliseconds == 0) {
      rc = pthread_mutex_trylock(&block_->mutex);
      if (rc == EBUSY) return WAIT_TIMEOUT;
    } else if (milliseconds == INFINITE) {
      rc = pthread_mutex_lock(&block_->mutex);
    } else {
      timespec deadline;
      ::clock_gettime(CLOCK_REALTIME, &deadline);
      deadline.tv_sec += milliseconds / 1000;
      deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
      }
      rc = pthread_mutex_timedlock(&block_->mutex, &deadline);
      if (rc == ETIMEDOUT) return WAIT_TIMEOUT;
    }
    if (rc == EOWNERDEAD) {
      pthread_mutex_consistent(&block_->mutex);
      owner_tid_.store(current_tid(), std::memory_order_release);
      depth_ = 1;
      return WAIT_ABANDONED;
    }
    if (rc != 0) {
      SetLastError(rc == ENOTRECOVERABLE ? ERROR_INVALID_HANDLE : ErrnoToError(rc));
      return WAIT_FAILED;
    }
    const pid_t self = current_tid();
    if (owner_tid_.load(std::memory_order_acquire) == self) {
      ++depth_;
    } else {
      owner_tid_.store(self, std::memory_order_release);
      depth_ = 1;
    }
    return WAIT_OBJECT_0;
  }

  BOOL release() {
    const pid_t self = current_tid();
    if (owner_of(&block_->mutex) != self) {
      SetLastError(ERROR_NOT_OWNER);
      return FALSE;
    }
    int rc = pthread_mutex_unlock(&block_->mutex);
    if (rc != 0) {
      SetLastError(rc == EPERM ? ERROR_NOT_OWNER : ErrnoToError(rc));
      return FALSE;
    }
    if (owner_tid_.load(std::memory_order_acquire) == self && --depth_ == 0) {
      owner_tid_.store(0, std::memory_order_release);
    }
    return TRUE;
  }

 private:
  SharedBlock* block_;
  int fd_;  // -1 for an unnamed mutex
  std::string shm_name_;
  // Owner bookkeeping of this handle, for closing while owned.
  std::atomic<pid_t> owner_tid_{0};
  unsigned depth_ = 0;  // touched only by the owner thread
};

namespace {

std::unique_ptr<ProcessMutex::Impl> open_unnamed(bool initial_owner) {
  void* mem = ::mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE,
                     MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mem == MAP_FAILED) {
    SetLastErrorFromErrno();
    return nullptr;
  }
  auto* block = static_cast<SharedBlock*>(mem);
  if (!init_mutex(&block->mutex)) {
    ::munmap(mem, sizeof(SharedBlock));
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  block->magic = kMagic;
  block->size = sizeof(SharedBlock);
  std::unique_ptr<ProcessMutex::Impl> impl(new (std::nothrow) ProcessMutex::Impl(block, -1, ""));
  if (!impl) {
    ::munmap(mem, sizeof(SharedBlock));
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  if (initial_owner) impl->wait(INFINITE);
  SetLastError(ERROR_SUCCESS);
  return impl;
}

// Whether fd still is the object that carries `shm_name` (a closer may have unlinked it
// between our open and our gate lock).
bool still_linked(int fd, const std::string& shm_name) {
  int check = ::shm_open(shm_name.c_str(), O_RDWR, 0);
  if (check < 0) return false;
  struct stat a, b;
  bool same = ::fstat(fd, &a) == 0 && ::fstat(check, &b) == 0 && a.st_ino == b.st_ino &&
              a.st_dev == b.st_dev;
  ::close(check);
  return same;
}

std::unique_ptr<ProcessMutex::Impl> open_named(const char* name, bool initial_owner) {
  bool machine_wide = false;
  const std::string shm_name = shm_name_for(name, &machine_wide);
  if (shm_name.empty()) return nullptr;
  const mode_t mode = machine_wide ? 0666 : 0600;

  for (;;) {
    const int fd = avoid_fd_zero(::shm_open(shm_name.c_str(), O_RDWR | O_CREAT, mode));
    if (fd < 0) {
      SetLastErrorFromErrno();
      return nullptr;
    }
    auto fail = [fd](DWORD code) {
      ::close(fd);
      SetLastError(code);
      return nullptr;
    };
    struct stat st;
    if (::fstat(fd, &st) != 0) return fail(ErrnoToError(errno));
    if (!machine_wide && st.st_uid != ::geteuid()) return fail(ERROR_ACCESS_DENIED);
    if (machine_wide) ::fchmod(fd, mode);  // not narrowed by the umask: any user may open it

    if (lock_byte(fd, kGateByte, F_WRLCK, true) != 0) return fail(ErrnoToError(errno));
    if (!still_linked(fd, shm_name)) {
      ::close(fd);
      continue;
    }
    const bool alone = lock_byte(fd, kPresenceByte, F_WRLCK, false) == 0;
    if (alone) {
      // No other handle anywhere: (re)build the object from scratch.
      if (::ftruncate(fd, 0) != 0 || ::ftruncate(fd, sizeof(SharedBlock)) != 0) {
        return fail(ErrnoToError(errno));
      }
    } else if (lock_byte(fd, kPresenceByte, F_RDLCK, true) != 0) {
      return fail(ErrnoToError(errno));
    }
    void* mem = ::mmap(nullptr, sizeof(SharedBlock), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mem == MAP_FAILED) return fail(ErrnoToError(errno));
    auto* block = static_cast<SharedBlock*>(mem);
    if (alone) {
      if (!init_mutex(&block->mutex)) {
        ::munmap(mem, sizeof(SharedBlock));
        return fail(ERROR_NOT_ENOUGH_MEMORY);
      }
      block->magic = kMagic;
      block->size = sizeof(SharedBlock);
      lock_byte(fd, kPresenceByte, F_RDLCK, false);  // atomic downgrade
    } else if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(SharedBlock)) ||
               block->magic != kMagic || block->size != sizeof(SharedBlock)) {
      ::munmap(mem, sizeof(SharedBlock));
      return fail(ERROR_INVALID_HANDLE);
    }
    std::unique_ptr<ProcessMutex::Impl> impl(new (std::nothrow)
                                                 ProcessMutex::Impl(block, fd, shm_name));
    if (!impl) {
      ::munmap(mem, sizeof(SharedBlock));
      return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (alone && initial_owner) impl->wait(INFINITE);
    lock_byte(fd, kGateByte, F_UNLCK, false);
    SetLastError(alone ? ERROR_SUCCESS : ERROR_ALREADY_EXISTS);
    return impl;
  }
}

}  // namespace

ProcessMutex::ProcessMutex(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

ProcessMutex::~ProcessMutex() = default;

ProcessMutex* ProcessMutex::Create(const char* name, bool initial_owner) {
  std::unique_ptr<Impl> impl = (name == nullptr || name[0] == '\0')
                                   ? open_unnamed(initial_owner)
                                   : open_named(name, initial_owner);
  if (!impl) return nullptr;
  const DWORD status = GetLastError();
  ProcessMutex* mutex = new (std::nothrow) ProcessMutex(std::move(impl));
  if (mutex == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
  }
  SetLastError(status);
  return mutex;
}

DWORD ProcessMutex::Wait(DWORD milliseconds) { return impl_->wait(milliseconds); }

BOOL ProcessMutex::Release() { return impl_->release(); }

ProcessMutex* CreateMutexA(const char* name, BOOL initial_owner) {
  return ProcessMutex::Create(name, initial_owner != FALSE);
}

BOOL ReleaseMutex(ProcessMutex* mutex) {
  if (mutex == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return mutex->Release();
}

BOOL CloseMutex(ProcessMutex* mutex) {
  if (mutex == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  delete mutex;
  return TRUE;
}

}  // namespace plat
