// Fuzz target over one whole run of Texweld: the command line, the first
// chunk, the numbered chunks and what the folder held before.
//
// Each input (layout in fuzz_case.h) is written out as files in a scratch
// folder, TexweldMain runs in this process with its standard output
// captured, and the run is then checked against a model of the program
// (here and in fuzz_kit.h), written from the file layout and the messages:
//  - exactly one line is printed, and it is the line the model predicts;
//  - the output file exists only after the success line, and then holds
//    exactly the preamble, the numbered chunks largest first, the rest of the
//    first chunk and zeros up to the size the header gives;
//  - on every other line every file is as it was before (an earlier output
//    included) and nothing was added: no temporary file remains;
//  - every block obtained through the allocation hooks during the run was
//    given back, no block was larger than the copy block for the header's
//    checked total size or the first chunk (rounded up to the buffers'
//    granularity) call for, and no file descriptor was left open.
// A failed check prints what differed and aborts. The model knows the
// allocation cap.
#include "app/entry.h"
#include "fuzz/fuzz_case.h"
#include "fuzz/fuzz_kit.h"
#include "tests/support/expected_lines.h"
#include "tests/support/in_process_run.h"
#include "tests/support/test_support.h"
#include "samples/split_texture.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using texweld_fuzz::ArgumentForm;
using texweld_fuzz::FuzzCase;
using texweld_fuzz::OutputKind;
using texweld_inprocess::ScratchFolder;
using namespace texweld_fuzz;

const std::string kEarlierOutput = "an output from an earlier run\n";

// ---------------------------------------------------------------------------
// One input laid out as files.

struct Layout {
    std::string folder;  // where the chunks are
    std::string base;
    std::vector<std::string> arguments;  // after the program's own name
    std::string output;                  // the output argument as given
    bool outputIsPlainFile = false;      // an ordinary file name beside the chunks
    std::string written;                 // the file a successful run writes
};

// What the model says a run prints and leaves.
struct Expectation {
    std::string line;
    bool written = false;
    std::string output;  // the output's bytes when written
    std::uint64_t largestAllocation = kNameAllowance;
};

bool Readable(const FuzzCase& fuzzCase, std::uint64_t chunk) {
    if (chunk >= fuzzCase.files.size()) {
        return false;
    }
    return chunk == 0 ? fuzzCase.folderChunk != texweld_fuzz::kFirstChunkIsFolder : fuzzCase.folderChunk != chunk;
}

Expectation Predict(const FuzzCase& fuzzCase, const Layout& layout) {
    Expectation expect;
    for (const std::string& file : fuzzCase.files) {
        expect.largestAllocation = std::max(expect.largestAllocation, RoundUp(file.size()));
    }
    if (fuzzCase.form == ArgumentForm::None) {
        expect.line = expected_lines::kUsage;
        return expect;
    }
    const std::string& base = layout.base;
    if (!Readable(fuzzCase, 0)) {
        expect.line = expected_lines::NotFound(base);
        return expect;
    }
    const std::string& first = fuzzCase.files[0];
    const ModelPreamble read = ReadModelPreamble(first);
    if (!read.failure.empty()) {
        expect.line = read.failure;
        return expect;
    }
    const Element element = read.element;
    const std::uint32_t width = read.width, height = read.height, depth = read.depth, mipCount = read.mipCount;
    const std::optional<std::uint64_t> chain = ChainBytes(width, height, depth, mipCount, element);
    if (chain) {
        expect.largestAllocation = std::max(expect.largestAllocation, CopyBlockAllocation(kPreamble + *chain));
    }
    if (!chain || CopyBlockAllocation(kPreamble + *chain) > kAllocationCap) {
        expect.line = expected_lines::kNoOutputBuffer;
        return expect;
    }
    const std::uint64_t total = kPreamble + *chain;
    std::string image = first.substr(0, kPreamble);

    const std::uint32_t difference = mipCount - 3u;
    const std::uint64_t numbered = difference >= 1 && difference <= INT32_MAX ? difference : 0;
    for (std::uint64_t chunk = numbered; chunk >= 1; --chunk) {
        if (!Readable(fuzzCase, chunk)) {
            expect.line = expected_lines::ChunkUnreadable(static_cast<std::int64_t>(chunk));
            return expect;
        }
        const std::string& content = fuzzCase.files[chunk];
        const std::optional<std::uint64_t> size = ChunkBytes(width, height, depth, numbered - chunk, element);
        if (!size || content.size() != *size) {
            expect.line = expected_lines::ChunkSizeWrong(static_cast<std::int64_t>(chunk));
            return expect;
        }
        if (image.size() + content.size() > total) {
            expect.line = expected_lines::ChunkDoesntFit(static_cast<std::int64_t>(chunk));
            return expect;
        }
        image += content;
    }
    if (image.size() + (first.size() - kPreamble) > total) {
        expect.line = expected_lines::kFirstChunkDoesntFit;
        return expect;
    }
    image.append(first, kPreamble);
    image.resize(total, '\0');

    if (fuzzCase.form != ArgumentForm::FirstChunk && fuzzCase.output != OutputKind::Plain) {
        expect.line = expected_lines::CannotOpen(layout.output);
        return expect;
    }
    const std::uint32_t limit = texweld_fuzz::FileSizeLimitBytes(fuzzCase.fileSizeLimit);
    if (limit != 0 && image.size() > limit) {
        expect.line = expected_lines::kWriteFailed;
        // A replaced file, a link's target too, stays as it was.
        return expect;
    }
    expect.line = expected_lines::Unsplit(base);
    expect.written = true;
    expect.output = std::move(image);
    return expect;
}


