#include "dds/mip_sizes.h"

namespace {

// Wrapping 32-bit product. Done in 64 bits and truncated, so it is the same
// modulo 2^32 and never relies on how uint32_t promotes.
std::uint32_t MulWrap(std::uint32_t a, std::uint32_t b) {
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(a) * b);
}

std::int32_t RaiseZero(std::int32_t value) {
    return value == 0 ? 1 : value;
}

// 0 and -1 are the only values that "raise 0 to 1, then halve" maps to
// themselves (0 -> 1 -> 0, -1 -> -1). Every other value reaches one of them
// within 31 steps: positive ones fall to 0, negative ones rise to -1.
bool AtFixedPoint(std::int32_t value) {
    return value == 0 || value == -1;
}

// Blocks along one edge, (value + 3) / 4, as 32-bit signed arithmetic gives
// it: the addition wraps (done in unsigned; converting back is modular) and
// the division truncates toward zero. INT32_MIN / 4 cannot overflow.
std::uint32_t BlocksAlong(std::int32_t value) {
    const auto padded = static_cast<std::int32_t>(static_cast<std::uint32_t>(value) + 3u);
    return static_cast<std::uint32_t>(padded / 4);
}

// Wrapped size of one level whose dimensions are already raised from 0.
std::uint32_t WrappedLevelSize(std::int32_t width, std::int32_t height, std::int32_t depth,
                               TextureFormat format) {
    const std::uint32_t elementBytes = BytesPerElement(format);
    std::uint32_t slice;
    if (IsBlockCompressed(format)) {
        slice = MulWrap(MulWrap(BlocksAlong(width), BlocksAlong(height)), elementBytes);
    } else {
        slice = MulWrap(MulWrap(elementBytes, static_cast<std::uint32_t>(width)),
                        static_cast<std::uint32_t>(height));
    }
    return MulWrap(slice, static_cast<std::uint32_t>(depth));
}

// The header's unsigned dimension as it stands at mip level `level`.
std::int32_t ShiftedDimension(std::uint32_t value, std::uint32_t level) {
    const std::uint32_t shifted = value >> (level % 32);
    return static_cast<std::int32_t>(shifted == 0 ? 1 : shifted);
}

}  // namespace

namespace {

// How each code is stored: 4x4 blocks or single pixels, and the bytes of
// one block or pixel. Codes 13 and 17 have no name: classification never
// gives them, but they sit in the numbering between formats that do, and a
// TextureFormat may hold any value. They keep the sizes they have always had
// here (17 a 2-byte pixel, 13 none), so every value is answered as before.
struct Element {
    bool blocks;
    std::uint32_t bytes;
};

constexpr std::uint32_t kCodeCount = 20;

constexpr auto kElements = [] {
    struct Table {
        Element byCode[kCodeCount] = {};
    } table;
    const auto set = [&table](TextureFormat format, bool blocks, std::uint32_t bytes) {
        table.byCode[static_cast<std::uint32_t>(format)] = {blocks, bytes};
    };
    set(TextureFormat::Dxt1, true, 8);
    set(TextureFormat::Dxt2, true, 16);
    set(TextureFormat::Dxt3, true, 16);
    set(TextureFormat::Dxt4, true, 16);
    set(TextureFormat::Dxt5, true, 16);
    set(TextureFormat::Ctx1, true, 8);
    set(TextureFormat::Ati2, true, 16);
    set(TextureFormat::R32F, false, 4);
    set(TextureFormat::G16R16F, false, 4);
    set(TextureFormat::V16U16, false, 4);
    set(TextureFormat::A16B16G16R16F, false, 8);
    set(TextureFormat::Argb32, false, 4);
    set(TextureFormat::Argb16, false, 2);
    set(TextureFormat::Rgb24, false, 3);
    set(TextureFormat::Xrgb32, false, 4);
    set(static_cast<TextureFormat>(17), false, 2);  // unnamed; see above
    set(TextureFormat::Alpha8, false, 1);
    set(TextureFormat::Luminance8, false, 1);
    return table;
}();

constexpr Element ElementOf(TextureFormat format) {
    const auto code = static_cast<std::uint32_t>(format);
    return code < kCodeCount ? kElements.byCode[code] : Element{false, 0};
}

}  // namespace

bool IsBlockCompressed(TextureFormat format) {
    return ElementOf(format).blocks;
}

