// The lock of a folder of chunk sets, across processes: one writer at a
// time, and no reader while one writes. Each platform's pending_file file
// supplies it.
#pragma once

#include <cstdint>

// One writer of chunk sets per folder at a time, across processes: held
// from Acquire until Release or destruction, and released by the system if
// the process dies. POSIX: an advisory lock on the folder itself (nothing
// is created); Windows: the file .texweld-lock in the folder, held open
// sharing nothing and deleted as its handle closes, which every run meets
// whatever its session or elevation. Readers take no lock but to roll back
// a dead writer's set.
class FolderLock {
public:
    enum class Mode { Shared, Exclusive };
    enum class Result {
        Held,
        Busy,        // another holder kept it all the wait
        Unreadable,  // the folder may not be opened to lock it (write-only)
        NoLocks,     // the file system, or the system, has no such locks
        Missing,     // no such folder
    };

    FolderLock() = default;
    ~FolderLock() { Release(); }
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;

    // Waits up to `waitMilliseconds` for the lock of the folder that holds
    // `pathInFolder`, in `mode` (Windows: always exclusive; a second lock
    // of one folder in one process is refused there too).
    Result Acquire(const char* pathInFolder, Mode mode, std::uint32_t waitMilliseconds);

    // Lets the lock go; harmless when none is held.
    void Release();

private:
    std::intptr_t lock_ = -1;  // POSIX: the folder's descriptor; Windows: the lock file's handle
};
