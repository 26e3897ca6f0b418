#include "app/splitting.h"

#include "app/chunk_layout.h"
#include "app/outcome.h"
#include "app/output_file.h"
#include "app/set_journal.h"
#include "app/split_texture_names.h"
#include "dds/dds_header.h"
#include "dds/mip_sizes.h"
#include "dds/preamble.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/folder_lock.h"
#include "platform/runtime.h"
#include "support/file_access.h"
#include "support/string_buffer.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

namespace {

// How long a split waits for another one writing into the same folder, as
// long as a weld waits for a split.
constexpr std::uint32_t kLockWaitMilliseconds = 30000;

enum class SplitOutcome {
    Usage,
    InputMissing,
    InputUnreadable,
    TooSmall,
    BadSignature,
    UnknownFormat,
    SizeMismatch,
    CountPastTheChain,
    CannotOpenChunk,
    InTheWay,
    FolderBusy,
    WriteFailed,
    Split,
    SplitIntoOne,
};

// A texsplit line is filled in with the file's or base's name (in the
// "base" field of OutcomeDetails), a count of chunks, and a file in the way
// (in the "firstChunk" field).
struct SplitLine {
    SplitOutcome outcome;
    OutcomeFields fields;
    const char* format;
};

// texsplit's lines, indexed by SplitOutcome. Where the file itself is at
// fault texsplit says what texweld says of a first chunk.
constexpr SplitLine kSplitLines[] = {
    {SplitOutcome::Usage, OutcomeFields::None, "Syntax: Texsplit <dds file> [base name]\n"},
    {SplitOutcome::InputMissing, OutcomeFields::Base, "%s wasn't found.\n"},
    {SplitOutcome::InputUnreadable, OutcomeFields::None, OutcomeFormat(Outcome::FirstChunkUnreadable)},
    {SplitOutcome::TooSmall, OutcomeFields::None, OutcomeFormat(Outcome::TooSmall)},
    {SplitOutcome::BadSignature, OutcomeFields::None, OutcomeFormat(Outcome::BadSignature)},
    {SplitOutcome::UnknownFormat, OutcomeFields::None, OutcomeFormat(Outcome::UnknownFormat)},
    {SplitOutcome::SizeMismatch, OutcomeFields::None, "File size doesn't match its header.\n"},
    {SplitOutcome::CountPastTheChain, OutcomeFields::None, "Mip count runs past the 1x1 level.\n"},
    {SplitOutcome::CannotOpenChunk, OutcomeFields::Base, "Failed to open the chunks of %s for writing.\n"},
    {SplitOutcome::InTheWay, OutcomeFields::BaseAndFirstChunk,
     "Failed to open the chunks of %s for writing: %s is in the way.\n"},
    {SplitOutcome::FolderBusy, OutcomeFields::Base,
     "Failed to open the chunks of %s for writing: another texsplit kept the folder for 30 seconds.\n"},
    {SplitOutcome::WriteFailed, OutcomeFields::None, "Failed to write the chunk files.\n"},
    // Printed by ReportSplit, which also names the chunks.
    {SplitOutcome::Split, OutcomeFields::None, "Successfully split %s into %u chunks: %s.0 to %s.%u.\n"},
    {SplitOutcome::SplitIntoOne, OutcomeFields::None, "Successfully split %s into 1 chunk: %s.0.\n"},
};

static_assert(InOutcomeOrder(kSplitLines), "kSplitLines is indexed by SplitOutcome");

// Where one run splits several textures, the one being split: a failure
// line that does not name it begins with its name. Null otherwise.
const char* g_textureOfTheLine = nullptr;

// Prints the line of a failure `outcome`; returns the exit status 1.
int Report(SplitOutcome outcome, const char* name = "", int count = 0, const char* file = "") {
    const SplitLine& line = kSplitLines[static_cast<std::size_t>(outcome)];
    if (g_textureOfTheLine != nullptr && line.fields == OutcomeFields::None) {
        PrintConsoleLine("%s: ", g_textureOfTheLine);
    }
    PrintLine(line.fields, line.format, {name, file, "", count});
    return 1;
}

// Prints the line of a failure `outcome` whose line has no fields, with
// `reason` in place of its final period: "<line>: <reason>."; returns 1.
int ReportWhy(SplitOutcome outcome, const char* reason) {
    const char* format = kSplitLines[static_cast<std::size_t>(outcome)].format;
    const std::size_t kept = std::strlen(format) - 2;  // without ".\n"
    if (g_textureOfTheLine != nullptr) {
        PrintConsoleLine("%s: ", g_textureOfTheLine);
    }
    PrintConsoleLine("%.*s: %s.\n", static_cast<int>(kept), format, reason);
    return 1;
}

// Prints the success line of `inputName` split into `chunks` chunks named
// after `base`; returns the exit status 0.
int ReportSplit(const char* inputName, const char* base, std::uint32_t chunks) {
    if (chunks == 1) {
        PrintConsoleLine(kSplitLines[static_cast<std::size_t>(SplitOutcome::SplitIntoOne)].format, inputName, base);
    } else {
        PrintConsoleLine(kSplitLines[static_cast<std::size_t>(SplitOutcome::Split)].format, inputName,
                         static_cast<unsigned>(chunks), base, base, static_cast<unsigned>(chunks - 1));
    }
    return 0;
}

// How many levels the chain of a header holds before it reaches 1x1x1.
std::uint32_t LevelsInChain(const DDS_HEADER& header) {
    for (std::uint32_t level = 0; level < kMostLevels; ++level) {
        const std::uint32_t w = header.dwWidth >> level;
        const std::uint32_t h = header.dwHeight >> level;
        const std::uint32_t d = header.dwDepth >> level;
        if (w <= 1 && h <= 1 && d <= 1) {
            return level + 1;
        }
    }
    return kMostLevels;
}

// One chunk's bytes: optionally the preamble, then a range of the input
// read through the copier.
class LevelRange final : public OutputSource {
public:
    LevelRange() = default;
    LevelRange(BlockCopier* copier, HANDLE input, const std::uint8_t* preamble, std::uint32_t offset,
               std::uint32_t size)
        : copier_(copier), input_(input), preamble_(preamble), offset_(offset), size_(size) {}

