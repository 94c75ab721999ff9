#include "platform/iocp.h"

#include "platform/error.h"
#include "platform/fd.h"
#include "platform/iocp_port.h"
#include "platform/iocp_socket.h"

namespace plat {

HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing_port, ULONG_PTR key,
                              DWORD /*concurrency*/) {
  if (file == INVALID_HANDLE_VALUE) {
    if (existing_port != nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return nullptr;
    }
    std::shared_ptr<iocp::CompletionPort> port =
        iocp::CompletionPort::Create(&iocp::ServiceSocketEvent);
    if (!port) return nullptr;
    iocp::AddPort(port);
    return fd_to_handle(port->fd());
  }
  int fd;
  if (!handle_fd(file, &fd)) return nullptr;
  std::shared_ptr<iocp::CompletionPort> port = iocp::FindPort(existing_port);
  if (!port) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  DWORD error = iocp::AssociateSocket(fd, port, key);
  if (error != 0) {
    SetLastError(error);
    return nullptr;
  }
  return existing_port;
}

BOOL GetQueuedCompletionStatus(HANDLE port, DWORD* bytes, ULONG_PTR* key,
                               OVERLAPPED** overlapped, DWORD milliseconds) {
  if (bytes == nullptr || key == nullptr || overlapped == nullptr) {
    if (overlapped != nullptr) *overlapped = nullptr;
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  std::shared_ptr<iocp::CompletionPort> p = iocp::FindPort(port);
  if (!p) {
    *overlapped = nullptr;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return p->wait(bytes, key, overlapped, milliseconds);
}

BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, OVERLAPPED* overlapped) {
  std::shared_ptr<iocp::CompletionPort> p = iocp::FindPort(port);
  if (!p) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  iocp::OpRecord* r = iocp::AllocRecord(iocp::OpKind::Post);
  if (r == nullptr) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  r->bytes = bytes;
  r->key = key;
  r->overlapped = overlapped;
  p->push(r);
  return TRUE;
}

bool CloseIocpHandle(HANDLE handle, bool* closed) {
  *closed = true;
  if (std::shared_ptr<iocp::CompletionPort> p = iocp::RemovePort(handle)) {
    p->close();  // the epoll fd itself closes with the last socket or waiter holding the port
    return true;
  }
  if (!handle_is_valid(handle) || !iocp::IsTrackedSocket(handle_to_fd(handle))) return false;
  *closed = iocp::CloseSocket(handle_to_fd(handle)) == 0;
  return true;
}

}  // namespace plat
