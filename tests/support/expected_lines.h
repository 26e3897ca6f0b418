// The lines Texweld and texsplit print, as the tests and the fuzzer expect
// them, without their line feed. The programs' own tables are in
// app/outcome.h and app/splitting.cpp; the same lines are also written in
// README.md, man/texweld.1.in, man/texsplit.1.in and
// tests/compare_with_native.cmake, which a change of wording must follow.
#pragma once

#include <cstdint>
#include <string>

namespace expected_lines {

inline const std::string kUsage = "Syntax: Texweld <first dds chunk> [output filename]";
inline const std::string kFirstChunkUnreadable = "Failed to load file contents to buffer.";
inline const std::string kTooSmall = "File too small.";
inline const std::string kBadSignature = "Invalid file signature.";
inline const std::string kUnknownFormat = "Unknown texture format.";
inline const std::string kNoOutputBuffer = "Couldn't allocate output buffer.";
inline const std::string kFirstChunkDoesntFit = "File contents don't fit in the output buffer.";
inline const std::string kWriteFailed = "Failed to write output buffer to file.";

inline std::string NotFound(const std::string& base) {
    return base + " doesn't appear to be a split DDS file (" + base + ".0 wasn't found)";
}
inline std::string Unsplit(const std::string& base) {
    return "Successfully unsplit " + base + ".";
}
inline std::string ChunkUnreadable(std::int64_t chunk) {
    return "Failed to load chunk " + std::to_string(chunk) + " contents to buffer.";
}
inline std::string ChunkSizeWrong(std::int64_t chunk) {
    return "Chunk " + std::to_string(chunk) + " has unexpected size.";
}
inline std::string ChunkDoesntFit(std::int64_t chunk) {
    return "Chunk " + std::to_string(chunk) + " doesn't fit in the output buffer.";
}
inline std::string CannotOpen(const std::string& output) {
    return "Failed to open " + output + " for writing.";
}

// texsplit's.
inline const std::string kSplitUsage = "Syntax: Texsplit <dds file> [base name]";
inline const std::string kSplitSizeMismatch = "File size doesn't match its header.";
inline const std::string kSplitCountPastTheChain = "Mip count runs past the 1x1 level.";
inline std::string SplitInputMissing(const std::string& file) {
    return file + " wasn't found.";
}
inline std::string SplitCannotOpen(const std::string& base) {
    return "Failed to open the chunks of " + base + " for writing.";
}
inline const std::string kSplitWriteFailed = "Failed to write the chunk files.";
inline std::string Split(const std::string& file, int chunks, const std::string& base) {
    return "Successfully split " + file + " into " +
           (chunks == 1 ? "1 chunk: " + base + ".0."
                        : std::to_string(chunks) + " chunks: " + base + ".0 to " + base + "." +
                              std::to_string(chunks - 1) + ".");
}
// A texsplit failure's line with its reason: "<line without its period>: <reason>."
inline std::string Because(const std::string& line, const std::string& reason) {
    return line.substr(0, line.size() - 1) + ": " + reason + ".";
}
inline std::string ChunkOf(const std::string& chunk, int number, const std::string& base) {
    return chunk + " is chunk " + std::to_string(number) + " of the split texture " + base + " (texweld \"" + base +
           ".0\" welds it)";
}

}  // namespace expected_lines
