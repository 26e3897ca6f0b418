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
    auto u = [](std::int64_t v) { return static_cast<std::uint64_t>(v); };
    auto blocks = [](std::int32_t v) {
        return static_cast<std::int32_t>(static_cast<std::uint32_t>(v) + 3u) / 4;  // wraps like 32-bit code
    };
    std::uint64_t sum = 0;
    for (std::int32_t i = 0; i < (levelCount > 0 ? levelCount : 1); ++i) {
        if (w == 0 && h == 0 && d == 0) {
            break;
        }
        w = w ? w : 1, h = h ? h : 1, d = d ? d : 1;
        const std::uint64_t bytes = BytesPerElement(format);
        const std::uint64_t slice =
            IsBlockCompressed(format) ? u(blocks(w)) * u(blocks(h)) * bytes : bytes * u(w) * u(h);
        sum += slice * u(d);
        w >>= 1, h >>= 1, d >>= 1;
    }
    return static_cast<std::uint32_t>(sum);
}

}  // namespace

TEST(MipSizes, BytesPerElementCoversEveryCode) {
    const std::uint32_t expected[] = {0, 8, 16, 16, 16, 16, 8, 16, 4, 4, 4, 8, 4, 0, 2, 3, 4, 2, 1, 1, 0};
    for (std::uint32_t code = 0; code < std::size(expected); ++code) {
        EXPECT_EQ(BytesPerElement(Code(code)), expected[code]) << code;
    }
    EXPECT_EQ(BytesPerElement(Code(0xFFFFFFFF)), 0u);
}

// The wrapped size of every chain, and the checked size: the same value when
// the true size fits in 32 bits, nothing otherwise.
TEST(MipSizes, ChainSizesWrapLike32BitArithmeticAndTheCheckedSizeRefusesWhatDoesNotFit) {
    struct Case {
        std::int32_t width, height, depth, levelCount;
        TextureFormat format;
        std::uint32_t expected;
        bool fits;
    };
    const Case cases[] = {
        // Ordinary chains; a volume halves its depth too, and a dimension of 0 counts as 1.
        {256, 256, 1, 9, TF::Dxt1, 43704, true}, {64, 32, 1, 7, TF::Argb32, 10924, true},
        {16, 16, 4, 3, TF::Argb32, 4672, true},  {16, 16, 0, 3, TF::Argb32, 1344, true},
        // Rows are packed; partial blocks round up; a level count of 0 or below means one level.
        {5, 3, 1, 1, TF::Rgb24, 45, true},       {5, 5, 1, 1, TF::Dxt1, 32, true},
        {4, 4, 1, 0, TF::Dxt1, 8, true},         {8, 8, 1, kMin, TF::Argb32, 256, true},
        // Stops after 4x1, 2x1, 1x1; a lone 1x1x1 is counted; all 0 counts nothing.
        {4, 1, 1, 10, TF::Argb32, 28, true},     {1, 1, 1, 5, TF::Argb32, 4, true}, {0, 0, 0, 5, TF::Dxt1, 0, true},
        // Code 17 is never produced but still sizes; 13 and Unknown do not.
        {4, 4, 1, 1, Code(17), 32, true},        {4, 4, 1, 1, Code(13), 0, false},
        {256, 256, 1, 9, TF::Unknown, 0, false},
        // The largest that fit; then exactly 2^32, 2^34 + 2^18, levels that fit whose sum does not,
        // block rounding that wraps negative, and 2^34.
        {65535, 16384, 1, 1, TF::Argb32, 4294901760u, true}, {kMax, 0, 0, kMax, TF::Alpha8, 4294967263u, true},
        {32768, 32768, 1, 1, TF::Argb32, 0, false},          {65536, 65537, 1, 1, TF::Argb32, 262144, false},
        {32768, 32767, 1, 2, TF::Argb32, 1073545216, false}, {kMax, 1, 1, 1, TF::Dxt1, 8, false},
        {4096, 4096, 1024, 1, TF::Dxt5, 0, false},
        // -1 never halves away: 4 x -1 x 4, then x 2, then x 1; over 2^31 - 1 levels each adds -4 and
        // the sum wraps to 4. (-1 + 3) / 4 truncates to no blocks, yet is no empty texture.
        {-1, 4, 1, 3, TF::Argb32, 0xFFFFFFE4u, false},       {-1, -1, -1, kMax, TF::Argb32, 4, false},
        {kMin, kMin, kMin, kMax, TF::Argb32, 0xDB6DB760u, false}, {-1, 4, 1, 1, TF::Dxt1, 0, false},
        {4, 4, kMin, 1, TF::Argb32, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << "x" << c.depth << " levels "
                                          << c.levelCount << " format " << static_cast<std::uint32_t>(c.format));
        EXPECT_EQ(SurfaceChainSize(c.width, c.height, c.depth, c.levelCount, c.format), c.expected);
        EXPECT_EQ(CheckedSurfaceChainSize(c.width, c.height, c.depth, c.levelCount, c.format),
                  c.fits ? std::optional<std::uint32_t>(c.expected) : std::nullopt);
    }
}

