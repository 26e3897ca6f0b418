#include "support/string_buffer.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using texweld_test::AllocFaultInjector;
using PathBuffer = TStringBufferA<260>;

bool IsInline(const CStringBufferA&) {
    return false;
}

bool IsInline(const PathBuffer& buffer) {
    return buffer.IsInline();
}

bool AtSharedEmpty(const CStringBufferA& buffer) {
    return buffer.GetString() == CStringBufferA::SharedEmpty();
}

// What must hold between any two operations on a buffer.
template <typename Buffer>
bool Consistent(const Buffer& buffer) {
    if (AtSharedEmpty(buffer)) {
        return buffer.Capacity() == 0 && buffer.Length() == 0 && buffer.GetString()[0] == '\0';
    }
    return static_cast<std::int32_t>(std::strlen(buffer.GetString())) == buffer.Length() &&
           buffer.Length() < buffer.Capacity() && (IsInline(buffer) || buffer.Capacity() % 256 == 0);
}

TEST(StringBuffer, HeapRoomComesInMultiplesOf256AndTheTemplateKeepsUpTo260BytesInline) {
    // A PathBuffer or a plain buffer holding `held` characters reserves room; the capacity is inline exactly
    // when not a multiple of 256, and `asked` is the size of the new block (0 for none).
    struct Case {
        bool path;
        std::size_t held;
        std::int32_t reserve, capacity;
        std::uint32_t asked;
    };
    const Case cases[] = {
        {false, 0, 1, 256, 256},   {false, 0, 256, 256, 256}, {false, 0, 257, 512, 512}, {false, 0, 513, 768, 768},
        {false, 5, 256, 256, 0},   {false, 5, 257, 512, 512}, {true, 0, 5, 5, 0},         {true, 259, 260, 260, 0},
        {true, 9, 261, 512, 512},  {true, 0, 261, 512, 512}, {true, 300, 3, 512, 0},  // once on the heap, stays
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.path ? "path" : "plain") << " holding " << c.held << ", reserve "
                                        << c.reserve);
        const std::string text(c.held, 'h');
        AllocFaultInjector injector;
        const auto check = [&](auto& buffer) {
            buffer.Assign(c.held != 0 ? text.c_str() : nullptr);
            const std::uint32_t earlier = injector.Allocations();
            buffer.Reserve(c.reserve);
            const std::uint32_t asked = injector.SizeOf(earlier);
            const std::uint32_t allocations = injector.Allocations() - earlier;
            EXPECT_EQ(buffer.Capacity(), c.capacity);
            EXPECT_EQ(IsInline(buffer), c.capacity % 256 != 0);
            EXPECT_EQ(allocations, c.asked == 0 ? 0u : 1u);
            EXPECT_EQ(asked, c.asked);
            EXPECT_EQ(buffer.GetString(), text);
            EXPECT_TRUE(Consistent(buffer));
        };
        PathBuffer path;
        CStringBufferA plain;
        c.path ? check(path) : check(plain);
    }
}

TEST(StringBuffer, ClearKeepsAHeapBlockUnlessToldToReleaseIt) {
    PathBuffer buffer;
    buffer.Assign("abc");
    buffer.Clear(false);  // an inline text goes back to the shared empty string
    EXPECT_TRUE(AtSharedEmpty(buffer));
    buffer.Assign(std::string(300, 'c').c_str());
    const char* block = buffer.GetString();
    buffer.Clear(false);
    EXPECT_EQ(buffer.GetString(), block);
    EXPECT_EQ(buffer.Capacity(), 512);
    EXPECT_TRUE(Consistent(buffer));
    buffer.Clear(true);
    EXPECT_TRUE(AtSharedEmpty(buffer) && Consistent(buffer));
    buffer.Assign("abc");  // back in the array
    EXPECT_TRUE(buffer.IsInline());
}

