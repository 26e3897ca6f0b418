#include "support/node_pool.h"

#include "support/alloc_hooks.h"

NodePool::NodePool() {
    // The lock exists before any field it guards is given a value.
    InitializeCriticalSection(&lock);
    shutDown = false;
    blockHead = nullptr;
    freeHead = nullptr;
    secondCounter = 0;
    freeCount = 0;
}

void NodePool::HandBack(ChainNode* node) {
    // Tested before the lock: once shut down, the lock no longer exists.
    if (shutDown) {
        return;
    }
    EnterCriticalSection(&lock);
    node->next = freeHead;
    freeHead = node;
    ++freeCount;
    LeaveCriticalSection(&lock);
}

void NodePool::Shutdown() {
    ChainNode* block = blockHead;
    shutDown = true;
    while (block != nullptr) {
        // The link must be read while the block is still ours.
        ChainNode* const next = block->next;
        AllocHooks.release(block);
        block = next;
    }
    DeleteCriticalSection(&lock);
}

void NodeList::Clear() {
    ChainNode* node = first;
    while (node != nullptr) {
        // HandBack overwrites the link, so read it first.
        ChainNode* const next = node->next;
        pool->HandBack(node);
        node = next;
    }
    first = nullptr;
    secondWord = 0;
}
