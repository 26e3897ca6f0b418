#include "app/outcome.h"

#include "platform/console.h"
#include "platform/runtime.h"

#include <cstdio>

namespace {

// What a line is filled in with, in the order its format names them.
enum class Fields { None, BaseAndFirstChunk, Base, Chunk, Output };

struct Line {
    Outcome outcome;
    Fields fields;
    const char* format;
};

// Indexed by Outcome.
constexpr Line kLines[] = {
    {Outcome::Usage, Fields::None, "Syntax: Texweld <first dds chunk> [output filename]\n"},
    {Outcome::NotSplit, Fields::BaseAndFirstChunk, "%s doesn't appear to be a split DDS file (%s wasn't found)\n"},
    {Outcome::FirstChunkUnreadable, Fields::None, "Failed to load file contents to buffer.\n"},
    {Outcome::TooSmall, Fields::None, "File too small.\n"},
    {Outcome::BadSignature, Fields::None, "Invalid file signature.\n"},
    {Outcome::UnknownFormat, Fields::None, "Unknown texture format.\n"},
    {Outcome::NoOutputBuffer, Fields::None, "Couldn't allocate output buffer.\n"},
    {Outcome::ChunkUnreadable, Fields::Chunk, "Failed to load chunk %d contents to buffer.\n"},
    {Outcome::ChunkWrongSize, Fields::Chunk, "Chunk %d has unexpected size.\n"},
    {Outcome::ChunkDoesntFit, Fields::Chunk, "Chunk %d doesn't fit in the output buffer.\n"},
    {Outcome::FirstChunkDoesntFit, Fields::None, "File contents don't fit in the output buffer.\n"},
    {Outcome::CannotOpenOutput, Fields::Output, "Failed to open %s for writing.\n"},
    {Outcome::WriteFailed, Fields::None, "Failed to write output buffer to file.\n"},
    {Outcome::Unsplit, Fields::Base, "Successfully unsplit %s.\n"},
};

constexpr bool InOutcomeOrder() {
    for (std::size_t i = 0; i < sizeof kLines / sizeof kLines[0]; ++i) {
        if (static_cast<std::size_t>(kLines[i].outcome) != i) {
            return false;
        }
    }
    return true;
}
static_assert(InOutcomeOrder(), "kLines is indexed by Outcome");

}  // namespace

void PrintOutcome(Outcome outcome, const OutcomeDetails& details) {
    const Line& line = kLines[static_cast<std::size_t>(outcome)];
    switch (line.fields) {
    case Fields::None:
        PrintConsoleLine("%s", line.format);
        return;
    case Fields::BaseAndFirstChunk:
        PrintConsoleLine(line.format, details.baseName, details.firstChunk);
        return;
    case Fields::Base:
        PrintConsoleLine(line.format, details.baseName);
        return;
    case Fields::Chunk:
        PrintConsoleLine(line.format, static_cast<int>(details.chunk));
        return;
    case Fields::Output:
        PrintConsoleLine(line.format, details.outputName);
        return;
    }
}
