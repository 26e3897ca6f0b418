// The end-to-end tests' kit: the built programs run as child processes in
// a scratch folder of their own, on split textures the sample kit makes.
// The kit sizes every level independently of the program, so each expected
// file is a second opinion, not a replay of the program's arithmetic.
//
// Every run must print exactly one line on standard output, nothing on
// standard error, and exit with status 0 (texsplit: 0 or 1); Run() checks
// that each time, and reports which files appeared or vanished in the
// scratch folder, so that a temporary file left behind or an output written
// on failure shows.
//
// File names are relative to the scratch folder wherever possible, so the
// suite can drive a build for another system through $TEXWELD_EMULATOR; the
// cases that need the host's own devices, pipes, locks, limits or
// permission bits skip themselves for a Windows build. A 32-bit Linux build
// under qemu runs them all but one (an empty argument vector).
#pragma once

#include "samples/split_texture.h"
#include "tests/support/child_run.h"
#include "tests/support/expected_lines.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace e2e {

namespace fs = std::filesystem;
using samplekit::Bytes;
using samplekit::HeaderFields;
using samplekit::SampleFormat;
using samplekit::Shape;
using samplekit::WithFourCC;
using samplekit::WithPixels;
using texweld_e2e::RunOptions;
using texweld_e2e::RunResult;
using Names = std::set<std::string>;

#define SKIP_FOR_WINDOWS_BUILD()                                                      \
    do {                                                                              \
        if (texweld_e2e::RunsWindowsBuild()) {                                        \
            GTEST_SKIP() << "needs the host's own files, devices or process limits"; \
        }                                                                             \
    } while (false)

// Table rows show as their label, in test names and wherever a parameter is
// printed.
template <class Case>
concept Labelled = requires(const Case& c) { c.label; };

template <Labelled Case>
inline void PrintTo(const Case& c, std::ostream* out) {
    *out << c.label;
}

struct ByLabel {
    template <class Case>
    std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.label;
    }
};

using namespace expected_lines;

// ---------------------------------------------------------------------------
// Textures.

inline Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

inline Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Whether two byte strings are equal; on a difference, says where, instead
// of printing whole files.
inline ::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
    const auto mismatch = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    if (mismatch.first == actual.end() && mismatch.second == expected.end()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << actual.size() << " bytes where " << expected.size()
                                         << " were expected, first differing at offset "
                                         << (mismatch.first - actual.begin());
}

// A texture as the kit describes it: its preamble and every level, largest
// first.
struct Texture {
    Bytes preamble;
    std::vector<Bytes> levels;

    Bytes Joined() const { return samplekit::JoinTexture(preamble, levels); }
};

inline Texture SampleTexture(SampleFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t mipCount,
                      std::uint32_t seed = 0) {
    return {samplekit::MakePreamble(format, width, height, mipCount),
            samplekit::MakeLevels(format, width, height, mipCount, seed)};
}

// The bundled sample's texture: 256x256 DXT1, 9 levels, default seed.
inline const Texture& RockTexture() {
    static const Texture rock = SampleTexture(SampleFormat::Dxt1, 256, 256, 9);
    return rock;
}

inline HeaderFields Fields(SampleFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t mipCount) {
    return samplekit::SampleHeaderFields(format, width, height, mipCount);
}

inline HeaderFields Dxt1Shape(std::uint32_t width, std::uint32_t height, std::uint32_t depth, std::uint32_t mipCount) {
    return WithFourCC(Shape(width, height, depth, mipCount), samplekit::FourCC('D', 'X', 'T', '1'));
}

// A level filled with one byte that tells it apart from every other level.
inline Bytes MarkedLevel(std::uint64_t size, std::uint32_t level) {
    return Bytes(static_cast<std::size_t>(size), static_cast<std::uint8_t>(0xA0 + level));
}

// The levels a header describes, each marked, for a format of 4x4 blocks
// (`blocks`) or single pixels of `bytesPerElement` bytes: every dimension
// halves per level and never drops below 1, and the chain ends after the
// first level that is 1x1x1 however many levels the header counts (0 or
// fewer count as one).
inline Texture MarkedTexture(const HeaderFields& fields, bool blocks, std::uint32_t bytesPerElement) {
    Texture texture{samplekit::MakePreamble(fields), {}};
    const auto count = static_cast<std::int32_t>(fields.mipCount);
    for (std::uint32_t level = 0; level < static_cast<std::uint32_t>(std::max(count, 1)); ++level) {
        const std::uint32_t w = samplekit::DimensionAtLevel(fields.width, level);
        const std::uint32_t h = samplekit::DimensionAtLevel(fields.height, level);
        const std::uint32_t d = samplekit::DimensionAtLevel(fields.depth, level);
        texture.levels.push_back(
            MarkedLevel(samplekit::ElementLevelBytes(blocks, bytesPerElement, w, h, d), level));
        if (w == 1 && h == 1 && d == 1) {
            break;
        }
    }
    return texture;
}

// ---------------------------------------------------------------------------
// The scratch folder.

class Scratch : public texweld_test::TempDir {
public:
    void Put(const std::string& name, const Bytes& content) const {
        fs::create_directories(fs::path(At(name)).parent_path());
        ASSERT_TRUE(samplekit::WriteFileBytes(At(name), content)) << name;
    }

