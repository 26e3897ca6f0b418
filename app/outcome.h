// How a run of Texweld ends, and the one line it prints for each ending.
//
// Every line Texweld prints is in kOutcomeLines below, and only PrintOutcome
// prints them; texsplit takes the lines it shares with Texweld from there.
#pragma once

#include <cstdint>

enum class Outcome {
    Usage,                // too few arguments
    NotSplit,             // the first chunk cannot be opened
    FirstChunkUnreadable, // the first chunk cannot be read whole
    TooSmall,             // the first chunk is shorter than the preamble
    BadSignature,         // the magic is not "DDS "
    UnknownFormat,        // the pixel format is one Texweld cannot size
    NoOutputBuffer,       // the texture cannot be 4 GiB or less, or no copy block
    ChunkUnreadable,      // a numbered chunk cannot be read whole
    ChunkWrongSize,       // a numbered chunk is not its level's size
    ChunkDoesntFit,       // a numbered chunk runs past the texture
    FirstChunkDoesntFit,  // the first chunk carries more than the texture holds
    CannotOpenOutput,     // the output cannot be opened for writing
    WriteFailed,          // the texture did not all reach the output
    Unsplit,              // success
};

// What the line of an outcome is filled in with.
struct OutcomeDetails {
    const char* baseName = "";    // the base name
    const char* firstChunk = "";  // the first chunk's file name
    const char* outputName = "";  // the output's file name
    std::int32_t chunk = 0;       // the numbered chunk concerned
};

// What a line is filled in with, in the order its format names them.
enum class OutcomeFields { None, BaseAndFirstChunk, Base, Chunk, Output, BaseAndChunk };

struct OutcomeLine {
    Outcome outcome;
    OutcomeFields fields;
    const char* format;
};

// Indexed by Outcome.
inline constexpr OutcomeLine kOutcomeLines[] = {
    {Outcome::Usage, OutcomeFields::None, "Syntax: Texweld <first dds chunk> [output filename]\n"},
    {Outcome::NotSplit, OutcomeFields::BaseAndFirstChunk,
     "%s doesn't appear to be a split DDS file (%s wasn't found)\n"},
    {Outcome::FirstChunkUnreadable, OutcomeFields::None, "Failed to load file contents to buffer.\n"},
    {Outcome::TooSmall, OutcomeFields::None, "File too small.\n"},
    {Outcome::BadSignature, OutcomeFields::None, "Invalid file signature.\n"},
    {Outcome::UnknownFormat, OutcomeFields::None, "Unknown texture format.\n"},
    {Outcome::NoOutputBuffer, OutcomeFields::None, "Couldn't allocate output buffer.\n"},
    {Outcome::ChunkUnreadable, OutcomeFields::Chunk, "Failed to load chunk %d contents to buffer.\n"},
    {Outcome::ChunkWrongSize, OutcomeFields::Chunk, "Chunk %d has unexpected size.\n"},
    {Outcome::ChunkDoesntFit, OutcomeFields::Chunk, "Chunk %d doesn't fit in the output buffer.\n"},
    {Outcome::FirstChunkDoesntFit, OutcomeFields::None, "File contents don't fit in the output buffer.\n"},
    {Outcome::CannotOpenOutput, OutcomeFields::Output, "Failed to open %s for writing.\n"},
    {Outcome::WriteFailed, OutcomeFields::None, "Failed to write output buffer to file.\n"},
    {Outcome::Unsplit, OutcomeFields::Base, "Successfully unsplit %s.\n"},
};

// Whether every row of a table of lines sits at the index of its outcome.
template <class Line, unsigned N>
constexpr bool InOutcomeOrder(const Line (&lines)[N]) {
    for (unsigned i = 0; i < N; ++i) {
        if (static_cast<unsigned>(lines[i].outcome) != i) {
            return false;
        }
    }
    return true;
}
static_assert(InOutcomeOrder(kOutcomeLines), "kOutcomeLines is indexed by Outcome");

// The format of `outcome`'s line.
constexpr const char* OutcomeFormat(Outcome outcome) {
    return kOutcomeLines[static_cast<unsigned>(outcome)].format;
}

// Prints the line of `format`, filled in with `fields` of `details`, on
// standard output: every line of texweld's and texsplit's.
void PrintLine(OutcomeFields fields, const char* format, const OutcomeDetails& details);

// Prints the line of `outcome` on standard output.
void PrintOutcome(Outcome outcome, const OutcomeDetails& details);
