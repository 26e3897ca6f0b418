// Fuzz target over the recovery of a chunk set: any bytes as the journal
// beside a set, with or without a backup and a staged file of a dead run,
// then a texweld of the set and a texsplit into it, in this process.
//
// Input: one byte of flags (bit 0: a backup of chunk 2 is left, a second
// name of that chunk as a commit makes it; bit 1: a staged file of chunk 4
// is left; bit 2: the journal is the done marker instead), then the
// journal's bytes. Checks:
//  - every file outside the set (another texture, another set, a file in a
//    folder of its own) is byte for byte as it was, and nothing appears but
//    the weld's output;
//  - a weld that succeeds gives the set's texture exactly: a rollback only
//    ever brings back what a commit kept;
//  - a split that succeeds leaves exactly the texture's chunks;
//  - each run prints one line, gives back every block, none larger than the
//    copy block or the names need, and leaves no descriptor open.
// A failed check prints what differed and aborts.
#include "app/entry.h"
#include "app/splitting.h"
#include "fuzz/fuzz_kit.h"
#include "samples/split_texture.h"
#include "tests/support/expected_lines.h"
#include "tests/support/in_process_run.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using namespace texweld_fuzz;

std::string AsString(const samplekit::Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Runs `body`, checking its one line and what it took from the hooks.
std::string Watched(const std::function<void()>& body, std::uint64_t largest, const std::string& what) {
    const int descriptors = texweld_inprocess::CountOpenDescriptors();
    Watch& watch = CurrentWatch();
    watch = Watch{};
    const std::string printed = texweld_inprocess::CaptureStdout([&] {
        watch.active = true;
        body();
        watch.active = false;
    });
    Require(std::count(printed.begin(), printed.end(), '\n') == 1 && printed.back() == '\n',
            what + ": not exactly one line", printed);
    Require(watch.outstanding == 0, what + ": blocks not given back", printed);
    Require(watch.largest <= largest, what + ": an allocation of " + std::to_string(watch.largest) + " bytes", printed);
    Require(texweld_inprocess::CountOpenDescriptors() == descriptors, what + ": a descriptor was left open", printed);
    return printed.substr(0, printed.size() - 1);
}

void RunOne(const std::uint8_t* data, std::size_t size) {
    const texweld_inprocess::ScratchFolder& scratch = Scratch();
    const std::string folder = scratch.Path();
    const std::uint8_t flags = size > 0 ? data[0] : 0;
    const std::string journal(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0), size > 0 ? size - 1 : 0);

    const samplekit::Bytes preamble = samplekit::MakePreamble(samplekit::SampleFormat::Dxt1, 64, 64, 7);
    const std::vector<samplekit::Bytes> levels = samplekit::MakeLevels(samplekit::SampleFormat::Dxt1, 64, 64, 7, 1);
    const std::vector<samplekit::Bytes> others = samplekit::MakeLevels(samplekit::SampleFormat::Dxt1, 64, 64, 7, 2);
    const std::vector<samplekit::Chunk> chunks = samplekit::SplitTexture(preamble, levels);
    const std::string texture = AsString(samplekit::JoinTexture(preamble, levels));
    Require(samplekit::WriteChunks(folder + "/t.dds", chunks) &&
                samplekit::WriteChunks(folder + "/o.dds", samplekit::SplitTexture(preamble, others)) &&
                samplekit::WriteFileBytes(folder + "/whole.dds", samplekit::JoinTexture(preamble, levels)) &&
                MakeFolder(folder + "/private") &&
                samplekit::WriteFileBytes(folder + "/private/secret", {'k', 'e', 'e', 'p'}),
            "cannot lay out the folder");
    const std::map<std::string, std::string> outside = Contents(scratch);
    if ((flags & 1) != 0) {
        Require(::link((folder + "/t.dds.2").c_str(), (folder + "/.t.dds.2.texweld-old").c_str()) == 0, "link");
    }
    if ((flags & 2) != 0) {
        Require(samplekit::WriteFileBytes(folder + "/.t.dds.4.texweld-new", {'h', 'a', 'l', 'f'}), "staged");
    }
    const std::string name = (flags & 4) != 0 ? "/.t.dds.texweld-done" : "/.t.dds.texweld-journal";
    Require(samplekit::WriteFileBytes(folder + name, samplekit::Bytes(journal.begin(), journal.end())), "journal");

    // The names, the first chunk (the split's first) read whole, the copy
    // block: never the journal, whatever its size.
    const std::uint64_t largest =
        std::max({kNameAllowance, RoundUp(chunks.front().content.size()), CopyBlockAllocation(texture.size())});
    const std::string weld = Watched(
        [&] {
            texweld_inprocess::ArgumentVector argv({folder + "/t.dds.0", folder + "/w.dds"});
            TexweldMain(argv.Count(), argv.Values());
        },
        largest, "texweld");
    const auto kept = [&](const std::string& what) {
        std::map<std::string, std::string> after = Contents(scratch);
        for (const auto& [file, bytes] : outside) {
            if (file.rfind("t.dds.", 0) != 0) {
                Require(after.count(file) == 1 && after[file] == bytes, what + " changed a file outside the set", file);
            }
        }
        for (const auto& [file, bytes] : after) {
            Require(outside.count(file) == 1 || file == "w.dds" || file.rfind("t.dds.", 0) == 0 ||
                        file.rfind(".t.dds.", 0) == 0,
                    what + " left a file outside the set", file);
        }
        return after;
    };
    const std::map<std::string, std::string> welded = kept("texweld");
    if (weld == expected_lines::Unsplit(folder + "/t.dds")) {
        Require(welded.count("w.dds") == 1 && welded.at("w.dds") == texture, "the weld is not the set's texture");
    }

    const std::string split = Watched(
        [&] {
            texweld_inprocess::ArgumentVector argv({folder + "/whole.dds", folder + "/t.dds"});
            TexsplitMain(argv.Count(), argv.Values());
        },
        largest, "texsplit");
    const std::map<std::string, std::string> after = kept("texsplit");
    if (split == expected_lines::Split(folder + "/whole.dds", static_cast<int>(chunks.size()), folder + "/t.dds")) {
        for (const samplekit::Chunk& chunk : chunks) {
            Require(after.at("t.dds" + chunk.suffix) == AsString(chunk.content), "a chunk is not the texture's");
        }
        for (const auto& [file, bytes] : after) {
            Require(file.rfind(".t.dds.", 0) != 0, "the split left a file of its commit", file);
        }
    }
    scratch.Clear();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    PrepareOnce();
    RunOne(data, size);
    return 0;
}
