// Whole runs of the entry routine inside the test process, so that the
// allocation hooks can be watched and made to fail: every allocation of a
// run fails in turn. (Hostile headers and damaged chunks, with the largest
// block each makes the program ask for, are the fuzz corpus's seeds, which
// fuzz.CorpusReplaysCleanly checks against the fuzz target's model.)
//
// Each run must print exactly one line, give back every block it obtained,
// leave an existing output exactly as it was unless it succeeded, and leave
// no other file behind (no temporary file).
#include "app/entry.h"
#include "tests/support/expected_lines.h"
#include "tests/support/in_process_run.h"
#include "samples/split_texture.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

using samplekit::Bytes;
using samplekit::SampleFormat;
using texweld_inprocess::ScratchFolder;
using texweld_test::AllocFaultInjector;


std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

using namespace expected_lines;

const std::string kEarlierOutput = "an output from an earlier run\n";

// What one watched run printed, obtained and changed.
struct WatchedRun {
    std::string line;                  // the one line, without its feed
    std::uint32_t allocations = 0;     // calls through the allocate slot
    std::uint32_t failures = 0;        // of those, the ones made to fail
    std::int64_t outstanding = 0;      // blocks not given back at the end
    std::uint32_t largest = 0;         // the largest block asked for
    std::set<std::string> added, removed;
};

class InProcessRun : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(dir.Path().empty()) << "no scratch folder";
        // The capture keeps its file open from the first use on.
        texweld_inprocess::CaptureStdout([] {});
    }

    // Runs "texweld" with `arguments`; with `failAt` non-zero, that
    // allocation of the run fails.
    WatchedRun Run(const std::vector<std::string>& arguments, std::uint32_t failAt = 0) {
        const std::set<std::string> before = dir.Listing();
        const int openDescriptors = texweld_inprocess::CountOpenDescriptors();
        texweld_inprocess::ArgumentVector argv(arguments);
        WatchedRun run;
        const std::string printed = texweld_inprocess::CaptureStdout([&] {
            injector.ResetCounts();
            if (failAt != 0) {
                injector.FailNth(failAt);
            }
            TexweldMain(argv.Count(), argv.Values());
            injector.Disarm();
            run.allocations = injector.Allocations();
            run.failures = injector.Failures();
            run.outstanding = injector.Outstanding();
        });
        EXPECT_LE(run.allocations, AllocFaultInjector::kLoggedSizes) << "sizes beyond the log are not measured";
        for (std::uint32_t i = 0; i < run.allocations; ++i) {
            run.largest = std::max(run.largest, injector.SizeOf(i));
        }

        EXPECT_TRUE(std::count(printed.begin(), printed.end(), '\n') == 1 && printed.back() == '\n')
            << "not exactly one line: \"" << printed << "\"";
        run.line = printed.substr(0, printed.find('\n'));
        EXPECT_EQ(run.outstanding, 0) << "blocks not given back after \"" << run.line << "\"";
        EXPECT_EQ(texweld_inprocess::CountOpenDescriptors(), openDescriptors)
            << "a file was left open after \"" << run.line << "\"";
        const std::set<std::string> after = dir.Listing();
        std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                            std::inserter(run.added, run.added.end()));
        std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                            std::inserter(run.removed, run.removed.end()));
        return run;
    }

    std::string Get(const std::string& path) const { return texweld_test::ReadFileBytes(path); }

    void Put(const std::string& path, const std::string& bytes) const { texweld_test::WriteFileBytes(path, bytes); }

    void PutSplit(const std::string& base, const Bytes& preamble, const std::vector<Bytes>& levels) const {
        ASSERT_TRUE(samplekit::WriteChunks(base, samplekit::SplitTexture(preamble, levels)));
    }

    ScratchFolder dir;
    AllocFaultInjector injector;
};

// ---------------------------------------------------------------------------
// Every allocation of a run fails in turn.

// An allocation of a run: which object asks, and the line the run prints
// when it fails. Which allocation comes when, and how large, is the
// program's own business; what a caller relies on is the line.
struct FaultSite {
    std::string site;
    std::string line;
};

struct SplitTexture {
    Bytes preamble;
    std::vector<Bytes> levels;
};

struct FaultScenario {
    std::string base;       // the chunks' base name
    std::string output;     // the output argument; an earlier file is there
    SplitTexture texture;
    std::vector<FaultSite> sites;
};

// A 64x64 DXT1 texture with 7 levels: numbered chunks 4 (2048 bytes) to 1,
// a 152-byte first chunk, a 2872-byte image.
Bytes FaultTexturePreamble() {
    return samplekit::MakePreamble(SampleFormat::Dxt1, 64, 64, 7);
}

std::vector<Bytes> FaultTextureLevels() {
    return samplekit::MakeLevels(SampleFormat::Dxt1, 64, 64, 7, 3);
}

SplitTexture FaultTexture() {
    return {FaultTexturePreamble(), FaultTextureLevels()};
}

