#include "support/string_buffer.h"

#include <climits>
#include <cstdarg>
#include <cstring>

namespace {

// The string buffers' shared empty string. Only 0 is ever stored into it.
char g_sharedEmpty[1] = {'\0'};

// Measures `text` as a size with its terminator, or -1 when that does not fit
// in a signed 32-bit count.
std::int32_t SizeWithTerminator(const char* text) {
    const std::size_t characters = std::strlen(text);
    if (characters >= static_cast<std::size_t>(INT32_MAX)) {
        return -1;
    }
    return static_cast<std::int32_t>(characters + 1);
}

}  // namespace

char* CStringBufferA::SharedEmpty() {
    return g_sharedEmpty;
}

CStringBufferA::CStringBufferA() : data(SharedEmpty()), capacity(0), length(0) {}

CStringBufferA::~CStringBufferA() {
    if (HoldsHeapBlock()) {
        AllocHooks.release(data);
    }
    data = SharedEmpty();
    capacity = 0;
    length = 0;
}

void CStringBufferA::Reserve(std::int32_t size) {
    if (size <= capacity) {
        return;
    }
    // Whole multiples of 256 bytes, rounded in 64 bits so that a size near
    // the 32-bit limit fails instead of wrapping.
    const std::int64_t rounded = ((static_cast<std::int64_t>(size) + 255) / 256) * 256;
    if (rounded > INT32_MAX) {
        return;
    }
    const auto newCapacity = static_cast<std::int32_t>(rounded);
    auto* block = static_cast<char*>(AllocHooks.allocate(static_cast<std::uint32_t>(newCapacity)));
    if (block == nullptr) {
        return;  // the buffer stays as it was
    }
    if (HoldsHeapBlock()) {
        strcpy_s(block, static_cast<std::size_t>(newCapacity), data);
        AllocHooks.release(data);
    } else {
        block[0] = '\0';
    }
    capacity = newCapacity;
    data = block;
}

void CStringBufferA::Clear(bool releaseStorage) {
    if (releaseStorage) {
        if (HoldsHeapBlock()) {
            AllocHooks.release(data);
        }
        data = SharedEmpty();
        capacity = 0;
        length = 0;
        return;
    }
    if (data != nullptr) {
        data[0] = '\0';
    }
    length = 0;
}

bool CStringBufferA::HasRoom(std::int32_t size) {
    if (data == nullptr || size < 1 || capacity < size) {
        Clear(false);
        return false;
    }
    return true;
}

void CStringBufferA::Assign(const char* text) {
    if (text == nullptr) {
        Clear(false);
        return;
    }
    const std::int32_t size = SizeWithTerminator(text);
    if (size < 0) {
        Clear(false);
        return;
    }
    Reserve(size);
    if (!HasRoom(size)) {
        return;
    }
    length = size - 1;
    strcpy_s(data, static_cast<std::size_t>(size), text);
}

const char* CStringBufferA::GetString() const {
    return data != nullptr ? data : SharedEmpty();
}

std::int32_t CStringBufferA::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int characters = _vscprintf(format, args);
    va_end(args);
    if (characters <= 0 || characters == INT_MAX) {
        // Empty, a formatting error, or a text whose size would not fit.
        Clear(false);
        return length;
    }

    const std::int32_t size = characters + 1;
    Reserve(size);
    if (!HasRoom(size)) {
        return 0;
    }
    va_start(args, format);
    const int written = vsprintf_s(data, static_cast<std::size_t>(size), format, args);
    va_end(args);
    if (written != characters) {
        // The arguments formatted differently the second time round.
        Clear(false);
        return 0;
    }
    length = characters;
    return length;
}

CStringBufferA& CStringBufferA::Right(CStringBufferA& destination, std::int32_t count) const {
    const char* text = GetString();
    const std::size_t characters = std::strlen(text);
    if (characters == 0) {
        destination.Assign("");
        return destination;
    }
    const std::size_t wanted = count < 0 ? 0 : static_cast<std::size_t>(count);
    const std::size_t kept = wanted < characters ? wanted : characters;
    destination.Assign(text + (characters - kept));
    return destination;
}

CStringBufferA& CStringBufferA::Left(CStringBufferA& destination, std::int32_t count) const {
    const char* text = GetString();
    const std::size_t characters = std::strlen(text);
    if (count < 0 || characters == 0) {
        destination.Assign("");
        return destination;
    }
    const std::size_t wanted = static_cast<std::size_t>(count);
    const std::size_t kept = wanted < characters ? wanted : characters;
    // Precision is an int; a text longer than that cannot be a buffer's text.
    destination.Format("%.*s", static_cast<int>(kept), text);
    return destination;
}
