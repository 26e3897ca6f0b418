// Makes the fuzz targets' seed corpora: split textures of several formats
// and shapes that reassemble, and damaged or hostile ones that fail at each
// of texweld's checks, each encoded as one input of reassembly_fuzzer; and
// the same textures joined into whole files, each with an earlier set to
// replace or none, as inputs of split_fuzzer.
//
//   make_fuzz_corpus write <folder> <split folder>   writes every seed there
//   make_fuzz_corpus check <folder> <split folder>   exits 1 unless every
//       seed is there with exactly these bytes (other files, such as inputs
//       kept from fuzzing, may be there too)
#include "fuzz/fuzz_case.h"
#include "samples/split_texture.h"
#include "tests/support/test_support.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using samplekit::Bytes;
using samplekit::HeaderFields;
using samplekit::SampleFormat;
using samplekit::Shape;
using samplekit::WithFourCC;
using samplekit::WithPixels;
using texweld_fuzz::ArgumentForm;
using texweld_fuzz::FuzzCase;
using texweld_fuzz::OutputKind;

std::string Text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// The files of a split texture, first chunk first, in a case that names the
// first chunk and writes the base.
FuzzCase SplitCase(const Bytes& preamble, const std::vector<Bytes>& levels) {
    FuzzCase fuzzCase;
    fuzzCase.form = ArgumentForm::FirstChunk;
    for (const samplekit::Chunk& chunk : samplekit::SplitTexture(preamble, levels)) {
        fuzzCase.files.push_back(Text(chunk.content));
    }
    fuzzCase.numbered = static_cast<std::uint8_t>(fuzzCase.files.size() - 1);
    return fuzzCase;
}

FuzzCase Sample(SampleFormat format, std::uint32_t width, std::uint32_t height, std::uint32_t mipCount) {
    return SplitCase(samplekit::MakePreamble(format, width, height, mipCount),
                     samplekit::MakeLevels(format, width, height, mipCount, width + mipCount));
}

// A texture of any format: `blocks` and `bytes` say how it stores a level.
// Levels are filled with a byte of their own and stop at the 1x1x1 level.
FuzzCase Marked(const HeaderFields& fields, bool blocks, std::uint32_t bytes) {
    std::vector<Bytes> levels;
    for (std::uint32_t level = 0; level < std::max<std::uint32_t>(fields.mipCount, 1); ++level) {
        const std::uint32_t w = samplekit::DimensionAtLevel(fields.width, level);
        const std::uint32_t h = samplekit::DimensionAtLevel(fields.height, level);
        const std::uint32_t d = samplekit::DimensionAtLevel(fields.depth, level);
        const auto size = static_cast<std::size_t>(samplekit::ElementLevelBytes(blocks, bytes, w, h, d));
        levels.emplace_back(size, static_cast<std::uint8_t>(0xA0 + level));
        if (w == 1 && h == 1 && d == 1) {
            break;
        }
    }
    return SplitCase(samplekit::MakePreamble(fields), levels);
}

HeaderFields Dxt1(std::uint32_t width, std::uint32_t height, std::uint32_t mipCount) {
    return samplekit::SampleHeaderFields(SampleFormat::Dxt1, width, height, mipCount);
}

HeaderFields Argb32(std::uint32_t width, std::uint32_t height, std::uint32_t mipCount) {
    return samplekit::SampleHeaderFields(SampleFormat::Argb32, width, height, mipCount);
}

HeaderFields Dxt1Volume(std::uint32_t width, std::uint32_t height, std::uint32_t depth, std::uint32_t mipCount) {
    return WithFourCC(Shape(width, height, depth, mipCount), samplekit::FourCC('D', 'X', 'T', '1'));
}

// Rewrites the mip count in the first chunk's header.
void SetMipCount(FuzzCase& fuzzCase, std::uint32_t mipCount) {
    for (std::size_t i = 0; i < 4; ++i) {
        fuzzCase.files[0][28 + i] = static_cast<char>((mipCount >> (8 * i)) & 0xFF);
    }
}

// A lone first chunk: the preamble of `fields` and `extra` bytes after it.
FuzzCase FirstChunkOnly(const HeaderFields& fields, std::size_t extra = 0) {
    FuzzCase fuzzCase;
    fuzzCase.form = ArgumentForm::FirstChunk;
    fuzzCase.files.push_back(Text(samplekit::MakePreamble(fields)) + std::string(extra, '\x5A'));
    return fuzzCase;
}

