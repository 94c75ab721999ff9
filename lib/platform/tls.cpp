#include "platform/tls.h"

#include <pthread.h>

#include <cerrno>

#include "platform/error.h"

namespace plat {

static_assert(sizeof(pthread_key_t) <= sizeof(DWORD), "pthread_key_t must fit an index");

DWORD TlsAlloc(TlsDestructor destructor) {
  pthread_key_t key;
  int rc = pthread_key_create(&key, destructor);
  if (rc != 0) {
    SetLastError(rc == EAGAIN ? ERROR_NO_MORE_ITEMS : ErrnoToError(rc));
    return TLS_OUT_OF_INDEXES;
  }
  if (static_cast<DWORD>(key) == TLS_OUT_OF_INDEXES) {
    pthread_key_delete(key);
    SetLastError(ERROR_NO_MORE_ITEMS);
    return TLS_OUT_OF_INDEXES;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(key);
}

BOOL TlsFree(DWORD index) {
  if (index == TLS_OUT_OF_INDEXES) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int rc = pthread_key_delete(static_cast<pthread_key_t>(index));
  if (rc != 0) {
    SetLastError(ErrnoToError(rc));
    return FALSE;
  }
  return TRUE;
}

void* TlsGetValue(DWORD index) {
  if (index == TLS_OUT_OF_INDEXES) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SetLastError(ERROR_SUCCESS);
  return pthread_getspecific(static_cast<pthread_key_t>(index));
}

BOOL TlsSetValue(DWORD index, void* value) {
  if (index == TLS_OUT_OF_INDEXES) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  int rc = pthread_setspecific(static_cast<pthread_key_t>(index), value);
  if (rc != 0) {
    SetLastError(ErrnoToError(rc));
    return FALSE;
  }
  return TRUE;
}

}  // namespace plat
