// The reassembly pass: turns a split texture back into one DDS file.
#pragma once

#include "support/counted_string.h"
#include "support/string_buffer.h"

// Reads <baseName>.0 and opens the numbered chunks under the set's lock,
// checks every chunk against the size the header gives its mip level, then
// streams the preamble, the levels and the first chunk's rest from the open
// files to `outputName` through one block. `path` is scratch space for the
// chunk names. Prints exactly one line on standard output, whatever the
// outcome; on any failure the output file is left as it was (unless it is
// written in place, as a device is).
void ReassembleSplitTexture(CStringBufferA& path, const CountedString& baseName, const CountedString& outputName);
