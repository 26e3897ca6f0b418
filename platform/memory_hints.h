// Hints to the operating system about how the program is about to use a
// block of memory. They change how fast the block is mapped in, never what
// it holds; a platform without such hints ignores them.
#pragma once

#include <cstddef>

// Says that the fresh block of `byteCount` bytes at `block` is about to be
// filled from end to end. Where the system can map a block's pages in with
// one call, it does so now for every whole page inside the block, instead of
// taking one page fault per page while the block is filled: for a block of
// hundreds of megabytes those faults are most of the cost of filling it.
// The pages so mapped are the ones the fill would have mapped, so memory use
// does not change. Does nothing for a null block or one under 1 MiB, and
// nothing when the system refuses. The block's contents are left as they are.
void AdviseLargeBlock(void* block, std::size_t byteCount);
