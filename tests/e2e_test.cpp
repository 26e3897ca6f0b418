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
#include "tests/texweld_runner.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <ostream>
#include <set>
#include <string>
#include <string_view>
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
using texweld_e2e::RunOptions;
using texweld_e2e::RunResult;

#define SKIP_UNDER_EMULATOR()                                                         \
    do {                                                                              \
        if (texweld_e2e::RunsUnderEmulator()) {                                       \
            GTEST_SKIP() << "needs the host's own files, devices or process limits"; \
        }                                                                             \
    } while (false)

// ---------------------------------------------------------------------------
// The lines the program prints, without their line feed.

const std::string kUsage = "Syntax: Texweld <first dds chunk> [output filename]";
const std::string kFirstChunkUnreadable = "Failed to load file contents to buffer.";
const std::string kTooSmall = "File too small.";
const std::string kBadSignature = "Invalid file signature.";
const std::string kUnknownFormat = "Unknown texture format.";
const std::string kNoOutputBuffer = "Couldn't allocate output buffer.";
const std::string kFirstChunkDoesntFit = "File contents don't fit in the output buffer.";
const std::string kWriteFailed = "Failed to write output buffer to file.";

std::string NotFound(const std::string& base) {
    return base + " doesn't appear to be a split DDS file (" + base + ".0 wasn't found)";
}
std::string Unsplit(const std::string& base) {
    return "Successfully unsplit " + base + ".";
}
std::string ChunkUnreadable(int chunk) {
    return "Failed to load chunk " + std::to_string(chunk) + " contents to buffer.";
}
std::string ChunkSizeWrong(int chunk) {
    return "Chunk " + std::to_string(chunk) + " has unexpected size.";
}
std::string ChunkDoesntFit(int chunk) {
    return "Chunk " + std::to_string(chunk) + " doesn't fit in the output buffer.";
}
std::string CannotOpen(const std::string& output) {
    return "Failed to open " + output + " for writing.";
}

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

// How a format stores its pixels: 4x4 blocks or single pixels, and the
// bytes of one of them.
struct ElementFormat {
    bool blocks;
    std::uint32_t bytesPerElement;
};

// A level filled with one byte that tells it apart from every other level.
Bytes MarkedLevel(std::uint64_t size, std::uint32_t level) {
    return Bytes(static_cast<std::size_t>(size), static_cast<std::uint8_t>(0xA0 + level));
}

// The levels a header describes, each marked: every dimension halves per
// level and never drops below 1, and the chain ends after the first level
// that is 1x1x1 however many levels the header counts (0 or fewer count as
// one).
Texture MarkedTexture(const HeaderFields& fields, ElementFormat element) {
    Texture texture{samplekit::MakePreamble(fields), {}};
    const auto count = static_cast<std::int32_t>(fields.mipCount);
    for (std::uint32_t level = 0; level < static_cast<std::uint32_t>(std::max(count, 1)); ++level) {
        const std::uint32_t w = samplekit::DimensionAtLevel(fields.width, level);
        const std::uint32_t h = samplekit::DimensionAtLevel(fields.height, level);
        const std::uint32_t d = samplekit::DimensionAtLevel(fields.depth, level);
        texture.levels.push_back(
            MarkedLevel(samplekit::ElementLevelBytes(element.blocks, element.bytesPerElement, w, h, d), level));
        if (w == 1 && h == 1 && d == 1) {
            break;
        }
    }
    return texture;
}

// ---------------------------------------------------------------------------
// The scratch folder.

class Scratch {
public:
    Scratch() {
        std::string pattern = (fs::temp_directory_path() / "texweld-e2e-XXXXXX").string();
        if (::mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
        }
    }
    ~Scratch() {
        std::error_code ignored;
        fs::remove_all(path_, ignored);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    const std::string& Path() const { return path_; }
    std::string At(const std::string& name) const { return path_ + "/" + name; }

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

    // Every entry below the folder, by relative name; folders end in "/".
    std::set<std::string> Listing() const {
        std::set<std::string> names;
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(path_, error); !error && it != fs::end(it);
             it.increment(error)) {
            // Lexically: fs::relative would list a link under its target's name.
            std::string name = it->path().lexically_relative(path_).string();
            if (it->is_directory() && !it->is_symlink()) {
                name += "/";
            }
            names.insert(name);
        }
        return names;
    }

    // Writes `texture` split as the kit splits it, under `base`.
    void PutSplit(const std::string& base, const Texture& texture) const {
        fs::create_directories(fs::path(At(base)).parent_path());
        ASSERT_TRUE(samplekit::WriteChunks(At(base), samplekit::SplitTexture(texture.preamble, texture.levels)));
    }

    // Writes the chunks a header with `mipCount` levels asks for: one
    // numbered chunk per level but the three smallest counted (the count
    // less 3, taken in 32 bits and read as a signed value), largest in the
    // highest number, and the rest of the levels after the preamble.
    void PutSplitByCount(const std::string& base, const Texture& texture, std::uint32_t mipCount) const {
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
    }

private:
    std::string path_;
};

// ---------------------------------------------------------------------------
// One run of the program and what it changed.

struct Outcome {
    RunResult run;
    std::string line;                // the one line printed, without "\n"
    std::set<std::string> added;     // entries that appeared in the folder
    std::set<std::string> removed;   // entries that vanished from it
};

// The single line a run printed; flags any other output or exit status.
std::string OneLine(const RunResult& run) {
    EXPECT_TRUE(run.started && !run.timedOut) << run.Describe();
    EXPECT_EQ(run.exitCode, 0) << run.Describe();
    EXPECT_EQ(run.err, "") << run.Describe();
    std::string line = run.out;
    const auto feeds = std::count(line.begin(), line.end(), '\n');
    EXPECT_TRUE(feeds == 1 && line.back() == '\n') << "not exactly one line\n" << run.Describe();
    if (!line.empty() && line.back() == '\n') {
        line.pop_back();
        // A console runtime elsewhere may end its lines in "\r\n".
        if (texweld_e2e::RunsUnderEmulator() && !line.empty() && line.back() == '\r') {
            line.pop_back();
        }
    }
    return line;
}

std::set<std::string> Minus(const std::set<std::string>& a, const std::set<std::string>& b) {
    std::set<std::string> rest;
    std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(rest, rest.end()));
    return rest;
}

using Names = std::set<std::string>;

