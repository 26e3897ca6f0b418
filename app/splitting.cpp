#include "app/splitting.h"

#include "app/chunk_layout.h"
#include "app/outcome.h"
#include "app/output_file.h"
#include "dds/dds_header.h"
#include "dds/mip_sizes.h"
#include "dds/texture_format.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/pending_file.h"
#include "support/byte_buffer.h"
#include "support/file_access.h"
#include "support/string_buffer.h"

#include <cstring>
#include <new>
#include <optional>

namespace {

// A chain whose size fits in 32 bits has at most this many levels
// (dimensions below 2^31 halve to 1 in 31 steps).
constexpr std::uint32_t kMostLevels = 32;

// How many chunks of an earlier split above the new count are looked for:
// as many as any split can have.
constexpr std::uint32_t kMostStaleChunks = kMostLevels;

// How long a split waits for another one writing into the same folder.
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
    WriteFailed,
    Split,
};

// texsplit's lines, indexed by SplitOutcome. Each takes at most a name and
// a count, in that order. Where the file itself is at fault texsplit says
// what texweld says of a first chunk, from texweld's table (null here).
constexpr const char* kSplitLines[] = {
    "Syntax: Texsplit <dds file> [base name]\n",
    "%s wasn't found.\n",
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    "File size doesn't match its header.\n",
    "Mip count runs past the 1x1 level.\n",
    "Failed to open the chunks of %s for writing.\n",
    "Failed to write the chunk files.\n",
    "Successfully split %s into %d chunks.\n",
};
// The success line for a texture that goes into its first chunk alone.
constexpr const char kSplitIntoOneChunk[] = "Successfully split %s into 1 chunk.\n";
static_assert(sizeof kSplitLines / sizeof kSplitLines[0] == static_cast<std::size_t>(SplitOutcome::Split) + 1);

// The outcomes whose line is texweld's.
struct SharedLine {
    SplitOutcome split;
    Outcome texweld;
};
constexpr SharedLine kSharedLines[] = {
    {SplitOutcome::InputUnreadable, Outcome::FirstChunkUnreadable},
    {SplitOutcome::TooSmall, Outcome::TooSmall},
    {SplitOutcome::BadSignature, Outcome::BadSignature},
    {SplitOutcome::UnknownFormat, Outcome::UnknownFormat},
};

