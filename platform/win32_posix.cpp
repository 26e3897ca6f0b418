// The Win32 file calls over POSIX. See win32.h for the behaviour kept.
#include "platform/win32.h"

#include "platform/posix_handle.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

thread_local DWORD g_lastError = ERROR_SUCCESS;

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case ENOENT:
    case ENXIO: return ERROR_FILE_NOT_FOUND;  // ENXIO: a pipe with no reader
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
    case ETXTBSY: return ERROR_ACCESS_DENIED;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case EBADF: return ERROR_INVALID_HANDLE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EWOULDBLOCK: return ERROR_SHARING_VIOLATION;
    case ENOSPC:
    case EFBIG:
    case EDQUOT: return ERROR_DISK_FULL;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EINVAL: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

void FailWithErrno(int error) {
    g_lastError = ErrorFromErrno(error);
}

bool IsValidHandle(HANDLE handle, int* fd) {
    *fd = FdFromHandle(handle);
    if (*fd < 0) {
        g_lastError = ERROR_INVALID_HANDLE;
        return false;
    }
    return true;
}

}  // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES, DWORD creationDisposition, DWORD, HANDLE) {
    if (fileName == nullptr) {
        g_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    if (fileName[0] == '\0') {
        g_lastError = ERROR_PATH_NOT_FOUND;
        return INVALID_HANDLE_VALUE;
    }

    const bool wantRead = (desiredAccess & GENERIC_READ) != 0;
    const bool wantWrite = (desiredAccess & GENERIC_WRITE) != 0;
    // O_NONBLOCK keeps the open itself from waiting: CreateFileA never waits
    // for the other end of a pipe, it fails. The flag is cleared once open.
    int flags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if (wantRead && wantWrite) {
        flags |= O_RDWR;
    } else if (wantWrite) {
        flags |= O_WRONLY;
    } else {
        // No access asked for still opens the file (for its attributes, on
        // Windows); read-only is the nearest POSIX grants.
        flags |= O_RDONLY;
    }

    switch (creationDisposition) {
    case CREATE_NEW: flags |= O_CREAT | O_EXCL; break;
    case CREATE_ALWAYS: flags |= O_CREAT; break;  // truncated once locked
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: flags |= O_CREAT; break;
    case TRUNCATE_EXISTING:
        if (!wantWrite) {
            g_lastError = ERROR_INVALID_PARAMETER;
            return INVALID_HANDLE_VALUE;
        }
        break;
    default:
        g_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }

    int fd;
    do {
        fd = ::open(fileName, flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        // A missing folder on the way is a missing path, not a missing file.
        if (errno == ENOENT && (flags & O_CREAT) != 0) {
            g_lastError = ERROR_PATH_NOT_FOUND;
        } else {
            FailWithErrno(errno);
        }
        return INVALID_HANDLE_VALUE;
    }

    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        CloseKeepingErrno(fd);
        FailWithErrno(errno);
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(info.st_mode)) {
        ::close(fd);
        g_lastError = ERROR_ACCESS_DENIED;
        return INVALID_HANDLE_VALUE;
    }
    // Reads of a regular file never wait whatever the flag says, so a file
    // opened only to be read keeps it; pipes, devices and anything opened
    // for writing have it cleared.
    if (!S_ISREG(info.st_mode) || wantWrite) {
        const int statusFlags = ::fcntl(fd, F_GETFL);
        if (statusFlags == -1 || ::fcntl(fd, F_SETFL, statusFlags & ~O_NONBLOCK) == -1) {
            CloseKeepingErrno(fd);
            FailWithErrno(errno);
            return INVALID_HANDLE_VALUE;
        }
    }

    // Sharing is a matter of files: a device or a pipe is opened whatever
    // locks other programs hold on it.
    const bool sharesForReading = wantRead && !wantWrite && (shareMode & FILE_SHARE_READ) != 0;
    const int lockKind = (sharesForReading ? LOCK_SH : LOCK_EX) | LOCK_NB;
    int lockResult = 0;
    if (S_ISREG(info.st_mode)) {
        do {
            lockResult = ::flock(fd, lockKind);
        } while (lockResult != 0 && errno == EINTR);
    }
    // A file system without locks (some network ones) says so with one of
    // these: the file is opened without the sharing emulation rather than
    // not at all.
    if (lockResult != 0 && (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL)) {
        lockResult = 0;
    }
    if (lockResult != 0) {
        const int error = errno;
        ::close(fd);
        g_lastError = (error == EWOULDBLOCK) ? ERROR_SHARING_VIOLATION : ErrorFromErrno(error);
        return INVALID_HANDLE_VALUE;
    }

    const bool truncate = creationDisposition == CREATE_ALWAYS || creationDisposition == TRUNCATE_EXISTING;
    if (truncate && S_ISREG(info.st_mode) && info.st_size != 0 && ::ftruncate(fd, 0) != 0) {
        CloseKeepingErrno(fd);
        FailWithErrno(errno);
        return INVALID_HANDLE_VALUE;
    }

    g_lastError = ERROR_SUCCESS;
    return HandleFromFd(fd);
}

DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh) {
    int fd;
    if (!IsValidHandle(file, &fd)) {
        return INVALID_FILE_SIZE;
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        FailWithErrno(errno);
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<std::uint64_t>(info.st_size < 0 ? 0 : info.st_size);
    if (fileSizeHigh != nullptr) {
        *fileSizeHigh = static_cast<DWORD>(size >> 32);
    }
    g_lastError = ERROR_SUCCESS;
    return static_cast<DWORD>(size & 0xFFFFFFFFu);
}

namespace {

// Moves `count` bytes with `transfer` (a read() or write() on `fd` at an
// offset into the caller's buffer), retrying interrupted and partial calls:
// Linux moves at most 0x7ffff000 bytes per call. A call that moves nothing
// ends the loop: end of file for a read (a short count, not an error), a
// device that takes nothing for a write (a failure). Reports the count moved.
template <typename Transfer>
BOOL TransferWhole(HANDLE file, const void* buffer, DWORD count, LPDWORD moved, bool nothingMovedFails,
                   Transfer transfer) {
    if (moved != nullptr) {
        *moved = 0;
    }
    int fd;
    if (!IsValidHandle(file, &fd)) {
        return FALSE;
    }
    if (buffer == nullptr && count != 0) {
        g_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    DWORD done = 0;
    BOOL result = TRUE;
    while (done < count) {
        const ssize_t step = transfer(fd, done, count - done);
        if (step < 0 && errno == EINTR) {
            continue;
        }
        if (step < 0) {
            FailWithErrno(errno);
            result = FALSE;
            break;
        }
        if (step == 0) {
            if (nothingMovedFails) {
                g_lastError = ERROR_DISK_FULL;
                result = FALSE;
            }
            break;
        }
        done += static_cast<DWORD>(step);
    }
    if (moved != nullptr) {
        *moved = done;
    }
    if (result) {
        g_lastError = ERROR_SUCCESS;
    }
    return result;
}

}  // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead, LPOVERLAPPED) {
    auto* out = static_cast<unsigned char*>(buffer);
    return TransferWhole(file, buffer, bytesToRead, bytesRead, false, [out](int fd, DWORD offset, DWORD count) {
        return ::read(fd, out + offset, count);
    });
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten, LPOVERLAPPED) {
    const auto* in = static_cast<const unsigned char*>(buffer);
    return TransferWhole(file, buffer, bytesToWrite, bytesWritten, true, [in](int fd, DWORD offset, DWORD count) {
        return ::write(fd, in + offset, count);
    });
}

DWORD SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh, DWORD moveMethod) {
    int fd;
    if (!IsValidHandle(file, &fd)) {
        return INVALID_SET_FILE_POINTER;
    }
    int whence;
    switch (moveMethod) {
    case FILE_BEGIN: whence = SEEK_SET; break;
    case FILE_CURRENT: whence = SEEK_CUR; break;
    case FILE_END: whence = SEEK_END; break;
    default:
        g_lastError = ERROR_INVALID_PARAMETER;
        return INVALID_SET_FILE_POINTER;
    }
    // Without a high part the distance is a signed 32-bit value; with one,
    // the two form a signed 64-bit distance.
    std::int64_t distance = distanceToMove;
    if (distanceToMoveHigh != nullptr) {
        const std::uint64_t high = static_cast<std::uint32_t>(*distanceToMoveHigh);
        const std::uint64_t low = static_cast<std::uint32_t>(distanceToMove);
        distance = static_cast<std::int64_t>((high << 32) | low);
    }
    const off_t position = ::lseek(fd, static_cast<off_t>(distance), whence);
    if (position < 0) {
        FailWithErrno(errno);
        return INVALID_SET_FILE_POINTER;
    }
    const auto where = static_cast<std::uint64_t>(position);
    if (distanceToMoveHigh != nullptr) {
        *distanceToMoveHigh = static_cast<LONG>(static_cast<std::uint32_t>(where >> 32));
    }
    g_lastError = ERROR_SUCCESS;
    return static_cast<DWORD>(where & 0xFFFFFFFFu);
}

BOOL CloseHandle(HANDLE object) {
    int fd;
    if (!IsValidHandle(object, &fd)) {
        return FALSE;
    }
    // The descriptor is gone after close() whatever it returns; an EINTR
    // must not be retried, or a descriptor reused meanwhile would be closed.
    if (::close(fd) != 0 && errno != EINTR) {
        FailWithErrno(errno);
        return FALSE;
    }
    g_lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file) {
    int fd;
    if (!IsValidHandle(file, &fd)) {
        return FALSE;
    }
    while (::fdatasync(fd) != 0) {
        if (errno != EINTR) {
            FailWithErrno(errno);
            return FALSE;
        }
    }
    g_lastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL MoveFileExA(LPCSTR existingFileName, LPCSTR newFileName, DWORD flags) {
    if (existingFileName == nullptr || newFileName == nullptr) {
        g_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if ((flags & MOVEFILE_REPLACE_EXISTING) == 0) {
        struct stat info {};
        if (::lstat(newFileName, &info) == 0) {
            g_lastError = ERROR_ALREADY_EXISTS;
            return FALSE;
        }
    }
    if (::rename(existingFileName, newFileName) != 0) {
        FailWithErrno(errno);
        return FALSE;
    }
    g_lastError = ERROR_SUCCESS;
    return TRUE;
}

void Sleep(DWORD milliseconds) {
    timespec pause {static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
    while (::nanosleep(&pause, &pause) != 0 && errno == EINTR) {
    }
}

BOOL DeleteFileA(LPCSTR fileName) {
    if (fileName == nullptr) {
        g_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    if (::unlink(fileName) != 0) {
        FailWithErrno(errno);
        return FALSE;
    }
    g_lastError = ERROR_SUCCESS;
    return TRUE;
}

DWORD GetLastError() {
    return g_lastError;
}

void SetLastError(DWORD errorCode) {
    g_lastError = errorCode;
}
