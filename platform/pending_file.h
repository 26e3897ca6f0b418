// Files written in full before they take their final names, and old files
// kept under a second name until a change of names is done: how an output,
// or a set of chunks, is replaced without ever leaving half of one.
//
// What a user may rely on:
//  - From the moment a staged or kept file has a name until it is
//    committed, put back, removed or left, that name is on a process-wide
//    list. An interrupt (SIGINT, SIGTERM, SIGHUP, SIGQUIT; on Windows
//    Ctrl-C, Ctrl-Break and closing the console) removes every name on the
//    list, then ends the process as the interrupt would have, unless
//    interrupts are held (InterruptsHeld), when it waits for the hold to
//    end. PrepareForFileWrites installs that.
//  - Where the system allows, a staged file has no name until it is staged
//    (Linux: O_TMPFILE; Windows: marked for deletion while it is written),
//    so that a process killed outright or crashing leaves nothing behind.
//  - A name is only ever created new (never opened through a link or over
//    another file). A fixed name given by the caller is taken to be a dead
//    run's when it is already there, and replaced: give one only under a
//    lock that rules out a live owner. Random names do not repeat across
//    processes; findable ones (slots beside the final name) are locked by
//    their writer, so that a slot whose lock can be taken is a dead run's.
//  - A staged file's permission bits are never wider than those of the file
//    it replaces, or a new file's default, from the moment it exists. When
//    staged it takes the replaced file's mode, POSIX access ACL and, where
//    the system permits, owner and group (POSIX), or its hidden and system
//    attributes, DACL and, where permitted, owner (Windows). When the old
//    group cannot be kept, the group bits are cut to what the other bits
//    allow, so that nobody gains access by the change of group; an ACL or
//    DACL that cannot be kept refuses the file.
//  - A staged file staged with a flush is on the disk before it has its
//    name: a replacement's name never holds less than a whole file, even
//    after a power loss. A kept file that is a copy is on the disk before
//    Keep returns.
//
// The steps that differ between the systems are the platform's primitives
// (platform/file_primitives.h); the order of one file's steps is written
// once, in pending_file.cpp. A set of files changed together is committed
// over these by app/output_file.cpp, under the lock of
// platform/folder_lock.h.
#pragma once

#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

// Makes a failed or oversized write come back as an error rather than a
// signal that ends the process half-way through a file, and has interrupts
// remove listed names first. Call once, before any file is written.
void PrepareForFileWrites();

enum class FileResult {
    Done,
    FolderRefuses,  // the folder does not let this process add or replace
                    // the name, although the file itself may be writable
    InUse,          // Windows: another program holds the file to be
                    // replaced, still after a short wait
    AccessNotKept,  // the replaced file's access rules (a POSIX ACL, a
                    // Windows DACL) cannot be given to the new file:
                    // replacing it would let others in
    Failed,         // anything else: no room, no memory, a name taken
};

// What a replaced file lets whom do, taken when its replacement is created:
// POSIX mode bits, owner, group and access ACL (a heap block, or null for
// none); Windows file attributes in `mode`.
struct AccessRules {
    bool kept = false;  // there is a replaced file whose rules these are
    std::uint32_t mode = 0;
    std::uint32_t owner = 0;
    std::uint32_t group = 0;
    std::uint8_t* acl = nullptr;
    std::uint32_t aclSize = 0;
};

// A name on the process-wide list of names an interrupt removes; the name
// is a heap block, empty while there is nothing to remove.
class ListedName {
public:
    ListedName() = default;
    ~ListedName() { Remove(); }
    ListedName(const ListedName&) = delete;
    ListedName& operator=(const ListedName&) = delete;

    // Removes the name, if any, and takes it off the list; false when it
    // could not be removed (it is then left on disk, as Leave does).
    bool Remove();

