// Writes the assembled image to the output file without ever losing the
// file it replaces.
#pragma once

#include <cstdint>

enum class OutputResult {
    Written,     // the output holds exactly the image
    CannotOpen,  // the output could not be opened for writing; nothing changed
    WriteFailed, // the write or the replacement failed; an existing regular
                 // output is unchanged and no temporary file remains
};

// Writes `size` bytes at `image` to `outputName` with one write call.
//
// An existing regular file, or a missing one, is replaced only once the whole
// image sits in a temporary file beside it: the old file stays as it was until
// the new one takes its name, with the old one's permission bits. Anything
// else (a device, a pipe, a link) is opened and written in place.
OutputResult WriteOutputFile(const char* outputName, const std::uint8_t* image, std::uint32_t size);
