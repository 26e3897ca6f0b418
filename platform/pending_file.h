// A file written in full before it takes its final name: how an output is
// replaced without ever leaving half of one, or a stray file beside it.
//
// What a user may rely on:
//  - From the moment a pending file exists until it is committed or
//    discarded, it is on a process-wide list. An interrupt (SIGINT, SIGTERM,
//    SIGHUP, SIGQUIT; on Windows Ctrl-C, Ctrl-Break and closing the console)
//    removes every file on that list, then ends the process as the interrupt
//    would have. PrepareForFileWrites installs that.
//  - Where the system allows, the file has no name until it is committed
//    (Linux: O_TMPFILE; Windows: marked for deletion while it is written), so
//    that a process killed outright or crashing leaves nothing behind either.
//  - A temporary name is only ever created new (never opened through a link
//    or over another file) and does not repeat across processes, even ones
//    that share a process id.
//  - Its permission bits are never wider than those of the file it replaces,
//    or a new file's default, from the moment it exists. On commit it takes
//    the replaced file's mode and, where the system permits, its owner and
//    group (POSIX), or its hidden and system attributes (Windows).
//    When the old group cannot be kept, the group bits are cut to what the
//    other bits allow, so that nobody gains access by the change of group.
//  - Several files may be pending at once. A set of them replaces its
//    targets together: each is staged (complete, with its temporary name),
//    each existing target is kept under a backup name, then the renames run
//    with interrupts held off; a failure among them puts the backups back.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

// Makes a failed or oversized write come back as an error rather than a
// signal that ends the process half-way through a file, and has interrupts
// remove pending files first. Call once, before any file is written.
void PrepareForFileWrites();

class PendingFile {
public:
    enum class Result {
        Done,           // created, or committed
        FolderRefuses,  // the folder does not let this process add or replace
                        // the name, although the file itself may be writable
        InUse,          // Windows: another program holds the file to be
                        // replaced, still after a short wait
        AccessNotKept,  // the replaced file's access rules (a POSIX ACL)
                        // cannot be given to the new file: replacing it
                        // would let others in
        Failed,         // anything else: no room, no memory, a name taken
    };

    PendingFile();
    ~PendingFile();  // discards a file that was not committed

    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Creates an empty pending file in the folder of `finalName`, open for
    // writing. `replaced` names the existing file it is to replace, whose
    // mode, owner and access rules it will take, or is null for a new file.
    // `stagedName` is the temporary name it is to have, or null for a
    // random one; a file already there is taken for a dead run's and
    // replaced, so give one only under a lock that rules out a live owner.
    Result Create(const char* finalName, const char* replaced, const char* stagedName = nullptr);

    // Create for a new file under a name that the next run writing
    // `finalName` finds: one of a few slots beside it, each locked by its
    // writer while in use, so that a slot whose lock can be taken is a dead
    // run's, and is removed (the slots of dead runs go first). POSIX only;
    // on Windows, where an unfinished file goes with its writer, as Create.
    Result CreateFindable(const char* finalName, const char* replaced);

    // Creates `name` itself, new and open for writing, never anonymous: a
    // file that must be seen at once (a journal) yet goes with an
    // interrupt like any pending file, until Remove or Leave. A file
    // already there is taken for a dead run's and replaced.
    Result CreateNamed(const char* name);

    // The handle to write through; valid between Create and Commit.
    HANDLE Handle() const { return handle_; }

    // Closes the file, gives it the replaced file's owner, mode and access
    // rules and, if it has none, its temporary name beside `finalName`:
    // everything that can fail before the final rename. A file that
    // replaces another is flushed to the disk first, so that the name never
    // holds less than a whole file, even after a power loss. On failure the
    // file is discarded.
    Result Stage(const char* finalName);

    // Stages the file if that is not done, then gives it `finalName`,
    // replacing what is there in one step; interrupts are held off from the
    // moment it has a temporary name until it has its final one. On any
    // failure the pending file is removed and `finalName` is as it was.
    Result Commit(const char* finalName);

