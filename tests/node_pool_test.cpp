#include "support/node_pool.h"

#include "platform/win32.h"
#include "support/alloc_hooks.h"
#include "support/library_objects.h"
#include "tests/test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <future>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace {

// Every node on the pool's free list, head first.
std::vector<ChainNode*> FreeList(const NodePool& pool) {
    std::vector<ChainNode*> nodes;
    for (ChainNode* node = pool.freeHead; node != nullptr && nodes.size() < 16; node = node->next) {
        nodes.push_back(node);
    }
    return nodes;
}

// Every field of a pool but its lock.
struct PoolState {
    ChainNode* freeHead;
    bool shutDown;
    ChainNode* blockHead;
    std::uint32_t freeCount;
    std::uint32_t secondCounter;
    bool operator==(const PoolState&) const = default;
};

PoolState StateOf(const NodePool& pool) {
    return {pool.freeHead, pool.shutDown, pool.blockHead, pool.freeCount, pool.secondCounter};
}

// Release hook that records each block it is given, then overwrites the
// block's link before freeing it, so that a walk reading the link after the
// release follows garbage instead of passing by luck. Recording uses a fixed
// array: growing a vector here would itself release through this hook.
std::array<void*, 8> g_released{};
std::size_t g_releaseCount = 0;
AllocHookTable g_previousHooks{};

void RecordingRelease(void* block) {
    if (g_releaseCount < g_released.size()) {
        g_released[g_releaseCount++] = block;
    }
    if (block != nullptr) {
        std::memset(block, 0xA5, sizeof(ChainNode));
    }
    g_previousHooks.release(block);
}

// The blocks given to the release slot while `operation` runs.
template <typename Operation>
std::vector<void*> ReleasesDuring(Operation operation) {
    g_releaseCount = 0;
    AllocHookTable hooks = DefaultAllocHooks();
    hooks.release = RecordingRelease;
    g_previousHooks = InstallAllocHooks(hooks);
    operation();
    InstallAllocHooks(g_previousHooks);
    return std::vector<void*>(g_released.begin(), g_released.begin() + static_cast<std::ptrdiff_t>(g_releaseCount));
}

TEST(NodePool, ConstructionEmptiesTheChainsWhateverTheStorageHeld) {
    alignas(NodePool) unsigned char storage[sizeof(NodePool)];
    std::memset(storage, 0xA5, sizeof storage);
    NodePool* pool = new (storage) NodePool;

    EXPECT_EQ(StateOf(*pool), (PoolState{nullptr, false, nullptr, 0, 0}));
    EnterCriticalSection(&pool->lock);
    LeaveCriticalSection(&pool->lock);

    pool->Shutdown();
    pool->~NodePool();
}

TEST(NodeList, ClearHandsNodesToARunningPoolInReverseAndDropsThemOnceItIsShutDown) {
    struct Case {
        bool shutDownFirst;
        std::size_t nodeCount;
    };
    for (const Case& c : {Case{false, 0}, Case{false, 3}, Case{true, 3}}) {
        SCOPED_TRACE(testing::Message() << "shut down " << c.shutDownFirst << ", nodes " << c.nodeCount);
        NodePool pool;
        if (c.shutDownFirst) {
            pool.Shutdown();
        }
        std::array<ChainNode, 3> nodes{{{&nodes[1]}, {&nodes[2]}, {nullptr}}};
        NodeList list(pool);
        list.first = c.nodeCount == 0 ? nullptr : &nodes[0];
        list.secondWord = 0xFFFFFFFFu;
        const PoolState before = StateOf(pool);

        // After a shut-down, a clear that entered the deleted lock would end
        // the process here.
        const std::vector<void*> released = ReleasesDuring([&list] { list.Clear(); });

        EXPECT_EQ(list.first, nullptr);
        EXPECT_EQ(list.secondWord, 0u);
        EXPECT_TRUE(released.empty());
        if (c.shutDownFirst || c.nodeCount == 0) {
            EXPECT_EQ(StateOf(pool), before);
            EXPECT_EQ(nodes[0].next, &nodes[1]);
            EXPECT_EQ(nodes[1].next, &nodes[2]);
        } else {
            EXPECT_EQ(FreeList(pool), (std::vector<ChainNode*>{&nodes[2], &nodes[1], &nodes[0]}));
            EXPECT_EQ(pool.freeCount, 3u);
            pool.Shutdown();
        }
    }
}

TEST(NodePool, ShutdownGivesEveryBlockBackThroughReleaseInChainOrder) {
    for (const std::size_t blockCount : {0u, 1u, 3u}) {
        SCOPED_TRACE(blockCount);
        NodePool pool;
        std::vector<void*> blocks;
        for (std::size_t i = 0; i < blockCount; ++i) {
            blocks.push_back(AllocHooks.allocate(4 * sizeof(ChainNode)));
            ASSERT_NE(blocks.back(), nullptr);
        }
        for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) {
            *static_cast<ChainNode*>(*block) = ChainNode{pool.blockHead};
            pool.blockHead = static_cast<ChainNode*>(*block);
        }
        // A node on the free list is not the pool's to release: it lives on
        // the stack, so releasing it would fail loudly.
        ChainNode freeNode{};
        pool.HandBack(&freeNode);

        EXPECT_EQ(ReleasesDuring([&pool] { pool.Shutdown(); }), blocks);
        EXPECT_TRUE(pool.shutDown);
        EXPECT_EQ(FreeList(pool), std::vector<ChainNode*>{&freeNode});
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
    const std::string command = std::string("\"") + TEXWELD_EXIT_PROBE + "\" " + record;

    const int status = std::system(command.c_str());
    const std::string steps = texweld_test::ReadFileBytes(record);

    EXPECT_EQ(status, 0);
    const auto code = [](LibraryExitEvent event) { return static_cast<char>('0' + static_cast<int>(event)); };
    EXPECT_EQ(steps, (std::string{code(LibraryExitEvent::PoolShutDown), code(LibraryExitEvent::SecondListCleared),
                                  code(LibraryExitEvent::FirstListCleared),
                                  code(LibraryExitEvent::LibraryLockDeleted)}));
}

}  // namespace
