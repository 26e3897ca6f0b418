#include "app/reassembly.h"

#include "app/chunk_layout.h"
#include "app/outcome.h"
#include "app/output_file.h"
#include "app/set_journal.h"
#include "app/split_texture_names.h"
#include "dds/dds_header.h"
#include "dds/mip_sizes.h"
#include "dds/preamble.h"
#include "platform/folder_lock.h"
#include "support/file_access.h"

#include <optional>

namespace {

// How long a weld waits for a texsplit that is changing its set, as long as
// a texsplit waits for another; and how often it looks again meanwhile.
constexpr std::uint32_t kSetWaitMilliseconds = 30000;
constexpr std::uint32_t kLookAgainMilliseconds = 10;

// The 4-byte magic and the 124-byte header that open every DDS file.
constexpr std::uint32_t kPreambleBytes = DDS_PREAMBLE_SIZE;

// The chunks a run reads: their identities, so that the output is never one
// of them, and the numbered ones' open handles, held from their check to
// their copy so that the file checked is the file copied. Every numbered
// chunk that passes its check holds a level of the chain; with the first
// chunk and the one numbered chunk that fails past the chain, this many
// always suffice.
struct ChunksRead {
    static constexpr std::uint32_t kCapacity = kMostLevels + 2;
    FileIdentity identities[kCapacity];
    std::int32_t numbers[kCapacity] = {};  // each identity's chunk number
    std::uint32_t count = 0;
    // The first chunk, open, its size and its preamble; its small levels are
    // read from it as they are copied.
    HANDLE first = INVALID_HANDLE_VALUE;
    std::uint32_t firstSize = 0;
    std::uint8_t preamble[kPreambleBytes] = {};
    // The numbered chunks, largest level first, and each one's size.
    HANDLE handles[kCapacity];
    std::uint32_t sizes[kCapacity] = {};
    std::uint32_t handleCount = 0;
    bool unknown = false;  // one could not be identified, or had no room

    ChunksRead() = default;
    ChunksRead(const ChunksRead&) = delete;
    ChunksRead& operator=(const ChunksRead&) = delete;
    ~ChunksRead() { Reset(); }

    // Where the identity of chunk `number`, about to be opened, goes; null
    // when there is no room.
    FileIdentity* Next(std::int32_t number) {
        if (count == kCapacity) {
            unknown = true;
            return nullptr;
        }
        identities[count] = FileIdentity{};
        numbers[count] = number;
        return &identities[count++];
    }
    // Closes every chunk and forgets them, for another look at the set.
    void Reset() {
        for (std::uint32_t i = 0; i < handleCount; ++i) {
            CloseHandle(handles[i]);
        }
        if (first != INVALID_HANDLE_VALUE) {
            CloseHandle(first);
            first = INVALID_HANDLE_VALUE;
        }
        count = handleCount = 0;
        unknown = false;
    }
    // Whether every chunk was identified: an output that could not be told
    // apart from the chunks is refused.
    bool AllKnown() const {
        for (std::uint32_t i = 0; i < count; ++i) {
            if (identities[i] == FileIdentity{}) {
                return false;
            }
        }
        return !unknown;
    }
};

// The output's bytes in order: the preamble, each numbered chunk from its
// open handle, the small levels after the first chunk's preamble, and zeros
// where a short first chunk leaves room.
class ChunkStream final : public OutputSource {
public:
    ChunkStream(BlockCopier& copier, const ChunksRead& chunks, std::uint32_t totalSize)
        : copier_(copier), chunks_(chunks), totalSize_(totalSize) {}