    // Keeps the existing regular file `existing` under `keptName`, or a new
    // random name beside it when that is null (a second name for the same
    // file, or where the file system has none, a copy), so that PutBack can
    // restore it. Discard then removes that name alone. A file already at
    // `keptName` is taken for a dead run's and replaced.
    Result KeepBackupOf(const char* existing, const char* keptName = nullptr);

    // Gives the kept file its name `existing` back, replacing what is there.
    // On failure the kept file stays as it is, for Leave or Discard.
    Result PutBack(const char* existing);

    // Lets go of the file without removing it: a backup that could not be
    // put back stays on disk under its temporary name, for a person to find.
    void Leave();

    // Closes and removes the file, or a kept file's second name; harmless
    // when there is none.
    void Discard();

    // Discard, saying whether the name is gone; one that cannot be removed
    // is left on disk, as Leave does.
    bool Remove();

    // The next file on the process-wide list; for the interrupt handler.
    PendingFile* next = nullptr;

private:
    // Renames the file from its temporary name to `finalName` in one step,
    // replacing what is there; on failure it keeps its temporary name.
    Result Rename(const char* finalName);
    // Discards what the object holds and returns a new name block holding
    // the folder part of `beside`, with room for `fixedName` (see
    // platform/temporary_name.h), or null.
    char* StartAnew(const char* beside, const char* fixedName, std::size_t& folderLength);
    // Whether a name taken at `attempt` may be tried again: a random one
    // always (another is drawn), the fixed one once, after the dead run's
    // file there is removed.
    bool MayTryAgain(const char* name, std::size_t attempt);

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    // The temporary name asked for (the caller's string), or null for a
    // random one; or a slot beside the final name.
    const char* fixedName_ = nullptr;
    bool findable_ = false;
    // POSIX: a second descriptor of a findable file, keeping its lock from
    // the close of the first until the file has its final name.
    [[maybe_unused]] int heldLock_ = -1;
    // The file's temporary name (heap, through AllocHooks), or null while it
    // has none: the interrupt handler removes whatever this names.
    char* volatile temporaryName_ = nullptr;
    bool listed_ = false;
    // Windows: the file is marked for deletion while it is written, so that
    // it goes with the process unless committed.
    [[maybe_unused]] bool vanishesOnClose_ = false;
    // What the replaced file had, taken when the pending file is created:
    // POSIX mode bits, owner, group and access ACL (heap, or null for
    // none); on Windows only `replacing_` is used.
    bool replacing_ = false;
    [[maybe_unused]] std::uint8_t* replacedAcl_ = nullptr;
    [[maybe_unused]] std::uint32_t replacedAclSize_ = 0;
    std::uint32_t replacedMode_ = 0;
    std::uint32_t replacedOwner_ = 0;
    std::uint32_t replacedGroup_ = 0;

    friend struct PendingFileList;
};

// Holds interrupts off while several names change together: on POSIX the
// interrupt signals are blocked and delivered when the last hold ends; on
// Windows the console handler waits for it. Holds nest. The process ends as
// the interrupt asks once the hold is over, removing what is pending.
class InterruptsHeld {
public:
    InterruptsHeld();
    ~InterruptsHeld();
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};

// One writer of chunk sets per folder at a time, across processes, and no
// reader while one writes: held from Acquire until Release or destruction,
// and released by the system if the process dies. POSIX: an advisory lock
// on the folder itself, shared among readers; Windows: a named mutex for
// the folder's full path, taken by readers too. Nothing is created on disk.
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
    // `pathInFolder`, in `mode` (Windows: always exclusive).
    Result Acquire(const char* pathInFolder, Mode mode, std::uint32_t waitMilliseconds);

    // Lets the lock go; harmless when none is held.
    void Release();

private:
    std::intptr_t lock_ = -1;  // POSIX: the folder's descriptor; Windows: the mutex
};
