#include "app/output_file.h"

#include "platform/pending_file.h"
#include "platform/win32.h"
#include "support/file_access.h"

#include <memory>
#include <new>

namespace {

OutputResult WriteInPlace(const char* outputName, OutputSource& source) {
    HANDLE handle = OpenFileByMode(outputName, "w");
    if (handle == INVALID_HANDLE_VALUE) {
        return OutputResult::CannotOpen;
    }
    const OutputResult written = source.WriteTo(handle);
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
// an existing folder) with what `source` writes, through a pending file.
OutputResult WriteByReplacement(const char* target, bool exists, OutputSource& source) {
    PendingFile pending;
    switch (pending.Create(target, exists ? target : nullptr)) {
    case PendingFile::Result::Done:
        break;
    case PendingFile::Result::FolderRefuses:
        // The folder takes no new name, but the file may be written: do what
        // a plain overwrite does.
        return exists ? WriteInPlace(target, source) : OutputResult::CannotOpen;
    case PendingFile::Result::InUse:
    case PendingFile::Result::Failed:
        return OutputResult::CannotOpen;
    }
    if (const OutputResult written = source.WriteTo(pending.Handle()); written != OutputResult::Written) {
        pending.Discard();
        return written;
    }
    switch (pending.Commit(target)) {
    case PendingFile::Result::Done:
        return OutputResult::Written;
    case PendingFile::Result::FolderRefuses:
        // A sticky folder lets us write another user's file, not replace it.
        return exists ? WriteInPlace(target, source) : OutputResult::WriteFailed;
    case PendingFile::Result::InUse:
        // Another program holds the output: it keeps it, as a plain open
        // that shares nothing would have found.
        return OutputResult::CannotOpen;
    case PendingFile::Result::Failed:
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

OutputResult WriteOutputFiles(const OutputFile* files, std::uint32_t count, const char* const* removed,
                              std::uint32_t removedCount, InputFiles inputs) {
    std::unique_ptr<Destination[]> targets(new (std::nothrow) Destination[count]);
    std::unique_ptr<PendingFile[]> pending(new (std::nothrow) PendingFile[count]);
    // Backups: one for each target that exists, then one for each removed name.
    std::unique_ptr<PendingFile[]> backups(new (std::nothrow) PendingFile[count + removedCount]);
    if (!targets || !pending || !backups) {
        return OutputResult::CannotOpen;
    }
    // Every name is checked before any file is written.
    for (std::uint32_t i = 0; i < count; ++i) {
        if (files[i].name == nullptr || files[i].name[0] == '\0' || IsOneOf(files[i].name, inputs)) {
            return OutputResult::CannotOpen;
        }
        // Only whole files replaced in one step: nothing is written in place.
        targets[i].Settle(files[i].name);
        if (targets[i].kind != Destination::Kind::Replace) {
            return OutputResult::CannotOpen;
        }
    }
    for (std::uint32_t j = 0; j < removedCount; ++j) {
        if (GetPathKind(removed[j]) != PathKind::RegularFile || IsOneOf(removed[j], inputs)) {
            return OutputResult::CannotOpen;
        }
    }
    // Everything that can run out of room, names or rights happens before
    // the first name changes: the new files complete under temporary names,
    // and a second name kept for every file the commit replaces or removes.
    for (std::uint32_t i = 0; i < count; ++i) {
        if (pending[i].Create(targets[i].name, targets[i].exists ? targets[i].name : nullptr) !=
            PendingFile::Result::Done) {
            return OutputResult::CannotOpen;
        }
        if (const OutputResult written = files[i].source->WriteTo(pending[i].Handle());
            written != OutputResult::Written) {
            return written;
        }
        if (pending[i].Stage(targets[i].name) != PendingFile::Result::Done) {
            return OutputResult::WriteFailed;
        }
    }
    for (std::uint32_t i = 0; i < count + removedCount; ++i) {
        const char* kept = i < count ? targets[i].name : removed[i - count];
        if ((i >= count || targets[i].exists) && backups[i].KeepBackupOf(kept) != PendingFile::Result::Done) {
            return OutputResult::WriteFailed;
        }
    }

    // The commit: renames and removals with interrupts held off, so that an
    // interrupt lands before it or after it. A failure part-way puts back
    // what already changed, last first.
    InterruptsHeld held;
    std::uint32_t renamed = 0;
    while (renamed < count && pending[renamed].Commit(targets[renamed].name) == PendingFile::Result::Done) {
        ++renamed;
    }
    std::uint32_t gone = 0;
    while (renamed == count && gone < removedCount && DeleteFileA(removed[gone])) {
        ++gone;
    }
    if (renamed == count && gone == removedCount) {
        return OutputResult::Written;  // the backups go with their owners
    }
    for (std::uint32_t j = gone; j-- > 0;) {
        if (backups[count + j].PutBack(removed[j]) != PendingFile::Result::Done) {
            backups[count + j].Leave();
        }
    }
    for (std::uint32_t i = renamed; i-- > 0;) {
        if (!targets[i].exists) {
            DeleteFileA(targets[i].name);
        } else if (backups[i].PutBack(targets[i].name) != PendingFile::Result::Done) {
            // The old file's only copy: left under its backup name rather
            // than lost.
            backups[i].Leave();
        }
    }
    return OutputResult::WriteFailed;
}
