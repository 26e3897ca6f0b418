// Fuzz target over one whole run of texsplit: a texture file, the base its
// chunks are named after, and an earlier set of that base in the folder.
//
// Each input (layout in fuzz_case.h) is written out in a scratch folder,
// TexsplitMain runs in this process with its standard output captured, and
// the run is then checked against a model written from the file layout and
// the messages (fuzz_kit.h holds its sizes):
//  - exactly one line is printed, and it is the line the model predicts;
//  - after the success line the folder holds exactly the new set: chunk k
//    holds level N - k of the file, the first chunk the preamble and the
//    rest; every chunk of the earlier set above N is gone; and texweld welds
//    the new set back into the file byte for byte;
//  - on every other line every file is as it was and nothing was added: no
//    staged file, backup or journal remains;
//  - every block obtained through the allocation hooks was given back, none
//    was larger than the copy block for the file or the names call for, and
//    no file descriptor was left open.
// A failed check prints what differed and aborts.
#include "app/entry.h"
#include "app/splitting.h"
#include "fuzz/fuzz_case.h"
#include "fuzz/fuzz_kit.h"
#include "tests/support/expected_lines.h"
#include "tests/support/in_process_run.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using texweld_fuzz::SplitCase;
using texweld_inprocess::ScratchFolder;
using namespace texweld_fuzz;

// Numbered chunks a split can have at most, and so how far up a new split
// looks for an earlier, larger one's.
constexpr std::uint32_t kMostNumbered = 32;

struct Layout {
    std::string folder;
    std::string input;                   // the texture, also the base unless one is named
    std::string base;
    std::vector<std::string> arguments;  // after the program's own name
};

struct Expectation {
    std::string line;
    bool split = false;
    std::vector<std::string> chunks;  // chunk k's bytes at [k]
};

std::string ChunkName(const std::string& base, std::uint64_t number) {
    return base + "." + std::to_string(number);
}

std::string OldChunk(std::uint64_t number) {
    return "chunk " + std::to_string(number) + " of an earlier split\n";
}

// How many levels a chain of these dimensions has down to 1x1x1, at most 32.
std::uint64_t LevelsInChain(std::uint32_t width, std::uint32_t height, std::uint32_t depth) {
    std::uint64_t largest = std::max({width, height, depth});
    std::uint64_t levels = 1;
    while (largest > 1) {
        largest >>= 1;
        ++levels;
    }
    return std::min<std::uint64_t>(levels, kMostNumbered);
}

Expectation Predict(const SplitCase& splitCase, const Layout& layout) {
    Expectation expect;
    const std::string& file = splitCase.file;
    const ModelPreamble read = ReadModelPreamble(file);
    if (!read.failure.empty()) {
        expect.line = read.failure;
        return expect;
    }
    const Element element = read.element;
    const std::uint32_t width = read.width, height = read.height, depth = read.depth, mipCount = read.mipCount;
    const std::optional<std::uint64_t> chain = ChainBytes(width, height, depth, mipCount, element);
    if (!chain || file.size() != kPreamble + *chain) {
        expect.line = expected_lines::kSplitSizeMismatch;
        return expect;
    }
    // Numbered chunks as texweld counts them: the mip count less 3 when that
    // is positive as a signed 32-bit value.
    const std::uint32_t difference = mipCount - 3u;
    const std::uint64_t numbered = difference >= 1 && difference <= INT32_MAX ? difference : 0;
    const bool countsLevels = (mipCount >= 1 && mipCount <= INT32_MAX) || numbered > 0;
    if (countsLevels && mipCount > LevelsInChain(width, height, depth)) {
        expect.line = expected_lines::kSplitCountPastTheChain;
        return expect;
    }
    if (CopyBlockAllocation(file.size()) > kAllocationCap) {
        expect.line = expected_lines::kFirstChunkUnreadable;
        return expect;
    }
    expect.chunks.resize(numbered + 1);
    std::uint64_t offset = kPreamble;
    for (std::uint64_t level = 0; level < numbered; ++level) {
        const std::optional<std::uint64_t> size = ChunkBytes(width, height, depth, level, element);
        Require(size && offset + *size <= file.size(), "the model's levels overrun a file of the right size");
        expect.chunks[numbered - level] = file.substr(offset, *size);
        offset += *size;
    }
    expect.chunks[0] = file.substr(0, kPreamble) + file.substr(offset);
    expect.line = expected_lines::Split(layout.input, static_cast<int>(numbered + 1), layout.base);
    expect.split = true;
    return expect;
}

