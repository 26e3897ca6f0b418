#include "dds/dds_header.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

// Field offsets as they lie in a file, so a reordered or resized field fails
// to compile rather than misreading headers.
static_assert(offsetof(DDS_HEADER, dwHeight) == 8);
static_assert(offsetof(DDS_HEADER, dwMipMapCount) == 24);
static_assert(offsetof(DDS_HEADER, ddspf) == 72);
static_assert(offsetof(DDS_HEADER, dwCaps) == 104);
static_assert(offsetof(DDS_PIXELFORMAT, dwFourCC) == 8);
static_assert(offsetof(DDS_PIXELFORMAT, dwABitMask) == 28);

namespace {

// A word whose four bytes all differ, and differ from every other word's,
// so a wrong offset or byte order shows up as a wrong value.
std::uint32_t Pattern(std::uint32_t index) {
    return ((0xC0u + index) << 24) | ((0x80u + index) << 16) | ((0x40u + index) << 8) | index;
}

// 124 header bytes of Pattern words, little-endian, starting at `offset` and
// ending the vector, so an over-read runs off the block.
std::vector<std::uint8_t> PatternHeaderBytes(std::size_t offset) {
    std::vector<std::uint8_t> bytes(offset + DDS_HEADER_SIZE, 0xEE);
    for (std::uint32_t i = 0; i < DDS_HEADER_SIZE / 4; ++i) {
        const std::uint32_t word = Pattern(i);
        for (std::uint32_t b = 0; b < 4; ++b) {
            bytes[offset + 4 * i + b] = static_cast<std::uint8_t>(word >> (8 * b));
        }
    }
    return bytes;
}

void ExpectPatternHeader(const DDS_HEADER& h) {
    EXPECT_EQ(h.dwSize, Pattern(0));
    EXPECT_EQ(h.dwFlags, Pattern(1));
    EXPECT_EQ(h.dwHeight, Pattern(2));
    EXPECT_EQ(h.dwWidth, Pattern(3));
    EXPECT_EQ(h.dwPitchOrLinearSize, Pattern(4));
    EXPECT_EQ(h.dwDepth, Pattern(5));
    EXPECT_EQ(h.dwMipMapCount, Pattern(6));
    for (std::uint32_t i = 0; i < 11; ++i) {
        EXPECT_EQ(h.dwReserved1[i], Pattern(7 + i)) << "dwReserved1[" << i << "]";
    }
    const DDS_PIXELFORMAT expectedPf = {Pattern(18), Pattern(19), Pattern(20), Pattern(21),
                                        Pattern(22), Pattern(23), Pattern(24), Pattern(25)};
    EXPECT_TRUE(h.ddspf == expectedPf);
    EXPECT_EQ(h.dwCaps, Pattern(26));
    EXPECT_EQ(h.dwCaps2, Pattern(27));
    EXPECT_EQ(h.dwCaps3, Pattern(28));
    EXPECT_EQ(h.dwCaps4, Pattern(29));
    EXPECT_EQ(h.dwReserved2, Pattern(30));
}

}  // namespace

TEST(DdsHeader, FourCCKeepsFirstCharacterInLowestByte) {
    static_assert(MakeFourCC('D', 'X', 'T', '1') == 0x31545844);
    static_assert(MakeFourCC('D', 'D', 'S', ' ') == DDS_MAGIC);
    // Characters above 0x7F must not sign-extend into the higher bytes.
    EXPECT_EQ(MakeFourCC('\xFF', 'A', '\x80', 'B'), 0x428041FFu);
}

TEST(DdsHeader, ReadsMagicAsLittleEndianWord) {
    const std::uint8_t magic[] = {'D', 'D', 'S', ' '};
    EXPECT_EQ(ReadLittleEndian32(magic), DDS_MAGIC);
    const std::uint8_t highBits[] = {0xFF, 0x00, 0x01, 0x80};
    EXPECT_EQ(ReadLittleEndian32(highBits), 0x800100FFu);
}

TEST(DdsHeader, ReadsEveryFieldFromAnyAlignment) {
    for (std::size_t offset : {0u, 1u, 2u, 3u, 5u}) {
        SCOPED_TRACE(offset);
        const std::vector<std::uint8_t> bytes = PatternHeaderBytes(offset);
        ExpectPatternHeader(ReadDdsHeader(bytes.data() + offset));
    }
}