    // Takes the name off the list without removing it from the disk: a
    // file that must outlive the process (a backup whose old file could not
    // be put back), for a later run or a person to find.
    void Leave();

protected:
    // The name (heap), or null while none is listed; the handler removes
    // whatever this holds.
    char* Name() const { return name_; }

    // Lists a new heap block of `size` bytes, its name still empty; null
    // when memory runs out.
    char* Start(std::size_t size);
    // Writes the name `attempt` of a fixed name, a slot or a random name
    // beside `finalName` into the listed block, as the handler sees it.
    void Write(const char* finalName, const char* fixedName, bool slotted, std::size_t attempt);
    // Empties the name: it no longer names anything to remove.
    void Forget();
    // Whether another name may be tried after `attempt` found the name
    // taken: a random one always, a slot while slots are left, the fixed
    // one once, after the dead run's file there is removed.
    bool MayTryAgain(const char* fixedName, bool slotted, std::size_t attempt);

private:
    friend struct NameList;
    ListedName* next_ = nullptr;
    char* volatile name_ = nullptr;
    bool listed_ = false;
};

// A new file written in full before it takes its final name.
class StagedFile : public ListedName {
public:
    StagedFile() = default;
    ~StagedFile() { Discard(); }

    // Creates an empty file in the folder of `finalName`, open for writing.
    // `replaced` names the existing file it is to replace, whose access
    // rules it will take, or is null for a new file. `stagedName` is the
    // name it is to have (see above), or null for a random one.
    FileResult Create(const char* finalName, const char* replaced, const char* stagedName = nullptr);

    // Create under a name the next run writing `finalName` finds: one of a
    // few slots beside it, each locked by its writer while in use; the
    // slots dead runs left go first. On Windows, where an unfinished file
    // goes with its writer, as Create.
    FileResult CreateFindable(const char* finalName, const char* replaced);

    // Creates `name` itself, new, open for writing and named from the
    // start: a file that must be seen at once (a journal).
    FileResult CreateNamed(const char* name);

    // The handle to write through; valid between Create and Stage.
    HANDLE Handle() const { return handle_; }

    // With `flush`, puts the file's bytes on the disk; gives it the replaced
    // file's access rules and, if it has none, its name beside `finalName`,
    // and closes it: everything that can fail before the final rename. On
    // failure the file is discarded.
    FileResult Stage(const char* finalName, bool flush);

    // Stages the file if that is not done, then gives it `finalName`,
    // replacing what is there in one step, with interrupts held off. On any
    // failure the file is removed and `finalName` is as it was.
    FileResult Commit(const char* finalName, bool flush);

    // Closes and removes the file; harmless when there is none.
    void Discard();

private:
    FileResult Create(const char* finalName, const char* replaced, const char* stagedName, bool findable);

    HANDLE handle_ = INVALID_HANDLE_VALUE;
    const char* fixedName_ = nullptr;  // the caller's, or null
    bool findable_ = false;
    bool anonymous_ = false;  // no name yet: one is given when staged
    bool vanishing_ = false;  // Windows: marked for deletion while written
    std::intptr_t heldLock_ = -1;  // POSIX: keeps a findable file's lock past its close
    AccessRules access_;
};

// An existing file kept under a second name (a hard link, or where the file
// system has none, a copy), so that it can be put back.
class KeptFile : public ListedName {
public:
    // Keeps the regular file `existing` as `keptName`, or a random name
    // beside it when that is null. A set's rollback gives it its name back
    // by that name.
    FileResult Keep(const char* existing, const char* keptName = nullptr);
};

// Holds interrupts off while several names change together: on POSIX the
// interrupt signals are blocked and delivered when the last hold ends; on
// Windows the console handler waits for it. Holds nest. The process ends as
// the interrupt asks once the hold is over, removing what is listed.
class InterruptsHeld {
public:
    InterruptsHeld();
    ~InterruptsHeld();
    InterruptsHeld(const InterruptsHeld&) = delete;
    InterruptsHeld& operator=(const InterruptsHeld&) = delete;
};