int Report(SplitOutcome outcome, const char* name = "", int count = 0) {
    const char* line = kSplitLines[static_cast<std::size_t>(outcome)];
    if (line == nullptr) {
        for (const SharedLine& shared : kSharedLines) {
            if (shared.split == outcome) {
                PrintOutcome(shared.texweld, {});
            }
        }
        return 1;
    }
    switch (outcome) {
    case SplitOutcome::InputMissing:
    case SplitOutcome::CannotOpenChunk:
        PrintConsoleLine(line, name);
        break;
    case SplitOutcome::Split:
        if (count == 1) {
            PrintConsoleLine(kSplitIntoOneChunk, name);
        } else {
            PrintConsoleLine(line, name, count);
        }
        return 0;
    default:
        PrintConsoleLine("%s", line);
        break;
    }
    return 1;
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

// The pass over one whole file in `file`; names the chunks after `base`.
int Split(const ByteBuffer& file, const char* inputName, const char* base, FileIdentity input) {
    if (file.size < DDS_PREAMBLE_SIZE) {
        return Report(SplitOutcome::TooSmall);
    }
    if (ReadLittleEndian32(file.data) != DDS_MAGIC) {
        return Report(SplitOutcome::BadSignature);
    }
    const DDS_HEADER header = ReadDdsHeader(file.data + DDS_MAGIC_SIZE);
    const TextureFormat format = ClassifyPixelFormat(header);
    if (format == TextureFormat::Unknown) {
        return Report(SplitOutcome::UnknownFormat);
    }
    // As texweld sizes it: a chain that does not fit in 32 bits matches no
    // file that can be read.
    const std::optional<std::uint32_t> chain = CheckedSurfaceChainSize(
        static_cast<std::int32_t>(header.dwWidth), static_cast<std::int32_t>(header.dwHeight),
        static_cast<std::int32_t>(header.dwDepth), static_cast<std::int32_t>(header.dwMipMapCount), format);
    if (!chain || *chain > UINT32_MAX - DDS_PREAMBLE_SIZE || file.size != DDS_PREAMBLE_SIZE + *chain) {
        return Report(SplitOutcome::SizeMismatch);
    }
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

    // Chunk k holds level N - k; the first chunk the preamble and the rest.
    OutputFile files[kMostLevels + 1];
    TStringBufferA<260> names[kMostLevels + 1];
    std::uint32_t offset = DDS_PREAMBLE_SIZE;
    for (std::uint32_t level = 0; level < numbered; ++level) {
        const std::optional<std::uint32_t> size =
            CheckedMipLevelSize(header.dwWidth, header.dwHeight, header.dwDepth, level, format);
        const std::uint32_t number = numbered - level;
        if (!size || names[number].Format("%s.%u", base, static_cast<unsigned>(number)) <= 0) {
            return Report(SplitOutcome::CannotOpenChunk, base);
        }
        files[number] = {names[number].GetString(), file.data + offset, *size};
        offset += *size;
    }
    // The first chunk: the preamble, then the levels after the numbered ones.
    std::uint8_t* first = new (std::nothrow) std::uint8_t[file.size - offset + DDS_PREAMBLE_SIZE];
    if (first == nullptr || names[0].Format("%s.0", base) <= 0) {
        delete[] first;
        return Report(SplitOutcome::CannotOpenChunk, base);
    }
    std::memcpy(first, file.data, DDS_PREAMBLE_SIZE);
    std::memcpy(first + DDS_PREAMBLE_SIZE, file.data + offset, file.size - offset);
    files[0] = {names[0].GetString(), first, file.size - offset + DDS_PREAMBLE_SIZE};

    // One writer of a set at a time: another texsplit into this folder
    // finishes its commit first. Chunks of an earlier, larger split above
    // the new count go in the same commit, so the set on disk is exactly
    // this texture's.
    FolderLock lock;
    TStringBufferA<260> staleNames[kMostStaleChunks];
    const char* stale[kMostStaleChunks];
    std::uint32_t staleCount = 0;
    OutputResult written = OutputResult::CannotOpen;
    if (lock.Acquire(names[0].GetString(), kLockWaitMilliseconds)) {
        for (std::uint32_t number = numbered + 1; staleCount < kMostStaleChunks; ++number) {
            TStringBufferA<260>& name = staleNames[staleCount];
            if (name.Format("%s.%u", base, static_cast<unsigned>(number)) <= 0 ||
                GetPathKind(name.GetString()) != PathKind::RegularFile) {
                break;
            }
            stale[staleCount++] = name.GetString();
        }
        written = WriteOutputFiles(files, numbered + 1, stale, staleCount, {&input, 1});
    }
    delete[] first;
    switch (written) {
    case OutputResult::Written:
        return Report(SplitOutcome::Split, inputName, static_cast<int>(numbered + 1));
    case OutputResult::CannotOpen:
        return Report(SplitOutcome::CannotOpenChunk, base);
    case OutputResult::WriteFailed:
        break;
    }
    return Report(SplitOutcome::WriteFailed);
}

}  // namespace

int TexsplitMain(int argc, char** argv) {
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        return Report(SplitOutcome::Usage);
    }
    const char* inputName = argv[1];
    const char* base = argc >= 3 ? argv[2] : inputName;
    HANDLE handle = OpenFileByMode(inputName, "r");
    if (handle == INVALID_HANDLE_VALUE) {
        return Report(SplitOutcome::InputMissing, inputName);
    }
    FileIdentity input;
    if (!IdentifyOpenFile(handle, input)) {
        input = FileIdentity{};
    }
    ByteBuffer file(kBufferGranularity);
    const bool read = ReadHandleIntoBuffer(handle, file);
    CloseHandle(handle);
    if (!read) {
        return Report(SplitOutcome::InputUnreadable);
    }
    return Split(file, inputName, base, input);
}
