#include "support/file_access.h"

#include <cstring>
#include <new>

namespace {

// Zeroes the whole block and sets the size to 0; the block stays for reuse.
void EmptyBuffer(ByteBuffer& buffer) {
    if (buffer.data != nullptr) {
        std::memset(buffer.data, 0, buffer.capacity);
    }
    buffer.size = 0;
}

// The size of the file behind `handle`, if it is under 4 GiB.
bool SizeBelow4GiB(HANDLE handle, DWORD& size) {
    DWORD sizeHigh = 0;
    SetLastError(ERROR_SUCCESS);  // a size of 0xFFFFFFFF leaves it untouched
    size = GetFileSize(handle, &sizeHigh);
    if (size == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
        return false;  // the size query itself failed
    }
    return sizeHigh == 0;  // 4 GiB or more cannot be held in 32 bits
}

// Fills `buffer` from an open handle.
bool ReadOpenHandle(HANDLE handle, ByteBuffer& buffer) {
    DWORD size = 0;
    if (!SizeBelow4GiB(handle, size) || !buffer.Reserve(size)) {
        EmptyBuffer(buffer);
        return false;
    }
    buffer.size = size;
    DWORD bytesRead = 0;
    if (size != 0) {
        // One read of exactly the reserved size: never more than the capacity.
        ReadFile(handle, buffer.data, size, &bytesRead, nullptr);
    }
    // What the read did not fill, up to the end of the block, must read as
    // zero; the rest holds the file and is not written twice.
    if (buffer.data != nullptr) {
        std::memset(buffer.data + bytesRead, 0, buffer.capacity - bytesRead);
    }
    return bytesRead == size;
}

}  // namespace

HANDLE OpenFileByMode(const char* path, const char* mode) {
    if (mode == nullptr || mode[0] == '\0') {
        return INVALID_HANDLE_VALUE;
    }
    const bool update = mode[1] == '+';
    DWORD access;
    DWORD share = 0;
    DWORD disposition;
    switch (mode[0]) {
    case 'r':
        access = update ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_READ;
        share = update ? 0 : FILE_SHARE_READ;
        disposition = OPEN_EXISTING;
        break;
    case 'w':
        access = update ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_WRITE;
        disposition = CREATE_ALWAYS;
        break;
    case 'a':
        access = update ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_WRITE;
        disposition = OPEN_ALWAYS;
        break;
    default:
        return INVALID_HANDLE_VALUE;
    }

    HANDLE handle = CreateFileA(path, access, share, nullptr, disposition, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return INVALID_HANDLE_VALUE;
    }
    if (mode[0] == 'a') {
        // The handle is returned even if the move fails.
        SetFilePointer(handle, 0, nullptr, FILE_END);
    }
    return handle;
}

bool ReadHandleIntoBuffer(HANDLE handle, ByteBuffer& buffer) {
    return ReadOpenHandle(handle, buffer);
}

bool ReadFileIntoBuffer(const char* path, ByteBuffer& buffer) {
    HANDLE handle = OpenFileByMode(path, "r");
    if (handle == INVALID_HANDLE_VALUE) {
        EmptyBuffer(buffer);
        return false;
    }
    const bool complete = ReadOpenHandle(handle, buffer);
    CloseHandle(handle);
    return complete;
}

