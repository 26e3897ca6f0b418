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
    switch (pending.Commit(target)) {
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

// What a set's commit names, each an exact heap block: every target and
// removed name spelt absolutely, and the staged files and backups beside them.
struct SetNames {
    std::unique_ptr<char[]> name;
    std::unique_ptr<char[]> staged;  // for a target
    std::unique_ptr<char[]> backup;  // for an existing target or a removed name
};

// `path` spelt absolutely, in a heap block of its own size.
std::unique_ptr<char[]> Absolute(const char* path) {
    const std::unique_ptr<char[]> room(new (std::nothrow) char[kLongestResolvedPath]);
    if (!room || !AbsolutePath(path, room.get(), kLongestResolvedPath)) {
        return nullptr;
    }
    const std::size_t length = std::strlen(room.get()) + 1;
    std::unique_ptr<char[]> exact(new (std::nothrow) char[length]);
    if (exact) {
        std::memcpy(exact.get(), room.get(), length);
    }
    return exact;
}

// Whether two names of a set are one file: the same existing file, or the
// same name yet to be made.
bool SameFile(const char* a, const char* b) {
    FileIdentity first;
    FileIdentity second;
    const bool firstExists = IdentifyPath(a, first);
    const bool secondExists = IdentifyPath(b, second);
    return firstExists && secondExists ? first == second : !firstExists && !secondExists && std::strcmp(a, b) == 0;
}

}  // namespace

