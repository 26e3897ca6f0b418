#include "platform/file_system.h"

#include "platform/win32.h"

PathKind GetPathKind(const char* path) {
    if (path == nullptr) {
        return PathKind::Missing;
    }
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return PathKind::Other;
    }
    // Devices report plain attributes under their reserved names (NUL, CON)
    // and none at all under their device paths (\\.\NUL): ask an open handle
    // what it really is. Asking for no access opens even a file that another
    // program holds without sharing.
    HANDLE handle = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // Something whose attributes could be read is there; the writer's own
        // open decides what becomes of it.
        return attributes == INVALID_FILE_ATTRIBUTES ? PathKind::Missing : PathKind::RegularFile;
    }
    const DWORD type = GetFileType(handle);
    CloseHandle(handle);
    return type == FILE_TYPE_DISK ? PathKind::RegularFile : PathKind::Other;
}

bool IsPathSeparator(char c) {
    return c == '\\' || c == '/' || c == ':';
}

bool CopyPermissionBits(const char* from, const char* to) {
    // Access rules live in ACLs, which a new file inherits from its folder;
    // what a user sets on the file itself are its attributes. The ones that
    // say how the file is shown and indexed are carried over, so that a
    // replaced output looks as the old one did.
    constexpr DWORD kCarried = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
    const DWORD fromAttributes = GetFileAttributesA(from);
    const DWORD toAttributes = GetFileAttributesA(to);
    if (fromAttributes == INVALID_FILE_ATTRIBUTES || toAttributes == INVALID_FILE_ATTRIBUTES) {
        return false;
    }
    // Set even when `to` seems to have them already: Wine shows a file whose
    // name starts with a dot (as the temporary file's does) as hidden without
    // storing the attribute, and the rename would then drop it. Only the
    // settable attributes may be passed, and none is spelt NORMAL.
    constexpr DWORD kSettable = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY |
                                FILE_ATTRIBUTE_OFFLINE | kCarried;
    const DWORD wanted = (toAttributes & kSettable & ~kCarried) | (fromAttributes & kCarried);
    return SetFileAttributesA(to, wanted == 0 ? FILE_ATTRIBUTE_NORMAL : wanted) != FALSE;
}

std::uint32_t CurrentProcessId() {
    return static_cast<std::uint32_t>(GetCurrentProcessId());
}

void ReportWriteErrorsInsteadOfSignals() {
    // Windows reports write failures through the call's result already.
}
