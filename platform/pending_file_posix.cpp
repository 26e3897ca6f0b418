// Pending files over POSIX: anonymous (O_TMPFILE) where the file system
// allows, else under an exclusive random name; interrupts remove them.
#include "platform/pending_file.h"

#include "platform/posix_handle.h"
#include "platform/temporary_name.h"

#include <algorithm>
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

// The process-wide list of pending files. It is changed only with the
// interrupt signals blocked, so the handler always sees it whole.
struct PendingFileList {
    static PendingFile* volatile head;

    static void Add(PendingFile& file) {
        file.next = head;
        head = &file;
        file.listed_ = true;
    }
    static void Remove(PendingFile& file) {
        for (PendingFile* volatile* link = &head; *link != nullptr; link = &(*link)->next) {
            if (*link == &file) {
                *link = file.next;
                break;
            }
        }
        file.next = nullptr;
        file.listed_ = false;
    }
    // Async-signal-safe: unlink() only.
    static void RemoveEveryName() {
        for (PendingFile* file = head; file != nullptr; file = file->next) {
            const char* name = file->temporaryName_;
            if (name != nullptr && name[0] != '\0') {
                ::unlink(name);
            }
        }
    }
};

PendingFile* volatile PendingFileList::head = nullptr;

namespace {

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// How many random names are tried before a taken name counts as a failure.
constexpr std::size_t kNameAttempts = 16;

void OnInterrupt(int signalNumber) {
    const int savedErrno = errno;
    PendingFileList::RemoveEveryName();
    // Ends the process as the signal would have: it is blocked while this
    // handler runs, and delivered with its default action on return.
    ::signal(signalNumber, SIG_DFL);
    ::raise(signalNumber);
    errno = savedErrno;
}

// Blocks the interrupt signals, saving the mask they were blocked from in
// `previous`.
void BlockInterrupts(sigset_t& previous) {
    sigset_t set;
    ::sigemptyset(&set);
    for (const int signalNumber : kInterrupts) {
        ::sigaddset(&set, signalNumber);
    }
    ::sigprocmask(SIG_BLOCK, &set, &previous);
}

// Blocks the interrupt signals for its lifetime, so that the list and the
// names on it change in one piece as far as the handler can see.
class InterruptsBlocked {
public:
    InterruptsBlocked() { BlockInterrupts(previous_); }
    ~InterruptsBlocked() { ::sigprocmask(SIG_SETMASK, &previous_, nullptr); }
    InterruptsBlocked(const InterruptsBlocked&) = delete;
    InterruptsBlocked& operator=(const InterruptsBlocked&) = delete;

private:
    sigset_t previous_;
};

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

bool FolderRefuses(int error) {
    return error == EACCES || error == EPERM || error == EROFS;
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
    const int error = errno;
    copied = ::close(out) == 0 && copied;
    ::close(in);
    if (!copied) {
        ::unlink(to);
        errno = error;
    }
    return copied;
}

// The interrupt mask before the outermost InterruptsHeld, and how deep the
// holds are nested; touched by the main thread only.
sigset_t g_maskBeforeHold;
int g_holdDepth = 0;

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

PendingFile::PendingFile() = default;

PendingFile::~PendingFile() {
    Discard();
}

namespace {

// Removes `slot` if a dead run left it: its writer's lock can be taken, and
// the name still leads to the file locked.
void RemoveIfDead(const char* slot) {
    const int fd = ::open(slot, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    struct stat locked {};
    struct stat named {};
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0 && ::fstat(fd, &locked) == 0 && ::lstat(slot, &named) == 0 &&
        locked.st_dev == named.st_dev && locked.st_ino == named.st_ino) {
        ::unlink(slot);
    }
    ::close(fd);
}

}  // namespace

PendingFile::Result PendingFile::CreateFindable(const char* finalName, const char* replaced) {
    findable_ = true;
    const Result result = Create(finalName, replaced);
    findable_ = result == Result::Done;
    return result;
}

PendingFile::Result PendingFile::Create(const char* finalName, const char* replaced, const char* stagedName) {
    const bool findable = findable_;
    std::size_t folderLength = 0;
    char* name = StartAnew(finalName, stagedName, folderLength);
    if (name == nullptr) {
        return Result::Failed;
    }
    findable_ = findable;
    if (findable_) {
        // Room for a slot name; the slots dead runs left go now.
        delete[] name;
        const std::size_t size = std::max(SlotNameSize(finalName), TemporaryNameSize(folderLength));
        name = new (std::nothrow) char[size];
        if (name == nullptr) {
            return Result::Failed;
        }
        for (std::size_t slot = 0; slot < kSlots; ++slot) {
            WriteSlotName(name, finalName, slot);
            RemoveIfDead(name);
        }
        std::memcpy(name, finalName, folderLength);
        name[folderLength] = '\0';
    }
    if (replaced != nullptr) {
        struct stat info {};
        std::uint8_t acl[kLargestAcl];
        const ssize_t aclSize = ::stat(replaced, &info) == 0 ? ::getxattr(replaced, kAccessAcl, acl, sizeof acl) : -2;
        // The old file's ACL goes to the new one: without it, a file that
        // only some may read would open to its whole group.
        if (aclSize == -2 || (aclSize < 0 && errno != ENODATA && !NoAcls(errno))) {
            delete[] name;
            return aclSize == -2 ? Result::Failed : Result::AccessNotKept;
        }
        if (aclSize > 0) {
            replacedAcl_ = new (std::nothrow) std::uint8_t[static_cast<std::size_t>(aclSize)];
            if (replacedAcl_ == nullptr) {
                delete[] name;
                return Result::Failed;
            }
            std::memcpy(replacedAcl_, acl, static_cast<std::size_t>(aclSize));
            replacedAclSize_ = static_cast<std::uint32_t>(aclSize);
        }
        replacing_ = true;
        replacedMode_ = info.st_mode & 07777;
        replacedOwner_ = info.st_uid;
        replacedGroup_ = info.st_gid;
    }
    // Never wider than the file replaced, whatever group the new file is
    // born with (and with an ACL, no wider than its owner alone); a new file
    // gets the default that the umask leaves of rw-rw-rw-.
    const mode_t mode = !replacing_                ? 0666
                        : replacedAcl_ != nullptr ? static_cast<mode_t>(replacedMode_ & 0700)
                                                   : WithoutWiderGroup(static_cast<mode_t>(replacedMode_ & 0777));

    // The folder itself, for O_TMPFILE.
    int fd = ::open(folderLength == 0 ? "." : name, O_TMPFILE | O_WRONLY | O_CLOEXEC, mode);
    if (fd >= 0) {
        // Naming it later goes through /proc; without /proc, use a name now.
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        if (::access(self, F_OK) != 0) {
            ::close(fd);
            fd = -1;
            errno = EOPNOTSUPP;
        }
    }
    if (fd < 0 && FolderRefuses(errno)) {
        delete[] name;
        return Result::FolderRefuses;
    }
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        delete[] name;
        return Result::Failed;
    }

