// How a texture is laid out in chunk files, as texweld reads them and
// texsplit writes them: <base>.0 holds the preamble and the smallest levels,
// <base>.1 to <base>.N one larger level each, <base>.N the largest.
#pragma once

#include <cstdint>

// The first chunk carries the three smallest levels; every larger level has
// a numbered chunk of its own.
constexpr std::uint32_t kLevelsInFirstChunk = 3;

// The most levels a chain whose size fits in 32 bits can have: dimensions
// below 2^31 halve to 1 in 31 steps.
constexpr std::uint32_t kMostLevels = 32;

// The step in which the programs' whole-file buffers grow, in bytes.
constexpr std::uint32_t kBufferGranularity = 8192;

// How many numbered chunks a header's mip count calls for: the difference
// is taken in 32 bits and read as a signed count, none when it is not
// positive.
constexpr std::uint32_t NumberedChunks(std::uint32_t mipCount) {
    const auto difference = static_cast<std::int32_t>(mipCount - kLevelsInFirstChunk);
    return difference > 0 ? static_cast<std::uint32_t>(difference) : 0;
}