class TexweldE2e : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(dir.Path().empty()) << "no scratch folder"; }

    Outcome Run(const std::vector<std::string>& arguments, RunOptions options = {}) {
        options.workingDirectory = dir.Path();
        const std::set<std::string> before = dir.Listing();
        Outcome outcome;
        outcome.run = texweld_e2e::RunTexweld(arguments, options);
        outcome.line = OneLine(outcome.run);
        const std::set<std::string> after = dir.Listing();
        outcome.added = Minus(after, before);
        outcome.removed = Minus(before, after);
        return outcome;
    }

    Scratch dir;
};

// ---------------------------------------------------------------------------
// Command line and naming.

using TexweldCommandLine = TexweldE2e;

TEST_F(TexweldCommandLine, PrintsUsageWithoutArguments) {
    const Outcome outcome = Run({});
    EXPECT_EQ(outcome.line, kUsage);
    EXPECT_EQ(outcome.added, Names{});
}

TEST_F(TexweldCommandLine, PrintsUsageForAnArgumentVectorWithoutEntries) {
    SKIP_UNDER_EMULATOR();
    RunOptions options;
    options.workingDirectory = dir.Path();
    const RunResult run = texweld_e2e::RunTexweldWithEmptyArgv(options);
    EXPECT_EQ(OneLine(run), kUsage);
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

// Table rows show as their label where a test's parameter is printed.
void PrintTo(const NamingCase& c, std::ostream* out) {
    *out << c.label;
}

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
    if (c.output.empty()) {
        EXPECT_EQ(outcome.added, Names{});
    } else {
        EXPECT_EQ(outcome.added, Names{c.output});
        EXPECT_TRUE(SameBytes(dir.Get(c.output), texture.Joined()));
    }
}

const std::string kLongFolder(200, 'f');
const std::string kLongBase = kLongFolder + "/" + std::string(120, 'g') + ".dds";
const std::string kLongName(300, 'x');

INSTANTIATE_TEST_SUITE_P(
    Names, TexweldNaming,
    ::testing::Values(
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
        NamingCase{"OutputNamedWithoutSuffix", "stone.dds", {"stone.dds", "out.dds"}, Unsplit("stone.dds"),
                   "out.dds"},
        NamingCase{"ThirdArgumentIgnored", "stone.dds", {"stone.dds.0", "out.dds", "extra.dds"},
                   Unsplit("stone.dds"), "out.dds"},
        NamingCase{"PercentSignsInOutput", "stone.dds", {"stone.dds.0", "50%d%s%n.dds"}, Unsplit("stone.dds"),
                   "50%d%s%n.dds"},
        NamingCase{"OverlongMissingName", "", {kLongName + ".dds.0"}, NotFound(kLongName + ".dds"), ""},
        NamingCase{"LongPathBeyondInlineRoom", kLongBase, {kLongBase + ".0"}, Unsplit(kLongBase), kLongBase,
                   true}),
    [](const ::testing::TestParamInfo<NamingCase>& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Every failure line, each from the check that should catch it. A failed run
// creates nothing and leaves an existing output exactly as it was.

struct FailureCase {
    const char* label;
    std::function<void(const Scratch&)> build;  // writes the "tex.dds" chunks
    std::string line;
};

void PrintTo(const FailureCase& c, std::ostream* out) {
    *out << c.label;
}

class TexweldFailures : public TexweldE2e, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TexweldFailures, PrintLineAndLeaveOutputAlone) {
    const FailureCase& c = GetParam();
    c.build(dir);
    if (HasFatalFailure()) {
        return;
    }

    const Outcome alone = Run({"tex.dds.0"});
    EXPECT_EQ(alone.line, c.line);
    EXPECT_EQ(alone.added, Names{});
    EXPECT_EQ(alone.removed, Names{});

    const Bytes previous = ToBytes("an output from an earlier run\n");
    dir.Put("out.dds", previous);
    const Outcome replacing = Run({"tex.dds.0", "out.dds"});
    EXPECT_EQ(replacing.line, c.line);
    EXPECT_EQ(replacing.added, Names{});
    EXPECT_EQ(replacing.removed, Names{});
    EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous));
}

// Builders for the cases below.

void PutRock(const Scratch& dir) {
    dir.PutSplit("tex.dds", RockTexture());
}

// The rock split with one chunk changed by `edit`.
std::function<void(const Scratch&)> RockWith(const std::string& chunk, std::function<void(Bytes&)> edit) {
    return [chunk, edit](const Scratch& dir) {
        PutRock(dir);
        Bytes content = dir.Get(chunk);
        edit(content);
        dir.Put(chunk, content);
    };
}

// Only a first chunk holding `content`.
std::function<void(const Scratch&)> FirstChunk(Bytes content) {
    return [content](const Scratch& dir) { dir.Put("tex.dds.0", content); };
}

HeaderFields Fields(SampleFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t mipCount) {
    return samplekit::SampleHeaderFields(format, width, height, mipCount);
}

HeaderFields WithDepth(HeaderFields fields, std::uint32_t depth) {
    fields.depth = depth;
    return fields;
}

HeaderFields Luminance8(std::uint32_t width, std::uint32_t height) {
    HeaderFields fields;
    fields.width = width;
    fields.height = height;
    fields.mipCount = 1;
    fields.pixelFlags = 0x20000;
    fields.rgbBitCount = 8;
    fields.redMask = 0xFF;
    return fields;
}

// The chunks of a DXT1 header: numbered chunks from `firstNumber` (level 0)
// down to `lastNumber`, each marked and sized as its level, and a first chunk
// of the preamble and `smallBytes` more bytes. Unlike a real chain, the
// levels go on past 1x1: this is how a header whose count runs past the
// smallest level reads.
std::function<void(const Scratch&)> LevelByLevel(HeaderFields fields, int firstNumber, int lastNumber,
                                                 std::uint32_t smallBytes) {
    return [=](const Scratch& dir) {
        for (int number = firstNumber; number >= lastNumber; --number) {
            const auto level = static_cast<std::uint32_t>(firstNumber - number);
            const std::uint64_t size =
                samplekit::ElementLevelBytes(true, 8, samplekit::DimensionAtLevel(fields.width, level),
                                             samplekit::DimensionAtLevel(fields.height, level), 1);
            dir.Put("tex.dds." + std::to_string(number), MarkedLevel(size, level));
        }
        dir.Put("tex.dds.0", Concat(samplekit::MakePreamble(fields), Bytes(smallBytes, 0x5A)));
    };
}

