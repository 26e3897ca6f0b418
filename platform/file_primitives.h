// The steps of replacing files that differ between the systems, beneath the
// staged and kept files of platform/pending_file.h; for platform/ only.
// Each platform's pending_file file supplies them.
#pragma once

#include "platform/folder_lock.h"
#include "platform/pending_file.h"
#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

// The process-wide list of names an interrupt removes.
struct NameList {
    // Adds `entry`, whose name is empty; and takes it off again.
    static void Add(ListedName& entry);
    static void Drop(ListedName& entry);
    // Its name field and the next entry, for the handler.
    static char* volatile& NameOf(ListedName& entry) { return entry.name_; }
    static ListedName* Next(ListedName& entry) { return entry.next_; }
};

// Held while a listed name changes, so that the interrupt handler never
// sees half of one: POSIX blocks the interrupt signals, Windows holds the
// list's lock. Nests; the main thread's only.
class NameChange {
public:
    NameChange();
    ~NameChange();
    NameChange(const NameChange&) = delete;
    NameChange& operator=(const NameChange&) = delete;
};

// 64 random bits, different across processes.
std::uint64_t RandomBits();

// What a step of the file system gave.
enum class StepResult {
    Done,
    Taken,          // the name is there already
    FolderRefuses,  // the folder does not let this process add or replace it
    InUse,          // Windows: another program holds the file
    Unsupported,    // the system has no such step (an anonymous file)
    Failed,
};

// Whether findable names (slots locked by their writers) are used here.
bool SlotsAreFindable();

// Reads the access rules of `replaced` into `rules` (rules.kept set).
FileResult ReadAccessRules(const char* replaced, AccessRules& rules);

// Opens a file in the folder of `finalName` that has no name (Failed where
// the system has none), with permission bits no wider than `rules` allow.
StepResult CreateAnonymous(const char* finalName, const AccessRules& rules, HANDLE& handle);

// Creates `name` new, never through a link; with `vanishing`, marked so
// that the system deletes it if the process dies before Persist (Windows).
StepResult CreateExclusive(const char* name, const AccessRules& rules, bool vanishing, HANDLE& handle);

// Locks an open file for as long as it or a copy of its handle is open
// (POSIX flock; nothing on Windows); with `name`, false unless the name
// still leads to the file locked. False when another process holds the
// lock. KeepLock copies the handle to keep the lock past the handle's
// close, into `held`.
bool LockForLife(HANDLE handle, const char* name);
void KeepLock(HANDLE handle, std::intptr_t& held);
void DropLock(std::intptr_t& held);

// Removes `slot` if a dead run left it (its lock can be taken).
void RemoveIfDead(const char* slot);

// Gives an anonymous open file the name `name` (Taken when it exists).
StepResult NameAnonymous(HANDLE handle, const char* name);

// Makes a file created vanishing stay when its handle closes.
bool Persist(HANDLE handle);

// Gives the open file the replaced file's rules, before it has its name
// (POSIX); and after it is closed, by its names (Windows).
FileResult ApplyAccessRules(HANDLE handle, const AccessRules& rules);
FileResult ApplyAccessRulesByName(const char* name, const char* finalName, const AccessRules& rules);
void ReleaseAccessRules(AccessRules& rules);

// Closes `handle`; false when the close reported a failed write.
bool CloseReporting(HANDLE handle);

// A second name `name` for the regular file `existing`: a hard link, or a
// copy where the file system has none.
StepResult LinkOrCopy(const char* existing, const char* name);

// Renames `from` to `to`, replacing what is there in one step; on Windows
// waiting a little for a target another program holds.
StepResult RenameOver(const char* from, const char* to);

// Removes `name`; true when it is gone or was never there.
bool RemoveName(const char* name);
