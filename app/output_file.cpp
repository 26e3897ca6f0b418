#include "app/output_file.h"

#include "app/set_journal.h"
#include "platform/pending_file.h"
#include "platform/win32.h"
#include "support/file_access.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

OutputResult WriteInPlace(const char* outputName, OutputSource& source) {
    HANDLE handle = OpenFileByMode(outputName, "w");
    if (handle == INVALID_HANDLE_VALUE) {
        return OutputResult::CannotOpen;
    }
    const OutputResult written = source.WriteTo(handle, false);
    const bool closed = CloseHandle(handle) != FALSE;
    return written == OutputResult::Written && !closed ? OutputResult::WriteFailed : written;
}

// Asks whether the existing output could be opened for writing without
// sharing, as an overwrite would, but without truncating it. Another run
// asking the same, or replacing the file, holds it for a moment: a sharing
// violation is waited out as a replacement waits for a held file.
bool CanOpenForWriting(const char* outputName) {
    for (DWORD attempt = 0;; ++attempt) {
        HANDLE handle = CreateFileA(outputName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
            return true;
        }
        if (GetLastError() != ERROR_SHARING_VIOLATION || attempt + 1 >= kInUseRetries) {
            return false;
        }
        Sleep(kInUsePauseMilliseconds);
    }
}

bool IsOneOf(const char* path, InputFiles inputs) {
    FileIdentity identity;
    if (!IdentifyPath(path, identity)) {
        return false;
    }
    for (std::uint32_t i = 0; i < inputs.count; ++i) {
        if (inputs.identities[i] == identity) {
            return true;
        }
    }
    return false;
}

// Where a write to a name lands, links followed: a whole file to replace
// there (an existing regular file, or a new name in an existing folder), or
// something to write in place (a device, a pipe, a link that leads nowhere
// it can be followed).
struct Destination {
    enum class Kind { Replace, InPlace, Refused };
    Kind kind = Kind::Refused;
    const char* name = nullptr;  // the file to replace: the path, or a link's target
    bool exists = false;         // with Replace: whether that file exists

    Destination() = default;
    Destination(const Destination&) = delete;
    Destination& operator=(const Destination&) = delete;
    ~Destination() { delete[] resolved_; }

    // Decides for `path`. Refused when a replacement could not be opened
    // (a locked or read-only file) or created (a name the system can't hold).
    void Settle(const char* path) {
        name = path;
        PathKind pathKind = GetPathKind(path);
        if (pathKind == PathKind::Link) {
            resolved_ = new (std::nothrow) char[kLongestResolvedPath];
            if (resolved_ == nullptr) {
                kind = Kind::Refused;
                return;
            }
            if (!ResolveLinks(path, resolved_, kLongestResolvedPath)) {
                kind = Kind::InPlace;
                return;
            }
            name = resolved_;
            pathKind = GetPathKind(name);
        }
        switch (pathKind) {
        case PathKind::Missing:
        case PathKind::RegularFile:
            exists = pathKind == PathKind::RegularFile;
            kind = (exists ? CanOpenForWriting(name) : CanCreateName(name)) ? Kind::Replace : Kind::Refused;
            return;
        case PathKind::Unreadable:
            kind = Kind::Refused;
            return;
        case PathKind::Link:
        case PathKind::Other:
            break;
        }
        kind = Kind::InPlace;
        name = path;  // written through the name given, links and all
    }

private:
    char* resolved_ = nullptr;  // heap, when the name is a link
};

// Replaces `target` (an existing regular file when `exists`, else a name in
// an existing folder) with what `source` writes, through a staged file.
OutputResult WriteByReplacement(const char* target, bool exists, OutputSource& source) {
    StagedFile pending;
    switch (pending.CreateFindable(target, exists ? target : nullptr)) {
    case FileResult::Done:
        break;
    case FileResult::FolderRefuses:
        // The folder takes no new name, but the file may be written: do what
        // a plain overwrite does.
        return exists ? WriteInPlace(target, source) : OutputResult::CannotOpen;
    case FileResult::InUse:
    case FileResult::AccessNotKept:
    case FileResult::Failed:
        return OutputResult::CannotOpen;
    }
    if (const OutputResult written = source.WriteTo(pending.Handle(), exists); written != OutputResult::Written) {
        pending.Discard();
        return written;
    }
    switch (pending.Commit(target, exists)) {
    case FileResult::Done:
        // A replaced file's new name on the disk: it is in place whether or
        // not the flush succeeds, so that is no failure of the write.
        if (exists) {
            FlushFolderOf(target);
        }
        return OutputResult::Written;
    case FileResult::AccessNotKept:
        return OutputResult::CannotOpen;
    case FileResult::FolderRefuses:
        // A sticky folder lets us write another user's file, not replace it.
        return exists ? WriteInPlace(target, source) : OutputResult::WriteFailed;
    case FileResult::InUse:
        // Another program holds the output: it keeps it, as a plain open
        // that shares nothing would have found.
        return OutputResult::CannotOpen;
    case FileResult::Failed:
        break;
    }
    return OutputResult::WriteFailed;
}

}  // namespace

