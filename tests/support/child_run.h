// Runs the Texweld executable as a child process, as a user's shell would,
// and collects what it printed and how it ended.
//
// The program is $TEXWELD_EXE when that is set, else the one this build made.
// $TEXWELD_EMULATOR (for example "wine64", or "qemu-i386-static") is put in
// front of it when set, so the same tests can drive a build for another
// system or processor; tests that need the host's own behaviour skip
// themselves when the program is a Windows one.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace texweld_e2e {

struct RunOptions {
    // The child's current folder; empty keeps the test's own.
    std::string workingDirectory;
    // RLIMIT_FSIZE for the child, in bytes; none keeps the test's limit.
    std::optional<std::uint64_t> fileSizeLimit;
    // Starts the child with SIGXFSZ ignored rather than at its default.
    bool ignoreFileSizeSignal = false;
    // Runs in the child after its set-up, just before exec. Only calls that
    // are safe after fork (plain system calls) belong here.
    std::function<void()> beforeExec;
    // Words put before the program (and its emulator), such as a tracer.
    std::vector<std::string> wrapper;
    // The child is killed when it has not ended by then.
    int timeoutMilliseconds = 30000;
};

struct RunResult {
    bool started = false;   // the program was executed
    bool timedOut = false;  // it was killed for running too long
    int exitCode = -1;      // its exit status when it exited, else -1
    int signal = 0;         // the signal that ended it, else 0
    std::string out;        // everything written to standard output
    std::string err;        // everything written to standard error

    // How the run ended, for failure messages.
    std::string Describe() const;
};

// The program under test, as the runner executes it.
std::string TexweldPath();

// The words of $TEXWELD_EMULATOR; empty when it is unset or blank.
std::vector<std::string> EmulatorWords();

// True when the program runs under an emulator.
bool RunsUnderEmulator();

// True when the program under test is a Windows one (its name ends in
// ".exe"): its files, locks and limits are Wine's, not the host's.
bool RunsWindowsBuild();

// Runs the program with `arguments` after its own name.
RunResult RunTexweld(const std::vector<std::string>& arguments, const RunOptions& options = {});

// The splitter under test: $TEXSPLIT_EXE when set, else the one this build
// made; run like the program, through the same emulator.
std::string TexsplitPath();
RunResult RunTexsplit(const std::vector<std::string>& arguments, const RunOptions& options = {});

// Runs the program with an argument vector that has no entry at all, not even
// its own name: argc is 0. Not possible through an emulator.
RunResult RunTexweldWithEmptyArgv(const RunOptions& options = {});

}  // namespace texweld_e2e
