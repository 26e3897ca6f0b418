#include "support/string_buffer.h"

#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using texweld_test::AllocFaultInjector;
using PathBuffer = TStringBufferA<260>;

// What must hold between any two operations on a buffer; `isInline` says
// whether the text lies in a template buffer's own array.
testing::AssertionResult Consistent(const CStringBufferA& buffer, bool isInline = false) {
    const char* text = buffer.GetString();
    if (text == nullptr) {
        return testing::AssertionFailure() << "null text";
    }
    if (static_cast<std::int32_t>(std::strlen(text)) != buffer.Length()) {
        return testing::AssertionFailure() << "length " << buffer.Length() << " for \"" << text << "\"";
    }
    if (text == CStringBufferA::SharedEmpty()) {
        if (buffer.Capacity() != 0 || buffer.Length() != 0 || text[0] != '\0') {
            return testing::AssertionFailure() << "shared empty string with capacity " << buffer.Capacity();
        }
        return testing::AssertionSuccess();
    }
    if (buffer.Length() >= buffer.Capacity()) {
        return testing::AssertionFailure() << "length " << buffer.Length() << ", capacity " << buffer.Capacity();
    }
    if (!isInline && buffer.Capacity() % 256 != 0) {
        return testing::AssertionFailure() << "heap capacity " << buffer.Capacity();
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult Consistent(const PathBuffer& buffer) {
    return Consistent(static_cast<const CStringBufferA&>(buffer), buffer.IsInline());
}

bool AtSharedEmpty(const CStringBufferA& buffer) {
    return buffer.GetString() == CStringBufferA::SharedEmpty();
}

TEST(StringBuffer, NewBuffersReadAsEmptyWithoutStorage) {
    CStringBufferA plain;
    PathBuffer path;
    EXPECT_TRUE(AtSharedEmpty(plain));
    EXPECT_TRUE(AtSharedEmpty(path));
    EXPECT_EQ(path.Capacity(), 0);  // not 260
    EXPECT_TRUE(Consistent(plain));
    EXPECT_TRUE(Consistent(path));
}

TEST(StringBuffer, HeapBlocksComeInWholeMultiplesOf256) {
    const std::pair<std::int32_t, std::int32_t> table[] = {{1, 256}, {256, 256}, {257, 512}, {260, 512}, {513, 768}};
    for (const auto& [size, expected] : table) {
        CStringBufferA buffer;
        AllocFaultInjector injector;
        buffer.Reserve(size);
        const auto asked = injector.SizeOf(0);
        EXPECT_EQ(buffer.Capacity(), expected) << size;
        EXPECT_EQ(asked, static_cast<std::uint32_t>(expected)) << size;
        EXPECT_TRUE(Consistent(buffer));
    }
}

TEST(StringBuffer, PlainBufferGrowsOnlyPastItsCapacityAndKeepsItsText) {
    CStringBufferA buffer;
    buffer.Assign("stone");
    const char* block = buffer.GetString();
    AllocFaultInjector injector;
    buffer.Reserve(256);
    EXPECT_EQ(buffer.GetString(), block);
    buffer.Reserve(257);
    const auto releases = injector.Releases();
    EXPECT_EQ(buffer.Capacity(), 512);
    EXPECT_STREQ(buffer.GetString(), "stone");
    EXPECT_EQ(buffer.Length(), 5);
    EXPECT_EQ(releases, 1u);
}

TEST(StringBuffer, TemplateServesUpTo260BytesInline) {
    const std::string longest(259, 'a');
    PathBuffer buffer;
    AllocFaultInjector injector;
    buffer.Reserve(5);
    EXPECT_TRUE(buffer.IsInline());
    EXPECT_EQ(buffer.Capacity(), 5);
    buffer.Reserve(3);  // the last reservation counts, even a smaller one
    EXPECT_EQ(buffer.Capacity(), 3);
    buffer.Assign(longest.c_str());
    buffer.Reserve(260);
    const auto allocations = injector.Allocations();
    EXPECT_TRUE(buffer.IsInline());
    EXPECT_EQ(buffer.Capacity(), 260);
    EXPECT_EQ(buffer.Length(), 259);
    EXPECT_EQ(allocations, 0u);
    EXPECT_TRUE(Consistent(buffer));
}

TEST(StringBuffer, TemplateMovesItsTextToTheHeapPast260Bytes) {
    PathBuffer buffer;
    buffer.Assign("stone.dds");
    AllocFaultInjector injector;
    buffer.Reserve(261);
    const auto asked = injector.SizeOf(0);
    EXPECT_FALSE(buffer.IsInline());
    EXPECT_EQ(buffer.Capacity(), 512);
    EXPECT_EQ(asked, 512u);
    EXPECT_STREQ(buffer.GetString(), "stone.dds");
    EXPECT_TRUE(Consistent(buffer));

    PathBuffer fresh;
    fresh.Assign(std::string(260, 'b').c_str());
    EXPECT_FALSE(fresh.IsInline());
    EXPECT_EQ(fresh.Capacity(), 512);
    EXPECT_TRUE(Consistent(fresh));
}

TEST(StringBuffer, TemplateStaysOnTheHeapUntilClearedWithRelease) {
    PathBuffer buffer;
    buffer.Assign(std::string(300, 'c').c_str());
    const char* block = buffer.GetString();

    buffer.Assign("abc");
    EXPECT_EQ(buffer.GetString(), block);
    EXPECT_EQ(buffer.Capacity(), 512);

    buffer.Clear(false);
    EXPECT_EQ(buffer.GetString(), block);
    EXPECT_EQ(buffer.Capacity(), 512);
    EXPECT_TRUE(Consistent(buffer));

    buffer.Clear(true);
    EXPECT_TRUE(AtSharedEmpty(buffer));
    EXPECT_TRUE(Consistent(buffer));
    buffer.Assign("abc");
    EXPECT_TRUE(buffer.IsInline());
    EXPECT_EQ(buffer.Capacity(), 4);
}

TEST(StringBuffer, ClearingAnInlineTextReturnsToSharedEmpty) {
    for (bool release : {false, true}) {
        PathBuffer buffer;
        buffer.Assign("abc");
        buffer.Clear(release);
        EXPECT_TRUE(AtSharedEmpty(buffer)) << release;
        EXPECT_TRUE(Consistent(buffer));
    }
}

TEST(StringBuffer, FormatWritesTheWholeTextAndReturnsItsLength) {
    PathBuffer buffer;
    EXPECT_EQ(buffer.Format("%s.%d", "stone.dds", 3), 11);
    EXPECT_STREQ(buffer.GetString(), "stone.dds.3");
    EXPECT_TRUE(Consistent(buffer));

    // Arguments are text, never a format.
    EXPECT_EQ(buffer.Format("%s", "100%d%s"), 7);
    EXPECT_STREQ(buffer.GetString(), "100%d%s");

    const std::string longText(1000, 'x');
    CStringBufferA plain;
    EXPECT_EQ(plain.Format("%s!", longText.c_str()), 1001);
    EXPECT_EQ(plain.GetString(), longText + "!");
    EXPECT_EQ(plain.Capacity(), 1024);
    EXPECT_TRUE(Consistent(plain));

    // An empty result empties the buffer; the block stays for the next text.
    const char* block = plain.GetString();
    EXPECT_EQ(plain.Format("%s", ""), 0);
    EXPECT_STREQ(plain.GetString(), "");
    EXPECT_EQ(plain.GetString(), block);
    EXPECT_TRUE(Consistent(plain));
}

struct CutCase {
    const char* source;
    bool right;
    std::int32_t count;
    const char* expected;
};

void PrintTo(const CutCase& c, std::ostream* out) {
    *out << (c.right ? "Right " : "Left ") << c.count << " of \"" << c.source << '"';
}

class StringBufferCut : public testing::TestWithParam<CutCase> {};

TEST_P(StringBufferCut, LeftAndRightCopyThePartAsked) {
    const CutCase c = GetParam();
    PathBuffer source;
    source.Assign(c.source);
    PathBuffer destination;
    destination.Assign("old text");
    CStringBufferA& result = c.right ? source.Right(destination, c.count) : source.Left(destination, c.count);
    EXPECT_EQ(&result, &destination);
    EXPECT_STREQ(destination.GetString(), c.expected);
    EXPECT_STREQ(source.GetString(), c.source);
    EXPECT_TRUE(Consistent(destination));
}

INSTANTIATE_TEST_SUITE_P(
    Counts, StringBufferCut,
    testing::Values(CutCase{"Stone.DDS.0", true, 6, ".DDS.0"}, CutCase{"Stone.DDS.0", false, 9, "Stone.DDS"},
                    CutCase{"abc", true, 6, "abc"}, CutCase{"abc", false, 6, "abc"},
                    CutCase{"abc", true, 0, ""}, CutCase{"abc", false, 0, ""},
                    CutCase{"abc", true, -1, ""}, CutCase{"abc", true, INT32_MIN, ""},
                    CutCase{"abc", false, -1, ""}, CutCase{"", true, 6, ""}, CutCase{"", false, 6, ""},
                    CutCase{"50%s%d", false, 4, "50%s"}, CutCase{"50%s%d", true, 2, "%d"}));

TEST(StringBuffer, EmptyCutsReachTheDestinationByTheirOwnPaths) {
    PathBuffer empty;
    PathBuffer right;
    empty.Right(right, 6);  // an assigned empty text: inline, capacity 1
    EXPECT_TRUE(right.IsInline());
    EXPECT_EQ(right.Capacity(), 1);

    PathBuffer source;
    source.Assign("abc");
    PathBuffer left;
    source.Left(left, 0);  // an empty formatted text: cleared
    EXPECT_TRUE(AtSharedEmpty(left));
}

TEST(StringBuffer, AssignWithoutMemoryLeavesAnEmptyUsableBuffer) {
    const std::string longP(300, 'p');
    const std::string longQ(300, 'q');
    AllocFaultInjector injector;
    {
        CStringBufferA plain;
        plain.Assign("held");  // a 256-byte block
        const char* block = plain.GetString();
        PathBuffer path;
        path.Assign("held");  // inline

        injector.FailAll();
        plain.Assign(longP.c_str());
        path.Assign(longQ.c_str());
        CStringBufferA fresh;
        fresh.Assign("abc");
        injector.Disarm();

        EXPECT_STREQ(plain.GetString(), "");
        EXPECT_EQ(plain.GetString(), block);
        EXPECT_EQ(plain.Capacity(), 256);
        EXPECT_TRUE(Consistent(plain));
        EXPECT_STREQ(path.GetString(), "");
        EXPECT_TRUE(Consistent(path));
        EXPECT_TRUE(AtSharedEmpty(fresh));
        EXPECT_TRUE(Consistent(fresh));

        plain.Assign(longP.c_str());
        path.Assign(longQ.c_str());
        EXPECT_EQ(plain.Length(), 300);
        EXPECT_EQ(path.Length(), 300);
    }
    EXPECT_EQ(injector.Outstanding(), 0);
}

TEST(StringBuffer, ReserveWithoutMemoryKeepsTheText) {
    PathBuffer path;
    path.Assign("inline");
    CStringBufferA plain;
    plain.Assign("heap");
    const char* block = plain.GetString();
    AllocFaultInjector injector;
    injector.FailAll();
    path.Reserve(300);
    plain.Reserve(300);
    injector.Disarm();
    EXPECT_TRUE(path.IsInline());
    EXPECT_STREQ(path.GetString(), "inline");
    EXPECT_TRUE(Consistent(path));
    EXPECT_EQ(plain.GetString(), block);
    EXPECT_EQ(plain.Capacity(), 256);
    EXPECT_STREQ(plain.GetString(), "heap");
}

TEST(StringBuffer, FormatWithoutMemoryWritesNothingAndReturnsZero) {
    AllocFaultInjector injector;
    {
        const std::string longText(600, 'f');
        CStringBufferA plain;
        plain.Assign("held");
        PathBuffer path;
        path.Assign("held");
        PathBuffer heapPath;
        heapPath.Assign(longText.c_str());  // 768-byte block
        CStringBufferA fresh;

        injector.FailAll();
        const std::int32_t results[] = {
            plain.Format("%s", longText.c_str()), path.Format("%s", longText.c_str()),
            heapPath.Format("%s%s", longText.c_str(), longText.c_str()), fresh.Format("%d", 12345)};
        injector.Disarm();

        for (std::int32_t result : results) {
            EXPECT_EQ(result, 0);
        }
        for (const CStringBufferA* buffer : {&plain, static_cast<CStringBufferA*>(&heapPath), &fresh}) {
            EXPECT_STREQ(buffer->GetString(), "");
            EXPECT_TRUE(Consistent(*buffer));
        }
        EXPECT_EQ(heapPath.Capacity(), 768);
        EXPECT_STREQ(path.GetString(), "");
        EXPECT_TRUE(Consistent(path));
        EXPECT_EQ(fresh.Format("%d", 12345), 5);
        EXPECT_STREQ(fresh.GetString(), "12345");
    }
    EXPECT_EQ(injector.Outstanding(), 0);
}

TEST(StringBuffer, EveryFailingAllocationOfACutLeavesABalancedHeap) {
    const std::string longText(700, 'r');
    for (std::uint32_t n = 1;; ++n) {
        AllocFaultInjector injector;
        bool completed;
        {
            PathBuffer source;
            PathBuffer destination;
            CStringBufferA plain;
            injector.FailNth(n);
            source.Assign(longText.c_str());
            source.Left(destination, 650);
            source.Right(plain, 400);
            injector.Disarm();
            completed = injector.Failures() == 0;
            EXPECT_TRUE(Consistent(source));
            EXPECT_TRUE(Consistent(destination));
            EXPECT_TRUE(Consistent(plain));
            if (completed) {
                EXPECT_EQ(destination.Length(), 650);
                EXPECT_EQ(plain.Length(), 400);
            }
        }
        EXPECT_EQ(injector.Outstanding(), 0) << "failing allocation " << n;
        if (completed) {
            break;
        }
    }
}

}  // namespace
