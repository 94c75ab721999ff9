// Sockets associated with completion ports: per-socket state, the fd table and the
// overlapped operations. Internal to lib/platform.
//
// Safety against fd reuse: the table maps an fd number to the state of the socket that
// currently owns it, together with a generation number that is new for every
// association. epoll reports carry (generation, fd); a report whose generation no longer
// matches (the socket was closed, the number reused) is ignored. closesocket takes the
// state out of the table, removes the fd from epoll, cancels its operations and only then
// closes the fd, so a new socket can never see the old one's operations. A socket's system
// calls run outside its mutex; when closesocket finds one under way, the thread making it
// closes the fd once it is done, and until then the number stays marked as closing.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/iocp_port.h"
#include "platform/socket.h"

namespace plat {
namespace iocp {

// 0, or the Windows error code (not recorded).
DWORD AssociateSocket(int fd, const std::shared_ptr<CompletionPort>& port, std::uintptr_t key);

// The port's EventHandler for socket readiness.
void ServiceSocketEvent(std::uint64_t data, std::uint32_t events);

// closesocket: 0, or SOCKET_ERROR with the error recorded.
int CloseSocket(int fd);
// Whether fd is associated with a port or reserved as the target of a pending AcceptEx.
bool IsTrackedSocket(int fd);

// Overlapped starts (arguments already checked by the caller, overlapped not null).
// 0 when finished at once (bytes filled), else SOCKET_ERROR with the error recorded
// (WSA_IO_PENDING when started).
int StartRecv(int fd, const WSABUF* buffers, DWORD count, DWORD* bytes, OVERLAPPED* overlapped);
int StartSend(int fd, const WSABUF* buffers, DWORD count, DWORD* bytes, OVERLAPPED* overlapped);
int StartAccept(int listen_fd, int target_fd, char* buffer, DWORD local_length,
                OVERLAPPED* overlapped);
int StartConnect(int fd, const sockaddr* name, int namelen, OVERLAPPED* overlapped);

}  // namespace iocp
}  // namespace plat
