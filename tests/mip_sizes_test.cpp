#include "dds/mip_sizes.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <optional>

namespace {

using TF = TextureFormat;
constexpr std::int32_t kMax = INT32_MAX;
constexpr std::int32_t kMin = INT32_MIN;

TextureFormat Code(std::uint32_t code) {
    return static_cast<TextureFormat>(code);
}

// The chain sum one level at a time with no shortcut, for small counts.
// Products are taken modulo 2^64 (signed values as their two's complement),
// which leaves them right modulo 2^32.
std::uint32_t LevelByLevel(std::int32_t w, std::int32_t h, std::int32_t d, std::int32_t levelCount,
                           TextureFormat format) {
    if (format == TF::Unknown) {
        return 0;
    }
    auto u = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
    auto blocks = [](std::int32_t v) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(v) + 3u) / 4;  // wraps like 32-bit code
    };
    std::uint64_t sum = 0;
    for (std::int32_t i = 0; i < (levelCount > 0 ? levelCount : 1); ++i) {
        if (w == 0 && h == 0 && d == 0) {
            break;
        }
        w = w ? w : 1;
        h = h ? h : 1;
        d = d ? d : 1;
        const std::uint64_t bytes = BytesPerElement(format);
        const std::uint64_t slice =
            IsBlockCompressed(format) ? u(blocks(w)) * u(blocks(h)) * bytes : bytes * u(w) * u(h);
        sum += slice * u(d);
        w >>= 1;
        h >>= 1;
        d >>= 1;
    }
    return static_cast<std::uint32_t>(sum);
}

struct ChainCase {
    std::int32_t width, height, depth, levelCount;
    TextureFormat format;
    std::uint32_t expected;
};

}  // namespace

TEST(MipSizes, BytesPerElementCoversEveryCode) {
    const std::uint32_t expected[] = {0, 8, 16, 16, 16, 16, 8, 16, 4, 4, 4, 8, 4, 0, 2, 3, 4, 2, 1, 1, 0};
    for (std::uint32_t code = 0; code < std::size(expected); ++code) {
        EXPECT_EQ(BytesPerElement(Code(code)), expected[code]) << code;
    }
    EXPECT_EQ(BytesPerElement(Code(0xFFFFFFFF)), 0u);
}

TEST(MipSizes, ChainSizesOfOrdinaryTextures) {
    const ChainCase cases[] = {
        {256, 256, 1, 9, TF::Dxt1, 43704},
        {256, 256, 1, 9, TF::Dxt5, 87408},
        {64, 32, 1, 7, TF::Argb32, 10924},
        {16, 16, 4, 3, TF::Argb32, 4672},   // volume: depth halves too
        {16, 16, 0, 3, TF::Argb32, 1344},   // depth 0 counts as 1
        {0, 4, 1, 1, TF::Argb32, 16},       // width 0 counts as 1
        {5, 3, 1, 1, TF::Rgb24, 45},        // rows are packed
        {5, 5, 1, 1, TF::Dxt1, 32},         // partial blocks round up
        {2, 2, 1, 1, TF::Dxt5, 16},         // below 4 pixels: one whole block
        {1, 1, 1, 1, TF::Dxt1, 8},          // a lone 1x1 level is counted
        {4, 4, 1, 0, TF::Dxt1, 8},          // level count 0 means one level
        {8, 8, 1, -1, TF::Argb32, 256},     // and so does a negative one
        {8, 8, 1, kMin, TF::Argb32, 256},
        {4, 4, 1, 5, TF::Dxt1, 24},         // stops after 4x4, 2x2, 1x1
        {4, 1, 1, 10, TF::Argb32, 28},      // stops after 4x1, 2x1, 1x1
        {8, 2, 1, 10, TF::Dxt1, 40},        // the short side stays one block
        {1, 1, 1, 5, TF::Argb32, 4},        // 1x1x1 ends the chain at once
        {4, 4, 1, 1, Code(17), 32},         // unproduced code 17 still sizes
        {4, 4, 1, 1, Code(13), 0},
        {0, 0, 0, 5, TF::Dxt1, 0},          // nothing counted
        {0, 0, 0, 1, TF::Argb32, 0},
        {256, 256, 1, 9, TF::Unknown, 0},
        {kMax, kMax, kMax, kMax, TF::Unknown, 0},
    };
    for (const ChainCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << "x" << c.depth << " levels "
                                          << c.levelCount << " format " << static_cast<std::uint32_t>(c.format));
        EXPECT_EQ(SurfaceChainSize(c.width, c.height, c.depth, c.levelCount, c.format), c.expected);
        const std::optional<std::uint32_t> checked =
            CheckedSurfaceChainSize(c.width, c.height, c.depth, c.levelCount, c.format);
        if (BytesPerElement(c.format) == 0) {
            EXPECT_FALSE(checked.has_value());
        } else {
            EXPECT_EQ(checked, std::optional<std::uint32_t>(c.expected));
        }
    }
}

