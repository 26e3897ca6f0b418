#include "support/node_pool.h"

#include "platform/win32.h"
#include "support/alloc_hooks.h"
#include "support/library_objects.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <new>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

// Every field of a pool but its lock.
auto StateOf(const NodePool& pool) {
    return std::make_tuple(pool.freeHead, pool.shutDown, pool.blockHead, pool.freeCount, pool.secondCounter);
}

// Release hook that records each block it is given, then overwrites the
// block's link before freeing it, so that a walk reading the link after the
// release follows garbage instead of passing by luck. Recording uses a fixed
// array: growing a vector here would itself release through this hook.
std::array<void*, 8> g_released{};
std::size_t g_releaseCount = 0;

void RecordingRelease(void* block) {
    if (g_releaseCount < g_released.size()) {
        g_released[g_releaseCount++] = block;
    }
    if (block != nullptr) {
        std::memset(block, 0xA5, sizeof(ChainNode));
    }
    DefaultAllocHooks().release(block);
}

// The blocks given to the release slot while `operation` runs.
template <typename Operation>
std::vector<void*> ReleasesDuring(Operation operation) {
    g_releaseCount = 0;
    AllocHookTable hooks = DefaultAllocHooks();
    hooks.release = RecordingRelease;
    const AllocHookTable previous = InstallAllocHooks(hooks);
    operation();
    InstallAllocHooks(previous);
    return std::vector<void*>(g_released.begin(), g_released.begin() + static_cast<std::ptrdiff_t>(g_releaseCount));
}

TEST(NodeList, ClearHandsNodesToARunningPoolInReverseAndDropsThemOnceItIsShutDown) {
    for (bool shutDownFirst : {false, true}) {
        SCOPED_TRACE(shutDownFirst ? "shut down" : "running");
        // Construction must not rely on zeroed storage.
        alignas(NodePool) unsigned char storage[sizeof(NodePool)];
        std::memset(storage, 0xA5, sizeof storage);
        NodePool& pool = *new (storage) NodePool;
        EXPECT_EQ(StateOf(pool), std::make_tuple(nullptr, false, nullptr, 0u, 0u));
        if (shutDownFirst) {
            pool.Shutdown();
        }
        std::array<ChainNode, 3> nodes{};
        nodes[0] = {&nodes[1]};
        nodes[1] = {&nodes[2]};
        NodeList list(pool);
        list.first = &nodes[0];
        list.secondWord = 0xFFFFFFFFu;
        const auto before = StateOf(pool);
        // After a shut-down, a clear that entered the deleted lock would end
        // the process here.
        EXPECT_TRUE(ReleasesDuring([&list] { list.Clear(); }).empty());
        EXPECT_EQ(list.first, nullptr);
        EXPECT_EQ(list.secondWord, 0u);
        if (shutDownFirst) {
            EXPECT_EQ(StateOf(pool), before);
            EXPECT_EQ(nodes[0].next, &nodes[1]);
            EXPECT_EQ(nodes[1].next, &nodes[2]);
        } else {
            EXPECT_TRUE(pool.freeHead == &nodes[2] && nodes[2].next == &nodes[1] && nodes[1].next == &nodes[0] &&
                        nodes[0].next == nullptr);
            EXPECT_EQ(pool.freeCount, 3u);
            pool.Shutdown();
        }
    }
}

TEST(NodePool, ShutdownGivesEveryBlockBackThroughReleaseInChainOrder) {
    for (const std::size_t blockCount : {0u, 1u, 3u}) {
        SCOPED_TRACE(blockCount);
        NodePool pool;
        std::vector<void*> blocks(blockCount);
        for (std::size_t i = blockCount; i-- > 0;) {
            blocks[i] = AllocHooks.allocate(4 * sizeof(ChainNode));
            ASSERT_NE(blocks[i], nullptr);
            pool.blockHead = new (blocks[i]) ChainNode{pool.blockHead};
        }
        // A node on the free list is not the pool's to release: it lives on
        // the stack, so releasing it would fail loudly.
        ChainNode freeNode{};
        pool.HandBack(&freeNode);
        EXPECT_EQ(ReleasesDuring([&pool] { pool.Shutdown(); }), blocks);
        EXPECT_TRUE(pool.shutDown);
        EXPECT_TRUE(pool.freeHead == &freeNode && freeNode.next == nullptr);
        EXPECT_EQ(pool.freeCount, 1u);
    }
}

// Runs `work` on a thread of its own; false if it is still blocked after a
// few seconds (the thread is then abandoned).
template <typename Work>
bool FinishesOnAnotherThread(Work work) {
    std::packaged_task<void()> task(work);
    std::future<void> done = task.get_future();
    std::thread(std::move(task)).detach();
    return done.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
}

TEST(CriticalSection, OwnerMayReenterAndOthersGetInOnceItLeftAsOftenAsItEntered) {
    static CRITICAL_SECTION section;  // outlives an abandoned thread
    InitializeCriticalSection(&section);
    ASSERT_TRUE(FinishesOnAnotherThread([] {
        EnterCriticalSection(&section);
        EnterCriticalSection(&section);
        LeaveCriticalSection(&section);
        LeaveCriticalSection(&section);
    }));
    ASSERT_TRUE(FinishesOnAnotherThread([] {
        EnterCriticalSection(&section);
        LeaveCriticalSection(&section);
    }));
    DeleteCriticalSection(&section);
}

TEST(LibraryObjects, NormalRunShutsThePoolDownFirstAndDeletesLibraryLockLast) {
    const texweld_test::TempDir dir;
    const std::string record = dir.File("exit_steps");
    // Only the probe's path is quoted: the scratch path has no spaces, and
    // a command with one quoted part reads the same to every shell.
    const std::string command =
        std::string(TEXWELD_EXIT_PROBE_RUNNER) + " \"" + TEXWELD_EXIT_PROBE + "\" " + record;
    EXPECT_EQ(std::system(command.c_str()), 0);
    // The probe writes each LibraryExitEvent's code: the pool, the second
    // list, the first list, LibraryLock.
    EXPECT_EQ(texweld_test::ReadFileBytes(record), "1234");
}

}  // namespace
