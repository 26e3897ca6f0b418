// The steps of replacing files over POSIX: anonymous files (O_TMPFILE)
// named by linkat, exclusive names, flock for findable names and folder
// locks, and a list of names that the interrupt handler removes.
#include "platform/file_primitives.h"

#include "platform/posix_handle.h"
#include "platform/temporary_name.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// The head of the list of names, changed only with the interrupt signals
// blocked, so the handler always sees it whole.
ListedName* volatile g_names = nullptr;

// Blocked interrupts: the mask before the outermost block, and how deep the
// blocks (NameChange and InterruptsHeld alike) are nested; touched by the
// main thread only.
sigset_t g_maskBeforeBlock;
int g_blockDepth = 0;

void BlockInterrupts() {
    if (g_blockDepth++ == 0) {
        sigset_t set;
        ::sigemptyset(&set);
        for (const int signalNumber : kInterrupts) {
            ::sigaddset(&set, signalNumber);
        }
        ::sigprocmask(SIG_BLOCK, &set, &g_maskBeforeBlock);
    }
}

void UnblockInterrupts() {
    if (--g_blockDepth == 0) {
        ::sigprocmask(SIG_SETMASK, &g_maskBeforeBlock, nullptr);
    }
}

bool FolderRefuses(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
}

StepResult FromErrno(int error) {
    if (error == EEXIST) {
        return StepResult::Taken;
    }
    return FolderRefuses(error) ? StepResult::FolderRefuses : StepResult::Failed;
}

// `mode` with its group bits cut to what its other bits allow: for a file
// whose group may not be the one its bits were meant for.
mode_t WithoutWiderGroup(mode_t mode) {
    return static_cast<mode_t>((mode & ~static_cast<mode_t>(070)) | (mode & 070 & ((mode & 07) << 3)));
}

// Where a file's POSIX access ACL lives, as an extended attribute.
constexpr char kAccessAcl[] = "system.posix_acl_access";
// Room for an ACL: a 4-byte header and 8 bytes an entry, 127 entries.
constexpr std::size_t kLargestAcl = 1024;

// Whether an ACL call failed only because the file system has no ACLs.
bool NoAcls(int error) {
    return error == ENOTSUP || error == EOPNOTSUPP || error == ENOSYS;
}

// The bits a new file is born with: never wider than the file it replaces
// (with an ACL, than its owner alone), or the default that the umask leaves
// of rw-rw-rw-.
mode_t BirthMode(const AccessRules& rules) {
    if (!rules.kept) {
        return 0666;
    }
    return rules.acl != nullptr ? static_cast<mode_t>(rules.mode & 0700)
                                : WithoutWiderGroup(static_cast<mode_t>(rules.mode & 0777));
}

void OnInterrupt(int signalNumber) {
    const int savedErrno = errno;
    // Async-signal-safe: unlink() only.
    for (ListedName* entry = g_names; entry != nullptr;) {
        const char* name = NameList::NameOf(*entry);
        if (name != nullptr && name[0] != '\0') {
            ::unlink(name);
        }
        entry = NameList::Next(*entry);
    }
    // Ends the process as the signal would have: it is blocked while this
    // handler runs, and delivered with its default action on return.
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
    errno = savedErrno;
}

// Copies the regular file `from` to the new name `to`, with its mode and,
// where the system permits, its owner; a file system that keeps neither
// (FAT) keeps the copy as it makes it. False, with nothing left at `to` that
// this call made, on any failure; errno says why (EEXIST: `to` is taken).
bool CopyFile(const char* from, const char* to) {
    const int in = ::open(from, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        return false;
    }
    struct stat info {};
    const int out = ::fstat(in, &info) == 0 && S_ISREG(info.st_mode)
                        ? ::open(to, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)
                        : -1;
    if (out < 0) {
        CloseKeepingErrno(in);
        return false;
    }
    char buffer[64 * 1024];
    bool copied = true;
    for (;;) {
        const ssize_t got = ::read(in, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            copied = got == 0;
            break;
        }
        for (ssize_t done = 0; copied && done < got;) {
            const ssize_t put = ::write(out, buffer + done, static_cast<std::size_t>(got - done));
            if (put < 0 && errno == EINTR) {
                continue;
            }
            copied = put > 0;
            done += put > 0 ? put : 0;
        }
        if (!copied) {
            break;
        }
    }
    if (copied) {
        // The same owner and mode where the system permits; never a group
        // that could not be kept with the bits meant for the old one.
        const bool groupKept =
            ::fchown(out, info.st_uid, info.st_gid) == 0 || ::fchown(out, static_cast<uid_t>(-1), info.st_gid) == 0;
        const auto mode = static_cast<mode_t>(info.st_mode & 07777);
        copied = ::fchmod(out, groupKept ? mode : WithoutWiderGroup(mode)) == 0 || errno == ENOSYS ||
                 errno == EPERM || NoAcls(errno);
    }
    // A copy stands in for the old file once that file's name changes: it
    // is on the disk first.
    copied = copied && ::fsync(out) == 0;
    const int error = errno;
    copied = ::close(out) == 0 && copied;
    ::close(in);
    if (!copied) {
        ::unlink(to);
        errno = error;
    }
    return copied;
}