// A first chunk of 4 GiB and a bit: its size does not fit in 32 bits. The
// file is sparse, so it takes no room on disk.
void PutFourGiBFirstChunk(const Scratch& dir) {
    dir.Put("tex.dds.0", RockTexture().preamble);
    ASSERT_EQ(::truncate(dir.At("tex.dds.0").c_str(), (off_t{1} << 32) + 152), 0);
}

Bytes PreambleWithMagic(const char* magic) {
    Bytes preamble = RockTexture().preamble;
    std::copy(magic, magic + 4, preamble.begin());
    return preamble;
}

HeaderFields UnknownFourCC() {
    HeaderFields fields = Fields(SampleFormat::Dxt1, 64, 64, 1);
    fields.fourCC = samplekit::FourCC('D', 'X', 'T', '9');
    return fields;
}

INSTANTIATE_TEST_SUITE_P(
    Messages, TexweldFailures,
    ::testing::Values(
        FailureCase{"FirstChunkMissing", [](const Scratch&) {}, NotFound("tex.dds")},
        FailureCase{"FirstChunkIsAFolder", [](const Scratch& dir) { dir.MakeFolder("tex.dds.0"); },
                    NotFound("tex.dds")},
        FailureCase{"FirstChunkOf4GiB", PutFourGiBFirstChunk, kFirstChunkUnreadable},
        FailureCase{"FirstChunkEmpty", FirstChunk({}), kTooSmall},
        FailureCase{"FirstChunkOneByteShortOfAPreamble",
                    FirstChunk(Bytes(RockTexture().preamble.begin(), RockTexture().preamble.end() - 1)), kTooSmall},
        FailureCase{"MagicInLowerCase", FirstChunk(Concat(PreambleWithMagic("dds "), Bytes(24))), kBadSignature},
        FailureCase{"MagicByteSwapped", FirstChunk(Concat(PreambleWithMagic(" SDD"), Bytes(24))), kBadSignature},
        FailureCase{"UnknownFourCC", FirstChunk(Concat(samplekit::MakePreamble(UnknownFourCC()), Bytes(512))),
                    kUnknownFormat},
        FailureCase{"EmptyPixelFormat", FirstChunk(samplekit::MakePreamble(HeaderFields{})), kUnknownFormat},
        FailureCase{"SizeBeyond32Bits",
                    FirstChunk(samplekit::MakePreamble(Fields(SampleFormat::Argb32, 65536, 65536, 1))),
                    kNoOutputBuffer},
        FailureCase{"SizeWrappingToZero",
                    FirstChunk(samplekit::MakePreamble(Fields(SampleFormat::Argb32, 65536, 16384, 1))),
                    kNoOutputBuffer},
        FailureCase{"SizeWithPreambleBeyond32Bits", FirstChunk(samplekit::MakePreamble(Luminance8(0x7FFFFFFF, 2))),
                    kNoOutputBuffer},
        FailureCase{"NegativeWidth",
                    FirstChunk(samplekit::MakePreamble(Fields(SampleFormat::Dxt1, 0x80000000u, 4, 1))),
                    kNoOutputBuffer},
        FailureCase{"NegativeHeight",
                    FirstChunk(samplekit::MakePreamble(Fields(SampleFormat::Dxt1, 4, 0xFFFFFFF0u, 1))),
                    kNoOutputBuffer},
        FailureCase{"NegativeDepth",
                    FirstChunk(samplekit::MakePreamble(WithDepth(Fields(SampleFormat::Dxt1, 4, 4, 1), 0xFFFFFFFFu))),
                    kNoOutputBuffer},
        FailureCase{"OversizeRefusedBeforeAnyChunkIsRead",
                    FirstChunk(samplekit::MakePreamble(Fields(SampleFormat::Argb32, 65536, 65536, 12))),
                    kNoOutputBuffer},
        FailureCase{"ChunkFourMissing",
                    [](const Scratch& dir) {
                        PutRock(dir);
                        dir.Remove("tex.dds.4");
                    },
                    ChunkUnreadable(4)},
        FailureCase{"ChunkIsAFolder",
                    [](const Scratch& dir) {
                        PutRock(dir);
                        dir.Remove("tex.dds.3");
                        dir.MakeFolder("tex.dds.3");
                    },
                    ChunkUnreadable(3)},
        FailureCase{"MipCountFarBeyondTheChunks",
                    [](const Scratch& dir) {
                        PutRock(dir);
                        dir.Put("tex.dds.0", Concat(samplekit::MakePreamble(Fields(SampleFormat::Dxt1, 256, 256,
                                                                                   0x7FFFFFFF)),
                                                    Bytes(24)));
                    },
                    ChunkUnreadable(0x7FFFFFFF - 3)},
        // Negative as a signed count, but the count less 3 is not.
        FailureCase{"MipCountJustPastTheSignedRange",
                    [](const Scratch& dir) {
                        PutRock(dir);
                        dir.Put("tex.dds.0", Concat(samplekit::MakePreamble(Fields(SampleFormat::Dxt1, 256, 256,
                                                                                   0x80000001u)),
                                                    Bytes(24)));
                    },
                    ChunkUnreadable(0x7FFFFFFE)},
        FailureCase{"ChunkOneByteLonger", RockWith("tex.dds.3", [](Bytes& b) { b.push_back(0); }),
                    ChunkSizeWrong(3)},
        FailureCase{"ChunkOneByteShorter", RockWith("tex.dds.3", [](Bytes& b) { b.pop_back(); }),
                    ChunkSizeWrong(3)},
        FailureCase{"ChunkEmpty", RockWith("tex.dds.1", [](Bytes& b) { b.clear(); }), ChunkSizeWrong(1)},
        FailureCase{"LargestChunksSwapped",
                    [](const Scratch& dir) {
                        PutRock(dir);
                        const Bytes six = dir.Get("tex.dds.6");
                        dir.Put("tex.dds.6", dir.Get("tex.dds.5"));
                        dir.Put("tex.dds.5", six);
                    },
                    ChunkSizeWrong(6)},
        // 4x4 has three levels; a count of 7 asks for four numbered chunks.
        FailureCase{"CountPastTheSmallestLevel", LevelByLevel(Fields(SampleFormat::Dxt1, 4, 4, 7), 4, 1, 0),
                    ChunkDoesntFit(1)},
        FailureCase{"SinglePixelWithFiveLevels", LevelByLevel(Fields(SampleFormat::Dxt1, 1, 1, 5), 2, 1, 0),
                    ChunkDoesntFit(1)},
        // 256x256 has nine levels: chunks 37 to 29 fill the image.
        FailureCase{"FortyLevelsOf256x256", LevelByLevel(Fields(SampleFormat::Dxt1, 256, 256, 40), 37, 28, 0),
                    ChunkDoesntFit(28)},
        FailureCase{"FirstChunkCarriesLevelsPastTheChain",
                    LevelByLevel(Fields(SampleFormat::Dxt1, 4, 4, 6), 3, 1, 24), kFirstChunkDoesntFit},
        FailureCase{"FirstChunkOneByteLonger", RockWith("tex.dds.0", [](Bytes& b) { b.push_back(0); }),
                    kFirstChunkDoesntFit},
        FailureCase{"PlainFileWithATrailingByte",
                    FirstChunk(Concat(SampleTexture(SampleFormat::Argb32, 8, 8, 1).Joined(), Bytes(1))),
                    kFirstChunkDoesntFit}),
    [](const ::testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Reassembly of well-formed textures.

struct SampleCase {
    const char* label;
    SampleFormat format;
    std::uint32_t width, height, mipCount, seed;
};

void PrintTo(const SampleCase& c, std::ostream* out) {
    *out << c.label;
}

class TexweldReassembly : public TexweldE2e, public ::testing::WithParamInterface<SampleCase> {};

TEST_P(TexweldReassembly, RebuildsTheWholeTextureByteForByte) {
    const SampleCase& c = GetParam();
    const Texture texture = SampleTexture(c.format, c.width, c.height, c.mipCount, c.seed);
    dir.PutSplit("tex.dds", texture);
    // A folder where the chunk after the last one would be: reading it fails.
    const std::uint32_t numbered = samplekit::NumberedChunkCount(c.mipCount);
    dir.MakeFolder("tex.dds." + std::to_string(numbered + 1));
    std::vector<Bytes> chunks;
    for (std::uint32_t k = 0; k <= numbered; ++k) {
        chunks.push_back(dir.Get("tex.dds." + std::to_string(k)));
    }

    const Outcome outcome = Run({"tex.dds.0"});
    EXPECT_EQ(outcome.line, Unsplit("tex.dds"));
    EXPECT_EQ(outcome.added, Names{"tex.dds"});
    EXPECT_EQ(outcome.removed, Names{});
    EXPECT_TRUE(SameBytes(dir.Get("tex.dds"), texture.Joined()));
    for (std::uint32_t k = 0; k <= numbered; ++k) {
        EXPECT_TRUE(SameBytes(dir.Get("tex.dds." + std::to_string(k)), chunks[k])) << "chunk " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Samples, TexweldReassembly,
    ::testing::Values(SampleCase{"Dxt1Square256", SampleFormat::Dxt1, 256, 256, 9, 0},
                      SampleCase{"Argb32Wide64x32", SampleFormat::Argb32, 64, 32, 7, 0},
                      SampleCase{"Argb32Strip64x1", SampleFormat::Argb32, 64, 1, 7, 2},
                      SampleCase{"Dxt5Square128", SampleFormat::Dxt5, 128, 128, 8, 3},
                      SampleCase{"Dxt5NotPowerOfTwo100x60", SampleFormat::Dxt5, 100, 60, 7, 4},
                      SampleCase{"Dxt1Tall8x1024", SampleFormat::Dxt1, 8, 1024, 11, 5},
                      SampleCase{"Dxt5ChainCutShort", SampleFormat::Dxt5, 64, 64, 5, 6},
                      SampleCase{"Dxt1FourLevelsOneChunk", SampleFormat::Dxt1, 32, 32, 4, 0},
                      SampleCase{"Dxt1ThreeLevels", SampleFormat::Dxt1, 32, 32, 3, 0},
                      SampleCase{"Dxt1TwoLevels", SampleFormat::Dxt1, 32, 32, 2, 0},
                      SampleCase{"Argb32OneLevel", SampleFormat::Argb32, 16, 16, 1, 0},
                      SampleCase{"Dxt5ZeroLevels", SampleFormat::Dxt5, 16, 16, 0, 0}),
    [](const ::testing::TestParamInfo<SampleCase>& info) { return std::string(info.param.label); });

// Formats beyond the sample ones, and volume textures: the header alone
// decides every level's size.
struct FormatCase {
    const char* label;
    HeaderFields fields;
    ElementFormat element;
};

void PrintTo(const FormatCase& c, std::ostream* out) {
    *out << c.label;
}

HeaderFields Shape(std::uint32_t width, std::uint32_t height, std::uint32_t depth, std::uint32_t mipCount) {
    HeaderFields fields;
    fields.width = width;
    fields.height = height;
    fields.depth = depth;
    fields.mipCount = mipCount;
    return fields;
}

HeaderFields WithFourCC(HeaderFields fields, std::uint32_t fourCC) {
    fields.pixelFlags = 0x4;
    fields.fourCC = fourCC;
    return fields;
}

HeaderFields WithPixels(HeaderFields fields, std::uint32_t pixelFlags, std::uint32_t bits, std::uint32_t r,
                        std::uint32_t g, std::uint32_t b, std::uint32_t a) {
    fields.pixelFlags = pixelFlags;
    fields.rgbBitCount = bits;
    fields.redMask = r;
    fields.greenMask = g;
    fields.blueMask = b;
    fields.alphaMask = a;
    return fields;
}

class TexweldFormats : public TexweldE2e, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(TexweldFormats, SizesEveryLevelFromTheHeader) {
    const FormatCase& c = GetParam();
    const Texture texture = MarkedTexture(c.fields, c.element);
    dir.PutSplitByCount("tex.dds", texture, c.fields.mipCount);

    const Outcome outcome = Run({"tex.dds.0", "out.dds"});
    EXPECT_EQ(outcome.line, Unsplit("tex.dds"));
    EXPECT_EQ(outcome.added, Names{"out.dds"});
    EXPECT_TRUE(SameBytes(dir.Get("out.dds"), texture.Joined()));
}

const HeaderFields k20x12 = Shape(20, 12, 0, 5);  // 20x12, 10x6, 5x3, 2x1, 1x1

INSTANTIATE_TEST_SUITE_P(
    Headers, TexweldFormats,
    ::testing::Values(
        FormatCase{"Dxt2", WithFourCC(k20x12, samplekit::FourCC('D', 'X', 'T', '2')), {true, 16}},
        FormatCase{"Dxt3", WithFourCC(k20x12, samplekit::FourCC('D', 'X', 'T', '3')), {true, 16}},
        FormatCase{"Dxt4", WithFourCC(k20x12, samplekit::FourCC('D', 'X', 'T', '4')), {true, 16}},
        FormatCase{"Ati2", WithFourCC(k20x12, samplekit::FourCC('A', 'T', 'I', '2')), {true, 16}},
        FormatCase{"Ctx1", WithFourCC(k20x12, samplekit::FourCC('C', 'T', 'X', '1')), {true, 8}},
        FormatCase{"R32F", WithFourCC(k20x12, 114), {false, 4}},
        FormatCase{"G16R16F", WithFourCC(k20x12, 112), {false, 4}},
        FormatCase{"A16B16G16R16F", WithFourCC(k20x12, 113), {false, 8}},
        FormatCase{"V16U16", WithPixels(k20x12, 0x80000, 32, 0x0000FFFF, 0xFFFF0000, 0, 0), {false, 4}},
        FormatCase{"Argb32MasksSwapped", WithPixels(k20x12, 0x41, 32, 0xFF, 0xFF00, 0xFF0000, 0xFF000000),
                   {false, 4}},
        FormatCase{"Argb16", WithPixels(k20x12, 0x41, 16, 0x0F00, 0x00F0, 0x000F, 0xF000), {false, 2}},
        FormatCase{"Rgb24", WithPixels(k20x12, 0x40, 24, 0xFF0000, 0xFF00, 0xFF, 0), {false, 3}},
        FormatCase{"Xrgb32", WithPixels(k20x12, 0x40, 32, 0xFF0000, 0xFF00, 0xFF, 0), {false, 4}},
        FormatCase{"Luminance8", WithPixels(k20x12, 0x20000, 8, 0xFF, 0, 0, 0), {false, 1}},
        FormatCase{"Alpha8", WithPixels(k20x12, 0x2, 8, 0, 0, 0, 0xFF), {false, 1}},
        // 8x8x4, 4x4x2, 2x2x1, 1x1x1.
        FormatCase{"Dxt1Volume",
                   WithFourCC(Shape(8, 8, 4, 4), samplekit::FourCC('D', 'X', 'T', '1')),
                   {true, 8}},
        // The chain ends at 1x1x1 after four levels; the fifth counted is
        // nowhere, and the first chunk carries two levels, not three.
        FormatCase{"Argb32VolumeCountPastTheChain",
                   WithPixels(Shape(4, 4, 8, 5), 0x41, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000),
                   {false, 4}},
        FormatCase{"Dxt1CountPastTheChain", WithFourCC(Shape(16, 16, 0, 7), samplekit::FourCC('D', 'X', 'T', '1')),
                   {true, 8}},
        FormatCase{"Dxt1NegativeCountIsOneLevel",
                   WithFourCC(Shape(16, 16, 0, 0xFFFFFFFFu), samplekit::FourCC('D', 'X', 'T', '1')),
                   {true, 8}},
        // The count less 3 is negative as a signed value: no numbered chunk.
        FormatCase{"Dxt1CountWithNegativeDifference",
                   WithFourCC(Shape(16, 16, 0, 0x80000003u), samplekit::FourCC('D', 'X', 'T', '1')),
                   {true, 8}},
        FormatCase{"Dxt1ZeroWidthIsOnePixel",
                   WithFourCC(Shape(0, 16, 0, 4), samplekit::FourCC('D', 'X', 'T', '1')),
                   {true, 8}}),
    [](const ::testing::TestParamInfo<FormatCase>& info) { return std::string(info.param.label); });

TEST_F(TexweldE2e, Reassembles256x256Dxt1IntoItsDocumentedSizes) {
    dir.PutSplit("rock.dds", RockTexture());
    const std::vector<std::uintmax_t> chunkSizes = {152, 32, 128, 512, 2048, 8192, 32768};
    for (std::size_t k = 0; k < chunkSizes.size(); ++k) {
        EXPECT_EQ(fs::file_size(dir.At("rock.dds." + std::to_string(k))), chunkSizes[k]) << "chunk " << k;
    }
    const Outcome outcome = Run({"rock.dds.0"});
    EXPECT_EQ(outcome.line, Unsplit("rock.dds"));
    EXPECT_EQ(fs::file_size(dir.At("rock.dds")), 128u + 43704u);
    EXPECT_TRUE(SameBytes(dir.Get("rock.dds"), RockTexture().Joined()));
}

TEST_F(TexweldE2e, LevelsLandLargestFirst) {
    const HeaderFields fields = WithPixels(Shape(32, 32, 0, 6), 0x41, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000);
    const Texture texture = MarkedTexture(fields, {false, 4});
    ASSERT_EQ(texture.levels.size(), 6u);
    dir.PutSplitByCount("tex.dds", texture, 6);

    EXPECT_EQ(Run({"tex.dds.0"}).line, Unsplit("tex.dds"));
    const Bytes output = dir.Get("tex.dds");
    std::size_t offset = 128;
    for (std::uint32_t level = 0; level < 6; ++level) {
        const std::size_t side = std::size_t{32} >> level;
        const std::size_t size = side * side * 4;
        ASSERT_LE(offset + size, output.size());
        EXPECT_TRUE(SameBytes(Bytes(output.begin() + static_cast<std::ptrdiff_t>(offset),
                                    output.begin() + static_cast<std::ptrdiff_t>(offset + size)),
                              MarkedLevel(size, level)))
            << "level " << level << " at offset " << offset;
        offset += size;
    }
    EXPECT_EQ(offset, output.size());
}

TEST_F(TexweldE2e, FirstChunkOfOnlyThePreambleLeavesZerosForTheSmallLevels) {
    // Counts of 0 to 3 read no numbered chunk; the folder named as chunk 1
    // would fail the run if it were read.
    dir.MakeFolder("tex.dds.1");
    for (const std::uint32_t mipCount : {0u, 1u, 2u, 3u, 7u}) {
        SCOPED_TRACE("mip count " + std::to_string(mipCount));
        const Texture texture = SampleTexture(SampleFormat::Dxt1, 64, 64, mipCount);
        const std::uint32_t numbered = samplekit::NumberedChunkCount(mipCount);
        if (numbered > 0) {
            dir.Remove("tex.dds.1");
            dir.PutSplit("tex.dds", texture);
        }
        dir.Put("tex.dds.0", texture.preamble);
        // An earlier, longer output full of other bytes.
        dir.Put("tex.dds", Bytes(50000, 0xEE));

        EXPECT_EQ(Run({"tex.dds.0"}).line, Unsplit("tex.dds"));
        Texture expected = texture;
        for (std::size_t level = numbered; level < expected.levels.size(); ++level) {
            std::fill(expected.levels[level].begin(), expected.levels[level].end(), 0);
        }
        EXPECT_TRUE(SameBytes(dir.Get("tex.dds"), expected.Joined()));
    }
}

TEST_F(TexweldE2e, PlainDdsFileIsCopiedThrough) {
    for (const Texture& plain : {SampleTexture(SampleFormat::Argb32, 16, 16, 1),
                                 SampleTexture(SampleFormat::Dxt5, 8, 8, 3, 1)}) {
        dir.Put("plain.dds.0", plain.Joined());
        const Outcome outcome = Run({"plain.dds.0", "copy.dds"});
        EXPECT_EQ(outcome.line, Unsplit("plain.dds"));
        EXPECT_TRUE(SameBytes(dir.Get("copy.dds"), dir.Get("plain.dds.0")));
    }
}

TEST_F(TexweldE2e, ReplacedOutputHasExactlyTheNewSize) {
    dir.PutSplit("tex.dds", RockTexture());
    for (const std::size_t previousSize : {std::size_t{100000}, std::size_t{43833}, std::size_t{10}, std::size_t{0}}) {
        SCOPED_TRACE("previous output of " + std::to_string(previousSize) + " bytes");
        dir.Put("out.dds", Bytes(previousSize, 0x77));
        const Outcome outcome = Run({"tex.dds.0", "out.dds"});
        EXPECT_EQ(outcome.line, Unsplit("tex.dds"));
        EXPECT_EQ(outcome.added, Names{});
        EXPECT_EQ(outcome.removed, Names{});
        EXPECT_TRUE(SameBytes(dir.Get("out.dds"), RockTexture().Joined()));
    }
}

// ---------------------------------------------------------------------------
// The bundled sample.

const std::string kSamplesDir = TEXWELD_SAMPLES_DIR;

TEST(TexweldBundledSample, CommittedChunksAreWhatTheKitMakes) {
    const auto chunks = samplekit::SplitTexture(RockTexture().preamble, RockTexture().levels);
    ASSERT_EQ(chunks.size(), 7u);
    std::set<std::string> expectedNames;
    for (const samplekit::Chunk& chunk : chunks) {
        expectedNames.insert("rock.dds" + chunk.suffix);
        std::ifstream in(kSamplesDir + "/rock.dds" + chunk.suffix, std::ios::binary);
        ASSERT_TRUE(in) << "samples/rock.dds" << chunk.suffix << " is missing";
        EXPECT_TRUE(SameBytes(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()),
                              chunk.content))
            << "samples/rock.dds" << chunk.suffix << " differs from what the kit makes";
    }
    std::set<std::string> committed;
    for (const auto& entry : fs::directory_iterator(kSamplesDir)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("rock.dds", 0) == 0) {
            committed.insert(name);
        }
    }
    EXPECT_EQ(committed, expectedNames);
}

TEST_F(TexweldE2e, ReassemblesTheCommittedSample) {
    for (int k = 0; k <= 6; ++k) {
        const std::string name = "rock.dds." + std::to_string(k);
        fs::copy_file(kSamplesDir + "/" + name, dir.At(name));
    }
    const Outcome outcome = Run({"rock.dds.0"});
    EXPECT_EQ(outcome.line, Unsplit("rock.dds"));
    EXPECT_EQ(outcome.added, Names{"rock.dds"});
    EXPECT_TRUE(SameBytes(dir.Get("rock.dds"), RockTexture().Joined()));
}

// ---------------------------------------------------------------------------
// The output file: replaced whole or not at all.

class TexweldOutput : public TexweldE2e {
protected:
    void SetUp() override {
        TexweldE2e::SetUp();
        dir.PutSplit("tex.dds", RockTexture());
    }
    const Bytes previous_ = ToBytes("an output from an earlier run\n");
};

TEST_F(TexweldOutput, WritesIntoASubfolderLeavingNothingElse) {
    dir.MakeFolder("sub");
    const Outcome outcome = Run({"tex.dds.0", "sub/out.dds"});
    EXPECT_EQ(outcome.line, Unsplit("tex.dds"));
    EXPECT_EQ(outcome.added, Names{"sub/out.dds"});
    EXPECT_TRUE(SameBytes(dir.Get("sub/out.dds"), RockTexture().Joined()));
}

struct UnopenableCase {
    const char* label;
    std::string output;
    std::function<void(const Scratch&)> build;
};

void PrintTo(const UnopenableCase& c, std::ostream* out) {
    *out << c.label;
}

class TexweldUnopenableOutput : public TexweldOutput, public ::testing::WithParamInterface<UnopenableCase> {};

TEST_P(TexweldUnopenableOutput, IsReportedAndNothingChanges) {
    const UnopenableCase& c = GetParam();
    c.build(dir);
    const Outcome outcome = Run({"tex.dds.0", c.output});
    EXPECT_EQ(outcome.line, CannotOpen(c.output));
    EXPECT_EQ(outcome.added, Names{});
    EXPECT_EQ(outcome.removed, Names{});
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, TexweldUnopenableOutput,
    ::testing::Values(
        UnopenableCase{"Folder", "out.dds", [](const Scratch& dir) { dir.MakeFolder("out.dds"); }},
        UnopenableCase{"FolderWithContents", "out.dds",
                       [](const Scratch& dir) { dir.Put("out.dds/inside", ToBytes("kept")); }},
        UnopenableCase{"InMissingFolder", "missing/out.dds", [](const Scratch&) {}},
        UnopenableCase{"InMissingFolderWithPercents", "no%n%s/out%d.dds", [](const Scratch&) {}},
        UnopenableCase{"EmptyName", "", [](const Scratch&) {}}),
    [](const ::testing::TestParamInfo<UnopenableCase>& info) { return std::string(info.param.label); });

TEST_F(TexweldOutput, ReadOnlyOutputIsNotReplaced) {
    SKIP_UNDER_EMULATOR();
    if (::geteuid() == 0) {
        GTEST_SKIP() << "root may write any file";
    }
    dir.Put("out.dds", previous_);
    ASSERT_EQ(::chmod(dir.At("out.dds").c_str(), 0444), 0);
    const Outcome outcome = Run({"tex.dds.0", "out.dds"});
    EXPECT_EQ(outcome.line, CannotOpen("out.dds"));
    EXPECT_EQ(outcome.added, Names{});
    EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));
}

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

