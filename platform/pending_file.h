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
//  - Several files may be pending at once.
#pragma once

#include "platform/win32.h"

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
        Failed,         // anything else: no room, no memory, a name taken
    };

    PendingFile();
    ~PendingFile();  // discards a file that was not committed

    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    // Creates an empty pending file in the folder of `finalName`, open for
    // writing. `replaced` names the existing file it is to replace, whose
    // mode and owner it will take, or is null for a new file.
    Result Create(const char* finalName, const char* replaced);

    // The handle to write through; valid between Create and Commit.
    HANDLE Handle() const { return handle_; }

    // Closes the file and gives it `finalName`, replacing what is there in
    // one step. On any failure the pending file is removed and `finalName`
    // is as it was.
    Result Commit(const char* finalName);

    // Closes and removes the file; harmless when there is none.
    void Discard();

    // The next file on the process-wide list; for the interrupt handler.
    PendingFile* next = nullptr;

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    // The file's temporary name (heap, through AllocHooks), or null while it
    // has none: the interrupt handler removes whatever this names.
    char* volatile temporaryName_ = nullptr;
    bool listed_ = false;
    // Windows: the file is marked for deletion while it is written, so that
    // it goes with the process unless committed.
    [[maybe_unused]] bool vanishesOnClose_ = false;
    // What the replaced file had, taken when the pending file is created:
    // POSIX mode bits, owner and group; Windows file attributes in `mode`.
    bool replacing_ = false;
    std::uint32_t replacedMode_ = 0;
    std::uint32_t replacedOwner_ = 0;
    std::uint32_t replacedGroup_ = 0;

    friend struct PendingFileList;
};