FuzzCase With(FuzzCase fuzzCase, const std::function<void(FuzzCase&)>& edit) {
    edit(fuzzCase);
    return fuzzCase;
}

struct Seed {
    std::string name;
    FuzzCase fuzzCase;
};

std::vector<Seed> Seeds() {
    const FuzzCase dxt1 = Sample(SampleFormat::Dxt1, 32, 32, 6);  // chunks .0 to .3
    std::vector<Seed> seeds = {
        // Textures that reassemble.
        {"ok-dxt1-32x32-6-levels", dxt1},
        {"ok-dxt5-16x16-5-levels-named-output", With(Sample(SampleFormat::Dxt5, 16, 16, 5),
                                                     [](FuzzCase& c) {
                                                         c.form = ArgumentForm::WithOutput;
                                                         c.outputExists = true;
                                                     })},
        {"ok-argb32-8x4-4-levels-base-named", With(Sample(SampleFormat::Argb32, 8, 4, 4),
                                                   [](FuzzCase& c) { c.nameBase = true; })},
        {"ok-dxt1-64x64-7-levels-long-capital-names", With(Sample(SampleFormat::Dxt1, 64, 64, 7),
                                                           [](FuzzCase& c) {
                                                               c.longNames = true;
                                                               c.upperCase = true;
                                                               c.form = ArgumentForm::WithExtra;
                                                           })},
        {"ok-dxt5-8x8-2-levels-no-numbered-chunk", Sample(SampleFormat::Dxt5, 8, 8, 2)},
        {"ok-dxt1-0-levels", Sample(SampleFormat::Dxt1, 8, 8, 0)},
        {"ok-dxt1-volume-8x8x4", Marked(Dxt1Volume(8, 8, 4, 4), true, 8)},
        {"ok-ati2-12x20", Marked(WithFourCC(Shape(12, 20, 0, 5), samplekit::FourCC('A', 'T', 'I', '2')), true, 16)},
        {"ok-ctx1-16x8", Marked(WithFourCC(Shape(16, 8, 0, 5), samplekit::FourCC('C', 'T', 'X', '1')), true, 8)},
        {"ok-r32f-8x8", Marked(WithFourCC(Shape(8, 8, 0, 4), 114), false, 4)},
        {"ok-a16b16g16r16f-4x4", Marked(WithFourCC(Shape(4, 4, 0, 3), 113), false, 8)},
        {"ok-v16u16-8x2", Marked(WithPixels(Shape(8, 2, 0, 4), 0x80000, 32, 0xFFFF, 0xFFFF0000, 0, 0), false, 4)},
        {"ok-argb16-6x6", Marked(WithPixels(Shape(6, 6, 0, 3), 0x41, 16, 0x0F00, 0x00F0, 0x000F, 0xF000), false, 2)},
        {"ok-rgb24-5x3", Marked(WithPixels(Shape(5, 3, 0, 3), 0x40, 24, 0xFF0000, 0xFF00, 0xFF, 0), false, 3)},
        {"ok-l8-16x1", Marked(WithPixels(Shape(16, 1, 0, 5), 0x20000, 8, 0xFF, 0, 0, 0), false, 1)},
        {"ok-a8-4x4-volume-4", Marked(WithPixels(Shape(4, 4, 4, 3), 0x2, 8, 0, 0, 0, 0xFF), false, 1)},
        {"ok-first-chunk-preamble-only", FirstChunkOnly(Dxt1(16, 16, 3))},

        // The command line and the folder.
        {"usage-no-argument", FuzzCase{}},
        {"first-chunk-missing", With(dxt1, [](FuzzCase& c) { c.files.clear(); })},
        {"first-chunk-is-a-folder", With(dxt1, [](FuzzCase& c) { c.folderChunk = texweld_fuzz::kFirstChunkIsFolder; })},
        {"chunk-2-is-a-folder", With(dxt1, [](FuzzCase& c) { c.folderChunk = 2; })},
        {"largest-chunk-missing", With(dxt1, [](FuzzCase& c) { c.files.pop_back(); })},
        {"output-in-missing-folder", With(dxt1, [](FuzzCase& c) {
             c.form = ArgumentForm::WithOutput;
             c.output = OutputKind::InMissingFolder;
         })},
        {"output-empty-name", With(dxt1, [](FuzzCase& c) {
             c.form = ArgumentForm::WithOutput;
             c.output = OutputKind::Empty;
         })},
        {"ok-output-through-a-link", With(dxt1, [](FuzzCase& c) {
             c.form = ArgumentForm::WithOutput;
             c.outputExists = true;
             c.outputIsLink = true;
         })},
        {"ok-output-link-to-nothing", With(dxt1, [](FuzzCase& c) { c.outputIsLink = true; })},
        {"ok-temporary-name-taken", With(dxt1, [](FuzzCase& c) {
             c.outputExists = true;
             c.temporaryNameTaken = true;
         })},
        {"write-cut-short-replacing", With(Sample(SampleFormat::Dxt1, 64, 64, 7), [](FuzzCase& c) {
             c.outputExists = true;
             c.fileSizeLimit = 1;
         })},
        {"write-cut-short-through-a-link", With(Sample(SampleFormat::Dxt1, 64, 64, 7), [](FuzzCase& c) {
             c.outputExists = true;
             c.outputIsLink = true;
             c.fileSizeLimit = 2;
         })},
        {"ok-write-within-the-size-limit", With(dxt1, [](FuzzCase& c) { c.fileSizeLimit = 1; })},
        {"output-is-a-folder", With(dxt1, [](FuzzCase& c) {
             c.form = ArgumentForm::WithOutput;
             c.output = OutputKind::Folder;
         })},

        // Damaged first chunks.
        {"bad-magic", With(dxt1, [](FuzzCase& c) { c.files[0][0] = 'd'; })},
        {"unknown-format", FirstChunkOnly(WithFourCC(Shape(4, 4, 0, 1), samplekit::FourCC('D', 'X', 'T', '9')))},
        {"first-chunk-trailing-byte", With(dxt1, [](FuzzCase& c) { c.files[0] += '\x01'; })},
        {"first-chunk-of-a-plain-file-too-long", FirstChunkOnly(Dxt1(4, 4, 1), 9)},

        // Damaged numbered chunks.
        {"chunk-3-one-byte-longer", With(dxt1, [](FuzzCase& c) { c.files[3] += '\x02'; })},
        {"chunk-2-one-byte-shorter", With(dxt1, [](FuzzCase& c) { c.files[2].pop_back(); })},
        {"chunk-1-empty", With(dxt1, [](FuzzCase& c) { c.files[1].clear(); })},
        {"chunk-3-empty", With(dxt1, [](FuzzCase& c) { c.files[3].clear(); })},
        {"chunks-swapped", With(dxt1, [](FuzzCase& c) { std::swap(c.files[1], c.files[3]); })},

        // Hostile headers.
        {"width-0x80000000", FirstChunkOnly(Dxt1(0x80000000u, 4, 1))},
        {"width-0xffffffff", FirstChunkOnly(Dxt1(0xFFFFFFFFu, 4, 1))},
        {"height-0x80000000", FirstChunkOnly(Dxt1(4, 0x80000000u, 1))},
        {"height-0xffffffff", FirstChunkOnly(Dxt1(4, 0xFFFFFFFFu, 1))},
        {"both-dimensions-0xffffffff", FirstChunkOnly(Dxt1(0xFFFFFFFFu, 0xFFFFFFFFu, 1))},
        {"depth-0xffffffff", FirstChunkOnly(Dxt1Volume(4, 4, 0xFFFFFFFFu, 1))},
        {"depth-0x7fffffff", FirstChunkOnly(Dxt1Volume(4, 4, 0x7FFFFFFF, 2))},
        {"depth-65536-beyond-4gib", FirstChunkOnly(Dxt1Volume(1024, 1024, 0x10000, 1))},
        {"size-beyond-4gib", FirstChunkOnly(Argb32(65536, 65536, 1))},
        {"size-wraps-to-zero", FirstChunkOnly(Argb32(65536, 16384, 1))},
        {"image-of-4mib", FirstChunkOnly(Argb32(1024, 1024, 1))},
        {"mip-count-0x7fffffff-with-chunks", With(dxt1, [](FuzzCase& c) { SetMipCount(c, 0x7FFFFFFF); })},
        {"mip-count-0xffffffff-with-chunks", With(dxt1, [](FuzzCase& c) { SetMipCount(c, 0xFFFFFFFF); })},
        {"mip-count-0x7fffffff-alone", FirstChunkOnly(Dxt1(32, 32, 0x7FFFFFFFu), 24)},
        {"mip-count-0xffffffff-alone", FirstChunkOnly(Dxt1(32, 32, 0xFFFFFFFFu), 24)},
        {"mip-count-0x80000001", FirstChunkOnly(Dxt1(32, 32, 0x80000001u), 24)},
        {"mip-count-0xffffffff-first-chunk-too-long", FirstChunkOnly(Dxt1(4, 4, 0xFFFFFFFFu), 9)},
        {"mip-count-past-the-chain", With(Marked(Dxt1Volume(4, 4, 0, 3), true, 8),
                                          [](FuzzCase& c) {
                                              // Seven levels counted, three exist: four numbered chunks
                                              // of 8 bytes each, the image has room for 24.
                                              SetMipCount(c, 7);
                                              c.files[0].resize(128);
                                              c.files.assign({c.files[0], std::string(8, 'a'), std::string(8, 'b'),
                                                              std::string(8, 'c'), std::string(8, 'd')});
                                              c.numbered = 4;
                                          })},
        {"all-dimensions-zero", FirstChunkOnly(Dxt1(0, 0, 3), 8)},
        {"all-dimensions-zero-without-bytes", FirstChunkOnly(Dxt1(0, 0, 3))},
    };
    for (const std::size_t length : {0, 1, 4, 64, 127}) {
        seeds.push_back({"truncated-preamble-" + std::to_string(length),
                         With(dxt1, [length](FuzzCase& c) {
                             c.files.resize(1);
                             c.files[0].resize(length);
                         })});
    }
    return seeds;
}