mode_t CurrentUmask() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return mask;
}

TEST_F(TexweldOutput, ReplacementKeepsThePermissionBits) {
    SKIP_UNDER_EMULATOR();
    for (const mode_t mode : {mode_t{0604}, mode_t{0751}, mode_t{0600}}) {
        dir.Put("out.dds", previous_);
        ASSERT_EQ(::chmod(dir.At("out.dds").c_str(), mode), 0);
        EXPECT_EQ(Run({"tex.dds.0", "out.dds"}).line, Unsplit("tex.dds"));
        EXPECT_TRUE(SameBytes(dir.Get("out.dds"), RockTexture().Joined()));
        struct stat info {};
        ASSERT_EQ(::stat(dir.At("out.dds").c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, mode);
    }
    // A new output gets what the process's umask leaves of rw-rw-rw-.
    EXPECT_EQ(Run({"tex.dds.0", "new.dds"}).line, Unsplit("tex.dds"));
    struct stat info {};
    ASSERT_EQ(::stat(dir.At("new.dds").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0666 & ~CurrentUmask());
}

TEST_F(TexweldOutput, LinkIsWrittenThroughInPlace) {
    SKIP_UNDER_EMULATOR();
    dir.Put("target.dds", Bytes(100000, 0x33));
    ASSERT_EQ(::symlink("target.dds", dir.At("out.dds").c_str()), 0);
    const Outcome outcome = Run({"tex.dds.0", "out.dds"});
    EXPECT_EQ(outcome.line, Unsplit("tex.dds"));
    EXPECT_EQ(outcome.added, Names{});
    EXPECT_TRUE(fs::is_symlink(dir.At("out.dds")));
    EXPECT_TRUE(SameBytes(dir.Get("target.dds"), RockTexture().Joined()));
}

struct DeviceCase {
    const char* label;
    std::string device;
    std::string line;
};

void PrintTo(const DeviceCase& c, std::ostream* out) {
    *out << c.label;
}

class TexweldDeviceOutput : public TexweldOutput, public ::testing::WithParamInterface<DeviceCase> {};

TEST_P(TexweldDeviceOutput, IsWrittenInPlace) {
    SKIP_UNDER_EMULATOR();
    const DeviceCase& c = GetParam();
    struct stat real {};
    ASSERT_EQ(::stat(c.device.c_str(), &real), 0);
    ASSERT_TRUE(S_ISCHR(real.st_mode)) << c.device << " is not a device here";

    // Run as root, a program that replaced devices like files would rename
    // a regular file over the system's own device. Let it first write to a
    // copy of the device node in the scratch folder, and go on to the real
    // one only when it left the copy alone.
    if (::geteuid() == 0) {
        if (::mknod(dir.At("device").c_str(), S_IFCHR | 0666, real.st_rdev) != 0) {
            GTEST_SKIP() << "cannot make a copy of " << c.device << " to try first";
        }
        const Outcome tried = Run({"tex.dds.0", "device"});
        struct stat copy {};
        ASSERT_EQ(::lstat(dir.At("device").c_str(), &copy), 0);
        ASSERT_TRUE(S_ISCHR(copy.st_mode)) << "a device node was replaced; " << c.device << " is not tried";
        ASSERT_EQ(tried.line, c.line);
        ASSERT_EQ(tried.added, Names{});
    }

    const Outcome outcome = Run({"tex.dds.0", c.device});
    EXPECT_EQ(outcome.line, c.line);
    EXPECT_EQ(outcome.added, Names{});
    struct stat after {};
    ASSERT_EQ(::lstat(c.device.c_str(), &after), 0);
    EXPECT_TRUE(S_ISCHR(after.st_mode) && after.st_rdev == real.st_rdev) << c.device << " was replaced";
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(c.device).parent_path(), error)) {
        EXPECT_NE(entry.path().filename().string().rfind(".texweld-", 0), 0u) << entry.path();
    }
}