    InterruptsBlocked blocked;
    name[0] = '\0';  // no name yet: nothing for the handler to remove
    temporaryName_ = name;
    PendingFileList::Add(*this);
    if (fd >= 0) {
        // Locked before it has any name, for as long as this process lives.
        if (findable_) {
            ::flock(fd, LOCK_EX | LOCK_NB);
        }
        handle_ = HandleFromFd(fd);
        return Result::Done;
    }
    // No anonymous file here: an exclusive name that no link can stand in
    // for; a findable one locked at once.
    for (std::size_t attempt = 0; attempt < kNameAttempts + (findable_ ? kSlots : 0); ++attempt) {
        if (findable_ && attempt < kSlots) {
            WriteSlotName(name, finalName, attempt);
        } else {
            std::memcpy(name, finalName, folderLength);
            WriteNameOrRandom(name, folderLength, stagedName, stagedName != nullptr ? 0 : RandomBits());
        }
        fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            if (findable_) {
                ::flock(fd, LOCK_EX | LOCK_NB);
            }
            handle_ = HandleFromFd(fd);
            return Result::Done;
        }
        if (findable_ && attempt < kSlots && errno == EEXIST) {
            continue;
        }
        if (errno != EEXIST || !MayTryAgain(name, attempt)) {
            break;
        }
    }
    const Result result = FolderRefuses(errno) ? Result::FolderRefuses : Result::Failed;
    name[0] = '\0';
    Discard();
    return result;
}

