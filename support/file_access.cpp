#include "support/file_access.h"

#include "platform/memory_hints.h"

#include <cstring>

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
        // The read fills the block from end to end: map its pages in at once
        // rather than one fault at a time.
        AdviseLargeBlock(buffer.data, size);
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

PlacedRead ReadFileIntoPlace(const char* path, std::uint64_t expectedSize, std::uint8_t* destination,
                             std::uint32_t room, FileIdentity* identity) {
    HANDLE handle = OpenFileByMode(path, "r");
    if (handle == INVALID_HANDLE_VALUE) {
        return PlacedRead::CannotRead;
    }
    // The size and the identity come from one query of the open file.
    FileIdentity found;
    std::uint64_t size = 0;
    const bool known = IdentifyOpenFile(handle, found, &size);
    if (identity != nullptr) {
        *identity = known ? found : FileIdentity{};
    }
    PlacedRead result = PlacedRead::Done;
    if (!known || size > UINT32_MAX) {  // 4 GiB or more cannot be held in 32 bits
        result = PlacedRead::CannotRead;
    } else if (size != expectedSize) {
        result = PlacedRead::WrongSize;
    } else if (size > room) {
        result = PlacedRead::DoesNotFit;
    } else if (size != 0) {
        AdviseLargeBlock(destination, size);
        DWORD bytesRead = 0;
        ReadFile(handle, destination, static_cast<DWORD>(size), &bytesRead, nullptr);
        if (bytesRead != size) {
            result = PlacedRead::CannotRead;
        }
    }
    CloseHandle(handle);
    return result;
}
