#include "platform/file_system.h"

#include "platform/win32.h"

#include <aclapi.h>

#include <initializer_list>

namespace {

// Whether the reparse point `path` is a link: a symbolic link or a junction.
// Any other kind (a cloud placeholder, a deduplicated file) presents a file
// or folder of its own, and is read and replaced as that.
bool IsLinkReparsePoint(const char* path) {
    WIN32_FIND_DATAA found {};
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE) {
        return true;  // a reparse point that cannot be asked: taken for a link
    }
    FindClose(search);
    return found.dwReserved0 == IO_REPARSE_TAG_SYMLINK || found.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT;
}

}  // namespace

bool IsFolder(const char* path) {
    const DWORD attributes = path != nullptr ? GetFileAttributesA(path) : INVALID_FILE_ATTRIBUTES;
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

PathKind GetPathKind(const char* path) {
    if (path == nullptr) {
        return PathKind::Missing;
    }
    const DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
        IsLinkReparsePoint(path)) {
        return PathKind::Link;
    }
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
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

namespace {

// Opens whatever `path` leads to, links followed, for its metadata only.
HANDLE OpenForMetadata(const char* path) {
    return CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

}  // namespace

bool ResolveLinks(const char* path, char* target, std::size_t targetSize) {
    if (path == nullptr || targetSize == 0 || targetSize > 0x7FFFFFFF) {
        return false;
    }
    // The system follows the whole chain when it opens the file; it then
    // names the file it reached. A link whose target is missing cannot be
    // opened, and is left to be written through in place.
    HANDLE handle = OpenForMetadata(path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const DWORD length = GetFinalPathNameByHandleA(handle, target, static_cast<DWORD>(targetSize),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    CloseHandle(handle);
    return length != 0 && length < targetSize;
}

bool IdentifyOpenFile(HANDLE handle, FileIdentity& identity, std::uint64_t* byteCount) {
    BY_HANDLE_FILE_INFORMATION information {};
    if (!GetFileInformationByHandle(handle, &information)) {
        return false;
    }
    identity.volume = information.dwVolumeSerialNumber;
    identity.index = (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
    if (byteCount != nullptr) {
        *byteCount = (static_cast<std::uint64_t>(information.nFileSizeHigh) << 32) | information.nFileSizeLow;
    }
    return true;
}

namespace {

// Whether the open file `file` is the running user's: owned by its user, or
// by the owner its new files get (an elevated run's files belong to the
// Administrators group), or on a volume that keeps no owners (FAT).
bool OwnedByThisUser(HANDLE file) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(file, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr, nullptr,
                        &descriptor) != ERROR_SUCCESS ||
        owner == nullptr) {
        if (descriptor != nullptr) {
            LocalFree(descriptor);
        }
        DWORD flags = 0;
        return GetVolumeInformationByHandleW(file, nullptr, 0, nullptr, nullptr, &flags, nullptr, 0) &&
               (flags & FILE_PERSISTENT_ACLS) == 0;
    }
    bool ours = false;
    HANDLE token = nullptr;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        for (const TOKEN_INFORMATION_CLASS which : {TokenUser, TokenOwner}) {
            alignas(8) unsigned char buffer[256];
            DWORD size = 0;
            if (GetTokenInformation(token, which, buffer, sizeof buffer, &size)) {
                const PSID sid = which == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid
                                                    : reinterpret_cast<TOKEN_OWNER*>(buffer)->Owner;
                ours = ours || EqualSid(sid, owner);
            }
        }
        CloseHandle(token);
    }
    LocalFree(descriptor);
    return ours;
}

}  // namespace

FoundFile ExamineFile(const char* path, std::uint8_t* bytes, std::uint32_t room, std::uint32_t* got) {
    FoundFile found;
    if (got != nullptr) {
        *got = 0;
    }
    if (GetFileAttributesA(path) == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
                             error == ERROR_INVALID_NAME || error == ERROR_FILENAME_EXCED_RANGE;
        found.kind = missing ? FoundFile::Kind::Missing : FoundFile::Kind::Unknown;
        return found;
    }
    // The name itself, a link or a junction included, never what it leads to.
    HANDLE handle = CreateFileA(path, READ_CONTROL | (bytes != nullptr ? GENERIC_READ : FILE_READ_ATTRIBUTES),
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    BY_HANDLE_FILE_INFORMATION information {};
    if (handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(handle, &information)) {
        if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
        found.kind = FoundFile::Kind::Unknown;
        return found;
    }
    found.ours = OwnedByThisUser(handle);
    const DWORD notAFile = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
    found.kind = (information.dwFileAttributes & notAFile) == 0 && GetFileType(handle) == FILE_TYPE_DISK
                     ? FoundFile::Kind::RegularFile
                     : FoundFile::Kind::Other;
    IdentifyOpenFile(handle, found.identity);
    std::uint32_t total = 0;
    while (bytes != nullptr && found.kind == FoundFile::Kind::RegularFile && total < room) {
        DWORD read = 0;
        if (!ReadFile(handle, bytes + total, room - total, &read, nullptr)) {
            found.kind = FoundFile::Kind::Unknown;
            break;
        }
        if (read == 0) {
            break;
        }
        total += read;
    }
    CloseHandle(handle);
    if (got != nullptr) {
        *got = total;
    }
    return found;
}

bool IdentifyPath(const char* path, FileIdentity& identity) {
    if (path == nullptr) {
        return false;
    }
    HANDLE handle = OpenForMetadata(path);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool known = IdentifyOpenFile(handle, identity);
    CloseHandle(handle);
    return known;
}

bool CanCreateName(const char* path) {
    // Only the system knows which names it takes (reserved characters, the
    // length limits of the volume): ask it with a file that is deleted when
    // its handle closes, so nothing outlives the question, even a crash.
    HANDLE probe = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (probe == INVALID_HANDLE_VALUE) {
        // Made meanwhile by someone else: the name is one the system holds.
        return GetLastError() == ERROR_FILE_EXISTS;
    }
    CloseHandle(probe);
    return true;
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

bool MayReplaceName(const char*) {
    return true;  // a file held by another program is found at its rename
}

bool FlushFolderOf(const char*) {
    return true;
}

void StartWriteback(HANDLE, std::uint64_t, std::uint32_t) {}

void FinishWriteback(HANDLE, std::uint64_t, std::uint32_t) {}

// No call copies part of one open file into another here.
std::int64_t CopyBetweenFiles(HANDLE, HANDLE, std::uint32_t) {
    return -1;
}
