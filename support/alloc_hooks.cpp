#include "support/alloc_hooks.h"

#include <cstdlib>
#include <new>

namespace {

void DefaultRelease(void* block) {
    std::free(block);
}

void* DefaultAllocate(std::uint32_t byteCount) {
    return std::malloc(byteCount);
}

void* DefaultReallocate(void* block, std::uint32_t byteCount) {
    return std::realloc(block, byteCount);
}

std::int32_t DefaultFourth() {
    return 0;
}

// Installs the defaults in the fixed order: allocate, release, reallocate,
// then the fourth routine.
void InstallDefaults() {
    AllocHooks.allocate = DefaultAllocate;
    AllocHooks.release = DefaultRelease;
    AllocHooks.reallocate = DefaultReallocate;
    AllocHooks.fourth = DefaultFourth;
}

void FirstUseRelease(void* block) {
    InstallDefaults();
    DefaultRelease(block);
}

void* FirstUseAllocate(std::uint32_t byteCount) {
    InstallDefaults();
    return DefaultAllocate(byteCount);
}

void* FirstUseReallocate(void* block, std::uint32_t byteCount) {
    InstallDefaults();
    return DefaultReallocate(block, byteCount);
}

std::int32_t FirstUseFourth() {
    InstallDefaults();
    return DefaultFourth();
}

}  // namespace

// Constant-initialised: the table holds the first-use routines from the
// moment the program image is loaded.
constinit AllocHookTable AllocHooks = {
    FirstUseRelease,
    FirstUseAllocate,
    FirstUseReallocate,
    FirstUseFourth,
};

AllocHookTable DefaultAllocHooks() {
    return {DefaultRelease, DefaultAllocate, DefaultReallocate, DefaultFourth};
}

AllocHookTable FirstUseAllocHooks() {
    return {FirstUseRelease, FirstUseAllocate, FirstUseReallocate, FirstUseFourth};
}

AllocHookTable InstallAllocHooks(const AllocHookTable& hooks) {
    const AllocHookTable previous = AllocHooks;
    AllocHooks = hooks;
    return previous;
}

// The program's global operator new and delete go through the table, so that
// every heap block, the standard library's included, shares one allocator.

namespace {

void* AllocateThroughHooks(std::size_t byteCount) noexcept {
    if (byteCount > UINT32_MAX) {
        return nullptr;
    }
    // new of zero bytes must still yield a unique, non-null block.
    const auto count = static_cast<std::uint32_t>(byteCount == 0 ? 1 : byteCount);
    return AllocHooks.allocate(count);
}

}  // namespace

void* operator new(std::size_t byteCount) {
    void* block = AllocateThroughHooks(byteCount);
    if (block == nullptr) {
        throw std::bad_alloc();
    }
    return block;
}

void* operator new[](std::size_t byteCount) {
    return operator new(byteCount);
}

void* operator new(std::size_t byteCount, const std::nothrow_t&) noexcept {
    return AllocateThroughHooks(byteCount);
}

void* operator new[](std::size_t byteCount, const std::nothrow_t&) noexcept {
    return AllocateThroughHooks(byteCount);
}

void operator delete(void* block) noexcept {
    AllocHooks.release(block);
}

void operator delete[](void* block) noexcept {
    AllocHooks.release(block);
}

void operator delete(void* block, std::size_t) noexcept {
    AllocHooks.release(block);
}

void operator delete[](void* block, std::size_t) noexcept {
    AllocHooks.release(block);
}

void operator delete(void* block, const std::nothrow_t&) noexcept {
    AllocHooks.release(block);
}

void operator delete[](void* block, const std::nothrow_t&) noexcept {
    AllocHooks.release(block);
}
