// The steps of replacing files on Windows: files created under exclusive
// names and marked for deletion while they are written, hard links or
// copies for backups, MoveFileEx over held files, and a list of names that
// the console handler removes.
#define _CRT_RAND_S  // rand_s, from the runtime's stdlib.h
#include <stdlib.h>

#include "platform/file_primitives.h"

#include "platform/file_system.h"
#include "platform/temporary_name.h"

#include <aclapi.h>

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <new>

namespace {

// The list of names and the lock every change to it, or to a name on it,
// is made under; the console handler (a thread of its own) takes it too.
ListedName* g_names = nullptr;
SRWLOCK g_namesLock = SRWLOCK_INIT;
int g_nameChangeDepth = 0;

// Held by the main thread while names change together (InterruptsHeld);
// the console handler takes it before removing anything, and so waits.
SRWLOCK g_holdLock = SRWLOCK_INIT;
int g_holdDepth = 0;

BOOL WINAPI OnConsoleControl(DWORD) {
    // Both kept for good: the process ends right after.
    AcquireSRWLockExclusive(&g_holdLock);
    AcquireSRWLockExclusive(&g_namesLock);
    for (ListedName* entry = g_names; entry != nullptr; entry = NameList::Next(*entry)) {
        const char* name = NameList::NameOf(*entry);
        if (name != nullptr && name[0] != '\0') {
            // A file still marked for deletion refuses this and goes when
            // the process closes its handle.
            DeleteFileA(name);
        }
    }
    return FALSE;  // on to the default handler, which ends the process
}

bool InUse(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

StepResult FromError(DWORD error) {
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS) {
        return StepResult::Taken;
    }
    return error == ERROR_ACCESS_DENIED ? StepResult::FolderRefuses : StepResult::Failed;
}

bool MarkForDeletion(HANDLE handle, bool deleted) {
    FILE_DISPOSITION_INFO disposition {};
    disposition.DeleteFile = deleted ? TRUE : FALSE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

}  // namespace

void PrepareForFileWrites() {
    // Windows reports write failures through the call's result already.
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void NameList::Add(ListedName& entry) {
    entry.next_ = g_names;
    g_names = &entry;
    entry.listed_ = true;
}

void NameList::Drop(ListedName& entry) {
    for (ListedName** link = &g_names; *link != nullptr; link = &(*link)->next_) {
        if (*link == &entry) {
            *link = entry.next_;
            break;
        }
    }
    entry.next_ = nullptr;
    entry.listed_ = false;
}

NameChange::NameChange() {
    if (g_nameChangeDepth++ == 0) {
        AcquireSRWLockExclusive(&g_namesLock);
    }
}

NameChange::~NameChange() {
    if (--g_nameChangeDepth == 0) {
        ReleaseSRWLockExclusive(&g_namesLock);
    }
}

InterruptsHeld::InterruptsHeld() {
    if (g_holdDepth++ == 0) {
        AcquireSRWLockExclusive(&g_holdLock);
    }
}

InterruptsHeld::~InterruptsHeld() {
    if (--g_holdDepth == 0) {
        ReleaseSRWLockExclusive(&g_holdLock);
    }
}

std::uint64_t RandomBits() {
    unsigned int low = 0;
    unsigned int high = 0;
    if (rand_s(&low) != 0 || rand_s(&high) != 0) {
        LARGE_INTEGER now {};
        QueryPerformanceCounter(&now);
        return static_cast<std::uint64_t>(now.QuadPart) ^ (static_cast<std::uint64_t>(GetCurrentProcessId()) << 40);
    }
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

bool SlotsAreFindable() {
    // A slot's writer holds it open until it is renamed or gone; the next
    // weld removes a slot that it can open sharing nothing.
    return true;
}

FileResult ReadAccessRules(const char*, AccessRules& rules) {
    rules.kept = true;  // read from the old file when the new one is staged
    return FileResult::Done;
}

FileResult ApplyAccessRules(HANDLE, const AccessRules&) {
    return FileResult::Done;
}

namespace {

// Gives `to` the DACL of `from`, so that a replacement lets no one in whom
// the old file kept out (a new file takes its folder's inherited ACEs,
// which may be wider), and its owner where this process may give one (the
// owner's own files, or with the restore privilege). A DACL protected from
// inheritance stays protected; an unprotected one keeps its own ACEs and
// inherits the folder's, as the old file did. A volume without ACLs (FAT)
// reports none: there is nothing to keep. False when the DACL cannot be
// read or given.
bool KeepAccessControl(const char* from, const char* to) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(from, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    bool kept = GetSecurityDescriptorControl(descriptor, &control, &revision) != FALSE;
    char* target = const_cast<char*>(to);  // the call takes a mutable name
    if (kept && dacl != nullptr) {
        const SECURITY_INFORMATION inheritance = (control & SE_DACL_PROTECTED) != 0
                                                     ? PROTECTED_DACL_SECURITY_INFORMATION
                                                     : UNPROTECTED_DACL_SECURITY_INFORMATION;
        kept = SetNamedSecurityInfoA(target, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | inheritance, nullptr,
                                     nullptr, dacl, nullptr) == ERROR_SUCCESS;
    }
    if (kept && owner != nullptr) {
        // Refused for another user's file without the privilege: the DACL
        // alone decides who may read it then.
        SetNamedSecurityInfoA(target, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr, nullptr, nullptr);
    }
    LocalFree(descriptor);
    return kept;
}

}  // namespace

FileResult ApplyAccessRulesByName(const char* name, const char* finalName, const AccessRules&) {
    if (!CopyPermissionBits(finalName, name)) {
        return FileResult::Failed;
    }
    return KeepAccessControl(finalName, name) ? FileResult::Done : FileResult::AccessNotKept;
}

void ReleaseAccessRules(AccessRules& rules) {
    rules = AccessRules{};
}

StepResult CreateAnonymous(const char*, const AccessRules&, HANDLE&) {
    return StepResult::Unsupported;
}

StepResult CreateExclusive(const char* name, const AccessRules&, bool vanishing, HANDLE& handle) {
    // CREATE_NEW never opens what is there, a link included. DELETE access
    // lets the file be marked for deletion while it is written.
    const DWORD share = vanishing ? FILE_SHARE_DELETE : FILE_SHARE_READ | FILE_SHARE_DELETE;
    HANDLE created = CreateFileA(name, GENERIC_WRITE | DELETE, share, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                 nullptr);
    if (created == INVALID_HANDLE_VALUE) {
        return FromError(GetLastError());
    }
    if (vanishing) {
        MarkForDeletion(created, true);
    }
    handle = created;
    return StepResult::Done;
}

bool LockForLife(HANDLE, const char*) {
    return true;  // the writer's open handle is the lock
}

void KeepLock(HANDLE handle, std::intptr_t& held) {
    // A second handle keeps the file open, and so held against removal,
    // from its staging until its rename.
    HANDLE copy = nullptr;
    held = DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)
               ? reinterpret_cast<std::intptr_t>(copy)
               : -1;
}

void DropLock(std::intptr_t& held) {
    if (held != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(held));
    }
    held = -1;
}

void RemoveIfDead(const char* slot) {
    // Opened sharing nothing only when no writer has it open; then deleted
    // as this handle closes. The name itself, never a link's target.
    HANDLE handle = CreateFileA(slot, DELETE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_DELETE_ON_CLOSE | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
    }
}

StepResult NameAnonymous(HANDLE, const char*) {
    return StepResult::Unsupported;
}

bool Persist(HANDLE handle) {
    return MarkForDeletion(handle, false);
}

bool CloseReporting(HANDLE handle) {
    return CloseHandle(handle) != FALSE;
}

StepResult LinkOrCopy(const char* existing, const char* name) {
    // A second name for the file where the volume has them (NTFS), else a
    // copy (FAT): either way the room is taken now, not when it is put back.
    if (CreateHardLinkA(name, existing, nullptr)) {
        return StepResult::Done;
    }
    if (!CopyFileA(existing, name, TRUE)) {
        return FromError(GetLastError());
    }
    // A copy stands in for the old file once that file's name changes: it
    // is on the disk first.
    HANDLE copy = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool flushed = copy != INVALID_HANDLE_VALUE && FlushFileBuffers(copy);
    if (copy != INVALID_HANDLE_VALUE) {
        CloseHandle(copy);
    }
    if (!flushed) {
        DeleteFileA(name);
        return StepResult::Failed;
    }
    return StepResult::Done;
}

StepResult RenameOver(const char* from, const char* to) {
    // A target another program holds is waited for a little. The folder took
    // the new file, so it takes names: a refusal here is the target held,
    // never a reason to write over it in place. Written through: the new
    // name is on the disk when the call returns.
    for (DWORD attempt = 0;; ++attempt) {
        if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
            return StepResult::Done;
        }
        const DWORD error = GetLastError();
        if (!InUse(error)) {
            return StepResult::Failed;
        }
        if (attempt + 1 >= kInUseRetries) {
            return StepResult::InUse;
        }
        Sleep(kInUsePauseMilliseconds);
    }
}

