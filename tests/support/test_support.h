// Helpers shared by the tests: scratch directories, whole-file access and an
// allocation fault injector.
#pragma once

#include "support/alloc_hooks.h"

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace texweld_test {

// A fresh directory in the system's temporary folder, removed with
// everything in it when the object goes out of scope. The one scratch folder
// of every test and of the fuzzer.
class TempDir {
public:
    TempDir();
    ~TempDir();

    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& Path() const { return path_; }

    // The path of `name` inside the directory (nothing is created).
    std::string File(std::string_view name) const;
    std::string At(std::string_view name) const { return File(name); }

    // Removes everything inside the directory, the directory staying.
    void Clear() const;

    // Every entry below the directory, relative to it; folders end in "/",
    // and a link is listed under its own name.
    std::set<std::string> Listing() const;

private:
    std::string path_;
};

// Creates or replaces the file at `path` with exactly `bytes`.
void WriteFileBytes(const std::string& path, std::string_view bytes);

// The whole contents of the file at `path`; empty when it cannot be read.
std::string ReadFileBytes(const std::string& path);

bool FileExists(const std::string& path);

// Puts counting hooks over malloc and free into AllocHooks for its lifetime
// and restores the table it found on destruction. While installed it counts
// every call through the allocate slot and every non-null block handed to
// the release slot, and it can be armed to make allocations fail.
//
// GoogleTest allocates through the global operator new, which forwards to
// the hooks: arm only around the operation under test, and read counts into
// locals before asserting on them.
//
// Only one injector may be installed at a time.
class AllocFaultInjector {
public:
    static constexpr std::uint32_t kLoggedSizes = 64;

    AllocFaultInjector();
    ~AllocFaultInjector();

    AllocFaultInjector(const AllocFaultInjector&) = delete;
    AllocFaultInjector& operator=(const AllocFaultInjector&) = delete;

    // The n-th allocation from now (n = 1: the next one) fails; the others
    // succeed. Allocations, Failures and SizeOf restart from 0; Releases and
    // Outstanding keep counting, so that a balance taken over the injector's
    // whole life stays right.
    void FailNth(std::uint32_t n);

    // Every allocation from now on fails. Restarts the counts as FailNth does.
    void FailAll();

    // Stops failing allocations; counts are kept.
    void Disarm();

    // Sets every count back to 0.
    void ResetCounts();

    // When `byte` is 0..255, every block handed out is first filled with it,
    // so that room a caller forgets to initialise shows; -1 turns this off.
    void FillNewBlocks(int byte);

    // Calls through the allocate slot since the last reset or arming, failed
    // ones included.
    std::uint32_t Allocations() const;
    // Of those, the ones made to fail.
    std::uint32_t Failures() const;
    // Non-null blocks given to the release slot since installation or the
    // last ResetCounts.
    std::uint32_t Releases() const;
    // Blocks handed out minus blocks given back since installation or the
    // last ResetCounts: 0 once everything obtained meanwhile went back.
    std::int64_t Outstanding() const;
    // The byte count asked for by allocation `index` (0-based) since the
    // last reset or arming, for the first kLoggedSizes of them; 0 beyond.
    std::uint32_t SizeOf(std::uint32_t index) const;

private:
    AllocHookTable previous_;
};

}  // namespace texweld_test
