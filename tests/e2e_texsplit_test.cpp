// End-to-end: texsplit's failures, its commit of a whole chunk set, and
// concurrent splits into one base.
#include "tests/support/e2e_kit.h"

#include <atomic>
#include <map>

namespace {

using namespace e2e;
using e2e::PrintTo;

// Every entry under `root`, links not followed: its kind, owner and, for a
// file, its bytes.
std::map<std::string, std::string> Snapshot(const std::string& root) {
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        struct stat info {};
        ::lstat(entry.path().c_str(), &info);
        std::string what = std::to_string(info.st_mode) + "/" + std::to_string(info.st_uid) + ":";
        if (S_ISREG(info.st_mode) && info.st_size < (1 << 20)) {
            std::ifstream in(entry.path(), std::ios::binary);
            what += std::to_string(
                std::hash<std::string>{}(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())));
        }
        entries[fs::relative(entry.path(), root).string()] = what;
    }
    return entries;
}

// texsplit's runs: each prints its lines and exits with its status; the
// sets it was given textures for hold them (the rock texture, as whole.dds
// and its copies are), and nothing else in the folder changes: a failure
// leaves it exactly as it was, old chunks included.
struct SplitFailureCase {
    const char* label;
    std::function<void(const Scratch&, Bytes&)> build;  // changes the whole file or the folder
    std::vector<std::string> arguments;
    std::string line;
    bool asNobody = false;  // run as nobody (needs root to arrange, and the host's own users)
    // Every flock after the texture's own finds the lock taken, and every
    // pause returns at once: a lock held for the whole wait, without the wait.
    bool lockHeld = false;
    int status = 1;
    std::vector<std::string> sets = {};  // the bases that end up holding the rock texture
};

class TexsplitFailures : public TexweldE2e, public ::testing::WithParamInterface<SplitFailureCase> {};

TEST_P(TexsplitFailures, PrintTheirLinesAndChangeOnlyTheSetsTheyName) {
    const SplitFailureCase& c = GetParam();
    RunOptions options = Here();
    if (c.asNobody) {
        SKIP_FOR_WINDOWS_BUILD();
        if (::geteuid() != 0) {
            GTEST_SKIP() << "needs root to arrange owners";
        }
        options.beforeExec = AsNobody();
    }
    if (c.lockHeld) {
        SKIP_FOR_WINDOWS_BUILD();
        if (::access("/usr/bin/strace", X_OK) != 0) {
            GTEST_SKIP() << "needs strace to hold the lock";
        }
        options.wrapper = Traced({"/usr/bin/strace", "-o", "/dev/null", "-e", "trace=flock,nanosleep,clock_nanosleep",
                                  "-e", "inject=flock:error=EAGAIN:when=2+", "-e",
                                  "inject=nanosleep,clock_nanosleep:retval=0"});
    }
    // Old chunks of an earlier split under the same base: all must survive.
    dir.PutSplit("tex.dds", SampleTexture(SampleFormat::Dxt1, 64, 64, 7, 9));
    Bytes whole = RockTexture().Joined();
    dir.Put("whole.dds", whole);
    c.build(dir, whole);
    if (HasFatalFailure()) {
        return;
    }
    dir.Put("whole.dds", whole);
    Names after = dir.Listing();
    std::vector<Bytes> old;
    for (int k = 0; k <= 4; ++k) {
        old.push_back(dir.Get("tex.dds." + std::to_string(k)));
    }
    const std::vector<samplekit::Chunk> chunks = samplekit::SplitTexture(RockTexture().preamble, RockTexture().levels);
    for (const std::string& base : c.sets) {
        for (const samplekit::Chunk& chunk : chunks) {
            after.insert(base + chunk.suffix);
        }
    }
    const RunResult run = texweld_e2e::RunTexsplit(c.arguments, options);
    ::chmod(dir.Path().c_str(), 0700);
    EXPECT_EQ(Lines(run, 0, c.status), c.line);
    EXPECT_EQ(dir.Listing(), after);
    for (const std::string& base : c.sets) {
        for (const samplekit::Chunk& chunk : chunks) {
            EXPECT_TRUE(SameBytes(dir.Get(base + chunk.suffix), chunk.content)) << base << chunk.suffix;
        }
    }
    for (int k = 0; k <= 4 && std::find(c.sets.begin(), c.sets.end(), "tex.dds") == c.sets.end(); ++k) {
        EXPECT_TRUE(SameBytes(dir.Get("tex.dds." + std::to_string(k)), old[static_cast<std::size_t>(k)])) << k;
    }
}

const std::vector<std::string> kSplitWhole = {"whole.dds", "tex.dds"};

