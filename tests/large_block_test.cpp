// Large blocks: the zeroed allocation that ByteBuffer uses while the default
// allocator is installed, and the hint that maps a block in before it is
// filled. Neither may change what a block holds.
#include "platform/memory_hints.h"
#include "support/alloc_hooks.h"
#include "support/byte_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

// Sizes on either side of the 16 KiB from which blocks are mapped in ahead,
// of the 128 KiB from which they come zeroed, and of a huge page.
constexpr std::uint32_t kSizes[] = {8192, 100000, (1u << 20) + 8192, 8u << 20};

bool AllBytesAre(const std::uint8_t* bytes, std::size_t from, std::size_t to, std::uint8_t value) {
    return std::all_of(bytes + from, bytes + to, [value](std::uint8_t b) { return b == value; });
}

// Frees a block of `size` bytes after filling it, so that the next block of
// that size is likely to reuse memory that does not read as zero.
void LeaveDirtyMemory(std::uint32_t size) {
    void* block = std::malloc(size);
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xA5, size);
    std::free(block);
}

// Each growth copies a block full of data and must zero only what it adds,
// whether the block came zeroed or was mapped in and filled.
TEST(AllocateMaybeZeroed, ZeroedGrowthKeepsContentsAndReadsAsZeroEvenInReusedMemory) {
    const AllocHookTable previous = InstallAllocHooks(DefaultAllocHooks());
    ByteBuffer buffer(8192);
    std::uint32_t filled = 0;
    for (std::uint32_t size : kSizes) {
        LeaveDirtyMemory(size);
        bool zeroed = false;
        auto* block = static_cast<std::uint8_t*>(AllocateMaybeZeroed(size, zeroed));
        ASSERT_NE(block, nullptr) << size;
        EXPECT_EQ(zeroed, size >= (128u << 10)) << size;
        EXPECT_TRUE(!zeroed || AllBytesAre(block, 0, size, 0)) << size;
        AllocHooks.release(block);

        LeaveDirtyMemory(size);
        ASSERT_TRUE(buffer.Reserve(size)) << size;
        EXPECT_TRUE(AllBytesAre(buffer.data, 0, filled, 0x3C)) << size;
        EXPECT_TRUE(AllBytesAre(buffer.data, filled, buffer.capacity, 0)) << size;
        std::memset(buffer.data, 0x3C, buffer.capacity);
        filled = buffer.capacity;
    }
    buffer.Release();
    InstallAllocHooks(previous);
}

TEST(AdviseLargeBlock, KeepsContentsOfAnyBlockAndStaysInsideIt) {
    // Odd sizes and an odd start: the hint must stay inside the block.
    for (std::size_t size : {std::size_t{0}, std::size_t{4095}, std::size_t{(1u << 20) - 1},
                             std::size_t{(3u << 20) + 4099}}) {
        auto* raw = static_cast<std::uint8_t*>(std::malloc(size + 2));
        ASSERT_NE(raw, nullptr);
        for (std::size_t i = 0; i < size + 2; ++i) {
            raw[i] = static_cast<std::uint8_t>(i * 13 + 5);
        }
        AdviseLargeBlock(raw + 1, size);
        std::size_t kept = 0;
        while (kept < size + 2 && raw[kept] == static_cast<std::uint8_t>(kept * 13 + 5)) {
            ++kept;
        }
        EXPECT_EQ(kept, size + 2) << size;
        std::free(raw);
    }
    AdviseLargeBlock(nullptr, 8u << 20);  // nothing to map in
}

}  // namespace
