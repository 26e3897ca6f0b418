#include "support/alloc_hooks.h"

#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <tuple>

namespace {

bool HoldsDefaults(const AllocHookTable& table) {
    const AllocHookTable defaults = DefaultAllocHooks();
    return table.release == defaults.release && table.allocate == defaults.allocate &&
           table.reallocate == defaults.reallocate && table.fourth == defaults.fourth;
}

TEST(AllocHooks, FirstCallThroughAnySlotInstallsAllFourDefaultsAndActsAsItsDefault) {
    // Each call says whether its result is the default's, and leaves any
    // block it obtained in `block` for the test to free.
    struct FirstCall {
        const char* what;
        bool (*call)(void*& block);
    };
    const FirstCall calls[] = {
        {"release of null", [](void*&) { return AllocHooks.release(nullptr), true; }},
        // A block from malloc must reach free: the sanitizer build reports a leak otherwise.
        {"release of a block", [](void*&) { return AllocHooks.release(std::malloc(8)), true; }},
        {"allocate", [](void*& block) { return (block = AllocHooks.allocate(32)) != nullptr; }},
        {"reallocate", [](void*& block) { return (block = AllocHooks.reallocate(nullptr, 16)) != nullptr; }},
        {"fourth", [](void*&) { return AllocHooks.fourth() == 0; }},
    };
    ASSERT_FALSE(HoldsDefaults(FirstUseAllocHooks()));  // else this proves nothing
    for (const FirstCall& first : calls) {
        void* block = nullptr;
        const AllocHookTable saved = InstallAllocHooks(FirstUseAllocHooks());
        const bool asDefault = first.call(block);
        const AllocHookTable after = InstallAllocHooks(saved);
        std::free(block);
        EXPECT_TRUE(asDefault) << first.what;
        EXPECT_TRUE(HoldsDefaults(after)) << first.what;
    }
}

TEST(AllocHooks, GlobalNewAndDeleteGoThroughTheSlotsAndReportExhaustion) {
    texweld_test::AllocFaultInjector injector;
    void* single = ::operator new(24);
    void* array = ::operator new[](40);
    void* empty = ::operator new(0);
    ::operator delete(single);
    ::operator delete[](array);
    ::operator delete(empty);
    const auto allocations = injector.Allocations();
    const auto releases = injector.Releases();
    const auto sizes = std::make_tuple(injector.SizeOf(0), injector.SizeOf(1), injector.SizeOf(2));
    EXPECT_EQ(allocations, 3u);
    EXPECT_EQ(releases, 3u);
    EXPECT_EQ(sizes, std::make_tuple(24u, 40u, 1u));  // new of 0 bytes asks for 1
    EXPECT_NE(empty, nullptr);

    // Truncating a count past 32 bits would hand back a block far too small.
    if constexpr (sizeof(std::size_t) > 4) {
        injector.ResetCounts();
        void* huge = ::operator new(static_cast<std::size_t>(std::uint64_t{1} << 33), std::nothrow);
        const auto asked = injector.Allocations();
        EXPECT_EQ(huge, nullptr);
        EXPECT_EQ(asked, 0u);
    }

    injector.FailAll();
    bool threw = false;
    try {
        // Kept, so that the compiler may not drop the call as unused.
        void* volatile kept = ::operator new(64);
        ::operator delete(kept);
    } catch (const std::bad_alloc&) {
        threw = true;
    }
    void* quiet = ::operator new[](64, std::nothrow);
    injector.Disarm();
    EXPECT_TRUE(threw);
    EXPECT_EQ(quiet, nullptr);
}

}  // namespace