    OutputResult WriteTo(HANDLE out, bool replacing) override {
        copier_.Start(out, replacing);
        BlockCopier::Result result = copier_.Put(chunks_.preamble, kPreambleBytes);
        std::uint32_t written = kPreambleBytes;
        for (std::uint32_t i = 0; i < chunks_.handleCount && result == BlockCopier::Result::Done; ++i) {
            // From the chunk's start: a replacement refused at its commit
            // is written again, in place.
            const bool rewound = SetFilePointer(chunks_.handles[i], 0, nullptr, FILE_BEGIN) == 0;
            result = rewound ? copier_.PutFile(chunks_.handles[i], chunks_.sizes[i]) : BlockCopier::Result::ReadFailed;
            if (result == BlockCopier::Result::ReadFailed) {
                failedChunk_ = static_cast<std::int32_t>(chunks_.handleCount - i);
                return OutputResult::SourceFailed;
            }
            written += chunks_.sizes[i];
        }
        const std::uint32_t smallLevelBytes = chunks_.firstSize - kPreambleBytes;
        if (result == BlockCopier::Result::Done) {
            const bool placed = SetFilePointer(chunks_.first, kPreambleBytes, nullptr, FILE_BEGIN) == kPreambleBytes;
            result = placed ? copier_.PutFile(chunks_.first, smallLevelBytes) : BlockCopier::Result::ReadFailed;
            if (result == BlockCopier::Result::ReadFailed) {
                failedChunk_ = 0;
                return OutputResult::SourceFailed;
            }
        }
        if (result == BlockCopier::Result::Done) {
            result = copier_.PutZeros(totalSize_ - written - smallLevelBytes);
        }
        if (result == BlockCopier::Result::Done) {
            result = copier_.Finish();
        }
        return result == BlockCopier::Result::Done ? OutputResult::Written : OutputResult::WriteFailed;
    }

