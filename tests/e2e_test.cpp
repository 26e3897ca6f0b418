// End-to-end tests: the built program runs as a child process in a scratch
// folder of its own, on split textures the sample kit makes. The kit sizes
// every level independently of the program, so each expected file is a
// second opinion, not a replay of the program's arithmetic.
//
// Every run must print exactly one line on standard output, nothing on
// standard error, and exit with status 0; Run() checks that each time, and
// reports which files appeared or vanished in the scratch folder, so that
// a temporary file left behind or an output written on failure shows.
//
// File names are relative to the scratch folder wherever possible, so the
// suite can drive a build for another system through $TEXWELD_EMULATOR; the
// cases that need the host's own devices, pipes, locks, limits or
// permission bits skip themselves there.
#include "samples/split_texture.h"
#include "tests/support/child_run.h"
#include "tests/support/expected_lines.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
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

namespace {

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

#define SKIP_UNDER_EMULATOR()                                                         \
    do {                                                                              \
        if (texweld_e2e::RunsUnderEmulator()) {                                       \
            GTEST_SKIP() << "needs the host's own files, devices or process limits"; \
        }                                                                             \
    } while (false)

// Table rows show as their label, in test names and wherever a parameter is
// printed.
template <class Case>
concept Labelled = requires(const Case& c) { c.label; };

template <Labelled Case>
void PrintTo(const Case& c, std::ostream* out) {
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

Bytes ToBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Whether two byte strings are equal; on a difference, says where, instead
// of printing whole files.
::testing::AssertionResult SameBytes(const Bytes& actual, const Bytes& expected) {
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

Texture SampleTexture(SampleFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t mipCount,
                      std::uint32_t seed = 0) {
    return {samplekit::MakePreamble(format, width, height, mipCount),
            samplekit::MakeLevels(format, width, height, mipCount, seed)};
}

// The bundled sample's texture: 256x256 DXT1, 9 levels, default seed.
const Texture& RockTexture() {
    static const Texture rock = SampleTexture(SampleFormat::Dxt1, 256, 256, 9);
    return rock;
}

HeaderFields Fields(SampleFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t mipCount) {
    return samplekit::SampleHeaderFields(format, width, height, mipCount);
}

HeaderFields Dxt1Shape(std::uint32_t width, std::uint32_t height, std::uint32_t depth, std::uint32_t mipCount) {
    return WithFourCC(Shape(width, height, depth, mipCount), samplekit::FourCC('D', 'X', 'T', '1'));
}

// A level filled with one byte that tells it apart from every other level.
Bytes MarkedLevel(std::uint64_t size, std::uint32_t level) {
    return Bytes(static_cast<std::size_t>(size), static_cast<std::uint8_t>(0xA0 + level));
}

// The levels a header describes, each marked, for a format of 4x4 blocks
// (`blocks`) or single pixels of `bytesPerElement` bytes: every dimension
// halves per level and never drops below 1, and the chain ends after the
// first level that is 1x1x1 however many levels the header counts (0 or
// fewer count as one).
Texture MarkedTexture(const HeaderFields& fields, bool blocks, std::uint32_t bytesPerElement) {
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
    std::string line;  // the one line printed, without "\n"
    Names added;       // entries that appeared in the folder
    Names removed;     // entries that vanished from it
};

// The single line a run printed; flags any other output or exit status.
std::string OneLine(const RunResult& run) {
    EXPECT_TRUE(run.started && !run.timedOut) << run.Describe();
    EXPECT_EQ(run.exitCode, 0) << run.Describe();
    EXPECT_EQ(run.err, "") << run.Describe();
    std::string line = run.out;
    EXPECT_TRUE(std::count(line.begin(), line.end(), '\n') == 1 && line.back() == '\n')
        << "not exactly one line\n" << run.Describe();
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        // A console runtime elsewhere may end its lines in "\r\n".
        if (texweld_e2e::RunsUnderEmulator() && !line.empty() && line.back() == '\r') {
            line.pop_back();
        }
    }
    return line;
}

// The single line a texsplit run printed; flags other output, or an exit
// status other than `status`.
std::string OneLineOfSplit(const RunResult& run, int status) {
    EXPECT_TRUE(run.started && !run.timedOut) << run.Describe();
    EXPECT_EQ(run.exitCode, status) << run.Describe();
    EXPECT_EQ(run.err, "") << run.Describe();
    std::string line = run.out;
    EXPECT_TRUE(std::count(line.begin(), line.end(), '\n') == 1 && line.back() == '\n') << run.Describe();
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

Names Minus(const Names& a, const Names& b) {
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
        outcome.line = OneLine(outcome.run);
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

// ---------------------------------------------------------------------------
// Command line and naming.

TEST_F(TexweldE2e, PrintsUsageForAnArgumentVectorWithoutEntries) {
    SKIP_UNDER_EMULATOR();
    RunOptions options;
    options.workingDirectory = dir.Path();
    EXPECT_EQ(OneLine(texweld_e2e::RunTexweldWithEmptyArgv(options)), kUsage);
    EXPECT_EQ(dir.Listing(), Names{});
}

struct NamingCase {
    const char* label;
    std::string chunkBase;  // where the chunks are written; empty for none
    std::vector<std::string> arguments;
    std::string line;
    std::string output;  // the file the run creates; empty for none
    bool hostOnly = false;
};

class TexweldNaming : public TexweldE2e, public ::testing::WithParamInterface<NamingCase> {};

TEST_P(TexweldNaming, DerivesBaseAndOutputNames) {
    const NamingCase& c = GetParam();
    if (c.hostOnly) {
        SKIP_UNDER_EMULATOR();
    }
    // Two numbered chunks, so that their names are formed too.
    const Texture texture = SampleTexture(SampleFormat::Dxt1, 16, 16, 5, 1);
    if (!c.chunkBase.empty()) {
        dir.PutSplit(c.chunkBase, texture);
    }
    const Outcome outcome = Run(c.arguments);
    EXPECT_EQ(outcome.line, c.line);
    EXPECT_EQ(outcome.removed, Names{});
    EXPECT_EQ(outcome.added, c.output.empty() ? Names{} : Names{c.output});
    if (!c.output.empty()) {
        EXPECT_TRUE(SameBytes(dir.Get(c.output), texture.Joined()));
    }
}

const std::string kLongFolder(200, 'f');
const std::string kLongBase = kLongFolder + "/" + std::string(120, 'g') + ".dds";
const std::string kLongName(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    Names, TexweldNaming,
    ::testing::Values(
        NamingCase{"NoArgumentsPrintUsage", "", {}, kUsage, ""},
        NamingCase{"SuffixInCapitals", "Stone.DDS", {"Stone.DDS.0"}, Unsplit("Stone.DDS"), "Stone.DDS"},
        NamingCase{"SuffixInMixedCase", "moss.dDs", {"moss.dDs.0"}, Unsplit("moss.dDs"), "moss.dDs"},
        NamingCase{"NameWithoutFirstChunkSuffix", "stone.dds", {"stone.dds"}, Unsplit("stone.dds"), "stone.dds"},
        NamingCase{"NumberedChunkIsNotAFirstChunk", "stone.dds", {"stone.dds.3"}, NotFound("stone.dds.3"), ""},
        NamingCase{"NumberedChunkNameAsBase", "stone.dds.3", {"stone.dds.3"}, Unsplit("stone.dds.3"),
                   "stone.dds.3"},
        NamingCase{"OtherExtensionKeepsItsZero", "stone.png", {"stone.png.0"}, NotFound("stone.png.0"), ""},
        NamingCase{"ShortNameKeepsItsZero", "a", {"a.0"}, NotFound("a.0"), ""},
        NamingCase{"ShortNameAsBase", "a.0", {"a.0"}, Unsplit("a.0"), "a.0"},
        NamingCase{"SuffixAloneLeavesDotDds", ".dds", {".dds.0"}, Unsplit(".dds"), ".dds"},
        NamingCase{"EmptyFirstArgument", "", {""}, NotFound(""), ""},
        NamingCase{"PercentSignsInBase", "100%s.dds", {"100%s.dds.0"}, Unsplit("100%s.dds"), "100%s.dds"},
        NamingCase{"PercentSignsInMissingBase", "", {"%n%s%d.dds.0"}, NotFound("%n%s%d.dds"), ""},
        NamingCase{"OutputNamed", "stone.dds", {"stone.dds.0", "out.dds"}, Unsplit("stone.dds"), "out.dds"},
        NamingCase{"OutputInASubfolder", "sub/stone.dds", {"sub/stone.dds.0", "sub/out.dds"},
                   Unsplit("sub/stone.dds"), "sub/out.dds"},
        NamingCase{"ThirdArgumentIgnored", "stone.dds", {"stone.dds.0", "out.dds", "extra.dds"},
                   Unsplit("stone.dds"), "out.dds"},
        NamingCase{"PercentSignsInOutput", "stone.dds", {"stone.dds.0", "50%d%s%n.dds"}, Unsplit("stone.dds"),
                   "50%d%s%n.dds"},
        // Names beyond ASCII are used exactly, never as look-alikes.
        NamingCase{"GreekNames", "Ωmega.dds", {"Ωmega.dds.0", "Ωut.dds"}, Unsplit("Ωmega.dds"), "Ωut.dds"},
        NamingCase{"CyrillicName", "Привет.dds", {"Привет.dds.0"}, Unsplit("Привет.dds"), "Привет.dds"},
        NamingCase{"CjkNameWithASpace", "日本 語.dds", {"日本 語.dds.0"}, Unsplit("日本 語.dds"), "日本 語.dds"},
        NamingCase{"Latin1Name", "café.dds", {"café.dds.0", "crème.dds"}, Unsplit("café.dds"), "crème.dds"},
        NamingCase{"OverlongMissingName", "", {kLongName + ".dds.0"}, NotFound(kLongName + ".dds"), ""},
        NamingCase{"LongPathBeyondInlineRoom", kLongBase, {kLongBase + ".0"}, Unsplit(kLongBase), kLongBase,
                   true}),
    ByLabel());

// ---------------------------------------------------------------------------
// Every failure line, each from the check that should catch it. The rock is
// split as "tex.dds" beside an earlier "out.dds", and each case breaks one
// thing; the run must create nothing and leave "out.dds" exactly as it was.

using Build = std::function<void(const Scratch&)>;

struct FailureCase {
    const char* label;
    Build build;
    std::string line;
    std::string output = "out.dds";
    // Rows that rely on the host's permission bits, links or pipes. Run as
    // root, the program then runs as "nobody", so that the bits hold for it.
    bool hostOnly = false;
};

class TexweldFailures : public TexweldE2e, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TexweldFailures, PrintTheirLineAndChangeNothing) {
    const FailureCase& c = GetParam();
    if (c.hostOnly) {
        SKIP_UNDER_EMULATOR();
    }
    dir.PutSplit("tex.dds", RockTexture());
    dir.Put("out.dds", previous_);
    RunOptions options;
    if (c.hostOnly && ::geteuid() == 0) {
        constexpr uid_t kNobody = 65534;
        // Reachable and writable for nobody: only the case decides what fails.
        ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
        ASSERT_EQ(::chmod(dir.At("out.dds").c_str(), 0666), 0);
        options.beforeExec = [] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
                ::_exit(126);
            }
        };
    }
    c.build(dir);
    if (HasFatalFailure()) {
        return;
    }
    const Outcome outcome = Run({"tex.dds.0", c.output}, options);
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_EQ(outcome.line, c.line);
    EXPECT_EQ(outcome.added, Names{});
    EXPECT_EQ(outcome.removed, Names{});
    if (fs::is_regular_file(dir.At("out.dds"))) {
        EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));
    }
}