// Level counts up to 2^31 - 1 are summed without walking every level: a
// chain that looped once per level would take minutes here.
TEST(MipSizes, LongChainsMatchTheLevelByLevelSumWithoutWalkingEveryLevel) {
    const std::int32_t dims[] = {0, 1, 2, 3, 5, 4096, kMax - 2, kMax, kMin, kMin + 1, -7, -2, -1};
    const TextureFormat formats[] = {TF::Unknown, TF::Dxt1, TF::Dxt5, TF::Rgb24, TF::A16B16G16R16F, TF::Alpha8,
                                     Code(13)};
    for (std::int32_t w : dims) {
        for (std::int32_t h : dims) {
            for (std::int32_t d : {0, 1, -1, kMin, 3}) {
                for (TextureFormat f : formats) {
                    SCOPED_TRACE(::testing::Message() << w << "x" << h << "x" << d << " format " << int(f));
                    for (std::int32_t levels : {1, 2, 31, 33, 40, kMax}) {
                        const std::uint32_t size = SurfaceChainSize(w, h, d, levels, f);
                        if (levels != kMax) {
                            ASSERT_EQ(size, LevelByLevel(w, h, d, levels, f)) << levels << " levels";
                        }
                        const std::optional<std::uint32_t> checked = CheckedSurfaceChainSize(w, h, d, levels, f);
                        ASSERT_TRUE(!checked || (*checked == size && w >= 0 && h >= 0 && d >= 0)) << levels;
                    }
                    // Past the point where every dimension is 0 or -1, each
                    // further level adds the same amount.
                    const std::uint32_t step = SurfaceChainSize(w, h, d, 41, f) - SurfaceChainSize(w, h, d, 40, f);
                    ASSERT_EQ(SurfaceChainSize(w, h, d, kMax, f) - SurfaceChainSize(w, h, d, kMax - 1, f), step);
                    ASSERT_EQ(SurfaceChainSize(w, h, d, kMax, f),
                              static_cast<std::uint32_t>(SurfaceChainSize(w, h, d, 40, f) + (kMax - 40u) * step));
                    MipLevelSize(static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h),
                                 static_cast<std::uint32_t>(d), 0xFFFFFFFF, f);
                }
            }
        }
    }
}

TEST(MipSizes, LevelSizesShiftTheHeaderDimensionsAsUnsignedValues) {
    const std::uint32_t dxt1Levels[] = {32768, 8192, 2048, 512, 128, 32, 8, 8, 8, 8, 8};
    for (std::uint32_t level = 0; level < std::size(dxt1Levels); ++level) {
        EXPECT_EQ(MipLevelSize(256, 256, 1, level, TF::Dxt1), dxt1Levels[level]) << level;
        EXPECT_EQ(CheckedMipLevelSize(256, 256, 0, level, TF::Dxt1), dxt1Levels[level]) << level;
    }
    struct Case {
        std::uint32_t width, height, depth, level;
        TextureFormat format;
        std::uint32_t expected;
        bool fits;
    };
    // The shift counts modulo 32; depth shifts too and is raised back to 1; an unsigned shift makes
    // 0x80000000 a positive 2^30 at level 1; 65536 x 65536 is 2^32 at level 1 and fits from level 2.
    const Case cases[] = {
        {256, 256, 1, 32, TF::Dxt1, 32768, true},             {256, 256, 1, 33, TF::Dxt1, 8192, true},
        {16, 16, 4, 3, TF::Argb32, 16, true},                 {4, 4, 1, 0, TF::Unknown, 0, false},
        {0x80000000, 1, 1, 1, TF::Alpha8, 0x40000000, true},  {0x80000000, 1, 1, 0, TF::Alpha8, 0x80000000, false},
        {65536, 65536, 1, 1, TF::Argb32, 0, false},           {65536, 65536, 1, 2, TF::Argb32, 1u << 30, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.width << "x" << c.height << "x" << c.depth << " level " << c.level);
        EXPECT_EQ(MipLevelSize(c.width, c.height, c.depth, c.level, c.format), c.expected);
        EXPECT_EQ(CheckedMipLevelSize(c.width, c.height, c.depth, c.level, c.format),
                  c.fits ? std::optional<std::uint32_t>(c.expected) : std::nullopt);
    }
}