OutputResult WriteOutputFile(const char* outputName, OutputSource& source, InputFiles inputs) {
    if (outputName == nullptr || outputName[0] == '\0') {
        return OutputResult::CannotOpen;  // an empty name opens nothing
    }
    // Writing over a chunk the run read would destroy the split texture.
    if (IsOneOf(outputName, inputs)) {
        return OutputResult::CannotOpen;
    }
    Destination destination;
    destination.Settle(outputName);
    switch (destination.kind) {
    case Destination::Kind::Replace:
        return WriteByReplacement(destination.name, destination.exists, source);
    case Destination::Kind::InPlace:
        return WriteInPlace(outputName, source);
    case Destination::Kind::Refused:
        break;
    }
    return OutputResult::CannotOpen;
}

namespace {

// Whether two targets of a set are one file: the same existing file, or the
// same name yet to be made.
bool SameFile(const char* a, const char* b) {
    FileIdentity first;
    FileIdentity second;
    const bool firstExists = IdentifyPath(a, first);
    const bool secondExists = IdentifyPath(b, second);
    return firstExists && secondExists ? first == second : !firstExists && !secondExists && std::strcmp(a, b) == 0;
}

// Checks chunk `number` before anything is written: a whole file to write
// (`source`, a regular file or a new name, through links) or one to remove
// (a regular file), not one the run reads, not another chunk's file, and
// one this user may replace. Fills in its names and its change.
bool Plan(const char* base, std::uint32_t number, bool written, InputFiles inputs, ChunkNames* names,
          SetChanges& changes) {
    if (number > kMostLevels || changes.change[number] != ChunkChange::None ||
        !DeriveChunkNames(base, number, names[number]) || IsOneOf(names[number].chunk.get(), inputs)) {
        return false;
    }
    const char* target = names[number].target.get();
    const PathKind kind = GetPathKind(target);
    const bool exists = kind == PathKind::RegularFile;
    if (written ? !(exists ? CanOpenForWriting(target) : kind == PathKind::Missing && CanCreateName(target))
                : !exists || GetPathKind(names[number].chunk.get()) != PathKind::RegularFile) {
        return false;
    }
    if (exists && !MayReplaceName(target)) {
        return false;
    }
    for (std::uint32_t k = 0; k <= kMostLevels; ++k) {
        if (changes.change[k] != ChunkChange::None && SameFile(target, names[k].target.get())) {
            return false;
        }
    }
    changes.change[number] = !written ? ChunkChange::Removed : exists ? ChunkChange::Replaced : ChunkChange::Created;
    return true;
}

}  // namespace