TEST(StringBuffer, FormatWritesTheWholeTextAndReturnsItsLength) {
    const std::string longText(1000, 'x');
    CStringBufferA buffer;
    EXPECT_EQ(buffer.Format("%s.%d", longText.c_str(), 3), 1002);
    EXPECT_EQ(buffer.GetString(), longText + ".3");
    EXPECT_EQ(buffer.Capacity(), 1024);
    const char* block = buffer.GetString();
    EXPECT_EQ(buffer.Format("%s", ""), 0);  // empties the text; the block stays for the next one
    EXPECT_EQ(buffer.GetString(), block);
    EXPECT_TRUE(Consistent(buffer));
}

TEST(StringBuffer, LeftAndRightCopyThePartAsked) {
    struct Case {
        const char* source;
        bool right;
        std::int32_t count;
        const char* expected;
    };
    const Case cases[] = {
        {"Stone.DDS.0", true, 6, ".DDS.0"}, {"Stone.DDS.0", false, 9, "Stone.DDS"}, {"abc", true, 6, "abc"},
        {"abc", false, 6, "abc"},           {"abc", true, 0, ""},                   {"abc", false, 0, ""},
        {"abc", true, -1, ""},              {"abc", true, INT32_MIN, ""},           {"abc", false, -1, ""},
        {"", true, 6, ""},                  {"", false, 6, ""},                     {"50%s%d", false, 4, "50%s"},
        {"50%s%d", true, 2, "%d"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << (c.right ? "Right " : "Left ") << c.count << " of " << c.source);
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
}

// Without memory Reserve leaves a buffer as it was, and the operations that
// needed the room leave an empty text rather than write past the room they have.
TEST(StringBuffer, WithoutMemoryReserveKeepsTheTextAndTheOthersEmptyIt) {
    struct Operation {
        const char* name;
        bool keepsText;
        std::int32_t (*run)(CStringBufferA& buffer, const CStringBufferA& source);
    };
    const Operation operations[] = {
        {"Reserve", true, [](CStringBufferA& b, const CStringBufferA&) { return b.Reserve(2000), 0; }},
        {"Assign", false, [](CStringBufferA& b, const CStringBufferA& s) { return b.Assign(s.GetString()), 0; }},
        {"Format", false, [](CStringBufferA& b, const CStringBufferA& s) { return b.Format("%s", s.GetString()); }},
        {"Left", false, [](CStringBufferA& b, const CStringBufferA& s) { return s.Left(b, 650), 0; }},
        {"Right", false, [](CStringBufferA& b, const CStringBufferA& s) { return s.Right(b, 650), 0; }},
    };
    for (const Operation& operation : operations) {
        SCOPED_TRACE(operation.name);
        AllocFaultInjector injector;
        const auto attempt = [&](auto& buffer, const CStringBufferA& source, const char* what) {
            SCOPED_TRACE(what);
            const std::string text = buffer.GetString();
            const char* storage = buffer.GetString();
            const std::int32_t capacity = buffer.Capacity();
            const bool wasInline = IsInline(buffer);
            injector.FailAll();
            const std::int32_t result = operation.run(buffer, source);
            injector.Disarm();
            EXPECT_EQ(result, 0);
            EXPECT_EQ(buffer.GetString(), operation.keepsText ? text : std::string());
            if (operation.keepsText || !wasInline) {  // an emptied inline text moves to the shared empty string
                EXPECT_EQ(buffer.GetString(), storage);
                EXPECT_EQ(buffer.Capacity(), capacity);
            }
            EXPECT_TRUE(Consistent(buffer));
            operation.run(buffer, source);  // usable once memory is back
            EXPECT_EQ(buffer.Length(), operation.keepsText ? static_cast<std::int32_t>(text.size()) : 650);
        };
        {
            CStringBufferA source;
            source.Assign(std::string(650, 's').c_str());
            CStringBufferA fresh;
            CStringBufferA plain;
            PathBuffer inlinePath;
            PathBuffer heapPath;
            plain.Assign("held");
            inlinePath.Assign("held");
            heapPath.Assign(std::string(300, 'h').c_str());
            attempt(fresh, source, "fresh");
            attempt(plain, source, "plain");
            attempt(inlinePath, source, "inline path");
            attempt(heapPath, source, "heap path");
        }
        EXPECT_EQ(injector.Outstanding(), 0);
    }
}

}  // namespace