Layout WriteOut(const SplitCase& splitCase, const ScratchFolder& scratch) {
    Layout layout;
    layout.folder = scratch.Path();
    std::string stem = "tex.dds";
    if (splitCase.longNames) {
        // Past the 260 bytes a string buffer keeps inline, for every name.
        layout.folder += "/" + std::string(200, 'f');
        Require(MakeFolder(layout.folder), "cannot make the long folder");
        stem = std::string(60, 'g') + ".dds";
    }
    layout.input = layout.folder + "/" + stem;
    layout.base = splitCase.baseNamed ? layout.folder + "/out.dds" : layout.input;
    layout.arguments.push_back(layout.input);
    if (splitCase.baseNamed) {
        layout.arguments.push_back(layout.base);
    }
    texweld_test::WriteFileBytes(layout.input, splitCase.file);
    if (splitCase.earlierSet) {
        for (std::uint64_t number = 0; number <= splitCase.earlierNumbered; ++number) {
            texweld_test::WriteFileBytes(ChunkName(layout.base, number), OldChunk(number));
        }
    }
    return layout;
}

std::string Relative(const ScratchFolder& scratch, const std::string& path) {
    return path.substr(scratch.Path().size() + 1);
}

// The largest block a run may take: the copy block for the file, or the
// names.
std::uint64_t LargestAllocation(const SplitCase& splitCase) {
    return std::max(kNameAllowance, CopyBlockAllocation(splitCase.file.size()));
}

void RunOne(const SplitCase& splitCase) {
    const ScratchFolder& scratch = Scratch();
    const Layout layout = WriteOut(splitCase, scratch);
    const Expectation expect = Predict(splitCase, layout);
    const std::string context = "file of " + std::to_string(splitCase.file.size()) + " bytes, base " +
                                (splitCase.baseNamed ? "named" : "the file's name") + ", earlier set: " +
                                (splitCase.earlierSet ? std::to_string(splitCase.earlierNumbered) : "none");

    const std::map<std::string, std::string> before = Contents(scratch);
    const int openDescriptors = texweld_inprocess::CountOpenDescriptors();
    texweld_inprocess::ArgumentVector argv(layout.arguments);
    Watch& watch = CurrentWatch();
    watch = Watch{};
    const std::string printed = texweld_inprocess::CaptureStdout([&] {
        watch.active = true;
        TexsplitMain(argv.Count(), argv.Values());
        watch.active = false;
    });
    const Watch watched = watch;

    Require(std::count(printed.begin(), printed.end(), '\n') == 1 && printed.back() == '\n',
            "not exactly one line printed", "\"" + printed + "\"\n" + context);
    const std::string line = printed.substr(0, printed.size() - 1);
    // A failure may add its reason in place of the line's final period.
    const std::string reasonless = expect.line.substr(0, expect.line.size() - 1) + ": ";
    Require(line == expect.line || (!expect.split && line.rfind(reasonless, 0) == 0), "unexpected line",
            "printed:  \"" + line + "\"\nexpected: \"" + expect.line + "\"\n" + context);
    Require(watched.outstanding == 0, "blocks not given back: " + std::to_string(watched.outstanding), context);
    Require(watched.largest <= LargestAllocation(splitCase),
            "allocation of " + std::to_string(watched.largest) + " bytes", context);
    Require(texweld_inprocess::CountOpenDescriptors() == openDescriptors, "a file descriptor was left open", context);

    // The folder holds the new set and nothing of the earlier one above it,
    // or, after a failure, exactly what it held.
    std::map<std::string, std::string> expected = before;
    if (expect.split) {
        for (std::uint64_t number = expect.chunks.size(); number <= kMostNumbered; ++number) {
            expected.erase(Relative(scratch, ChunkName(layout.base, number)));
        }
        for (std::uint64_t number = 0; number < expect.chunks.size(); ++number) {
            expected[Relative(scratch, ChunkName(layout.base, number))] = expect.chunks[number];
        }
    }
    const std::map<std::string, std::string> after = Contents(scratch);
    if (after != expected) {
        std::string difference;
        for (const auto& [name, bytes] : after) {
            const auto found = expected.find(name);
            if (found == expected.end() || found->second != bytes) {
                difference += "  " + name + ": " + std::to_string(bytes.size()) + " bytes, unexpected\n";
            }
        }
        for (const auto& [name, bytes] : expected) {
            if (after.find(name) == after.end()) {
                difference += "  " + name + ": missing\n";
            }
        }
        Fail("the folder is not as expected", difference + context);
    }

    // What texweld welds from the new set is the file itself.
    if (expect.split) {
        const std::string welded = layout.folder + "/welded.dds";
        const std::string weldLine = texweld_inprocess::RunTexweld({ChunkName(layout.base, 0), welded});
        Require(weldLine == expected_lines::Unsplit(layout.base) + "\n", "texweld did not weld the new set",
                weldLine + context);
        Require(texweld_test::ReadFileBytes(welded) == splitCase.file, "the welded set differs from the file",
                context);
    }
    scratch.Clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PrepareOnce();
    RunOne(texweld_fuzz::DecodeSplitCase(data, size));
    return 0;
}