SizedOpen OpenFileOfSize(const char* path, std::uint64_t expectedSize, std::uint32_t room, FileIdentity* identity,
                         HANDLE& handle) {
    handle = OpenFileByMode(path, "r");
    if (handle == INVALID_HANDLE_VALUE) {
        return SizedOpen::CannotRead;
    }
    // The size and the identity come from one query of the open file.
    FileIdentity found;
    std::uint64_t size = 0;
    const bool known = IdentifyOpenFile(handle, found, &size);
    if (identity != nullptr) {
        *identity = known ? found : FileIdentity{};
    }
    SizedOpen result = SizedOpen::Done;
    if (!known || size > UINT32_MAX) {  // 4 GiB or more cannot be held in 32 bits
        result = SizedOpen::CannotRead;
    } else if (size != expectedSize) {
        result = SizedOpen::WrongSize;
    } else if (size > room) {
        result = SizedOpen::DoesNotFit;
    }
    if (result != SizedOpen::Done) {
        CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    return result;
}

namespace {

// Blocks start on a boundary of this many bytes: the page size of every
// system the programs run on. Reads into a block that is not page-aligned
// run several times slower.
constexpr std::uint32_t kPageBytes = 4096;

}  // namespace

BlockCopier::~BlockCopier() {
    delete[] allocation_;
}

bool BlockCopier::Reserve(std::uint32_t totalBytes) {
    delete[] allocation_;
    allocation_ = nullptr;
    block_ = nullptr;
    // A stream that fits in less takes a smaller block, whole pages still.
    const std::uint32_t wanted = totalBytes < kBlockBytes ? totalBytes : kBlockBytes;
    size_ = wanted < kPageBytes ? kPageBytes : (wanted + kPageBytes - 1) / kPageBytes * kPageBytes;
    allocation_ = new (std::nothrow) std::uint8_t[size_ + kPageBytes - 1];
    if (allocation_ == nullptr) {
        size_ = 0;
        return false;
    }
    const auto address = reinterpret_cast<std::uintptr_t>(allocation_);
    block_ = allocation_ + ((kPageBytes - address % kPageBytes) % kPageBytes);
    fill_ = 0;
    return true;
}

void BlockCopier::Start(HANDLE out, bool toDisk) {
    out_ = out;
    fill_ = 0;
    toDisk_ = toDisk;
    copyInSystem_ = true;
    written_ = 0;
}

BlockCopier::Result BlockCopier::WriteIfFull() {
    if (fill_ < size_) {
        return Result::Done;
    }
    return Finish();
}

template <class Fill>
BlockCopier::Result BlockCopier::Stream(std::uint32_t count, Fill fill) {
    if (block_ == nullptr && count > 0) {
        return Result::WriteFailed;  // no block reserved
    }
    while (count > 0) {
        const std::uint32_t step = count < size_ - fill_ ? count : size_ - fill_;
        if (!fill(block_ + fill_, step)) {
            return Result::ReadFailed;
        }
        fill_ += step;
        count -= step;
        if (const Result written = WriteIfFull(); written != Result::Done) {
            return written;
        }
    }
    return Result::Done;
}

BlockCopier::Result BlockCopier::Put(const std::uint8_t* bytes, std::uint32_t count) {
    return Stream(count, [&bytes](std::uint8_t* at, std::uint32_t step) {
        std::memcpy(at, bytes, step);
        bytes += step;
        return true;
    });
}

BlockCopier::Result BlockCopier::PutFile(HANDLE in, std::uint32_t count) {
    const auto read = [in](std::uint8_t* at, std::uint32_t step) {
        DWORD got = 0;
        return ReadFile(in, at, step, &got, nullptr) && got == step;
    };
    // Up to the block's boundary through the block, so that what the system
    // copies lands on the offsets the block's writes would have had.
    if (fill_ > 0 && count > 0) {
        const std::uint32_t head = count < size_ - fill_ ? count : size_ - fill_;
        if (const Result result = Stream(head, read); result != Result::Done) {
            return result;
        }
        count -= head;
    }
    // The system's copy is slower than the block where the two positions
    // sit at different places in their pages (every piece the preamble
    // shifts). Its steps are of the block's size where each goes on to the
    // disk as it is written, and of several blocks otherwise, for fewer calls.
    const DWORD at = count > 0 && copyInSystem_ ? SetFilePointer(in, 0, nullptr, FILE_CURRENT) : 0;
    const bool inStep = at != INVALID_SET_FILE_POINTER && at % kPageBytes == written_ % kPageBytes;
    const std::uint32_t most = toDisk_ ? size_ : kSystemStepBlocks * size_;
    while (count > 0 && copyInSystem_ && inStep && block_ != nullptr) {
        const std::uint32_t step = count < most ? count : most;
        const std::int64_t copied = CopyBetweenFiles(in, out_, step);
        if (copied <= 0) {
            // Declined, or the file ended: the block's read says which.
            copyInSystem_ = copied == 0;
            break;
        }
        Written(static_cast<std::uint32_t>(copied));
        count -= static_cast<std::uint32_t>(copied);
    }
    return Stream(count, read);
}

BlockCopier::Result BlockCopier::PutZeros(std::uint32_t count) {
    return Stream(count, [](std::uint8_t* at, std::uint32_t step) {
        std::memset(at, 0, step);
        return true;
    });
}

BlockCopier::Result BlockCopier::Finish() {
    if (fill_ == 0) {
        return Result::Done;
    }
    DWORD written = 0;
    WriteFile(out_, block_, fill_, &written, nullptr);
    const bool whole = written == fill_;
    if (whole) {
        Written(written);
    }
    fill_ = 0;
    return whole ? Result::Done : Result::WriteFailed;
}

void BlockCopier::Written(std::uint32_t count) {
    if (toDisk_) {
        // These bytes on their way to the disk; the block's worth two blocks
        // back is there by now, and its pages go.
        StartWriteback(out_, written_, count);
        if (written_ >= 2 * std::uint64_t{size_}) {
            FinishWriteback(out_, written_ - 2 * std::uint64_t{size_}, size_);
        }
    }
    written_ += count;
}
