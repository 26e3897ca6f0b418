// File access by mode string, and whole-file reads into a ByteBuffer.
//
// What a user may rely on:
//  - Failures are reported by results only (INVALID_HANDLE_VALUE, false);
//    nothing is printed.
//  - The caller owns every valid handle OpenFileByMode returns and closes it
//    with CloseHandle.
//  - After a successful read the buffer's size is the file's size, its data
//    holds the file's bytes and every byte of its block after them is zero.
//    A buffer that already has room is reused without allocation.
#pragma once

#include "platform/file_system.h"
#include "platform/win32.h"
#include "support/byte_buffer.h"

#include <cstdint>

// Opens `path` by a mode string, of which only the first two characters count:
//
//   mode   access          sharing            file
//   "r"    read            others may read    must exist
//   "r+"   read and write  none               must exist
//   "w"    write           none               created or truncated
//   "w+"   read and write  none               created or truncated
//   "a"    write           none               created if missing; positioned at its end
//   "a+"   read and write  none               created if missing; positioned at its end
//
// A "+" counts only in the second position. Any other first character, or an
// empty mode, returns INVALID_HANDLE_VALUE without touching the file system.
HANDLE OpenFileByMode(const char* path, const char* mode);

// Reads the whole file behind `handle` (open with read access, positioned at
// its start) into `buffer`. The handle stays open on every path. False when
// the file is 4 GiB or larger, its size cannot be read, the buffer cannot
// grow or the read delivers fewer bytes than the size; the buffer's size then
// still says how many bytes were asked for and the bytes not read are zero.
// Only bytes that must read as zero are written as zero: from where the read
// stopped to the end of the block.
bool ReadHandleIntoBuffer(HANDLE handle, ByteBuffer& buffer);

// Opens `path` with mode "r" and reads it whole into `buffer`. The buffer is
// emptied first, so a file that cannot be opened leaves it empty. No handle
// outlives the call.
bool ReadFileIntoBuffer(const char* path, ByteBuffer& buffer);

enum class PlacedRead {
    Done,          // the whole file is at `destination`
    CannotRead,    // missing, unreadable, 4 GiB or more, or a short read
    WrongSize,     // its size is not the one expected; nothing was read
    DoesNotFit,    // the expected size is more than `room`; nothing was read
};

// Opens `path` with mode "r" and, when the file's size is exactly
// `expectedSize` and that fits in the `room` bytes at `destination`, reads it
// there with one call. No buffer of its own: the bytes land where they
// belong. An `expectedSize` of 2^32 or more matches no file. When `identity`
// is not null and the file could be opened, it receives the file's identity
// (all zero when it cannot be read).
// No handle outlives the call.
PlacedRead ReadFileIntoPlace(const char* path, std::uint64_t expectedSize, std::uint8_t* destination,
                             std::uint32_t room, FileIdentity* identity);
