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
