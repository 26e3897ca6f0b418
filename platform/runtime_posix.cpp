// The Microsoft runtime's bounded string routines over the C library.
#include "platform/runtime.h"

#include <cerrno>
#include <climits>

errno_t strcpy_s(char* dest, std::size_t destSize, const char* src) {
    if (dest == nullptr || destSize == 0) {
        return EINVAL;
    }
    if (src == nullptr) {
        dest[0] = '\0';
        return EINVAL;
    }
    const std::size_t length = std::strlen(src);
    if (length >= destSize) {
        dest[0] = '\0';
        return ERANGE;
    }
    std::memcpy(dest, src, length + 1);
    return 0;
}

errno_t memcpy_s(void* dest, std::size_t destSize, const void* src, std::size_t count) {
    if (count == 0) {
        return 0;
    }
    if (dest == nullptr) {
        return EINVAL;
    }
    if (src == nullptr) {
        std::memset(dest, 0, destSize);
        return EINVAL;
    }
    if (count > destSize) {
        std::memset(dest, 0, destSize);
        return ERANGE;
    }
    std::memcpy(dest, src, count);
    return 0;
}

int _vscprintf(const char* format, va_list args) {
    if (format == nullptr) {
        return -1;
    }
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    return length;
}

int vsprintf_s(char* buffer, std::size_t size, const char* format, va_list args) {
    if (buffer == nullptr || size == 0) {
        return -1;
    }
    if (format == nullptr) {
        buffer[0] = '\0';
        return -1;
    }
    va_list copy;
    va_copy(copy, args);
    const int length = std::vsnprintf(buffer, size, format, copy);
    va_end(copy);
    if (length < 0 || static_cast<std::size_t>(length) >= size) {
        buffer[0] = '\0';
        return -1;
    }
    return length;
}

int _stricmp(const char* a, const char* b) {
    const auto lower = [](unsigned char c) -> int {
        return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
    };
    const auto* left = reinterpret_cast<const unsigned char*>(a);
    const auto* right = reinterpret_cast<const unsigned char*>(b);
    for (;; ++left, ++right) {
        const int difference = lower(*left) - lower(*right);
        if (difference != 0 || *left == '\0') {
            return difference;
        }
    }
}
