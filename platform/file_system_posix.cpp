#include "platform/file_system.h"

#include "platform/posix_handle.h"
#include "platform/temporary_name.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <fcntl.h>
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
        // A name too long for the system is one no file can have.
        return path == nullptr || errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG ? PathKind::Missing
                                                                                                : PathKind::Unreadable;
    }
    if (S_ISREG(info.st_mode)) {
        return PathKind::RegularFile;
    }
    return S_ISLNK(info.st_mode) ? PathKind::Link : PathKind::Other;
}

bool IsFolder(const char* path) {
    struct stat info {};
    return path != nullptr && ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
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

FoundFile ExamineFile(const char* path, std::uint8_t* bytes, std::uint32_t room, std::uint32_t* got) {
    FoundFile found;
    if (got != nullptr) {
        *got = 0;
    }
    struct stat named {};
    if (::lstat(path, &named) != 0) {
        const bool missing = errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG;
        found.kind = missing ? FoundFile::Kind::Missing : FoundFile::Kind::Unknown;
        return found;
    }
    found.ours = named.st_uid == ::geteuid();
    found.kind = S_ISREG(named.st_mode) ? FoundFile::Kind::RegularFile : FoundFile::Kind::Other;
    found.identity = {static_cast<std::uint64_t>(named.st_dev), static_cast<std::uint64_t>(named.st_ino)};
    if (bytes == nullptr || found.kind != FoundFile::Kind::RegularFile) {
        return found;
    }
    // Opened without following a link or waiting for a writer, and read
    // only if it is still the file looked at.
    const int fd = ::open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    struct stat opened {};
    if (fd < 0 || ::fstat(fd, &opened) != 0 || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino) {
        found.kind = FoundFile::Kind::Unknown;
        room = 0;
    }
    std::uint32_t total = 0;
    while (total < room) {
        const ssize_t read = ::read(fd, bytes + total, room - total);
        if (read < 0 && errno == EINTR) {
            continue;
        }
        if (read <= 0) {
            found.kind = read == 0 ? found.kind : FoundFile::Kind::Unknown;
            break;
        }
        total += static_cast<std::uint32_t>(read);
    }
    if (fd >= 0) {
        ::close(fd);
    }
    if (got != nullptr) {
        *got = total;
    }
    return found;
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

namespace {

// The folder part of `path` as a path of its own ("." for none), in `folder`.
bool FolderOf(const char* path, char (&folder)[PATH_MAX]) {
    const std::size_t length = FolderPartLength(path);
    if (length >= PATH_MAX) {
        return false;
    }
    if (length == 0) {
        std::memcpy(folder, ".", 2);
    } else {
        std::memcpy(folder, path, length);
        folder[length] = '\0';
    }
    return true;
}

}  // namespace

bool MayReplaceName(const char* path) {
    char folder[PATH_MAX];
    struct stat file {};
    struct stat parent {};
    if (!FolderOf(path, folder) || ::lstat(path, &file) != 0 || ::stat(folder, &parent) != 0) {
        return true;  // nothing there to keep, or the attempt itself will say
    }
    const uid_t self = ::geteuid();
    return (parent.st_mode & S_ISVTX) == 0 || self == 0 || file.st_uid == self || parent.st_uid == self;
}

bool FlushFolderOf(const char* path) {
    char folder[PATH_MAX];
    if (!FolderOf(path, folder)) {
        return false;
    }
    const int fd = ::open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    // A file system that cannot flush a folder (EINVAL) keeps its names as
    // it can; that is no failure of the write.
    const bool flushed = ::fsync(fd) == 0 || errno == EINVAL;
    ::close(fd);
    return flushed;
}

void FinishWriteback(HANDLE handle, std::uint64_t offset, std::uint32_t length) {
    const int fd = FdFromHandle(handle);
    if (fd >= 0 &&
        ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length),
                          SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) == 0) {
        ::posix_fadvise(fd, static_cast<off_t>(offset), static_cast<off_t>(length), POSIX_FADV_DONTNEED);
    }
}

void StartWriteback(HANDLE handle, std::uint64_t offset, std::uint32_t length) {
    const int fd = FdFromHandle(handle);
    if (fd >= 0) {
        ::sync_file_range(fd, static_cast<off_t>(offset), static_cast<off_t>(length), SYNC_FILE_RANGE_WRITE);
    }
}

std::int64_t CopyBetweenFiles(HANDLE in, HANDLE out, std::uint32_t count) {
    const int from = FdFromHandle(in);
    const int to = FdFromHandle(out);
    if (from < 0 || to < 0) {
        return -1;
    }
    const ssize_t copied = ::copy_file_range(from, nullptr, to, nullptr, count, 0);
    return copied < 0 ? -1 : static_cast<std::int64_t>(copied);
}
