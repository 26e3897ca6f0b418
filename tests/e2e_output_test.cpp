// End-to-end: the output file, replaced whole or not at all, whatever is
// in the way: devices, pipes, links, owners, limits, interrupts, failing
// reads and other runs.
#include "tests/support/e2e_kit.h"

#include <cstdlib>
#include <map>

#include <sys/xattr.h>

namespace {

using namespace e2e;
using e2e::PrintTo;

// ---------------------------------------------------------------------------
// The output file, as the host's own files, devices, pipes and limits see it:
// a regular file is replaced whole or not at all, anything else is written in
// place.

TEST_F(TexweldOutput, OutputLockedByAnotherProcessIsNotReplaced) {
    SKIP_FOR_WINDOWS_BUILD();
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
    SKIP_FOR_WINDOWS_BUILD();
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
    SKIP_FOR_WINDOWS_BUILD();
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
    SKIP_FOR_WINDOWS_BUILD();
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
    SKIP_FOR_WINDOWS_BUILD();
    // One level of 4 MiB, copied between the files past the first block.
    dir.PutSplit("big.dds", SampleTexture(SampleFormat::Argb32, 1024, 1024, 1, 3));
    const std::pair<const char*, std::uint64_t> limits[] = {{"tex.dds.0", 4096},  // of 43832 bytes
                                                             {"big.dds.0", 2 << 20}};
    for (const auto& [set, limit] : limits) {
        for (const bool existingOutput : {false, true}) {
            // Ignored by the child from the start, or left at its default
            // for the program to ignore itself.
            for (const bool ignoreSignal : {true, false}) {
                SCOPED_TRACE(std::string(set) + ", " + (existingOutput ? "existing" : "new") + " output, SIGXFSZ " +
                             (ignoreSignal ? "ignored" : "at its default"));
                if (existingOutput) {
                    dir.Put("out.dds", previous_);
                }
                RunOptions options;
                options.fileSizeLimit = limit;
                options.ignoreFileSizeSignal = ignoreSignal;
                const Outcome outcome = Run({set, "out.dds"}, options);
                EXPECT_EQ(outcome.line, kWriteFailed);
                EXPECT_EQ(outcome.added, Names{});
                EXPECT_EQ(outcome.removed, Names{});
                if (existingOutput) {
                    EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));
                }
            }
        }
    }
}

