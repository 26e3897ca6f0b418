// TextureFormat: the program's own code for a DDS pixel format, and the
// classification of a header's DDS_PIXELFORMAT into it.
//
// What a user may rely on:
//  - Codes are small integers stable across versions; Unknown (0) means the
//    pixel format is not supported and no size can be derived from it.
//  - ClassifyPixelFormat looks only at the header's ddspf, never at the
//    dimensions, caps or flags of the header itself.
//  - ClassifyPixelFormat never produces the codes 13 and 17. They have no
//    name here, but a TextureFormat may still hold them (or any other value);
//    the size lookups answer for every value.
#pragma once

#include "dds/dds_header.h"

#include <cstddef>
#include <cstdint>

enum class TextureFormat : std::uint32_t {
    Unknown = 0,         // not supported
    Dxt1 = 1,            // 4x4 blocks of 8 bytes
    Dxt2 = 2,            // 4x4 blocks of 16 bytes
    Dxt3 = 3,            // 4x4 blocks of 16 bytes
    Dxt4 = 4,            // 4x4 blocks of 16 bytes
    Dxt5 = 5,            // 4x4 blocks of 16 bytes
    Ctx1 = 6,            // 4x4 blocks of 8 bytes
    Ati2 = 7,            // 4x4 blocks of 16 bytes
    R32F = 8,            // 4 bytes per pixel
    G16R16F = 9,         // 4 bytes per pixel
    V16U16 = 10,         // 4 bytes per pixel
    A16B16G16R16F = 11,  // 8 bytes per pixel
    Argb32 = 12,         // 4 bytes per pixel
    Argb16 = 14,         // 2 bytes per pixel
    Rgb24 = 15,          // 3 bytes per pixel
    Xrgb32 = 16,         // 4 bytes per pixel
    Alpha8 = 18,         // 1 byte per pixel
    Luminance8 = 19,     // 1 byte per pixel
};

// The one pixel format recognised by its whole record rather than by a
// FourCC or flag word: the 32-bit signed bump map (V16U16). A header's ddspf
// must equal it in all 32 bytes, dwSize and dwABitMask included.
constexpr DDS_PIXELFORMAT DDSPF_V16U16 = {
    32,               // dwSize
    DDS_PF_BUMPDUDV,  // dwFlags
    0,                // dwFourCC
    32,               // dwRGBBitCount
    0x0000FFFF,       // dwRBitMask (U)
    0xFFFF0000,       // dwGBitMask (V)
    0,                // dwBBitMask
    0,                // dwABitMask
};

// The format of `header`'s pixel data, Unknown when it is not supported.
// Tests run in a fixed order and the first match wins, and flag words match
// only when equal as a whole (0x43 is not "RGB with alpha"). The FourCCs of
// the block formats and R32F decide before anything else; then the whole
// V16U16 record, FourCC 112 (G16R16F), the 32-bit ARGB rule, and only then
// FourCC 113 (A16B16G16R16F): a record with FourCC 113 whose flags and alpha
// mask say 32-bit ARGB is Argb32.
TextureFormat ClassifyPixelFormat(const DDS_HEADER& header);

// Room DescribePixelFormat needs, terminator included.
constexpr std::size_t kPixelFormatDescriptionRoom = 96;

// Says in a few words what `format` holds, for a line about a format that is
// not supported: its FourCC (printable, else as a number), or its flags, bit
// count and masks. Writes at most `room` bytes, terminator included.
void DescribePixelFormat(const DDS_PIXELFORMAT& format, char* text, std::size_t room);