    OutputResult WriteTo(HANDLE out, bool replacing) override {
        copier_->Start(out, replacing);
        BlockCopier::Result result = BlockCopier::Result::Done;
        if (preamble_ != nullptr) {
            result = copier_->Put(preamble_, DDS_PREAMBLE_SIZE);
        }
        if (result == BlockCopier::Result::Done && !Seek()) {
            return OutputResult::SourceFailed;
        }
        if (result == BlockCopier::Result::Done) {
            result = copier_->PutFile(input_, size_);
        }
        if (result == BlockCopier::Result::Done) {
            result = copier_->Finish();
        }
        switch (result) {
        case BlockCopier::Result::Done:
            return OutputResult::Written;
        case BlockCopier::Result::ReadFailed:
            return OutputResult::SourceFailed;
        case BlockCopier::Result::WriteFailed:
            break;
        }
        return OutputResult::WriteFailed;
    }

private:
    // Moves the input to the range's start.
    bool Seek() {
        LONG high = 0;
        SetLastError(ERROR_SUCCESS);
        const DWORD at = SetFilePointer(input_, static_cast<LONG>(offset_), &high, FILE_BEGIN);
        return !(at == INVALID_SET_FILE_POINTER && GetLastError() != ERROR_SUCCESS);
    }

    BlockCopier* copier_ = nullptr;
    HANDLE input_ = INVALID_HANDLE_VALUE;
    const std::uint8_t* preamble_ = nullptr;
    std::uint32_t offset_ = 0;
    std::uint32_t size_ = 0;
};

// The pass over the open texture `input` of `fileSize` bytes, whose
// preamble is `preamble`; names the chunks after `base`. A texture that
// cannot be split is told with the reason, or with `chunkOf` where that is
// not empty: what the file is instead (a chunk of a split texture).
int Split(HANDLE input, std::uint32_t fileSize, const std::uint8_t* preamble, const char* inputName,
          const char* base, FileIdentity identity, const char* chunkOf) {
    Preamble checked;
    char reason[kPixelFormatDescriptionRoom] = {};
    SplitOutcome refused = SplitOutcome::Split;
    switch (CheckPreamble(preamble, fileSize, checked)) {
    case PreambleCheck::Valid:
        break;
    case PreambleCheck::TooSmall:
        refused = SplitOutcome::TooSmall;
        std::snprintf(reason, sizeof reason, "%u bytes, fewer than a header's %u", static_cast<unsigned>(fileSize),
                      static_cast<unsigned>(DDS_PREAMBLE_SIZE));
        break;
    case PreambleCheck::BadSignature:
        refused = SplitOutcome::BadSignature;
        break;
    case PreambleCheck::UnknownFormat:
        refused = SplitOutcome::UnknownFormat;
        DescribePixelFormat(ReadDdsHeader(preamble + DDS_MAGIC_SIZE).ddspf, reason, sizeof reason);
        break;
    case PreambleCheck::TooLarge:
        // As texweld sizes it: a chain that does not fit in 32 bits matches
        // no file that can be read.
        refused = SplitOutcome::SizeMismatch;
        std::snprintf(reason, sizeof reason, "the header calls for more than %u bytes, the file has %u",
                      static_cast<unsigned>(UINT32_MAX), static_cast<unsigned>(fileSize));
        break;
    }
    if (refused == SplitOutcome::Split && fileSize != checked.totalSize) {
        refused = SplitOutcome::SizeMismatch;
        std::snprintf(reason, sizeof reason, "the header calls for %u bytes, the file has %u",
                      static_cast<unsigned>(checked.totalSize), static_cast<unsigned>(fileSize));
    }
    const DDS_HEADER& header = checked.header;
    const TextureFormat format = checked.format;
    // Chunks are numbered as texweld will look for them. A count past the
    // chain would call for levels that do not exist, whether it is positive
    // or one whose numbered chunks texweld counts in wrapped 32 bits.
    const std::uint32_t numbered = NumberedChunks(header.dwMipMapCount);
    const bool countsLevels = static_cast<std::int32_t>(header.dwMipMapCount) > 0 || numbered > 0;
    if (refused == SplitOutcome::Split && countsLevels && header.dwMipMapCount > LevelsInChain(header)) {
        refused = SplitOutcome::CountPastTheChain;
        std::snprintf(reason, sizeof reason, "it counts %u, the chain has %u",
                      static_cast<unsigned>(header.dwMipMapCount), static_cast<unsigned>(LevelsInChain(header)));
    }
    if (refused != SplitOutcome::Split) {
        return chunkOf[0] != '\0' ? ReportWhy(refused, chunkOf)
               : reason[0] != '\0' ? ReportWhy(refused, reason)
                                   : Report(refused);
    }
    // A base that is empty or a folder would name chunks by their numbers
    // alone: hidden files that texweld could never rebuild in place.
    const std::size_t baseLength = std::strlen(base);
    if (baseLength == 0 || IsPathSeparator(base[baseLength - 1])) {
        return Report(SplitOutcome::CannotOpenChunk, base);
    }

    // Every chunk is copied from the texture through one block.
    BlockCopier copier;
    if (!copier.Reserve(fileSize)) {
        return Report(SplitOutcome::InputUnreadable);
    }
    // Chunk k holds level N - k, and the first chunk the preamble and the
    // rest. They are written in the order of the texture, largest first.
    ChunkFile files[kMostLevels + 1];
    LevelRange ranges[kMostLevels + 1];
    std::uint32_t offset = DDS_PREAMBLE_SIZE;
    for (std::uint32_t level = 0; level < numbered; ++level) {
        const std::optional<std::uint32_t> size =
            CheckedMipLevelSize(header.dwWidth, header.dwHeight, header.dwDepth, level, format);
        if (!size) {
            return Report(SplitOutcome::CannotOpenChunk, base);
        }
        ranges[level] = LevelRange(&copier, input, nullptr, offset, *size);
        files[level] = {numbered - level, &ranges[level]};
        offset += *size;
    }
    ranges[numbered] = LevelRange(&copier, input, preamble, offset, fileSize - offset);
    files[numbered] = {0, &ranges[numbered]};
    TStringBufferA<260> firstChunk;
    if (firstChunk.Format("%s.0", base) <= 0) {
        return Report(SplitOutcome::CannotOpenChunk, base);
    }

    // One writer of a set at a time, and no reader while it writes: another
    // texsplit or texweld of this folder finishes first. A folder that
    // cannot be locked (one this user may write but not read) is not
    // written: a set changed there could be read half-changed. What a dead
    // run left for this base is rolled back first.
    FolderLock lock;
    bool locked = false;
    switch (lock.Acquire(firstChunk.GetString(), FolderLock::Mode::Exclusive, kLockWaitMilliseconds)) {
    case FolderLock::Result::Held:
    case FolderLock::Result::NoLocks: {
        const RecoveryReport recovered = RecoverSet(base);
        if (recovered.outcome == Recovery::Refused) {
            return Report(SplitOutcome::InTheWay, base, 0, recovered.inTheWay.get());
        }
        locked = recovered.outcome != Recovery::Failed;
        break;
    }
    case FolderLock::Result::Busy:
        return Report(SplitOutcome::FolderBusy, base);
    case FolderLock::Result::Unreadable:
    case FolderLock::Result::Missing:
        break;
    }
    // Chunks of an earlier, larger split above the new count go in the same
    // commit, so the set on disk is exactly this texture's; a name that
    // cannot be looked at fails the set before it changes.
    std::uint32_t stale[kMostLevels];
    std::uint32_t staleCount = 0;
    for (std::uint32_t number = kMostLevels; locked && number > numbered; --number) {
        TStringBufferA<260> name;
        if (name.Format("%s.%u", base, static_cast<unsigned>(number)) <= 0) {
            locked = false;
            break;
        }
        switch (GetPathKind(name.GetString())) {
        case PathKind::RegularFile:
            stale[staleCount++] = number;
            break;
        case PathKind::Unreadable:
            locked = false;
            break;
        case PathKind::Missing:
        case PathKind::Link:
        case PathKind::Other:
            break;
        }
    }
    OutputResult written = OutputResult::CannotOpen;
    if (locked) {
        written = WriteChunkSet(base, files, numbered + 1, stale, staleCount, {&identity, 1});
    }
    switch (written) {
    case OutputResult::Written:
        return ReportSplit(inputName, base, numbered + 1);
    case OutputResult::CannotOpen:
        return Report(SplitOutcome::CannotOpenChunk, base);
    case OutputResult::SourceFailed:
        // The texture could no longer be read as its size promised.
        return Report(SplitOutcome::InputUnreadable);
    case OutputResult::WriteFailed:
        break;
    }
    return Report(SplitOutcome::WriteFailed);
}

}  // namespace

