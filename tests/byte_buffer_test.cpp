#include "support/byte_buffer.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace {

using texweld_test::AllocFaultInjector;

// What must hold between any two operations on a buffer.
bool Consistent(const ByteBuffer& buffer) {
    return (buffer.data == nullptr) == (buffer.capacity == 0) && buffer.granularity != 0 &&
           buffer.capacity % buffer.granularity == 0 && buffer.size <= buffer.capacity;
}

bool AllBytesAre(const ByteBuffer& buffer, std::uint32_t from, std::uint32_t to, std::uint8_t value) {
    return std::all_of(buffer.data + from, buffer.data + to, [value](std::uint8_t b) { return b == value; });
}

TEST(ByteBuffer, ReserveRoundsUpToTheGranularityAndRefusesTargetsPastFourGiB) {
    struct Case {
        std::uint32_t granularity, count, capacity;
        bool reserved;
    };
    // The refused counts wrap to a tiny target when rounded in 32 bits,
    // which would report success with far too little room.
    const Case cases[] = {
        {8192, 0, 0, true},        {8192, 1, 8192, true},      {8192, 8192, 8192, true},
        {8192, 8193, 16384, true}, {3, 7, 9, true},            {1, 7, 7, true},
        {3, 0xFFFF, 0xFFFF, true}, {8192, 0xFFFFE001u, 0, false}, {8192, 0xFFFFFFFFu, 0, false},
        {2, 0xFFFFFFFFu, 0, false}, {7, 0xFFFFFFFFu, 0, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "granularity " << c.granularity << ", count " << c.count);
        ByteBuffer buffer(c.granularity);
        AllocFaultInjector injector;
        const bool reserved = buffer.Reserve(c.count);
        const auto allocations = injector.Allocations();
        const auto asked = injector.SizeOf(0);
        EXPECT_EQ(reserved, c.reserved);
        EXPECT_EQ(buffer.capacity, c.capacity);
        EXPECT_EQ(allocations, c.capacity == 0 ? 0u : 1u);
        EXPECT_EQ(asked, c.capacity);  // exactly the rounded count: no slack
        EXPECT_TRUE(Consistent(buffer));
    }
}

TEST(ByteBuffer, GrowthKeepsTheOldBlockAndZeroesTheNewRoomAndAFailedOneChangesNothing) {
    AllocFaultInjector injector;
    injector.FillNewBlocks(0xEE);  // so that room left uninitialised shows
    {
        ByteBuffer buffer(8192);
        injector.FailAll();
        EXPECT_FALSE(buffer.Reserve(1));
        injector.Disarm();
        EXPECT_TRUE(Consistent(buffer));
        ASSERT_TRUE(buffer.Reserve(1));
        EXPECT_TRUE(AllBytesAre(buffer, 0, 8192, 0));
        std::memset(buffer.data, 0x5A, buffer.capacity);
        buffer.size = 100;  // contents beyond size are kept too

        const std::uint8_t* block = buffer.data;
        injector.FailAll();
        EXPECT_FALSE(buffer.Reserve(20000));
        injector.Disarm();
        EXPECT_TRUE(Consistent(buffer));
        EXPECT_EQ(buffer.data, block);
        EXPECT_EQ(buffer.capacity, 8192u);
        EXPECT_TRUE(AllBytesAre(buffer, 0, 8192, 0x5A));

        ASSERT_TRUE(buffer.Reserve(20000));
        EXPECT_EQ(buffer.capacity, 24576u);
        EXPECT_EQ(buffer.size, 100u);
        EXPECT_TRUE(AllBytesAre(buffer, 0, 8192, 0x5A));
        EXPECT_TRUE(AllBytesAre(buffer, 8192, 24576, 0));

        block = buffer.data;  // no growth within the capacity
        const std::uint32_t allocations = injector.Allocations();
        for (std::uint32_t count : {0u, 8192u, 24576u}) {
            EXPECT_TRUE(buffer.Reserve(count)) << count;
        }
        EXPECT_EQ(injector.Allocations(), allocations);
        EXPECT_EQ(buffer.data, block);

        buffer.Release();
        buffer.Release();
        EXPECT_TRUE(Consistent(buffer));
        EXPECT_EQ(buffer.size, 0u);
        ASSERT_TRUE(buffer.Reserve(1));
        EXPECT_EQ(buffer.capacity, 8192u);  // the granularity stayed
    }
    injector.FillNewBlocks(-1);
    EXPECT_EQ(injector.Outstanding(), 0);  // each outgrown block went back
}

}  // namespace
