#include "support/byte_buffer.h"

#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

using texweld_test::AllocFaultInjector;

// What must hold between any two operations on a buffer.
testing::AssertionResult Consistent(const ByteBuffer& buffer) {
    if ((buffer.data == nullptr) != (buffer.capacity == 0)) {
        return testing::AssertionFailure() << "data " << static_cast<const void*>(buffer.data)
                                           << " with capacity " << buffer.capacity;
    }
    if (buffer.granularity == 0 || buffer.capacity % buffer.granularity != 0) {
        return testing::AssertionFailure() << "capacity " << buffer.capacity
                                           << " is not a multiple of " << buffer.granularity;
    }
    return testing::AssertionSuccess();
}

bool AllBytesAre(const std::uint8_t* bytes, std::uint32_t from, std::uint32_t to, std::uint8_t value) {
    return std::all_of(bytes + from, bytes + to, [value](std::uint8_t b) { return b == value; });
}

struct RoundingCase {
    std::uint32_t granularity;
    std::uint32_t count;
    std::uint32_t capacity;
    std::uint32_t allocations;
};

void PrintTo(const RoundingCase& c, std::ostream* out) {
    *out << "granularity " << c.granularity << ", count " << c.count;
}

class ByteBufferRounding : public testing::TestWithParam<RoundingCase> {};

