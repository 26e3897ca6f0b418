// How the POSIX build's HANDLE wraps a file descriptor; for the POSIX files
// of platform/ only.
#pragma once

#include "platform/win32.h"

#include <cerrno>
#include <climits>
#include <cstdint>

#include <sys/types.h>
#include <unistd.h>

static_assert(sizeof(off_t) == 8, "files past 2 GiB need 64-bit offsets: build with _FILE_OFFSET_BITS=64");

// A handle is the descriptor plus one, so that descriptor 0 never looks like
// a null handle and INVALID_HANDLE_VALUE (all bits set) is never a descriptor.
inline HANDLE HandleFromFd(int fd) {
    return reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(fd) + 1u);
}

// The descriptor inside `handle`, or -1 for one that holds none.
inline int FdFromHandle(HANDLE handle) {
    const auto raw = reinterpret_cast<std::uintptr_t>(handle);
    if (handle == INVALID_HANDLE_VALUE || raw == 0 || raw - 1u > static_cast<std::uintptr_t>(INT_MAX)) {
        return -1;
    }
    return static_cast<int>(raw - 1u);
}

// Closes `fd` on a failure path, keeping errno as the failure left it.
inline void CloseKeepingErrno(int fd) {
    const int saved = errno;
    ::close(fd);
    errno = saved;
}
