#include "fuzz/fuzz_case.h"

#include <algorithm>

namespace texweld_fuzz {

std::uint32_t FileSizeLimitBytes(std::uint8_t fileSizeLimit) {
    // At least 1024: the captured line is written under the same limit.
    static constexpr std::uint32_t kLimits[4] = {0, 1024, 2048, 8192};
    return kLimits[fileSizeLimit & 0x3];
}

FuzzCase DecodeFuzzCase(const std::uint8_t* data, std::size_t size) {
    FuzzCase fuzzCase;
    const std::uint8_t control = size > 0 ? data[0] : 0;
    const std::uint8_t layout = size > 1 ? data[1] : 0;
    const std::uint8_t extras = size > 2 ? data[2] : 0;
    fuzzCase.form = static_cast<ArgumentForm>(control & 0x3);
    fuzzCase.nameBase = (control & 0x4) != 0;
    fuzzCase.outputExists = (control & 0x8) != 0;
    fuzzCase.output = static_cast<OutputKind>((control >> 4) & 0x3);
    fuzzCase.longNames = (control & 0x40) != 0;
    fuzzCase.upperCase = (control & 0x80) != 0;
    fuzzCase.numbered = layout & 0xF;
    fuzzCase.folderChunk = static_cast<std::uint8_t>(layout >> 4);
    fuzzCase.outputIsLink = (extras & 0x1) != 0;
    fuzzCase.temporaryNameTaken = (extras & 0x2) != 0;
    fuzzCase.fileSizeLimit = (extras >> 2) & 0x3;

    std::size_t at = std::min<std::size_t>(size, 3);
    for (std::size_t file = 0; file <= fuzzCase.numbered; ++file) {
        if (size - at < 2) {
            break;
        }
        const std::size_t announced = data[at] | (static_cast<std::size_t>(data[at + 1]) << 8);
        at += 2;
        const std::size_t length = std::min(announced, size - at);
        fuzzCase.files.emplace_back(reinterpret_cast<const char*>(data + at), length);
        at += length;
    }
    return fuzzCase;
}

std::string EncodeFuzzCase(const FuzzCase& fuzzCase) {
    std::string input;
    input += static_cast<char>(static_cast<std::uint8_t>(fuzzCase.form) | (fuzzCase.nameBase ? 0x4 : 0) |
                               (fuzzCase.outputExists ? 0x8 : 0) | (static_cast<std::uint8_t>(fuzzCase.output) << 4) |
                               (fuzzCase.longNames ? 0x40 : 0) | (fuzzCase.upperCase ? 0x80 : 0));
    input += static_cast<char>((fuzzCase.numbered & 0xF) | (fuzzCase.folderChunk << 4));
    input += static_cast<char>((fuzzCase.outputIsLink ? 0x1 : 0) | (fuzzCase.temporaryNameTaken ? 0x2 : 0) |
                               ((fuzzCase.fileSizeLimit & 0x3) << 2));
    for (const std::string& file : fuzzCase.files) {
        const std::size_t length = std::min<std::size_t>(file.size(), 0xFFFF);
        input += static_cast<char>(length & 0xFF);
        input += static_cast<char>(length >> 8);
        input.append(file, 0, length);
    }
    return input;
}

SplitCase DecodeSplitCase(const std::uint8_t* data, std::size_t size) {
    SplitCase splitCase;
    const std::uint8_t control = size > 0 ? data[0] : 0;
    const std::uint8_t earlier = size > 1 ? data[1] : 0;
    splitCase.baseNamed = (control & 0x1) != 0;
    splitCase.earlierSet = (control & 0x2) != 0;
    splitCase.longNames = (control & 0x4) != 0;
    splitCase.earlierNumbered = earlier & 0x1F;
    const std::size_t at = std::min<std::size_t>(size, 2);
    splitCase.file.assign(reinterpret_cast<const char*>(data + at), size - at);
    return splitCase;
}

std::string EncodeSplitCase(const SplitCase& splitCase) {
    std::string input;
    input += static_cast<char>((splitCase.baseNamed ? 0x1 : 0) | (splitCase.earlierSet ? 0x2 : 0) |
                               (splitCase.longNames ? 0x4 : 0));
    input += static_cast<char>(splitCase.earlierNumbered & 0x1F);
    return input + splitCase.file;
}

}  // namespace texweld_fuzz
