// Pending files on Windows: created under an exclusive random name and
// marked for deletion while they are written, so that a process that dies
// before the commit takes its file with it; console interrupts remove them.
#define _CRT_RAND_S  // rand_s, from the runtime's stdlib.h
#include <stdlib.h>

#include "platform/pending_file.h"

#include "platform/temporary_name.h"

#include "platform/file_system.h"

#include <cstdio>
#include <cstring>
#include <new>

// The process-wide list of pending files, changed under one lock that the
// console handler takes too (it runs on a thread of its own).
struct PendingFileList {
    static PendingFile* head;
    static SRWLOCK lock;

    static void Add(PendingFile& file) {
        AcquireSRWLockExclusive(&lock);
        file.next = head;
        head = &file;
        file.listed_ = true;
        ReleaseSRWLockExclusive(&lock);
    }
    static void Remove(PendingFile& file) {
        AcquireSRWLockExclusive(&lock);
        for (PendingFile** link = &head; *link != nullptr; link = &(*link)->next) {
            if (*link == &file) {
                *link = file.next;
                break;
            }
        }
        file.next = nullptr;
        file.listed_ = false;
        ReleaseSRWLockExclusive(&lock);
    }
    // Takes the lock for good: the process ends right after.
    static void RemoveEveryName() {
        AcquireSRWLockExclusive(&lock);
        for (PendingFile* file = head; file != nullptr; file = file->next) {
            if (file->temporaryName_ != nullptr && file->temporaryName_[0] != '\0') {
                // A file still marked for deletion refuses this and goes when
                // the process closes its handle.
                DeleteFileA(file->temporaryName_);
            }
        }
    }
};

PendingFile* PendingFileList::head = nullptr;
SRWLOCK PendingFileList::lock = SRWLOCK_INIT;

namespace {

// Held by the main thread while names change together (InterruptsHeld);
// the console handler takes it before removing anything, and so waits.
SRWLOCK g_holdLock = SRWLOCK_INIT;
int g_holdDepth = 0;

}  // namespace

namespace {

constexpr std::size_t kNameAttempts = 16;

BOOL WINAPI OnConsoleControl(DWORD) {
    // Kept for good: the process ends right after.
    AcquireSRWLockExclusive(&g_holdLock);
    PendingFileList::RemoveEveryName();
    return FALSE;  // on to the default handler, which ends the process
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

bool InUse(DWORD error) {
    return error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION;
}

// MoveFileExA over an existing name, waiting a little while the target is
// in use. Leaves the last error as the final attempt did.
bool MoveReplacing(const char* from, const char* to) {
    for (DWORD attempt = 0;; ++attempt) {
        if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) {
            return true;
        }
        const DWORD error = GetLastError();
        if (!InUse(error) || attempt + 1 >= kInUseRetries) {
            return false;
        }
        Sleep(kInUsePauseMilliseconds);
        SetLastError(error);
    }
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

PendingFile::PendingFile() = default;

PendingFile::~PendingFile() {
    Discard();
}

PendingFile::Result PendingFile::Create(const char* finalName, const char* replaced, const char* stagedName) {
    std::size_t folderLength = 0;
    char* name = StartAnew(finalName, stagedName, folderLength);
    if (name == nullptr) {
        return Result::Failed;
    }
    replacing_ = replaced != nullptr;
    name[0] = '\0';
    temporaryName_ = name;
    PendingFileList::Add(*this);

    DWORD error = ERROR_SUCCESS;
    for (std::size_t attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::memcpy(name, finalName, folderLength);
        WriteNameOrRandom(name, folderLength, stagedName, stagedName != nullptr ? 0 : RandomBits());
        // CREATE_NEW never opens what is there, a link included. DELETE
        // access lets the file be marked for deletion while it is written.
        handle_ = CreateFileA(name, GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ != INVALID_HANDLE_VALUE) {
            vanishesOnClose_ = MarkForDeletion(handle_, true);
            return Result::Done;
        }
        error = GetLastError();
        if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || !MayTryAgain(name, attempt)) {
            break;
        }
    }
    name[0] = '\0';
    Discard();
    return error == ERROR_ACCESS_DENIED ? Result::FolderRefuses : Result::Failed;
}

PendingFile::Result PendingFile::CreateFindable(const char* finalName, const char* replaced) {
    return Create(finalName, replaced);
}

PendingFile::Result PendingFile::CreateNamed(const char* name) {
    std::size_t folderLength = 0;
    char* block = StartAnew(name, name, folderLength);
    if (block == nullptr) {
        return Result::Failed;
    }
    std::memcpy(block, name, std::strlen(name) + 1);
    temporaryName_ = block;
    PendingFileList::Add(*this);
    DWORD error = ERROR_SUCCESS;
    for (std::size_t attempt = 0; attempt < kNameAttempts; ++attempt) {
        handle_ = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ != INVALID_HANDLE_VALUE) {
            return Result::Done;
        }
        error = GetLastError();
        if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || !MayTryAgain(name, attempt)) {
            break;
        }
    }
    block[0] = '\0';
    Discard();
    return error == ERROR_ACCESS_DENIED ? Result::FolderRefuses : Result::Failed;
}