Layout WriteOut(const FuzzCase& fuzzCase, const ScratchFolder& scratch) {
    Layout layout;
    layout.folder = scratch.Path();
    std::string stem = fuzzCase.upperCase ? "TEX.DDS" : "tex.dds";
    if (fuzzCase.longNames) {
        // Past the 260 bytes a string buffer keeps inline, for every name.
        layout.folder += "/" + std::string(200, 'f');
        Require(MakeFolder(layout.folder), "cannot make the long folder");
        stem = std::string(60, 'g') + stem.substr(3);
    }
    layout.base = layout.folder + "/" + stem;

    for (std::size_t chunk = 0; chunk <= fuzzCase.numbered; ++chunk) {
        const std::string name = layout.base + "." + std::to_string(chunk);
        const bool folder = chunk == 0 ? fuzzCase.folderChunk == texweld_fuzz::kFirstChunkIsFolder
                                       : fuzzCase.folderChunk == chunk;
        if (folder) {
            Require(MakeFolder(name), "cannot make folder " + name);
        } else if (chunk < fuzzCase.files.size()) {
            texweld_test::WriteFileBytes(name, fuzzCase.files[chunk]);
        }
    }

    if (fuzzCase.form == ArgumentForm::None) {
        return layout;
    }
    layout.arguments.push_back(fuzzCase.nameBase ? layout.base : layout.base + ".0");
    if (fuzzCase.form == ArgumentForm::FirstChunk) {
        layout.output = layout.base;
        layout.outputIsPlainFile = true;
    } else {
        switch (fuzzCase.output) {
        case OutputKind::Plain:
            layout.output = layout.folder + "/out.dds";
            layout.outputIsPlainFile = true;
            break;
        case OutputKind::InMissingFolder:
            layout.output = layout.folder + "/missing/out.dds";
            break;
        case OutputKind::Empty:
            break;
        case OutputKind::Folder:
            layout.output = layout.folder + "/folder.dds";
            Require(MakeFolder(layout.output), "cannot make the output folder");
            break;
        }
        layout.arguments.push_back(layout.output);
        if (fuzzCase.form == ArgumentForm::WithExtra) {
            layout.arguments.push_back(layout.folder + "/extra.dds");
        }
    }
    layout.written = layout.output;
    if (layout.outputIsPlainFile && fuzzCase.outputIsLink) {
        // Replaced at its target; a link to nothing creates its target.
        layout.written = layout.folder + "/target.dds";
        Require(::symlink("target.dds", layout.output.c_str()) == 0, "cannot make the output link");
    }
    if (fuzzCase.outputExists && layout.outputIsPlainFile) {
        texweld_test::WriteFileBytes(layout.written, kEarlierOutput);
    }
    if (fuzzCase.temporaryNameTaken) {
        const std::string taken = layout.folder + "/.texweld-" + std::to_string(::getpid()) + "-0.tmp";
        texweld_test::WriteFileBytes(taken, "taken");
    }
    return layout;
}


