// Pending files on Windows: created under an exclusive random name and
// marked for deletion while they are written, so that a process that dies
// before the commit takes its file with it; console interrupts remove them.
#define _CRT_RAND_S  // rand_s, from the runtime's stdlib.h
#include <stdlib.h>

#include "platform/pending_file.h"

#include "platform/temporary_name.h"

#include "platform/file_system.h"

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

constexpr int kNameAttempts = 16;

BOOL WINAPI OnConsoleControl(DWORD) {
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


// Writes a fresh random name into `name`, which holds the folder part
// already and has room for the rest.
void WriteRandomName(char* name, std::size_t folderLength) {
    WriteTemporaryName(name, folderLength, RandomBits());
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

PendingFile::Result PendingFile::Create(const char* finalName, const char* replaced) {
    Discard();
    replacing_ = replaced != nullptr;
    std::size_t folderLength = 0;
    char* name = NewTemporaryNameBlock(finalName, folderLength);
    if (name == nullptr) {
        return Result::Failed;
    }
    temporaryName_ = name;
    PendingFileList::Add(*this);

    DWORD error = ERROR_SUCCESS;
    for (int attempt = 0; attempt < kNameAttempts; ++attempt) {
        WriteRandomName(name, folderLength);
        // CREATE_NEW never opens what is there, a link included. DELETE
        // access lets the file be marked for deletion while it is written.
        handle_ = CreateFileA(name, GENERIC_WRITE | DELETE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle_ != INVALID_HANDLE_VALUE) {
            vanishesOnClose_ = MarkForDeletion(handle_, true);
            return Result::Done;
        }
        error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
            break;
        }
    }
    name[0] = '\0';
    Discard();
    return error == ERROR_ACCESS_DENIED ? Result::FolderRefuses : Result::Failed;
}

PendingFile::Result PendingFile::Commit(const char* finalName) {
    if (handle_ == INVALID_HANDLE_VALUE || temporaryName_ == nullptr) {
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
    if (!MoveFileExA(temporaryName_, finalName, MOVEFILE_REPLACE_EXISTING)) {
        const Result result = GetLastError() == ERROR_ACCESS_DENIED ? Result::FolderRefuses : Result::Failed;
        Discard();
        return result;
    }
    temporaryName_[0] = '\0';
    Discard();
    return Result::Done;
}

void PendingFile::Discard() {
    char* name = temporaryName_;
    if (handle_ != INVALID_HANDLE_VALUE) {
        CloseHandle(handle_);  // a file marked for deletion goes now
        handle_ = INVALID_HANDLE_VALUE;
    }
    if (name != nullptr && name[0] != '\0' && !vanishesOnClose_) {
        DeleteFileA(name);
    }
    vanishesOnClose_ = false;
    if (listed_) {
        PendingFileList::Remove(*this);
    }
    temporaryName_ = nullptr;
    delete[] name;
}