OutputResult WriteOutputFiles(const char* journal, const OutputFile* files, std::uint32_t count,
                              const char* const* removed, std::uint32_t removedCount, InputFiles inputs) {
    // Declared first, so that it goes last, after every staged file and
    // backup it names.
    StagedFile journalFile;
    std::unique_ptr<Destination[]> targets(new (std::nothrow) Destination[count]);
    std::unique_ptr<SetNames[]> names(new (std::nothrow) SetNames[count + removedCount]);
    std::unique_ptr<StagedFile[]> pending(new (std::nothrow) StagedFile[count]);
    // Backups: one for each target that exists, then one for each removed name.
    std::unique_ptr<KeptFile[]> backups(new (std::nothrow) KeptFile[count + removedCount]);
    std::unique_ptr<JournalEntry[]> entries(new (std::nothrow) JournalEntry[count + removedCount]);
    if (!targets || !names || !pending || !backups || !entries) {
        return OutputResult::CannotOpen;
    }
    // Every name is checked before any file is written: each target a whole
    // file to replace (nothing is written in place), each removed name a
    // file, none of them a file the run reads, another name of the same
    // file, or a file this user may not replace.
    bool anyExists = false;
    for (std::uint32_t i = 0; i < count + removedCount; ++i) {
        const bool target = i < count;
        const char* given = target ? files[i].name : removed[i - count];
        if (given == nullptr || given[0] == '\0' || IsOneOf(given, inputs)) {
            return OutputResult::CannotOpen;
        }
        bool exists = true;
        if (target) {
            targets[i].Settle(given);
            if (targets[i].kind != Destination::Kind::Replace) {
                return OutputResult::CannotOpen;
            }
            exists = targets[i].exists;
        } else if (GetPathKind(given) != PathKind::RegularFile) {
            return OutputResult::CannotOpen;
        }
        const char* path = target ? targets[i].name : given;
        if (exists && !MayReplaceName(path)) {
            return OutputResult::CannotOpen;
        }
        for (std::uint32_t j = 0; j < i; ++j) {
            if (SameFile(path, j < count ? targets[j].name : removed[j - count])) {
                return OutputResult::CannotOpen;
            }
        }
        names[i].name = Absolute(path);
        names[i].staged.reset(target && names[i].name ? StagedNameFor(names[i].name.get()) : nullptr);
        names[i].backup.reset(exists && names[i].name ? BackupNameFor(names[i].name.get()) : nullptr);
        if (!names[i].name || (target && !names[i].staged) || (exists && !names[i].backup)) {
            return OutputResult::CannotOpen;
        }
        entries[i] = {names[i].staged.get(), names[i].name.get(), names[i].backup.get()};
        anyExists = anyExists || exists;
    }
    // Everything that can run out of room, names or rights happens before
    // the first name changes: the journal is begun, so that a run killed
    // from here on is cleaned up by the next; the new files complete under
    // their staged names (flushed, where they replace a file); and a second
    // name is kept for every file the commit replaces or removes.
    if (journal != nullptr && journalFile.CreateNamed(journal) != FileResult::Done) {
        return OutputResult::CannotOpen;
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        const char* target = names[i].name.get();
        switch (pending[i].Create(target, targets[i].exists ? target : nullptr, names[i].staged.get())) {
        case FileResult::Done:
            break;
        case FileResult::Failed:
        case FileResult::InUse:
        case FileResult::FolderRefuses:
        case FileResult::AccessNotKept:
            return OutputResult::CannotOpen;
        }
        if (const OutputResult written = files[i].source->WriteTo(pending[i].Handle(), targets[i].exists);
            written != OutputResult::Written) {
            return written;
        }
        switch (pending[i].Stage(target)) {
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
    for (std::uint32_t i = 0; i < count + removedCount; ++i) {
        if (names[i].backup &&
            backups[i].Keep(names[i].name.get(), names[i].backup.get()) != FileResult::Done) {
            return OutputResult::WriteFailed;
        }
    }

    // The commit: the journal, then renames and removals, with interrupts
    // held off so that an interrupt lands before it or after it. A failure
    // part-way puts back what already changed, last first; a run killed
    // part-way leaves the journal, from which the next run does the same.
    InterruptsHeld held;
    if (journal != nullptr &&
        !WriteJournal(journalFile.Handle(), journal, entries.get(), count + removedCount, anyExists)) {
        return OutputResult::WriteFailed;
    }
    std::uint32_t renamed = 0;
    while (renamed < count && pending[renamed].Commit(names[renamed].name.get()) == FileResult::Done) {
        ++renamed;
    }
    std::uint32_t gone = 0;
    while (renamed == count && gone < removedCount && DeleteFileA(names[count + gone].name.get())) {
        ++gone;
    }
    const bool committed = renamed == count && gone == removedCount;
    bool whole = true;
    if (!committed) {
        for (std::uint32_t j = gone; j-- > 0;) {
            whole = backups[count + j].PutBack(names[count + j].name.get()) == FileResult::Done && whole;
        }
        for (std::uint32_t i = renamed; i-- > 0;) {
            whole = (names[i].backup ? backups[i].PutBack(names[i].name.get()) == FileResult::Done
                                     : DeleteFileA(names[i].name.get()) != FALSE) &&
                    whole;
        }
    }
    // The names on the disk before the backups go, so that after a power
    // loss the set is the one this run reported; where a folder cannot be
    // flushed the names are still as they are, so that is no failure.
    for (std::uint32_t i = 0; i < count + removedCount && anyExists; ++i) {
        const std::size_t folder = FolderPartLength(names[i].name.get());
        if (i == 0 || folder != FolderPartLength(names[i - 1].name.get()) ||
            std::strncmp(names[i].name.get(), names[i - 1].name.get(), folder) != 0) {
            FlushFolderOf(names[i].name.get());
        }
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        pending[i].Discard();
    }
    for (std::uint32_t i = 0; i < count + removedCount; ++i) {
        // A backup whose old file could not be put back is that file's only
        // copy; one that cannot be removed is left to the next run.
        if (whole) {
            whole = backups[i].Remove();
        } else {
            backups[i].Leave();
        }
    }
    // Whatever is still left stays named in the journal for the next run.
    if (whole) {
        journalFile.Remove();
    } else {
        journalFile.Leave();
    }
    return committed ? OutputResult::Written : OutputResult::WriteFailed;
}
