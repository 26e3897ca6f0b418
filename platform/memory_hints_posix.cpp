// Memory hints over POSIX: huge pages and prefaulting with madvise where the
// system has them (Linux 5.14 and later for the prefaulting).
#include "platform/memory_hints.h"

#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// Below this a block takes few faults, and a system call buys nothing.
constexpr std::size_t kLargeBlockBytes = std::size_t{16} << 10;
// Huge pages are asked for only where a range can hold one: asking for less
// only splits the mapping.
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

}  // namespace

void AdviseLargeBlock(void* block, std::size_t byteCount) {
#ifdef MADV_POPULATE_WRITE
    if (block == nullptr || byteCount < kLargeBlockBytes) {
        return;
    }
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    const auto start = reinterpret_cast<std::uintptr_t>(block);
    if (pageSize <= 0 || byteCount > UINTPTR_MAX - start) {
        return;
    }
    // Only the pages wholly inside the block: madvise works on whole pages,
    // and the bytes on either side belong to the allocator or to others.
    const auto page = static_cast<std::uintptr_t>(pageSize);
    const std::uintptr_t first = (start + page - 1) & ~(page - 1);
    const std::uintptr_t end = (start + byteCount) & ~(page - 1);
    if (first >= end) {
        return;
    }
    // First asks for huge pages: one fault and one mapping per 2 MiB instead
    // of per 4 KiB. A system without them, or with them switched off, says
    // no and the range keeps small pages. Then maps the pages writable as
    // the first write to each would, without writing them: a block that
    // reads as zero still does. Measured on an 8192x8192 texture, the pair
    // takes the run from 0.56 s (mapping in alone) to 0.13-0.49 s back to
    // back. After an idle pause, on a virtual machine whose host takes back
    // free memory, every fresh page is slow and runs take 0.4-1.0 s with
    // small pages or huge ones. A refusal of either only leaves the faults
    // to the fill.
    void* const range = reinterpret_cast<void*>(first);
#ifdef MADV_HUGEPAGE
    if (end - first >= kHugePageBytes) {
        ::madvise(range, end - first, MADV_HUGEPAGE);
    }
#endif
    ::madvise(range, end - first, MADV_POPULATE_WRITE);
#else
    (void)block;
    (void)byteCount;
#endif
}
