// The journal of a chunk set's commit, and the recovery that a later run
// makes of what a dead one left.
//
// Before the first name of a set changes, the commit writes and flushes a
// journal beside the set's first chunk: for every file it replaces, the
// staged new file, the final name and the backup of the old file; for every
// name it removes, that name and its backup. The staged files and backups
// are complete before it is written, so afterwards a rename is done exactly
// when its staged file is gone, and a removal exactly when its name is.
// Every name a commit makes derives from a final name (".<name>.texweld-new",
// ".<name>.texweld-old", ".<base>.texweld-journal": hidden, and never of
// the form <base>.<digits>), so the next run finds them without a listing.
//
// Recovery runs under the set's exclusive lock. With a journal it goes
// forward when every rename and removal is done (only the backups and the
// journal go), and back otherwise (each changed name gets its backup again,
// a new file goes); then the staged files, the backups and the journal are
// removed. Without a journal, staged files and backups a run left beside
// the chunks are simply removed: no name had changed.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// One change the commit makes: `staged` renamed to `name`, whose old file
// (if any) is kept as `backup`; or, with `staged` null, `name` removed and
// kept as `backup`. Every name is absolute; `backup` is null for none.
struct JournalEntry {
    const char* staged;
    const char* name;
    const char* backup;
};

// The names a commit makes beside `path` (a final name): its staged new
// file and the backup of its old one. New heap blocks (delete[]), or null
// when memory runs out.
char* StagedNameFor(const char* path);
char* BackupNameFor(const char* path);

// The journal of the set whose chunks are `base`.<k>; a new heap block
// (delete[]), or null when memory runs out.
char* JournalNameFor(const char* base);

// Writes the journal of `entries` from the start of the open journal file
// `handle` (named `journal`), and with `flush` puts it and its folder's
// names on the disk (needless where the set replaces no file: a power loss
// then has nothing old to lose). The file is created, empty, before the
// commit stages anything: a journal without its end tells the next run
// that staged files and backups may lie about, and that no name changed.
bool WriteJournal(HANDLE handle, const char* journal, const JournalEntry* entries, std::uint32_t count, bool flush);

enum class Recovery {
    Clean,      // nothing was left
    Recovered,  // what a dead run left is finished or undone, and gone
    Failed,     // it could not be: the journal stays for a later run
};

// Finishes or undoes what a dead commit left for the set `base`, then
// removes the staged files and backups it may have left beside <base>.0 to
// <base>.<kMostLevels>, and its journal. Where it fails, `firstChunk` gets
// the number of the first chunk the journal names (-1 for none).
Recovery RecoverSet(const char* base, std::int32_t& firstChunk);

enum class JournalState { None, Present, Unknown };

// Whether the set `base` has a journal, a commit that did not finish;
// Unknown when that cannot be told (no memory, an unreadable name).
JournalState FindJournal(const char* base);
