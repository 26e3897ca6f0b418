#include "dds/texture_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <utility>

namespace {

struct ClassifyCase {
    const char* what;
    DDS_PIXELFORMAT pf;
    TextureFormat expected;
};

DDS_PIXELFORMAT FourCC(std::uint32_t code, std::uint32_t flags = DDS_PF_FOURCC) {
    return {32, flags, code, 0, 0, 0, 0, 0};
}

DDS_PIXELFORMAT Masked(std::uint32_t flags, std::uint32_t bits, std::uint32_t aMask = 0) {
    return {32, flags, 0, bits, 0x00FF0000, 0x0000FF00, 0x000000FF, aMask};
}

DDS_PIXELFORMAT BumpWith(void (*change)(DDS_PIXELFORMAT&)) {
    DDS_PIXELFORMAT pf = DDSPF_V16U16;
    change(pf);
    return pf;
}

using TF = TextureFormat;

const ClassifyCase kCases[] = {
    {"DXT1", FourCC(DDS_FOURCC_DXT1), TF::Dxt1},  {"DXT2", FourCC(DDS_FOURCC_DXT2), TF::Dxt2},
    {"DXT3", FourCC(DDS_FOURCC_DXT3), TF::Dxt3},  {"DXT4", FourCC(DDS_FOURCC_DXT4), TF::Dxt4},
    {"DXT5", FourCC(DDS_FOURCC_DXT5), TF::Dxt5},  {"ATI2", FourCC(DDS_FOURCC_ATI2), TF::Ati2},
    {"CTX1", FourCC(DDS_FOURCC_CTX1), TF::Ctx1},  {"R32F by number", FourCC(114), TF::R32F},
    {"G16R16F by number", FourCC(112), TF::G16R16F}, {"A16B16G16R16F by number", FourCC(113), TF::A16B16G16R16F},
    // A known FourCC decides before any flag or bit count is looked at.
    {"DXT5 beside RGBA flags", {32, DDS_PF_RGBA, DDS_FOURCC_DXT5, 32, 0, 0, 0, 0xFF000000}, TF::Dxt5},
    {"DXT1 without the FourCC flag", FourCC(DDS_FOURCC_DXT1, 0), TF::Dxt1},
    {"R32F beside the bump record", {32, DDS_PF_BUMPDUDV, 114, 32, 0xFFFF, 0xFFFF0000, 0, 0}, TF::R32F},
    // The bump map matches only as a whole 32-byte record.
    {"V16U16 record", DDSPF_V16U16, TF::V16U16},
    {"V16U16 with dwSize 0", BumpWith([](DDS_PIXELFORMAT& pf) { pf.dwSize = 0; }), TF::Unknown},
    {"V16U16 with an alpha mask", BumpWith([](DDS_PIXELFORMAT& pf) { pf.dwABitMask = 1; }), TF::Unknown},
    {"V16U16 with swapped masks",
     BumpWith([](DDS_PIXELFORMAT& pf) { std::swap(pf.dwRBitMask, pf.dwGBitMask); }), TF::Unknown},
    {"V16U16 with an extra flag", BumpWith([](DDS_PIXELFORMAT& pf) { pf.dwFlags |= 1; }), TF::Unknown},
    {"V16U16 record carrying FourCC 112", BumpWith([](DDS_PIXELFORMAT& pf) { pf.dwFourCC = 112; }),
     TF::G16R16F},
    // Argb32 is known by its alpha mask, before FourCC 113; the colour masks do not matter.
    {"ARGB32", Masked(0x41, 32, 0xFF000000), TF::Argb32}, {"ARGB16, masks ignored", Masked(0x41, 16, 0), TF::Argb16},
    {"ABGR32 masks", {32, 0x41, 0, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000}, TF::Argb32},
    {"RGBA32 with alpha in the low byte", Masked(0x41, 32, 0x000000FF), TF::Unknown},
    {"ARGB32 beside FourCC 113", {32, 0x41, 113, 32, 0, 0, 0, 0xFF000000}, TF::Argb32},
    // Flag words match only as a whole.
    {"flags 0x43 with 32 bits", Masked(0x43, 32, 0xFF000000), TF::Unknown},
    {"flags 0x43 with 16 bits", Masked(0x43, 16, 0x8000), TF::Unknown},
    {"RGB24", Masked(0x40, 24), TF::Rgb24},  {"RGBA 24 bits", Masked(0x41, 24), TF::Unknown},
    {"XRGB32", Masked(0x40, 32), TF::Xrgb32}, {"XRGB32 with an alpha mask", Masked(0x40, 32, 0xFF000000), TF::Xrgb32},
    // 8-bit formats: only the exact luminance flag word gives Luminance8.
    {"L8", Masked(DDS_PF_LUMINANCE, 8), TF::Luminance8}, {"L16", Masked(DDS_PF_LUMINANCE, 16), TF::Unknown},
    {"L8 with alpha-pixels flag", Masked(DDS_PF_LUMINANCE | DDS_PF_ALPHAPIXELS, 8), TF::Alpha8},
    {"8 bits, alpha flag", Masked(DDS_PF_ALPHA, 8), TF::Alpha8},
    // Unlisted FourCCs decide nothing and fall through to the bit-count rules.
    {"ATI1", FourCC(MakeFourCC('A', 'T', 'I', '1')), TF::Unknown}, {"all zero", {}, TF::Unknown},
    {"lower-case dxt1", FourCC(MakeFourCC('d', 'x', 't', '1')), TF::Unknown},
    {"DX10 with 8 bits", {32, DDS_PF_FOURCC, MakeFourCC('D', 'X', '1', '0'), 8, 0, 0, 0, 0}, TF::Alpha8},
};

}  // namespace

TEST(ClassifyPixelFormat, FirstMatchingRuleDecidesAndOnlyThePixelFormatCounts) {
    for (const ClassifyCase& c : kCases) {
        for (int fill : {0x00, 0xA5}) {  // the rest of the header blank, or full of noise
            DDS_HEADER header;
            std::memset(&header, fill, sizeof header);
            header.ddspf = c.pf;
            EXPECT_EQ(static_cast<std::uint32_t>(ClassifyPixelFormat(header)), static_cast<std::uint32_t>(c.expected))
                << c.what << ", header filled with " << fill;
        }
    }
}
