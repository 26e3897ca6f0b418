#include "app/output_file.h"

#include "platform/file_system.h"
#include "platform/win32.h"
#include "support/file_access.h"
#include "support/string_buffer.h"

#include <cstring>

namespace {

// How many names WriteOutputFile tries for its temporary file before it
// gives up; each taken name is one that another run left or is using.
constexpr std::uint32_t kTemporaryNameAttempts = 100;

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
    CloseHandle(handle);
    return complete ? OutputResult::Written : OutputResult::WriteFailed;
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

// Length of the folder part of `path`, separator included; 0 for a bare name.
std::int32_t FolderPrefixLength(const char* path) {
    std::int32_t prefix = 0;
    for (std::int32_t i = 0; path[i] != '\0'; ++i) {
        if (IsPathSeparator(path[i])) {
            prefix = i + 1;
        }
    }
    return prefix;
}

// Creates a new, empty temporary file in the output's folder and names it in
// `temporaryName`. Returns its handle, or INVALID_HANDLE_VALUE.
HANDLE CreateTemporaryBeside(const char* outputName, CStringBufferA& temporaryName) {
    const std::int32_t folderLength = FolderPrefixLength(outputName);
    const std::uint32_t processId = CurrentProcessId();
    for (std::uint32_t attempt = 0; attempt < kTemporaryNameAttempts; ++attempt) {
        if (temporaryName.Format("%.*s.texweld-%lu-%lu.tmp", static_cast<int>(folderLength), outputName,
                                 static_cast<unsigned long>(processId), static_cast<unsigned long>(attempt)) <= 0) {
            return INVALID_HANDLE_VALUE;  // no memory for the name
        }
        // Mode "w" truncates, so only a name that is free is opened.
        if (GetPathKind(temporaryName.GetString()) != PathKind::Missing) {
            continue;
        }
        return OpenFileByMode(temporaryName.GetString(), "w");
    }
    return INVALID_HANDLE_VALUE;
}

OutputResult WriteByReplacement(const char* outputName, bool replacesExisting, const std::uint8_t* image,
                                std::uint32_t size) {
    if (replacesExisting && !CanOpenForWriting(outputName)) {
        return OutputResult::CannotOpen;
    }
    TStringBufferA<260> temporaryName;
    HANDLE handle = CreateTemporaryBeside(outputName, temporaryName);
    if (handle == INVALID_HANDLE_VALUE) {
        return OutputResult::CannotOpen;
    }
    const bool complete = WriteWhole(handle, image, size);
    const bool closed = CloseHandle(handle) != FALSE;
    const bool replaced = complete && closed &&
                          (!replacesExisting || CopyPermissionBits(outputName, temporaryName.GetString())) &&
                          MoveFileExA(temporaryName.GetString(), outputName, MOVEFILE_REPLACE_EXISTING) != FALSE;
    if (!replaced) {
        DeleteFileA(temporaryName.GetString());
        return OutputResult::WriteFailed;
    }
    return OutputResult::Written;
}

}  // namespace

OutputResult WriteOutputFile(const char* outputName, const std::uint8_t* image, std::uint32_t size) {
    if (outputName == nullptr || outputName[0] == '\0') {
        return OutputResult::CannotOpen;  // an empty name opens nothing
    }
    switch (GetPathKind(outputName)) {
    case PathKind::Missing:
        return WriteByReplacement(outputName, false, image, size);
    case PathKind::RegularFile:
        return WriteByReplacement(outputName, true, image, size);
    case PathKind::Other:
        break;
    }
    return WriteInPlace(outputName, image, size);
}