// Builders for the cases below.

const Build kUnchanged = [](const Scratch&) {};

Build Removed(const std::string& name) {
    return [name](const Scratch& dir) { dir.Remove(name); };
}

Build FolderAt(const std::string& name) {
    return [name](const Scratch& dir) {
        dir.Remove(name);
        dir.MakeFolder(name);
    };
}

// The rock's chunk `name` changed by `edit`.
Build Edited(const std::string& name, std::function<void(Bytes&)> edit) {
    return [name, edit](const Scratch& dir) {
        Bytes content = dir.Get(name);
        edit(content);
        dir.Put(name, content);
    };
}

// The first chunk: a preamble with `fields`, and `extra` bytes after it.
Build FirstChunk(const HeaderFields& fields, std::size_t extra = 0) {
    const Bytes content = Concat(samplekit::MakePreamble(fields), Bytes(extra));
    return [content](const Scratch& dir) { dir.Put("tex.dds.0", content); };
}

Build ModeOf(const std::string& name, mode_t mode) {
    return [name, mode](const Scratch& dir) { ASSERT_EQ(::chmod(dir.At(name).c_str(), mode), 0); };
}

Build LinkedTo(const std::string& name, const std::string& target) {
    return [name, target](const Scratch& dir) {
        dir.Remove(name);
        ASSERT_EQ(::symlink(target.c_str(), dir.At(name).c_str()), 0);
    };
}

// The chunks of a DXT1 header: numbered chunks from `firstNumber` (level 0)
// down to `lastNumber`, each sized as its level, and a first chunk of the
// preamble and `smallBytes` more bytes. Unlike a real chain, the levels go
// on past 1x1: this is how a header whose count runs past the smallest level
// reads.
Build LevelByLevel(HeaderFields fields, int firstNumber, int lastNumber, std::size_t smallBytes) {
    return [=](const Scratch& dir) {
        for (int number = firstNumber; number >= lastNumber; --number) {
            const auto level = static_cast<std::uint32_t>(firstNumber - number);
            dir.Put("tex.dds." + std::to_string(number),
                    Bytes(samplekit::LevelBytes(SampleFormat::Dxt1, samplekit::DimensionAtLevel(fields.width, level),
                                                samplekit::DimensionAtLevel(fields.height, level), 1)));
        }
        FirstChunk(fields, smallBytes)(dir);
    };
}

