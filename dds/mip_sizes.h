// Byte sizes of mip levels and mip chains for a TextureFormat.
//
// Rows are packed (no pitch alignment). Block-compressed formats store each
// level as 4x4 pixel blocks, so a level narrower or shorter than 4 pixels
// still takes whole blocks.
//
// What a user may rely on:
//  - SurfaceChainSize and MipLevelSize reproduce 32-bit arithmetic exactly:
//    dimensions are signed 32-bit values, halving is an arithmetic shift,
//    rounding up to blocks divides a signed value by 4 with truncation toward
//    zero, and products and sums wrap modulo 2^32. Hostile headers therefore
//    give wrapped (possibly tiny) sizes, never undefined behaviour, and every
//    call takes a few dozen steps at most, whatever the level count.
//  - A wrapped size must never size a buffer. The Checked* variants compute
//    the same sizes without wrapping and report when the true size does not
//    fit in 32 bits; when they succeed they equal the wrapping functions.
//  - Every function is pure and safe to call from any thread.
#pragma once

#include "dds/texture_format.h"

#include <cstdint>
#include <optional>

// True exactly for the 4x4 block formats, codes 1 to 7.
bool IsBlockCompressed(TextureFormat format);

// Bytes per 4x4 block for block formats, bytes per pixel for the others, and
// 0 for Unknown, 13 and any value that is not a format.
std::uint32_t BytesPerElement(TextureFormat format);

// Total bytes of `levelCount` consecutive mip levels, the first of size
// width x height x depth. A levelCount of 0 or below counts as 1; a
// dimension of 0 counts as 1. The chain ends early after the first level at
// which all three dimensions are at most 1, however many levels are asked
// for; when all three are 0 on entry no level is counted. Returns 0 for
// Unknown. The sum wraps modulo 2^32.
std::uint32_t SurfaceChainSize(std::int32_t width, std::int32_t height, std::int32_t depth,
                               std::int32_t levelCount, TextureFormat format);

// SurfaceChainSize without wrapping: the exact total when it fits in 32
// bits. Empty when it does not, when any dimension is negative, or when the
// format has no element size (Unknown, 13, values that are not formats).
std::optional<std::uint32_t> CheckedSurfaceChainSize(std::int32_t width, std::int32_t height,
                                                     std::int32_t depth, std::int32_t levelCount,
                                                     TextureFormat format);

// Bytes of mip level `level` of a texture whose level 0 is width x height x
// depth, as stored in a header: each dimension, as an unsigned value, is
// shifted right by level modulo 32 and raised to 1 where that leaves 0, and
// the result is sized as one level (SurfaceChainSize with a levelCount of
// 1, so a 1x1x1 level is never skipped). Wraps modulo 2^32.
std::uint32_t MipLevelSize(std::uint32_t width, std::uint32_t height, std::uint32_t depth,
                           std::uint32_t level, TextureFormat format);

// MipLevelSize without wrapping, on the same terms as
// CheckedSurfaceChainSize: empty when the shifted dimensions are negative as
// signed 32-bit values, the format has no element size, or the size does
// not fit in 32 bits.
std::optional<std::uint32_t> CheckedMipLevelSize(std::uint32_t width, std::uint32_t height,
                                                 std::uint32_t depth, std::uint32_t level,
                                                 TextureFormat format);
