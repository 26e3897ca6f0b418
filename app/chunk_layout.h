// How a texture is laid out in chunk files, as texweld reads them and
// texsplit writes them: <base>.0 holds the preamble and the smallest levels,
// <base>.1 to <base>.N one larger level each, <base>.N the largest.
#pragma once

#include "platform/runtime.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// The first chunk carries the three smallest levels; every larger level has
// a numbered chunk of its own.
constexpr std::uint32_t kLevelsInFirstChunk = 3;

// The most levels a chain whose size fits in 32 bits can have: dimensions
// below 2^31 halve to 1 in 31 steps.
constexpr std::uint32_t kMostLevels = 32;

// The first chunk's suffix: a name ending in it (in any letter case) names a
// set's first chunk, and the set's base is the name without its final ".0".
constexpr char kFirstChunkSuffix[] = ".dds.0";

// The length of the set's base when `name` ends in kFirstChunkSuffix, in
// any letter case; -1 otherwise.
inline std::ptrdiff_t FirstChunkBase(const char* name) {
    const std::size_t length = std::strlen(name);
    const std::size_t suffix = sizeof kFirstChunkSuffix - 1;
    return length >= suffix && _stricmp(name + length - suffix, kFirstChunkSuffix) == 0
               ? static_cast<std::ptrdiff_t>(length - 2)
               : -1;
}

// The step in which the programs' whole-file buffers grow, in bytes.
constexpr std::uint32_t kBufferGranularity = 8192;

// How many numbered chunks a header's mip count calls for: the difference
// is taken in 32 bits and read as a signed count, none when it is not
// positive.
constexpr std::uint32_t NumberedChunks(std::uint32_t mipCount) {
    const auto difference = static_cast<std::int32_t>(mipCount - kLevelsInFirstChunk);
    return difference > 0 ? static_cast<std::uint32_t>(difference) : 0;
}

// The length of <x> when `name` is a chunk's name <x>.<k> (k one or more
// decimal digits), and k in `number` (-1 past 2^31 - 1); -1 for any other
// name.
inline std::ptrdiff_t NumberedStem(const char* name, std::int32_t& number) {
    const char* dot = std::strrchr(name, '.');
    if (dot == nullptr || dot[1] == '\0') {
        return -1;
    }
    std::int64_t value = 0;
    for (const char* digit = dot + 1; *digit != '\0'; ++digit) {
        if (*digit < '0' || *digit > '9') {
            return -1;
        }
        value = value > INT32_MAX ? value : value * 10 + (*digit - '0');
    }
    number = value > INT32_MAX ? -1 : static_cast<std::int32_t>(value);
    return dot - name;
}