bool RemoveName(const char* name) {
    return DeleteFileA(name) || GetLastError() == ERROR_FILE_NOT_FOUND;
}

void FolderLock::Release() {
    if (lock_ != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(lock_));  // and the lock file goes
        lock_ = -1;
    }
}

FolderLock::Result FolderLock::Acquire(const char* pathInFolder, Mode, std::uint32_t waitMilliseconds) {
    Release();
    // A file in the folder itself, held open sharing nothing and deleted
    // when its handle closes, the process's end included: every run meets
    // it, whatever its session or elevation, and whatever spelling of the
    // folder it came by (another case, a short name, a junction, a subst
    // drive, a network share).
    static constexpr char kLockName[] = ".texweld-lock";
    const std::size_t folderLength = FolderPartLength(pathInFolder);
    char* name = new (std::nothrow) char[folderLength + sizeof kLockName];
    if (name == nullptr) {
        return Result::Busy;
    }
    std::memcpy(name, pathInFolder, folderLength);
    std::memcpy(name + folderLength, kLockName, sizeof kLockName);
    constexpr DWORD kPollMilliseconds = 10;
    Result result = Result::Busy;
    for (DWORD waited = 0;; waited += kPollMilliseconds) {
        HANDLE handle = CreateFileA(name, DELETE | FILE_READ_ATTRIBUTES, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (handle != INVALID_HANDLE_VALUE) {
            lock_ = reinterpret_cast<std::intptr_t>(handle);
            result = Result::Held;
            break;
        }
        const DWORD error = GetLastError();
        if (error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND) {
            result = Result::Missing;
            break;
        }
        // Held by another run, or on its way out as that run lets it go
        // (deleted, not yet gone); a lock file that is not there and cannot
        // be made is a folder this user may not write.
        bool held = error == ERROR_SHARING_VIOLATION;
        if (error == ERROR_ACCESS_DENIED) {
            const bool absent = GetFileAttributesA(name) == INVALID_FILE_ATTRIBUTES &&
                                (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND);
            held = !absent;
        }
        if (!held) {
            result = Result::Unreadable;
            break;
        }
        if (waited >= waitMilliseconds) {
            break;
        }
        Sleep(kPollMilliseconds);
    }
    delete[] name;
    return result;
}
