#include "support/counted_string.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

using texweld_test::AllocFaultInjector;

bool AtSharedEmpty(const CountedString& string) {
    return string.GetString() == CountedString::SharedEmpty();
}

CountedStringHeader Header(const CountedString& string) {
    return *CountedString::HeaderOf(const_cast<char*>(string.GetString()));
}

// What must hold between any two operations on a string.
bool Consistent(const CountedString& string) {
    if (AtSharedEmpty(string)) {
        return string.GetString()[0] == '\0';
    }
    return Header(string).length >= 0 && Header(string).length < Header(string).capacity;
}

TEST(CountedString, BlockIsSizedForTheTextReusedOnlyWithRoomToSpareAndNeverShortOfIt) {
    // A string holding `held` (null: a fresh one) is assigned `text`, or prepared for `count` characters
    // when `text` is null. It then holds a block whose header has `capacity`, or is back at the shared
    // empty string; `asked` is the size of the block allocated (0 for none).
    struct Case {
        const char *what, *held, *text;
        std::int32_t count;
        bool noMemory, holdsBlock;
        std::uint32_t asked;
        std::int32_t capacity;
    };
    const Case cases[] = {
        {"text into a fresh string", nullptr, "stone", 0, false, true, 14, 6},  // header, 5 characters, terminator
        {"empty text", nullptr, "", 0, false, true, 9, 1},
        {"strictly shorter text", "stone", "ston", 0, false, true, 0, 6},
        {"text as long as the block's", "stone", "stone", 0, false, true, 14, 6},
        {"0 from the shared empty string", nullptr, nullptr, 0, false, true, 9, 1},
        {"0 into a block made for an empty text", "", nullptr, 0, false, false, 0, 0},
        {"0 into a block with room to spare", "ab", nullptr, 0, false, true, 0, 3},
        {"negative count", "abc", nullptr, -1, false, false, 0, 0},
        {"text without memory", "abc", "longer text", 0, true, false, 20, 0},
        {"count without memory", nullptr, nullptr, 3, true, false, 12, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AllocFaultInjector injector;
        {
            CountedString string;
            string.Assign(c.held);
            if (c.noMemory) {
                injector.FailAll();
            }
            const std::uint32_t earlier = injector.Allocations();
            const bool prepared = c.text != nullptr ? (string.Assign(c.text), true) : string.Prepare(c.count);
            injector.Disarm();
            const std::uint32_t allocations = injector.Allocations() - earlier;
            const std::uint32_t asked = injector.SizeOf(earlier);
            EXPECT_EQ(allocations, c.asked == 0 ? 0u : 1u);
            EXPECT_EQ(asked, c.asked);
            EXPECT_TRUE(Consistent(string));
            EXPECT_EQ(AtSharedEmpty(string), !c.holdsBlock);
            if (c.text == nullptr) {
                EXPECT_EQ(prepared, c.holdsBlock);
            }
            if (c.holdsBlock) {
                EXPECT_EQ(Header(string).capacity, c.capacity);
                EXPECT_EQ(Header(string).length, c.text != nullptr ? std::int32_t(std::strlen(c.text)) : c.count);
                if (c.text != nullptr) {
                    EXPECT_STREQ(string.GetString(), c.text);
                }
            }
        }
        EXPECT_EQ(injector.Outstanding(), 0);  // every replaced block went back
    }
}

TEST(CountedString, NullTextAndReleaseGoBackToTheSharedEmptyString) {
    AllocFaultInjector injector;
    {
        CountedString string;
        string.Assign("base");
        string.Assign(nullptr);
        EXPECT_TRUE(AtSharedEmpty(string));
        string.Assign("base");
        string.Release();
        string.Release();  // nothing more to give back
        EXPECT_TRUE(AtSharedEmpty(string));
    }
    EXPECT_EQ(injector.Outstanding(), 0);
}

}  // namespace
