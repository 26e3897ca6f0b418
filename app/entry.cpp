#include "app/entry.h"

#include "app/outcome.h"
#include "app/reassembly.h"
#include "platform/runtime.h"
#include "support/counted_string.h"
#include "support/string_buffer.h"


namespace {

// The first chunk's suffix; a first argument ending in it (in any letter
// case) names the first chunk, and the base name is that argument without
// its final ".0".
constexpr char kFirstChunkSuffix[] = ".dds.0";
constexpr std::int32_t kFirstChunkSuffixLength = sizeof(kFirstChunkSuffix) - 1;

}  // namespace

int TexweldMain(int argc, char** argv) {
    // Destroyed in reverse order of declaration: suffix, path, outputName,
    // baseName. The scratch buffers go first because nothing needs them once
    // the pass has printed its line; the two names, which the line and the
    // output were made from, go last. Each gives its storage back on every
    // path out.
    CountedString baseName;
    CountedString outputName;
    TStringBufferA<260> path;
    TStringBufferA<260> suffix;

    // A vector without a first argument empties path. An argument count of 0
    // (a bare execve) has not even that slot, so it is not read.
    const char* firstArgument = (argv != nullptr && argc >= 2) ? argv[1] : nullptr;
    path.Assign(firstArgument);

    if (argc < 2) {
        PrintOutcome(Outcome::Usage, {});
        return 0;
    }

    path.Right(suffix, kFirstChunkSuffixLength);
    if (_stricmp(suffix.GetString(), kFirstChunkSuffix) == 0) {
        path.Left(suffix, path.Length() - 2);
        baseName.Assign(suffix.GetString());
    } else {
        baseName.Assign(firstArgument);
    }

    if (argc == 2) {
        outputName.Assign(baseName.GetString());
    } else {
        outputName.Assign(argv[2]);
    }

    ReassembleSplitTexture(path, baseName, outputName);
    return 0;
}
