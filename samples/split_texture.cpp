#include "samples/split_texture.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace samplekit {
namespace {

void PutWord(Bytes& out, std::size_t offset, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) {
        out[offset + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(value >> (8 * i));
    }
}

struct Rgba {
    std::uint8_t r, g, b, a;
};

// The picture: concentric rings over a diagonal gradient, with an alpha
// ramp, evaluated at (u, v) in [0, 1).
Rgba Picture(double u, double v, std::uint32_t seed) {
    const double dx = u - 0.5;
    const double dy = v - 0.5;
    const double radius = std::sqrt(dx * dx + dy * dy);
    const double ring = 0.5 + 0.5 * std::cos(radius * (40.0 + seed % 7));
    const auto channel = [](double value) {
        return static_cast<std::uint8_t>(std::clamp(value, 0.0, 1.0) * 255.0 + 0.5);
    };
    return {channel(0.25 + 0.6 * ring * u), channel(0.2 + 0.5 * v), channel(0.3 + 0.6 * (1.0 - ring) * (1.0 - u)),
            channel(0.5 + 0.5 * std::cos(6.0 * u + 4.0 * v))};
}

std::uint16_t To565(const Rgba& c) {
    return static_cast<std::uint16_t>(((c.r >> 3) << 11) | ((c.g >> 2) << 5) | (c.b >> 3));
}

Rgba From565(std::uint16_t value) {
    const auto expand = [](unsigned v, unsigned bits) {
        return static_cast<std::uint8_t>((v << (8 - bits)) | (v >> (2 * bits - 8)));
    };
    return {expand((value >> 11) & 31u, 5), expand((value >> 5) & 63u, 6), expand(value & 31u, 5), 255};
}

int Distance(const Rgba& a, const Rgba& b) {
    const int dr = a.r - b.r, dg = a.g - b.g, db = a.b - b.b;
    return dr * dr + dg * dg + db * db;
}

// A four-colour block: endpoints from the block's darkest and brightest
// texels, each texel mapped to the nearest of the four palette entries.
void EncodeColourBlock(const Rgba (&texels)[16], std::uint8_t* out) {
    std::size_t low = 0, high = 0;
    const auto luma = [](const Rgba& c) { return 2 * c.r + 5 * c.g + c.b; };
    for (std::size_t i = 1; i < 16; ++i) {
        if (luma(texels[i]) < luma(texels[low])) low = i;
        if (luma(texels[i]) > luma(texels[high])) high = i;
    }
    std::uint16_t c0 = To565(texels[high]);
    std::uint16_t c1 = To565(texels[low]);
    if (c0 < c1) std::swap(c0, c1);
    Rgba palette[4] = {From565(c0), From565(c1), {}, {}};
    const auto mix = [](const Rgba& a, const Rgba& b, int wa, int wb) {
        return Rgba{static_cast<std::uint8_t>((wa * a.r + wb * b.r) / (wa + wb)),
                    static_cast<std::uint8_t>((wa * a.g + wb * b.g) / (wa + wb)),
                    static_cast<std::uint8_t>((wa * a.b + wb * b.b) / (wa + wb)), 255};
    };
    palette[2] = mix(palette[0], palette[1], 2, 1);
    palette[3] = mix(palette[0], palette[1], 1, 2);
    std::uint32_t indices = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        std::uint32_t best = 0;
        for (std::uint32_t p = 1; p < 4; ++p) {
            if (Distance(texels[i], palette[p]) < Distance(texels[i], palette[best])) best = p;
        }
        // With c0 == c1 the block is in its three-colour mode; index 0 is exact.
        if (c0 == c1) best = 0;
        indices |= best << (2 * i);
    }
    out[0] = static_cast<std::uint8_t>(c0);
    out[1] = static_cast<std::uint8_t>(c0 >> 8);
    out[2] = static_cast<std::uint8_t>(c1);
    out[3] = static_cast<std::uint8_t>(c1 >> 8);
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<std::uint8_t>(indices >> (8 * i));
}

// An eight-value alpha block between the block's smallest and largest alpha.
void EncodeAlphaBlock(const Rgba (&texels)[16], std::uint8_t* out) {
    std::uint8_t a0 = 0, a1 = 255;
    for (const Rgba& t : texels) {
        a0 = std::max(a0, t.a);
        a1 = std::min(a1, t.a);
    }
    out[0] = a0;
    out[1] = a1;
    std::uint64_t indices = 0;
    for (std::size_t i = 0; i < 16; ++i) {
        std::uint64_t index = 0;
        if (a0 > a1) {
            // Palette: a0, a1, then six steps from a0 towards a1.
            const int step = (7 * (a0 - texels[i].a) + (a0 - a1) / 2) / (a0 - a1);
            index = step == 0 ? 0 : step == 7 ? 1 : static_cast<std::uint64_t>(step + 1);
        }
        indices |= index << (3 * i);
    }
    for (int i = 0; i < 6; ++i) out[2 + i] = static_cast<std::uint8_t>(indices >> (8 * i));
}