// A first chunk of 4 GiB and a bit: its size does not fit in 32 bits. The
// file is sparse, so it takes no room on disk.
void PutFourGiBFirstChunk(const Scratch& dir) {
    ASSERT_EQ(::truncate(dir.At("tex.dds.0").c_str(), (off_t{1} << 32) + 152), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, TexweldFailures,
    ::testing::Values(
        FailureCase{"FirstChunkMissing", Removed("tex.dds.0"), NotFound("tex.dds")},
        FailureCase{"FirstChunkIsAFolder", FolderAt("tex.dds.0"), NotFound("tex.dds")},
        FailureCase{"FirstChunkOf4GiB", PutFourGiBFirstChunk, kFirstChunkUnreadable},
        FailureCase{"FirstChunkEmpty", Edited("tex.dds.0", [](Bytes& b) { b.clear(); }), kTooSmall},
        FailureCase{"FirstChunkOneByteShortOfAPreamble", Edited("tex.dds.0", [](Bytes& b) { b.resize(127); }),
                    kTooSmall},
        FailureCase{"MagicInLowerCase", Edited("tex.dds.0", [](Bytes& b) { std::memcpy(b.data(), "dds ", 4); }),
                    kBadSignature},
        FailureCase{"UnknownFourCC",
                    FirstChunk(WithFourCC(Shape(64, 64, 0, 1), samplekit::FourCC('D', 'X', 'T', '9')), 512),
                    kUnknownFormat},
        FailureCase{"EmptyPixelFormat", FirstChunk(HeaderFields{}), kUnknownFormat},
        // Count 12: reading the chunks first would fail on chunk 9 instead.
        FailureCase{"SizeBeyond32BitsRefusedBeforeAnyChunkIsRead",
                    FirstChunk(Fields(SampleFormat::Argb32, 65536, 65536, 12)), kNoOutputBuffer},
        FailureCase{"SizeWrappingToZero", FirstChunk(Fields(SampleFormat::Argb32, 65536, 16384, 1)),
                    kNoOutputBuffer},
        FailureCase{"SizeWithPreambleBeyond32Bits",
                    FirstChunk(WithPixels(Shape(0x7FFFFFFF, 2, 0, 1), 0x20000, 8, 0xFF, 0, 0, 0)), kNoOutputBuffer},
        FailureCase{"NegativeWidth", FirstChunk(Dxt1Shape(0x80000000u, 4, 0, 1)), kNoOutputBuffer},
        FailureCase{"NegativeHeight", FirstChunk(Dxt1Shape(4, 0xFFFFFFF0u, 0, 1)), kNoOutputBuffer},
        FailureCase{"NegativeDepth", FirstChunk(Dxt1Shape(4, 4, 0xFFFFFFFFu, 1)), kNoOutputBuffer},
        FailureCase{"ChunkFourOfSixMissing", Removed("tex.dds.4"), ChunkUnreadable(4)},
        FailureCase{"ChunkIsAFolder", FolderAt("tex.dds.3"), ChunkUnreadable(3)},
        FailureCase{"MipCountFarBeyondTheChunks", FirstChunk(Dxt1Shape(256, 256, 0, 0x7FFFFFFF), 24),
                    ChunkUnreadable(0x7FFFFFFF - 3)},
        // Negative as a signed count, but the count less 3 is not.
        FailureCase{"MipCountJustPastTheSignedRange", FirstChunk(Dxt1Shape(256, 256, 0, 0x80000001u), 24),
                    ChunkUnreadable(0x7FFFFFFE)},
        FailureCase{"ChunkOneByteLonger", Edited("tex.dds.3", [](Bytes& b) { b.push_back(0); }), ChunkSizeWrong(3)},
        FailureCase{"ChunkOneByteShorter", Edited("tex.dds.3", [](Bytes& b) { b.pop_back(); }), ChunkSizeWrong(3)},
        // The highest-numbered chunk, the largest level, is read first.
        FailureCase{"LargestChunkTheSizeOfTheNext", Edited("tex.dds.6", [](Bytes& b) { b.resize(8192); }),
                    ChunkSizeWrong(6)},
        // 4x4 has three levels; a count of 7 asks for four numbered chunks.
        FailureCase{"CountPastTheSmallestLevel", LevelByLevel(Dxt1Shape(4, 4, 0, 7), 4, 1, 0), ChunkDoesntFit(1)},
        // 256x256 has nine levels: chunks 37 to 29 fill the image.
        FailureCase{"FortyLevelsOf256x256", LevelByLevel(Dxt1Shape(256, 256, 0, 40), 37, 28, 0), ChunkDoesntFit(28)},
        FailureCase{"FirstChunkCarriesLevelsPastTheChain", LevelByLevel(Dxt1Shape(4, 4, 0, 6), 3, 1, 24),
                    kFirstChunkDoesntFit},
        FailureCase{"FirstChunkOneByteLonger", Edited("tex.dds.0", [](Bytes& b) { b.push_back(0); }),
                    kFirstChunkDoesntFit},
        FailureCase{"OutputIsAFolder", FolderAt("out.dds"), CannotOpen("out.dds")},
        FailureCase{"OutputInMissingFolder", kUnchanged, CannotOpen("missing/out.dds"), "missing/out.dds"},
        FailureCase{"OutputInMissingFolderWithPercents", kUnchanged, CannotOpen("no%n%s/out%d.dds"),
                    "no%n%s/out%d.dds"},
        FailureCase{"OutputNameEmpty", kUnchanged, CannotOpen(""), ""},
        FailureCase{"UnreadableChunk", ModeOf("tex.dds.3", 0), ChunkUnreadable(3), "out.dds", true},
        FailureCase{"UnreadableFirstChunk", ModeOf("tex.dds.0", 0), NotFound("tex.dds"), "out.dds", true},
        FailureCase{"ReadOnlyOutput", ModeOf("out.dds", 0444), CannotOpen("out.dds"), "out.dds", true},
        FailureCase{"ChunkLinkedToNothing", LinkedTo("tex.dds.2", "nowhere"), ChunkUnreadable(2), "out.dds", true},
        // Devices and pipes have no size to read: opening them must not wait.
        FailureCase{"ChunkLinkedToADevice", LinkedTo("tex.dds.1", "/dev/zero"), ChunkSizeWrong(1), "out.dds", true},
        FailureCase{"FirstChunkIsAPipeWithoutAWriter",
                    [](const Scratch& dir) {
                        dir.Remove("tex.dds.0");
                        ASSERT_EQ(::mkfifo(dir.At("tex.dds.0").c_str(), 0644), 0);
                    },
                    kTooSmall, "out.dds", true}),
    ByLabel());

// ---------------------------------------------------------------------------
// Reassembly of well-formed textures, in the sample formats and beyond them,
// and volume textures: the header alone decides every level's size. Each
// level is marked with its own byte, so an equal output also shows every
// level landed where it belongs, largest first.

struct TextureCase {
    const char* label;
    HeaderFields fields;
    bool blocks;  // 4x4 blocks of `bytesPerElement` bytes, else pixels
    std::uint32_t bytesPerElement;
    bool preambleOnly = false;  // a first chunk of the preamble alone
};

class TexweldReassembly : public TexweldE2e, public ::testing::WithParamInterface<TextureCase> {};

TEST_P(TexweldReassembly, PlacesEveryLevelLargestFirstAtItsHeaderSize) {
    const TextureCase& c = GetParam();
    Texture texture = MarkedTexture(c.fields, c.blocks, c.bytesPerElement);
    const std::size_t numbered = dir.PutSplitByCount("tex.dds", texture, c.fields.mipCount);
    if (c.preambleOnly) {
        // The levels the first chunk would carry are left zero.
        dir.Put("tex.dds.0", texture.preamble);
        for (std::size_t level = numbered; level < texture.levels.size(); ++level) {
            std::fill(texture.levels[level].begin(), texture.levels[level].end(), 0);
        }
    }
    // A folder where the chunk after the last one would be: reading it fails.
    dir.MakeFolder("tex.dds." + std::to_string(numbered + 1));
    // An earlier output one byte longer: the new one must not keep its tail.
    const Bytes expected = texture.Joined();
    dir.Put("tex.dds", Bytes(expected.size() + 1, 0xEE));

    const Outcome outcome = Run({"tex.dds.0"});
    EXPECT_EQ(outcome.line, Unsplit("tex.dds"));
    EXPECT_EQ(outcome.added, Names{});
    EXPECT_EQ(outcome.removed, Names{});
    EXPECT_TRUE(SameBytes(dir.Get("tex.dds"), expected));
}

// texsplit, the inverse: the whole texture splits back into exactly the
// chunks it came from, and those reassemble into it. A header whose count
// runs past the chain is not a whole texture, and is refused.
TEST_P(TexweldReassembly, SplitsBackIntoTheChunksItCameFrom) {
    const TextureCase& c = GetParam();
    if (c.preambleOnly) {
        GTEST_SKIP() << "a first chunk without its levels is not a whole texture";
    }
    const Texture texture = MarkedTexture(c.fields, c.blocks, c.bytesPerElement);
    const std::size_t numbered = dir.PutSplitByCount("kit/tex.dds", texture, c.fields.mipCount);
    dir.Put("whole.dds", texture.Joined());
    // Chunks of an earlier, larger split under the same base: a success
    // removes them with the rest of the old set, a failure keeps them.
    const std::string stale1 = "tex.dds." + std::to_string(numbered + 1);
    const std::string stale2 = "tex.dds." + std::to_string(numbered + 2);
    dir.Put(stale1, ToBytes("stale"));
    dir.Put(stale2, ToBytes("stale"));
    const auto counted = static_cast<std::int32_t>(c.fields.mipCount);
    const bool pastTheChain = counted > 0 && static_cast<std::size_t>(counted) > texture.levels.size();

    const RunResult split = texweld_e2e::RunTexsplit({"whole.dds", "tex.dds"}, Here());
    const std::string line = OneLineOfSplit(split, pastTheChain ? 1 : 0);
    if (pastTheChain) {
        EXPECT_EQ(line, kSplitCountPastTheChain);
        EXPECT_FALSE(fs::exists(dir.At("tex.dds.0")));
        EXPECT_TRUE(fs::exists(dir.At(stale2)));
        return;
    }
    EXPECT_EQ(line, Split("whole.dds", static_cast<int>(numbered + 1)));
    for (std::size_t k = 0; k <= numbered; ++k) {
        const std::string name = "tex.dds." + std::to_string(k);
        EXPECT_TRUE(SameBytes(dir.Get(name), dir.Get("kit/" + name))) << name;
    }
    EXPECT_FALSE(fs::exists(dir.At(stale1)));
    EXPECT_FALSE(fs::exists(dir.At(stale2)));
    EXPECT_EQ(Run({"tex.dds.0", "back.dds"}).line, Unsplit("tex.dds"));
    EXPECT_TRUE(SameBytes(dir.Get("back.dds"), texture.Joined()));
}

const HeaderFields k20x12 = Shape(20, 12, 0, 5);  // 20x12, 10x6, 5x3, 2x1, 1x1

INSTANTIATE_TEST_SUITE_P(
    Textures, TexweldReassembly,
    ::testing::Values(
        TextureCase{"Dxt1Square256", Fields(SampleFormat::Dxt1, 256, 256, 9), true, 8},
        TextureCase{"Dxt1Tall8x1024", Fields(SampleFormat::Dxt1, 8, 1024, 11), true, 8},
        TextureCase{"Dxt5Square128", Fields(SampleFormat::Dxt5, 128, 128, 8), true, 16},
        TextureCase{"Dxt5NotPowerOfTwo100x60", Fields(SampleFormat::Dxt5, 100, 60, 7), true, 16},
        TextureCase{"Dxt5ChainCutShort", Fields(SampleFormat::Dxt5, 64, 64, 5), true, 16},
        TextureCase{"Argb32Wide64x32", Fields(SampleFormat::Argb32, 64, 32, 7), false, 4},
        TextureCase{"Argb32Strip64x1", Fields(SampleFormat::Argb32, 64, 1, 7), false, 4},
        TextureCase{"Dxt1FourLevelsOneNumberedChunk", Fields(SampleFormat::Dxt1, 32, 32, 4), true, 8},
        // Counts of 3 or fewer: a file never split, copied through whole.
        TextureCase{"NeverSplitDxt1ThreeLevels", Fields(SampleFormat::Dxt1, 32, 32, 3), true, 8},
        TextureCase{"NeverSplitDxt1TwoLevels", Fields(SampleFormat::Dxt1, 32, 32, 2), true, 8},
        TextureCase{"NeverSplitArgb32OneLevel", Fields(SampleFormat::Argb32, 16, 16, 1), false, 4},
        TextureCase{"NeverSplitDxt5ZeroLevels", Fields(SampleFormat::Dxt5, 16, 16, 0), true, 16},
        // A 128-byte first chunk, whatever the count.
        TextureCase{"PreambleOnlyZeroLevels", Fields(SampleFormat::Dxt1, 64, 64, 0), true, 8, true},
        TextureCase{"PreambleOnlyOneLevel", Fields(SampleFormat::Dxt1, 64, 64, 1), true, 8, true},
        TextureCase{"PreambleOnlyTwoLevels", Fields(SampleFormat::Dxt1, 64, 64, 2), true, 8, true},
        TextureCase{"PreambleOnlyThreeLevels", Fields(SampleFormat::Dxt1, 64, 64, 3), true, 8, true},
        TextureCase{"PreambleOnlySevenLevels", Fields(SampleFormat::Dxt1, 64, 64, 7), true, 8, true},
        TextureCase{"Dxt3", WithFourCC(k20x12, samplekit::FourCC('D', 'X', 'T', '3')), true, 16},
        TextureCase{"Ctx1", WithFourCC(k20x12, samplekit::FourCC('C', 'T', 'X', '1')), true, 8},
        TextureCase{"A16B16G16R16F", WithFourCC(k20x12, 113), false, 8},
        TextureCase{"V16U16", WithPixels(k20x12, 0x80000, 32, 0x0000FFFF, 0xFFFF0000, 0, 0), false, 4},
        TextureCase{"Rgb24", WithPixels(k20x12, 0x40, 24, 0xFF0000, 0xFF00, 0xFF, 0), false, 3},
        TextureCase{"Argb16", WithPixels(k20x12, 0x41, 16, 0x0F00, 0x00F0, 0x000F, 0xF000), false, 2},
        TextureCase{"Alpha8", WithPixels(k20x12, 0x2, 8, 0, 0, 0, 0xFF), false, 1},
        // 8x8x4, 4x4x2, 2x2x1, 1x1x1.
        TextureCase{"Dxt1Volume", Dxt1Shape(8, 8, 4, 4), true, 8},
        // The chain ends at 1x1x1 after four levels; the fifth counted is
        // nowhere, and the first chunk carries two levels, not three.
        TextureCase{"Argb32VolumeCountPastTheChain",
                    WithPixels(Shape(4, 4, 8, 5), 0x41, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000), false, 4},
        TextureCase{"Dxt1CountPastTheChain", Dxt1Shape(16, 16, 0, 7), true, 8},
        TextureCase{"Dxt1NegativeCountIsOneLevel", Dxt1Shape(16, 16, 0, 0xFFFFFFFFu), true, 8},
        // The count less 3 is negative as a signed value: no numbered chunk.
        TextureCase{"Dxt1CountWithNegativeDifference", Dxt1Shape(16, 16, 0, 0x80000003u), true, 8},
        TextureCase{"Dxt1ZeroWidthIsOnePixel", Dxt1Shape(0, 16, 0, 4), true, 8}),
    ByLabel());

// The bundled sample is what the kit makes, in the chunk sizes the README
// documents, and reassembles into the rock.
TEST_F(TexweldE2e, BundledSampleIsTheKitsRockAndReassembles) {
    const std::string samples = TEXWELD_SAMPLES_DIR;
    dir.PutSplit("kit/rock.dds", RockTexture());
    const std::vector<std::uintmax_t> documentedSizes = {152, 32, 128, 512, 2048, 8192, 32768};
    ASSERT_EQ(dir.Listing().size(), 1 + documentedSizes.size()) << "the kit's chunks and their folder";
    for (std::size_t k = 0; k < documentedSizes.size(); ++k) {
        const std::string name = "rock.dds." + std::to_string(k);
        fs::copy_file(samples + "/" + name, dir.At(name));
        EXPECT_EQ(fs::file_size(dir.At(name)), documentedSizes[k]) << name;
        EXPECT_TRUE(SameBytes(dir.Get(name), dir.Get("kit/" + name))) << "samples/" << name << " is not the kit's";
    }
    const auto isRock = [](const auto& entry) { return entry.path().filename().string().rfind("rock.dds", 0) == 0; };
    EXPECT_EQ(std::count_if(fs::directory_iterator(samples), fs::directory_iterator(), isRock), 7)
        << "samples/ holds other rock.dds files";

    const Outcome outcome = Run({"rock.dds.0"});
    EXPECT_EQ(outcome.line, Unsplit("rock.dds"));
    EXPECT_EQ(outcome.added, Names{"rock.dds"});
    EXPECT_EQ(dir.Get("rock.dds").size(), 128u + 43704u);
    EXPECT_TRUE(SameBytes(dir.Get("rock.dds"), RockTexture().Joined()));
}

// ---------------------------------------------------------------------------
// The output file, as the host's own files, devices, pipes and limits see it:
// a regular file is replaced whole or not at all, anything else is written in
// place.

TEST_F(TexweldOutput, OutputLockedByAnotherProcessIsNotReplaced) {
    SKIP_UNDER_EMULATOR();
    dir.Put("out.dds", previous_);
    const int held = ::open(dir.At("out.dds").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    const Outcome locked = Run({"tex.dds.0", "out.dds"});
    EXPECT_EQ(locked.line, CannotOpen("out.dds"));
    EXPECT_EQ(locked.added, Names{});
    EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));

    ::close(held);
    EXPECT_EQ(Run({"tex.dds.0", "out.dds"}).line, Unsplit("tex.dds"));
    EXPECT_TRUE(SameBytes(dir.Get("out.dds"), RockTexture().Joined()));
}

