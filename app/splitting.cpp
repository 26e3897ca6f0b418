#include "app/splitting.h"

#include "app/chunk_layout.h"
#include "app/outcome.h"
#include "app/output_file.h"
#include "app/set_journal.h"
#include "dds/dds_header.h"
#include "dds/mip_sizes.h"
#include "dds/preamble.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/folder_lock.h"
#include "support/file_access.h"
#include "support/string_buffer.h"

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
    {SplitOutcome::Split, OutcomeFields::BaseAndChunk, "Successfully split %s into %d chunks.\n"},
    {SplitOutcome::SplitIntoOne, OutcomeFields::Base, "Successfully split %s into 1 chunk.\n"},
};

static_assert(InOutcomeOrder(kSplitLines), "kSplitLines is indexed by SplitOutcome");

// Prints the line of `outcome`; returns the exit status that goes with it.
int Report(SplitOutcome outcome, const char* name = "", int count = 0, const char* file = "") {
    const SplitLine& line = kSplitLines[static_cast<std::size_t>(outcome)];
    PrintLine(line.fields, line.format, {name, file, "", count});
    return outcome == SplitOutcome::Split || outcome == SplitOutcome::SplitIntoOne ? 0 : 1;
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
// preamble is `preamble`; names the chunks after `base`.
int Split(HANDLE input, std::uint32_t fileSize, const std::uint8_t* preamble, const char* inputName,
          const char* base, FileIdentity identity) {
    Preamble checked;
    switch (CheckPreamble(preamble, fileSize, checked)) {
    case PreambleCheck::Valid:
        break;
    case PreambleCheck::TooSmall:
        return Report(SplitOutcome::TooSmall);
    case PreambleCheck::BadSignature:
        return Report(SplitOutcome::BadSignature);
    case PreambleCheck::UnknownFormat:
        return Report(SplitOutcome::UnknownFormat);
    case PreambleCheck::TooLarge:
        // As texweld sizes it: a chain that does not fit in 32 bits matches
        // no file that can be read.
        return Report(SplitOutcome::SizeMismatch);
    }
    if (fileSize != checked.totalSize) {
        return Report(SplitOutcome::SizeMismatch);
    }
    const DDS_HEADER& header = checked.header;
    const TextureFormat format = checked.format;
    // Chunks are numbered as texweld will look for them. A count past the
    // chain would call for levels that do not exist, whether it is positive
    // or one whose numbered chunks texweld counts in wrapped 32 bits.
    const std::uint32_t numbered = NumberedChunks(header.dwMipMapCount);
    const bool countsLevels = static_cast<std::int32_t>(header.dwMipMapCount) > 0 || numbered > 0;
    if (countsLevels && header.dwMipMapCount > LevelsInChain(header)) {
        return Report(SplitOutcome::CountPastTheChain);
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
        return numbered == 0 ? Report(SplitOutcome::SplitIntoOne, inputName)
                             : Report(SplitOutcome::Split, inputName, static_cast<int>(numbered + 1));
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

// What the command line asks for.
struct SplitArguments {
    enum class Ask { Split, Help, Version, Usage };
    Ask ask = Ask::Usage;
    const char* inputName = nullptr;
    const char* base = nullptr;
};

// Reads the command line strictly, so that a slip (a glob, dropped files, an
// option texsplit does not have) never names a set to replace: one or two
// names; "--help" and "--version" anywhere before "--", which ends the
// options for a name that begins with "-"; any other "-" word, or a third
// name, is a usage error.
SplitArguments ReadArguments(int argc, char** argv) {
    SplitArguments read;
    const char* names[2] = {};
    int nameCount = 0;
    bool options = true;
    for (int i = 1; i < argc && argv != nullptr && argv[i] != nullptr; ++i) {
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
        } else if (nameCount == 2) {
            return read;
        } else {
            names[nameCount++] = argument;
        }
    }
    if (nameCount > 0) {
        read.ask = SplitArguments::Ask::Split;
        read.inputName = names[0];
        read.base = nameCount == 2 ? names[1] : names[0];
    }
    return read;
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
    const char* inputName = arguments.inputName;
    const char* base = arguments.base;
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
    int status;
    if (!known || size > UINT32_MAX || !ReadFile(input, preamble, wanted, &got, nullptr) || got != wanted) {
        status = Report(SplitOutcome::InputUnreadable);
    } else {
        status = Split(input, static_cast<std::uint32_t>(size), preamble, inputName, base, identity);
    }
    CloseHandle(input);
    return status;
}
