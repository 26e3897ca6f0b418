#include "support/library_objects.h"

#include "platform/win32.h"
#include "support/node_pool.h"

namespace {

constinit LibraryExitObserver g_exitObserver = nullptr;

void Report(LibraryExitEvent event) {
    if (g_exitObserver != nullptr) {
        g_exitObserver(event);
    }
}

// Each process-wide object below is a static object whose destructor is its
// exit routine. The language registers that routine when the object's
// initialisation completes and runs the routines in reverse order. Only
// within one file is the initialisation order fixed (the order of
// definition), so all four are defined here, in start-up order.

// A critical section created at start and deleted at exit; nothing enters it.
class LibraryLockObject {
public:
    LibraryLockObject() { InitializeCriticalSection(&section_); }
    ~LibraryLockObject() {
        DeleteCriticalSection(&section_);
        Report(LibraryExitEvent::LibraryLockDeleted);
    }

    LibraryLockObject(const LibraryLockObject&) = delete;
    LibraryLockObject& operator=(const LibraryLockObject&) = delete;

private:
    CRITICAL_SECTION section_;
};

// A list that starts empty without running any code (it is constant-
// initialised) and is cleared at exit.
class ExitClearedList {
public:
    constexpr ExitClearedList(NodePool& pool, LibraryExitEvent clearedEvent)
        : list_(pool), clearedEvent_(clearedEvent) {}
    ~ExitClearedList() {
        list_.Clear();
        Report(clearedEvent_);
    }

    ExitClearedList(const ExitClearedList&) = delete;
    ExitClearedList& operator=(const ExitClearedList&) = delete;

private:
    NodeList list_;
    LibraryExitEvent clearedEvent_;
};

// The pool, constructed after both lists so that it shuts down before either
// list is cleared: the clears then see the shut-down flag and never enter the
// deleted lock.
class ExitShutDownPool {
public:
    ExitShutDownPool() = default;
    ~ExitShutDownPool() {
        pool.Shutdown();
        Report(LibraryExitEvent::PoolShutDown);
    }

    ExitShutDownPool(const ExitShutDownPool&) = delete;
    ExitShutDownPool& operator=(const ExitShutDownPool&) = delete;

    NodePool pool;
};

// Declared ahead so the lists can point at the pool; defined last.
extern ExitShutDownPool g_nodePool;

LibraryLockObject g_libraryLock;
constinit ExitClearedList g_firstList(g_nodePool.pool, LibraryExitEvent::FirstListCleared);
constinit ExitClearedList g_secondList(g_nodePool.pool, LibraryExitEvent::SecondListCleared);
ExitShutDownPool g_nodePool;

}  // namespace

LibraryExitObserver SetLibraryExitObserver(LibraryExitObserver observer) {
    const LibraryExitObserver previous = g_exitObserver;
    g_exitObserver = observer;
    return previous;
}

void EnsureLibraryObjectsLinked() {}
