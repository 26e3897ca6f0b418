#include "dds/dds_header.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
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

TEST(DdsHeader, FourCCAndWordsKeepTheFirstByteLowest) {
    static_assert(MakeFourCC('D', 'X', 'T', '1') == 0x31545844);
    // Characters above 0x7F must not sign-extend into the higher bytes.
    EXPECT_EQ(MakeFourCC('\xFF', 'A', '\x80', 'B'), 0x428041FFu);
    const std::uint8_t magic[] = {'D', 'D', 'S', ' '};
    EXPECT_EQ(ReadLittleEndian32(magic), DDS_MAGIC);
    EXPECT_EQ(DDS_MAGIC, MakeFourCC('D', 'D', 'S', ' '));
}

TEST(DdsHeader, ReadsEveryFieldInFileOrderFromAnyAlignment) {
    for (std::size_t offset : {0u, 1u, 2u, 3u, 5u}) {
        // The header ends the vector, so an over-read runs off the block.
        std::vector<std::uint8_t> bytes(offset + DDS_HEADER_SIZE, 0xEE);
        for (std::uint32_t i = 0; i < DDS_HEADER_SIZE; ++i) {
            bytes[offset + i] = static_cast<std::uint8_t>(Pattern(i / 4) >> (8 * (i % 4)));
        }
        const DDS_HEADER header = ReadDdsHeader(bytes.data() + offset);
        // The record is 31 words in file order (see the offsets above).
        std::uint32_t words[DDS_HEADER_SIZE / 4];
        std::memcpy(words, &header, sizeof words);
        for (std::uint32_t i = 0; i < DDS_HEADER_SIZE / 4; ++i) {
            EXPECT_EQ(words[i], Pattern(i)) << "offset " << offset << ", word " << i;
        }
    }
}

}  // namespace
