// File-system questions the output writer asks beyond the Win32 file calls:
// what kind of thing a path names and where its links lead, which file an
// open handle or a path is, whether a new name can be made, and how paths
// are separated.
#pragma once

#include "platform/platform_select.h"
#include "platform/win32.h"

#include <cstddef>
#include <cstdint>

enum class PathKind {
    Missing,      // nothing there, or nothing this process can see
    RegularFile,  // a plain file, not reached through a link
    Link,         // a symbolic link (Windows: or a junction), wherever it leads
    Other,        // a folder, device, pipe or anything else
    Unreadable,   // the system could not say (an I/O error, a folder on the
                  // way that may not be searched)
};

// What `path` names, without following a final link.
PathKind GetPathKind(const char* path);

// Whether `path` names a folder, links followed.
bool IsFolder(const char* path);

// Room for the longest path ResolveLinks gives, terminator included.
constexpr std::size_t kLongestResolvedPath = TEXWELD_PLATFORM_WINDOWS ? 32768 : 4096;

// Follows the links that `path` goes through, its final one included, and
// puts the path that a write to `path` lands on into `target` (`targetSize`
// bytes, terminator included). The last name of that path may be missing,
// as for a link to a file not yet made. False when the links loop, run too
// deep, cannot be read, or the result does not fit.
bool ResolveLinks(const char* path, char* target, std::size_t targetSize);

// Which file an open handle or a path is: equal identities are one file,
// whatever names lead to it. POSIX: device and inode; Windows: volume serial
// number and file index.
struct FileIdentity {
    std::uint64_t volume = 0;
    std::uint64_t index = 0;

    bool operator==(const FileIdentity&) const = default;
};

// What a file a run may have left beside a set is to this run, looked at
// without following a final link and without waiting (a pipe, a device).
struct FoundFile {
    enum class Kind {
        Missing,
        RegularFile,
        Other,    // a link, folder, device, pipe or anything else
        Unknown,  // the system could not say, or the file could not be read
    };
    Kind kind = Kind::Missing;
    // Owned by the running user (Windows: by its user, or by the owner its
    // new files get, or on a volume that keeps no owners).
    bool ours = false;
    FileIdentity identity;  // with RegularFile
};

// Looks at `path`; for a regular file, and where `bytes` is given, reads up
// to `room` bytes of it from its start, their count into `got`.
FoundFile ExamineFile(const char* path, std::uint8_t* bytes = nullptr, std::uint32_t room = 0,
                      std::uint32_t* got = nullptr);

// The identity of the file behind `handle`, and where `byteCount` is given
// its size in bytes, both from one query; false when it cannot be read.
bool IdentifyOpenFile(HANDLE handle, FileIdentity& identity, std::uint64_t* byteCount = nullptr);

// The identity of the file `path` leads to, links followed; false when there
// is none.
bool IdentifyPath(const char* path, FileIdentity& identity);

// Whether a file could be created under `path`, which names nothing yet: its
// folder exists and the system can hold the name (its length, its
// characters). Creates nothing that outlives the call.
bool CanCreateName(const char* path);

// How long a replacement waits for another program to let go of a file it
// holds (an indexer, a virus scanner, another run probing it): this many
// tries, this far apart, before the file counts as held.
constexpr DWORD kInUseRetries = 10;
constexpr DWORD kInUsePauseMilliseconds = 50;

// True for the characters that separate folders in a path.
bool IsPathSeparator(char c);

// The separator put between a folder and a name in it.
constexpr char kFolderSeparator = TEXWELD_PLATFORM_WINDOWS != 0 ? '\\' : '/';

// Length of the folder part of `path`, its last separator included.
inline std::size_t FolderPartLength(const char* path) {
    std::size_t length = 0;
    for (std::size_t i = 0; path[i] != '\0'; ++i) {
        if (IsPathSeparator(path[i])) {
            length = i + 1;
        }
    }
    return length;
}

// Gives `to` the permission bits of `from`. True on success, and where the
// platform has no such bits to keep. Windows only.
bool CopyPermissionBits(const char* from, const char* to);

// Whether this process may replace or remove the existing file `path`
// itself: false in a sticky folder (such as /tmp) where neither the file nor
// the folder is this user's and the user is not root. Asked before a set is
// written, so that such a file fails it before anything is made.
bool MayReplaceName(const char* path);

// Puts the names of the folder that holds `path` on the disk: a rename or
// removal in it survives a power loss once this returns true. Windows: the
// file system journals its names itself; nothing to do.
bool FlushFolderOf(const char* path);

// Starts writing the `length` bytes at `offset` of the file behind `handle`
// to the disk without waiting, so that a flush at the end has little left
// to do. Only a hint: nothing happens where the system has no such call.
void StartWriteback(HANDLE handle, std::uint64_t offset, std::uint32_t length);

// Waits until the `length` bytes at `offset` that StartWriteback sent are on
// the disk, then lets their pages in memory go. Only a hint, as above.
void FinishWriteback(HANDLE handle, std::uint64_t offset, std::uint32_t length);

// Copies up to `count` bytes from where `in` stands to where `out` stands
// inside the system, without passing them through this process (a shared
// extent where the file system can make one); both positions move on by
// what was copied. Returns that count (0 where `in` has ended), or -1 where
// nothing was copied because the system will not copy between these two
// (no such call, a device or a pipe, another file system, or a failure it
// does not say the side of): the caller then moves the bytes itself, and
// meets any real failure on its own side.
std::int64_t CopyBetweenFiles(HANDLE in, HANDLE out, std::uint32_t count);
