#include "support/byte_buffer.h"

#include "support/alloc_hooks.h"

#include <cstring>

ByteBuffer::ByteBuffer(std::uint32_t granularity)
    : granularity(granularity == 0 ? 1 : granularity), size(0), capacity(0), data(nullptr), reserved(0) {}

ByteBuffer::~ByteBuffer() {
    Release();
}

bool ByteBuffer::Reserve(std::uint32_t count) {
    // Round up in 64 bits: a target past 4 GiB must fail, not wrap to a
    // small block that the caller would then overrun.
    const std::uint64_t steps = (static_cast<std::uint64_t>(count) + granularity - 1) / granularity;
    const std::uint64_t target = steps * granularity;
    if (target > UINT32_MAX) {
        return false;
    }
    if (target <= capacity) {
        return true;
    }

    auto* block = static_cast<std::uint8_t*>(AllocHooks.allocate(static_cast<std::uint32_t>(target)));
    if (block == nullptr) {
        return false;
    }
    if (data != nullptr) {
        std::memcpy(block, data, capacity);
        AllocHooks.release(data);
    }
    std::memset(block + capacity, 0, static_cast<std::size_t>(target - capacity));
    data = block;
    capacity = static_cast<std::uint32_t>(target);
    return true;
}

void ByteBuffer::Release() {
    if (data != nullptr) {
        AllocHooks.release(data);
    }
    data = nullptr;
    capacity = 0;
    size = 0;
}
