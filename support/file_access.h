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

enum class SizedOpen {
    Done,          // open, of exactly the expected size, and it fits
    CannotRead,    // missing, unreadable, or 4 GiB or more
    WrongSize,     // its size is not the one expected
    DoesNotFit,    // the expected size is more than `room`
};

// Opens `path` with mode "r" and checks, from one query of the open file,
// that its size is exactly `expectedSize` and that this fits in `room`
// bytes. On Done, `handle` is the open file at its start, for the caller to
// read and close, so that the file checked is the file read; otherwise no
// handle outlives the call. An `expectedSize` of 2^32 or more matches no
// file. When `identity` is not null and the file could be opened, it
// receives the file's identity (all zero when it cannot be read).
SizedOpen OpenFileOfSize(const char* path, std::uint64_t expectedSize, std::uint32_t room, FileIdentity* identity,
                         HANDLE& handle);

// Sends a stream of pieces (bytes in memory, bytes read from open files,
// zeros) to one handle through a single block of memory.
//
//  - The block starts on a page boundary and is reused for every piece. It
//    is filled across the pieces' boundaries, so every write but the last is
//    the whole block (until the system copies, at an offset that is a
//    multiple of its size).
//  - Where the system copies between the two files itself, a file's bytes
//    past the next block boundary go from file to file without passing
//    through the block (the same offsets, one copy of the bytes fewer), when
//    both files stand at the same place in a page: a block at a time where
//    each goes on to the disk as it is written, several otherwise. Where the
//    system will not, for the rest of the stream, the block carries them,
//    and any failure is met on its own side.
//  - Reads and writes move their whole count unless a file ends early or a
//    call fails; a file that delivers fewer bytes than asked is a failed
//    read, and nothing after it is written.
//  - The block comes through AllocHooks (global new) and goes back when the
//    copier is destroyed.
class BlockCopier {
public:
    enum class Result {
        Done,
        ReadFailed,   // an input file ended early or could not be read
        WriteFailed,  // the output took fewer bytes than it was given
    };

    // The block's size: large enough that a call moves much at once, small
    // enough to stay in the processor's caches.
    static constexpr std::uint32_t kBlockBytes = std::uint32_t{1} << 20;

    // The most blocks' worth one copy inside the system moves at once.
    static constexpr std::uint32_t kSystemStepBlocks = 8;

    BlockCopier() = default;
    ~BlockCopier();
    BlockCopier(const BlockCopier&) = delete;
    BlockCopier& operator=(const BlockCopier&) = delete;

    // Obtains the block, no larger than a stream of `totalBytes` needs (and
    // never more than kBlockBytes). False when memory runs out.
    bool Reserve(std::uint32_t totalBytes);

    // Starts a stream to `out` with an empty block. With `toDisk`, each
    // block is sent on to the disk as it is written, and its pages let go
    // once there: a file that must be flushed before it replaces another
    // then takes neither a long final flush nor fresh memory for its size.
    void Start(HANDLE out, bool toDisk = false);

    // Appends `count` bytes from memory.
    Result Put(const std::uint8_t* bytes, std::uint32_t count);

    // Appends exactly `count` bytes read from `in`, from where it stands.
    Result PutFile(HANDLE in, std::uint32_t count);

    // Appends `count` zero bytes.
    Result PutZeros(std::uint32_t count);

    // Writes what the block still holds; the stream is then complete.
    Result Finish();

private:
    // Writes the block once it is full.
    Result WriteIfFull();

    // Notes `count` more bytes of the stream as written, and with toDisk_
    // sends them on their way to the disk.
    void Written(std::uint32_t count);

    // Appends `count` bytes, each step's worth put into the block by
    // `fill(at, step)`, which says false when it could not read them.
    template <class Fill>
    Result Stream(std::uint32_t count, Fill fill);

    std::uint8_t* allocation_ = nullptr;  // as obtained, for release
    std::uint8_t* block_ = nullptr;       // page-aligned inside it
    std::uint32_t size_ = 0;
    std::uint32_t fill_ = 0;
    HANDLE out_ = INVALID_HANDLE_VALUE;
    bool toDisk_ = false;
    bool copyInSystem_ = true;   // until the system declines a copy
    std::uint64_t written_ = 0;  // bytes of the stream written so far
};
