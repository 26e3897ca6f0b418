#include "app/output_file.h"

#include "platform/pending_file.h"
#include "platform/win32.h"
#include "support/file_access.h"

#include <new>

namespace {

// Writes the whole image through `handle` with one call; true when every
// byte went out.
bool WriteWhole(HANDLE handle, const std::uint8_t* image, std::uint32_t size) {
    DWORD written = 0;
    WriteFile(handle, image, size, &written, nullptr);
    return written == size;
}

OutputResult WriteInPlace(const char* outputName, const std::uint8_t* image, std::uint32_t size) {
    HANDLE handle = OpenFileByMode(outputName, "w");
    if (handle == INVALID_HANDLE_VALUE) {
        return OutputResult::CannotOpen;
    }
    const bool complete = WriteWhole(handle, image, size);
    const bool closed = CloseHandle(handle) != FALSE;
    return complete && closed ? OutputResult::Written : OutputResult::WriteFailed;
}

// Asks whether the existing output could be opened for writing without
// sharing, as an overwrite would, but without truncating it.
bool CanOpenForWriting(const char* outputName) {
    HANDLE handle = CreateFileA(outputName, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return true;
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

// Replaces `target` (an existing regular file when `exists`, else a name in
// an existing folder) with the image, through a pending file.
OutputResult WriteByReplacement(const char* target, bool exists, const std::uint8_t* image, std::uint32_t size) {
    if (exists ? !CanOpenForWriting(target) : !CanCreateName(target)) {
        return OutputResult::CannotOpen;
    }
    PendingFile pending;
    switch (pending.Create(target, exists ? target : nullptr)) {
    case PendingFile::Result::Done:
        break;
    case PendingFile::Result::FolderRefuses:
        // The folder takes no new name, but the file may be written: do what
        // a plain overwrite does.
        return exists ? WriteInPlace(target, image, size) : OutputResult::CannotOpen;
    case PendingFile::Result::Failed:
        return OutputResult::CannotOpen;
    }
    if (!WriteWhole(pending.Handle(), image, size)) {
        pending.Discard();
        return OutputResult::WriteFailed;
    }
    switch (pending.Commit(target)) {
    case PendingFile::Result::Done:
        return OutputResult::Written;
    case PendingFile::Result::FolderRefuses:
        // A sticky folder lets us write another user's file, not replace it.
        return exists ? WriteInPlace(target, image, size) : OutputResult::WriteFailed;
    case PendingFile::Result::Failed:
        break;
    }
    return OutputResult::WriteFailed;
}

// Writes to wherever the link `outputName` leads: a regular file there, or a
// missing one, is replaced and the link stays; anything else is written
// through the link.
OutputResult WriteThroughLink(const char* outputName, const std::uint8_t* image, std::uint32_t size) {
    char* target = new (std::nothrow) char[kLongestResolvedPath];
    if (target == nullptr) {
        return OutputResult::CannotOpen;
    }
    OutputResult result = OutputResult::CannotOpen;
    if (!ResolveLinks(outputName, target, kLongestResolvedPath)) {
        result = WriteInPlace(outputName, image, size);
    } else {
        switch (GetPathKind(target)) {
        case PathKind::Missing:
            result = WriteByReplacement(target, false, image, size);
            break;
        case PathKind::RegularFile:
            result = WriteByReplacement(target, true, image, size);
            break;
        case PathKind::Link:
        case PathKind::Other:
            result = WriteInPlace(outputName, image, size);
            break;
        }
    }
    delete[] target;
    return result;
}

}  // namespace

OutputResult WriteOutputFile(const char* outputName, const std::uint8_t* image, std::uint32_t size,
                             InputFiles inputs) {
    if (outputName == nullptr || outputName[0] == '\0') {
        return OutputResult::CannotOpen;  // an empty name opens nothing
    }
    // Writing over a chunk the run read would destroy the split texture.
    if (IsOneOf(outputName, inputs)) {
        return OutputResult::CannotOpen;
    }
    switch (GetPathKind(outputName)) {
    case PathKind::Missing:
        return WriteByReplacement(outputName, false, image, size);
    case PathKind::RegularFile:
        return WriteByReplacement(outputName, true, image, size);
    case PathKind::Link:
        return WriteThroughLink(outputName, image, size);
    case PathKind::Other:
        break;
    }
    return WriteInPlace(outputName, image, size);
}

namespace {

// Where a file of a set lands: its own name, or a link's target.
struct BatchTarget {
    char* resolved = nullptr;  // heap, when the name is a link
    const char* name = nullptr;
    bool exists = false;

    BatchTarget() = default;
    BatchTarget(const BatchTarget&) = delete;
    BatchTarget& operator=(const BatchTarget&) = delete;
    ~BatchTarget() { delete[] resolved; }

    // Decides where `path` lands; false when it cannot be written as a whole
    // file replaced in one step.
    bool Settle(const char* path) {
        name = path;
        PathKind kind = GetPathKind(path);
        if (kind == PathKind::Link) {
            resolved = new (std::nothrow) char[kLongestResolvedPath];
            if (resolved == nullptr || !ResolveLinks(path, resolved, kLongestResolvedPath)) {
                return false;
            }
            name = resolved;
            kind = GetPathKind(name);
        }
        switch (kind) {
        case PathKind::Missing:
            exists = false;
            return CanCreateName(name);
        case PathKind::RegularFile:
            exists = true;
            return CanOpenForWriting(name);
        case PathKind::Link:
        case PathKind::Other:
            break;
        }
        return false;
    }
};

}  // namespace

OutputResult WriteOutputFiles(const OutputFile* files, std::uint32_t count, InputFiles inputs) {
    BatchTarget* targets = new (std::nothrow) BatchTarget[count];
    PendingFile* pending = new (std::nothrow) PendingFile[count];
    OutputResult result = OutputResult::Written;
    if (targets == nullptr || pending == nullptr) {
        result = OutputResult::CannotOpen;
    }
    // Every name is checked before any file is written.
    for (std::uint32_t i = 0; result == OutputResult::Written && i < count; ++i) {
        if (files[i].name == nullptr || files[i].name[0] == '\0' || IsOneOf(files[i].name, inputs) ||
            !targets[i].Settle(files[i].name)) {
            result = OutputResult::CannotOpen;
        }
    }
    for (std::uint32_t i = 0; result == OutputResult::Written && i < count; ++i) {
        if (pending[i].Create(targets[i].name, targets[i].exists ? targets[i].name : nullptr) !=
            PendingFile::Result::Done) {
            result = OutputResult::CannotOpen;
        } else if (!WriteWhole(pending[i].Handle(), files[i].bytes, files[i].size)) {
            result = OutputResult::WriteFailed;
        }
    }
    for (std::uint32_t i = 0; result == OutputResult::Written && i < count; ++i) {
        if (pending[i].Commit(targets[i].name) != PendingFile::Result::Done) {
            result = OutputResult::WriteFailed;
        }
    }
    delete[] pending;  // discards whatever was not committed
    delete[] targets;
    return result;
}
