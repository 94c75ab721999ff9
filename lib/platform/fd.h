// Descriptor helpers shared by the platform sources.
#pragma once

#include "platform/types.h"

namespace plat {

// Moves a descriptor off 0, which never becomes a handle: `fd` itself when it is not 0
// (a negative one included), else a copy at a higher number (-1 with errno set when
// there is none); 0 is closed either way.
int avoid_fd_zero(int fd);

// The descriptor of `handle` into *fd; false with ERROR_INVALID_HANDLE recorded when the
// handle is null or INVALID_HANDLE_VALUE.
bool handle_fd(HANDLE handle, int* fd);

// open(2) that keeps only a regular file: the open itself never blocks (O_NONBLOCK, cleared
// again afterwards), and a FIFO, device, socket or directory at `path` is closed again and
// refused with errno EACCES. O_CLOEXEC is always added. -1 with errno set on failure.
int open_regular(const char* path, int flags, unsigned int mode = 0);

}  // namespace plat