INSTANTIATE_TEST_SUITE_P(Devices, TexweldDeviceOutput,
                         ::testing::Values(DeviceCase{"Null", "/dev/null", Unsplit("tex.dds")},
                                           DeviceCase{"Full", "/dev/full", kWriteFailed}),
                         [](const ::testing::TestParamInfo<DeviceCase>& info) {
                             return std::string(info.param.label);
                         });

TEST_F(TexweldOutput, PipeWithAReaderIsWrittenInPlace) {
    SKIP_UNDER_EMULATOR();
    // Small enough for the pipe's buffer: the program never waits on us.
    const Texture texture = SampleTexture(SampleFormat::Dxt1, 16, 16, 5);
    dir.PutSplit("small.dds", texture);
    ASSERT_EQ(::mkfifo(dir.At("pipe.dds").c_str(), 0644), 0);
    const int reader = ::open(dir.At("pipe.dds").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);

    const Outcome outcome = Run({"small.dds.0", "pipe.dds"});
    EXPECT_EQ(outcome.line, Unsplit("small.dds"));
    EXPECT_EQ(outcome.added, Names{});
    Bytes received;
    std::uint8_t chunk[4096];
    for (ssize_t got; (got = ::read(reader, chunk, sizeof chunk)) > 0;) {
        received.insert(received.end(), chunk, chunk + got);
    }
    ::close(reader);
    EXPECT_TRUE(SameBytes(received, texture.Joined()));
    EXPECT_TRUE(fs::is_fifo(dir.At("pipe.dds")));
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
    EXPECT_LT(children.ru_maxrss, 256 * 1024) << "peak resident kilobytes of the run";
}