// ---------------------------------------------------------------------------
// Output safety off the happy path. The rock is split as "tex.dds" beside an
// earlier "out.dds"; each row changes one thing and runs the program. Every
// chunk must keep its bytes, the image must land exactly where the row says
// (or nowhere), "out.dds", where it is still a plain file and not that place,
// must keep its earlier bytes, and nothing else may appear.

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
        SKIP_FOR_WINDOWS_BUILD();
    }
    if (c.emulatorOnly && !texweld_e2e::RunsWindowsBuild()) {
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
    // Every plain file the row made, other sets' chunks among them.
    std::map<std::string, Bytes> made;
    for (const std::string& name : dir.Listing()) {
        if (fs::is_regular_file(fs::symlink_status(dir.At(name)))) {
            made[name] = dir.Get(name);
        }
    }
    RunOptions options;
    options.fileSizeLimit = c.fileSizeLimit;
    options.ignoreFileSizeSignal = c.fileSizeLimit.has_value();
    if (c.runner == Runner::Nobody) {
        // Reachable for nobody, unless the row chose the folder's mode.
        if ((fs::status(dir.Path()).permissions() & fs::perms::all) == fs::perms::owner_all) {
            ASSERT_EQ(::chmod(dir.Path().c_str(), 0755), 0);
        }
        options.beforeExec = AsNobody();
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
    for (const auto& [name, bytes] : made) {
        if (name != c.imageAt && fs::is_regular_file(fs::symlink_status(dir.At(name)))) {
            EXPECT_TRUE(SameBytes(dir.Get(name), bytes)) << name;
        }
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

// Files that interrupted runs of earlier versions, and of this one, left.
const Build kLeftovers = [](const Scratch& dir) {
    for (int n = 0; n < 100; ++n) {
        dir.Put(".texweld-1-" + std::to_string(n) + ".tmp", ToBytes("left"));
    }
    dir.Put(".texweld-0123456789abcdef.tmp", ToBytes("left"));
};

// Another texture split as `base` beside the row's own.
Build SplitAs(const std::string& base) {
    return [base](const Scratch& dir) { dir.PutSplit(base, SampleTexture(SampleFormat::Dxt5, 64, 64, 7, 5)); };
}

// A welded texture under `name`, as an earlier weld of the set there left it.
Build Welded(const std::string& name) {
    return [name](const Scratch& dir) { dir.Put(name, ToBytes("an earlier weld, since edited")); };
}

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
        // A second argument that is a chunk of a split texture names a set,
        // as every argument then does: each set is welded once, to its base.
        SafetyCase{"OutputIsTheFirstChunk", kUnchanged, {"tex.dds.0", "tex.dds.0"}, Unsplit("tex.dds"), "tex.dds",
                   {"tex.dds"}},
        SafetyCase{"OutputIsANumberedChunk", kUnchanged, {"tex.dds.0", "tex.dds.1"}, Unsplit("tex.dds"), "tex.dds",
                   {"tex.dds"}},
        SafetyCase{"OutputIsTheFirstChunkByAnotherPath", kUnchanged, {"./tex.dds.0", "tex.dds.0"},
                   Unsplit("./tex.dds"), "tex.dds", {"tex.dds"}},
        SafetyCase{"OutputIsALinkToAChunk", LinkedTo("out.dds", "tex.dds.6"), {"tex.dds.0", "out.dds"},
                   CannotOpen("out.dds"), "", {}, Runner::Self, true},
        SafetyCase{"OutputIsAHardLinkToAChunk",
                   [](const Scratch& dir) {
                       ASSERT_EQ(::link(dir.At("tex.dds.3").c_str(), dir.At("copy.dds").c_str()), 0);
                   },
                   {"tex.dds.0", "copy.dds"}, CannotOpen("copy.dds"), "", {}, Runner::Self, true},
        // Slips of the command line: a glob that expands to several first
        // chunks, another set's numbered chunk, another set's whole texture,
        // or any of them through a link or in another letter case.
        SafetyCase{"OutputIsAnotherSetsFirstChunk", SplitAs("b.dds"), {"tex.dds.0", "b.dds.0", "c.dds.0"},
                   Unsplit("tex.dds") + "\n" + Unsplit("b.dds") + "\n" + NotFound("c.dds"), "tex.dds",
                   {"b.dds", "tex.dds"}},
        SafetyCase{"EveryChunkOfTwoSets", SplitAs("b.dds"),
                   {"b.dds.3", "tex.dds.0", "b.dds.0", "tex.dds.1", "b.dds.1", "tex.dds.6"},
                   Unsplit("b.dds") + "\n" + Unsplit("tex.dds"), "tex.dds", {"b.dds", "tex.dds"}},
        SafetyCase{"OneOfTwoSetsDamaged",
                   Both(SplitAs("b.dds"), [](const Scratch& dir) { dir.Put("b.dds.2", ToBytes("cut")); }),
                   {"b.dds.0", "tex.dds.0"}, ChunkSizeWrong(2) + "\n" + Unsplit("tex.dds"), "tex.dds", {"tex.dds"}},
        SafetyCase{"OutputIsAnotherSetsWholeTexture", Both(SplitAs("b.dds"), Welded("b.dds")), {"tex.dds", "b.dds"},
                   CannotOpen("b.dds"), "", {}},
        SafetyCase{"OutputLinksToAnotherSetsChunk", Both(SplitAs("b.dds"), LinkedTo("out.dds", "b.dds.2")),
                   {"tex.dds.0", "out.dds"}, CannotOpen("out.dds"), "", {}, Runner::Self, true},
        SafetyCase{"OutputLinksToAnotherSetsWholeTexture",
                   Both(Both(SplitAs("b.dds"), Welded("b.dds")), LinkedTo("out.dds", "b.dds")),
                   {"tex.dds.0", "out.dds"}, CannotOpen("out.dds"), "", {}, Runner::Self, true},
        // A pipe under another set's first-chunk name, with a writer that
        // never writes: no texture's, and never waited on.
        SafetyCase{"AnotherSetsFirstChunkIsAPipeHeldOpen",
                   [](const Scratch& dir) {
                       ASSERT_EQ(::mkfifo(dir.At("b.dds.0").c_str(), 0600), 0);
                       ASSERT_GE(::open(dir.At("b.dds.0").c_str(), O_RDWR | O_CLOEXEC), 0);  // held to the end
                       dir.Put("b.dds.3", ToBytes("notes"));
                   },
                   {"tex.dds.0", "b.dds.3"}, Unsplit("tex.dds"), "b.dds.3", {}, Runner::Self, true},
        SafetyCase{"OutputIsANewChunkOfAnotherSet", SplitAs("b.dds"), {"tex.dds.0", "b.dds.9"}, Unsplit("tex.dds"),
                   "b.dds.9", {"b.dds.9"}},
        SafetyCase{"OutputIsAnotherSetsWholeTextureInAnotherCase", Both(SplitAs("b.dds"), Welded("b.dds")),
                   {"tex.dds.0", "B.Dds"}, CannotOpen("B.Dds"), "", {}, Runner::Self, false, true},
        // What is no split texture's is written as before: a plain file
        // ending in a number, and the texture's own whole file, by any name.
        SafetyCase{"OutputIsAPlainNumberedFile", [](const Scratch& dir) { dir.Put("notes.0", ToBytes("notes")); },
                   {"tex.dds.0", "notes.0"}, Unsplit("tex.dds"), "notes.0", {}},
        SafetyCase{"OutputIsTheTexturesOwnWholeFile", Welded("tex.dds"), {"tex.dds.0"}, Unsplit("tex.dds"),
                   "tex.dds", {}},
        SafetyCase{"OutputIsTheTexturesOwnWholeFileInAnotherCase", Welded("tex.dds"), {"tex.dds.0", "TEX.DDS"},
                   Unsplit("tex.dds"), "tex.dds", {}, Runner::Self, false, true},
        // Names the system cannot hold are refused before anything is written.
        SafetyCase{"NameTooLong", kUnchanged, {"tex.dds.0", kLongFileName}, CannotOpen(kLongFileName), "", {}},
        SafetyCase{"NameWithALessThanSign", kUnchanged, {"tex.dds.0", "a<b.dds"}, CannotOpen("a<b.dds"), "", {},
                   Runner::Self, false, true},
        SafetyCase{"NameWithAVerticalBar", kUnchanged, {"tex.dds.0", "a|b.dds"}, CannotOpen("a|b.dds"), "", {},
                   Runner::Self, false, true},
        // A folder nobody may write but not read cannot be locked against
        // texsplit: the weld goes on without the lock.
        SafetyCase{"WriteOnlyFolderIsWeldedWithoutItsLock", Both(ModeOf("out.dds", 0666), ModeOf(".", 0333)),
                   {"tex.dds.0", "out.dds"}, Unsplit("tex.dds"), "out.dds", {}, Runner::Nobody, true},
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
    SKIP_FOR_WINDOWS_BUILD();
    if (::access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "needs strace to land a signal inside the write";
    }
    struct Landing {
        const char* call;
        const char* extra;  // what else strace does to the call
    };
    // At the write the file has no name yet; at the rename it has its
    // temporary one, which the handler must remove (the rename is made to
    // fail, as if the signal had come just before it). SIGKILL cannot be
    // caught: the file it leaves named is found and removed by the next
    // weld to the same output.
    for (const Landing landing : {Landing{"write", ""}, Landing{"rename", ":error=EINTR"}}) {
        for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGKILL}) {
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
            EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));
            if (signal == SIGKILL) {
                EXPECT_EQ(Run({"tex.dds.0", "out.dds"}).line, Unsplit("tex.dds"));
                EXPECT_TRUE(SameBytes(dir.Get("out.dds"), RockTexture().Joined()));
            }
            EXPECT_EQ(dir.Listing(), before);
        }
    }
}

