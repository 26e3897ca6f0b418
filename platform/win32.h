// The subset of the Win32 API that Texweld uses.
//
// On Windows these are the platform's own declarations. Elsewhere the
// project supplies the same names, types, results and failure values over
// POSIX (win32_posix.cpp), so the rest of the code is written once against
// one API and contains no platform conditionals.
//
// Behaviour of the POSIX layer, where Win32 has no direct counterpart:
//  - A HANDLE wraps a file descriptor. INVALID_HANDLE_VALUE (all bits set)
//    is the failure value of CreateFileA, as on Windows.
//  - Sharing between processes is emulated with advisory flock() locks taken
//    without waiting, on regular files only: an open that grants only read
//    access and lets others read (FILE_SHARE_READ) takes a shared lock,
//    every other open an exclusive one. A conflict fails the open with
//    ERROR_SHARING_VIOLATION. Where the file system has no locks, files open
//    without them; devices and pipes always do.
//  - CREATE_ALWAYS truncates only once the lock is held, so a file that
//    another opener holds is never emptied behind its back.
//  - Opening a directory fails (ERROR_ACCESS_DENIED), as CreateFileA does
//    without FILE_FLAG_BACKUP_SEMANTICS.
//  - Opening never waits: a pipe with no reader fails to open for writing
//    (ERROR_FILE_NOT_FOUND) instead of blocking until one comes.
//  - ReadFile and WriteFile move the whole count unless end of file or an
//    error stops them; they retry interrupted and partial transfers and
//    report the count actually moved.
//  - Errors are kept per thread for GetLastError, mapped to the Win32 codes
//    below.
#pragma once

#include "platform/platform_select.h"

#if TEXWELD_PLATFORM_WINDOWS
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else

#include <cstdint>

using BOOL = int;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using PLONG = LONG*;
using LPDWORD = DWORD*;
using LPVOID = void*;
using LPCVOID = const void*;
using LPCSTR = const char*;
using HANDLE = void*;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;
struct OVERLAPPED;
using LPOVERLAPPED = OVERLAPPED*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(~static_cast<std::uintptr_t>(0)))

// Desired access.
constexpr DWORD GENERIC_READ = 0x80000000u;
constexpr DWORD GENERIC_WRITE = 0x40000000u;

// Share mode.
constexpr DWORD FILE_SHARE_READ = 0x00000001u;
constexpr DWORD FILE_SHARE_WRITE = 0x00000002u;

// Creation disposition.
constexpr DWORD CREATE_NEW = 1;
constexpr DWORD CREATE_ALWAYS = 2;
constexpr DWORD OPEN_EXISTING = 3;
constexpr DWORD OPEN_ALWAYS = 4;
constexpr DWORD TRUNCATE_EXISTING = 5;

// SetFilePointer move methods and failure value.
constexpr DWORD FILE_BEGIN = 0;
constexpr DWORD FILE_CURRENT = 1;
constexpr DWORD FILE_END = 2;
constexpr DWORD INVALID_SET_FILE_POINTER = 0xFFFFFFFFu;

// GetFileSize failure value (ambiguous with a real size; see GetLastError).
constexpr DWORD INVALID_FILE_SIZE = 0xFFFFFFFFu;

// MoveFileExA flags.
constexpr DWORD MOVEFILE_REPLACE_EXISTING = 0x1u;
constexpr DWORD MOVEFILE_WRITE_THROUGH = 0x8u;

// Error codes reported through GetLastError.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_PATH_NOT_FOUND = 3;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_HANDLE_DISK_FULL = 39;
constexpr DWORD ERROR_FILE_EXISTS = 80;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DISK_FULL = 112;
constexpr DWORD ERROR_INVALID_NAME = 123;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_FILENAME_EXCED_RANGE = 206;

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES securityAttributes, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
DWORD GetFileSize(HANDLE file, LPDWORD fileSizeHigh);
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD bytesToRead, LPDWORD bytesRead,
              LPOVERLAPPED overlapped);
BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD bytesToWrite, LPDWORD bytesWritten,
               LPOVERLAPPED overlapped);
DWORD SetFilePointer(HANDLE file, LONG distanceToMove, PLONG distanceToMoveHigh,
                     DWORD moveMethod);
BOOL CloseHandle(HANDLE object);
// Waits until the file's bytes are on the disk (fdatasync).
BOOL FlushFileBuffers(HANDLE file);
BOOL MoveFileExA(LPCSTR existingFileName, LPCSTR newFileName, DWORD flags);
BOOL DeleteFileA(LPCSTR fileName);
void Sleep(DWORD milliseconds);
DWORD GetLastError();
void SetLastError(DWORD errorCode);

// Critical sections (win32_sync_posix.cpp): a recursive mutex that its owner
// may enter again, held until left as often as entered. The struct is plain
// data, so it may sit in zeroed static storage until initialised. Misuse that
// Win32 leaves undefined (using a section that is not initialised or already
// deleted, leaving one the thread does not hold, deleting one still held)
// ends the process instead of corrupting state.
#include <pthread.h>

struct CRITICAL_SECTION {
    pthread_mutex_t mutex;
    DWORD live;  // a fixed tag between initialisation and deletion, else 0
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

void InitializeCriticalSection(LPCRITICAL_SECTION section);
void EnterCriticalSection(LPCRITICAL_SECTION section);
void LeaveCriticalSection(LPCRITICAL_SECTION section);
void DeleteCriticalSection(LPCRITICAL_SECTION section);

#endif
