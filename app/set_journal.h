// The journal of a chunk set's commit, and the recovery a later run makes of
// what a dead one left.
//
// Invariants:
//  - A journal names no path. It holds the base's own file name and, for
//    each chunk number, what the commit does to <base>.<k> (replaces it,
//    creates it, removes it), under a checksum. Every name recovery touches is derived from the
//    base it was asked about: the chunk <base>.<k> in the journal's own
//    folder and, beside the file a write to that chunk lands on (the chunk,
//    or a link's target, found afresh), its staged file
//    .<name>.texweld-new and its backup .<name>.texweld-old. A copied or
//    moved folder recovers itself alone.
//  - While a journal exists, every backup it needs exists: backups are made
//    (a copy, where there are no hard links, flushed) before the journal is
//    written, and removed only once the done marker is on the disk.
//  - A journal means roll back. The commit's point of no return is the
//    journal's rename to its done marker, .<base's file name>.texweld-done,
//    made once every new file, every rename and the folder are on the disk
//    (where anything old was replaced or removed). A done marker means the
//    new set stands: its backups and staged files go, then the marker.
//  - Recovery acts only on what this kind of run could have made, as the
//    running user: a journal that is a regular file of that user, whole and
//    checked, or cut short (its run died writing it, before any name
//    changed); staged files, backups and created chunks that are regular
//    files of that user. Anything else in the way stops it before it
//    touches anything: a set of another user's that root was splitting
//    waits for a person.
#pragma once

#include "app/chunk_layout.h"
#include "platform/file_system.h"
#include "platform/win32.h"

#include <cstdint>
#include <memory>

// What a commit does to one chunk number.
enum class ChunkChange : std::uint8_t {
    None = 0,
    Replaced = 'R',  // a staged file takes the name of an existing chunk, kept as its backup
    Created = 'C',   // a staged file takes a name that had no file
    Removed = 'D',   // an existing chunk goes, kept as its backup
};

// A commit's plan for every chunk number.
struct SetChanges {
    ChunkChange change[kMostLevels + 1] = {};
};

// The names of chunk `number` of a set: the chunk itself, the file a write
// to it lands on (its target: the chunk, or where its links lead), and the
// staged file and backup beside that target. Heap blocks.
struct ChunkNames {
    std::unique_ptr<char[]> chunk;
    std::unique_ptr<char[]> target;
    std::unique_ptr<char[]> staged;
    std::unique_ptr<char[]> backup;
};

// Derives the names of chunk `number` of `base`; false when memory runs
// out or a link cannot be followed.
bool DeriveChunkNames(const char* base, std::uint32_t number, ChunkNames& names);

// The journal's name for the set `base`, .<base's file name>.texweld-journal
// beside the chunks, and its done marker's. Heap blocks, or null when memory
// runs out.
std::unique_ptr<char[]> JournalNameFor(const char* base);
std::unique_ptr<char[]> DoneMarkerFor(const char* base);

// Writes the journal of `changes` for the set `base` at the start of the
// open, empty journal file `handle`. The caller flushes it.
bool WriteJournal(HANDLE handle, const char* base, const SetChanges& changes);

// Puts the names of the journal's folder and of every folder that holds a
// target among `names` (kMostLevels + 1 of them, some empty) on the disk,
// each folder once.
bool FlushSetFolders(const char* journal, const ChunkNames* names);

enum class Recovery {
    Clean,      // nothing was left, or only staged files and backups, now gone
    Recovered,  // a journal was found: the set is the old one again, and the journal gone
    Refused,    // something in the way is not this run's to touch: nothing was
    Failed,     // a step failed part-way: the journal stays for a later run
};

// What a recovery did, and what stopped it.
struct RecoveryReport {
    Recovery outcome = Recovery::Clean;
    std::int32_t firstChunk = -1;         // the highest chunk a journal changes, -1 for none known
    std::unique_ptr<char[]> inTheWay;     // with Refused: the file that stopped it
};

// Rolls back whatever a dead commit left for the set `base`: with its
// journal, every changed name gets its backup back and every created one
// goes; then its staged files and backups go, and last the journal and the
// done marker. Run under the set's lock, held alone.
RecoveryReport RecoverSet(const char* base);

// Rolls `changes` back for the set `base` and removes the staged files and
// backups beside its chunks, then flushes the folders once if anything
// changed:
// what RecoverSet does once it has read a journal, and what a failing
// commit does to itself. The journal and the marker are left to the caller.
RecoveryReport RollBack(const char* base, const SetChanges& changes);

enum class JournalState {
    None,      // no commit's files
    Begun,     // a commit whose names are not changing: its journal cut
               // short (still being staged), or only its done marker
    Changing,  // a whole journal, or anything in its place: names may be
               // changing, or be half-changed
    Unknown,   // no memory to tell
};

// What a look at the set `base` finds of a commit; a journal's bytes are
// read, bounded, whoever owns it (they are not acted on).
JournalState FindJournal(const char* base);