TEST_F(TexweldOutput, PipeWithoutAReaderIsRefusedWithoutWaiting) {
    SKIP_UNDER_EMULATOR();
    const Texture texture = SampleTexture(SampleFormat::Dxt1, 16, 16, 5);
    dir.PutSplit("small.dds", texture);
    ASSERT_EQ(::mkfifo(dir.At("pipe.dds").c_str(), 0644), 0);

    RunOptions options;
    options.timeoutMilliseconds = 5000;
    const Outcome outcome = Run({"small.dds.0", "pipe.dds"}, options);
    EXPECT_EQ(outcome.line, CannotOpen("pipe.dds"));
    EXPECT_EQ(outcome.added, Names{});
    EXPECT_TRUE(fs::is_fifo(dir.At("pipe.dds")));
}

TEST_F(TexweldOutput, TakenTemporaryNameIsLeftAlone) {
    SKIP_UNDER_EMULATOR();
    RunOptions options;
    // In the child, whose pid the program keeps: take the first name the
    // program would try for its temporary file.
    options.beforeExec = [] {
        char name[64] = ".texweld-";
        char digits[24];
        int count = 0;
        for (auto pid = static_cast<unsigned long>(::getpid()); pid != 0 || count == 0; pid /= 10) {
            digits[count++] = static_cast<char>('0' + pid % 10);
        }
        std::size_t at = 9;
        while (count > 0) {
            name[at++] = digits[--count];
        }
        for (const char c : std::string_view("-0.tmp")) {
            name[at++] = c;
        }
        name[at] = '\0';
        const int fd = ::open(name, O_WRONLY | O_CREAT | O_EXCL, 0644);
        if (fd >= 0) {
            const ssize_t ignored = ::write(fd, "busy", 4);
            (void)ignored;
            ::close(fd);
        }
    };
    const Outcome outcome = Run({"tex.dds.0", "out.dds"}, options);
    EXPECT_EQ(outcome.line, Unsplit("tex.dds"));
    EXPECT_TRUE(SameBytes(dir.Get("out.dds"), RockTexture().Joined()));
    ASSERT_EQ(outcome.added.size(), 2u);
    EXPECT_EQ(outcome.added.count("out.dds"), 1u);
    const std::string taken = *outcome.added.begin();
    EXPECT_EQ(taken.rfind(".texweld-", 0), 0u) << taken;
    EXPECT_TRUE(SameBytes(dir.Get(taken), ToBytes("busy")));
}

