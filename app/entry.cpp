#include "app/entry.h"

#include "app/chunk_layout.h"
#include "app/outcome.h"
#include "app/reassembly.h"
#include "app/split_texture_names.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/runtime.h"
#include "support/counted_string.h"
#include "support/string_buffer.h"

#include <cstring>
#include <memory>
#include <new>


namespace {

// A first argument ending in the first chunk's suffix names the first
// chunk, and the base name is that argument without its final ".0".
constexpr std::int32_t kFirstChunkSuffixLength = sizeof(kFirstChunkSuffix) - 1;

// Whether `argument` asks for help or the version, as long as no set of
// that name exists (its <argument>.0 is not there); prints the answer.
bool AnsweredOption(const char* argument) {
    const bool help = std::strcmp(argument, "--help") == 0 || std::strcmp(argument, "-h") == 0 ||
                      (kSlashQuestionMarkIsHelp && std::strcmp(argument, "/?") == 0);
    const bool version = std::strcmp(argument, "--version") == 0;
    TStringBufferA<260> firstChunk;
    if ((!help && !version) || firstChunk.Format("%s.0", argument) <= 0 ||
        GetPathKind(firstChunk.GetString()) != PathKind::Missing) {
        return false;
    }
    if (help) {
        PrintConsoleLine("%s%s", OutcomeFormat(Outcome::Usage),
                         "Welds the chunk files <base>.0 ... <base>.N of a split DDS texture into the file <base>, "
                         "or into the output file named.\n");
    } else {
        PrintConsoleLine("texweld %s\n", TEXWELD_VERSION);
    }
    return true;
}

// The set `argument` names where several sets are welded: <x> for a chunk
// <x>.<k> of a split texture, else what a first argument names.
void SetNamedBy(const char* argument, CStringBufferA& base) {
    std::ptrdiff_t stem = SplitTextureOfChunk(argument);
    if (stem < 0) {
        stem = FirstChunkBase(argument);
    }
    if (stem >= 0) {
        base.Format("%.*s", static_cast<int>(stem), argument);
    } else {
        base.Format("%s", argument);
    }
}

// A set named on the command line: its base name, and the identity of its
// first chunk where that can be told.
struct NamedSet {
    std::unique_ptr<char[]> base;
    FileIdentity first;
    bool identified = false;
};

// Whether `a` and `b` are one set: their first chunks are one file, or where
// that cannot be told, their names are one.
bool SameSet(const NamedSet& a, const NamedSet& b) {
    if (a.identified && b.identified) {
        return a.first == b.first;
    }
    return std::strcmp(a.base.get(), b.base.get()) == 0;
}

// Welds every set the arguments name, each once and into its own base name,
// in the order first named; one line each.
void WeldEverySet(int argc, char** argv) {
    const std::unique_ptr<NamedSet[]> sets(new (std::nothrow) NamedSet[static_cast<std::size_t>(argc)]);
    if (!sets) {
        PrintOutcome(Outcome::NoOutputBuffer, {});
        return;
    }
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        TStringBufferA<260> base;
        TStringBufferA<260> first;
        SetNamedBy(argv[i], base);
        NamedSet& set = sets[static_cast<std::size_t>(i)];
        const std::size_t length = static_cast<std::size_t>(base.Length());
        set.base.reset(new (std::nothrow) char[length + 1]);
        if (!set.base) {
            PrintOutcome(Outcome::NoOutputBuffer, {});
            return;
        }
        std::memcpy(set.base.get(), base.GetString(), length + 1);
        set.identified = first.Format("%s.0", set.base.get()) > 0 && IdentifyPath(first.GetString(), set.first);
        bool named = false;
        for (int j = 1; j < i && !named; ++j) {
            named = SameSet(sets[static_cast<std::size_t>(j)], set);
        }
        if (!named) {
            CountedString baseName;
            baseName.Assign(set.base.get());
            ReassembleSplitTexture(first, baseName, baseName);
        }
    }
}

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
    if (argc == 2 && AnsweredOption(firstArgument)) {
        return 0;
    }
    // A second argument that is an existing chunk of a split texture is no
    // output to write over (a glob, chunks dropped on the program): every
    // argument names a set to weld.
    if (argc >= 3 && argv[2] != nullptr && GetPathKind(argv[2]) != PathKind::Missing &&
        SplitTextureOfChunk(argv[2]) >= 0) {
        WeldEverySet(argc, argv);
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
