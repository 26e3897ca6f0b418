// Makes split DDS textures of our own: a procedural image in one of a few
// formats, its mip levels, and the chunk files Texweld reassembles.
//
// This is tooling for the bundled sample, the tests and the benchmarks. It
// computes level sizes on its own, independently of the program's code, so
// that tests compare Texweld against a second opinion.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace samplekit {

enum class SampleFormat { Dxt1, Dxt5, Argb32 };

using Bytes = std::vector<std::uint8_t>;

// Size in bytes of one mip level of `format` at the given dimensions
// (each at least 1): 4x4 blocks for the compressed formats, packed rows
// otherwise, times the depth.
std::uint64_t LevelBytes(SampleFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t depth);

// Dimension of level `level` for a level-0 dimension: halved per level, never
// below 1.
std::uint32_t DimensionAtLevel(std::uint32_t levelZero, std::uint32_t level);

// Size in bytes of one level of any format, described by its element: 4x4
// blocks of `bytesPerElement` bytes when `blocks`, else pixels of that many
// bytes. Dimensions below 1 count as 1. A size past 32 bits, which no DDS
// file can hold, comes back as kBeyond32Bits. LevelBytes is this for the
// sample formats.
constexpr std::uint64_t kBeyond32Bits = std::uint64_t{1} << 32;
std::uint64_t ElementLevelBytes(bool blocks, std::uint32_t bytesPerElement, std::uint32_t width,
                                std::uint32_t height, std::uint32_t depth);

// A four-character code as a DDS file stores it: the first character in the
// lowest byte.
constexpr std::uint32_t FourCC(char a, char b, char c, char d) {
    return static_cast<std::uint32_t>(static_cast<std::uint8_t>(a)) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(b)) << 8) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(c)) << 16) |
           (static_cast<std::uint32_t>(static_cast<std::uint8_t>(d)) << 24);
}

// The header words a preamble is made of, each free to hold any value, so
// that tests can describe formats beyond the sample ones, volume textures and
// headers no well-formed file has. The magic, dwSize (124) and the pixel
// format's dwSize (32) are always written; every other word is zero.
struct HeaderFields {
    std::uint32_t flags = 0;  // which header fields are valid
    std::uint32_t height = 0;
    std::uint32_t width = 0;
    std::uint32_t pitchOrLinearSize = 0;
    std::uint32_t depth = 0;
    std::uint32_t mipCount = 0;
    std::uint32_t pixelFlags = 0;  // the pixel format record from here on
    std::uint32_t fourCC = 0;
    std::uint32_t rgbBitCount = 0;
    std::uint32_t redMask = 0;
    std::uint32_t greenMask = 0;
    std::uint32_t blueMask = 0;
    std::uint32_t alphaMask = 0;
    std::uint32_t caps = 0;
};

// The header fields of a `format` texture of the given size and mip count.
HeaderFields SampleHeaderFields(SampleFormat format, std::uint32_t width, std::uint32_t height,
                                std::uint32_t mipCount);

// Header fields with only the dimensions and mip count set; the pixel
// format is left blank for WithFourCC or WithPixels to fill.
HeaderFields Shape(std::uint32_t width, std::uint32_t height, std::uint32_t depth, std::uint32_t mipCount);

// `fields` with a FourCC pixel format.
HeaderFields WithFourCC(HeaderFields fields, std::uint32_t fourCC);

// `fields` with an uncompressed pixel format: its flag word, bit count and
// red, green, blue and alpha masks.
HeaderFields WithPixels(HeaderFields fields, std::uint32_t pixelFlags, std::uint32_t bits, std::uint32_t r,
                        std::uint32_t g, std::uint32_t b, std::uint32_t a);

// The 128-byte preamble of a DDS file: the magic and a header with `fields`.
Bytes MakePreamble(const HeaderFields& fields);

// The 128-byte preamble of a DDS file: the magic and a header describing a
// `format` texture of the given size and mip count.
Bytes MakePreamble(SampleFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t mipCount);

// The content of every mip level, largest first: a procedural picture
// (rings over a diagonal gradient) encoded in `format`. `seed` varies it.
std::vector<Bytes> MakeLevels(SampleFormat format, std::uint32_t width, std::uint32_t height,
                              std::uint32_t mipCount, std::uint32_t seed = 0);

// The number of numbered chunks a texture with `mipCount` levels splits into:
// every level but the three smallest has one.
std::uint32_t NumberedChunkCount(std::uint32_t mipCount);

// The files of a split texture as name suffix (".0", ".1", ...) and content:
// ".0" holds the preamble and the three smallest levels, ".k" holds level
// N - k where N is the number of numbered chunks.
struct Chunk {
    std::string suffix;
    Bytes content;
};
std::vector<Chunk> SplitTexture(const Bytes& preamble, const std::vector<Bytes>& levels);

// The whole DDS file the chunks reassemble into: preamble, then every level.
Bytes JoinTexture(const Bytes& preamble, const std::vector<Bytes>& levels);

// Writes `content` to `path`; false when it cannot be written whole.
bool WriteFileBytes(const std::string& path, const Bytes& content);

// Writes every chunk as `base` + suffix; false at the first that fails.
bool WriteChunks(const std::string& base, const std::vector<Chunk>& chunks);

// Parses "dxt1", "dxt5" or "argb32" (any case); false for anything else.
bool ParseSampleFormat(const std::string& name, SampleFormat& format);

}  // namespace samplekit
