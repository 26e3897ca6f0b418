// DDS_HEADER and DDS_PIXELFORMAT: the records at the start of a DDS file, and
// the reading of them from raw file bytes.
//
// A DDS file starts with a 128-byte preamble: the 4-byte magic "DDS " and the
// 124-byte DDS_HEADER, whose pixel format is the embedded 32-byte
// DDS_PIXELFORMAT. Every field is an unsigned 32-bit little-endian word.
//
// What a user may rely on:
//  - Both records are plain aggregates of std::uint32_t fields in file order
//    with no padding: DDS_PIXELFORMAT is 32 bytes and DDS_HEADER 124 bytes.
//  - The readers build every word from single bytes, lowest byte first. They
//    give the same result on any host byte order and accept source pointers
//    of any alignment.
//  - Nothing here judges field values; the header is taken as stored.
#pragma once

#include <cstdint>

// A four-character code as a DDS file stores it: the first character in the
// lowest byte, so MakeFourCC('D', 'X', 'T', '1') is 0x31545844.
constexpr std::uint32_t MakeFourCC(char c0, char c1, char c2, char c3) {
    return static_cast<std::uint32_t>(static_cast<unsigned char>(c0)) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(c1)) << 8) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(c2)) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(c3)) << 24);
}

// Layout of the preamble, in bytes.
constexpr std::uint32_t DDS_MAGIC = 0x20534444;  // "DDS " as a little-endian word
constexpr std::uint32_t DDS_MAGIC_SIZE = 4;
constexpr std::uint32_t DDS_HEADER_SIZE = 124;
constexpr std::uint32_t DDS_PREAMBLE_SIZE = DDS_MAGIC_SIZE + DDS_HEADER_SIZE;  // 128

// DDS_PIXELFORMAT::dwFlags bits. The classification compares whole flag
// words, so the combinations it accepts are named too.
constexpr std::uint32_t DDS_PF_ALPHAPIXELS = 0x00000001;  // dwABitMask is valid
constexpr std::uint32_t DDS_PF_ALPHA = 0x00000002;        // alpha-only data
constexpr std::uint32_t DDS_PF_FOURCC = 0x00000004;       // dwFourCC is valid
constexpr std::uint32_t DDS_PF_RGB = 0x00000040;          // uncompressed colour; masks valid
constexpr std::uint32_t DDS_PF_LUMINANCE = 0x00020000;    // single luminance channel
constexpr std::uint32_t DDS_PF_BUMPDUDV = 0x00080000;     // signed bump-map deltas
constexpr std::uint32_t DDS_PF_RGBA = DDS_PF_RGB | DDS_PF_ALPHAPIXELS;  // 0x41

// FourCC values of the block-compressed formats the program knows.
constexpr std::uint32_t DDS_FOURCC_DXT1 = MakeFourCC('D', 'X', 'T', '1');
constexpr std::uint32_t DDS_FOURCC_DXT2 = MakeFourCC('D', 'X', 'T', '2');
constexpr std::uint32_t DDS_FOURCC_DXT3 = MakeFourCC('D', 'X', 'T', '3');
constexpr std::uint32_t DDS_FOURCC_DXT4 = MakeFourCC('D', 'X', 'T', '4');
constexpr std::uint32_t DDS_FOURCC_DXT5 = MakeFourCC('D', 'X', 'T', '5');
constexpr std::uint32_t DDS_FOURCC_ATI2 = MakeFourCC('A', 'T', 'I', '2');
constexpr std::uint32_t DDS_FOURCC_CTX1 = MakeFourCC('C', 'T', 'X', '1');

// Float formats are stored in dwFourCC as their numeric Direct3D 9 format
// codes rather than as characters.
constexpr std::uint32_t DDS_D3DFMT_G16R16F = 112;        // two 16-bit floats
constexpr std::uint32_t DDS_D3DFMT_A16B16G16R16F = 113;  // four 16-bit floats
constexpr std::uint32_t DDS_D3DFMT_R32F = 114;           // one 32-bit float

struct DDS_PIXELFORMAT {
    std::uint32_t dwSize;         // size of this record in bytes; 32 when well formed
    std::uint32_t dwFlags;        // DDS_PF_* bits
    std::uint32_t dwFourCC;       // four-character code or Direct3D format number
    std::uint32_t dwRGBBitCount;  // bits per pixel of uncompressed data
    std::uint32_t dwRBitMask;     // bits of the red (or U, or luminance) channel
    std::uint32_t dwGBitMask;     // bits of the green (or V) channel
    std::uint32_t dwBBitMask;     // bits of the blue channel
    std::uint32_t dwABitMask;     // bits of the alpha channel

    // Equal when all eight words, hence all 32 bytes, are equal.
    friend bool operator==(const DDS_PIXELFORMAT&, const DDS_PIXELFORMAT&) = default;
};

struct DDS_HEADER {
    std::uint32_t dwSize;               // size of this record in bytes; 124 when well formed
    std::uint32_t dwFlags;              // which fields are valid; not examined
    std::uint32_t dwHeight;             // level-0 height in pixels
    std::uint32_t dwWidth;              // level-0 width in pixels
    std::uint32_t dwPitchOrLinearSize;  // bytes per row or per level 0; not examined
    std::uint32_t dwDepth;              // level-0 depth in slices; 0 counts as 1
    std::uint32_t dwMipMapCount;        // number of mip levels
    std::uint32_t dwReserved1[11];      // unused
    DDS_PIXELFORMAT ddspf;              // format of the pixel data
    std::uint32_t dwCaps;               // surface kind; not examined
    std::uint32_t dwCaps2;              // cube map and volume bits; not examined
    std::uint32_t dwCaps3;              // unused
    std::uint32_t dwCaps4;              // unused
    std::uint32_t dwReserved2;          // unused
};

static_assert(sizeof(DDS_PIXELFORMAT) == 32, "DDS_PIXELFORMAT must match its 32 bytes on disk");
static_assert(sizeof(DDS_HEADER) == DDS_HEADER_SIZE, "DDS_HEADER must match its 124 bytes on disk");

// The little-endian 32-bit word in the four bytes at `bytes`.
std::uint32_t ReadLittleEndian32(const std::uint8_t* bytes);

// The header in the 124 bytes at `bytes` (the bytes just after the magic),
// read word by word in file order. The caller guarantees that all 124 bytes
// are there, e.g. by having checked the file for a full preamble.
DDS_HEADER ReadDdsHeader(const std::uint8_t* bytes);
