// File-system questions the output writer asks beyond the Win32 file calls:
// what kind of thing a path names, how paths are separated, and how a
// replacement file takes over the permission bits of the file it replaces.
#pragma once

#include <cstdint>

enum class PathKind {
    Missing,      // nothing there, or nothing this process can see
    RegularFile,  // a plain file, not reached through a link
    Other,        // a folder, device, pipe, link or anything else
};

// What `path` names, without following a final link.
PathKind GetPathKind(const char* path);

// True for the characters that separate folders in a path.
bool IsPathSeparator(char c);

// Gives `to` the permission bits of `from`. True on success, and where the
// platform has no such bits to keep.
bool CopyPermissionBits(const char* from, const char* to);

// A number that tells this process apart from others running now.
std::uint32_t CurrentProcessId();

// Makes a failed or oversized write come back as an error instead of a
// signal that ends the process half-way through writing a file.
void ReportWriteErrorsInsteadOfSignals();
