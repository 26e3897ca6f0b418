// The check every DDS preamble passes, in the order its failures are told:
// enough bytes, the magic, a format that can be sized, and a whole texture
// (preamble and chain) whose size fits in 32 bits.
#pragma once

#include "dds/dds_header.h"
#include "dds/texture_format.h"

#include <cstdint>

enum class PreambleCheck {
    Valid,
    TooSmall,       // fewer than DDS_PREAMBLE_SIZE bytes
    BadSignature,   // the magic is not "DDS "
    UnknownFormat,  // a pixel format that cannot be sized
    TooLarge,       // the chain does not fit in 32 bits with the preamble,
                    // or its dimensions are negative as signed values
};

// What a valid preamble says.
struct Preamble {
    DDS_HEADER header {};
    TextureFormat format = TextureFormat::Unknown;
    std::uint32_t totalSize = 0;  // the preamble and every level of the chain
};

// Checks the `available` bytes at `bytes` (at least DDS_PREAMBLE_SIZE of them
// are read only when that many are available) and fills `preamble` when
// they are valid.
PreambleCheck CheckPreamble(const std::uint8_t* bytes, std::uint64_t available, Preamble& preamble);