PendingFile::Result PendingFile::Stage(const char* finalName) {
    if (handle_ == INVALID_HANDLE_VALUE && temporaryName_ != nullptr && temporaryName_[0] != '\0') {
        return Result::Done;  // staged already
    }
    if (handle_ == INVALID_HANDLE_VALUE || temporaryName_ == nullptr) {
        return Result::Failed;
    }
    // A replacement's bytes reach the disk before it can take the old
    // file's name.
    if (replacing_ && !FlushFileBuffers(handle_)) {
        Discard();
        return Result::Failed;
    }
    if (vanishesOnClose_) {
        if (!MarkForDeletion(handle_, false)) {
            Discard();
            return Result::Failed;
        }
        vanishesOnClose_ = false;
    }
    HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    if (!CloseHandle(handle) || (replacing_ && !CopyPermissionBits(finalName, temporaryName_))) {
        Discard();
        return Result::Failed;
    }
    return Result::Done;
}

PendingFile::Result PendingFile::Rename(const char* finalName) {
    char* name = temporaryName_;
    if (name == nullptr || name[0] == '\0') {
        return Result::Failed;
    }
    if (!MoveReplacing(name, finalName)) {
        // The folder took the pending file, so it takes names: a refusal here
        // is the target held by another program, never a reason to write
        // over it in place.
        return InUse(GetLastError()) ? Result::InUse : Result::Failed;
    }
    name[0] = '\0';
    Discard();
    return Result::Done;
}

PendingFile::Result PendingFile::KeepBackupOf(const char* existing, const char* keptName) {
    std::size_t folderLength = 0;
    char* name = StartAnew(existing, keptName, folderLength);
    if (name == nullptr) {
        return Result::Failed;
    }
    name[0] = '\0';
    temporaryName_ = name;
    PendingFileList::Add(*this);
    for (std::size_t attempt = 0; attempt < kNameAttempts; ++attempt) {
        std::memcpy(name, existing, folderLength);
        WriteNameOrRandom(name, folderLength, keptName, keptName != nullptr ? 0 : RandomBits());
        // A second name for the file where the volume has them (NTFS), else
        // a copy (FAT): either way the room is taken now, not when it is put
        // back.
        if (CreateHardLinkA(name, existing, nullptr) || CopyFileA(existing, name, TRUE)) {
            return Result::Done;
        }
        const DWORD error = GetLastError();
        if ((error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) || !MayTryAgain(name, attempt)) {
            break;
        }
    }
    name[0] = '\0';
    Discard();
    return Result::Failed;
}

void PendingFile::Discard() {
    Remove();
}

bool PendingFile::Remove() {
    char* name = temporaryName_;
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);  // a file marked for deletion goes now
        handle_ = INVALID_HANDLE_VALUE;
    }
    const bool removed = name == nullptr || name[0] == '\0' || vanishesOnClose_ || DeleteFileA(name) ||
                         GetLastError() == ERROR_FILE_NOT_FOUND;
    vanishesOnClose_ = false;
    if (listed_) {
        PendingFileList::Remove(*this);
    }
    temporaryName_ = nullptr;
    fixedName_ = nullptr;
    delete[] name;
    return removed;
}

void PendingFile::Leave() {
    if (temporaryName_ != nullptr) {
        temporaryName_[0] = '\0';
    }
    Discard();
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

void FolderLock::Release() {
    if (lock_ != -1) {
        HANDLE mutex = reinterpret_cast<HANDLE>(lock_);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        lock_ = -1;
    }
}

FolderLock::Result FolderLock::Acquire(const char* pathInFolder, Mode, std::uint32_t waitMilliseconds) {
    Release();
    std::size_t folderLength = 0;
    char* folder = NewTemporaryNameBlock(pathInFolder, folderLength);
    if (folder == nullptr) {
        return Result::Busy;
    }
    // The folder's full path names the lock, letter case folded as the file
    // system folds it, so that every spelling of the folder meets one lock.
    char full[MAX_PATH * 4];
    const DWORD length = GetFullPathNameA(folderLength == 0 ? "." : folder, sizeof full, full, nullptr);
    delete[] folder;
    if (length == 0 || length >= sizeof full) {
        return Result::Missing;
    }
    const DWORD attributes = GetFileAttributesA(full);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        return Result::Missing;
    }
    std::uint64_t hash = 0xcbf29ce484222325u;  // FNV-1a
    DWORD end = length;
    while (end > 0 && IsPathSeparator(full[end - 1])) {
        --end;
    }
    for (DWORD i = 0; i < end; ++i) {
        char c = full[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3u;
    }
    char name[64];
    std::snprintf(name, sizeof name, "Local\\texweld-set-%016llx", static_cast<unsigned long long>(hash));
    HANDLE mutex = CreateMutexA(nullptr, FALSE, name);
    if (mutex == nullptr) {
        return Result::NoLocks;
    }
    const DWORD waited = WaitForSingleObject(mutex, waitMilliseconds);
    if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
        lock_ = reinterpret_cast<std::intptr_t>(mutex);
        return Result::Held;
    }
    CloseHandle(mutex);
    return Result::Busy;
}
