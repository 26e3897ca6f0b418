// Large blocks: the zeroed allocation that ByteBuffer uses while the default
// allocator is installed, and the hint that maps a block in before it is
// filled. Neither may change what a block holds.
#include "platform/memory_hints.h"
#include "support/alloc_hooks.h"
#include "support/byte_buffer.h"

#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

using texweld_test::AllocFaultInjector;

// Sizes on either side of the allocator's switch from heap to mapped blocks,
// and of the 1 MiB from which blocks are mapped in ahead.
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

// Puts the default routines in the table for the test's duration.
class WithDefaultHooks : public testing::Test {
protected:
    void SetUp() override { previous_ = InstallAllocHooks(DefaultAllocHooks()); }
    void TearDown() override { InstallAllocHooks(previous_); }

private:
    AllocHookTable previous_{};
};

TEST_F(WithDefaultHooks, ZeroedAllocationReadsAsZeroEvenInReusedMemory) {
    for (std::uint32_t size : kSizes) {
        LeaveDirtyMemory(size);
        bool zeroed = false;
        auto* block = static_cast<std::uint8_t*>(AllocateMaybeZeroed(size, zeroed));
        ASSERT_NE(block, nullptr) << size;
        EXPECT_TRUE(zeroed) << size;
        EXPECT_TRUE(AllBytesAre(block, 0, size, 0)) << size;
        AllocHooks.release(block);
    }
}

TEST(AllocateMaybeZeroed, OtherHooksSeeTheCallAndItsFailure) {
    AllocFaultInjector injector;
    injector.FillNewBlocks(0xEE);
    bool zeroed = true;
    void* block = AllocateMaybeZeroed(4096, zeroed);
    const auto allocations = injector.Allocations();
    const auto asked = injector.SizeOf(0);
    EXPECT_NE(block, nullptr);
    EXPECT_FALSE(zeroed);  // the caller must fill it: these hooks do not zero
    EXPECT_EQ(allocations, 1u);
    EXPECT_EQ(asked, 4096u);
    AllocHooks.release(block);

    injector.FailAll();
    void* refused = AllocateMaybeZeroed(4096, zeroed);
    injector.Disarm();
    EXPECT_EQ(refused, nullptr);
    EXPECT_EQ(injector.Outstanding(), 0);
}

// The grown-from size of each step is the previous step's, so every growth
// copies a block that is full of data and must zero only what it adds.
TEST_F(WithDefaultHooks, GrowthZeroesNewRoomAndKeepsContentsAcrossSizes) {
    ByteBuffer buffer(8192);
    std::uint32_t filled = 0;
    for (std::uint32_t size : kSizes) {
        LeaveDirtyMemory(size);
        ASSERT_TRUE(buffer.Reserve(size)) << size;
        ASSERT_GE(buffer.capacity, size);
        EXPECT_TRUE(AllBytesAre(buffer.data, 0, filled, 0x3C)) << size;
        EXPECT_TRUE(AllBytesAre(buffer.data, filled, buffer.capacity, 0)) << size;
        std::memset(buffer.data, 0x3C, buffer.capacity);
        filled = buffer.capacity;
    }
}

TEST(AdviseLargeBlock, KeepsContentsOfAnyBlock) {
    // Odd sizes and an odd start: the hint must stay inside the block.
    for (std::size_t size : {std::size_t{0}, std::size_t{4095}, std::size_t{(1u << 20) - 1},
                             std::size_t{(3u << 20) + 4099}}) {
        auto* raw = static_cast<std::uint8_t*>(std::malloc(size + 2));
        ASSERT_NE(raw, nullptr);
        raw[0] = 0x11;
        raw[size + 1] = 0x22;
        std::uint8_t* block = raw + 1;
        for (std::size_t i = 0; i < size; ++i) {
            block[i] = static_cast<std::uint8_t>(i * 13 + 5);
        }
        AdviseLargeBlock(block, size);
        bool kept = true;
        for (std::size_t i = 0; i < size && kept; ++i) {
            kept = block[i] == static_cast<std::uint8_t>(i * 13 + 5);
        }
        EXPECT_TRUE(kept) << size;
        EXPECT_EQ(raw[0], 0x11) << size;
        EXPECT_EQ(raw[size + 1], 0x22) << size;
        std::free(raw);
    }
    AdviseLargeBlock(nullptr, 8u << 20);  // nothing to map in
}

TEST(AdviseLargeBlock, FreshZeroedBlockStillReadsAsZero) {
    const std::size_t size = (5u << 20) + 123;
    auto* block = static_cast<std::uint8_t*>(std::calloc(size, 1));
    ASSERT_NE(block, nullptr);
    AdviseLargeBlock(block, size);
    EXPECT_TRUE(AllBytesAre(block, 0, size, 0));
    std::free(block);
}

}  // namespace