std::string Describe(const FuzzCase& fuzzCase, const Layout& layout) {
    std::string text = "arguments:";
    for (const std::string& argument : layout.arguments) {
        text += " \"" + argument + "\"";
    }
    text += "\nfiles:";
    for (std::size_t i = 0; i < fuzzCase.files.size(); ++i) {
        text += " ." + std::to_string(i) + "=" + std::to_string(fuzzCase.files[i].size()) + "B";
    }
    text += "\nfolder chunk: " + std::to_string(fuzzCase.folderChunk) +
            ", earlier output: " + (fuzzCase.outputExists ? "yes" : "no") +
            ", output link: " + (fuzzCase.outputIsLink ? "yes" : "no") +
            ", temporary name taken: " + (fuzzCase.temporaryNameTaken ? "yes" : "no") +
            ", file size limit: " + std::to_string(texweld_fuzz::FileSizeLimitBytes(fuzzCase.fileSizeLimit));
    return text;
}


void RunOne(const FuzzCase& fuzzCase) {
    const ScratchFolder& scratch = Scratch();
    const Layout layout = WriteOut(fuzzCase, scratch);
    const Expectation expect = Predict(fuzzCase, layout);
    const std::string context = Describe(fuzzCase, layout);

    const std::set<std::string> namesBefore = scratch.Listing();
    const std::map<std::string, std::string> before = Contents(scratch);
    const int openDescriptors = texweld_inprocess::CountOpenDescriptors();

    texweld_inprocess::ArgumentVector argv(layout.arguments);
    const std::uint32_t limit = texweld_fuzz::FileSizeLimitBytes(fuzzCase.fileSizeLimit);
    rlimit unlimited{};
    Require(::getrlimit(RLIMIT_FSIZE, &unlimited) == 0, "cannot read the file size limit");
    Watch& watch = CurrentWatch();
    watch = Watch{};
    const std::string printed = texweld_inprocess::CaptureStdout([&] {
        if (limit != 0) {
            const rlimit limited{std::min<rlim_t>(limit, unlimited.rlim_max), unlimited.rlim_max};
            Require(::setrlimit(RLIMIT_FSIZE, &limited) == 0, "cannot limit the file size");
        }
        watch.active = true;
        TexweldMain(argv.Count(), argv.Values());
        watch.active = false;
        if (limit != 0) {
            Require(::setrlimit(RLIMIT_FSIZE, &unlimited) == 0, "cannot lift the file size limit");
        }
    });
    const Watch watched = watch;

    Require(std::count(printed.begin(), printed.end(), '\n') == 1 && printed.back() == '\n',
            "not exactly one line printed", "\"" + printed + "\"\n" + context);
    const std::string line = printed.substr(0, printed.size() - 1);
    Require(line == expect.line, "unexpected line",
            "printed:  \"" + line + "\"\nexpected: \"" + expect.line + "\"\n" + context);
    Require(watched.outstanding == 0, "blocks not given back: " + std::to_string(watched.outstanding), context);
    Require(watched.largest <= expect.largestAllocation,
            "allocation of " + std::to_string(watched.largest) + " bytes where at most " +
                std::to_string(expect.largestAllocation) + " are called for",
            context);
    Require(texweld_inprocess::CountOpenDescriptors() == openDescriptors, "a file descriptor was left open", context);

    // Only the output may have changed, and only on success.
    std::set<std::string> namesExpected = namesBefore;
    std::map<std::string, std::string> expected = before;
    if (expect.written) {
        const std::string name = layout.written.substr(scratch.Path().size() + 1);
        namesExpected.insert(name);
        expected[name] = expect.output;
    }
    Require(scratch.Listing() == namesExpected, "files appeared or vanished", context);
    const std::map<std::string, std::string> after = Contents(scratch);
    for (const auto& [name, bytes] : expected) {
        const auto found = after.find(name);
        if (found == after.end() || found->second != bytes) {
            const std::string held = found == after.end() ? "nothing" : std::to_string(found->second.size()) + " bytes";
            Fail(name + " holds " + held + " where " + std::to_string(bytes.size()) + " bytes were expected", context);
        }
    }
    scratch.Clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PrepareOnce();
    RunOne(texweld_fuzz::DecodeFuzzCase(data, size));
    return 0;
}