// The whole file a split case's chunks come from: the preamble, the numbered
// chunks largest first, then the rest of the first chunk. Damaged cases give
// files of the wrong size or with a hostile header.
texweld_fuzz::SplitCase Joined(const FuzzCase& fuzzCase) {
    texweld_fuzz::SplitCase splitCase;
    if (!fuzzCase.files.empty()) {
        const std::string& first = fuzzCase.files[0];
        const std::size_t preamble = std::min<std::size_t>(first.size(), 128);
        splitCase.file = first.substr(0, preamble);
        for (std::size_t chunk = fuzzCase.files.size() - 1; chunk >= 1; --chunk) {
            splitCase.file += fuzzCase.files[chunk];
        }
        splitCase.file += first.substr(preamble);
    }
    // A second name, an earlier set to replace (larger than the new one
    // where the case says an output was there before), and long names, as
    // the case asks for their counterparts.
    splitCase.baseNamed = fuzzCase.form == ArgumentForm::WithOutput;
    splitCase.earlierSet = fuzzCase.outputExists || fuzzCase.numbered > 2;
    splitCase.earlierNumbered = static_cast<std::uint8_t>(fuzzCase.outputExists ? fuzzCase.numbered + 2 : 1);
    splitCase.longNames = fuzzCase.longNames;
    return splitCase;
}

