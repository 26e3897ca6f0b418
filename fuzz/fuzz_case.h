// One run of Texweld as the fuzz target reads it from raw input bytes: how
// the command line is formed, what is in the folder beforehand, and the
// contents of the first chunk and of the numbered chunks.
//
// Layout of an input (every byte string is a valid input; missing bytes
// count as zero and missing files are simply not written):
//
//   byte 0   bits 0-1  argument form (ArgumentForm)
//            bit  2    the argument names the base, not the first chunk
//            bit  3    an earlier output file is there before the run
//            bits 4-5  what the output argument names (OutputKind)
//            bit  6    names longer than the string buffers' inline room
//            bit  7    the chunks are named in capitals (".DDS.0")
//   byte 1   bits 0-3  numbered chunks in the input (0 to 15)
//            bits 4-7  0: no folder; 1 to 14: numbered chunk k is a folder
//                      instead of a file; 15: the first chunk is a folder
//   byte 2   bit  0    the output name is a symbolic link to "target.dds"
//                      beside it (which holds the earlier output, if any)
//            bit  1    a file already holds the first name the program
//                      tries for its temporary file
//            bits 2-3  a limit on the size of files the run may write
//                      (RLIMIT_FSIZE): none, 1024, 2048 or 8192 bytes
//   then, for the first chunk and numbered chunks 1, 2, ... in order: a
//   16-bit little-endian length and that many bytes (fewer when the input
//   ends first). Files whose length field is missing are not written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace texweld_fuzz {

enum class ArgumentForm : std::uint8_t {
    None = 0,        // no argument at all: the usage line
    FirstChunk = 1,  // the first chunk (or base) only; the output is the base
    WithOutput = 2,  // first chunk and an output name
    WithExtra = 3,   // first chunk, output name and an ignored third argument
};

enum class OutputKind : std::uint8_t {
    Plain = 0,            // a file beside the chunks
    InMissingFolder = 1,  // a file in a folder that does not exist
    Empty = 2,            // an empty argument
    Folder = 3,           // an existing folder
};

// Numbered chunks one input can carry, and the folder marker for the first.
constexpr std::uint8_t kMaxNumberedChunks = 15;
constexpr std::uint8_t kFirstChunkIsFolder = 15;

struct FuzzCase {
    ArgumentForm form = ArgumentForm::None;
    bool nameBase = false;
    bool outputExists = false;
    OutputKind output = OutputKind::Plain;
    bool longNames = false;
    bool upperCase = false;
    std::uint8_t numbered = 0;     // numbered chunks announced in byte 1
    std::uint8_t folderChunk = 0;  // see byte 1, bits 4-7
    bool outputIsLink = false;
    bool temporaryNameTaken = false;
    std::uint8_t fileSizeLimit = 0;  // see byte 2, bits 2-3
    // files[0] is the first chunk, files[k] numbered chunk k; only the
    // files present in the input are listed.
    std::vector<std::string> files;
};

// The limit in bytes that `fileSizeLimit` stands for; 0 for none.
std::uint32_t FileSizeLimitBytes(std::uint8_t fileSizeLimit);

FuzzCase DecodeFuzzCase(const std::uint8_t* data, std::size_t size);

// The input that decodes to `fuzzCase`. Files longer than 65535 bytes are
// cut to that length.
std::string EncodeFuzzCase(const FuzzCase& fuzzCase);

// One run of texsplit as its fuzz target reads it from raw input bytes
// (every byte string is a valid input; missing bytes count as zero):
//
//   byte 0   bit  0    a second argument names the base ("out.dds" beside
//                      the texture); otherwise the texture's name is the base
//            bit  1    an earlier set of the base is in the folder
//            bit  2    names longer than the string buffers' inline room
//   byte 1   bits 0-4  the earlier set's numbered chunks (0 to 31)
//   then the whole texture file, to the end of the input.
struct SplitCase {
    bool baseNamed = false;
    bool earlierSet = false;
    bool longNames = false;
    std::uint8_t earlierNumbered = 0;
    std::string file;
};

SplitCase DecodeSplitCase(const std::uint8_t* data, std::size_t size);
std::string EncodeSplitCase(const SplitCase& splitCase);

}  // namespace texweld_fuzz