struct LimitCase {
    const char* label;
    bool existingOutput;
    bool childIgnoresSignal;  // else the program must ignore it itself
};

void PrintTo(const LimitCase& c, std::ostream* out) {
    *out << c.label;
}

class TexweldWriteLimit : public TexweldOutput, public ::testing::WithParamInterface<LimitCase> {};

TEST_P(TexweldWriteLimit, WriteCutShortIsReportedAndUndone) {
    SKIP_UNDER_EMULATOR();
    const LimitCase& c = GetParam();
    if (c.existingOutput) {
        dir.Put("out.dds", previous_);
    }
    RunOptions options;
    options.fileSizeLimit = 4096;  // the image is 43832 bytes
    options.ignoreFileSizeSignal = c.childIgnoresSignal;
    const Outcome outcome = Run({"tex.dds.0", "out.dds"}, options);
    EXPECT_EQ(outcome.line, kWriteFailed);
    EXPECT_EQ(outcome.added, Names{});
    EXPECT_EQ(outcome.removed, Names{});
    if (c.existingOutput) {
        EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Limits, TexweldWriteLimit,
    ::testing::Values(LimitCase{"NewOutput", false, true}, LimitCase{"ExistingOutput", true, true},
                      LimitCase{"NewOutputSignalAtDefault", false, false},
                      LimitCase{"ExistingOutputSignalAtDefault", true, false}),
    [](const ::testing::TestParamInfo<LimitCase>& info) { return std::string(info.param.label); });

// ---------------------------------------------------------------------------
// Files the program may not read, a folder it may not write, and inputs that
// are not regular files. Run as root, the program runs as "nobody", so that
// the permission bits hold for it too.

struct AccessCase {
    const char* label;
    std::function<void(const Scratch&)> build;  // changes the rock split
    std::string line;
};

void PrintTo(const AccessCase& c, std::ostream* out) {
    *out << c.label;
}

class TexweldInaccessibleInput : public TexweldOutput, public ::testing::WithParamInterface<AccessCase> {};

TEST_P(TexweldInaccessibleInput, IsReportedAndNothingChanges) {
    SKIP_UNDER_EMULATOR();
    const AccessCase& c = GetParam();
    dir.Put("out.dds", previous_);
    // Writable for whoever runs the program: only the case decides what fails.
    ASSERT_EQ(::chmod(dir.At("out.dds").c_str(), 0666), 0);
    RunOptions options;
    if (::geteuid() == 0) {
        constexpr uid_t kNobody = 65534;
        ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
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
    const Outcome outcome = Run({"tex.dds.0", "out.dds"}, options);
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_EQ(outcome.line, c.line);
    EXPECT_EQ(outcome.added, Names{});
    EXPECT_EQ(outcome.removed, Names{});
    EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));
}

