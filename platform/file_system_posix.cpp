#include "platform/file_system.h"

#include "platform/posix_handle.h"
#include "platform/temporary_name.h"

#include <climits>
#include <cstring>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// How many links ResolveLinks follows before it calls the chain a loop, as
// the kernel does.
constexpr int kMaxLinksFollowed = 40;

}  // namespace

PathKind GetPathKind(const char* path) {
    struct stat info {};
    if (path == nullptr || ::lstat(path, &info) != 0) {
        return PathKind::Missing;
    }
    if (S_ISREG(info.st_mode)) {
        return PathKind::RegularFile;
    }
    return S_ISLNK(info.st_mode) ? PathKind::Link : PathKind::Other;
}

bool ResolveLinks(const char* path, char* target, std::size_t targetSize) {
    const std::size_t length = std::strlen(path);
    if (length >= targetSize) {
        return false;
    }
    std::memcpy(target, path, length + 1);
    for (int followed = 0; followed <= kMaxLinksFollowed; ++followed) {
        struct stat info {};
        if (::lstat(target, &info) != 0 || !S_ISLNK(info.st_mode)) {
            return true;  // a file, a folder, or a name still to be made
        }
        char link[PATH_MAX];
        const ssize_t linkLength = ::readlink(target, link, sizeof link);
        if (linkLength <= 0 || static_cast<std::size_t>(linkLength) >= sizeof link) {
            return false;
        }
        // A relative link is read from the folder that holds it; the kernel
        // resolves the joined path just as it would resolve the link.
        const std::size_t keep = link[0] == '/' ? 0 : FolderPartLength(target);
        if (keep + static_cast<std::size_t>(linkLength) >= targetSize) {
            return false;
        }
        std::memcpy(target + keep, link, static_cast<std::size_t>(linkLength));
        target[keep + static_cast<std::size_t>(linkLength)] = '\0';
    }
    return false;
}

bool IdentifyOpenFile(HANDLE handle, FileIdentity& identity, std::uint64_t* byteCount) {
    struct stat info {};
    const int fd = FdFromHandle(handle);
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        return false;
    }
    identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    if (byteCount != nullptr) {
        *byteCount = static_cast<std::uint64_t>(info.st_size < 0 ? 0 : info.st_size);
    }
    return true;
}

bool IdentifyPath(const char* path, FileIdentity& identity) {
    struct stat info {};
    if (path == nullptr || ::stat(path, &info) != 0) {
        return false;
    }
    identity = {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino)};
    return true;
}

bool CanCreateName(const char* path) {
    const std::size_t length = std::strlen(path);
    const std::size_t folderLength = FolderPartLength(path);
    if (length == folderLength || length >= PATH_MAX) {
        return false;  // no last name, or a path the kernel will not take
    }
    char folder[PATH_MAX];
    if (folderLength == 0) {
        std::memcpy(folder, ".", 2);
    } else {
        std::memcpy(folder, path, folderLength);
        folder[folderLength] = '\0';
    }
    struct stat info {};
    if (::stat(folder, &info) != 0 || !S_ISDIR(info.st_mode)) {
        return false;
    }
    const long nameMax = ::pathconf(folder, _PC_NAME_MAX);
    return static_cast<long>(length - folderLength) <= (nameMax > 0 ? nameMax : NAME_MAX);
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