TEST_F(TexweldOutput, ReplacementKeepsThePermissionBits) {
    SKIP_UNDER_EMULATOR();
    for (const mode_t mode : {mode_t{0604}, mode_t{0751}, mode_t{0600}}) {
        dir.Put("out.dds", previous_);
        ASSERT_EQ(::chmod(dir.At("out.dds").c_str(), mode), 0);
        EXPECT_EQ(Run({"tex.dds.0", "out.dds"}).line, Unsplit("tex.dds"));
        EXPECT_TRUE(SameBytes(dir.Get("out.dds"), RockTexture().Joined()));
        EXPECT_EQ(fs::status(dir.At("out.dds")).permissions(), static_cast<fs::perms>(mode));
    }
    // A new output gets what the process's umask leaves of rw-rw-rw-.
    const mode_t umask = ::umask(0);  // read without changing it
    ::umask(umask);
    EXPECT_EQ(Run({"tex.dds.0", "new.dds"}).line, Unsplit("tex.dds"));
    EXPECT_EQ(fs::status(dir.At("new.dds")).permissions(), static_cast<fs::perms>(0666 & ~umask));
}

TEST_F(TexweldOutput, DeviceIsWrittenInPlace) {
    SKIP_UNDER_EMULATOR();
    for (const auto& [device, line] : {std::pair<std::string, std::string>{"/dev/null", Unsplit("tex.dds")},
                                       std::pair<std::string, std::string>{"/dev/full", kWriteFailed}}) {
        SCOPED_TRACE(device);
        struct stat real {};
        ASSERT_EQ(::stat(device.c_str(), &real), 0);
        ASSERT_TRUE(S_ISCHR(real.st_mode)) << device << " is not a device here";

        // Run as root, a program that replaced devices like files would
        // rename a regular file over the system's own device. Let it first
        // write to a copy of the device node in the scratch folder, and go on
        // to the real one only when it left the copy alone.
        if (::geteuid() == 0) {
            dir.Remove("device");
            if (::mknod(dir.At("device").c_str(), S_IFCHR | 0666, real.st_rdev) != 0) {
                GTEST_SKIP() << "cannot make a copy of " << device << " to try first";
            }
            const Outcome tried = Run({"tex.dds.0", "device"});
            struct stat copy {};
            ASSERT_EQ(::lstat(dir.At("device").c_str(), &copy), 0);
            ASSERT_TRUE(S_ISCHR(copy.st_mode)) << "a device node was replaced; " << device << " is not tried";
            ASSERT_EQ(tried.line, line);
            ASSERT_EQ(tried.added, Names{});
        }

        const Outcome outcome = Run({"tex.dds.0", device});
        EXPECT_EQ(outcome.line, line);
        EXPECT_EQ(outcome.added, Names{});
        struct stat after {};
        ASSERT_EQ(::lstat(device.c_str(), &after), 0);
        EXPECT_TRUE(S_ISCHR(after.st_mode) && after.st_rdev == real.st_rdev) << device << " was replaced";
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(fs::path(device).parent_path(), error)) {
            EXPECT_NE(entry.path().filename().string().rfind(".texweld-", 0), 0u) << entry.path();
        }
    }
}

