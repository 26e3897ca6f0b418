// The program's one line of output, and the arguments it was started with,
// as the platform hands them over.
#pragma once

#include "platform/platform_select.h"

// Whether "/?" asks a program for help, as it does on Windows.
constexpr bool kSlashQuestionMarkIsHelp = TEXWELD_PLATFORM_WINDOWS != 0;

// Prints printf-style formatted text on standard output. On a Windows
// console the text is shown as the characters its names are made of
// (written as UTF-16 with WriteConsoleW), whatever the console's code page;
// redirected to a file or a pipe, the bytes are the names' own bytes.
[[gnu::format(printf, 1, 2)]] void PrintConsoleLine(const char* format, ...);

// Whether a program waits for a key before it ends, so that a window made
// for this run alone (started from Explorer, files dropped on it) can be
// read: `processesOnConsole` (what GetConsoleProcessList counts) is 1, and
// both standard input and output are that console. Never where either is
// redirected or the console is shared (cmd, PowerShell, scripts, another
// program), so that no caller can hang.
constexpr bool WindowWaitsForKey(unsigned long processesOnConsole, bool inputIsConsole, bool outputIsConsole) {
    return processesOnConsole == 1 && inputIsConsole && outputIsConsole;
}

// On Windows, where WindowWaitsForKey says so: asks for a key on a line of
// its own and waits for one. Elsewhere nothing.
void HoldWindowUntilRead();

// The argument vector the entry routine works on. POSIX: `argv` itself. On
// Windows, where the system speaks UTF-8 to the program (the manifest's
// activeCodePage, Windows 10 1903 and later) also `argv`; on an older
// system the wide command line converted to the ANSI code page without any
// "best fit" stand-in: a character the code page cannot hold becomes "?",
// which no file name may contain, so that such a name is never taken for
// another file's. `argc` may be updated. The vector lives until exit.
char** SystemArguments(int& argc, char** argv);

// `wide` in code page `codePage`, with "?" for every character the code page
// cannot hold and no "best fit" look-alikes; a new heap block (delete[]), or
// null when memory runs out. Windows only.
char* ToCodePageExactly(const wchar_t* wide, unsigned codePage);
