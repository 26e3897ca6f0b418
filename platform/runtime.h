// The C runtime routines Texweld uses beyond the standard library:
// the bounded copies and formatters of the Microsoft runtime and its
// case-insensitive comparison.
//
// On Windows they come from the runtime itself. Elsewhere runtime_posix.cpp
// supplies them with the same results. Where the Microsoft runtime would
// call its invalid-parameter handler (which ends the process by default),
// the supplied versions instead empty the destination and return the error
// code; callers bound every copy, so neither path is taken in practice.
#pragma once

#include "platform/platform_select.h"

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>

#if TEXWELD_PLATFORM_WINDOWS
#include <stdlib.h>
#include <string.h>
#include <stdio.h>
#else

using errno_t = int;

// Copies src with its terminator into dest of destSize bytes. Fails with
// EINVAL (null pointer, destSize 0) or ERANGE (src does not fit), leaving
// dest empty whenever dest is usable.
errno_t strcpy_s(char* dest, std::size_t destSize, const char* src);

// Copies count bytes to dest of destSize bytes. Fails with EINVAL on a null
// pointer or ERANGE when count exceeds destSize; on ERANGE dest is zeroed.
errno_t memcpy_s(void* dest, std::size_t destSize, const void* src, std::size_t count);

// Number of characters the formatted text would have, terminator excluded;
// negative on a formatting error.
int _vscprintf(const char* format, va_list args);

// Formats into buffer of size bytes. Returns the number of characters
// written, or -1 (with buffer emptied) when the text does not fit or the
// format fails.
int vsprintf_s(char* buffer, std::size_t size, const char* format, va_list args);

// Compares two texts ignoring the case of ASCII letters: negative, zero or
// positive as the first sorts before, equal to or after the second.
int _stricmp(const char* a, const char* b);

#endif
