#include "platform/console.h"

#include <cstdarg>
#include <cstdio>

void PrintConsoleLine(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vprintf(format, arguments);
    va_end(arguments);
}

char** SystemArguments(int&, char** argv) {
    return argv;
}

void HoldWindowUntilRead() {}
