// Whole runs of the entry routine inside the test process, so that the
// allocation hooks can be watched and made to fail: every allocation of a
// run fails in turn, and hostile headers are measured by the largest block
// they make the program ask for.
//
// Each run must print exactly one line, give back every block it obtained,
// leave an existing output exactly as it was unless it succeeded, and leave
// no other file behind (no temporary file).
#include "app/entry.h"
#include "dds/mip_sizes.h"
#include "dds/texture_format.h"
#include "tests/support/expected_lines.h"
#include "tests/support/in_process_run.h"
#include "samples/split_texture.h"
#include "tests/support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <iterator>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace {

using samplekit::Bytes;
using samplekit::HeaderFields;
using samplekit::SampleFormat;
using texweld_inprocess::ScratchFolder;
using texweld_test::AllocFaultInjector;

constexpr std::uint32_t kGranularity = 8192;

std::uint64_t RoundUp(std::uint64_t count) {
    return (count + kGranularity - 1) / kGranularity * kGranularity;
}

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
    std::uint32_t failedSize = 0;      // the size of the failed request
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
        if (failAt != 0) {
            run.failedSize = injector.SizeOf(failAt - 1);
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

    std::string Get(const std::string& path) const {
        std::string bytes;
        texweld_inprocess::GetFile(path, bytes);
        return bytes;
    }

    void Put(const std::string& path, const std::string& bytes) const {
        ASSERT_TRUE(texweld_inprocess::PutFile(path, bytes)) << path;
    }

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
const std::uint32_t kFaultTextureChunks = 4;

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
                            {"output image", kNoOutputBuffer},
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
                            {"output image", kNoOutputBuffer},
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
                            {"output image", kNoOutputBuffer},
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
    // Numbered chunks are read straight into the image: no block is larger
    // than the image, however many levels there are.
    EXPECT_EQ(run.largest, kGranularity);
}

// ---------------------------------------------------------------------------
// Hostile headers: each gives its line, and the largest block the program
// asks for is bounded by the header's checked total and the files' sizes.

struct HostileCase {
    const char* label;
    HeaderFields fields;
    bool chunks;              // the numbered chunks of a 64x64, 7-level DXT1 are there
    std::uint32_t extraBytes;  // appended to the first chunk after its preamble
    std::string line;         // relative to base "tex.dds"
};

void PrintTo(const HostileCase& c, std::ostream* out) {
    *out << c.label;
}

HeaderFields Dxt1Fields(std::uint32_t width, std::uint32_t height, std::uint32_t mipCount) {
    return samplekit::SampleHeaderFields(SampleFormat::Dxt1, width, height, mipCount);
}

HeaderFields WithDepth(HeaderFields fields, std::uint32_t depth) {
    fields.depth = depth;
    return fields;
}

// The texture format the sample kit's DXT1 header classifies as.
constexpr TextureFormat kDxt1 = TextureFormat::Dxt1;

class HostileHeaders : public InProcessRun, public ::testing::WithParamInterface<HostileCase> {};

TEST_P(HostileHeaders, GiveTheirLineWithinTheirCheckedSize) {
    const HostileCase& c = GetParam();
    const std::string base = dir.At("tex.dds");
    const Bytes preamble = samplekit::MakePreamble(c.fields);
    std::uint64_t largestFile = preamble.size() + c.extraBytes;
    if (c.chunks) {
        const std::vector<samplekit::Chunk> chunks =
            samplekit::SplitTexture(FaultTexturePreamble(), FaultTextureLevels());
        for (std::size_t k = 1; k < chunks.size(); ++k) {
            Put(base + chunks[k].suffix, Text(chunks[k].content));
            largestFile = std::max<std::uint64_t>(largestFile, chunks[k].content.size());
        }
    }
    Put(base + ".0", Text(preamble) + std::string(c.extraBytes, '\x5A'));
    Put(dir.At("out.dds"), kEarlierOutput);

    const WatchedRun run = Run({base + ".0", dir.At("out.dds")});
    const std::string expected = c.line == Unsplit("tex.dds") ? Unsplit(base) : c.line;
    EXPECT_EQ(run.line, expected);

    const std::optional<std::uint32_t> chain = CheckedSurfaceChainSize(
        static_cast<std::int32_t>(c.fields.width), static_cast<std::int32_t>(c.fields.height),
        static_cast<std::int32_t>(c.fields.depth), static_cast<std::int32_t>(c.fields.mipCount), kDxt1);
    std::uint64_t bound = std::max<std::uint64_t>(RoundUp(largestFile), 512);
    if (chain) {
        bound = std::max(bound, RoundUp(128 + std::uint64_t{*chain}));
    }
    EXPECT_LE(run.largest, bound);

    if (run.line == Unsplit(base)) {
        ASSERT_TRUE(chain.has_value());
        EXPECT_EQ(Get(dir.At("out.dds")).size(), 128 + std::uint64_t{*chain});
    } else {
        EXPECT_EQ(Get(dir.At("out.dds")), kEarlierOutput);
    }
    EXPECT_TRUE(run.added.empty() && run.removed.empty()) << "files appeared or vanished";
}