// A chunk that fails to read between its check and its copy, as one that
// shrank or sits on a failing disk would: the run names it, the old output
// (or the old chunk set, for texsplit) keeps its bytes, nothing is left.
TEST_F(TexweldOutput, ReadFailingDuringTheCopyNamesTheChunkAndKeepsTheOldFiles) {
    SKIP_FOR_WINDOWS_BUILD();
    if (::access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "needs strace to fail a read inside the copy";
    }
    dir.Put("out.dds", previous_);
    dir.Put("whole.dds", RockTexture().Joined());
    dir.PutSplit("old.dds", SampleTexture(SampleFormat::Dxt1, 256, 256, 9, 7));
    struct Row {
        bool split;        // texsplit of whole.dds over old.dds, else texweld
        const char* file;  // whose read fails
        int occurrence;    // which of its reads: texsplit's first reads the preamble
        std::string line;
        const char* set = "tex.dds.0";  // the set texweld welds
    };
    const auto run = [&](const Row& row, const RunOptions& options) {
        return row.split ? texweld_e2e::RunTexsplit({"whole.dds", "old.dds"}, options)
                         : texweld_e2e::RunTexweld({row.set, "out.dds"}, options);
    };
    // One level of 4 MiB: the first chunk is copied between the files past
    // the copier's first block.
    dir.PutSplit("big.dds", SampleTexture(SampleFormat::Argb32, 1024, 1024, 1, 3));
    texweld_test::TempDir logs;
    // texweld reads the first chunk's preamble first, its small levels last,
    // as it copies them: either failing is the first chunk's line.
    for (const Row& row : {Row{false, "tex.dds.0", 1, kFirstChunkUnreadable}, Row{false, "tex.dds.0", 2, kFirstChunkUnreadable},
                           Row{false, "tex.dds.6", 1, ChunkUnreadable(6)}, Row{false, "tex.dds.4", 1, ChunkUnreadable(4)},
                           Row{false, "tex.dds.1", 1, ChunkUnreadable(1)}, Row{true, "whole.dds", 2, kFirstChunkUnreadable},
                           Row{true, "whole.dds", 3, kFirstChunkUnreadable},
                           Row{false, "big.dds.0", 3, kFirstChunkUnreadable, "big.dds.0"}}) {
        SCOPED_TRACE(std::string(row.file) + ", read " + std::to_string(row.occurrence));
        // Which read of the whole run that is, counted on a run without a
        // fault: a build that loads shared libraries reads them first. A
        // read the system makes for a copy between files fails that copy
        // and the run's own read of the same bytes that follows it.
        const std::string traced = "trace=read,copy_file_range";
        RunOptions counting = Here();
        counting.wrapper = Traced({"/usr/bin/strace", "-y", "-e", traced, "-o", logs.File("reads")});
        run(row, counting);
        std::ifstream log(logs.File("reads"));
        std::map<std::string, int> calls;
        std::string call;
        int seen = 0;
        for (std::string line; std::getline(log, line) && seen < row.occurrence;) {
            call = line.substr(0, line.find('('));
            calls[call] += 1;
            // The file read is the call's first argument.
            const std::size_t first = line.find("/" + std::string(row.file) + ">");
            seen += first != std::string::npos && first < line.find(',') ? 1 : 0;
        }
        ASSERT_EQ(seen, row.occurrence) << "the run reads " << row.file << " fewer times";
        const bool copied = call != "read";
        std::vector<std::string> strace = {"/usr/bin/strace", "-o", "/dev/null", "-e", traced, "-e",
                                           "inject=read:error=EIO:when=" + std::to_string(calls["read"] + copied)};
        if (copied) {
            strace.insert(strace.end(), {"-e", "inject=" + call + ":error=EIO:when=" + std::to_string(calls[call])});
        }
        if (!row.split) {
            dir.Remove("out.dds");
            dir.Put("out.dds", previous_);
        } else {
            dir.PutSplit("old.dds", SampleTexture(SampleFormat::Dxt1, 256, 256, 9, 7));
        }

        RunOptions options = Here();
        options.wrapper = Traced(strace);
        const Names before = dir.Listing();
        std::vector<Bytes> oldSet;
        for (int k = 0; k <= 6; ++k) {
            oldSet.push_back(dir.Get("old.dds." + std::to_string(k)));
        }
        const RunResult faulted = run(row, options);
        EXPECT_EQ(row.split ? OneLineOfSplit(faulted, 1) : OneLine(faulted), row.line);
        EXPECT_EQ(dir.Listing(), before);
        EXPECT_TRUE(SameBytes(dir.Get("out.dds"), previous_));
        for (int k = 0; k <= 6; ++k) {
            EXPECT_TRUE(SameBytes(dir.Get("old.dds." + std::to_string(k)), oldSet[static_cast<std::size_t>(k)])) << k;
        }
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

// A file that replaces another is on the disk before it takes the name,
// and the folder's names after the last rename; where nothing existed,
// nothing old can be lost and nothing is flushed. A set that replaces
// anything has every new file on the disk first, new names included (the
// old set here is smaller); the journal becomes the done marker after the
// renames are on the disk, the backups go after the marker is, and the
// marker after their removal is. A weld that rolls back a killed texsplit
// has the old names on the disk before the journal goes.
TEST_F(TexweldOutput, ReplacementsAreFlushedBeforeTheirRenameAndTheFolderAfter) {
    SKIP_FOR_WINDOWS_BUILD();
    if (::access("/usr/bin/strace", X_OK) != 0) {
        GTEST_SKIP() << "needs strace to watch the flushes";
    }
    dir.Put("whole.dds", RockTexture().Joined());
    struct Row {
        bool split;     // texsplit of whole.dds into new.dds, else texweld to out.dds
        bool existing;  // over an existing output or set
        bool rollBack;  // a texweld of new.dds after a texsplit over it was killed
    };
    texweld_test::TempDir logs;
    for (const Row row : {Row{false, false, false}, Row{false, true, false}, Row{true, false, false},
                          Row{true, true, false}, Row{false, true, true}}) {
        SCOPED_TRACE(std::string(row.split ? "texsplit" : "texweld") + (row.existing ? " over" : " to new") +
                     (row.rollBack ? " after a killed split" : ""));
        dir.Remove("out.dds");
        for (int k = 0; k <= 6; ++k) {
            dir.Remove("new.dds." + std::to_string(k));
        }
        if (row.existing) {
            (row.split || row.rollBack) ? dir.PutSplit("new.dds", SampleTexture(SampleFormat::Dxt1, 64, 64, 7, 9))
                                        : dir.Put("out.dds", previous_);
        }
        if (row.rollBack) {
            RunOptions killed = Here();
            killed.wrapper = Traced({"/usr/bin/strace", "-o", "/dev/null", "-e", "inject=rename:signal=SIGKILL:when=4"});
            ASSERT_EQ(texweld_e2e::RunTexsplit({"whole.dds", "new.dds"}, killed).signal, SIGKILL);
        }
        RunOptions options = Here();
        options.wrapper = Traced({"/usr/bin/strace", "-f", "-o", logs.File("calls"), "-e",
                                  "trace=fsync,fdatasync,rename,renameat,renameat2,unlink,unlinkat"});
        const RunResult run = row.split ? texweld_e2e::RunTexsplit({"whole.dds", "new.dds"}, options)
                                        : texweld_e2e::RunTexweld({row.rollBack ? "new.dds.0" : "tex.dds.0", "out.dds"},
                                                                  options);
        EXPECT_EQ(run.exitCode, 0) << run.Describe();
        // The calls in order: F for a file flushed, D for a folder, R for a
        // rename, M for the journal's to its done marker, J for the
        // journal's removal, B for a backup's, U for the marker's.
        std::string order;
        std::ifstream log(logs.File("calls"));
        for (std::string line; std::getline(log, line);) {
            const bool done = line.find("= 0") != std::string::npos;
            if (line.find("fdatasync(") != std::string::npos) {
                order += 'F';
            } else if (line.find("fsync(") != std::string::npos) {
                order += 'D';
            } else if (line.find("rename") != std::string::npos && done) {
                order += line.find("texweld-done") != std::string::npos ? 'M' : 'R';
            } else if (line.find("unlink") != std::string::npos && done) {
                order += line.find("texweld-journal") != std::string::npos ? "J"
                         : line.find("texweld-old") != std::string::npos   ? "B"
                         : line.find("texweld-done") != std::string::npos  ? "U"
                                                                           : "";
            }
        }
        if (!row.existing) {
            EXPECT_EQ(order.find_first_of("FD"), std::string::npos) << order;
        } else if (row.rollBack) {
            const std::string recovery = order.substr(0, order.find('J'));
            ASSERT_NE(recovery, order) << order;
            ASSERT_NE(recovery.rfind('D'), std::string::npos) << order;
            EXPECT_LT(recovery.rfind('R'), recovery.rfind('D')) << order;
        } else {
            const std::size_t firstRename = order.find('R');
            ASSERT_NE(firstRename, std::string::npos) << order;
            // Every new chunk and the journal, or the one output.
            EXPECT_EQ(std::count(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(firstRename), 'F'),
                      row.split ? 8 : 1)
                << order;
            EXPECT_GT(order.rfind('D'), order.rfind('R')) << order;
            if (row.split) {
                // The journal and its folder before the first rename; the
                // folder after the last, then the marker, flushed before the
                // first backup goes, and the backups' removal before the
                // marker's.
                EXPECT_LT(order.find('D'), firstRename) << order;
                const std::size_t marked = order.find('M');
                const std::size_t unmarked = order.find('U');
                ASSERT_NE(marked, std::string::npos) << order;
                ASSERT_NE(unmarked, std::string::npos) << order;
                EXPECT_LT(order.find('D', order.rfind('R')), marked) << order;
                EXPECT_LT(order.find('D', marked), order.find('B')) << order;
                EXPECT_LT(order.find('D', order.rfind('B')), unmarked) << order;
            }
        }
    }
}

// A file whose access ACL lets one other user read it, and not its group:
// replaced by either program it keeps that ACL, so its group gains nothing.
TEST_F(TexweldOutput, ReplacementKeepsTheAccessAcl) {
    SKIP_FOR_WINDOWS_BUILD();
    if (::access("/usr/bin/setfacl", X_OK) != 0) {
        GTEST_SKIP() << "needs setfacl to give a file an ACL";
    }
    const auto aclOf = [&](const std::string& name) {
        char bytes[1024];
        const ssize_t size = ::getxattr(dir.At(name).c_str(), "system.posix_acl_access", bytes, sizeof bytes);
        return size < 0 ? std::string() : std::string(bytes, static_cast<std::size_t>(size));
    };
    const auto giveAcl = [&](const std::string& name) {
        ::chmod(dir.At(name).c_str(), 0600);
        const std::string command = "/usr/bin/setfacl -m u:nobody:r '" + dir.At(name) + "'";
        return std::system(command.c_str()) == 0 && !aclOf(name).empty();
    };
    dir.Put("out.dds", previous_);
    if (!giveAcl("out.dds")) {
        GTEST_SKIP() << "this file system keeps no ACLs";
    }
    const std::string acl = aclOf("out.dds");
    EXPECT_EQ(Run({"tex.dds.0", "out.dds"}).line, Unsplit("tex.dds"));
    EXPECT_TRUE(SameBytes(dir.Get("out.dds"), RockTexture().Joined()));
    EXPECT_EQ(aclOf("out.dds"), acl);
    EXPECT_EQ(fs::status(dir.At("out.dds")).permissions() & fs::perms::group_all, fs::perms::group_read);

    dir.Put("whole.dds", SampleTexture(SampleFormat::Dxt5, 256, 256, 9, 3).Joined());
    for (int k = 0; k <= 6; ++k) {
        ASSERT_TRUE(giveAcl("tex.dds." + std::to_string(k)));
    }
    EXPECT_EQ(OneLineOfSplit(texweld_e2e::RunTexsplit({"whole.dds", "tex.dds"}, Here()), 0), Split("whole.dds", 7, "tex.dds"));
    for (int k = 0; k <= 6; ++k) {
        EXPECT_EQ(aclOf("tex.dds." + std::to_string(k)), acl) << k;
    }
}

}  // namespace
