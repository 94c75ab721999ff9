// Network events of sockets signalled through a waitable event (WSAEventSelect,
// WSAEnumNetworkEvents).
//
// The event of WSACreateEvent is an epoll instance: its fd is readable while a selected
// network event of its socket is pending, so WaitForMultipleObjects waits on it like on
// any other handle, and no thread of our own is needed. Per selection:
//  - the event holds the socket itself (level-triggered) for input: FD_READ while data
//    is waiting, FD_ACCEPT while connections wait, FD_CLOSE once when the peer has closed
//    and its data has been read (error 0 for an orderly close, else the reset's code);
//  - and a nested epoll instance holding the socket edge-triggered for output. The kernel
//    wakes it when the socket connects or fails to, and when buffer space comes back after
//    a send found none, so FD_WRITE comes once after the connection is established (or
//    when an established socket is selected) and again only after a send would block,
//    and FD_CONNECT comes once with the connect's result.
// WSAEnumNetworkEvents reads the socket's state, reports what is pending and takes the
// reported edges, which resets the event.
//
// Differences from Windows: FD_READ and FD_ACCEPT are level-triggered (reported while
// data or connections wait, whether or not recv/accept was called in between); a socket
// must be listening before it is selected for FD_ACCEPT; an accepted socket does not
// inherit the listening socket's selection. Only sockets from WSASocketA/socket work.
#pragma once

#include "platform/socket.h"
#include "platform/types.h"

namespace plat {

constexpr LONG FD_READ = 0x01;
constexpr LONG FD_WRITE = 0x02;
constexpr LONG FD_OOB = 0x04;
constexpr LONG FD_ACCEPT = 0x08;
constexpr LONG FD_CONNECT = 0x10;
constexpr LONG FD_CLOSE = 0x20;

constexpr int FD_READ_BIT = 0;
constexpr int FD_WRITE_BIT = 1;
constexpr int FD_OOB_BIT = 2;
constexpr int FD_ACCEPT_BIT = 3;
constexpr int FD_CONNECT_BIT = 4;
constexpr int FD_CLOSE_BIT = 5;
constexpr int FD_MAX_EVENTS = 10;

struct WSANETWORKEVENTS {
  LONG lNetworkEvents;
  int iErrorCode[FD_MAX_EVENTS];
};

// A new event for socket network events; null with the last error set.
HANDLE WSACreateEvent();
// Closes the event and ends every selection that uses it.
BOOL WSACloseEvent(HANDLE event);

// Selects `network_events` (FD_* bits) of `s` on `event` and puts the socket in
// non-blocking mode. 0 ends the selection. Selecting again on the same event keeps what
// was already reported (FD_CLOSE stays reported) and re-arms FD_WRITE. 0, or
// SOCKET_ERROR with WSAGetLastError: WSAENOTSOCK for a value that is not a socket,
// WSAEINVAL for an event not made by WSACreateEvent or a bit outside FD_ALL_EVENTS.
int WSAEventSelect(SOCKET s, HANDLE event, LONG network_events);

// Reports the pending selected events of `s` into `events` and resets `event`.
// SOCKET_ERROR with WSAEINVAL when `s` is not selected on `event`, WSAEFAULT for a null
// record.
int WSAEnumNetworkEvents(SOCKET s, HANDLE event, WSANETWORKEVENTS* events);

}  // namespace plat
