#include "support/counted_string.h"

#include "tests/test_support.h"

#include <gtest/gtest.h>

namespace {

using texweld_test::AllocFaultInjector;

bool AtSharedEmpty(const CountedString& string) {
    return string.GetString() == CountedString::SharedEmpty();
}

CountedStringHeader Header(const CountedString& string) {
    return *CountedString::HeaderOf(const_cast<char*>(string.GetString()));
}

TEST(CountedString, BlockHoldsHeaderTextAndTerminator) {
    CountedString string;
    EXPECT_TRUE(AtSharedEmpty(string));
    AllocFaultInjector injector;
    string.Assign("stone");
    const auto asked = injector.SizeOf(0);
    EXPECT_EQ(asked, 14u);  // two header words, five characters, terminator
    EXPECT_STREQ(string.GetString(), "stone");
    EXPECT_EQ(Header(string).capacity, 6);
    EXPECT_EQ(Header(string).length, 5);
}

TEST(CountedString, BlockIsReusedOnlyForAStrictlyShorterText) {
    CountedString string;
    string.Assign("stone");
    const char* block = string.GetString();
    AllocFaultInjector injector;

    string.Assign("ston");
    EXPECT_EQ(injector.Allocations(), 0u);
    EXPECT_EQ(string.GetString(), block);
    EXPECT_STREQ(string.GetString(), "ston");
    EXPECT_EQ(Header(string).capacity, 6);
    EXPECT_EQ(Header(string).length, 4);

    // As long as the text the block was made for: a new block.
    string.Assign("stone");
    const auto allocations = injector.Allocations();
    const auto releases = injector.Releases();
    const auto asked = injector.SizeOf(0);
    EXPECT_EQ(allocations, 1u);
    EXPECT_EQ(releases, 1u);
    EXPECT_EQ(asked, 14u);
    EXPECT_STREQ(string.GetString(), "stone");
}

TEST(CountedString, PrepareZeroAllocatesOnlyFromTheSharedEmptyString) {
    CountedString string;
    AllocFaultInjector injector;
    EXPECT_TRUE(string.Prepare(0));
    EXPECT_EQ(injector.SizeOf(0), 9u);
    EXPECT_FALSE(AtSharedEmpty(string));
    EXPECT_EQ(Header(string).capacity, 1);
    EXPECT_EQ(Header(string).length, 0);

    // A block made for an empty text cannot be reused for one.
    EXPECT_FALSE(string.Prepare(0));
    EXPECT_TRUE(AtSharedEmpty(string));
    EXPECT_EQ(injector.Allocations(), 1u);
    EXPECT_EQ(injector.Outstanding(), 0);

    // A block with room to spare is kept.
    string.Assign("ab");
    const char* block = string.GetString();
    EXPECT_TRUE(string.Prepare(0));
    EXPECT_EQ(string.GetString(), block);
    EXPECT_EQ(Header(string).length, 0);
}

TEST(CountedString, AssignOfEmptyTextHoldsJustTheTerminator) {
    CountedString string;
    AllocFaultInjector injector;
    string.Assign("");
    EXPECT_EQ(injector.SizeOf(0), 9u);
    EXPECT_STREQ(string.GetString(), "");
    EXPECT_FALSE(AtSharedEmpty(string));
}

TEST(CountedString, NullAssignAndReleaseReturnToTheSharedEmptyString) {
    AllocFaultInjector injector;
    {
        CountedString string;
        string.Release();  // nothing to give back
        EXPECT_EQ(injector.Releases(), 0u);
        string.Assign("base");
        string.Assign(nullptr);
        EXPECT_TRUE(AtSharedEmpty(string));
        string.Assign("base");
        string.Release();
        EXPECT_TRUE(AtSharedEmpty(string));
        string.Release();
        string.Assign("kept until destruction");
    }
    EXPECT_EQ(injector.Allocations(), 3u);
    EXPECT_EQ(injector.Outstanding(), 0);
}

TEST(CountedString, NegativeCountGetsNoBlock) {
    CountedString string;
    string.Assign("abc");
    AllocFaultInjector injector;
    EXPECT_FALSE(string.Prepare(-1));
    EXPECT_TRUE(AtSharedEmpty(string));
    EXPECT_EQ(injector.Allocations(), 0u);
    EXPECT_EQ(injector.Releases(), 1u);  // the old block went back
}

TEST(CountedString, AllocationFailureLeavesTheSharedEmptyString) {
    AllocFaultInjector injector;
    {
        CountedString fresh;
        CountedString held;
        held.Assign("abc");
        injector.FailAll();
        fresh.Assign("text");
        held.Assign("longer text");
        const bool prepared = fresh.Prepare(3);
        injector.Disarm();
        const auto releases = injector.Releases();
        EXPECT_FALSE(prepared);
        EXPECT_EQ(releases, 1u);  // held's old block went back
        EXPECT_TRUE(AtSharedEmpty(fresh));
        EXPECT_TRUE(AtSharedEmpty(held));
        EXPECT_STREQ(held.GetString(), "");
        held.Assign("again");
        EXPECT_STREQ(held.GetString(), "again");
    }
}

}  // namespace