// Whether `name` itself (not a link's target) is the file open as `fd`.
bool NameLeadsTo(const char* name, int fd) {
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::lstat(name, &named) == 0 && opened.st_dev == named.st_dev &&
           opened.st_ino == named.st_ino;
}

}  // namespace

void PrepareForFileWrites() {
    // A write past RLIMIT_FSIZE then fails with EFBIG, and a write to a pipe
    // without a reader with EPIPE, instead of ending the process.
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);

    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    ::sigemptyset(&action.sa_mask);
    for (const int signalNumber : kInterrupts) {
        ::sigaddset(&action.sa_mask, signalNumber);
    }
    for (const int signalNumber : kInterrupts) {
        struct sigaction previous {};
        // A signal the caller ignores (nohup's SIGHUP) stays ignored.
        if (::sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) {
            continue;
        }
        ::sigaction(signalNumber, &action, nullptr);
    }
}

void NameList::Add(ListedName& entry) {
    entry.next_ = g_names;
    g_names = &entry;
    entry.listed_ = true;
}

void NameList::Drop(ListedName& entry) {
    for (ListedName* volatile* link = &g_names; *link != nullptr; link = &(*link)->next_) {
        if (*link == &entry) {
            *link = entry.next_;
            break;
        }
    }
    entry.next_ = nullptr;
    entry.listed_ = false;
}

NameChange::NameChange() {
    BlockInterrupts();
}

NameChange::~NameChange() {
    UnblockInterrupts();
}

InterruptsHeld::InterruptsHeld() {
    BlockInterrupts();
}

InterruptsHeld::~InterruptsHeld() {
    UnblockInterrupts();
}

// 64 random bits: from the kernel, or where it cannot give them, from the
// clock and the process id, which still differ between processes.
std::uint64_t RandomBits() {
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, GRND_NONBLOCK) == static_cast<ssize_t>(sizeof bits)) {
        return bits;
    }
    timespec now {};
    ::clock_gettime(CLOCK_REALTIME, &now);
    static std::uint64_t counter = 0;
    return (static_cast<std::uint64_t>(now.tv_nsec) << 20) ^ static_cast<std::uint64_t>(now.tv_sec) ^
           (static_cast<std::uint64_t>(::getpid()) << 40) ^ ++counter * 0x9E3779B97F4A7C15u;
}

bool SlotsAreFindable() {
    return true;
}

FileResult ReadAccessRules(const char* replaced, AccessRules& rules) {
    struct stat info {};
    if (::stat(replaced, &info) != 0) {
        return FileResult::Failed;
    }
    // The old file's ACL goes to the new one: without it, a file that only
    // some may read would open to its whole group.
    std::uint8_t acl[kLargestAcl];
    const ssize_t aclSize = ::getxattr(replaced, kAccessAcl, acl, sizeof acl);
    if (aclSize < 0 && errno != ENODATA && !NoAcls(errno)) {
        return FileResult::AccessNotKept;
    }
    if (aclSize > 0) {
        rules.acl = new (std::nothrow) std::uint8_t[static_cast<std::size_t>(aclSize)];
        if (rules.acl == nullptr) {
            return FileResult::Failed;
        }
        std::memcpy(rules.acl, acl, static_cast<std::size_t>(aclSize));
        rules.aclSize = static_cast<std::uint32_t>(aclSize);
    }
    rules.kept = true;
    rules.mode = info.st_mode & 07777;
    rules.owner = info.st_uid;
    rules.group = info.st_gid;
    return FileResult::Done;
}

FileResult ApplyAccessRules(HANDLE handle, const AccessRules& rules) {
    const int fd = FdFromHandle(handle);
    // The owner where the system permits (root, or a group of ours), and
    // then the mode: a change of owner clears the set-id bits. Where the old
    // group cannot be kept, its bits must not open the file to ours; nor may
    // an ACL written for that group.
    const bool groupKept =
        ::fchown(fd, rules.owner, rules.group) == 0 || ::fchown(fd, static_cast<uid_t>(-1), rules.group) == 0;
    const auto mode = static_cast<mode_t>(rules.mode);
    if (rules.acl == nullptr) {
        ::fchmod(fd, groupKept ? mode : WithoutWiderGroup(mode));
        return FileResult::Done;
    }
    const bool kept = groupKept && ::fchmod(fd, mode) == 0 &&
                      ::fsetxattr(fd, kAccessAcl, rules.acl, rules.aclSize, 0) == 0;
    return kept ? FileResult::Done : FileResult::AccessNotKept;
}

