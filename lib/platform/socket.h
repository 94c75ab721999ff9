// Windows Sockets calls over POSIX sockets.
//
// A SOCKET is the socket's file descriptor carried in a pointer-sized unsigned value
// (fd 0 never becomes a socket). Address structures, address families, socket types and
// the POSIX option names come from the system headers included below; the names are the
// ones Windows Sockets uses, so callers write the same code for either back end. Options
// that exist only on Windows are defined here.
//
// Every call records its failure as a Windows Sockets code (WSAGetLastError).
//
// Overlapped I/O (WSARecv, WSASend, AcceptEx, ConnectEx with an OVERLAPPED) needs the
// socket associated with a completion port (iocp.h). The rules:
//  - Arguments and the socket's state are checked first. A failure there returns
//    SOCKET_ERROR (FALSE for AcceptEx/ConnectEx) with the code recorded and queues nothing.
//  - Otherwise the operation is started and exactly one completion packet reaches the port
//    (bytes, key, OVERLAPPED*, error). When the operation finished at once the call returns
//    0 (TRUE) and fills the byte count; else SOCKET_ERROR (FALSE) with WSA_IO_PENDING.
//    Whatever the system reports once the operation is started (data, end of stream,
//    reset, refusal) arrives in the packet, never as the call's result.
//  - A send completes only when all its bytes are written, or with the error that stopped
//    it. A receive completes with the bytes of one read; 0 bytes and error 0 mean the peer
//    closed its side. Operations of one kind on one socket complete in the order started.
//  - closesocket cancels the socket's pending operations: each completes with
//    ERROR_OPERATION_ABORTED (995). It is safe from any thread.
//  - Without an OVERLAPPED, WSARecv and WSASend perform one non-blocking transfer on a
//    socket in non-blocking mode (WSAEWOULDBLOCK when it would wait).
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

#include "platform/types.h"
#include "platform/winsock.h"

namespace plat {

using SOCKET = std::uintptr_t;
constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);

// The socket as a HANDLE (for completion-port association) and back.
inline HANDLE socket_to_handle(SOCKET s) {
  return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(static_cast<int>(s)));
}
inline SOCKET handle_to_socket(HANDLE h) {
  return handle_is_valid(h) ? static_cast<SOCKET>(handle_to_fd(h)) : INVALID_SOCKET;
}
// The file descriptor of a socket; -1 for INVALID_SOCKET or an out-of-range value.
int socket_fd(SOCKET s);

constexpr DWORD WSA_FLAG_OVERLAPPED = 0x01;
constexpr DWORD WSA_IO_PENDING = ERROR_IO_PENDING;
constexpr DWORD WSA_OPERATION_ABORTED = ERROR_OPERATION_ABORTED;
constexpr unsigned long INADDR_NONE_VALUE = 0xFFFFFFFFul;

// Options that only exist on Windows; accepted on SOL_SOCKET and ignored.
constexpr int SO_CONDITIONAL_ACCEPT = 0x3002;
constexpr int SO_UPDATE_ACCEPT_CONTEXT = 0x700B;
constexpr int SO_UPDATE_CONNECT_CONTEXT = 0x7010;

// shutdown directions.
constexpr int SD_RECEIVE = 0;
constexpr int SD_SEND = 1;
constexpr int SD_BOTH = 2;

// ioctlsocket command: argument non-zero = non-blocking.
constexpr long FIONBIO_CMD = 0x8004667E;

struct WSABUF {
  ULONG len;
  char* buf;
};

// Reserved for the completion-routine form, which is not supported (must be null).
using LPWSAOVERLAPPED_COMPLETION_ROUTINE = void (*)(DWORD, DWORD, OVERLAPPED*, DWORD);

// gethostbyname result: IPv4 only; h_addr_list ends with a null entry.
struct HOSTENT {
  char* h_name;
  char** h_aliases;
  short h_addrtype;
  short h_length;
  char** h_addr_list;
};

// --- socket life ---

// A new socket (non-blocking only when associated with a port or set by ioctlsocket).
// protocol_info must be null; group is ignored.
SOCKET WSASocketA(int af, int type, int protocol, void* protocol_info, unsigned group,
                  DWORD flags);
SOCKET socket(int af, int type, int protocol);
// Closes the socket; pending overlapped operations complete with 995.
int closesocket(SOCKET s);
// SD_RECEIVE, SD_SEND or SD_BOTH.
int shutdown(SOCKET s, int how);

// --- addresses and options ---

// Stream sockets get SO_REUSEADDR here, before binding, so that a restarted listener can
// take its port while old connections sit in TIME_WAIT.
int bind(SOCKET s, const sockaddr* name, int namelen);
// backlog above the system limit is clamped to it (SOMAXCONN).
int listen(SOCKET s, int backlog);
int connect(SOCKET s, const sockaddr* name, int namelen);
// Non-overlapped accept; the new socket inherits nothing but close-on-exec.
SOCKET accept(SOCKET s, sockaddr* addr, int* addrlen);
int setsockopt(SOCKET s, int level, int optname, const char* optval, int optlen);
int getsockopt(SOCKET s, int level, int optname, char* optval, int* optlen);
int getsockname(SOCKET s, sockaddr* name, int* namelen);
int getpeername(SOCKET s, sockaddr* name, int* namelen);
// FIONBIO_CMD only.
int ioctlsocket(SOCKET s, long cmd, unsigned long* argp);