INSTANTIATE_TEST_SUITE_P(
    Headers, HostileHeaders,
    ::testing::Values(
        HostileCase{"WidthAtTheSignBit", Dxt1Fields(0x80000000u, 64, 7), true, 24, kNoOutputBuffer},
        HostileCase{"WidthAllOnes", Dxt1Fields(0xFFFFFFFFu, 64, 7), true, 24, kNoOutputBuffer},
        HostileCase{"HeightAtTheSignBit", Dxt1Fields(64, 0x80000000u, 1), false, 0, kNoOutputBuffer},
        HostileCase{"HeightAllOnes", Dxt1Fields(64, 0xFFFFFFFFu, 1), false, 0, kNoOutputBuffer},
        HostileCase{"BothDimensionsAllOnes", Dxt1Fields(0xFFFFFFFFu, 0xFFFFFFFFu, 1), false, 0, kNoOutputBuffer},
        HostileCase{"DepthAllOnes", WithDepth(Dxt1Fields(4, 4, 1), 0xFFFFFFFFu), false, 0, kNoOutputBuffer},
        // 512 KiB a slice, 65536 slices: 32 GiB.
        HostileCase{"HugeDepth", WithDepth(Dxt1Fields(1024, 1024, 1), 0x10000), false, 0, kNoOutputBuffer},
        HostileCase{"LargestSignedDepth", WithDepth(Dxt1Fields(4, 4, 2), 0x7FFFFFFF), false, 0, kNoOutputBuffer},
        // Sized as the whole 64x64 chain, then chunk 2147483644 is missing.
        HostileCase{"MipCountLargestSignedWithChunks", Dxt1Fields(64, 64, 0x7FFFFFFF), true, 24,
                    ChunkUnreadable(0x7FFFFFFC)},
        HostileCase{"MipCountLargestSignedAlone", Dxt1Fields(64, 64, 0x7FFFFFFF), false, 24,
                    ChunkUnreadable(0x7FFFFFFC)},
        // Negative as a count: one level and no numbered chunk, whatever is there.
        HostileCase{"MipCountAllOnesWithChunks", Dxt1Fields(64, 64, 0xFFFFFFFFu), true, 24, Unsplit("tex.dds")},
        HostileCase{"MipCountAllOnesAlone", Dxt1Fields(64, 64, 0xFFFFFFFFu), false, 24, Unsplit("tex.dds")},
        HostileCase{"MipCountAllOnesFirstChunkTooLong", Dxt1Fields(4, 4, 0xFFFFFFFFu), false, 9,
                    kFirstChunkDoesntFit},
        HostileCase{"FirstChunkWithATrailingByte", Dxt1Fields(64, 64, 7), true, 25, kFirstChunkDoesntFit},
        HostileCase{"FirstChunkOfOnlyThePreambleHasRoom", Dxt1Fields(64, 64, 7), true, 0, Unsplit("tex.dds")},
        // Ten levels counted where 64x64 has seven: seven numbered chunks
        // are looked for, and the largest, chunk 7, is not there.
        HostileCase{"MipCountPastTheChainWithoutItsChunks", Dxt1Fields(64, 64, 10), true, 24, ChunkUnreadable(7)},
        HostileCase{"AllDimensionsZeroWithBytes", Dxt1Fields(0, 0, 3), false, 8, kFirstChunkDoesntFit},
        HostileCase{"AllDimensionsZeroWithoutBytes", Dxt1Fields(0, 0, 3), false, 0, Unsplit("tex.dds")}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.label); });

TEST_F(InProcessRun, TruncatedPreamblesAreTooSmallAndReadNoMoreThanTheFile) {
    const Bytes preamble = samplekit::MakePreamble(Dxt1Fields(64, 64, 7));
    const std::string base = dir.At("tex.dds");
    for (std::size_t length = 0; length < preamble.size(); ++length) {
        SCOPED_TRACE("first chunk of " + std::to_string(length) + " bytes");
        Put(base + ".0", std::string(preamble.begin(), preamble.begin() + static_cast<std::ptrdiff_t>(length)));
        const WatchedRun run = Run({base + ".0"});
        EXPECT_EQ(run.line, kTooSmall);
        // Two names, and the file's contents only when there are any.
        EXPECT_EQ(run.allocations, length == 0 ? 2u : 3u);
        EXPECT_LE(run.largest, kGranularity);
        EXPECT_TRUE(run.added.empty()) << "files appeared";
    }
}

struct EmptyChunkCase {
    const char* label;
    std::uint32_t chunk;
};

void PrintTo(const EmptyChunkCase& c, std::ostream* out) {
    *out << c.label;
}

class EmptyChunks : public InProcessRun, public ::testing::WithParamInterface<EmptyChunkCase> {};

TEST_P(EmptyChunks, HaveTheWrongSize) {
    const std::string base = dir.At("tex.dds");
    PutSplit(base, FaultTexturePreamble(), FaultTextureLevels());
    Put(base + "." + std::to_string(GetParam().chunk), "");
    Put(dir.At("out.dds"), kEarlierOutput);
    const WatchedRun run = Run({base + ".0", dir.At("out.dds")});
    EXPECT_EQ(run.line, ChunkSizeWrong(GetParam().chunk));
    EXPECT_LE(run.largest, kGranularity);
    EXPECT_EQ(Get(dir.At("out.dds")), kEarlierOutput);
    EXPECT_TRUE(run.added.empty() && run.removed.empty());
}

INSTANTIATE_TEST_SUITE_P(Chunks, EmptyChunks,
                         ::testing::Values(EmptyChunkCase{"Largest", kFaultTextureChunks},
                                           EmptyChunkCase{"Middle", 2}, EmptyChunkCase{"Smallest", 1}),
                         [](const ::testing::TestParamInfo<EmptyChunkCase>& info) {
                             return std::string(info.param.label);
                         });

}  // namespace