TEST_F(TexweldOutput, PipeIsRefusedWithoutAReaderAndWrittenInPlaceWithOne) {
    SKIP_UNDER_EMULATOR();
    ASSERT_EQ(::mkfifo(dir.At("pipe.dds").c_str(), 0644), 0);

    RunOptions options;
    options.timeoutMilliseconds = 5000;
    const Outcome refused = Run({"tex.dds.0", "pipe.dds"}, options);
    EXPECT_EQ(refused.line, CannotOpen("pipe.dds"));
    EXPECT_EQ(refused.added, Names{});

    const int reader = ::open(dir.At("pipe.dds").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    // The image fits in the pipe's buffer: the program never waits on us.
    const Outcome outcome = Run({"tex.dds.0", "pipe.dds"}, options);
    EXPECT_EQ(outcome.line, Unsplit("tex.dds"));
    EXPECT_EQ(outcome.added, Names{});
    Bytes received;
    std::uint8_t chunk[4096];
    for (ssize_t got; (got = ::read(reader, chunk, sizeof chunk)) > 0;) {
        received.insert(received.end(), chunk, chunk + got);
    }
    ::close(reader);
    EXPECT_TRUE(SameBytes(received, RockTexture().Joined()));
    EXPECT_TRUE(fs::is_fifo(dir.At("pipe.dds")));
}

TEST_F(TexweldOutput, WriteCutShortIsReportedAndUndone) {
    SKIP_UNDER_EMULATOR();
    for (const bool existingOutput : {false, true}) {
        // Ignored by the child from the start, or left at its default for the
        // program to ignore itself.
        for (const bool ignoreSignal : {true, false}) {
            SCOPED_TRACE(std::string(existingOutput ? "existing" : "new") + " output, SIGXFSZ " +
                         (ignoreSignal ? "ignored" : "at its default"));
            if (existingOutput) {
                dir.Put("out.dds", previous_);
            }
            RunOptions options;
            options.fileSizeLimit = 4096;  // the image is 43832 bytes
            options.ignoreFileSizeSignal = ignoreSignal;
            const Outcome outcome = Run({"tex.dds.0", "out.dds"}, options);
            EXPECT_EQ(outcome.line, kWriteFailed);
            EXPECT_EQ(outcome.added, Names{});
            EXPECT_EQ(outcome.removed, Names{});
            if (existingOutput) {
                EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));
            }
        }
    }
}

// texsplit's failures: each prints its line, exits 1 and leaves the folder
// exactly as it was, old chunks included.
struct SplitFailureCase {
    const char* label;
    std::function<void(const Scratch&, Bytes&)> build;  // changes the whole file or the folder
    std::vector<std::string> arguments;
    std::string line;
};

class TexsplitFailures : public TexweldE2e, public ::testing::WithParamInterface<SplitFailureCase> {};

TEST_P(TexsplitFailures, PrintTheirLineExitOneAndChangeNothing) {
    const SplitFailureCase& c = GetParam();
    // Old chunks of an earlier split under the same base: all must survive.
    dir.PutSplit("tex.dds", SampleTexture(SampleFormat::Dxt1, 64, 64, 7, 9));
    Bytes whole = RockTexture().Joined();
    c.build(dir, whole);
    if (HasFatalFailure()) {
        return;
    }
    dir.Put("whole.dds", whole);
    const Names before = dir.Listing();
    std::vector<Bytes> old;
    for (int k = 0; k <= 4; ++k) {
        old.push_back(dir.Get("tex.dds." + std::to_string(k)));
    }
    const RunResult run = texweld_e2e::RunTexsplit(c.arguments, Here());
    EXPECT_EQ(OneLineOfSplit(run, 1), c.line);
    EXPECT_EQ(dir.Listing(), before);
    for (int k = 0; k <= 4; ++k) {
        EXPECT_TRUE(SameBytes(dir.Get("tex.dds." + std::to_string(k)), old[static_cast<std::size_t>(k)])) << k;
    }
}

const std::vector<std::string> kSplitWhole = {"whole.dds", "tex.dds"};