Bytes EncodeLevel(SampleFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
    const auto texel = [&](std::uint32_t x, std::uint32_t y) {
        return Picture((x % width + 0.5) / width, (y % height + 0.5) / height, seed);
    };
    Bytes out(static_cast<std::size_t>(LevelBytes(format, width, height, 1)));
    if (format == SampleFormat::Argb32) {
        std::size_t at = 0;
        for (std::uint32_t y = 0; y < height; ++y) {
            for (std::uint32_t x = 0; x < width; ++x) {
                const Rgba c = texel(x, y);
                out[at++] = c.b;  // stored as B, G, R, A: masks 0xFF, 0xFF00, ...
                out[at++] = c.g;
                out[at++] = c.r;
                out[at++] = c.a;
            }
        }
        return out;
    }
    const std::size_t blockBytes = format == SampleFormat::Dxt1 ? 8 : 16;
    std::size_t at = 0;
    for (std::uint32_t by = 0; by < (height + 3) / 4; ++by) {
        for (std::uint32_t bx = 0; bx < (width + 3) / 4; ++bx) {
            Rgba texels[16];
            for (std::uint32_t i = 0; i < 16; ++i) {
                // Texels past the edge of a small level repeat the level.
                texels[i] = texel(bx * 4 + i % 4, by * 4 + i / 4);
            }
            if (format == SampleFormat::Dxt5) {
                EncodeAlphaBlock(texels, &out[at]);
                EncodeColourBlock(texels, &out[at + 8]);
            } else {
                EncodeColourBlock(texels, &out[at]);
            }
            at += blockBytes;
        }
    }
    return out;
}

}  // namespace

std::uint64_t ElementLevelBytes(bool blocks, std::uint32_t bytesPerElement, std::uint32_t width,
                                std::uint32_t height, std::uint32_t depth) {
    const std::uint64_t w = std::max<std::uint32_t>(width, 1);
    const std::uint64_t h = std::max<std::uint32_t>(height, 1);
    // Each factor is below 2^32, so a product kept at most 2^32 before the
    // next one never wraps.
    const std::uint64_t d = std::max<std::uint32_t>(depth, 1);
    std::uint64_t size = blocks ? ((w + 3) / 4) * ((h + 3) / 4) : w * h;
    size = std::min(size, kBeyond32Bits) * bytesPerElement;
    size = std::min(size, kBeyond32Bits) * d;
    return std::min(size, kBeyond32Bits);
}

std::uint64_t LevelBytes(SampleFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t depth) {
    switch (format) {
    case SampleFormat::Dxt1: return ElementLevelBytes(true, 8, width, height, depth);
    case SampleFormat::Dxt5: return ElementLevelBytes(true, 16, width, height, depth);
    case SampleFormat::Argb32: return ElementLevelBytes(false, 4, width, height, depth);
    }
    return 0;
}

std::uint32_t DimensionAtLevel(std::uint32_t levelZero, std::uint32_t level) {
    const std::uint32_t shifted = level >= 32 ? 0 : levelZero >> level;
    return shifted == 0 ? 1 : shifted;
}

HeaderFields Shape(std::uint32_t width, std::uint32_t height, std::uint32_t depth, std::uint32_t mipCount) {
    HeaderFields fields;
    fields.width = width;
    fields.height = height;
    fields.depth = depth;
    fields.mipCount = mipCount;
    return fields;
}

HeaderFields WithFourCC(HeaderFields fields, std::uint32_t fourCC) {
    fields.pixelFlags = 0x4;  // the FourCC is valid
    fields.fourCC = fourCC;
    return fields;
}

HeaderFields WithPixels(HeaderFields fields, std::uint32_t pixelFlags, std::uint32_t bits, std::uint32_t r,
                        std::uint32_t g, std::uint32_t b, std::uint32_t a) {
    fields.pixelFlags = pixelFlags;
    fields.rgbBitCount = bits;
    fields.redMask = r;
    fields.greenMask = g;
    fields.blueMask = b;
    fields.alphaMask = a;
    return fields;
}

