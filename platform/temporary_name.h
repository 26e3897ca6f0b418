// The names staged and kept files take beside their final name, when the
// caller gives none; for platform/ only.
//
// A random name is the final name's folder part, ".texweld-", 16
// hexadecimal digits of a random number and ".tmp"; a slot is
// <folder>.<name>.texweld-<k>.tmp.
#pragma once

#include "platform/file_system.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>

constexpr char kTemporaryNamePrefix[] = ".texweld-";
constexpr char kTemporaryNameSuffix[] = ".tmp";
constexpr std::size_t kTemporaryNameDigits = 16;  // a 64-bit number in hex

// Bytes a temporary name beside a path with this folder part takes,
// terminator included.
constexpr std::size_t TemporaryNameSize(std::size_t folderLength) {
    return folderLength + sizeof kTemporaryNamePrefix - 1 + kTemporaryNameDigits + sizeof kTemporaryNameSuffix;
}

// Writes the name part for `bits` after the `folderLength` bytes of folder
// that `name` holds already; `name` has TemporaryNameSize(folderLength) bytes.
inline void WriteTemporaryName(char* name, std::size_t folderLength, std::uint64_t bits) {
    static constexpr char kHex[] = "0123456789abcdef";
    char* at = name + folderLength;
    std::memcpy(at, kTemporaryNamePrefix, sizeof kTemporaryNamePrefix - 1);
    at += sizeof kTemporaryNamePrefix - 1;
    for (std::size_t digit = 0; digit < kTemporaryNameDigits; ++digit, bits >>= 4) {
        *at++ = kHex[bits & 0xF];
    }
    std::memcpy(at, kTemporaryNameSuffix, sizeof kTemporaryNameSuffix);
}

// A new heap block with room for a temporary name beside `finalName`,
// holding its folder part (terminated), or null when memory runs out; the
// folder part's length goes to `folderLength`. Give it back with delete[].
inline char* NewTemporaryNameBlock(const char* finalName, std::size_t& folderLength) {
    folderLength = FolderPartLength(finalName);
    char* name = new (std::nothrow) char[TemporaryNameSize(folderLength)];
    if (name != nullptr) {
        std::memcpy(name, finalName, folderLength);
        name[folderLength] = '\0';
    }
    return name;
}

// Findable names: a few slots beside a final name, <folder>.<name>.texweld-<k>.tmp,
// that the next writer of the same name looks at.
constexpr std::size_t kSlots = 8;

// Bytes a slot name beside `finalName` takes, terminator included.
inline std::size_t SlotNameSize(const char* finalName) {
    return std::strlen(finalName) + 1 + sizeof kTemporaryNamePrefix - 1 + 1 + sizeof kTemporaryNameSuffix;
}

// Writes slot `slot` (below kSlots) beside `finalName` into `name`, which
// has SlotNameSize(finalName) bytes.
inline void WriteSlotName(char* name, const char* finalName, std::size_t slot) {
    const std::size_t folderLength = FolderPartLength(finalName);
    const std::size_t length = std::strlen(finalName);
    char* at = name;
    std::memcpy(at, finalName, folderLength);
    at += folderLength;
    *at++ = '.';
    std::memcpy(at, finalName + folderLength, length - folderLength);
    at += length - folderLength;
    std::memcpy(at, kTemporaryNamePrefix, sizeof kTemporaryNamePrefix - 1);
    at += sizeof kTemporaryNamePrefix - 1;
    *at++ = static_cast<char>('0' + slot);
    std::memcpy(at, kTemporaryNameSuffix, sizeof kTemporaryNameSuffix);
}
