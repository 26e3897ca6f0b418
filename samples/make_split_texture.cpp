// Writes a split DDS texture of our own making: a procedural picture in the
// chosen format, split into the chunk files <base>.0 ... <base>.N.
//
//   make_split_texture <dxt1|dxt5|argb32> <width> <height> <levels> <base> [joined.dds]
//
// With a sixth argument it also writes the whole texture, unsplit, there:
// what Texweld must reproduce byte for byte.
#include "samples/split_texture.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

bool ParseCount(const char* text, std::uint32_t& value) {
    char* end = nullptr;
    const unsigned long parsed = std::strtoul(text, &end, 10);
    if (end == text || *end != '\0' || parsed == 0 || parsed > 65536) {
        return false;
    }
    value = static_cast<std::uint32_t>(parsed);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    samplekit::SampleFormat format{};
    std::uint32_t width = 0, height = 0, levels = 0;
    if ((argc != 6 && argc != 7) || !samplekit::ParseSampleFormat(argv[1], format) || !ParseCount(argv[2], width) ||
        !ParseCount(argv[3], height) || !ParseCount(argv[4], levels)) {
        std::fprintf(stderr, "usage: make_split_texture <dxt1|dxt5|argb32> <width> <height> <levels> <base> [joined.dds]\n");
        return 2;
    }
    const samplekit::Bytes preamble = samplekit::MakePreamble(format, width, height, levels);
    const std::vector<samplekit::Bytes> mips = samplekit::MakeLevels(format, width, height, levels);
    if (!samplekit::WriteChunks(argv[5], samplekit::SplitTexture(preamble, mips))) {
        std::fprintf(stderr, "make_split_texture: cannot write the chunks of %s\n", argv[5]);
        return 1;
    }
    if (argc == 7 && !samplekit::WriteFileBytes(argv[6], samplekit::JoinTexture(preamble, mips))) {
        std::fprintf(stderr, "make_split_texture: cannot write %s\n", argv[6]);
        return 1;
    }
    return 0;
}
