// Memory hints over POSIX: prefaulting with madvise where the system has it
// (Linux 5.14 and later).
#include "platform/memory_hints.h"

#include <cstdint>

#include <sys/mman.h>
#include <unistd.h>

namespace {

// Below this a block takes few faults, and a system call buys nothing.
constexpr std::size_t kLargeBlockBytes = std::size_t{1} << 20;

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
    // Maps the pages writable as the first write to each would, without
    // writing them: a block that reads as zero still does. Huge pages
    // (MADV_HUGEPAGE) would cut the faults further, but on a virtual machine
    // whose host reclaims the guest's free memory they come back cold and
    // cost more than they save. A refusal only leaves the faults to the fill.
    ::madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
    (void)block;
    (void)byteCount;
#endif
}