// Writes or checks one seed; returns whether it is as made.
bool Put(bool write, const std::string& path, const std::string& input) {
    if (write) {
        texweld_test::WriteFileBytes(path, input);
        return true;
    }
    if (texweld_test::ReadFileBytes(path) != input) {
        std::fprintf(stderr, "%s is missing or differs from what make_fuzz_corpus makes\n", path.c_str());
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const bool write = argc == 4 && std::strcmp(argv[1], "write") == 0;
    const bool check = argc == 4 && std::strcmp(argv[1], "check") == 0;
    if (!write && !check) {
        std::fprintf(stderr, "usage: make_fuzz_corpus write|check <folder> <split folder>\n");
        return 2;
    }
    int problems = 0;
    std::size_t splitSeeds = 0;
    for (const Seed& seed : Seeds()) {
        problems += Put(write, std::string(argv[2]) + "/" + seed.name, texweld_fuzz::EncodeFuzzCase(seed.fuzzCase)) ? 0 : 1;
        if (seed.fuzzCase.form != ArgumentForm::None && !seed.fuzzCase.files.empty()) {
            ++splitSeeds;
            problems += Put(write, std::string(argv[3]) + "/" + seed.name,
                            texweld_fuzz::EncodeSplitCase(Joined(seed.fuzzCase))) ? 0 : 1;
        }
    }
    if (problems == 0) {
        std::printf("%s: %zu seeds, %zu split seeds\n", write ? "written" : "checked", Seeds().size(), splitSeeds);
    }
    return problems == 0 ? 0 : 1;
}
