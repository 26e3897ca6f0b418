// NodePool and NodeList: singly linked nodes handed back to a pool that
// collects them on a free list and gives its memory blocks back at shut-down.
//
// What a user may rely on:
//  - A node or a block is any memory whose first word is the link to the next
//    one in its chain (null at the end). Nothing else in it is touched.
//  - NodeList::Clear empties a list. While its pool is running, each node goes
//    in front of the pool's free list, so the list's last node ends up at the
//    head, and the free count rises by one per node. Once the pool is shut
//    down the nodes are dropped: neither handed back nor released.
//  - NodePool::Shutdown gives every block of the block chain back through
//    AllocHooks.release and deletes the pool's lock. The free list is left as
//    it is; its nodes belong to the blocks just given back. Shutdown runs
//    once; afterwards only NodeList::Clear and HandBack may still be called
//    (they find the pool shut down and do nothing to it).
//  - The pool's lock guards the free list and the free count only. The
//    shut-down flag is read outside it, so Shutdown must not run while
//    another thread hands nodes back.
//  - Neither type has a destructor: the owner decides when a list is cleared
//    and when a pool shuts down (library_objects.cpp does both at exit for the
//    process-wide instances).
#pragma once

#include "platform/win32.h"

#include <cstdint>

// The link word at the start of every node and every block.
struct ChainNode {
    ChainNode* next;
};

struct NodePool {
    ChainNode* freeHead;          // nodes handed back, most recent first
    bool shutDown;                // set once Shutdown has begun
    ChainNode* blockHead;         // blocks given back at shut-down
    std::uint32_t freeCount;      // nodes ever put on the free list
    std::uint32_t secondCounter;  // zero from construction; not used otherwise
    CRITICAL_SECTION lock;        // guards freeHead and freeCount

    // Creates the lock, then empties the chains and zeroes the counters.
    NodePool();

    NodePool(const NodePool&) = delete;
    NodePool& operator=(const NodePool&) = delete;

    // Links `node` in front of the free list and counts it, under the lock.
    // Does nothing once the pool is shut down.
    void HandBack(ChainNode* node);

    // Marks the pool shut down, gives each block of the block chain back
    // through AllocHooks.release and deletes the lock. Both heads keep their
    // values; they are not to be followed afterwards.
    void Shutdown();
};

struct NodeList {
    ChainNode* first;         // head of the list; null when empty
    std::uint32_t secondWord; // zeroed with the head; not used otherwise
    NodePool* pool;           // where Clear hands the nodes back

    // An empty list that hands its nodes to `pool`. Constant, so a list in
    // static storage is ready before any code runs.
    constexpr explicit NodeList(NodePool& pool) : first(nullptr), secondWord(0), pool(&pool) {}

    NodeList(const NodeList&) = delete;
    NodeList& operator=(const NodeList&) = delete;

    // Hands every node to the pool (see NodePool::HandBack), reading each
    // node's link before the pool relinks it, then sets the head to null and
    // the second word to 0.
    void Clear();
};
