// What the fuzz targets share: allocation hooks that watch a run, the
// exact-arithmetic model of the sizes a header calls for, and the checks.
//
// The model is written from the file layout, independently of the programs'
// own sizing (only the pixel format is classified by the program's own,
// separately tested, classifier). Allocations above kAllocationCap fail, as
// if memory ran out: headers that describe images of up to 4 GiB are
// legitimate, but a fuzzer cannot afford to fill and write one per input.
#pragma once

#include "tests/support/in_process_run.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace texweld_fuzz {

constexpr std::uint32_t kAllocationCap = 1u << 20;
constexpr std::uint64_t kGranularity = 8192;    // the reassembly buffers' step
constexpr std::uint64_t kNameAllowance = 4096;  // the string objects' blocks
constexpr std::uint64_t kPreamble = 128;
constexpr std::uint64_t kMax32 = UINT32_MAX;

// What the allocation hooks saw while a run was watched.
struct Watch {
    bool active = false;
    std::int64_t outstanding = 0;
    std::uint32_t largest = 0;
    std::uint32_t allocations = 0;
};

// The watch the hooks fill; reset it and set `active` around a run.
Watch& CurrentWatch();

// Installs the watching hooks and the program's file-write settings, once.
void PrepareOnce();

// The little-endian 32-bit word at `offset` of `bytes`.
std::uint32_t Word(const std::string& bytes, std::size_t offset);

// How a format stores its elements: 4x4 blocks of `bytes`, or pixels.
struct Element {
    bool blocks;
    std::uint64_t bytes;
};

// One level of w x h x d (each at least 1); empty beyond 32 bits.
std::optional<std::uint64_t> LevelBytes(std::uint64_t w, std::uint64_t h, std::uint64_t d, Element element);

// The whole chain the header counts: levels halve to 1 and the chain ends
// after the first 1x1x1 level; a count of 0 or less is one level. Empty when
// a dimension is negative as a signed value or the total is beyond 32 bits.
std::optional<std::uint64_t> ChainBytes(std::uint32_t width, std::uint32_t height, std::uint32_t depth,
                                        std::uint32_t count, Element element);

// Level `level` as a chunk must hold it: each dimension shifted by the
// level modulo 32 and raised to 1.
std::optional<std::uint64_t> ChunkBytes(std::uint32_t width, std::uint32_t height, std::uint32_t depth,
                                        std::uint64_t level, Element element);

// A first chunk's or a texture's preamble as the model reads it: the line
// of the first of the checks both programs make (length, signature, pixel
// format) that fails, empty when none does, and then its fields.
struct ModelPreamble {
    std::string failure;
    Element element{false, 0};
    std::uint32_t width = 0, height = 0, depth = 0, mipCount = 0;
};
ModelPreamble ReadModelPreamble(const std::string& file);

// `count` rounded up to the reassembly buffers' step.
std::uint64_t RoundUp(std::uint64_t count);

// The block a texture of `total` bytes is copied through: whole pages, at
// most 1 MiB, asked for with a page to spare so that it can start on a page.
std::uint64_t CopyBlockAllocation(std::uint64_t total);

// Prints what failed and aborts, which the fuzzer reports as a finding.
[[noreturn]] void Fail(const std::string& what, const std::string& detail);
void Require(bool condition, const std::string& what, const std::string& detail = "");

bool MakeFolder(const std::string& path);

// Every regular file below the scratch folder and its bytes; links are
// followed only by the listing of their targets.
std::map<std::string, std::string> Contents(const texweld_inprocess::ScratchFolder& scratch);

// The scratch folder of this process's runs.
texweld_inprocess::ScratchFolder& Scratch();

}  // namespace texweld_fuzz
