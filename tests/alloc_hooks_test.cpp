#include "support/alloc_hooks.h"

#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <tuple>

namespace {

using texweld_test::AllocFaultInjector;

bool HoldsDefaults(const AllocHookTable& table) {
    const AllocHookTable defaults = DefaultAllocHooks();
    return table.release == defaults.release && table.allocate == defaults.allocate &&
           table.reallocate == defaults.reallocate && table.fourth == defaults.fourth;
}

// One first call through one slot of the first-use table. It records the
// table right after that call, before anything else can run, and says
// whether the call gave the result its default would have.
struct FirstCall {
    const char* what;
    bool (*call)(AllocHookTable& after);
};

const FirstCall kFirstCalls[] = {
    {"release of null", [](AllocHookTable& after) {
         AllocHooks.release(nullptr);
         after = AllocHooks;
         return true;
     }},
    // A block from malloc must reach free: the sanitizer build reports a leak otherwise.
    {"release of a block", [](AllocHookTable& after) {
         void* block = std::malloc(8);
         AllocHooks.release(block);
         after = AllocHooks;
         return true;
     }},
    {"allocate", [](AllocHookTable& after) {
         void* block = AllocHooks.allocate(32);
         after = AllocHooks;
         AllocHooks.release(block);
         return block != nullptr;
     }},
    {"reallocate", [](AllocHookTable& after) {
         void* block = AllocHooks.reallocate(nullptr, 16);
         after = AllocHooks;
         AllocHooks.release(block);
         return block != nullptr;
     }},
    {"fourth", [](AllocHookTable& after) {
         const std::int32_t result = AllocHooks.fourth();
         after = AllocHooks;
         return result == 0;
     }},
};

TEST(AllocHooks, FirstCallThroughAnySlotInstallsAllFourDefaults) {
    ASSERT_FALSE(HoldsDefaults(FirstUseAllocHooks()));  // else this proves nothing
    for (const FirstCall& first : kFirstCalls) {
        AllocHookTable after{};
        const AllocHookTable saved = InstallAllocHooks(FirstUseAllocHooks());
        const bool resultAsDefault = first.call(after);
        InstallAllocHooks(saved);
        EXPECT_TRUE(resultAsDefault) << first.what;
        EXPECT_TRUE(HoldsDefaults(after)) << first.what;
    }
    EXPECT_EQ(DefaultAllocHooks().fourth(), 0);
}

TEST(AllocHooks, GlobalNewAndDeleteGoThroughTheSlots) {
    AllocFaultInjector injector;
    injector.ResetCounts();
    void* single = ::operator new(24);
    void* array = ::operator new[](40);
    void* empty = ::operator new(0);
    ::operator delete(single);
    ::operator delete[](array, 40);
    ::operator delete(empty);
    const auto allocations = injector.Allocations();
    const auto releases = injector.Releases();
    const auto sizes = std::make_tuple(injector.SizeOf(0), injector.SizeOf(1), injector.SizeOf(2));
    EXPECT_EQ(allocations, 3u);
    EXPECT_EQ(releases, 3u);
    EXPECT_EQ(sizes, std::make_tuple(24u, 40u, 1u));  // new of 0 bytes asks for 1
    EXPECT_NE(empty, nullptr);
}

TEST(AllocHooks, GlobalNewReportsExhaustionAsTheLanguageRequires) {
    AllocFaultInjector injector;
    injector.FailAll();
    bool threw = false;
    try {
        static_cast<void>(::operator new(64));
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    void* quiet = ::operator new[](64, std::nothrow);
    injector.Disarm();
    EXPECT_TRUE(threw);
    EXPECT_EQ(quiet, nullptr);
}

TEST(AllocHooks, GlobalNewRefusesCountsBeyondThirtyTwoBits) {
    // Truncating the count to 32 bits would hand back a block far too small.
    if constexpr (sizeof(std::size_t) <= 4) {
        GTEST_SKIP() << "every count fits in 32 bits here";
    }
    const auto huge = static_cast<std::size_t>(std::uint64_t{1} << 33);
    AllocFaultInjector injector;
    void* block = ::operator new(huge, std::nothrow);
    const auto allocations = injector.Allocations();
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(allocations, 0u);
}

}  // namespace
