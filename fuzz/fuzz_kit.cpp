#include "fuzz/fuzz_kit.h"

#include "dds/dds_header.h"
#include "dds/mip_sizes.h"
#include "dds/texture_format.h"
#include "tests/support/expected_lines.h"

#include "platform/pending_file.h"
#include "samples/split_texture.h"
#include "support/alloc_hooks.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>

namespace texweld_fuzz {

namespace {

// Allocation hooks that count, remember the largest request and fail any
// request above the cap, all only while a run is being watched.
Watch g_watch;

void* WatchedAllocate(std::uint32_t byteCount) {
    if (!g_watch.active) {
        return DefaultAllocHooks().allocate(byteCount);
    }
    ++g_watch.allocations;
    g_watch.largest = std::max(g_watch.largest, byteCount);
    if (byteCount > kAllocationCap) {
        return nullptr;
    }
    void* block = DefaultAllocHooks().allocate(byteCount);
    if (block != nullptr) {
        ++g_watch.outstanding;
    }
    return block;
}

void WatchedRelease(void* block) {
    if (g_watch.active && block != nullptr) {
        --g_watch.outstanding;
    }
    DefaultAllocHooks().release(block);
}

}  // namespace

Watch& CurrentWatch() {
    return g_watch;
}

void PrepareOnce() {
    static const bool installed = [] {
        AllocHookTable hooks = DefaultAllocHooks();
        hooks.allocate = WatchedAllocate;
        hooks.release = WatchedRelease;
        InstallAllocHooks(hooks);
        // A write past a file size limit then fails instead of ending the
        // process, as it does for the program itself.
        PrepareForFileWrites();
        // The capture keeps a descriptor open from its first use on: take
        // it now, so that the runs' descriptor checks do not count it.
        texweld_inprocess::CaptureStdout([] {});
        return true;
    }();
    (void)installed;
}

std::uint32_t Word(const std::string& bytes, std::size_t offset) {
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        value |= static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[offset + i])) << (8 * i);
    }
    return value;
}

// One level of w x h x d (each at least 1), from the sample kit's sizes;
// empty beyond 32 bits.
std::optional<std::uint64_t> LevelBytes(std::uint64_t w, std::uint64_t h, std::uint64_t d, Element element) {
    const std::uint64_t size =
        samplekit::ElementLevelBytes(element.blocks, static_cast<std::uint32_t>(element.bytes),
                                     static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(h),
                                     static_cast<std::uint32_t>(d));
    if (size > kMax32) {
        return std::nullopt;
    }
    return size;
}

// The whole chain the header counts: levels halve to 1 and the chain ends
// after the first 1x1x1 level; a count of 0 or less is one level. Empty when
// a dimension is negative as a signed value or the total is beyond 32 bits.
std::optional<std::uint64_t> ChainBytes(std::uint32_t width, std::uint32_t height, std::uint32_t depth,
                                        std::uint32_t count, Element element) {
    if (width > INT32_MAX || height > INT32_MAX || depth > INT32_MAX) {
        return std::nullopt;
    }
    const std::uint64_t levels = count >= 1 && count <= INT32_MAX ? count : 1;
    std::uint64_t w = width, h = height, d = depth, total = 0;
    for (std::uint64_t level = 0; level < levels && (w | h | d) != 0; ++level) {
        const std::optional<std::uint64_t> size = LevelBytes(std::max<std::uint64_t>(w, 1),
                                                             std::max<std::uint64_t>(h, 1),
                                                             std::max<std::uint64_t>(d, 1), element);
        if (!size || total + *size > kMax32) {
            return std::nullopt;
        }
        total += *size;
        w = std::max<std::uint64_t>(w, 1) / 2;
        h = std::max<std::uint64_t>(h, 1) / 2;
        d = std::max<std::uint64_t>(d, 1) / 2;
    }
    return total;
}

// Level `level` as a chunk must hold it: each dimension shifted by the
// level modulo 32 and raised to 1.
std::optional<std::uint64_t> ChunkBytes(std::uint32_t width, std::uint32_t height, std::uint32_t depth,
                                        std::uint64_t level, Element element) {
    const auto at = [level](std::uint32_t value) {
        const std::uint32_t shifted = value >> (level % 32);
        return shifted == 0 ? 1u : shifted;
    };
    if (at(width) > INT32_MAX || at(height) > INT32_MAX || at(depth) > INT32_MAX) {
        return std::nullopt;
    }
    return LevelBytes(at(width), at(height), at(depth), element);
}

ModelPreamble ReadModelPreamble(const std::string& file) {
    ModelPreamble read;
    if (file.size() < kPreamble) {
        read.failure = expected_lines::kTooSmall;
        return read;
    }
    if (file.compare(0, 4, "DDS ") != 0) {
        read.failure = expected_lines::kBadSignature;
        return read;
    }
    const auto* preamble = reinterpret_cast<const std::uint8_t*>(file.data());
    const TextureFormat format = ClassifyPixelFormat(ReadDdsHeader(preamble + DDS_MAGIC_SIZE));
    read.element = Element{IsBlockCompressed(format), BytesPerElement(format)};
    if (format == TextureFormat::Unknown || read.element.bytes == 0) {
        read.failure = expected_lines::kUnknownFormat;
        return read;
    }
    read.height = Word(file, 12);
    read.width = Word(file, 16);
    read.depth = Word(file, 24);
    read.mipCount = Word(file, 28);
    return read;
}

std::uint64_t RoundUp(std::uint64_t count) {
    return (count + kGranularity - 1) / kGranularity * kGranularity;
}

// The block a texture of `total` bytes is copied through: whole pages, at
// most 1 MiB, asked for with a page to spare so that it can start on a page.
std::uint64_t CopyBlockAllocation(std::uint64_t total) {
    constexpr std::uint64_t kPage = 4096;
    const std::uint64_t wanted = std::min<std::uint64_t>(total, std::uint64_t{1} << 20);
    return std::max(kPage, (wanted + kPage - 1) / kPage * kPage) + kPage - 1;
}

[[noreturn]] void Fail(const std::string& what, const std::string& detail) {
    std::fprintf(stderr, "fuzz check failed: %s\n%s\n", what.c_str(), detail.c_str());
    std::fflush(stderr);
    std::abort();
}

void Require(bool condition, const std::string& what, const std::string& detail) {
    if (!condition) {
        Fail(what, detail);
    }
}

bool MakeFolder(const std::string& path) {
    return ::mkdir(path.c_str(), 0755) == 0;
}

std::map<std::string, std::string> Contents(const texweld_inprocess::ScratchFolder& scratch) {
    std::map<std::string, std::string> contents;
    for (const std::string& name : scratch.Listing()) {
        if (name.back() != '/' && !std::filesystem::is_symlink(scratch.At(name))) {
            contents.emplace(name, texweld_test::ReadFileBytes(scratch.At(name)));
        }
    }
    return contents;
}

texweld_inprocess::ScratchFolder& Scratch() {
    static texweld_inprocess::ScratchFolder scratch;
    Require(!scratch.Path().empty(), "cannot make a scratch folder");
    return scratch;
}

}  // namespace texweld_fuzz