INSTANTIATE_TEST_SUITE_P(
    Messages, TexsplitFailures,
    ::testing::Values(
        SplitFailureCase{"NoArguments", [](const Scratch&, Bytes&) {}, {}, kSplitUsage},
        // Several textures (a glob, files dropped on the program): each is
        // split into its own set, in order, a failure told by its name; a
        // second texture is never taken for a set to replace.
        SplitFailureCase{.label = "TwoTexturesEachIntoItsOwnSet",
                         .build = [](const Scratch& dir, Bytes& b) { dir.Put("Spark Two.DDS", b); },
                         .arguments = {"whole.dds", "Spark Two.DDS"},
                         .line = Split("whole.dds", 7, "whole.dds") + "\n" + Split("Spark Two.DDS", 7, "Spark Two.DDS"),
                         .status = 0,
                         .sets = {"whole.dds", "Spark Two.DDS"}},
        SplitFailureCase{.label = "TwoTexturesOneDamaged",
                         .build =
                             [](const Scratch& dir, Bytes& b) {
                                 Bytes cut = b;
                                 cut.pop_back();
                                 dir.Put("bad.dds", cut);
                             },
                         .arguments = {"whole.dds", "bad.dds"},
                         .line = Split("whole.dds", 7, "whole.dds") + "\nbad.dds: " +
                                 Because(kSplitSizeMismatch, "the header calls for 43832 bytes, the file has 43831"),
                         .sets = {"whole.dds"}},
        SplitFailureCase{.label = "ThreeNamesOneMissing",
                         .build = [](const Scratch& dir, Bytes& b) { dir.Put("c.dds", b); },
                         .arguments = {"whole.dds", "tex.dds", "c.dds"},
                         .line = Split("whole.dds", 7, "whole.dds") + "\n" + SplitInputMissing("tex.dds") + "\n" +
                                 Split("c.dds", 7, "c.dds"),
                         .sets = {"whole.dds", "c.dds"}},
        // The second name is a set: its first chunk in any letter case, or
        // a folder to put the chunks in under the texture's name.
        SplitFailureCase{.label = "SecondNameIsTheSetsFirstChunk",
                         .build = [](const Scratch&, Bytes&) {},
                         .arguments = {"whole.dds", "tex.dds.0"},
                         .line = Split("whole.dds", 7, "tex.dds"),
                         .status = 0,
                         .sets = {"tex.dds"}},
        SplitFailureCase{.label = "SecondNameIsAFirstChunkInAnotherCase",
                         .build = [](const Scratch&, Bytes&) {},
                         .arguments = {"whole.dds", "new.DDS.0"},
                         .line = Split("whole.dds", 7, "new.DDS"),
                         .status = 0,
                         .sets = {"new.DDS"}},
        SplitFailureCase{.label = "SecondNameIsAFolder",
                         .build = [](const Scratch& dir, Bytes&) { dir.MakeFolder("mods"); },
                         .arguments = {"whole.dds", "mods"},
                         .line = Split("whole.dds", 7, texweld_e2e::RunsWindowsBuild() ? "mods\\whole.dds" : "mods/whole.dds"),
                         .status = 0,
                         .sets = {"mods/whole.dds"}},
        // A chunk given for a texture: the line says what it is.
        SplitFailureCase{"AChunkOfASet", [](const Scratch&, Bytes&) {}, {"tex.dds.3"},
                         Because(kBadSignature, ChunkOf("tex.dds.3", 3, "tex.dds"))},
        SplitFailureCase{"TheFirstChunkOfASet", [](const Scratch&, Bytes&) {}, {"tex.dds.0", "out.dds"},
                         Because(kSplitSizeMismatch, ChunkOf("tex.dds.0", 0, "tex.dds"))},
        // Slips of the command line: an option texsplit does not have.
        SplitFailureCase{"UnknownOption", [](const Scratch&, Bytes&) {}, {"whole.dds", "--dry-run"}, kSplitUsage},
        SplitFailureCase{"ShortOption", [](const Scratch&, Bytes&) {}, {"-h"}, kSplitUsage},
        SplitFailureCase{"Missing", [](const Scratch&, Bytes&) {}, {"nowhere.dds", "tex.dds"},
                         SplitInputMissing("nowhere.dds")},
        SplitFailureCase{"Truncated", [](const Scratch&, Bytes& b) { b.pop_back(); }, kSplitWhole,
                         Because(kSplitSizeMismatch, "the header calls for 43832 bytes, the file has 43831")},
        SplitFailureCase{"OneByteTooLong", [](const Scratch&, Bytes& b) { b.push_back(0); }, kSplitWhole,
                         Because(kSplitSizeMismatch, "the header calls for 43832 bytes, the file has 43833")},
        SplitFailureCase{"ShorterThanAPreamble", [](const Scratch&, Bytes& b) { b.resize(100); }, kSplitWhole,
                         Because(kTooSmall, "100 bytes, fewer than a header's 128")},
        SplitFailureCase{"NotDds", [](const Scratch&, Bytes& b) { std::memcpy(b.data(), "PNG ", 4); }, kSplitWhole,
                         kBadSignature},
        SplitFailureCase{"UnknownFormat",
                         [](const Scratch&, Bytes& b) {
                             b = samplekit::MakePreamble(WithFourCC(Shape(64, 64, 0, 1), samplekit::FourCC('D', 'X', 'T', '9')));
                         },
                         kSplitWhole, Because(kUnknownFormat, "FourCC DXT9")},
        SplitFailureCase{"ADx10Header",
                         [](const Scratch&, Bytes& b) {
                             b = samplekit::MakePreamble(WithFourCC(Shape(64, 64, 0, 1), samplekit::FourCC('D', 'X', '1', '0')));
                         },
                         kSplitWhole, Because(kUnknownFormat, "FourCC DX10 (a DX10 header)")},
        // 4x4 has three levels; a count of 7 would make chunks of levels
        // that do not exist.
        SplitFailureCase{"CountPastTheSmallestLevel",
                         [](const Scratch&, Bytes& b) {
                             b = MarkedTexture(Dxt1Shape(4, 4, 0, 7), true, 8).Joined();
                         },
                         kSplitWhole, Because(kSplitCountPastTheChain, "it counts 7, the chain has 3")},
        // Negative as a signed count, so one level to size; but texweld
        // would look for 2147483646 numbered chunks of it.
        SplitFailureCase{"CountTexweldReadsAsBillionsOfChunks",
                         [](const Scratch&, Bytes& b) {
                             b = MarkedTexture(Dxt1Shape(4, 4, 0, 0x80000001u), true, 8).Joined();
                         },
                         kSplitWhole, Because(kSplitCountPastTheChain, "it counts 2147483649, the chain has 3")},
        // All or nothing: one chunk's name is taken by a folder.
        SplitFailureCase{"OneChunkNameIsAFolder", [](const Scratch& dir, Bytes&) { dir.MakeFolder("tex.dds.5"); },
                         kSplitWhole, SplitCannotOpen("tex.dds")},
        // Bases that would name chunks by their numbers alone.
        SplitFailureCase{"EmptyBaseName", [](const Scratch&, Bytes&) {}, {"whole.dds", ""}, SplitCannotOpen("")},
        SplitFailureCase{"BaseNameIsAFolderThatIsNotThere", [](const Scratch&, Bytes&) {}, {"whole.dds", "sub/"},
                         SplitCannotOpen("sub/")},
        // Two chunk names that are one file, or a chunk that is also a
        // stale chunk to remove: the set could not come out whole.
        SplitFailureCase{"ChunkLinkedToAnotherChunk",
                         [](const Scratch& dir, Bytes&) {
                             dir.Remove("tex.dds.2");
                             ASSERT_EQ(::symlink("tex.dds.1", dir.At("tex.dds.2").c_str()), 0);
                         },
                         kSplitWhole, SplitCannotOpen("tex.dds")},
        SplitFailureCase{"ChunkLinkedToAStaleChunk",
                         [](const Scratch& dir, Bytes&) {
                             dir.Put("tex.dds.7", ToBytes("a chunk of an earlier, larger split"));
                             dir.Remove("tex.dds.3");
                             ASSERT_EQ(::symlink("tex.dds.7", dir.At("tex.dds.3").c_str()), 0);
                         },
                         kSplitWhole, SplitCannotOpen("tex.dds")},
        // A folder nobody may write but not read cannot be locked against
        // readers and other writers; a sticky one holding another user's
        // chunks does not let nobody replace them. Both refuse before
        // anything is made.
        SplitFailureCase{"WriteOnlyFolder", [](const Scratch& dir, Bytes&) { ModeOf(".", 0333)(dir); }, kSplitWhole,
                         SplitCannotOpen("tex.dds"), true},
        SplitFailureCase{"StickyFolderOfAnotherUsersChunks",
                         [](const Scratch& dir, Bytes&) {
                             for (int k = 0; k <= 4; ++k) {
                                 ModeOf("tex.dds." + std::to_string(k), 0666)(dir);
                             }
                             ModeOf(".", 01777)(dir);
                         },
                         kSplitWhole, SplitCannotOpen("tex.dds"), true},
        // Another texsplit keeps the folder for the whole wait.
        SplitFailureCase{"FolderLockedForTheWholeWait", [](const Scratch&, Bytes&) {}, kSplitWhole,
                         "Failed to open the chunks of tex.dds for writing: another texsplit kept the folder for 30 "
                         "seconds.",
                         false, true},
        // The file being split is one of the chunks it would replace.
        SplitFailureCase{"InputIsOneOfTheChunks",
                         [](const Scratch& dir, Bytes&) { dir.Put("tex.dds.2", RockTexture().Joined()); },
                         {"tex.dds.2", "tex.dds"}, SplitCannotOpen("tex.dds")}),
    ByLabel());

