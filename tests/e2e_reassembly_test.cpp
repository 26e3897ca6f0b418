// End-to-end: textures of every shape and format reassembled, split back,
// and the bundled sample.
#include "tests/support/e2e_kit.h"

namespace {

using namespace e2e;
using e2e::PrintTo;

// ---------------------------------------------------------------------------
// Reassembly of well-formed textures, in the sample formats and beyond them,
// and volume textures: the header alone decides every level's size. Each
// level is marked with its own byte, so an equal output also shows every
// level landed where it belongs, largest first.

struct TextureCase {
    const char* label;
    HeaderFields fields;
    bool blocks;  // 4x4 blocks of `bytesPerElement` bytes, else pixels
    std::uint32_t bytesPerElement;
    bool preambleOnly = false;  // a first chunk of the preamble alone
};

class TexweldReassembly : public TexweldE2e, public ::testing::WithParamInterface<TextureCase> {};

TEST_P(TexweldReassembly, PlacesEveryLevelLargestFirstAtItsHeaderSize) {
    const TextureCase& c = GetParam();
    Texture texture = MarkedTexture(c.fields, c.blocks, c.bytesPerElement);
    const std::size_t numbered = dir.PutSplitByCount("tex.dds", texture, c.fields.mipCount);
    if (c.preambleOnly) {
        // The levels the first chunk would carry are left zero.
        dir.Put("tex.dds.0", texture.preamble);
        for (std::size_t level = numbered; level < texture.levels.size(); ++level) {
            std::fill(texture.levels[level].begin(), texture.levels[level].end(), 0);
        }
    }
    // A folder where the chunk after the last one would be: reading it fails.
    dir.MakeFolder("tex.dds." + std::to_string(numbered + 1));
    // An earlier output one byte longer: the new one must not keep its tail.
    const Bytes expected = texture.Joined();
    dir.Put("tex.dds", Bytes(expected.size() + 1, 0xEE));

    const Outcome outcome = Run({"tex.dds.0"});
    EXPECT_EQ(outcome.line, Unsplit("tex.dds"));
    EXPECT_EQ(outcome.added, Names{});
    EXPECT_EQ(outcome.removed, Names{});
    EXPECT_TRUE(SameBytes(dir.Get("tex.dds"), expected));
}

// texsplit, the inverse: the whole texture splits back into exactly the
// chunks it came from, and those reassemble into it. A header whose count
// runs past the chain is not a whole texture, and is refused.
TEST_P(TexweldReassembly, SplitsBackIntoTheChunksItCameFrom) {
    const TextureCase& c = GetParam();
    if (c.preambleOnly) {
        GTEST_SKIP() << "a first chunk without its levels is not a whole texture";
    }
    const Texture texture = MarkedTexture(c.fields, c.blocks, c.bytesPerElement);
    const std::size_t numbered = dir.PutSplitByCount("kit/tex.dds", texture, c.fields.mipCount);
    dir.Put("whole.dds", texture.Joined());
    // Chunks of an earlier, larger split under the same base: a success
    // removes them with the rest of the old set, a failure keeps them.
    const std::string stale1 = "tex.dds." + std::to_string(numbered + 1);
    const std::string stale2 = "tex.dds." + std::to_string(numbered + 2);
    dir.Put(stale1, ToBytes("stale"));
    dir.Put(stale2, ToBytes("stale"));
    const auto counted = static_cast<std::int32_t>(c.fields.mipCount);
    const bool pastTheChain = counted > 0 && static_cast<std::size_t>(counted) > texture.levels.size();

    const RunResult split = texweld_e2e::RunTexsplit({"whole.dds", "tex.dds"}, Here());
    const std::string line = OneLineOfSplit(split, pastTheChain ? 1 : 0);
    if (pastTheChain) {
        EXPECT_EQ(line.rfind(kSplitCountPastTheChain.substr(0, kSplitCountPastTheChain.size() - 1) + ": it counts ", 0), 0u)
            << line;
        EXPECT_FALSE(fs::exists(dir.At("tex.dds.0")));
        EXPECT_TRUE(fs::exists(dir.At(stale2)));
        return;
    }
    EXPECT_EQ(line, Split("whole.dds", static_cast<int>(numbered + 1), "tex.dds"));
    for (std::size_t k = 0; k <= numbered; ++k) {
        const std::string name = "tex.dds." + std::to_string(k);
        EXPECT_TRUE(SameBytes(dir.Get(name), dir.Get("kit/" + name))) << name;
    }
    EXPECT_FALSE(fs::exists(dir.At(stale1)));
    EXPECT_FALSE(fs::exists(dir.At(stale2)));
    EXPECT_EQ(Run({"tex.dds.0", "back.dds"}).line, Unsplit("tex.dds"));
    EXPECT_TRUE(SameBytes(dir.Get("back.dds"), texture.Joined()));
}

const HeaderFields k20x12 = Shape(20, 12, 0, 5);  // 20x12, 10x6, 5x3, 2x1, 1x1

INSTANTIATE_TEST_SUITE_P(
    Textures, TexweldReassembly,
    ::testing::Values(
        TextureCase{"Dxt1Square256", Fields(SampleFormat::Dxt1, 256, 256, 9), true, 8},
        TextureCase{"Dxt1Tall8x1024", Fields(SampleFormat::Dxt1, 8, 1024, 11), true, 8},
        TextureCase{"Dxt5Square128", Fields(SampleFormat::Dxt5, 128, 128, 8), true, 16},
        TextureCase{"Dxt5NotPowerOfTwo100x60", Fields(SampleFormat::Dxt5, 100, 60, 7), true, 16},
        TextureCase{"Dxt5ChainCutShort", Fields(SampleFormat::Dxt5, 64, 64, 5), true, 16},
        TextureCase{"Argb32Wide64x32", Fields(SampleFormat::Argb32, 64, 32, 7), false, 4},
        TextureCase{"Argb32Strip64x1", Fields(SampleFormat::Argb32, 64, 1, 7), false, 4},
        TextureCase{"Dxt1FourLevelsOneNumberedChunk", Fields(SampleFormat::Dxt1, 32, 32, 4), true, 8},
        // Counts of 3 or fewer: a file never split, copied through whole.
        TextureCase{"NeverSplitDxt1ThreeLevels", Fields(SampleFormat::Dxt1, 32, 32, 3), true, 8},
        TextureCase{"NeverSplitDxt1TwoLevels", Fields(SampleFormat::Dxt1, 32, 32, 2), true, 8},
        TextureCase{"NeverSplitArgb32OneLevel", Fields(SampleFormat::Argb32, 16, 16, 1), false, 4},
        TextureCase{"NeverSplitDxt5ZeroLevels", Fields(SampleFormat::Dxt5, 16, 16, 0), true, 16},
        // A 128-byte first chunk, whatever the count.
        TextureCase{"PreambleOnlyZeroLevels", Fields(SampleFormat::Dxt1, 64, 64, 0), true, 8, true},
        TextureCase{"PreambleOnlyOneLevel", Fields(SampleFormat::Dxt1, 64, 64, 1), true, 8, true},
        TextureCase{"PreambleOnlyTwoLevels", Fields(SampleFormat::Dxt1, 64, 64, 2), true, 8, true},
        TextureCase{"PreambleOnlyThreeLevels", Fields(SampleFormat::Dxt1, 64, 64, 3), true, 8, true},
        TextureCase{"PreambleOnlySevenLevels", Fields(SampleFormat::Dxt1, 64, 64, 7), true, 8, true},
        TextureCase{"Dxt3", WithFourCC(k20x12, samplekit::FourCC('D', 'X', 'T', '3')), true, 16},
        TextureCase{"Ctx1", WithFourCC(k20x12, samplekit::FourCC('C', 'T', 'X', '1')), true, 8},
        TextureCase{"A16B16G16R16F", WithFourCC(k20x12, 113), false, 8},
        TextureCase{"V16U16", WithPixels(k20x12, 0x80000, 32, 0x0000FFFF, 0xFFFF0000, 0, 0), false, 4},
        TextureCase{"Rgb24", WithPixels(k20x12, 0x40, 24, 0xFF0000, 0xFF00, 0xFF, 0), false, 3},
        TextureCase{"Argb16", WithPixels(k20x12, 0x41, 16, 0x0F00, 0x00F0, 0x000F, 0xF000), false, 2},
        TextureCase{"Alpha8", WithPixels(k20x12, 0x2, 8, 0, 0, 0, 0xFF), false, 1},
        // 8x8x4, 4x4x2, 2x2x1, 1x1x1.
        TextureCase{"Dxt1Volume", Dxt1Shape(8, 8, 4, 4), true, 8},
        // The chain ends at 1x1x1 after four levels; the fifth counted is
        // nowhere, and the first chunk carries two levels, not three.
        TextureCase{"Argb32VolumeCountPastTheChain",
                    WithPixels(Shape(4, 4, 8, 5), 0x41, 32, 0xFF0000, 0xFF00, 0xFF, 0xFF000000), false, 4},
        TextureCase{"Dxt1CountPastTheChain", Dxt1Shape(16, 16, 0, 7), true, 8},
        TextureCase{"Dxt1NegativeCountIsOneLevel", Dxt1Shape(16, 16, 0, 0xFFFFFFFFu), true, 8},
        // The count less 3 is negative as a signed value: no numbered chunk.
        TextureCase{"Dxt1CountWithNegativeDifference", Dxt1Shape(16, 16, 0, 0x80000003u), true, 8},
        TextureCase{"Dxt1ZeroWidthIsOnePixel", Dxt1Shape(0, 16, 0, 4), true, 8}),
    ByLabel());

// The bundled sample is what the kit makes, in the chunk sizes the README
// documents, and reassembles into the rock.
TEST_F(TexweldE2e, BundledSampleIsTheKitsRockAndReassembles) {
    const std::string samples = TEXWELD_SAMPLES_DIR;
    dir.PutSplit("kit/rock.dds", RockTexture());
    const std::vector<std::uintmax_t> documentedSizes = {152, 32, 128, 512, 2048, 8192, 32768};
    ASSERT_EQ(dir.Listing().size(), 1 + documentedSizes.size()) << "the kit's chunks and their folder";
    for (std::size_t k = 0; k < documentedSizes.size(); ++k) {
        const std::string name = "rock.dds." + std::to_string(k);
        fs::copy_file(samples + "/" + name, dir.At(name));
        EXPECT_EQ(fs::file_size(dir.At(name)), documentedSizes[k]) << name;
        EXPECT_TRUE(SameBytes(dir.Get(name), dir.Get("kit/" + name))) << "samples/" << name << " is not the kit's";
    }
    const auto isRock = [](const auto& entry) { return entry.path().filename().string().rfind("rock.dds", 0) == 0; };
    EXPECT_EQ(std::count_if(fs::directory_iterator(samples), fs::directory_iterator(), isRock), 7)
        << "samples/ holds other rock.dds files";

    const Outcome outcome = Run({"rock.dds.0"});
    EXPECT_EQ(outcome.line, Unsplit("rock.dds"));
    EXPECT_EQ(outcome.added, Names{"rock.dds"});
    EXPECT_EQ(dir.Get("rock.dds").size(), 128u + 43704u);
    EXPECT_TRUE(SameBytes(dir.Get("rock.dds"), RockTexture().Joined()));
}

// The texture is streamed, never held: a 128-byte file that promises nearly
// 4 GiB must not make the run take memory for it before it fails.
TEST_F(TexweldE2e, PromisedTextureTakesNoMemory) {
    SKIP_FOR_WINDOWS_BUILD();
    dir.Put("tex.dds.0", samplekit::MakePreamble(Fields(SampleFormat::Argb32, 32768, 24000, 4)));
    const Outcome outcome = Run({"tex.dds.0"});
    EXPECT_EQ(outcome.line, ChunkUnreadable(1));
    struct rusage children {};
    ASSERT_EQ(::getrusage(RUSAGE_CHILDREN, &children), 0);
    // Far below what the header promises, with room for a sanitizer's own.
    EXPECT_LT(children.ru_maxrss, 1024 * 1024) << "peak resident kilobytes of the run";
}

}  // namespace