TEST(MipSizes, OversizedChainsWrapAndTheCheckedSizeRefusesThem) {
    const ChainCase cases[] = {
        {32768, 32768, 1, 1, TF::Argb32, 0},        // exactly 2^32
        {65536, 65537, 1, 1, TF::Argb32, 262144},   // 2^34 + 2^18
        {32768, 32767, 1, 2, TF::Argb32, 1073545216},  // each level fits, the sum does not
        {kMax, 1, 1, 1, TF::Dxt1, 8},               // block rounding wraps negative
        {4096, 4096, 1024, 1, TF::Dxt5, 0},       // 2^34
    };
    for (const ChainCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << "x" << c.depth);
        EXPECT_EQ(SurfaceChainSize(c.width, c.height, c.depth, c.levelCount, c.format), c.expected);
        EXPECT_FALSE(CheckedSurfaceChainSize(c.width, c.height, c.depth, c.levelCount, c.format).has_value());
    }
    // The largest chains that still fit are reported exactly.
    EXPECT_EQ(CheckedSurfaceChainSize(65535, 16384, 1, 1, TF::Argb32), 4294901760u);
    EXPECT_EQ(CheckedSurfaceChainSize(kMax, 0, 0, kMax, TF::Alpha8), 4294967263u);
    EXPECT_EQ(SurfaceChainSize(kMax, 0, 0, kMax, TF::Alpha8), 4294967263u);
}

TEST(MipSizes, NegativeDimensionsFollowSignedArithmetic) {
    // -1 never halves away: 4 bytes x -1 x 4 x 1, then x 2, then x 1.
    EXPECT_EQ(SurfaceChainSize(-1, 4, 1, 3, TF::Argb32), 0xFFFFFFE4u);
    // Each level from then on adds -4; 2^31 - 1 of them wrap to 4.
    EXPECT_EQ(SurfaceChainSize(-1, -1, -1, kMax, TF::Argb32), 4u);
    EXPECT_EQ(SurfaceChainSize(kMin, kMin, kMin, kMax, TF::Argb32), 0xDB6DB760u);
    // (-1 + 3) / 4 truncates to 0 blocks.
    EXPECT_EQ(SurfaceChainSize(-1, kMin, 0, kMax, TF::Dxt1), 0u);
    EXPECT_FALSE(CheckedSurfaceChainSize(-1, 4, 1, 1, TF::Argb32).has_value());
    // Rounds to no blocks at all, yet is no empty texture.
    EXPECT_EQ(SurfaceChainSize(-1, 4, 1, 1, TF::Dxt1), 0u);
    EXPECT_FALSE(CheckedSurfaceChainSize(-1, 4, 1, 1, TF::Dxt1).has_value());
    EXPECT_FALSE(CheckedSurfaceChainSize(4, 4, kMin, 1, TF::Argb32).has_value());
}

TEST(MipSizes, LongChainsMatchTheLevelByLevelSum) {
    const std::int32_t dims[] = {0, 1, 2, 3, 5, 4096, kMax - 2, kMax, kMin, kMin + 1, -7, -2, -1};
    const TextureFormat formats[] = {TF::Dxt1, TF::Dxt5, TF::Rgb24, TF::A16B16G16R16F, TF::Alpha8, Code(13)};
    for (std::int32_t w : dims) {
        for (std::int32_t h : dims) {
            for (std::int32_t d : {0, 1, -1, kMin, 3}) {
                for (TextureFormat f : formats) {
                    for (std::int32_t levels : {1, 2, 31, 33, 40}) {
                        const std::uint32_t size = SurfaceChainSize(w, h, d, levels, f);
                        ASSERT_EQ(size, LevelByLevel(w, h, d, levels, f))
                            << w << "x" << h << "x" << d << " levels " << levels;
                        const std::optional<std::uint32_t> checked = CheckedSurfaceChainSize(w, h, d, levels, f);
                        if (checked) {
                            ASSERT_EQ(*checked, size) << w << "x" << h << "x" << d << " levels " << levels;
                        }
                    }
                    // Past the point where every dimension is 0 or -1, each
                    // further level adds the same amount.
                    const std::uint32_t step = SurfaceChainSize(w, h, d, 41, f) - SurfaceChainSize(w, h, d, 40, f);
                    ASSERT_EQ(SurfaceChainSize(w, h, d, kMax, f) - SurfaceChainSize(w, h, d, kMax - 1, f), step);
                    ASSERT_EQ(SurfaceChainSize(w, h, d, kMax, f),
                              static_cast<std::uint32_t>(SurfaceChainSize(w, h, d, 40, f) + (kMax - 40u) * step));
                }
            }
        }
    }
}

