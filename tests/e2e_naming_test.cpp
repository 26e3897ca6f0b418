// End-to-end: the command line, the names derived from it, and every
// failure line from the check that should catch it.
#include "tests/support/e2e_kit.h"

namespace {

using namespace e2e;
using e2e::PrintTo;

// ---------------------------------------------------------------------------
// Command line and naming.

TEST_F(TexweldE2e, PrintsUsageForAnArgumentVectorWithoutEntries) {
    if (texweld_e2e::RunsUnderEmulator()) {
        GTEST_SKIP() << "an emulator always passes the program its own name";
    }
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
        SKIP_FOR_WINDOWS_BUILD();
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
        SKIP_FOR_WINDOWS_BUILD();
    }
    dir.PutSplit("tex.dds", RockTexture());
    dir.Put("out.dds", previous_);
    RunOptions options;
    if (c.hostOnly && ::geteuid() == 0) {
        // Reachable and writable for nobody: only the case decides what fails.
        ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
        ASSERT_EQ(::chmod(dir.At("out.dds").c_str(), 0666), 0);
        options.beforeExec = AsNobody();
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
        // A texsplit killed among its renames left the set half-changed; in
        // a folder nobody may write, the weld cannot repair it. The journal
        // is another user's, so it is not read: the line names chunk 0.
        FailureCase{"SetLeftHalfChangedInAFolderItMayNotWrite",
                    [](const Scratch& dir) {
                        dir.Put("whole.dds", SampleTexture(SampleFormat::Dxt1, 256, 256, 9, 7).Joined());
                        RunOptions options;
                        options.workingDirectory = dir.Path();
                        options.wrapper = Traced({"/usr/bin/strace", "-o", "/dev/null", "-e",
                                                  "inject=rename:signal=SIGKILL:when=2"});
                        ASSERT_EQ(texweld_e2e::RunTexsplit({"whole.dds", "tex.dds"}, options).signal, SIGKILL);
                    },
                    ChunkUnreadable(0), "out.dds", true},
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

}  // namespace

namespace {

using namespace e2e;

// A weld takes no lock. While another process holds the folder's lock for
// as long as a weld would wait, or a texsplit of another set in the folder
// is held in its commit, a weld of a missing set and one of a whole set
// answer at once; a weld of the held set waits for the commit and welds
// the new texture.
TEST_F(TexweldE2e, AWeldWaitsForNoOtherSet) {
    SKIP_FOR_WINDOWS_BUILD();
    const Texture old = SampleTexture(SampleFormat::Dxt1, 256, 256, 9, 4);
    dir.PutSplit("tex.dds", RockTexture());
    dir.PutSplit("held.dds", old);
    dir.Put("whole.dds", SampleTexture(SampleFormat::Dxt1, 256, 256, 9, 5).Joined());
    RunOptions quick = Here();
    quick.timeoutMilliseconds = 10000;
    {
        const int folder = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ASSERT_GE(folder, 0);
        ASSERT_EQ(::flock(folder, LOCK_EX), 0);
        EXPECT_EQ(OneLine(texweld_e2e::RunTexweld({"gone.dds.0"}, quick)), NotFound("gone.dds"));
        EXPECT_EQ(OneLine(texweld_e2e::RunTexweld({"tex.dds.0", "a.dds"}, quick)), Unsplit("tex.dds"));
        ::close(folder);
    }
    if (texweld_e2e::RunsUnderEmulator() || ::access("/usr/bin/strace", X_OK) != 0) {
        return;
    }
    RunOptions held = Here();
    held.wrapper = Traced({"/usr/bin/strace", "-o", "/dev/null", "-e", "trace=rename", "-e",
                           "inject=rename:delay_enter=2500000:when=3"});
    RunResult split;
    std::thread splitting([&] { split = texweld_e2e::RunTexsplit({"whole.dds", "held.dds"}, held); });
    ::usleep(800000);
    EXPECT_EQ(OneLine(texweld_e2e::RunTexweld({"tex.dds.0", "b.dds"}, quick)), Unsplit("tex.dds"));
    EXPECT_EQ(OneLine(texweld_e2e::RunTexweld({"held.dds.0", "c.dds"}, quick)), Unsplit("held.dds"));
    splitting.join();
    EXPECT_EQ(OneLineOfSplit(split, 0), Split("whole.dds", 7, "held.dds"));
    EXPECT_TRUE(SameBytes(dir.Get("c.dds"), dir.Get("whole.dds")));

    // A texsplit killed among its renames, its folder then locked as a live
    // one's would be for the whole wait (every pause returning at once): the
    // weld of its set gives up with the first chunk's line, and changes
    // nothing; a weld of another set does not wait.
    RunOptions killed = Here();
    killed.wrapper = Traced({"/usr/bin/strace", "-o", "/dev/null", "-e", "trace=rename", "-e",
                             "inject=rename:signal=SIGKILL:when=3"});
    ASSERT_EQ(texweld_e2e::RunTexsplit({"whole.dds", "tex.dds"}, killed).signal, SIGKILL);
    const int folder = ::open(dir.Path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(folder, 0);
    ASSERT_EQ(::flock(folder, LOCK_EX), 0);
    RunOptions waiting = quick;
    waiting.wrapper = Traced({"/usr/bin/strace", "-f", "--seccomp-bpf", "-o", "/dev/null", "-e",
                              "trace=nanosleep,clock_nanosleep", "-e", "inject=nanosleep,clock_nanosleep:retval=0"});
    const Names before = dir.Listing();
    EXPECT_EQ(OneLine(texweld_e2e::RunTexweld({"tex.dds.0", "d.dds"}, waiting)), kFirstChunkUnreadable);
    EXPECT_EQ(dir.Listing(), before);
    EXPECT_EQ(OneLine(texweld_e2e::RunTexweld({"held.dds.0", "e.dds"}, quick)), Unsplit("held.dds"));
    ::close(folder);
}

}  // namespace