HeaderFields SampleHeaderFields(SampleFormat format, std::uint32_t width, std::uint32_t height,
                                std::uint32_t mipCount) {
    HeaderFields fields;
    const bool compressed = format != SampleFormat::Argb32;
    // Caps, height, width, pixel format, mip count, and pitch or linear size.
    fields.flags = 0x1 | 0x2 | 0x4 | 0x1000 | 0x20000 | (compressed ? 0x80000 : 0x8);
    fields.height = height;
    fields.width = width;
    fields.pitchOrLinearSize =
        compressed ? static_cast<std::uint32_t>(LevelBytes(format, width, height, 1)) : width * 4;
    fields.depth = 0;  // a flat texture
    fields.mipCount = mipCount;
    if (compressed) {
        fields.pixelFlags = 0x4;  // the FourCC is valid
        fields.fourCC = format == SampleFormat::Dxt1 ? FourCC('D', 'X', 'T', '1') : FourCC('D', 'X', 'T', '5');
    } else {
        fields.pixelFlags = 0x41;  // RGB with alpha
        fields.rgbBitCount = 32;
        fields.redMask = 0x00FF0000;
        fields.greenMask = 0x0000FF00;
        fields.blueMask = 0x000000FF;
        fields.alphaMask = 0xFF000000;
    }
    // A mipmapped texture: complex, mipmap and texture capabilities.
    fields.caps = 0x8 | 0x400000 | 0x1000;
    return fields;
}

Bytes MakePreamble(const HeaderFields& fields) {
    Bytes out(128, 0);
    PutWord(out, 0, FourCC('D', 'D', 'S', ' '));
    const std::size_t h = 4;  // the header follows the magic
    PutWord(out, h + 0, 124);
    PutWord(out, h + 4, fields.flags);
    PutWord(out, h + 8, fields.height);
    PutWord(out, h + 12, fields.width);
    PutWord(out, h + 16, fields.pitchOrLinearSize);
    PutWord(out, h + 20, fields.depth);
    PutWord(out, h + 24, fields.mipCount);
    const std::size_t pf = h + 72;  // the pixel format record
    PutWord(out, pf + 0, 32);
    PutWord(out, pf + 4, fields.pixelFlags);
    PutWord(out, pf + 8, fields.fourCC);
    PutWord(out, pf + 12, fields.rgbBitCount);
    PutWord(out, pf + 16, fields.redMask);
    PutWord(out, pf + 20, fields.greenMask);
    PutWord(out, pf + 24, fields.blueMask);
    PutWord(out, pf + 28, fields.alphaMask);
    PutWord(out, h + 104, fields.caps);
    return out;
}

Bytes MakePreamble(SampleFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t mipCount) {
    return MakePreamble(SampleHeaderFields(format, width, height, mipCount));
}

std::vector<Bytes> MakeLevels(SampleFormat format, std::uint32_t width, std::uint32_t height,
                              std::uint32_t mipCount, std::uint32_t seed) {
    std::vector<Bytes> levels;
    const std::uint32_t count = std::max<std::uint32_t>(mipCount, 1);
    for (std::uint32_t level = 0; level < count; ++level) {
        levels.push_back(EncodeLevel(format, DimensionAtLevel(width, level), DimensionAtLevel(height, level), seed));
    }
    return levels;
}

std::uint32_t NumberedChunkCount(std::uint32_t mipCount) {
    return mipCount > 3 ? mipCount - 3 : 0;
}

std::vector<Chunk> SplitTexture(const Bytes& preamble, const std::vector<Bytes>& levels) {
    const auto numbered = NumberedChunkCount(static_cast<std::uint32_t>(levels.size()));
    std::vector<Chunk> chunks;
    Chunk first{".0", preamble};
    for (std::size_t level = numbered; level < levels.size(); ++level) {
        first.content.insert(first.content.end(), levels[level].begin(), levels[level].end());
    }
    chunks.push_back(std::move(first));
    for (std::uint32_t k = 1; k <= numbered; ++k) {
        std::string suffix = ".";
        suffix += std::to_string(k);  // not "." + ...: g++ 12 warns falsely at -O3
        chunks.push_back({std::move(suffix), levels[numbered - k]});
    }
    return chunks;
}

Bytes JoinTexture(const Bytes& preamble, const std::vector<Bytes>& levels) {
    Bytes out = preamble;
    for (const Bytes& level : levels) {
        out.insert(out.end(), level.begin(), level.end());
    }
    return out;
}

bool WriteFileBytes(const std::string& path, const Bytes& content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const bool written = content.empty() || std::fwrite(content.data(), 1, content.size(), file) == content.size();
    return std::fclose(file) == 0 && written;
}

bool WriteChunks(const std::string& base, const std::vector<Chunk>& chunks) {
    for (const Chunk& chunk : chunks) {
        if (!WriteFileBytes(base + chunk.suffix, chunk.content)) {
            return false;
        }
    }
    return true;
}

bool ParseSampleFormat(const std::string& name, SampleFormat& format) {
    std::string lower;
    for (char c : name) {
        lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    if (lower == "dxt1") format = SampleFormat::Dxt1;
    else if (lower == "dxt5") format = SampleFormat::Dxt5;
    else if (lower == "argb32") format = SampleFormat::Argb32;
    else return false;
    return true;
}

}  // namespace samplekit