INSTANTIATE_TEST_SUITE_P(
    Messages, TexsplitFailures,
    ::testing::Values(
        SplitFailureCase{"NoArguments", [](const Scratch&, Bytes&) {}, {}, kSplitUsage},
        SplitFailureCase{"Missing", [](const Scratch&, Bytes&) {}, {"nowhere.dds", "tex.dds"},
                         SplitInputMissing("nowhere.dds")},
        SplitFailureCase{"Truncated", [](const Scratch&, Bytes& b) { b.pop_back(); }, kSplitWhole,
                         kSplitSizeMismatch},
        SplitFailureCase{"OneByteTooLong", [](const Scratch&, Bytes& b) { b.push_back(0); }, kSplitWhole,
                         kSplitSizeMismatch},
        SplitFailureCase{"ShorterThanAPreamble", [](const Scratch&, Bytes& b) { b.resize(100); }, kSplitWhole,
                         kTooSmall},
        SplitFailureCase{"NotDds", [](const Scratch&, Bytes& b) { std::memcpy(b.data(), "PNG ", 4); }, kSplitWhole,
                         kBadSignature},
        SplitFailureCase{"UnknownFormat",
                         [](const Scratch&, Bytes& b) {
                             b = samplekit::MakePreamble(WithFourCC(Shape(64, 64, 0, 1), samplekit::FourCC('D', 'X', 'T', '9')));
                         },
                         kSplitWhole, kUnknownFormat},
        // 4x4 has three levels; a count of 7 would make chunks of levels
        // that do not exist.
        SplitFailureCase{"CountPastTheSmallestLevel",
                         [](const Scratch&, Bytes& b) {
                             b = MarkedTexture(Dxt1Shape(4, 4, 0, 7), true, 8).Joined();
                         },
                         kSplitWhole, kSplitCountPastTheChain},
        // Negative as a signed count, so one level to size; but texweld
        // would look for 2147483646 numbered chunks of it.
        SplitFailureCase{"CountTexweldReadsAsBillionsOfChunks",
                         [](const Scratch&, Bytes& b) {
                             b = MarkedTexture(Dxt1Shape(4, 4, 0, 0x80000001u), true, 8).Joined();
                         },
                         kSplitWhole, kSplitCountPastTheChain},
        // All or nothing: one chunk's name is taken by a folder.
        SplitFailureCase{"OneChunkNameIsAFolder", [](const Scratch& dir, Bytes&) { dir.MakeFolder("tex.dds.5"); },
                         kSplitWhole, SplitCannotOpen("tex.dds")},
        // Bases that would name chunks by their numbers alone.
        SplitFailureCase{"EmptyBaseName", [](const Scratch&, Bytes&) {}, {"whole.dds", ""}, SplitCannotOpen("")},
        SplitFailureCase{"BaseNameIsAFolder", [](const Scratch& dir, Bytes&) { dir.MakeFolder("sub"); },
                         {"whole.dds", "sub/"}, SplitCannotOpen("sub/")},
        // The file being split is one of the chunks it would replace.
        SplitFailureCase{"InputIsOneOfTheChunks",
                         [](const Scratch& dir, Bytes&) { dir.Put("tex.dds.2", RockTexture().Joined()); },
                         {"tex.dds.2", "tex.dds"}, SplitCannotOpen("tex.dds")}),
    ByLabel());

// ---------------------------------------------------------------------------
// Output safety off the happy path. The rock is split as "tex.dds" beside an
// earlier "out.dds"; each row changes one thing and runs the program. Every
// chunk must keep its bytes, the image must land exactly where the row says
// (or nowhere), "out.dds", where it is still a plain file and not that place,
// must keep its earlier bytes, and nothing else may appear.

constexpr uid_t kNobody = 65534;
constexpr uid_t kDaemon = 1;

// Who runs the program: this process's user, or (needing root to arrange)
// the user nobody.
enum class Runner { Self, Nobody };

struct SafetyCase {
    const char* label;
    Build build;
    std::vector<std::string> arguments;
    std::string line;
    std::string imageAt;  // the file that ends up holding the image; empty for none
    Names added;          // what appears in the folder
    Runner runner = Runner::Self;
    bool hostOnly = false;      // needs the host's links, owners or limits
    bool emulatorOnly = false;  // a name only Windows refuses
    std::optional<std::uint64_t> fileSizeLimit = std::nullopt;
    // "out.dds" afterwards: its owner, group and mode bits.
    std::optional<std::tuple<uid_t, gid_t, mode_t>> outputOwnership = std::nullopt;
};

class TexweldOutputSafety : public TexweldE2e, public ::testing::WithParamInterface<SafetyCase> {};

TEST_P(TexweldOutputSafety, KeepsEveryFileWholeOrReplacedWhole) {
    const SafetyCase& c = GetParam();
    if (c.hostOnly) {
        SKIP_UNDER_EMULATOR();
    }
    if (c.emulatorOnly && !texweld_e2e::RunsUnderEmulator()) {
        GTEST_SKIP() << "a name that only Windows refuses";
    }
    if ((c.runner == Runner::Nobody || c.outputOwnership) && ::geteuid() != 0) {
        GTEST_SKIP() << "needs root to arrange owners";
    }
    const std::vector<samplekit::Chunk> chunks =
        samplekit::SplitTexture(RockTexture().preamble, RockTexture().levels);
    dir.PutSplit("tex.dds", RockTexture());
    dir.Put("out.dds", previous_);
    c.build(dir);
    if (HasFatalFailure()) {
        return;
    }
    RunOptions options;
    options.fileSizeLimit = c.fileSizeLimit;
    options.ignoreFileSizeSignal = c.fileSizeLimit.has_value();
    if (c.runner == Runner::Nobody) {
        ASSERT_EQ(::chmod(dir.Path().c_str(), (fs::status(dir.Path()).permissions() & fs::perms::sticky_bit) ==
                                                      fs::perms::none
                                                  ? 0755
                                                  : 01777),
                  0);
        options.beforeExec = [] {
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) {
                ::_exit(126);
            }
        };
    }
    const Outcome outcome = Run(c.arguments, options);
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_EQ(outcome.line, c.line);
    EXPECT_EQ(outcome.added, c.added);
    EXPECT_EQ(outcome.removed, Names{});
    for (const samplekit::Chunk& chunk : chunks) {
        EXPECT_TRUE(SameBytes(dir.Get("tex.dds" + chunk.suffix), chunk.content)) << "tex.dds" << chunk.suffix;
    }
    if (!c.imageAt.empty()) {
        EXPECT_TRUE(SameBytes(dir.Get(c.imageAt), RockTexture().Joined())) << c.imageAt;
    }
    if (c.imageAt != "out.dds" && fs::is_regular_file(fs::symlink_status(dir.At("out.dds")))) {
        EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));
    }
    if (c.outputOwnership) {
        struct stat info {};
        ASSERT_EQ(::lstat(dir.At("out.dds").c_str(), &info), 0);
        const auto [owner, group, mode] = *c.outputOwnership;
        EXPECT_EQ(info.st_uid, owner);
        EXPECT_EQ(info.st_gid, group);
        EXPECT_EQ(info.st_mode & 07777, mode);
    }
}

Build OwnedBy(const std::string& name, uid_t owner, gid_t group, mode_t mode) {
    return [=](const Scratch& dir) {
        ASSERT_EQ(::chown(dir.At(name).c_str(), owner, group), 0);
        ASSERT_EQ(::chmod(dir.At(name).c_str(), mode), 0);
    };
}

Build Both(Build first, Build second) {
    return [=](const Scratch& dir) {
        first(dir);
        second(dir);
    };
}

// Files that interrupted runs of earlier versions, and of this one, left.
const Build kLeftovers = [](const Scratch& dir) {
    for (int n = 0; n < 100; ++n) {
        dir.Put(".texweld-1-" + std::to_string(n) + ".tmp", ToBytes("left"));
    }
    dir.Put(".texweld-0123456789abcdef.tmp", ToBytes("left"));
};

const std::string kLongFileName = std::string(300, 'n') + ".dds";