// Both programs' options: help and version answer with status 0 and write
// nothing (texweld's only where no set of that name exists); after "--" a
// name that begins with "-" is a file.
TEST_F(TexweldE2e, BothProgramsAnswerHelpAndVersionAndReadNamesAfterTheOptions) {
    const std::string help = kSplitUsage +
                             "\nSplits a whole DDS texture into the chunk files <base>.0 ... <base>.N that texweld "
                             "reassembles.\n";
    const std::string weldHelp = kUsage +
                                 "\nWelds the chunk files <base>.0 ... <base>.N of a split DDS texture into the file "
                                 "<base>, or into the output file named.\n";
    struct Row {
        bool weld;
        std::vector<std::string> arguments;
        std::string out;
        int status;
    };
    const bool windows = texweld_e2e::RunsWindowsBuild();
    dir.PutSplit("--version", RockTexture());
    dir.Put("--version", RockTexture().Joined());
    for (const Row& row :
         {Row{false, {"--help"}, help, 0}, Row{false, {"whole.dds", "--version"}, "texsplit " TEXWELD_VERSION "\n", 0},
          Row{false, {"/?"}, windows ? help : SplitInputMissing("/?") + "\n", windows ? 0 : 1},
          Row{true, {"--help"}, weldHelp, 0}, Row{true, {"-h"}, weldHelp, 0},
          Row{true, {"/?"}, windows ? weldHelp : NotFound("/?") + "\n", 0},
          // A set named like an option is welded (here over its own welded
          // file), as before.
          Row{true, {"--version"}, Unsplit("--version") + "\n", 0}}) {
        SCOPED_TRACE(row.arguments.front());
        const Names before = dir.Listing();
        const RunResult run = row.weld ? texweld_e2e::RunTexweld(row.arguments, Here())
                                       : texweld_e2e::RunTexsplit(row.arguments, Here());
        std::string out = run.out;
        out.erase(std::remove(out.begin(), out.end(), '\r'), out.end());
        EXPECT_EQ(out, row.out);
        EXPECT_EQ(run.exitCode, row.status);
        EXPECT_EQ(dir.Listing(), before);
    }
    dir.Put("-odd.dds", RockTexture().Joined());
    EXPECT_EQ(OneLineOfSplit(texweld_e2e::RunTexsplit({"--", "-odd.dds"}, Here()), 0), Split("-odd.dds", 7, "-odd.dds"));
    EXPECT_TRUE(SameBytes(dir.Get("-odd.dds.6"), RockTexture().levels[0]));
}