class AllocationFaults : public InProcessRun {
protected:
    // Fails allocation 1, 2, ... of a run on `scenario` until a run gets
    // through without reaching the failure, checking each run's line
    // against the sites in order.
    void FailEachAllocation(const FaultScenario& scenario) {
        PutSplit(scenario.base, scenario.texture.preamble, scenario.texture.levels);
        const std::vector<std::string> arguments = {scenario.base + ".0", scenario.output};
        for (std::uint32_t failAt = 1;; ++failAt) {
            Put(scenario.output, kEarlierOutput);
            SCOPED_TRACE("allocation " + std::to_string(failAt) + " fails");
            const WatchedRun run = Run(arguments, failAt);
            if (run.failures == 0) {
                EXPECT_EQ(run.line, Unsplit(scenario.base));
                EXPECT_EQ(Get(scenario.output),
                          Text(samplekit::JoinTexture(scenario.texture.preamble, scenario.texture.levels)));
                return;
            }
            ASSERT_LE(failAt, 64u) << "a run that never gets through";
            const auto site = std::find_if(scenario.sites.begin(), scenario.sites.end(),
                                           [&run](const FaultSite& s) { return s.line == run.line; });
            ASSERT_NE(site, scenario.sites.end()) << "a failed allocation printed \"" << run.line << "\"";
            EXPECT_EQ(Get(scenario.output), kEarlierOutput) << site->site;
            EXPECT_TRUE(run.added.empty() && run.removed.empty()) << site->site << ": files appeared or vanished";
        }
    }
};

TEST_F(AllocationFaults, EachFailurePrintsTheLineOfItsSite) {
    const std::string base = dir.At("tex.dds");
    const std::string output = dir.At("out.dds");
    FailEachAllocation({base,
                        output,
                        FaultTexture(),
                        {
                            // No base name: the first chunk is looked for as ".0".
                            {"base name", NotFound("")},
                            // No output name: nothing can be opened for it.
                            {"output name", CannotOpen("")},
                            {"first chunk contents", kFirstChunkUnreadable},
                            {"copy block", kNoOutputBuffer},
                            {"temporary name", CannotOpen(output)},
                        }});
}

TEST_F(AllocationFaults, NamesBeyondTheInlineRoomFailAtEachOfTheirBlocks) {
    // Every name is longer than the 260 bytes a string buffer keeps inline,
    // so the names formed on the way need heap blocks of their own.
    const std::string folder = dir.At(std::string(230, 'f'));
    ASSERT_TRUE(std::filesystem::create_directory(folder));
    const std::string base = folder + "/tex.dds";
    const std::string argument = base + ".0";
    const std::string output = folder + "/out.dds";
    ASSERT_GT(argument.size(), 260u);
    FailEachAllocation({base,
                        output,
                        FaultTexture(),
                        {
                            // The argument cannot be held to look at its suffix: it is
                            // taken whole as the base name.
                            {"argument", NotFound(argument)},
                            // The argument without ".0" cannot be formed: the base is empty.
                            {"argument less its suffix", NotFound("")},
                            {"base name", NotFound("")},
                            {"output name", CannotOpen("")},
                            {"first chunk contents", kFirstChunkUnreadable},
                            {"copy block", kNoOutputBuffer},
                            // The temporary file beside the output cannot be named.
                            {"temporary name", CannotOpen(output)},
                        }});
}

TEST_F(AllocationFaults, ChunkNameThatOutgrowsItsBlockFailsAsAnUnreadableChunk) {
    // A 4096x1 texture with 13 levels has chunks 10 to 1. The argument, and
    // so the first chunk's name, fill a 512-byte block exactly; the name of
    // chunk 10 is one character longer and needs a larger block.
    const std::string outer = dir.At(std::string(250, 'f'));
    const std::size_t innerLength = 511 - outer.size() - 1 - std::string("/tex.dds.0").size();
    ASSERT_TRUE(innerLength >= 1 && innerLength <= 255) << "the scratch folder's path is too long";
    const std::string inner = outer + "/" + std::string(innerLength, 'g');
    ASSERT_TRUE(std::filesystem::create_directories(inner));
    const std::string base = inner + "/tex.dds";
    ASSERT_EQ(base.size() + 2, 511u);
    const std::string output = dir.At("out.dds");
    const SplitTexture texture{samplekit::MakePreamble(SampleFormat::Argb32, 4096, 1, 13),
                               samplekit::MakeLevels(SampleFormat::Argb32, 4096, 1, 13, 5)};
    FailEachAllocation({base,
                        output,
                        texture,
                        {
                            {"argument", NotFound(base + ".0")},
                            {"argument less its suffix", NotFound("")},
                            {"base name", NotFound("")},
                            {"output name", CannotOpen("")},
                            {"first chunk contents", kFirstChunkUnreadable},
                            {"copy block", kNoOutputBuffer},
                            // No name, so nothing to read.
                            {"chunk name", ChunkUnreadable(10)},
                            {"temporary name", CannotOpen(output)},
                        }});
}

TEST_F(AllocationFaults, RunWithoutFailuresObtainsNoMoreThanItsBuffers) {
    PutSplit(dir.At("tex.dds"), FaultTexturePreamble(), FaultTextureLevels());
    Put(dir.At("out.dds"), kEarlierOutput);
    const WatchedRun run = Run({dir.At("tex.dds.0"), dir.At("out.dds")});
    EXPECT_EQ(run.line, Unsplit(dir.At("tex.dds")));
    // Every byte of the output, the first chunk's too, passes through one
    // block no larger than the output needs: for this 2872-byte output one
    // page, asked for with a page less a byte to spare to start on a page.
    EXPECT_EQ(run.largest, 4096u + 4095u);
}

}  // namespace