INSTANTIATE_TEST_SUITE_P(
    OffTheHappyPath, TexweldOutputSafety,
    ::testing::Values(
        // Temporary names never repeat: leftovers neither block nor get touched.
        SafetyCase{"LeftoversOfInterruptedRunsDoNotBlock", kLeftovers, {"tex.dds.0", "out.dds"},
                   Unsplit("tex.dds"), "out.dds", {}},
        // A link is replaced at its target, and stays a link.
        SafetyCase{"LinkToAFileReplacesTheTarget",
                   Both([](const Scratch& dir) { dir.Put("target.dds", Bytes(100000, 0x33)); },
                        LinkedTo("out.dds", "target.dds")),
                   {"tex.dds.0", "out.dds"}, Unsplit("tex.dds"), "target.dds", {}, Runner::Self, true},
        SafetyCase{"LinkToAMissingFileCreatesTheTarget", LinkedTo("out.dds", "made.dds"),
                   {"tex.dds.0", "out.dds"}, Unsplit("tex.dds"), "made.dds", {"made.dds"}, Runner::Self, true},
        SafetyCase{"LinkTargetOnAFullDiskKeepsItsBytes",
                   Both([](const Scratch& dir) { dir.Put("target.dds", ToBytes("the target")); },
                        LinkedTo("out.dds", "target.dds")),
                   {"tex.dds.0", "out.dds"}, kWriteFailed, "", {}, Runner::Self, true, false, 4096},
        // A name whose nearest ASCII look-alike is the existing out.dds.
        SafetyCase{"GreekOutputBesideItsLookAlike", kUnchanged, {"tex.dds.0", "Ωut.dds"}, Unsplit("tex.dds"),
                   "Ωut.dds", {"Ωut.dds"}},
        // The output is one of the chunks the run reads.
        SafetyCase{"OutputIsTheFirstChunk", kUnchanged, {"tex.dds.0", "tex.dds.0"}, CannotOpen("tex.dds.0"), "", {}},
        SafetyCase{"OutputIsANumberedChunk", kUnchanged, {"tex.dds.0", "tex.dds.1"}, CannotOpen("tex.dds.1"), "",
                   {}},
        SafetyCase{"OutputIsTheFirstChunkByAnotherPath", kUnchanged, {"./tex.dds.0", "tex.dds.0"},
                   CannotOpen("tex.dds.0"), "", {}},
        SafetyCase{"OutputIsALinkToAChunk", LinkedTo("out.dds", "tex.dds.6"), {"tex.dds.0", "out.dds"},
                   CannotOpen("out.dds"), "", {}, Runner::Self, true},
        SafetyCase{"OutputIsAHardLinkToAChunk",
                   [](const Scratch& dir) {
                       ASSERT_EQ(::link(dir.At("tex.dds.3").c_str(), dir.At("copy.dds").c_str()), 0);
                   },
                   {"tex.dds.0", "copy.dds"}, CannotOpen("copy.dds"), "", {}, Runner::Self, true},
        // Names the system cannot hold are refused before anything is written.
        SafetyCase{"NameTooLong", kUnchanged, {"tex.dds.0", kLongFileName}, CannotOpen(kLongFileName), "", {}},
        SafetyCase{"NameWithALessThanSign", kUnchanged, {"tex.dds.0", "a<b.dds"}, CannotOpen("a<b.dds"), "", {},
                   Runner::Self, false, true},
        SafetyCase{"NameWithAVerticalBar", kUnchanged, {"tex.dds.0", "a|b.dds"}, CannotOpen("a|b.dds"), "", {},
                   Runner::Self, false, true},
        // The folder refuses a new name but the file may be written: written
        // in place, as a plain overwrite would.
        SafetyCase{"ReadOnlyFolderWritableFile", Both(ModeOf("out.dds", 0666), ModeOf(".", 0555)),
                   {"tex.dds.0", "out.dds"}, Unsplit("tex.dds"), "out.dds", {}, Runner::Nobody, true},
        SafetyCase{"StickyFolderAnotherUsersFile", Both(OwnedBy("out.dds", kDaemon, kDaemon, 0666), ModeOf(".", 01777)),
                   {"tex.dds.0", "out.dds"}, Unsplit("tex.dds"), "out.dds", {}, Runner::Nobody, true, false,
                   std::nullopt, std::tuple<uid_t, gid_t, mode_t>{kDaemon, kDaemon, 0666}},
        // A group the runner is not in cannot be kept: its bits must not
        // open the file to the runner's own group instead.
        SafetyCase{"GroupThatCannotBeKeptGainsNoReaders",
                   Both(OwnedBy("out.dds", kNobody, kDaemon, 0640), ModeOf(".", 01777)), {"tex.dds.0", "out.dds"},
                   Unsplit("tex.dds"), "out.dds", {}, Runner::Nobody, true, false, std::nullopt,
                   std::tuple<uid_t, gid_t, mode_t>{kNobody, kNobody, 0600}},
        // Replacing another user's file keeps its owner, group and mode.
        SafetyCase{"AnotherUsersFileKeepsItsOwner", OwnedBy("out.dds", kNobody, kNobody, 0640),
                   {"tex.dds.0", "out.dds"}, Unsplit("tex.dds"), "out.dds", {}, Runner::Self, true, false,
                   std::nullopt, std::tuple<uid_t, gid_t, mode_t>{kNobody, kNobody, 0640}}),
    ByLabel());

// An interrupt that lands while the image is written, or just before the
// finished file takes the output's name, ends the run as that signal does,
// with the old output intact and nothing left beside it.
TEST_F(TexweldOutput, InterruptDuringTheWriteLeavesTheOldOutputAndNothingElse) {
    SKIP_UNDER_EMULATOR();
    if (::access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "needs strace to land a signal inside the write";
    }
    struct Landing {
        const char* call;
        const char* extra;  // what else strace does to the call
    };
    // At the write the file has no name yet; at the rename it has its
    // temporary one, which the handler must remove (the rename is made to
    // fail, as if the signal had come just before it).
    // SIGKILL cannot be caught: only a file without a name survives it.
    for (const Landing landing : {Landing{"write", ""}, Landing{"rename", ":error=EINTR"}}) {
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL}) {
            if (signal == SIGKILL && std::string(landing.call) == "rename") {
                continue;
            }
            SCOPED_TRACE(std::string(landing.call) + ", signal " + std::to_string(signal));
            dir.Put("out.dds", previous_);
            RunOptions options;
            options.workingDirectory = dir.Path();
            options.wrapper = {"/usr/bin/strace", "-o", "/dev/null", "-e", std::string("trace=") + landing.call,
                               "-e",
                               std::string("inject=") + landing.call + ":signal=" + std::to_string(signal) +
                                   landing.extra + ":when=1"};
            const Names before = dir.Listing();
            const RunResult run = texweld_e2e::RunTexweld({"tex.dds.0", "out.dds"}, options);
            // strace ends as its tracee did.
            EXPECT_EQ(run.signal, signal) << run.Describe();
            EXPECT_EQ(run.out, "");
            EXPECT_EQ(dir.Listing(), before);
            EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));
        }
    }
}

