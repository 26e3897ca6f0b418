#include "platform/console.h"

#include "platform/runtime.h"
#include "platform/win32.h"

#include <shellapi.h>

#include <cstdarg>
#include <cstdio>
#include <new>

namespace {

// Writes `text` (in the ANSI code page) to the console as UTF-16, each line
// feed as CR LF, as the runtime's text mode would; false when that cannot be
// done and the caller should print the bytes instead.
bool WriteToConsole(const char* text, int length) {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (out == INVALID_HANDLE_VALUE || out == nullptr || !GetConsoleMode(out, &mode)) {
        return false;  // not a console: a file or a pipe
    }
    const int wideLength = MultiByteToWideChar(CP_ACP, 0, text, length, nullptr, 0);
    if (wideLength <= 0) {
        return false;
    }
    wchar_t* wide = new (std::nothrow) wchar_t[static_cast<std::size_t>(wideLength) * 2];
    if (wide == nullptr) {
        return false;
    }
    MultiByteToWideChar(CP_ACP, 0, text, length, wide + wideLength, wideLength);
    int at = 0;
    for (int i = 0; i < wideLength; ++i) {
        if (wide[wideLength + i] == L'\n') {
            wide[at++] = L'\r';
        }
        wide[at++] = wide[wideLength + i];
    }
    std::fflush(stdout);
    DWORD written = 0;
    const bool done = WriteConsoleW(out, wide, static_cast<DWORD>(at), &written, nullptr) != FALSE;
    delete[] wide;
    return done;
}

}  // namespace

void PrintConsoleLine(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    va_list measure;
    va_copy(measure, arguments);
    const int length = _vscprintf(format, measure);
    va_end(measure);
    char* text = length >= 0 ? new (std::nothrow) char[static_cast<std::size_t>(length) + 1] : nullptr;
    bool shown = false;
    if (text != nullptr) {
        va_list fill;
        va_copy(fill, arguments);
        shown = vsprintf_s(text, static_cast<std::size_t>(length) + 1, format, fill) == length &&
                WriteToConsole(text, length);
        va_end(fill);
    }
    delete[] text;
    if (!shown) {
        std::vprintf(format, arguments);
    }
    va_end(arguments);
}

void HoldWindowUntilRead() {
    DWORD processes[2] = {};
    const DWORD count = GetConsoleProcessList(processes, 2);
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    const bool inputIsConsole = in != INVALID_HANDLE_VALUE && in != nullptr && GetConsoleMode(in, &mode);
    const bool outputIsConsole = out != INVALID_HANDLE_VALUE && out != nullptr && GetConsoleMode(out, &mode);
    if (!WindowWaitsForKey(count, inputIsConsole, outputIsConsole)) {
        return;
    }
    PrintConsoleLine("Press any key to close this window.\n");
    std::fflush(stdout);
    FlushConsoleInputBuffer(in);
    INPUT_RECORD record {};
    DWORD read = 0;
    while (ReadConsoleInputW(in, &record, 1, &read) && read == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
            return;
        }
    }
}

char* ToCodePageExactly(const wchar_t* wide, unsigned codePage) {
    const int size = WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, -1, nullptr, 0, "?", nullptr);
    char* narrow = size > 0 ? new (std::nothrow) char[static_cast<std::size_t>(size)] : nullptr;
    if (narrow != nullptr) {
        WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, wide, -1, narrow, size, "?", nullptr);
    }
    return narrow;
}

char** SystemArguments(int& argc, char** argv) {
    if (GetACP() == CP_UTF8) {
        return argv;  // the runtime's vector already holds every name exactly
    }
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        return argv;
    }
    // "?" is not allowed in a file name: a name the code page cannot hold
    // opens nothing, and the run reports it as missing or not writable.
    char** converted = new (std::nothrow) char*[static_cast<std::size_t>(count) + 1]();
    bool complete = converted != nullptr;
    for (int i = 0; complete && i < count; ++i) {
        converted[i] = ToCodePageExactly(wide[i], CP_ACP);
        complete = converted[i] != nullptr;
    }
    LocalFree(wide);
    if (!complete) {
        for (int i = 0; converted != nullptr && i < count; ++i) {
            delete[] converted[i];
        }
        delete[] converted;
        return argv;  // out of memory at start: the runtime's vector it is
    }
    argc = count;
    return converted;
}
