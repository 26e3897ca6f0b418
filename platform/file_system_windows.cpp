#include "platform/file_system.h"

#include "platform/win32.h"

PathKind GetPathKind(const char* path) {
    if (path == nullptr) {
        return PathKind::Missing;
    }
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PathKind::Missing;
    }
    if ((attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return PathKind::Other;
    }
    // Reserved device names (NUL, CON, ...) report plain attributes; ask the
    // handle what it really is.
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return PathKind::RegularFile;  // it exists; the writer's own open decides
    }
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type == FILE_TYPE_DISK ? PathKind::RegularFile : PathKind::Other;
}

bool IsPathSeparator(char c) {
    return c == '\\' || c == '/' || c == ':';
}

bool CopyPermissionBits(const char*, const char*) {
    // Access rules live in the folder's inherited ACLs; nothing to carry over.
    return true;
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(GetCurrentProcessId());
}

void ReportWriteErrorsInsteadOfSignals() {
    // Windows reports write failures through the call's result already.
}
