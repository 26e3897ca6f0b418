// Runs Texweld's entry routine inside the calling process, with what it
// prints on standard output captured, and keeps a scratch folder for the
// files it reads and writes. Shared by the fuzz target and the in-process
// tests, which need to watch the allocation hooks during a run and so
// cannot use a child process.
//
// POSIX only: standard output is redirected at the descriptor level.
#pragma once

#include "tests/support/test_support.h"

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace texweld_inprocess {

// Runs `body` with descriptor 1 pointing at an anonymous file, flushing
// stdout on both sides, and returns everything written to it meanwhile.
// `body` must not print anything of its own that it expects to see.
std::string CaptureStdout(const std::function<void()>& body);

// An argument vector for TexweldMain: argv[0] is "texweld", then
// `arguments`, then the null that ends it. The texts live as long as the
// object.
class ArgumentVector {
public:
    explicit ArgumentVector(const std::vector<std::string>& arguments);

    ArgumentVector(const ArgumentVector&) = delete;
    ArgumentVector& operator=(const ArgumentVector&) = delete;

    int Count() const { return static_cast<int>(pointers_.size()) - 1; }
    char** Values() { return pointers_.data(); }

private:
    std::vector<std::string> texts_;
    std::vector<char*> pointers_;
};

// Runs TexweldMain on "texweld" followed by `arguments`; returns what it
// printed.
std::string RunTexweld(const std::vector<std::string>& arguments);

// How many file descriptors the process has open (from /proc/self/fd); a
// run that leaves one open shows as a higher count afterwards.
int CountOpenDescriptors();

// The kit's scratch folder.
using ScratchFolder = texweld_test::TempDir;

}  // namespace texweld_inprocess