PendingFile::Result PendingFile::CreateNamed(const char* name) {
    std::size_t folderLength = 0;
    char* block = StartAnew(name, name, folderLength);
    if (block == nullptr) {
        return Result::Failed;
    }
    {
        InterruptsBlocked blocked;
        block[0] = '\0';
        temporaryName_ = block;
        PendingFileList::Add(*this);
    }
    for (std::size_t attempt = 0; attempt < kNameAttempts; ++attempt) {
        const int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            InterruptsBlocked blocked;
            std::memcpy(block, name, std::strlen(name) + 1);
            handle_ = HandleFromFd(fd);
            return Result::Done;
        }
        if (errno != EEXIST || !MayTryAgain(name, attempt)) {
            break;
        }
    }
    const Result result = FolderRefuses(errno) ? Result::FolderRefuses : Result::Failed;
    Discard();
    return result;
}

PendingFile::Result PendingFile::Stage(const char* finalName) {
    const int fd = FdFromHandle(handle_);
    char* name = temporaryName_;
    if (fd < 0 && name != nullptr && name[0] != '\0') {
        return Result::Done;  // staged already
    }
    if (fd < 0 || name == nullptr) {
        return Result::Failed;
    }
    // A replacement's bytes reach the disk before it can take the old
    // file's name: a rename persisted before the data would leave an empty
    // file where the old one was.
    if (replacing_ && ::fdatasync(fd) != 0) {
        Discard();
        return Result::Failed;
    }
    if (replacing_) {
        // The owner where the system permits (root, or a group of ours), and
        // then the mode: a change of owner clears the set-id bits. Where the
        // old group cannot be kept, its bits must not open the file to ours;
        // nor may an ACL written for that group.
        bool groupKept = ::fchown(fd, replacedOwner_, replacedGroup_) == 0 ||
                         ::fchown(fd, static_cast<uid_t>(-1), replacedGroup_) == 0;
        const auto mode = static_cast<mode_t>(replacedMode_);
        if (replacedAcl_ == nullptr) {
            ::fchmod(fd, groupKept ? mode : WithoutWiderGroup(mode));
        } else if (!groupKept || ::fchmod(fd, mode) != 0 ||
                   ::fsetxattr(fd, kAccessAcl, replacedAcl_, replacedAclSize_, 0) != 0) {
            Discard();
            return Result::AccessNotKept;
        }
    }

    const std::size_t folderLength = FolderPartLength(finalName);
    if (name[0] == '\0') {
        // Anonymous so far: give it its temporary name beside the final one.
        char self[64];
        std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
        bool linked = false;
        const std::size_t slots = findable_ ? kSlots : 0;
        for (std::size_t attempt = 0; attempt < kNameAttempts + slots && !linked; ++attempt) {
            {
                InterruptsBlocked blocked;
                if (attempt < slots) {
                    WriteSlotName(name, finalName, attempt);
                } else {
                    std::memcpy(name, finalName, folderLength);
                    WriteNameOrRandom(name, folderLength, fixedName_, fixedName_ != nullptr ? 0 : RandomBits());
                }
            }
            linked = ::linkat(AT_FDCWD, self, AT_FDCWD, name, AT_SYMLINK_FOLLOW) == 0;
            if (!linked && attempt < slots && errno == EEXIST) {
                continue;
            }
            if (!linked && (errno != EEXIST || !MayTryAgain(name, attempt))) {
                break;
            }
        }
        if (!linked) {
            const Result result = FolderRefuses(errno) ? Result::FolderRefuses : Result::Failed;
            name[0] = '\0';
            Discard();
            return result;
        }
    }

    // A close can report a write that failed late (on a network file system).
    if (findable_) {
        heldLock_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    }
    handle_ = INVALID_HANDLE_VALUE;
    if (::close(fd) != 0 && errno != EINTR) {
        Discard();
        return Result::Failed;
    }
    return Result::Done;
}