// Replaces chunk `name` by a symbolic link to `target`.
std::function<void(const Scratch&)> LinkedChunk(const std::string& name, const std::string& target) {
    return [name, target](const Scratch& dir) {
        dir.Remove(name);
        ASSERT_EQ(::symlink(target.c_str(), dir.At(name).c_str()), 0);
    };
}

INSTANTIATE_TEST_SUITE_P(
    Files, TexweldInaccessibleInput,
    ::testing::Values(
        AccessCase{"UnreadableChunk",
                   [](const Scratch& dir) { ASSERT_EQ(::chmod(dir.At("tex.dds.3").c_str(), 0), 0); },
                   ChunkUnreadable(3)},
        AccessCase{"UnreadableFirstChunk",
                   [](const Scratch& dir) { ASSERT_EQ(::chmod(dir.At("tex.dds.0").c_str(), 0), 0); },
                   NotFound("tex.dds")},
        AccessCase{"ReadOnlyOutput",
                   [](const Scratch& dir) { ASSERT_EQ(::chmod(dir.At("out.dds").c_str(), 0444), 0); },
                   CannotOpen("out.dds")},
        // The existing output could be written, but no temporary file can be
        // made beside it.
        AccessCase{"FolderNotWritable", [](const Scratch& dir) { ASSERT_EQ(::chmod(dir.Path().c_str(), 0555), 0); },
                   CannotOpen("out.dds")},
        AccessCase{"ChunkLinkedToNothing", LinkedChunk("tex.dds.2", "nowhere"), ChunkUnreadable(2)},
        // Devices and pipes have no size to read: opening them must not wait.
        AccessCase{"ChunkLinkedToADevice", LinkedChunk("tex.dds.1", "/dev/zero"), ChunkSizeWrong(1)},
        AccessCase{"FirstChunkIsAPipeWithoutAWriter",
                   [](const Scratch& dir) {
                       dir.Remove("tex.dds.0");
                       ASSERT_EQ(::mkfifo(dir.At("tex.dds.0").c_str(), 0644), 0);
                   },
                   kTooSmall}),
    [](const ::testing::TestParamInfo<AccessCase>& info) { return std::string(info.param.label); });

}  // namespace