// A chain that looped once per level would take minutes here (a level count
// of 2^31 - 1); the suite's time limit is what catches it.
TEST(MipSizes, HostileHeadersAreSizedWithoutWalkingEveryLevel) {
    const std::uint32_t dims[] = {0x80000000, 0xFFFFFFFF, 0x7FFFFFFF, 0, 1};
    for (std::uint32_t w : dims) {
        for (std::uint32_t h : dims) {
            for (std::uint32_t d : dims) {
                for (std::uint32_t code = 0; code <= 19; ++code) {
                    const auto sw = static_cast<std::int32_t>(w);
                    const auto sh = static_cast<std::int32_t>(h);
                    const auto sd = static_cast<std::int32_t>(d);
                    SurfaceChainSize(sw, sh, sd, kMax, Code(code));
                    const std::optional<std::uint32_t> checked = CheckedSurfaceChainSize(sw, sh, sd, kMax, Code(code));
                    MipLevelSize(w, h, d, 0xFFFFFFFF, Code(code));
                    if (w >= 0x80000000 || h >= 0x80000000 || d >= 0x80000000) {
                        ASSERT_FALSE(checked.has_value()) << w << "x" << h << "x" << d << " format " << code;
                    }
                }
            }
        }
    }
}

TEST(MipSizes, LevelSizesShiftTheHeaderDimensions) {
    const std::uint32_t dxt1Levels[] = {32768, 8192, 2048, 512, 128, 32, 8, 8, 8, 8, 8};
    for (std::uint32_t level = 0; level < std::size(dxt1Levels); ++level) {
        EXPECT_EQ(MipLevelSize(256, 256, 1, level, TF::Dxt1), dxt1Levels[level]) << level;
        EXPECT_EQ(CheckedMipLevelSize(256, 256, 0, level, TF::Dxt1), dxt1Levels[level]) << level;
    }
    // The shift counts modulo 32.
    EXPECT_EQ(MipLevelSize(256, 256, 1, 32, TF::Dxt1), 32768u);
    EXPECT_EQ(MipLevelSize(256, 256, 1, 33, TF::Dxt1), 8192u);
    // Depth shifts with the level and is raised back to 1.
    EXPECT_EQ(MipLevelSize(16, 16, 4, 2, TF::Argb32), 64u);
    EXPECT_EQ(MipLevelSize(16, 16, 4, 3, TF::Argb32), 16u);
    // Unsigned shift: 0x80000000 becomes a positive 2^30 at level 1.
    EXPECT_EQ(MipLevelSize(0x80000000, 1, 1, 1, TF::Alpha8), 0x40000000u);
    EXPECT_EQ(CheckedMipLevelSize(0x80000000, 1, 1, 1, TF::Alpha8), 0x40000000u);
    EXPECT_EQ(MipLevelSize(0x80000000, 1, 1, 0, TF::Alpha8), 0x80000000u);
    EXPECT_FALSE(CheckedMipLevelSize(0x80000000, 1, 1, 0, TF::Alpha8).has_value());
    // Too large at levels 0 and 1, fits from level 2.
    EXPECT_FALSE(CheckedMipLevelSize(65536, 65536, 1, 0, TF::Argb32).has_value());
    EXPECT_FALSE(CheckedMipLevelSize(65536, 65536, 1, 1, TF::Argb32).has_value());
    EXPECT_EQ(CheckedMipLevelSize(65536, 65536, 1, 2, TF::Argb32), 1u << 30);
    EXPECT_FALSE(CheckedMipLevelSize(4, 4, 1, 0, TF::Unknown).has_value());
}