// --- plain transfers (non-overlapped) ---
int recv(SOCKET s, char* buf, int len, int flags);
int send(SOCKET s, const char* buf, int len, int flags);

// --- IPv4 text and names ---

// Dotted text (also the short forms Windows accepts) -> network-order address;
// INADDR_NONE_VALUE for anything else.
unsigned long inet_addr(const char* text);
// Dotted text of a network-order address, in a per-thread buffer valid until the next
// call on the same thread.
char* inet_ntoa(in_addr address);
// IPv4 addresses of a host name, in per-thread storage valid until the next call on the
// same thread; null with WSAHOST_NOT_FOUND, WSATRY_AGAIN, WSANO_DATA... recorded.
const HOSTENT* gethostbyname(const char* name);

// --- overlapped operations (see the rules above) ---

// flags: in 0, out 0. completion must be null.
int WSARecv(SOCKET s, WSABUF* buffers, DWORD count, DWORD* bytes_received, DWORD* flags,
            OVERLAPPED* overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);
int WSASend(SOCKET s, WSABUF* buffers, DWORD count, DWORD* bytes_sent, DWORD flags,
            OVERLAPPED* overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);

// Accepts the next connection of `listen_socket` (associated with a port) onto
// `accept_socket`: a socket the caller created with WSASocketA and has not associated
// with a port. At completion the accepted connection takes over that SOCKET value (the
// fd number is kept; the unconnected socket behind it is released), so the caller then
// owns a connected socket under the value it passed. Closing accept_socket while the
// accept is pending makes the accept complete with 995 when the next connection arrives
// or the listener closes (the connection itself is dropped).
// `buffer` receives the local then the remote address: local_length and remote_length
// are each at least sizeof(sockaddr_in) + 16. receive_length must be 0 (no data is read
// with the accept). Completion reports 0 bytes.
BOOL AcceptEx(SOCKET listen_socket, SOCKET accept_socket, void* buffer, DWORD receive_length,
              DWORD local_length, DWORD remote_length, DWORD* bytes_received,
              OVERLAPPED* overlapped);
// Splits the buffer filled by AcceptEx. Pointers point into `buffer`.
void GetAcceptExSockaddrs(void* buffer, DWORD receive_length, DWORD local_length,
                          DWORD remote_length, sockaddr** local, int* local_sockaddr_length,
                          sockaddr** remote, int* remote_sockaddr_length);
// Non-blocking connect of a socket associated with a port; completes when connected or
// refused (SO_ERROR as the packet's error). send_buffer must be null / send_length 0.
BOOL ConnectEx(SOCKET s, const sockaddr* name, int namelen, const void* send_buffer,
               DWORD send_length, DWORD* bytes_sent, OVERLAPPED* overlapped);

// --- extension function pointers (WSAIoctl SIO_GET_EXTENSION_FUNCTION_POINTER) ---

struct GUID {
  std::uint32_t Data1;
  std::uint16_t Data2;
  std::uint16_t Data3;
  std::uint8_t Data4[8];
};
using LPFN_ACCEPTEX = decltype(&AcceptEx);
using LPFN_CONNECTEX = decltype(&ConnectEx);
using LPFN_GETACCEPTEXSOCKADDRS = decltype(&GetAcceptExSockaddrs);

constexpr DWORD SIO_GET_EXTENSION_FUNCTION_POINTER = 0xC8000006u;
constexpr GUID WSAID_ACCEPTEX = {0xb5367df1, 0xcbac, 0x11cf,
                                 {0x95, 0xca, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92}};
constexpr GUID WSAID_GETACCEPTEXSOCKADDRS = {0xb5367df2, 0xcbac, 0x11cf,
                                             {0x95, 0xca, 0x00, 0x80, 0x5f, 0x48, 0xa1, 0x92}};
constexpr GUID WSAID_CONNECTEX = {0x25a207b9, 0xddf3, 0x4660,
                                  {0x8e, 0xe9, 0x76, 0xe5, 0x8c, 0x74, 0x06, 0x3e}};

// Only SIO_GET_EXTENSION_FUNCTION_POINTER with one of the GUIDs above (in_buffer: the
// GUID; out_buffer: room for a function pointer). overlapped/completion must be null.
int WSAIoctl(SOCKET s, DWORD control_code, void* in_buffer, DWORD in_length,
             void* out_buffer, DWORD out_length, DWORD* bytes_returned,
             OVERLAPPED* overlapped, LPWSAOVERLAPPED_COMPLETION_ROUTINE completion);

}  // namespace plat
