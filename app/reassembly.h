// The reassembly pass: turns a split texture back into one DDS file.
#pragma once

#include "support/counted_string.h"
#include "support/string_buffer.h"

// Reads <baseName>.0 and the numbered chunks, checks every chunk against the
// size the header gives its mip level, assembles the whole file in memory and
// writes it to `outputName`. `path` is scratch space for the chunk names.
// Prints exactly one line on standard output, whatever the outcome; on any
// failure the output file is left as it was.
void ReassembleSplitTexture(CStringBufferA& path, const CountedString& baseName, const CountedString& outputName);
