// AllocHooks: the process-wide table through which the support library
// obtains and gives back every heap block.
//
// What a user may rely on:
//  - The table is valid at all times: before any static constructor runs and
//    during every exit-time routine. Its initial contents are fixed in the
//    program image; no constructor sets it up.
//  - It starts with four first-use routines. Whichever is called first
//    installs the four defaults (malloc, free, realloc, and a routine that
//    returns 0) and then performs its own call with the default.
//  - A block obtained through `allocate` goes back through `release` of the
//    same table. The global operator new and delete of the program forward
//    to the `allocate` and `release` slots.
//  - No lock is taken; every first use stores the same values.
#pragma once

#include <cstdint>

struct AllocHookTable {
    using ReleaseFn = void (*)(void* block);
    using AllocateFn = void* (*)(std::uint32_t byteCount);
    using ReallocateFn = void* (*)(void* block, std::uint32_t byteCount);
    using FourthFn = std::int32_t (*)();

    ReleaseFn release;        // slot 0: gives a block back; null is allowed
    AllocateFn allocate;      // slot 1: a block of byteCount bytes, or null
    ReallocateFn reallocate;  // slot 2: the moved block, or null on failure
    FourthFn fourth;          // slot 3: returns 0 by default; unused here
};

// The process-wide table. Users read a slot and call what it holds.
extern AllocHookTable AllocHooks;

// The default routines, as the first use installs them.
AllocHookTable DefaultAllocHooks();

// The first-use routines, as the table holds them before its first call.
// Installing them again lets a test watch the first call install the
// defaults; blocks still outstanding stay valid, since both sets wrap the
// same malloc and free.
AllocHookTable FirstUseAllocHooks();

// Replaces the whole table and returns what it held before.
//
// The new release routine must accept every block still outstanding from the
// old allocate routine (wrap the same heap), since blocks obtained before the
// swap are given back after it. Tests use this to make chosen allocations fail.
AllocHookTable InstallAllocHooks(const AllocHookTable& hooks);