PendingFile::Result PendingFile::Rename(const char* finalName) {
    char* name = temporaryName_;
    if (name == nullptr || name[0] == '\0' || ::rename(name, finalName) != 0) {
        // A sticky folder does not let us replace another user's file.
        return FolderRefuses(errno) ? Result::FolderRefuses : Result::Failed;
    }
    {
        InterruptsBlocked blocked;
        name[0] = '\0';
    }
    Discard();
    return Result::Done;
}

PendingFile::Result PendingFile::KeepBackupOf(const char* existing, const char* keptName) {
    std::size_t folderLength = 0;
    char* name = StartAnew(existing, keptName, folderLength);
    if (name == nullptr) {
        return Result::Failed;
    }
    {
        InterruptsBlocked blocked;
        name[0] = '\0';
        temporaryName_ = name;
        PendingFileList::Add(*this);
    }
    for (std::size_t attempt = 0; attempt < kNameAttempts; ++attempt) {
        {
            InterruptsBlocked blocked;
            std::memcpy(name, existing, folderLength);
            WriteNameOrRandom(name, folderLength, keptName, keptName != nullptr ? 0 : RandomBits());
        }
        // A second name for the file: no data is copied, and nothing can run
        // out of room later when it is given back. A file system without
        // hard links (FAT) gets a copy instead.
        if (::link(existing, name) == 0 || (errno != EEXIST && CopyFile(existing, name))) {
            return Result::Done;
        }
        if (errno != EEXIST || !MayTryAgain(name, attempt)) {
            break;
        }
    }
    {
        InterruptsBlocked blocked;
        name[0] = '\0';
    }
    Discard();
    return Result::Failed;
}

void PendingFile::Discard() {
    Remove();
}

bool PendingFile::Remove() {
    const int fd = FdFromHandle(handle_);
    if (fd >= 0) {
        CloseKeepingErrno(fd);
    }
    handle_ = INVALID_HANDLE_VALUE;
    char* name = temporaryName_;
    const bool removed = name == nullptr || name[0] == '\0' || ::unlink(name) == 0 || errno == ENOENT;
    if (heldLock_ >= 0) {
        ::close(heldLock_);
        heldLock_ = -1;
    }
    if (listed_ || name != nullptr) {
        InterruptsBlocked blocked;
        if (listed_) {
            PendingFileList::Remove(*this);
        }
        temporaryName_ = nullptr;
    }
    delete[] name;
    delete[] replacedAcl_;
    replacedAcl_ = nullptr;
    replacedAclSize_ = 0;
    fixedName_ = nullptr;
    findable_ = false;
    return removed;
}

void PendingFile::Leave() {
    char* name = temporaryName_;
    if (name != nullptr) {
        InterruptsBlocked blocked;
        name[0] = '\0';
    }
    Discard();
}

InterruptsHeld::InterruptsHeld() {
    if (g_holdDepth++ == 0) {
        BlockInterrupts(g_maskBeforeHold);
    }
}

InterruptsHeld::~InterruptsHeld() {
    if (--g_holdDepth == 0) {
        ::sigprocmask(SIG_SETMASK, &g_maskBeforeHold, nullptr);
    }
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