TEST_P(ByteBufferRounding, ReserveRoundsTheCountUpToTheGranularity) {
    const RoundingCase c = GetParam();
    ByteBuffer buffer(c.granularity);
    AllocFaultInjector injector;
    const bool reserved = buffer.Reserve(c.count);
    const auto allocations = injector.Allocations();
    const auto asked = injector.SizeOf(0);
    EXPECT_TRUE(reserved);
    EXPECT_TRUE(Consistent(buffer));
    EXPECT_EQ(buffer.capacity, c.capacity);
    EXPECT_EQ(allocations, c.allocations);
    if (c.allocations != 0) {
        EXPECT_EQ(asked, c.capacity);  // no geometric growth, no slack
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ByteBufferRounding,
                         testing::Values(RoundingCase{8192, 0, 0, 0}, RoundingCase{8192, 1, 8192, 1},
                                         RoundingCase{8192, 8192, 8192, 1}, RoundingCase{8192, 8193, 16384, 1},
                                         RoundingCase{8192, 10000, 16384, 1}, RoundingCase{1, 7, 7, 1},
                                         RoundingCase{3, 7, 9, 1}, RoundingCase{256, 257, 512, 1},
                                         RoundingCase{3, 0xFFFF, 0xFFFF, 1}));

TEST(ByteBuffer, GrowthKeepsTheWholeOldBlockAndZeroesTheNewRoom) {
    ByteBuffer buffer(8192);
    AllocFaultInjector injector;
    injector.FillNewBlocks(0xEE);  // so that room left uninitialised shows
    ASSERT_TRUE(buffer.Reserve(1));
    EXPECT_TRUE(AllBytesAre(buffer.data, 0, 8192, 0));
    std::memset(buffer.data, 0xAB, buffer.capacity);
    buffer.size = 100;  // contents beyond size are kept too

    ASSERT_TRUE(buffer.Reserve(10000));
    injector.FillNewBlocks(-1);
    EXPECT_TRUE(Consistent(buffer));
    EXPECT_EQ(buffer.capacity, 16384u);
    EXPECT_EQ(buffer.size, 100u);
    EXPECT_TRUE(AllBytesAre(buffer.data, 0, 8192, 0xAB));
    EXPECT_TRUE(AllBytesAre(buffer.data, 8192, 16384, 0));
    EXPECT_EQ(injector.Releases(), 1u);  // the old block went back
}

TEST(ByteBuffer, ReserveWithinCapacityChangesNothing) {
    ByteBuffer buffer(8192);
    ASSERT_TRUE(buffer.Reserve(16384));
    buffer.data[16383] = 7;
    buffer.size = 12;
    const std::uint8_t* block = buffer.data;
    AllocFaultInjector injector;
    for (std::uint32_t count : {0u, 1u, 8192u, 16384u}) {
        EXPECT_TRUE(buffer.Reserve(count)) << count;
    }
    EXPECT_EQ(injector.Allocations(), 0u);
    EXPECT_EQ(buffer.data, block);
    EXPECT_EQ(buffer.capacity, 16384u);
    EXPECT_EQ(buffer.size, 12u);
    EXPECT_EQ(buffer.data[16383], 7);
}

TEST(ByteBuffer, ReleaseEmptiesAndMayBeRepeated) {
    ByteBuffer buffer(512);
    ASSERT_TRUE(buffer.Reserve(1000));
    buffer.size = 1000;
    AllocFaultInjector injector;
    buffer.Release();
    buffer.Release();
    EXPECT_EQ(injector.Releases(), 1u);
    EXPECT_TRUE(Consistent(buffer));
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_EQ(buffer.granularity, 512u);
    ASSERT_TRUE(buffer.Reserve(1));
    EXPECT_EQ(buffer.capacity, 512u);
}

struct OverflowCase {
    std::uint32_t granularity;
    std::uint32_t count;
};

void PrintTo(const OverflowCase& c, std::ostream* out) {
    *out << "granularity " << c.granularity << ", count " << c.count;
}

class ByteBufferOverflow : public testing::TestWithParam<OverflowCase> {};

// Rounded up in 32 bits these counts wrap to a small target (0 for the first
// ones), which would report success with far too little room.
TEST_P(ByteBufferOverflow, CountWhoseRoundingPassesFourGiBFails) {
    const OverflowCase c = GetParam();
    for (std::uint32_t held : {0u, 1u}) {
        ByteBuffer buffer(c.granularity);
        if (held != 0) {
            ASSERT_TRUE(buffer.Reserve(held));
        }
        const std::uint8_t* block = buffer.data;
        const std::uint32_t capacity = buffer.capacity;
        AllocFaultInjector injector;
        EXPECT_FALSE(buffer.Reserve(c.count)) << "holding " << held;
        EXPECT_EQ(injector.Allocations(), 0u);
        EXPECT_EQ(buffer.data, block);
        EXPECT_EQ(buffer.capacity, capacity);
        EXPECT_TRUE(Consistent(buffer));
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ByteBufferOverflow,
                         testing::Values(OverflowCase{8192, 0xFFFFE001u}, OverflowCase{8192, 0xFFFFFFFFu},
                                         OverflowCase{2, 0xFFFFFFFFu}, OverflowCase{7, 0xFFFFFFFFu}));

TEST(ByteBuffer, FailedGrowthKeepsBlockContentsAndCapacity) {
    ByteBuffer buffer(8192);
    ASSERT_TRUE(buffer.Reserve(8192));
    std::memset(buffer.data, 0x5A, buffer.capacity);
    buffer.size = 5;
    const std::uint8_t* block = buffer.data;
    {
        AllocFaultInjector injector;
        injector.FailAll();
        const bool reserved = buffer.Reserve(20000);
        const auto releases = injector.Releases();
        injector.Disarm();
        EXPECT_FALSE(reserved);
        EXPECT_EQ(releases, 0u);
    }
    EXPECT_TRUE(Consistent(buffer));
    EXPECT_EQ(buffer.data, block);
    EXPECT_EQ(buffer.capacity, 8192u);
    EXPECT_EQ(buffer.size, 5u);
    EXPECT_TRUE(AllBytesAre(buffer.data, 0, 8192, 0x5A));

    // Still usable: the next reservation grows it with the contents kept.
    ASSERT_TRUE(buffer.Reserve(20000));
    EXPECT_EQ(buffer.capacity, 24576u);
    EXPECT_TRUE(AllBytesAre(buffer.data, 0, 8192, 0x5A));
    EXPECT_TRUE(AllBytesAre(buffer.data, 8192, 24576, 0));
}

TEST(ByteBuffer, FailedFirstReservationLeavesNoBlock) {
    AllocFaultInjector injector;
    {
        ByteBuffer buffer(8192);
        injector.FailAll();
        const bool reserved = buffer.Reserve(1);
        injector.Disarm();
        EXPECT_FALSE(reserved);
        EXPECT_TRUE(Consistent(buffer));
        EXPECT_EQ(buffer.capacity, 0u);
    }
    EXPECT_EQ(injector.Outstanding(), 0);
}

}  // namespace
