// How a run of Texweld ends, and the one line it prints for each ending.
//
// Every line Texweld prints is in the table in outcome.cpp, and only
// PrintOutcome prints them.
#pragma once

#include <cstdint>

enum class Outcome {
    Usage,                // too few arguments
    NotSplit,             // the first chunk cannot be opened
    FirstChunkUnreadable, // the first chunk cannot be read whole
    TooSmall,             // the first chunk is shorter than the preamble
    BadSignature,         // the magic is not "DDS "
    UnknownFormat,        // the pixel format is one Texweld cannot size
    NoOutputBuffer,       // the image cannot be had, or cannot be 4 GiB or less
    ChunkUnreadable,      // a numbered chunk cannot be read whole
    ChunkWrongSize,       // a numbered chunk is not its level's size
    ChunkDoesntFit,       // a numbered chunk runs past the image
    FirstChunkDoesntFit,  // the first chunk carries more than the image holds
    CannotOpenOutput,     // the output cannot be opened for writing
    WriteFailed,          // the image did not all reach the output
    Unsplit,              // success
};

// What the line of an outcome is filled in with.
struct OutcomeDetails {
    const char* baseName = "";    // the base name
    const char* firstChunk = "";  // the first chunk's file name
    const char* outputName = "";  // the output's file name
    std::int32_t chunk = 0;       // the numbered chunk concerned
};

// Prints the line of `outcome` on standard output.
void PrintOutcome(Outcome outcome, const OutcomeDetails& details);
