// String buffers for 8-bit, NUL-terminated text (file names, mostly).
//
// What a user may rely on:
//  - `GetString()` never returns null. An empty buffer points at a shared
//    empty string, a static byte that holds 0 and is never released.
//  - Heap storage comes from AllocHooks in multiples of 256 bytes and never
//    shrinks until Clear(true) or destruction.
//  - TStringBufferA<N> keeps texts of up to N bytes (terminator included) in
//    an array inside the object and moves to the heap only beyond that; once
//    on the heap it stays there.
//  - Only the two virtual operations, Reserve and Clear, know where storage
//    lies; Assign, Format, Left and Right are written once, in terms of them.
//  - When memory runs out, Reserve leaves the buffer as it was, and the
//    operations that needed the room leave an empty text instead of writing
//    past the room they really have.
//  - A text handed to Assign or Format must not lie in the destination's own
//    storage, since Reserve may move or release it.
//
// Destructors are not virtual: buffers are destroyed through their own type.
#pragma once

#include "platform/runtime.h"
#include "support/alloc_hooks.h"

#include <cstdint>

class CStringBufferA {
public:
    CStringBufferA();
    ~CStringBufferA();

    CStringBufferA(const CStringBufferA&) = delete;
    CStringBufferA& operator=(const CStringBufferA&) = delete;

    // --- Storage (the two operations a derived buffer overrides) ---

    // Makes at least `size` bytes (terminator included) usable at the text,
    // keeping the text. `length` is not changed. Leaves the buffer as it was
    // when the room cannot be had.
    virtual void Reserve(std::int32_t size);

    // Empties the text. With `releaseStorage`, heap storage is given back too;
    // without it, the block stays for the next text.
    virtual void Clear(bool releaseStorage);

    // --- Text ---

    // Holds a copy of `text`; a null `text` empties the buffer.
    void Assign(const char* text);

    // The text; never null.
    const char* GetString() const;

    // Holds the printf-style formatted text; returns its length.
    [[gnu::format(printf, 2, 3)]] std::int32_t Format(const char* format, ...);

    // Puts the last `count` characters of this text (all of it when shorter)
    // into `destination` and returns it.
    CStringBufferA& Right(CStringBufferA& destination, std::int32_t count) const;

    // Puts the first `count` characters of this text (all of it when shorter,
    // nothing when `count` is negative) into `destination` and returns it.
    CStringBufferA& Left(CStringBufferA& destination, std::int32_t count) const;

    // --- State, for callers that measure or inspect ---

    std::int32_t Length() const { return length; }
    std::int32_t Capacity() const { return capacity; }

    // The shared empty string that every empty buffer points at.
    static char* SharedEmpty();

protected:
    char* data;             // the text, NUL-terminated
    std::int32_t capacity;  // bytes usable at data, terminator included
    std::int32_t length;    // characters before the terminator

    bool HoldsHeapBlock() const { return data != nullptr && data != SharedEmpty(); }

    // Empties the text when fewer than `size` bytes are usable; true when the
    // room is there. Used after Reserve, which may fail.
    bool HasRoom(std::int32_t size);
};

template <std::int32_t N>
class TStringBufferA : public CStringBufferA {
public:
    TStringBufferA() = default;
    ~TStringBufferA();

    void Reserve(std::int32_t size) override;
    void Clear(bool releaseStorage) override;

    bool IsInline() const { return data == inlineBuffer; }

private:
    char inlineBuffer[N];  // texts of up to N bytes, terminator included
};

template <std::int32_t N>
TStringBufferA<N>::~TStringBufferA() {
    // Reset before the base destructor runs: it would hand any data that is
    // not the shared empty string to the release hook, the inline array too.
    if (data != inlineBuffer && HoldsHeapBlock()) {
        AllocHooks.release(data);
    }
    data = SharedEmpty();
    length = 0;
    capacity = 0;
}

template <std::int32_t N>
void TStringBufferA<N>::Reserve(std::int32_t size) {
    if (size <= N && (data == inlineBuffer || data == SharedEmpty())) {
        data = inlineBuffer;
        if (length == 0) {
            inlineBuffer[0] = '\0';
        }
        capacity = size;
        return;
    }
    if (data != inlineBuffer) {
        // On the heap (or empty and too large for the array): a text that
        // has once moved to the heap stays there.
        CStringBufferA::Reserve(size);
        return;
    }
    // The text outgrows the array: move it to a heap block.
    data = SharedEmpty();
    CStringBufferA::Reserve(size);
    if (data == SharedEmpty()) {
        data = inlineBuffer;  // no memory: keep the text where it was
        return;
    }
    strcpy_s(data, static_cast<std::size_t>(capacity), inlineBuffer);
}

template <std::int32_t N>
void TStringBufferA<N>::Clear(bool releaseStorage) {
    if (data == inlineBuffer) {
        data = SharedEmpty();
        capacity = 0;
        length = 0;
        return;
    }
    CStringBufferA::Clear(releaseStorage);
}