OutputResult WriteChunkSet(const char* base, const ChunkFile* files, std::uint32_t count,
                           const std::uint32_t* removed, std::uint32_t removedCount, InputFiles inputs) {
    // Declared first, so that it goes last, after every staged file and
    // backup it stands for.
    StagedFile journalFile;
    const std::unique_ptr<char[]> journal = JournalNameFor(base);
    const std::unique_ptr<char[]> marker = DoneMarkerFor(base);
    ChunkNames names[kMostLevels + 1];
    StagedFile pending[kMostLevels + 1];
    KeptFile backups[kMostLevels + 1];
    SetChanges changes;
    // Every name is checked before any file is written.
    bool replaces = false;  // whether anything old is replaced or removed
    for (std::uint32_t i = 0; i < count + removedCount; ++i) {
        const std::uint32_t number = i < count ? files[i].number : removed[i - count];
        if (!journal || !marker || !Plan(base, number, i < count, inputs, names, changes)) {
            return OutputResult::CannotOpen;
        }
        replaces = replaces || changes.change[number] != ChunkChange::Created;
    }
    // Everything that can run out of room, names or rights happens before
    // the first name changes: the journal is begun (empty, it tells the
    // next run that no name changed, and where anything old is replaced it
    // is on the disk before anything else is made), the new files complete
    // under their staged names, and every file the commit replaces or
    // removes gets a second name, its backup. Where anything old is
    // replaced, all of it is on the disk before the journal is written.
    if (journalFile.CreateNamed(journal.get()) != FileResult::Done) {
        return OutputResult::CannotOpen;
    }
    if (replaces && !FlushFolderOf(journal.get())) {
        return OutputResult::WriteFailed;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t k = files[i].number;
        const char* target = names[k].target.get();
        const bool exists = changes.change[k] == ChunkChange::Replaced;
        switch (pending[k].Create(target, exists ? target : nullptr, names[k].staged.get())) {
        case FileResult::Done:
            break;
        case FileResult::Failed:
        case FileResult::InUse:
        case FileResult::FolderRefuses:
        case FileResult::AccessNotKept:
            return OutputResult::CannotOpen;
        }
        if (const OutputResult written = files[i].source->WriteTo(pending[k].Handle(), replaces);
            written != OutputResult::Written) {
            return written;
        }
        switch (pending[k].Stage(target, replaces)) {
        case FileResult::Done:
            break;
        case FileResult::AccessNotKept:
            return OutputResult::CannotOpen;
        case FileResult::Failed:
        case FileResult::InUse:
        case FileResult::FolderRefuses:
            return OutputResult::WriteFailed;
        }
    }
    for (std::uint32_t k = 0; k <= kMostLevels; ++k) {
        if (changes.change[k] == ChunkChange::Replaced || changes.change[k] == ChunkChange::Removed) {
            if (backups[k].Keep(names[k].target.get(), names[k].backup.get()) != FileResult::Done) {
                return OutputResult::WriteFailed;
            }
        }
    }

    // The commit, with interrupts held off so that an interrupt lands
    // before it or after it: the journal, then the renames and removals.
    InterruptsHeld held;
    if (!WriteJournal(journalFile.Handle(), base, changes) ||
        journalFile.Stage(journal.get(), replaces) != FileResult::Done ||
        (replaces && !FlushSetFolders(journal.get(), names))) {
        return OutputResult::WriteFailed;  // no name has changed
    }
    bool committed = true;
    for (std::uint32_t i = 0; i < count && committed; ++i) {
        const std::uint32_t k = files[i].number;
        committed = pending[k].Commit(names[k].target.get(), replaces) == FileResult::Done;
    }
    for (std::uint32_t i = 0; i < removedCount && committed; ++i) {
        committed = DeleteFileA(names[removed[i]].chunk.get()) != FALSE;
    }
    // The point of no return: the journal becomes the done marker, once the
    // new set's names are on the disk.
    committed = committed && (!replaces || FlushSetFolders(journal.get(), names)) &&
                MoveFileExA(journal.get(), marker.get(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    if (!committed) {
        // The same rollback a later run would make; what it cannot finish
        // stays, journal and backups, for that run.
        journalFile.Leave();
        const Recovery rolled = RollBack(base, changes).outcome;
        const bool undone = rolled == Recovery::Recovered || rolled == Recovery::Clean;
        for (KeptFile& backup : backups) {
            if (undone) {
                backup.Remove();  // already put back or removed
            } else {
                backup.Leave();
            }
        }
        if (undone && DeleteFileA(journal.get())) {
            FlushFolderOf(journal.get());
        }
        return OutputResult::WriteFailed;
    }
    // The backups go once the marker is on the disk (a journal that came
    // back after a power loss would need every one of them), and the marker
    // once their removal is. What cannot go is left to the next run, which
    // finds the marker.
    journalFile.Leave();
    bool swept = !replaces || FlushFolderOf(marker.get());
    for (KeptFile& backup : backups) {
        if (swept) {
            swept = backup.Remove();
        } else {
            backup.Leave();
        }
    }
    if (swept && (!replaces || FlushSetFolders(journal.get(), names))) {
        DeleteFileA(marker.get());
    }
    return OutputResult::Written;
}