// A chunk that fails to read between its check and its copy, as one that
// shrank or sits on a failing disk would: the run names it, the old output
// (or the old chunk set, for texsplit) keeps its bytes, nothing is left.
TEST_F(TexweldOutput, ReadFailingDuringTheCopyNamesTheChunkAndKeepsTheOldFiles) {
    SKIP_UNDER_EMULATOR();
    if (::access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "needs strace to fail a read inside the copy";
    }
    dir.Put("out.dds", previous_);
    dir.Put("whole.dds", RockTexture().Joined());
    dir.PutSplit("old.dds", SampleTexture(SampleFormat::Dxt1, 256, 256, 9, 7));
    struct Row {
        bool split;  // texsplit of whole.dds over old.dds, else texweld
        int when;    // which read fails: the first reads the first chunk or the preamble
        std::string line;
    };
    for (const Row& row : {Row{false, 2, ChunkUnreadable(6)}, Row{false, 4, ChunkUnreadable(4)},
                           Row{false, 7, ChunkUnreadable(1)}, Row{true, 2, kFirstChunkUnreadable},
                           Row{true, 8, kFirstChunkUnreadable}}) {
        SCOPED_TRACE((row.split ? "texsplit, read " : "texweld, read ") + std::to_string(row.when));
        RunOptions options = Here();
        options.wrapper = {"/usr/bin/strace", "-o", "/dev/null", "-e", "trace=read",
                           "-e", "inject=read:error=EIO:when=" + std::to_string(row.when)};
        const Names before = dir.Listing();
        std::vector<Bytes> oldSet;
        for (int k = 0; k <= 6; ++k) {
            oldSet.push_back(dir.Get("old.dds." + std::to_string(k)));
        }
        if (row.split) {
            const RunResult run = texweld_e2e::RunTexsplit({"whole.dds", "old.dds"}, options);
            EXPECT_EQ(OneLineOfSplit(run, 1), row.line);
        } else {
            EXPECT_EQ(OneLine(texweld_e2e::RunTexweld({"tex.dds.0", "out.dds"}, options)), row.line);
        }
        EXPECT_EQ(dir.Listing(), before);
        EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));
        for (int k = 0; k <= 6; ++k) {
            EXPECT_TRUE(SameBytes(dir.Get("old.dds." + std::to_string(k)), oldSet[static_cast<std::size_t>(k)])) << k;
        }
    }
}

// texsplit's commit, faulted at each call that links, renames, removes or
// changes ownership: whatever lands there, the chunk set is the old one or
// the new one byte for byte, the line says which, and nothing else is left.
// The old set has one chunk more than the new, which the commit removes.
TEST_F(TexweldE2e, FaultInTexsplitsCommitLeavesTheOldSetOrTheNewOne) {
    SKIP_UNDER_EMULATOR();
    if (::access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "needs strace to land faults inside the commit";
    }
    const Texture before = SampleTexture(SampleFormat::Dxt1, 512, 512, 10, 4);
    const std::vector<samplekit::Chunk> oldSet = samplekit::SplitTexture(before.preamble, before.levels);
    const std::vector<samplekit::Chunk> newSet =
        samplekit::SplitTexture(RockTexture().preamble, RockTexture().levels);
    dir.Put("whole.dds", RockTexture().Joined());
    const auto holds = [&](const std::vector<samplekit::Chunk>& set) {
        Names names{"whole.dds"};
        for (const samplekit::Chunk& chunk : set) {
            names.insert("tex.dds" + chunk.suffix);
            if (dir.Get("tex.dds" + chunk.suffix) != chunk.content) {
                return false;
            }
        }
        return dir.Listing() == names;
    };
    // Which of its calls each fault hits: the first, one in the middle, the
    // last of the commit's own (seven new chunks, eight kept ones).
    struct Call {
        const char* name;
        std::vector<int> when;
    };
    const Call calls[] = {{"linkat", {1, 4, 7}}, {"link", {1, 5, 8}}, {"fchown", {1, 7}},
                          {"rename", {1, 4, 7}}, {"unlink", {1}}};
    const std::string faults[] = {"signal=SIGINT", "signal=SIGTERM", "signal=SIGHUP", "signal=SIGQUIT",
                                  "error=EIO", "error=ENOSPC"};
    for (const Call& call : calls) {
        for (const int when : call.when) {
            for (const std::string& fault : faults) {
                SCOPED_TRACE(std::string(call.name) + ":" + fault + ":when=" + std::to_string(when));
                dir.PutSplit("tex.dds", before);
                RunOptions options = Here();
                options.wrapper = {"/usr/bin/strace", "-o", "/dev/null", "-e", std::string("trace=") + call.name,
                                   "-e", "inject=" + std::string(call.name) + ":" + fault + ":when=" +
                                             std::to_string(when)};
                const RunResult run = texweld_e2e::RunTexsplit({"whole.dds", "tex.dds"}, options);
                const bool isOld = holds(oldSet);
                const bool isNew = holds(newSet);
                EXPECT_TRUE(isOld || isNew) << dir.Listing().size() << " entries\n" << run.Describe();
                if (run.signal != 0) {
                    EXPECT_EQ(run.out, "");
                } else if (isNew) {
                    EXPECT_EQ(OneLineOfSplit(run, 0), Split("whole.dds", 7));
                } else {
                    EXPECT_EQ(OneLineOfSplit(run, 1), kSplitWriteFailed);
                }
                for (const samplekit::Chunk& chunk : oldSet) {
                    dir.Remove("tex.dds" + chunk.suffix);
                }
            }
        }
    }
}

// texsplits of two textures into one base at once: one run's set lands
// whole after another's, never a mix, and every run says it succeeded.
TEST_F(TexweldE2e, ConcurrentSplitsIntoOneBaseLeaveOneWholeSet) {
    const Texture a = SampleTexture(SampleFormat::Argb32, 512, 512, 10, 5);
    const Texture b = SampleTexture(SampleFormat::Argb32, 512, 512, 10, 6);
    dir.Put("a.dds", a.Joined());
    dir.Put("b.dds", b.Joined());
    for (int round = 0; round < 3; ++round) {
        std::vector<RunResult> runs(6);
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const std::string input = i % 2 == 0 ? "a.dds" : "b.dds";
            threads.emplace_back([&, i, input] { runs[i] = texweld_e2e::RunTexsplit({input, "s.dds"}, Here()); });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        for (std::size_t i = 0; i < runs.size(); ++i) {
            EXPECT_EQ(OneLineOfSplit(runs[i], 0), Split(i % 2 == 0 ? "a.dds" : "b.dds", 8));
        }
        EXPECT_EQ(Run({"s.dds.0", "w.dds"}).line, Unsplit("s.dds"));
        const Bytes welded = dir.Get("w.dds");
        EXPECT_TRUE(welded == a.Joined() || welded == b.Joined()) << "round " << round;
        EXPECT_EQ(dir.Listing().size(), 2u + 8u + 1u) << "round " << round;
    }
}

// Runs that write one output at once leave one complete image and nothing
// else: each replaces the whole file in one step.
TEST_F(TexweldE2e, ConcurrentRunsOnOneOutputLeaveOneWholeImage) {
    const Texture texture = SampleTexture(SampleFormat::Argb32, 1024, 1024, 11, 2);
    dir.PutSplit("big.dds", texture);
    dir.Put("out.dds", previous_);
    const Names before = dir.Listing();
    RunOptions options;
    options.workingDirectory = dir.Path();
    std::vector<RunResult> runs(3);
    std::vector<std::thread> threads;
    for (RunResult& run : runs) {
        threads.emplace_back([&run, &options] { run = texweld_e2e::RunTexweld({"big.dds.0", "out.dds"}, options); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const RunResult& run : runs) {
        EXPECT_EQ(OneLine(run), Unsplit("big.dds"));
    }
    EXPECT_EQ(dir.Listing(), before);
    EXPECT_TRUE(SameBytes(dir.Get("out.dds"), texture.Joined()));
}

// The image for a header is reserved before any chunk is read, but its pages
// are only mapped in as levels arrive: a 128-byte file that promises nearly
// 4 GiB must not make the run take that much memory before it fails.
TEST_F(TexweldE2e, PromisedImageTakesNoMemoryUntilChunksArrive) {
    SKIP_UNDER_EMULATOR();
    dir.Put("tex.dds.0", samplekit::MakePreamble(Fields(SampleFormat::Argb32, 32768, 24000, 4)));
    const Outcome outcome = Run({"tex.dds.0"});
    EXPECT_EQ(outcome.line, ChunkUnreadable(1));
    struct rusage children {};
    ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &children), 0);
    // A quarter of what the header promises: room for a sanitizer's shadow
    // of the reservation, far below mapping the image itself.
    EXPECT_LT(children.ru_maxrss, 1024 * 1024) << "peak resident kilobytes of the run";
}

}  // namespace