namespace {

// What the command line asks for. The names are the vector's own entries.
struct SplitArguments {
    enum class Ask { Split, Help, Version, Usage };
    Ask ask = Ask::Usage;
    std::unique_ptr<const char*[]> names;
    int nameCount = 0;
};

// Reads the command line: names, with "--help" and "--version" anywhere
// before "--", which ends the options for a name that begins with "-"; any
// other "-" word is a usage error.
SplitArguments ReadArguments(int argc, char** argv) {
    SplitArguments read;
    if (argc < 2 || argv == nullptr) {
        return read;
    }
    read.names.reset(new (std::nothrow) const char*[static_cast<std::size_t>(argc)]);
    if (!read.names) {
        return read;
    }
    bool options = true;
    for (int i = 1; i < argc && argv[i] != nullptr; ++i) {
        const char* argument = argv[i];
        if (options && std::strcmp(argument, "--") == 0) {
            options = false;
        } else if (options && (std::strcmp(argument, "--help") == 0 ||
                               (kSlashQuestionMarkIsHelp && std::strcmp(argument, "/?") == 0))) {
            read.ask = SplitArguments::Ask::Help;
            return read;
        } else if (options && std::strcmp(argument, "--version") == 0) {
            read.ask = SplitArguments::Ask::Version;
            return read;
        } else if (options && argument[0] == '-') {
            return read;
        } else {
            read.names[read.nameCount++] = argument;
        }
    }
    if (read.nameCount > 0) {
        read.ask = SplitArguments::Ask::Split;
    }
    return read;
}

// Whether `name` is a whole texture to split rather than a set to split
// into: a file, not a folder, that begins with the DDS magic and is no chunk
// of a split texture.
bool IsWholeTexture(const char* name) {
    return !IsFolder(name) && BeginsWithDdsMagic(name) && SplitTextureOfChunk(name) < 0;
}

// The base of the set that `second`, the name after a texture's, names for
// the texture `inputName`: <x> for a first chunk <x>.0 (the suffix in any
// letter case), the texture's file name inside an existing folder, else
// `second` itself. False when the name cannot be made.
bool SetNamedBy(const char* second, const char* inputName, CStringBufferA& base) {
    const std::size_t length = std::strlen(second);
    if (const std::ptrdiff_t stem = FirstChunkBase(second); stem > 0) {
        return base.Format("%.*s", static_cast<int>(stem), second) > 0;
    }
    if (length > 0 && IsFolder(second)) {
        const char* fileName = inputName + FolderPartLength(inputName);
        if (IsPathSeparator(second[length - 1])) {
            return base.Format("%s%s", second, fileName) > 0;
        }
        const char separator = std::strchr(second, '\\') != nullptr ? '\\' : kFolderSeparator;
        return base.Format("%s%c%s", second, separator, fileName) > 0;
    }
    return base.Format("%s", second) >= 0;
}

// Splits the texture `inputName` into the set `base`; prints its line and
// returns its exit status.
int SplitOne(const char* inputName, const char* base) {
    HANDLE input = OpenFileByMode(inputName, "r");
    if (input == INVALID_HANDLE_VALUE) {
        return Report(SplitOutcome::InputMissing, inputName);
    }
    // Its size and identity from one query, then the preamble; the levels
    // are read as they are copied.
    FileIdentity identity;
    std::uint64_t size = 0;
    const bool known = IdentifyOpenFile(input, identity, &size);
    if (!known) {
        identity = FileIdentity{};
    }
    std::uint8_t preamble[DDS_PREAMBLE_SIZE] = {};
    DWORD got = 0;
    const DWORD wanted = size < DDS_PREAMBLE_SIZE ? static_cast<DWORD>(size) : DDS_PREAMBLE_SIZE;
    // A chunk of a split texture given for a texture is said to be one,
    // with the command that welds its set, should it fail to split.
    TStringBufferA<260> chunkOf;
    std::int32_t number = 0;
    if (const std::ptrdiff_t stem = SplitTextureOfChunk(inputName); stem >= 0 && NumberedStem(inputName, number) >= 0) {
        chunkOf.Format("%s is chunk %d of the split texture %.*s (texweld \"%.*s.0\" welds it)", inputName,
                       static_cast<int>(number), static_cast<int>(stem), inputName, static_cast<int>(stem), inputName);
    }
    int status;
    if (!known || size > UINT32_MAX || !ReadFile(input, preamble, wanted, &got, nullptr) || got != wanted) {
        status = Report(SplitOutcome::InputUnreadable);
    } else {
        status = Split(input, static_cast<std::uint32_t>(size), preamble, inputName, base, identity,
                       chunkOf.Length() > 0 ? chunkOf.GetString() : "");
    }
    CloseHandle(input);
    return status;
}

}  // namespace

