// ByteBuffer: a growable block of bytes that holds a whole file.
//
// What a user may rely on:
//  - `data` is null exactly when `capacity` is 0.
//  - `capacity` is a multiple of `granularity` and never shrinks while the
//    buffer holds a block; every byte of room added by a growth is zero.
//  - `size` belongs to the user: Reserve never changes it. Users set it after
//    a successful Reserve and read `data[0..size)`.
//  - The buffer alone owns its block, obtained from and given back to
//    AllocHooks. Buffers are neither copied nor moved.
#pragma once

#include <cstdint>

struct ByteBuffer {
    std::uint32_t granularity;  // step of growth in bytes; at least 1
    std::uint32_t size;         // bytes in use from the start of the block
    std::uint32_t capacity;     // length of the block in bytes; 0 without one
    std::uint8_t* data;         // the block, or null
    std::uint32_t reserved;     // zeroed at construction; not otherwise used

    // An empty buffer that grows in steps of `granularity` bytes (at least 1).
    explicit ByteBuffer(std::uint32_t granularity);
    ~ByteBuffer();

    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // Makes room for at least `count` bytes: the capacity becomes `count`
    // rounded up to the granularity, unless it is already that large.
    // Contents and size are kept; new room is zero. Returns false when the
    // rounded count does not fit in 32 bits or memory is exhausted; the
    // buffer is then unchanged.
    bool Reserve(std::uint32_t count);

    // Gives the block back: no block, capacity 0, size 0. The granularity
    // stays. Harmless on an empty buffer.
    void Release();
};
