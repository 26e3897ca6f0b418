// Writes an output file, from a source that streams its bytes, without ever
// losing the file it replaces, or leaving anything beside it.
#pragma once

#include "platform/file_system.h"
#include "platform/win32.h"

#include <cstdint>

enum class OutputResult {
    Written,     // the output holds exactly what the source wrote
    CannotOpen,  // the output could not be opened for writing; nothing changed
    WriteFailed, // the write or the replacement failed; an existing regular
                 // output is unchanged and no temporary file remains
    SourceFailed,  // the source could not read its inputs; as WriteFailed
};

// What fills an output: writes every byte of it, from its start, to an open
// handle; with `replacing`, a new file that is to replace an existing one,
// whose bytes go to the disk as they are written. Written when all went
// out; SourceFailed when an input could not be read; WriteFailed when the
// output took less than it was given.
class OutputSource {
public:
    virtual OutputResult WriteTo(HANDLE out, bool replacing) = 0;

protected:
    OutputSource() = default;
    ~OutputSource() = default;
    OutputSource(const OutputSource&) = default;
    OutputSource& operator=(const OutputSource&) = default;
};

// The files a run read, which its output must not be.
struct InputFiles {
    const FileIdentity* identities;
    std::uint32_t count;
};

// Writes what `source` streams to `outputName`.
//
// A regular file, a missing one, or either of them behind a symbolic link,
// is replaced only once the whole output sits in a staged file beside it (see
// platform/pending_file.h): the old file stays as it was until the new one
// takes its name, with the old one's mode and owner; a link stays a link.
// Where the folder refuses a replacement but the file itself may be
// written, it is overwritten in place instead. Devices and pipes are
// written in place; a source that fails part-way leaves them partly
// written. An output that is one of `inputs`, or whose name the system
// cannot hold, is refused before anything is written.
OutputResult WriteOutputFile(const char* outputName, OutputSource& source, InputFiles inputs);

// One chunk of a set written together: its number and what fills it.
struct ChunkFile {
    std::uint32_t number;
    OutputSource* source;
};

// Writes every chunk of `files` of the set `base` and removes every chunk
// numbered in `removed`, or does neither, under a journal (see
// app/set_journal.h). Each chunk must be a regular file, a missing one in an
// existing folder, or a link to either (written at its target); each
// removed one a regular file. Anything else, a chunk that is one of
// `inputs`, another name of a chunk already named, a file this user may not
// replace (a sticky folder), one whose access rules cannot be kept, or a
// name the system cannot hold, is refused with CannotOpen before anything
// is written. No file is ever written in place. On any failure the old
// files are as they were and nothing is left, or, where even that cannot be
// done, the journal stays for the next run's rollback.
OutputResult WriteChunkSet(const char* base, const ChunkFile* files, std::uint32_t count,
                           const std::uint32_t* removed, std::uint32_t removedCount, InputFiles inputs);
