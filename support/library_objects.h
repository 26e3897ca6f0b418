// The support library's process-wide objects: LibraryLock, two node lists and
// the node pool the lists hand their nodes to.
//
// What a user may rely on:
//  - All four exist before main runs: LibraryLock's critical section is
//    created, the lists are empty, the pool is constructed.
//  - At exit they are torn down in reverse order of construction: the pool
//    shuts down first (giving its blocks back through AllocHooks), then the
//    second list and the first list are cleared (finding the pool shut down,
//    they drop any nodes), and LibraryLock's critical section is deleted last.
//    Nothing else in the program uses them.
//  - They live in a static library. A program keeps them only if it calls
//    EnsureLibraryObjectsLinked (or SetLibraryExitObserver); otherwise the
//    linker leaves them out.
#pragma once

#include <cstdint>

// One step of the exit-time teardown, reported after the step is done.
enum class LibraryExitEvent : std::uint8_t {
    PoolShutDown = 1,
    SecondListCleared = 2,
    FirstListCleared = 3,
    LibraryLockDeleted = 4,
};

using LibraryExitObserver = void (*)(LibraryExitEvent event);

// Sets the routine that the exit-time teardown calls after each step (null,
// the default, for none) and returns the one set before. The routine runs
// during exit and may only use what is still alive then.
LibraryExitObserver SetLibraryExitObserver(LibraryExitObserver observer);

// Does nothing; calling it from the program's entry makes the linker keep
// the process-wide objects.
void EnsureLibraryObjectsLinked();
