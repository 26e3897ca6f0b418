// Hints to the operating system about how the program is about to use a
// block of memory. They change how fast the block is mapped in, never what
// it holds; a platform without such hints ignores them.
#pragma once

#include <cstddef>

// Says that the `byteCount` bytes at `block` are about to be written from
// end to end. Where the system can map a range's pages in with one call, it
// does so now for every whole page inside the range, in huge pages where it
// has them, instead of taking one page fault per small page while the range
// is filled: for hundreds of megabytes those faults are most of the cost of
// filling them, and even a few pages cost more by faults than by one call.
// Callers advise only what they are about to fill, so memory use does not
// change; a block that is reserved but never filled stays unmapped. Does
// nothing for a null pointer or a range under 16 KiB, and nothing when the
// system refuses. The contents are left as they are.
void AdviseLargeBlock(void* block, std::size_t byteCount);