    Bytes Get(const std::string& name) const {
        std::ifstream in(At(name), std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    void MakeFolder(const std::string& name) const { fs::create_directories(At(name)); }

    void Remove(const std::string& name) const { fs::remove_all(At(name)); }

    // Writes `texture` split as the kit splits it, under `base`.
    void PutSplit(const std::string& base, const Texture& texture) const {
        fs::create_directories(fs::path(At(base)).parent_path());
        ASSERT_TRUE(samplekit::WriteChunks(At(base), samplekit::SplitTexture(texture.preamble, texture.levels)));
    }

    // Writes the chunks a header with `mipCount` levels asks for: one
    // numbered chunk per level but the three smallest counted (the count
    // less 3, taken in 32 bits and read as a signed value), largest in the
    // highest number, and the rest of the levels after the preamble. Returns
    // the number of numbered chunks.
    std::size_t PutSplitByCount(const std::string& base, const Texture& texture, std::uint32_t mipCount) const {
        const auto counted = static_cast<std::int32_t>(mipCount - 3u);
        const std::size_t numbered = counted > 0 ? static_cast<std::size_t>(counted) : 0;
        Bytes first = texture.preamble;
        for (std::size_t level = 0; level < texture.levels.size(); ++level) {
            if (level < numbered) {
                Put(base + "." + std::to_string(numbered - level), texture.levels[level]);
            } else {
                first = Concat(first, texture.levels[level]);
            }
        }
        Put(base + ".0", first);
        return numbered;
    }
};

// ---------------------------------------------------------------------------
// One run of the program and what it changed.

struct Outcome {
    RunResult run;
    std::string line;  // the lines printed, without their final "\n"
    Names added;       // entries that appeared in the folder
    Names removed;     // entries that vanished from it
};

// The lines a run printed, without the final line feed (and any "\r" a
// console runtime elsewhere puts before each); flags output that is not
// `count` whole lines (any number for 0), or an exit status but `status`.
inline std::string Lines(const RunResult& run, std::size_t count, int status = 0) {
    EXPECT_TRUE(run.started && !run.timedOut) << run.Describe();
    EXPECT_EQ(run.exitCode, status) << run.Describe();
    EXPECT_EQ(run.err, "") << run.Describe();
    std::string line = run.out;
    const auto feeds = static_cast<std::size_t>(std::count(line.begin(), line.end(), '\n'));
    EXPECT_TRUE((count == 0 ? feeds > 0 : feeds == count) && !line.empty() && line.back() == '\n')
        << "not " << count << " whole lines\n" << run.Describe();
    if (texweld_e2e::RunsWindowsBuild()) {
        line.erase(std::remove(line.begin(), line.end(), '\r'), line.end());
    }
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    return line;
}

// The single line a run printed; flags any other output or exit status.
inline std::string OneLine(const RunResult& run) {
    return Lines(run, 1);
}

// The single line a texsplit run printed; flags other output, or an exit
// status other than `status`.
inline std::string OneLineOfSplit(const RunResult& run, int status) {
    return Lines(run, 1, status);
}

inline Names Minus(const Names& a, const Names& b) {
    Names rest;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(rest, rest.end()));
    return rest;
}

class TexweldE2e : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.Path().empty()) << "no scratch folder"; }

    Outcome Run(const std::vector<std::string>& arguments, RunOptions options = {}) {
        options.workingDirectory = dir.Path();
        const Names before = dir.Listing();
        Outcome outcome;
        outcome.run = texweld_e2e::RunTexweld(arguments, options);
        outcome.line = Lines(outcome.run, 0);
        const Names after = dir.Listing();
        outcome.added = Minus(after, before);
        outcome.removed = Minus(before, after);
        return outcome;
    }

    // Options that run a program in the scratch folder.
    RunOptions Here() const {
        RunOptions options;
        options.workingDirectory = dir.Path();
        return options;
    }

    Scratch dir;
    const Bytes previous_ = ToBytes("an output from an earlier run\n");
};

// The rock split as "tex.dds", for the tests that are about the output.
class TexweldOutput : public TexweldE2e {
protected:
    void SetUp() override {
        TexweldE2e::SetUp();
        dir.PutSplit("tex.dds", RockTexture());
    }
};


// `strace` and its words as a run's wrapper, the run's leak check turned
// off: a sanitized program that ends normally under a tracer cannot check
// for leaks (the check needs to trace it itself).
inline std::vector<std::string> Traced(std::vector<std::string> strace) {
    const char* sanitizer = std::getenv("ASAN_OPTIONS");
    strace.insert(strace.begin(),
                  {"/usr/bin/env", "ASAN_OPTIONS=" + std::string(sanitizer != nullptr ? sanitizer : "") +
                                       ":detect_leaks=0"});
    return strace;
}

// Users a run can be made as (the arranging needs root).
constexpr uid_t kNobody = 65534;
constexpr uid_t kDaemon = 1;

// What makes a child run as the user nobody, without other groups.
inline std::function<void()> AsNobody() {
    return [] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
            ::_exit(126);
        }
    };
}

// Builders for the table-driven cases: each arranges the scratch folder.
using Build = std::function<void(const Scratch&)>;

inline const Build kUnchanged = [](const Scratch&) {};

inline Build ModeOf(const std::string& name, mode_t mode) {
    return [name, mode](const Scratch& dir) { ASSERT_EQ(::chmod(dir.At(name).c_str(), mode), 0); };
}

inline Build LinkedTo(const std::string& name, const std::string& target) {
    return [name, target](const Scratch& dir) {
        dir.Remove(name);
        ASSERT_EQ(::symlink(target.c_str(), dir.At(name).c_str()), 0);
    };
}

inline Build OwnedBy(const std::string& name, uid_t owner, gid_t group, mode_t mode) {
    return [=](const Scratch& dir) {
        ASSERT_EQ(::chown(dir.At(name).c_str(), owner, group), 0);
        ASSERT_EQ(::chmod(dir.At(name).c_str(), mode), 0);
    };
}

inline Build Both(Build first, Build second) {
    return [=](const Scratch& dir) {
        first(dir);
        second(dir);
    };
}

}  // namespace e2e