int TexsplitMain(int argc, char** argv) {
    const SplitArguments arguments = ReadArguments(argc, argv);
    switch (arguments.ask) {
    case SplitArguments::Ask::Split:
        break;
    case SplitArguments::Ask::Help:
        PrintConsoleLine("%s%s", kSplitLines[0].format,
                         "Splits a whole DDS texture into the chunk files <base>.0 ... <base>.N that texweld "
                         "reassembles.\n");
        return 0;
    case SplitArguments::Ask::Version:
        PrintConsoleLine("texsplit %s\n", TEXWELD_VERSION);
        return 0;
    case SplitArguments::Ask::Usage:
        return Report(SplitOutcome::Usage);
    }
    const char* const* names = arguments.names.get();
    // A texture and the set it goes into; or several textures (a glob,
    // files dropped on the program), each split into its own set, so that
    // a second texture is never taken for a set to replace.
    if (arguments.nameCount == 1) {
        return SplitOne(names[0], names[0]);
    }
    if (arguments.nameCount == 2 && !IsWholeTexture(names[1])) {
        TStringBufferA<260> base;
        if (!SetNamedBy(names[1], names[0], base)) {
            return Report(SplitOutcome::CannotOpenChunk, names[1]);
        }
        return SplitOne(names[0], base.GetString());
    }
    int status = 0;
    for (int i = 0; i < arguments.nameCount; ++i) {
        g_textureOfTheLine = names[i];
        status |= SplitOne(names[i], names[i]);
    }
    g_textureOfTheLine = nullptr;
    return status;
}