std::uint32_t BytesPerElement(TextureFormat format) {
    return ElementOf(format).bytes;
}

std::uint32_t SurfaceChainSize(std::int32_t width, std::int32_t height, std::int32_t depth,
                               std::int32_t levelCount, TextureFormat format) {
    if (format == TextureFormat::Unknown) {
        return 0;
    }
    const std::uint32_t levels = levelCount > 0 ? static_cast<std::uint32_t>(levelCount) : 1;

    std::uint32_t sum = 0;
    for (std::uint32_t added = 0; added < levels; ++added) {
        if (width == 0 && height == 0 && depth == 0) {
            break;
        }
        if (AtFixedPoint(width) && AtFixedPoint(height) && AtFixedPoint(depth)) {
            // From here on every level has the same dimensions and, as they
            // are not all 0, the chain never stops early: the remaining
            // levels add the same size each. Summing them in closed form
            // keeps a level count near 2^31 from looping that often.
            sum += MulWrap(levels - added, WrappedLevelSize(RaiseZero(width), RaiseZero(height),
                                                            RaiseZero(depth), format));
            break;
        }
        width = RaiseZero(width);
        height = RaiseZero(height);
        depth = RaiseZero(depth);
        sum += WrappedLevelSize(width, height, depth, format);
        // Arithmetic shift: a negative dimension stays negative.
        width >>= 1;
        height >>= 1;
        depth >>= 1;
    }
    return sum;
}

std::optional<std::uint32_t> CheckedSurfaceChainSize(std::int32_t width, std::int32_t height,
                                                     std::int32_t depth, std::int32_t levelCount,
                                                     TextureFormat format) {
    const std::uint64_t elementBytes = BytesPerElement(format);
    if (elementBytes == 0 || width < 0 || height < 0 || depth < 0) {
        return std::nullopt;
    }
    const bool blocks = IsBlockCompressed(format);
    const std::uint32_t levels = levelCount > 0 ? static_cast<std::uint32_t>(levelCount) : 1;

    // With non-negative dimensions every factor is below 2^31, so each
    // product of a checked value (at most 2^32 - 1) and one more factor fits
    // in 64 bits. Where the 32-bit block rounding would wrap (a dimension
    // within 3 of 2^31 - 1) the true size is at least 2^29 blocks of 8 bytes
    // and fails the check, so every success agrees with SurfaceChainSize.
    auto fits = [](std::uint64_t value) { return value <= UINT32_MAX; };

    std::uint64_t w = static_cast<std::uint64_t>(width);
    std::uint64_t h = static_cast<std::uint64_t>(height);
    std::uint64_t d = static_cast<std::uint64_t>(depth);
    std::uint64_t sum = 0;
    // Positive dimensions halve to 0 within 32 levels, so the early stop
    // bounds this loop whatever the level count.
    for (std::uint32_t added = 0; added < levels; ++added) {
        if (w == 0 && h == 0 && d == 0) {
            break;
        }
        w = w == 0 ? 1 : w;
        h = h == 0 ? 1 : h;
        d = d == 0 ? 1 : d;
        const std::uint64_t across = blocks ? (w + 3) / 4 : w;
        const std::uint64_t down = blocks ? (h + 3) / 4 : h;
        std::uint64_t size = across * down;
        if (!fits(size)) {
            return std::nullopt;
        }
        size *= elementBytes;
        if (!fits(size)) {
            return std::nullopt;
        }
        size *= d;
        if (!fits(size)) {
            return std::nullopt;
        }
        sum += size;
        if (!fits(sum)) {
            return std::nullopt;
        }
        w >>= 1;
        h >>= 1;
        d >>= 1;
    }
    return static_cast<std::uint32_t>(sum);
}

std::uint32_t MipLevelSize(std::uint32_t width, std::uint32_t height, std::uint32_t depth,
                           std::uint32_t level, TextureFormat format) {
    return SurfaceChainSize(ShiftedDimension(width, level), ShiftedDimension(height, level),
                            ShiftedDimension(depth, level), 1, format);
}

std::optional<std::uint32_t> CheckedMipLevelSize(std::uint32_t width, std::uint32_t height,
                                                 std::uint32_t depth, std::uint32_t level,
                                                 TextureFormat format) {
    return CheckedSurfaceChainSize(ShiftedDimension(width, level), ShiftedDimension(height, level),
                                   ShiftedDimension(depth, level), 1, format);
}