    // The chunk whose read failed during the copy; 0 for the first chunk.
    std::int32_t FailedChunk() const { return failedChunk_; }

private:
    BlockCopier& copier_;
    const ChunksRead& chunks_;
    std::uint32_t totalSize_;
    std::int32_t failedChunk_ = 0;
};

// Opens the set `base` and checks it: the first chunk opened, its size
// taken and its preamble read and checked, every numbered chunk opened and
// its size checked, largest level first, the output checked against them.
// Unsplit when the output may be written from `chunks` through `copier`.
Outcome OpenSet(CStringBufferA& path, const char* base, const char* outputName, ChunksRead& chunks,
                BlockCopier& copier, std::uint32_t& totalSize, std::int32_t& chunkConcerned) {
    path.Format("%s.0", base);
    chunks.first = OpenFileByMode(path.GetString(), "r");
    if (chunks.first == INVALID_HANDLE_VALUE) {
        return Outcome::NotSplit;
    }
    // The first chunk is read as it is copied, never whole: of up to 4 GiB
    // less one byte, like every other.
    FileIdentity* identity = chunks.Next(0);
    std::uint64_t firstSize = 0;
    if (!IdentifyOpenFile(chunks.first, *identity, &firstSize)) {
        *identity = FileIdentity{};
        return Outcome::FirstChunkUnreadable;
    }
    const DWORD wanted = firstSize < kPreambleBytes ? static_cast<DWORD>(firstSize) : kPreambleBytes;
    DWORD got = 0;
    if (firstSize > UINT32_MAX || !ReadFile(chunks.first, chunks.preamble, wanted, &got, nullptr) || got != wanted) {
        return Outcome::FirstChunkUnreadable;
    }
    chunks.firstSize = static_cast<std::uint32_t>(firstSize);

    Preamble preamble;
    switch (CheckPreamble(chunks.preamble, chunks.firstSize, preamble)) {
    case PreambleCheck::Valid:
        break;
    case PreambleCheck::TooSmall:
        return Outcome::TooSmall;
    case PreambleCheck::BadSignature:
        return Outcome::BadSignature;
    case PreambleCheck::UnknownFormat:
        return Outcome::UnknownFormat;
    case PreambleCheck::TooLarge:
        // A texture that cannot be sized in 32 bits has no output to write.
        return Outcome::NoOutputBuffer;
    }
    const DDS_HEADER& header = preamble.header;
    const TextureFormat format = preamble.format;
    totalSize = preamble.totalSize;
    auto chunkCount = static_cast<std::int32_t>(NumberedChunks(header.dwMipMapCount));

    // The one block every byte of the output passes through.
    if (!copier.Reserve(totalSize)) {
        return Outcome::NoOutputBuffer;
    }

    std::uint32_t writeOffset = kPreambleBytes;
    std::uint32_t level = 0;
    while (chunkCount > 0) {
        path.Format("%s.%d", base, static_cast<int>(chunkCount));
        // A level whose size does not fit in 32 bits matches no chunk.
        const std::optional<std::uint32_t> expected =
            CheckedMipLevelSize(header.dwWidth, header.dwHeight, header.dwDepth, level, format);
        const std::uint64_t expectedSize = expected ? *expected : std::uint64_t{1} << 32;
        HANDLE handle = INVALID_HANDLE_VALUE;
        chunkConcerned = chunkCount;
        switch (OpenFileOfSize(path.GetString(), expectedSize, totalSize - writeOffset, chunks.Next(chunkCount),
                               handle)) {
        case SizedOpen::Done:
            break;
        case SizedOpen::CannotRead:
            return Outcome::ChunkUnreadable;
        case SizedOpen::WrongSize:
            return Outcome::ChunkWrongSize;
        case SizedOpen::DoesNotFit:
            return Outcome::ChunkDoesntFit;
        }
        if (chunks.handleCount == ChunksRead::kCapacity) {
            CloseHandle(handle);  // more chunks than any chain has levels
            return Outcome::ChunkDoesntFit;
        }
        chunks.handles[chunks.handleCount] = handle;
        chunks.sizes[chunks.handleCount++] = *expected;
        writeOffset += *expected;
        level += 1;
        chunkCount -= 1;
    }

    // The smallest levels follow the preamble of the first chunk. A first
    // chunk shorter than they need leaves zeros; a longer one is refused.
    if (chunks.firstSize - kPreambleBytes > totalSize - writeOffset) {
        return Outcome::FirstChunkDoesntFit;
    }
    // An output that could not be told apart from the chunks, or that holds
    // another split texture, is refused.
    if (!chunks.AllKnown() || BelongsToAnotherSplitTexture(outputName, chunks.identities[0])) {
        return Outcome::CannotOpenOutput;
    }
    return Outcome::Unsplit;
}

enum class SetLook {
    Unchanged,  // what was opened is one whole set, as it stands now
    Changed,    // a texsplit changed it meanwhile, or one is changing it: look again
    Stuck,      // a dead texsplit left it half-changed, and this run may not roll it back
    Unknown,    // no memory to tell
};

// Whether the chunks a look at the set `base` opened are still the set: no
// texsplit is changing it (a journal with its writer alive) and every name
// opened still leads to the file opened, asked in that order, after every
// open. A journal whose writer is gone is rolled back first, under the
// folder's lock, taken without waiting, with this run's chunks closed;
// `chunkConcerned` gets the chunk to name when that cannot be done.
SetLook LookAtSet(const char* base, ChunksRead& chunks, CStringBufferA& path, std::int32_t& chunkConcerned) {
    const JournalState journal = FindJournal(base);
    if (journal == JournalState::Unknown) {
        return SetLook::Unknown;
    }
    if (journal != JournalState::None) {
        if (path.Format("%s.0", base) <= 0) {
            return SetLook::Unknown;
        }
        FolderLock lock;
        const FolderLock::Result locked = lock.Acquire(path.GetString(), FolderLock::Mode::Exclusive, 0);
        if (locked == FolderLock::Result::Held) {
            // On Windows a name whose file is open cannot be given back its
            // old file, and the chunks are opened again after the rollback.
            chunks.Reset();
            const RecoveryReport recovered = RecoverSet(base);
            if (recovered.outcome == Recovery::Recovered || recovered.outcome == Recovery::Clean) {
                return SetLook::Changed;
            }
            chunkConcerned = recovered.firstChunk > 0 ? recovered.firstChunk : 0;
            return SetLook::Stuck;
        }
        if (journal == JournalState::Changing) {
            // A live writer's commit, or one nobody here can tell is dead.
            chunkConcerned = 0;
            return locked == FolderLock::Result::Busy ? SetLook::Changed : SetLook::Stuck;
        }
    }
    // A chunk that could not be opened has no identity to compare: its
    // failure stands unless another name changed.
    for (std::uint32_t i = 0; i < chunks.count; ++i) {
        if (chunks.identities[i] == FileIdentity{}) {
            continue;
        }
        FileIdentity now;
        if (path.Format("%s.%d", base, static_cast<int>(chunks.numbers[i])) <= 0) {
            return SetLook::Unknown;
        }
        if (!IdentifyPath(path.GetString(), now)) {
            now = FileIdentity{};
        }
        if (!(now == chunks.identities[i])) {
            return SetLook::Changed;
        }
    }
    return SetLook::Unchanged;
}

// Runs the pass; says how it ended, with the chunk concerned.
Outcome RunPass(CStringBufferA& path, const CountedString& baseName, const CountedString& outputName,
                std::int32_t& chunkConcerned) {
    const char* base = baseName.GetString();
    path.Format("%s.0", base);
    // A base with no first chunk has no set to wait for: no commit makes
    // that name go, and a set being made for the first time is not there yet.
    if (GetPathKind(path.GetString()) == PathKind::Missing) {
        return Outcome::NotSplit;
    }
    // A weld takes no lock: it opens the set, then checks that no texsplit
    // changed it meanwhile, and looks again if one did, for as long as a
    // texsplit takes the folder's lock for. The copy then reads from the
    // open files, whatever happens to the names.
    ChunksRead chunks;
    BlockCopier copier;
    std::uint32_t totalSize = 0;
    Outcome outcome = Outcome::FirstChunkUnreadable;
    for (std::uint32_t waited = 0;; waited += kLookAgainMilliseconds) {
        chunks.Reset();
        outcome = OpenSet(path, base, outputName.GetString(), chunks, copier, totalSize, chunkConcerned);
        std::int32_t stuckAt = 0;
        const SetLook look = LookAtSet(base, chunks, path, stuckAt);
        if (look == SetLook::Stuck) {
            chunkConcerned = stuckAt;
            path.Format("%s.%d", base, static_cast<int>(chunkConcerned));
            return Outcome::ChunkUnreadable;
        }
        if (look == SetLook::Unchanged) {
            break;
        }
        if (look == SetLook::Unknown) {
            return Outcome::FirstChunkUnreadable;
        }
        if (waited >= kSetWaitMilliseconds) {
            return Outcome::FirstChunkUnreadable;
        }
        Sleep(kLookAgainMilliseconds);
    }
    if (outcome != Outcome::Unsplit) {
        if (outcome == Outcome::ChunkUnreadable || outcome == Outcome::ChunkWrongSize ||
            outcome == Outcome::ChunkDoesntFit) {
            path.Format("%s.%d", base, static_cast<int>(chunkConcerned));
        } else {
            path.Format("%s.0", base);
        }
        return outcome;
    }

    ChunkStream stream(copier, chunks, totalSize);
    switch (WriteOutputFile(outputName.GetString(), stream, {chunks.identities, chunks.count})) {
    case OutputResult::Written:
        return Outcome::Unsplit;
    case OutputResult::CannotOpen:
        return Outcome::CannotOpenOutput;
    case OutputResult::SourceFailed:
        // A chunk shrank or failed between its check and its copy.
        chunkConcerned = stream.FailedChunk();
        if (chunkConcerned == 0) {
            return Outcome::FirstChunkUnreadable;
        }
        path.Format("%s.%d", base, static_cast<int>(chunkConcerned));
        return Outcome::ChunkUnreadable;
    case OutputResult::WriteFailed:
        break;
    }
    return Outcome::WriteFailed;
}

}  // namespace

void ReassembleSplitTexture(CStringBufferA& path, const CountedString& baseName, const CountedString& outputName) {
    std::int32_t chunk = 0;
    const Outcome outcome = RunPass(path, baseName, outputName, chunk);
    PrintOutcome(outcome, {baseName.GetString(), path.GetString(), outputName.GetString(), chunk});
}
