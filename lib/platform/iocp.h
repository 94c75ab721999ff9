// I/O completion ports over epoll (see socket.h for the overlapped socket calls).
//
// A port is a queue of completion packets plus an epoll set of the sockets associated
// with it. Threads waiting in GetQueuedCompletionStatus take turns watching the sockets
// (one leader in epoll_wait, the others wait for packets), so a completion is handed to
// the thread that found it or to one woken waiter, and each packet reaches exactly one
// waiter. The port HANDLE is an fd; CloseHandle closes the port: every waiter returns
// FALSE with ERROR_ABANDONED_WAIT_0 and no packet, queued packets are dropped.
#pragma once

#include "platform/types.h"

namespace plat {

// file == INVALID_HANDLE_VALUE and existing_port == null: a new port (key and
// concurrency are not used; the number of running threads is not limited).
// Otherwise associates the socket `file` (a socket_to_handle value) with existing_port
// under `key`, sets it non-blocking and returns existing_port. A socket is associated
// once, until it is closed. Null on failure with the last error set (87 for bad
// arguments or a second association).
HANDLE CreateIoCompletionPort(HANDLE file, HANDLE existing_port, ULONG_PTR key,
                              DWORD concurrency);

// Waits up to `milliseconds` (INFINITE: no limit) for one packet:
//  - TRUE: an operation succeeded or a posted packet; bytes, key, overlapped filled.
//  - FALSE with *overlapped set: the operation failed; the last error is its code.
//  - FALSE with *overlapped null: WAIT_TIMEOUT (258), ERROR_ABANDONED_WAIT_0 (735) when
//    the port was closed, ERROR_INVALID_HANDLE / ERROR_INVALID_PARAMETER.
BOOL GetQueuedCompletionStatus(HANDLE port, DWORD* bytes, ULONG_PTR* key,
                               OVERLAPPED** overlapped, DWORD milliseconds);

// Queues a packet as given (overlapped may be null and is not touched).
BOOL PostQueuedCompletionStatus(HANDLE port, DWORD bytes, ULONG_PTR key, OVERLAPPED* overlapped);

// Used by CloseHandle: closes `handle` when it is a port, or a socket associated with a
// port, reserved by a pending AcceptEx or being closed (as closesocket does), and returns
// true with *closed telling whether that worked (the error recorded); false for any
// other handle.
bool CloseIocpHandle(HANDLE handle, bool* closed);

}  // namespace plat
