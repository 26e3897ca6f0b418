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
#include "support/byte_buffer.h"
#include "support/file_access.h"

#include <optional>

namespace {

// How long a weld waits for a texsplit that is changing its set.
constexpr std::uint32_t kSetLockWaitMilliseconds = 30000;

// How many journals a weld rolls back before it reads: a writer that dies
// each time it is let in is not waited for forever.
constexpr std::uint32_t kRecoveryAttempts = 3;

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
    std::uint32_t count = 0;
    // The numbered chunks, largest level first, and each one's size.
    HANDLE handles[kCapacity];
    std::uint32_t sizes[kCapacity] = {};
    std::uint32_t handleCount = 0;
    bool unknown = false;  // one could not be identified, or had no room

    ChunksRead() = default;
    ChunksRead(const ChunksRead&) = delete;
    ChunksRead& operator=(const ChunksRead&) = delete;
    ~ChunksRead() {
        for (std::uint32_t i = 0; i < handleCount; ++i) {
            CloseHandle(handles[i]);
        }
    }

    // Where the next chunk's identity goes; null when there is no room.
    FileIdentity* Next() {
        if (count == kCapacity) {
            unknown = true;
            return nullptr;
        }
        identities[count] = FileIdentity{};
        return &identities[count++];
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
    ChunkStream(BlockCopier& copier, const ByteBuffer& first, const ChunksRead& chunks, std::uint32_t totalSize)
        : copier_(copier), first_(first), chunks_(chunks), totalSize_(totalSize) {}

    OutputResult WriteTo(HANDLE out, bool replacing) override {
        copier_.Start(out, replacing);
        BlockCopier::Result result = copier_.Put(first_.data, kPreambleBytes);
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
        const std::uint32_t smallLevelBytes = first_.size - kPreambleBytes;
        if (result == BlockCopier::Result::Done) {
            result = copier_.Put(first_.data + kPreambleBytes, smallLevelBytes);
        }
        if (result == BlockCopier::Result::Done) {
            result = copier_.PutZeros(totalSize_ - written - smallLevelBytes);
        }
        if (result == BlockCopier::Result::Done) {
            result = copier_.Finish();
        }
        return result == BlockCopier::Result::Done ? OutputResult::Written : OutputResult::WriteFailed;
    }

    // The chunk whose read failed during the copy.
    std::int32_t FailedChunk() const { return failedChunk_; }

private:
    BlockCopier& copier_;
    const ByteBuffer& first_;
    const ChunksRead& chunks_;
    std::uint32_t totalSize_;
    std::int32_t failedChunk_ = 0;
};

// Runs the pass; says how it ended, with the chunk concerned.
Outcome RunPass(ByteBuffer& first, CStringBufferA& path, const CountedString& baseName,
                const CountedString& outputName, std::int32_t& chunkConcerned) {
    path.Format("%s.0", baseName.GetString());
    // A base with no first chunk has no set to wait for: no commit makes
    // that name go, and a set being made for the first time is not there yet.
    if (GetPathKind(path.GetString()) == PathKind::Missing) {
        return Outcome::NotSplit;
    }
    // No texsplit changes the set while its chunks are opened: the folder's
    // lock is held, shared with other readers, until every chunk is open,
    // and the copy then reads from the open files. A set a dead texsplit
    // left half-changed is rolled back first, which needs the lock alone;
    // the journal is looked at again under the shared lock, since a writer
    // may have begun and died in between. A folder that cannot be locked
    // (one this user may write but not read) is read without it, unless a
    // journal says its set is half-changed.
    FolderLock lock;
    for (std::uint32_t attempt = 0;; ++attempt) {
        const FolderLock::Result locked =
            lock.Acquire(path.GetString(), FolderLock::Mode::Shared, kSetLockWaitMilliseconds);
        if (locked == FolderLock::Result::Busy) {
            return Outcome::FirstChunkUnreadable;
        }
        const JournalState journal = FindJournal(baseName.GetString());
        if (journal == JournalState::None) {
            break;
        }
        if (journal == JournalState::Unknown) {
            return Outcome::FirstChunkUnreadable;
        }
        // A set that may not be repaired here names a chunk of the journal.
        RecoveryReport recovered;
        recovered.outcome = Recovery::Failed;
        if (locked == FolderLock::Result::Held && attempt < kRecoveryAttempts &&
            lock.Acquire(path.GetString(), FolderLock::Mode::Exclusive, kSetLockWaitMilliseconds) ==
                FolderLock::Result::Held) {
            recovered = RecoverSet(baseName.GetString());
        }
        if (recovered.outcome != Recovery::Recovered && recovered.outcome != Recovery::Clean) {
            chunkConcerned = recovered.firstChunk > 0 ? recovered.firstChunk : 0;
            path.Format("%s.%d", baseName.GetString(), static_cast<int>(chunkConcerned));
            return Outcome::ChunkUnreadable;
        }
    }
    HANDLE firstHandle = OpenFileByMode(path.GetString(), "r");
    if (firstHandle == INVALID_HANDLE_VALUE) {
        return Outcome::NotSplit;
    }
    ChunksRead chunks;
    if (FileIdentity* identity = chunks.Next(); !IdentifyOpenFile(firstHandle, *identity)) {
        *identity = FileIdentity{};
    }
    const bool firstRead = ReadHandleIntoBuffer(firstHandle, first);
    CloseHandle(firstHandle);
    if (!firstRead) {
        return Outcome::FirstChunkUnreadable;
    }

    Preamble preamble;
    switch (CheckPreamble(first.data, first.size, preamble)) {
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
    const std::uint32_t totalSize = preamble.totalSize;
    auto chunkCount = static_cast<std::int32_t>(NumberedChunks(header.dwMipMapCount));

    // The one block every byte of the output passes through.
    BlockCopier copier;
    if (!copier.Reserve(totalSize)) {
        return Outcome::NoOutputBuffer;
    }

    // Every numbered chunk is opened and its size checked, largest level
    // first, before the output is touched.
    std::uint32_t writeOffset = kPreambleBytes;
    std::uint32_t level = 0;
    while (chunkCount > 0) {
        path.Format("%s.%d", baseName.GetString(), static_cast<int>(chunkCount));
        // A level whose size does not fit in 32 bits matches no chunk.
        const std::optional<std::uint32_t> expected =
            CheckedMipLevelSize(header.dwWidth, header.dwHeight, header.dwDepth, level, format);
        const std::uint64_t expectedSize = expected ? *expected : std::uint64_t{1} << 32;
        HANDLE handle = INVALID_HANDLE_VALUE;
        switch (OpenFileOfSize(path.GetString(), expectedSize, totalSize - writeOffset, chunks.Next(), handle)) {
        case SizedOpen::Done:
            break;
        case SizedOpen::CannotRead:
            chunkConcerned = chunkCount;
            return Outcome::ChunkUnreadable;
        case SizedOpen::WrongSize:
            chunkConcerned = chunkCount;
            return Outcome::ChunkWrongSize;
        case SizedOpen::DoesNotFit:
            chunkConcerned = chunkCount;
            return Outcome::ChunkDoesntFit;
        }
        if (chunks.handleCount == ChunksRead::kCapacity) {
            CloseHandle(handle);  // more chunks than any chain has levels
            chunkConcerned = chunkCount;
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
    if (first.size - kPreambleBytes > totalSize - writeOffset) {
        return Outcome::FirstChunkDoesntFit;
    }
    // An output that could not be told apart from the chunks, or that holds
    // another split texture, is refused.
    if (!chunks.AllKnown() || BelongsToAnotherSplitTexture(outputName.GetString(), chunks.identities[0])) {
        return Outcome::CannotOpenOutput;
    }

    lock.Release();

    ChunkStream stream(copier, first, chunks, totalSize);
    switch (WriteOutputFile(outputName.GetString(), stream, {chunks.identities, chunks.count})) {
    case OutputResult::Written:
        return Outcome::Unsplit;
    case OutputResult::CannotOpen:
        return Outcome::CannotOpenOutput;
    case OutputResult::SourceFailed:
        // A chunk shrank or failed between its check and its copy.
        chunkConcerned = stream.FailedChunk();
        path.Format("%s.%d", baseName.GetString(), static_cast<int>(chunkConcerned));
        return Outcome::ChunkUnreadable;
    case OutputResult::WriteFailed:
        break;
    }
    return Outcome::WriteFailed;
}

}  // namespace

void ReassembleSplitTexture(CStringBufferA& path, const CountedString& baseName, const CountedString& outputName) {
    std::int32_t chunk = 0;
    Outcome outcome;
    {
        ByteBuffer firstChunk(kBufferGranularity);
        outcome = RunPass(firstChunk, path, baseName, outputName, chunk);
    }
    PrintOutcome(outcome, {baseName.GetString(), path.GetString(), outputName.GetString(), chunk});
}
