// CountedString: a string that is one pointer to its characters, with a
// two-word header (capacity, length) stored just before them.
//
// What a user may rely on:
//  - `chars` is never null: an empty string points at the counted strings'
//    shared empty string, which is never released.
//  - A block for n characters is n + 9 bytes from AllocHooks: the header, the
//    characters and a terminator. It goes back through the release hook by
//    the address of its header.
//  - A failed allocation leaves the shared empty string, never a string that
//    points at too little room.
#pragma once

#include <cstdint>

// The header in front of a CountedString's characters.
struct CountedStringHeader {
    std::int32_t capacity;  // bytes of character storage, terminator included
    std::int32_t length;    // characters of the current text
};

class CountedString {
public:
    CountedString();
    ~CountedString();

    CountedString(const CountedString&) = delete;
    CountedString& operator=(const CountedString&) = delete;

    // Makes room for n characters and a terminator and sets the header's
    // length to n, without writing the characters. Reuses the block only when
    // it has more room than that. False, with the string left at the shared
    // empty string, when no room could be had.
    bool Prepare(std::int32_t n);

    // Holds a copy of `text`; a null `text` empties the string.
    void Assign(const char* text);

    // Gives the block back; the string is the shared empty string again.
    void Release();

    // The text; never null.
    const char* GetString() const { return chars; }

    // The header of a string that holds a block (not the shared empty one).
    static CountedStringHeader* HeaderOf(char* chars);

    // The shared empty string that every empty CountedString points at.
    static char* SharedEmpty();

private:
    char* chars;
};
