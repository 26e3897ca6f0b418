#include "platform/file_system.h"

#include <csignal>

#include <sys/stat.h>
#include <unistd.h>

PathKind GetPathKind(const char* path) {
    struct stat info {};
    if (path == nullptr || ::lstat(path, &info) != 0) {
        return PathKind::Missing;
    }
    return S_ISREG(info.st_mode) ? PathKind::RegularFile : PathKind::Other;
}

bool IsPathSeparator(char c) {
    return c == '/';
}

bool CopyPermissionBits(const char* from, const char* to) {
    struct stat info {};
    if (::stat(from, &info) != 0) {
        return false;
    }
    return ::chmod(to, info.st_mode & 07777) == 0;
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(::getpid());
}

void ReportWriteErrorsInsteadOfSignals() {
    // A write past RLIMIT_FSIZE then fails with EFBIG, and a write to a pipe
    // without a reader with EPIPE, instead of ending the process.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
}