// texsplit's commit, faulted at each call that links, renames, removes,
// writes, flushes or changes ownership: whatever lands there, the chunk set
// is the old one or the new one byte for byte, the line says which, and
// nothing else is left. A run killed outright leaves that to the next run:
// a plain texweld repairs the set and welds exactly what it then holds.
// The old set has one chunk more than the new, and a stale chunk of a yet
// larger split beyond a gap (.9 without .8); the commit removes both,
// highest first. A backup that cannot be removed after success is left to
// the next run, which removes it.
TEST_F(TexweldE2e, FaultInTexsplitsCommitLeavesTheOldSetOrTheNewOne) {
    SKIP_FOR_WINDOWS_BUILD();
    if (::access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "needs strace to land faults inside the commit";
    }
    const Texture before = SampleTexture(SampleFormat::Dxt1, 512, 512, 10, 4);
    std::vector<samplekit::Chunk> oldSet = samplekit::SplitTexture(before.preamble, before.levels);
    oldSet.push_back({".9", ToBytes("a chunk of an earlier, larger split")});
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
    // last of the commit's own (seven new chunks, eight kept ones). Writes
    // are counted back from the run's last, its line, since a sanitized
    // build's runtime writes too: the journal's, and a chunk's.
    for (const samplekit::Chunk& chunk : oldSet) {
        dir.Put("tex.dds" + chunk.suffix, chunk.content);
    }
    texweld_test::TempDir logs;
    RunOptions counting = Here();
    counting.wrapper = Traced({"/usr/bin/strace", "-o", logs.File("writes"), "-e", "trace=write"});
    texweld_e2e::RunTexsplit({"whole.dds", "tex.dds"}, counting);
    std::ifstream log(logs.File("writes"));
    int writes = 0;
    for (std::string line; std::getline(log, line);) {
        writes += line.rfind("write(", 0) == 0 ? 1 : 0;
    }
    ASSERT_GT(writes, 4);
    // "N+" faults that call and every one after it: a rollback meets the
    // same failing renames and leaves the journal to the next run.
    struct Call {
        const char* name;
        std::vector<std::string> when;
    };
    const Call calls[] = {{"linkat", {"1", "4", "7"}},
                          {"link", {"1", "5", "9"}},
                          {"fchown", {"1", "7"}},
                          {"rename", {"1", "4", "7", "2+", "5+"}},
                          {"unlink", {"1", "2", "3"}},
                          {"write", {std::to_string(writes - 1), std::to_string(writes - 3)}},
                          {"fdatasync", {"1", "8"}},
                          {"fsync", {"1", "2", "3", "4", "5"}}};
    const std::string faults[] = {"signal=SIGINT", "signal=SIGTERM", "signal=SIGHUP", "signal=SIGQUIT",
                                  "error=EIO",     "error=ENOSPC",   "signal=SIGKILL"};
    for (const Call& call : calls) {
        for (const std::string& when : call.when) {
            for (const std::string& fault : faults) {
                SCOPED_TRACE(std::string(call.name) + ":" + fault + ":when=" + when);
                for (const samplekit::Chunk& chunk : oldSet) {
                    dir.Put("tex.dds" + chunk.suffix, chunk.content);
                }
                RunOptions options = Here();
                options.wrapper = Traced({"/usr/bin/strace", "-o", "/dev/null", "-e",
                                          std::string("trace=") + call.name, "-e",
                                          "inject=" + std::string(call.name) + ":" + fault + ":when=" + when});
                const RunResult run = texweld_e2e::RunTexsplit({"whole.dds", "tex.dds"}, options);
                // A run that failed, or was interrupted, cleaned up after
                // itself: its rollback, its interrupt handler. (One that
                // succeeded but could not remove its backups, or flush their
                // removal, leaves them and its done marker to the next run.)
                const bool leftToTheNext = run.exitCode == 0 && (std::string(call.name) == "fsync" ||
                                                                 std::string(call.name) == "unlink");
                if (run.signal != SIGKILL && when.back() != '+' && !leftToTheNext) {
                    EXPECT_TRUE(holds(oldSet) || holds(newSet)) << dir.Listing().size() << " entries\n"
                                                                << run.Describe();
                }
                // The next run finds the set whole, and the weld is of it.
                const std::string line = Run({"tex.dds.0", "w.dds"}).line;
                const Bytes welded = dir.Get("w.dds");
                dir.Remove("w.dds");
                EXPECT_EQ(line, Unsplit("tex.dds"));
                EXPECT_TRUE(welded == (holds(oldSet) ? before.Joined() : RockTexture().Joined()));
                const bool isOld = holds(oldSet);
                const bool isNew = holds(newSet);
                EXPECT_TRUE(isOld || isNew) << dir.Listing().size() << " entries\n" << run.Describe();
                if (run.signal != 0) {
                    EXPECT_EQ(run.out, "");
                } else if (isNew) {
                    EXPECT_EQ(OneLineOfSplit(run, 0), Split("whole.dds", 7, "tex.dds"));
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

// A texsplit killed at each of its renames, its folder then copied: a weld
// in the copy rolls the copy back alone, and the original stays as the
// kill left it until a weld of its own, from another folder, rolls it back.
TEST_F(TexweldE2e, ACopiedFolderRecoversItselfAlone) {
    SKIP_FOR_WINDOWS_BUILD();
    if (::access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "needs strace to kill the commit part-way";
    }
    const Texture before = SampleTexture(SampleFormat::Dxt1, 256, 256, 9, 4);
    for (int when = 1; when <= 7; ++when) {
        SCOPED_TRACE("killed at rename " + std::to_string(when));
        dir.Remove("orig");
        dir.Remove("copy");
        dir.PutSplit("orig/tex.dds", before);
        dir.Put("orig/whole.dds", RockTexture().Joined());
        RunOptions killed = Here();
        killed.workingDirectory = dir.At("orig");
        killed.wrapper = Traced({"/usr/bin/strace", "-o", "/dev/null", "-e", "trace=rename", "-e",
                                 "inject=rename:signal=SIGKILL:when=" + std::to_string(when)});
        ASSERT_EQ(texweld_e2e::RunTexsplit({"whole.dds", "tex.dds"}, killed).signal, SIGKILL);
        fs::copy(dir.At("orig"), dir.At("copy"), fs::copy_options::recursive);
        const auto original = Snapshot(dir.At("orig"));
        RunOptions inCopy = Here();
        inCopy.workingDirectory = dir.At("copy");
        EXPECT_EQ(OneLine(texweld_e2e::RunTexweld({"tex.dds.0", "w.dds"}, inCopy)), Unsplit("tex.dds"));
        EXPECT_TRUE(SameBytes(dir.Get("copy/w.dds"), before.Joined()));
        EXPECT_EQ(Snapshot(dir.At("orig")), original);
        EXPECT_EQ(OneLine(texweld_e2e::RunTexweld({"orig/tex.dds.0", "orig/w.dds"}, Here())), Unsplit("orig/tex.dds"));
        EXPECT_TRUE(SameBytes(dir.Get("orig/w.dds"), before.Joined()));
        for (const std::string folder : {"orig", "copy"}) {
            for (const auto& entry : fs::directory_iterator(dir.At(folder))) {
                EXPECT_NE(entry.path().filename().string()[0], '.') << entry.path();
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
            EXPECT_EQ(OneLineOfSplit(runs[i], 0), Split(i % 2 == 0 ? "a.dds" : "b.dds", 8, "s.dds"));
        }
        EXPECT_EQ(Run({"s.dds.0", "w.dds"}).line, Unsplit("s.dds"));
        const Bytes welded = dir.Get("w.dds");
        EXPECT_TRUE(welded == a.Joined() || welded == b.Joined()) << "round " << round;
        EXPECT_EQ(dir.Listing().size(), 2u + 8u + 1u) << "round " << round;
    }
}

// `options` with the `when`-th call of `call` held `microseconds` long.
RunOptions HeldAt(RunOptions options, const std::string& call, int when, int microseconds) {
    options.wrapper = Traced({"/usr/bin/strace", "-o", "/dev/null", "-e", "trace=" + call, "-e",
                              "inject=" + call + ":delay_enter=" + std::to_string(microseconds) +
                                  ":when=" + std::to_string(when)});
    return options;
}

// On FAT (through FUSE) there are no hard links, and a copy's mode cannot
// be set: backups are copies as the file system makes them, and a second
// split replaces the first set whole.
TEST_F(TexweldE2e, TexsplitReplacesASetOnAFileSystemWithoutHardLinks) {
    SKIP_FOR_WINDOWS_BUILD();
    if (::access("/usr/bin/fusefat", X_OK) != 0 || ::access("/sbin/mkfs.vfat", X_OK) != 0 ||
        ::access("/dev/fuse", R_OK | W_OK) != 0) {
        GTEST_SKIP() << "needs fusefat, mkfs.vfat and /dev/fuse";
    }
    const std::string image = dir.At("fat.img");
    const std::string mount = dir.At("fat");
    dir.MakeFolder("fat");
    const std::string make = "truncate -s 16M '" + image + "' && /sbin/mkfs.vfat '" + image + "' >/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    ASSERT_EQ(std::system(("/usr/bin/fusefat -o rw+ '" + image + "' '" + mount + "' >/dev/null").c_str()), 0);
    struct Unmount {
        std::string mount;
        ~Unmount() { std::system(("fusermount -u '" + mount + "' 2>/dev/null").c_str()); }
    } unmount{mount};
    const Texture first = SampleTexture(SampleFormat::Dxt1, 256, 256, 9, 1);
    const Texture second = SampleTexture(SampleFormat::Dxt1, 128, 128, 8, 2);
    dir.Put("fat/a.dds", first.Joined());
    dir.Put("fat/b.dds", second.Joined());
    RunOptions options = Here();
    options.workingDirectory = mount;
    EXPECT_EQ(OneLineOfSplit(texweld_e2e::RunTexsplit({"a.dds", "t.dds"}, options), 0), Split("a.dds", 7, "t.dds"));
    EXPECT_EQ(OneLineOfSplit(texweld_e2e::RunTexsplit({"b.dds", "t.dds"}, options), 0), Split("b.dds", 6, "t.dds"));
    // Without anonymous files a weld killed in its copy leaves a named one,
    // which the next weld to that output removes.
    if (::access("/usr/bin/strace", X_OK) == 0) {
        RunOptions killed = options;
        killed.wrapper = Traced({"/usr/bin/strace", "-o", "/dev/null", "-e", "inject=write:signal=SIGKILL:when=1"});
        EXPECT_EQ(texweld_e2e::RunTexweld({"t.dds.0", "w.dds"}, killed).signal, SIGKILL);
        // Two welds find that dead slot. The first is held after opening it,
        // before its lock (its 7th flock: its six chunks' come first); the
        // second removes it meanwhile and makes its own there, whose write
        // is held longer. The first must not remove the second's live slot.
        const RunOptions heldAtTheDeadSlot = HeldAt(options, "flock", 7, 1000000);
        const RunOptions writingLong = HeldAt(options, "write", 1, 2000000);
        RunResult held;
        std::thread heldRun([&] { held = texweld_e2e::RunTexweld({"t.dds.0", "w.dds"}, heldAtTheDeadSlot); });
        ::usleep(400000);
        const RunResult writing = texweld_e2e::RunTexweld({"t.dds.0", "w.dds"}, writingLong);
        heldRun.join();
        EXPECT_EQ(OneLine(held), Unsplit("t.dds"));
        EXPECT_EQ(OneLine(writing), Unsplit("t.dds"));
    }
    EXPECT_EQ(OneLine(texweld_e2e::RunTexweld({"t.dds.0", "w.dds"}, options)), Unsplit("t.dds"));
    EXPECT_TRUE(SameBytes(dir.Get("fat/w.dds"), second.Joined()));
    // Two welds to one output: the first is held between making its slot
    // and locking it, while the second, whose write is held longer, removes
    // that slot and makes its own there. The first must not publish the
    // second's unfinished file: when it ends, the output is its texture.
    if (::access("/usr/bin/strace", X_OK) == 0) {
        EXPECT_EQ(OneLineOfSplit(texweld_e2e::RunTexsplit({"a.dds", "u.dds"}, options), 0), Split("a.dds", 7, "u.dds"));
        // Its slot's lock is its 8th flock: its seven chunks' (each opened
        // for reading, others may only read) come first.
        const RunOptions heldAtItsLock = HeldAt(options, "flock", 8, 1000000);
        const RunOptions slowToWrite = HeldAt(options, "write", 1, 2000000);
        RunResult held;
        std::thread heldRun([&] { held = texweld_e2e::RunTexweld({"u.dds.0", "r.dds"}, heldAtItsLock); });
        ::usleep(400000);
        RunResult slow;
        std::thread slowRun([&] { slow = texweld_e2e::RunTexweld({"t.dds.0", "r.dds"}, slowToWrite); });
        heldRun.join();
        const Bytes published = dir.Get("fat/r.dds");
        slowRun.join();
        EXPECT_EQ(OneLine(held), Unsplit("u.dds"));
        EXPECT_TRUE(SameBytes(published, first.Joined()));
        EXPECT_EQ(OneLine(slow), Unsplit("t.dds"));
        EXPECT_TRUE(SameBytes(dir.Get("fat/r.dds"), second.Joined()));
        for (const std::string name : {"r.dds", "u.dds.0", "u.dds.1", "u.dds.2", "u.dds.3", "u.dds.4", "u.dds.5", "u.dds.6"}) {
            dir.Remove("fat/" + name);
        }
    }
    Names left;
    for (const auto& entry : fs::directory_iterator(mount)) {
        left.insert(entry.path().filename().string());
    }
    EXPECT_EQ(left, (Names{"a.dds", "b.dds", "w.dds", "t.dds.0", "t.dds.1", "t.dds.2", "t.dds.3", "t.dds.4",
                           "t.dds.5"}));
}

// texweld in a loop while texsplit splits two textures of one size into
// its base in turn: every weld is one of the two whole, or fails, however
// its opens are slowed; never a mix of the two sets.
TEST_F(TexweldE2e, WeldDuringSplitsIsOneWholeSetOrAFailure) {
    const Texture a = SampleTexture(SampleFormat::Argb32, 256, 256, 9, 5);
    const Texture b = SampleTexture(SampleFormat::Argb32, 256, 256, 9, 6);
    dir.Put("a.dds", a.Joined());
    dir.Put("b.dds", b.Joined());
    ASSERT_EQ(OneLineOfSplit(texweld_e2e::RunTexsplit({"a.dds", "s.dds"}, Here()), 0), Split("a.dds", 7, "s.dds"));
    std::atomic<bool> welding{true};
    std::thread splitter([&] {
        for (int i = 0; welding; ++i) {
            texweld_e2e::RunTexsplit({i % 2 == 0 ? "b.dds" : "a.dds", "s.dds"}, Here());
        }
    });
    const bool slow = !texweld_e2e::RunsUnderEmulator() && ::access("/usr/bin/strace", X_OK) == 0;
    int whole = 0;
    const int welds = texweld_e2e::RunsUnderEmulator() ? 12 : 60;
    for (int i = 0; i < welds; ++i) {
        RunOptions options = Here();
        if (slow && i % 3 == 0) {
            // Each open after the first waits 5 ms: a split lands between them
            // unless the weld holds the set's lock.
            options.wrapper = Traced({"/usr/bin/strace", "-f", "-o", "/dev/null", "-e", "trace=openat", "-e",
                                      "inject=openat:delay_enter=5000:when=2+"});
        }
        const RunResult run = texweld_e2e::RunTexweld({"s.dds.0", "w" + std::to_string(i) + ".dds"}, options);
        const std::string line = OneLine(run);
        if (line == Unsplit("s.dds")) {
            const Bytes welded = dir.Get("w" + std::to_string(i) + ".dds");
            EXPECT_TRUE(welded == a.Joined() || welded == b.Joined()) << "weld " << i << " is a mix";
            ++whole;
        }
    }
    welding = false;
    splitter.join();
    EXPECT_GT(whole, 0);
}

}  // namespace

namespace {

// Two texsplits of one set through two spellings of its folder (the folder
// and a symbolic link to it), with their renames slowed so that two commits
// at once would interleave: the lock is the folder's, however it is named,
// so each commit ends before the next begins and the set is one texture
// whole. Natively and under qemu the renames are the program's own; under
// Wine they are the Wine server's, a process apart, and are not slowed.
TEST_F(TexweldE2e, SplitsThroughTwoSpellingsOfAFolderTakeTurns) {
    const Texture a = SampleTexture(SampleFormat::Argb32, 128, 128, 8, 5);
    const Texture b = SampleTexture(SampleFormat::Argb32, 128, 128, 8, 6);
    dir.Put("a.dds", a.Joined());
    dir.Put("b.dds", b.Joined());
    ASSERT_EQ(::mkdir(dir.At("set").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("set", dir.At("link").c_str()), 0);
    RunOptions options = Here();
    if (!texweld_e2e::RunsWindowsBuild() && ::access("/usr/bin/strace", X_OK) == 0) {
        options.wrapper = Traced({"/usr/bin/strace", "-f", "-o", "/dev/null", "-e", "trace=rename,renameat,renameat2",
                                  "-e", "inject=rename,renameat,renameat2:delay_enter=20000"});
    }
    constexpr int kRuns = 3;
    std::vector<std::string> linked;
    std::thread other([&] {
        for (int i = 0; i < kRuns; ++i) {
            linked.push_back(OneLineOfSplit(texweld_e2e::RunTexsplit({"b.dds", "link/s.dds"}, options), 0));
        }
    });
    for (int i = 0; i < kRuns; ++i) {
        EXPECT_EQ(OneLineOfSplit(texweld_e2e::RunTexsplit({"a.dds", "set/s.dds"}, options), 0), Split("a.dds", 6, "set/s.dds"));
    }
    other.join();
    EXPECT_EQ(linked, std::vector<std::string>(kRuns, Split("b.dds", 6, "link/s.dds")));
    EXPECT_EQ(OneLine(texweld_e2e::RunTexweld({"set/s.dds.0", "w.dds"}, Here())), Unsplit("set/s.dds"));
    const Bytes welded = dir.Get("w.dds");
    EXPECT_TRUE(welded == a.Joined() || welded == b.Joined()) << "the set is a mix of the two";
    Names left;
    for (const auto& entry : fs::directory_iterator(dir.At("set"))) {
        left.insert(entry.path().filename().string());
    }
    EXPECT_EQ(left, (Names{"s.dds.0", "s.dds.1", "s.dds.2", "s.dds.3", "s.dds.4", "s.dds.5"}));
}

}  // namespace

namespace {

// What another user plants beside a set, or makes of what a killed texsplit
// left there, before the set's owner welds it and splits into it.
struct PlantCase {
    const char* label;
    bool killedSplit;  // a texsplit of whole.dds into tex.dds is killed at its 2nd rename first
    std::function<void(const Scratch&, uid_t attacker)> plant;
    std::string inTheWay;  // the file that stops both runs; empty: they roll back and go on
    int weldChunk = 0;     // the chunk texweld's line names when stopped
};

class PlantedFiles : public TexweldE2e, public ::testing::WithParamInterface<PlantCase> {};

const std::string kJournal = ".tex.dds.texweld-journal";

void Own(const Scratch& dir, const std::string& name, uid_t owner) {
    ASSERT_EQ(::lchown(dir.At(name).c_str(), owner, owner), 0) << name;
}

// Puts a file of the attacker's in the place of `name`.
std::function<void(const Scratch&, uid_t)> AttackersFile(const std::string& name) {
    return [name](const Scratch& dir, uid_t attacker) {
        dir.Remove(name);
        dir.Put(name, ToBytes("the attacker's bytes"));
        Own(dir, name, attacker);
    };
}

// As root, with another user's files planted, and as nobody in a sticky
// folder with the planted files root's and daemon's: neither a weld nor a
// split touches anything that is not a file of its own run's, and each
// stops with its line where something is in the way.
TEST_P(PlantedFiles, AreNeverActedOn) {
    SKIP_FOR_WINDOWS_BUILD();
    if (::geteuid() != 0 || ::access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "needs root to arrange owners, and strace";
    }
    const PlantCase& c = GetParam();
    const Texture before = SampleTexture(SampleFormat::Dxt1, 256, 256, 9, 4);
    for (const uid_t victim : {uid_t{0}, kNobody}) {
        SCOPED_TRACE(victim == 0 ? "as root" : "as nobody");
        const uid_t attacker = victim == 0 ? kNobody : kDaemon;
        for (const auto& entry : fs::directory_iterator(dir.Path())) {
            fs::remove_all(entry.path());
        }
        dir.PutSplit("tex.dds", before);
        dir.Put("whole.dds", RockTexture().Joined());
        dir.Put("private/secret", ToBytes("the victim's own\n"));
        dir.Put("private/config", ToBytes("setting = 1\n"));
        dir.Put("evil", ToBytes("the attacker's file\n"));
        for (const auto& entry : fs::recursive_directory_iterator(dir.Path())) {
            Own(dir, fs::relative(entry.path(), dir.Path()).string(), victim);
        }
        Own(dir, "evil", attacker);
        ASSERT_EQ(::chmod(dir.At("private").c_str(), 0700), 0);
        ASSERT_EQ(::chmod(dir.Path().c_str(), 01777), 0);
        RunOptions options = Here();
        if (victim != 0) {
            options.beforeExec = AsNobody();
        }
        if (c.killedSplit) {
            RunOptions killed = options;
            killed.wrapper = Traced({"/usr/bin/strace", "-o", "/dev/null", "-e", "trace=rename", "-e",
                                     "inject=rename:signal=SIGKILL:when=2"});
            ASSERT_EQ(texweld_e2e::RunTexsplit({"whole.dds", "tex.dds"}, killed).signal, SIGKILL);
            ASSERT_TRUE(fs::exists(dir.At(kJournal)));
        }
        c.plant(dir, attacker);
        if (HasFatalFailure()) {
            return;
        }
        const auto planted = Snapshot(dir.Path());
        const RunResult weld = texweld_e2e::RunTexweld({"tex.dds.0", "w.dds"}, options);
        if (c.inTheWay.empty()) {
            EXPECT_EQ(OneLine(weld), Unsplit("tex.dds"));
            EXPECT_TRUE(SameBytes(dir.Get("w.dds"), before.Joined()));
            dir.Remove("w.dds");
        } else {
            EXPECT_EQ(OneLine(weld), ChunkUnreadable(c.weldChunk));
            EXPECT_EQ(Snapshot(dir.Path()), planted);
        }
        const RunResult split = texweld_e2e::RunTexsplit({"whole.dds", "tex.dds"}, options);
        if (c.inTheWay.empty()) {
            EXPECT_EQ(OneLineOfSplit(split, 0), Split("whole.dds", 7, "tex.dds"));
        } else {
            EXPECT_EQ(OneLineOfSplit(split, 1),
                      "Failed to open the chunks of tex.dds for writing: " + c.inTheWay + " is in the way.");
            EXPECT_EQ(Snapshot(dir.Path()), planted);
        }
        for (const char* outside : {"private/secret", "private/config", "evil"}) {
            EXPECT_EQ(Snapshot(dir.Path())[outside], planted.at(outside)) << outside;
        }
        ASSERT_EQ(::chmod(dir.Path().c_str(), 0700), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Recovery, PlantedFiles,
    ::testing::Values(
        // A journal of the earlier kind, naming files by path: the victim's
        // config to be replaced by the attacker's file, a private file removed.
        PlantCase{"JournalNamingFilesOutsideTheSet", false,
                  [](const Scratch& dir, uid_t) {
                      std::string text = std::string("texweld-journal 1") + '\0' + "R" + '\0' + dir.At("evil") +
                                         '\0' + dir.At("private/config") + '\0' + '\0' + "D" + '\0' +
                                         dir.At("private/secret") + '\0' + '\0' + "end" + '\0';
                      struct stat info {};
                      ::stat(dir.At("tex.dds.0").c_str(), &info);
                      dir.Put(kJournal, ToBytes(text));
                      Own(dir, kJournal, info.st_uid);
                  },
                  kJournal},
        PlantCase{"JournalOfAnotherUser", true,
                  [](const Scratch& dir, uid_t attacker) { Own(dir, kJournal, attacker); }, kJournal},
        PlantCase{"BackupOfAnotherUser", true, AttackersFile(".tex.dds.6.texweld-old"), ".tex.dds.6.texweld-old", 6},
        PlantCase{"StagedFileOfAnotherUser", true, AttackersFile(".tex.dds.5.texweld-new"), ".tex.dds.5.texweld-new",
                  6},
        PlantCase{"JournalIsALink", true,
                  [](const Scratch& dir, uid_t) {
                      ASSERT_EQ(::rename(dir.At(kJournal).c_str(), dir.At("private/journal").c_str()), 0);
                      ASSERT_EQ(::symlink("private/journal", dir.At(kJournal).c_str()), 0);
                  },
                  kJournal},
        PlantCase{"JournalIsAPipe", false,
                  [](const Scratch& dir, uid_t) { ASSERT_EQ(::mkfifo(dir.At(kJournal).c_str(), 0666), 0); },
                  kJournal},
        // Sparse: no room on disk, and never read whole.
        PlantCase{"JournalOf3GiB", false,
                  [](const Scratch& dir, uid_t) {
                      dir.Put(kJournal, {});
                      ASSERT_EQ(::truncate(dir.At(kJournal).c_str(), off_t{3} << 30), 0);
                  },
                  kJournal},
        PlantCase{"JournalWithAByteChanged", true,
                  [](const Scratch& dir, uid_t) {
                      const int fd = ::open(dir.At(kJournal).c_str(), O_WRONLY);
                      ASSERT_GE(fd, 0);
                      ASSERT_EQ(::pwrite(fd, "X", 1, 40), 1);
                      ::close(fd);
                  },
                  kJournal},
        PlantCase{"JournalOfAnotherBase", true,
                  [](const Scratch& dir, uid_t) {
                      // The name changed to hex.dds, and the checksum made anew.
                      Bytes journal = dir.Get(kJournal);
                      ASSERT_GT(journal.size(), 11u);
                      journal[journal.size() - 11] = 'h';
                      std::uint32_t crc = 0xFFFFFFFFu;
                      for (std::size_t i = 0; i + 4 < journal.size(); ++i) {
                          crc ^= journal[i];
                          for (int bit = 0; bit < 8; ++bit) {
                              crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
                          }
                      }
                      crc = ~crc;
                      for (std::size_t i = 0; i < 4; ++i) {
                          journal[journal.size() - 4 + i] = static_cast<std::uint8_t>(crc >> (8 * i));
                      }
                      const std::string other = ".hex.dds.texweld-journal";
                      dir.Put(other, journal);
                      ASSERT_EQ(::rename(dir.At(other).c_str(), dir.At(kJournal).c_str()), 0);
                  },
                  kJournal},
        // A journal begun but never written, and a staged file and a backup of
        // the victim's own: its run died before any name changed.
        PlantCase{"JournalCutShortWithItsFiles", false,
                  [](const Scratch& dir, uid_t) {
                      struct stat info {};
                      ::stat(dir.At("tex.dds.0").c_str(), &info);
                      dir.Put(kJournal, {});
                      dir.Put(".tex.dds.3.texweld-new", ToBytes("half a level"));
                      ASSERT_EQ(::link(dir.At("tex.dds.2").c_str(), dir.At(".tex.dds.2.texweld-old").c_str()), 0);
                      Own(dir, kJournal, info.st_uid);
                      Own(dir, ".tex.dds.3.texweld-new", info.st_uid);
                  },
                  ""}),
    ByLabel());

}  // namespace