FileResult ApplyAccessRulesByName(const char*, const char*, const AccessRules&) {
    return FileResult::Done;
}

void ReleaseAccessRules(AccessRules& rules) {
    delete[] rules.acl;
    rules = AccessRules{};
}

StepResult CreateAnonymous(const char* finalName, const AccessRules& rules, HANDLE& handle) {
    char folder[PATH_MAX];
    const std::size_t folderLength = FolderPartLength(finalName);
    if (folderLength >= sizeof folder) {
        return StepResult::Unsupported;
    }
    std::memcpy(folder, folderLength == 0 ? "." : finalName, folderLength == 0 ? 1 : folderLength);
    folder[folderLength == 0 ? 1 : folderLength] = '\0';
    const int fd = ::open(folder, O_TMPFILE | O_WRONLY | O_CLOEXEC, BirthMode(rules));
    if (fd < 0) {
        return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? StepResult::Unsupported
                                                                          : FromErrno(errno);
    }
    // Naming it later goes through /proc; without /proc, use a name now.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
    if (::access(self, F_OK) != 0) {
        ::close(fd);
        return StepResult::Unsupported;
    }
    handle = HandleFromFd(fd);
    return StepResult::Done;
}

StepResult CreateExclusive(const char* name, const AccessRules& rules, bool, HANDLE& handle) {
    const int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, BirthMode(rules));
    if (fd < 0) {
        return FromErrno(errno);
    }
    handle = HandleFromFd(fd);
    return StepResult::Done;
}

bool LockForLife(HANDLE handle, const char* name) {
    const int fd = FdFromHandle(handle);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        // A file system without locks: no other run removes a slot by its
        // lock there either.
        return errno != EWOULDBLOCK;
    }
    return name == nullptr || NameLeadsTo(name, fd);
}

void KeepLock(HANDLE handle, std::intptr_t& held) {
    held = ::fcntl(FdFromHandle(handle), F_DUPFD_CLOEXEC, 0);
}

void DropLock(std::intptr_t& held) {
    if (held >= 0) {
        ::close(static_cast<int>(held));
    }
    held = -1;
}

void RemoveIfDead(const char* slot) {
    const int fd = ::open(slot, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    // Removed only while its lock is taken, and only if the name still
    // leads to the file locked.
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && NameLeadsTo(slot, fd)) {
        ::unlink(slot);
    }
    ::close(fd);
}

StepResult NameAnonymous(HANDLE handle, const char* name) {
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", FdFromHandle(handle));
    return ::linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0 ? StepResult::Done : FromErrno(errno);
}

bool Persist(HANDLE) {
    return true;
}

bool CloseReporting(HANDLE handle) {
    return ::close(FdFromHandle(handle)) == 0 || errno == EINTR;
}

StepResult LinkOrCopy(const char* existing, const char* name) {
    // A file system without hard links (FAT) gets a copy instead.
    if (::link(existing, name) == 0 || (errno != EEXIST && CopyFile(existing, name))) {
        return StepResult::Done;
    }
    return FromErrno(errno);
}

StepResult RenameOver(const char* from, const char* to) {
    // A sticky folder does not let us replace another user's file.
    return ::rename(from, to) == 0 ? StepResult::Done : FromErrno(errno);
}

bool RemoveName(const char* name) {
    return ::unlink(name) == 0 || errno == ENOENT;
}

void FolderLock::Release() {
    if (lock_ >= 0) {
        ::close(static_cast<int>(lock_));  // the lock goes with the descriptor
        lock_ = -1;
    }
}

FolderLock::Result FolderLock::Acquire(const char* pathInFolder, Mode mode, std::uint32_t waitMilliseconds) {
    Release();
    std::size_t folderLength = 0;
    char* folder = NewTemporaryNameBlock(pathInFolder, folderLength);
    if (folder == nullptr) {
        return Result::Busy;
    }
    const int fd = ::open(folderLength == 0 ? "." : folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    const int openError = errno;
    delete[] folder;
    if (fd < 0) {
        return openError == EACCES ? Result::Unreadable : Result::Missing;
    }
    const int operation = (mode == Mode::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
    constexpr std::uint32_t kPollMilliseconds = 10;
    for (std::uint32_t waited = 0;;) {
        if (::flock(fd, operation) == 0) {
            lock_ = fd;
            return Result::Held;
        }
        if (errno == EINTR) {
            continue;
        }
        if (errno != EWOULDBLOCK || waited >= waitMilliseconds) {
            const Result result = errno == EWOULDBLOCK ? Result::Busy : Result::NoLocks;
            ::close(fd);
            return result;
        }
        const timespec pause {0, kPollMilliseconds * 1000000L};
        ::nanosleep(&pause, nullptr);
        waited += kPollMilliseconds;
    }
}
