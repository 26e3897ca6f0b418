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

// Fills `buffer` from an open handle; the buffer is already empty.
bool ReadOpenHandle(HANDLE handle, ByteBuffer& buffer) {
    DWORD sizeHigh = 0;
    SetLastError(ERROR_SUCCESS);  // a size of 0xFFFFFFFF leaves it untouched
    const DWORD size = GetFileSize(handle, &sizeHigh);
    if (size == INVALID_FILE_SIZE && GetLastError() != ERROR_SUCCESS) {
        return false;  // the size query itself failed
    }
    if (sizeHigh != 0) {
        return false;  // 4 GiB or more: cannot be held in a 32-bit buffer
    }
    if (!buffer.Reserve(size)) {
        return false;
    }
    buffer.size = size;
    if (size == 0) {
        return true;
    }
    // The read fills the block from end to end: map its pages in at once
    // rather than one fault at a time.
    AdviseLargeBlock(buffer.data, size);
    // One read of exactly the reserved size: never more than the capacity.
    DWORD bytesRead = 0;
    ReadFile(handle, buffer.data, size, &bytesRead, nullptr);
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
    EmptyBuffer(buffer);
    return ReadOpenHandle(handle, buffer);
}

bool ReadFileIntoBuffer(const char* path, ByteBuffer& buffer) {
    EmptyBuffer(buffer);
    HANDLE handle = OpenFileByMode(path, "r");
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    const bool complete = ReadOpenHandle(handle, buffer);
    CloseHandle(handle);
    return complete;
}
