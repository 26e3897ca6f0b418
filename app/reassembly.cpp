#include "app/reassembly.h"

#include "app/chunk_layout.h"
#include "app/outcome.h"
#include "app/output_file.h"
#include "dds/dds_header.h"
#include "dds/mip_sizes.h"
#include "dds/texture_format.h"
#include "platform/memory_hints.h"
#include "support/byte_buffer.h"
#include "support/file_access.h"

#include <cstring>
#include <optional>

namespace {

// The 4-byte magic and the 124-byte header that open every DDS file.
constexpr std::uint32_t kPreambleBytes = DDS_PREAMBLE_SIZE;

// The chunks a run reads, by identity, so that the output is never one of
// them. Every numbered chunk that is read whole holds a level of the chain,
// and a chain whose size fits in 32 bits has at most 33 levels, so with the
// first chunk this many always suffice.
struct ChunksRead {
    static constexpr std::uint32_t kCapacity = 40;
    FileIdentity identities[kCapacity];
    std::uint32_t count = 0;
    bool unknown = false;  // one could not be identified: refuse the output

    // Where the next chunk's identity goes.
    FileIdentity* Next() {
        if (count == kCapacity) {
            unknown = true;
            return nullptr;
        }
        identities[count] = FileIdentity{};
        return &identities[count++];
    }
    void Check() {
        for (std::uint32_t i = 0; i < count; ++i) {
            if (identities[i] == FileIdentity{}) {
                unknown = true;
            }
        }
    }
};

// The two buffers of one pass, given back on every path out of it. Numbered
// chunks are read straight into the image, at their level's place.
struct PassBuffers {
    ByteBuffer firstChunk{kBufferGranularity};
    ByteBuffer image{kBufferGranularity};

    PassBuffers() = default;
    PassBuffers(const PassBuffers&) = delete;
    PassBuffers& operator=(const PassBuffers&) = delete;
    ~PassBuffers() {
        image.Release();
        firstChunk.Release();
    }
};

// Runs the pass on `buffers`; says how it ended, with the chunk concerned.
Outcome RunPass(PassBuffers& buffers, CStringBufferA& path, const CountedString& baseName,
                const CountedString& outputName, std::int32_t& chunkConcerned) {
    path.Format("%s.0", baseName.GetString());
    HANDLE firstHandle = OpenFileByMode(path.GetString(), "r");
    if (firstHandle == INVALID_HANDLE_VALUE) {
        return Outcome::NotSplit;
    }
    ChunksRead chunksRead;
    if (FileIdentity* identity = chunksRead.Next(); !IdentifyOpenFile(firstHandle, *identity)) {
        *identity = FileIdentity{};
    }
    const bool firstRead = ReadHandleIntoBuffer(firstHandle, buffers.firstChunk);
    CloseHandle(firstHandle);
    if (!firstRead) {
        return Outcome::FirstChunkUnreadable;
    }

    const ByteBuffer& first = buffers.firstChunk;
    if (first.size < kPreambleBytes) {
        return Outcome::TooSmall;
    }
    if (ReadLittleEndian32(first.data) != DDS_MAGIC) {
        return Outcome::BadSignature;
    }
    const DDS_HEADER header = ReadDdsHeader(first.data + DDS_MAGIC_SIZE);
    const TextureFormat format = ClassifyPixelFormat(header);
    if (format == TextureFormat::Unknown) {
        return Outcome::UnknownFormat;
    }

    auto chunkCount = static_cast<std::int32_t>(NumberedChunks(header.dwMipMapCount));

    // A chain whose size does not fit in 32 bits, or whose dimensions are
    // negative as signed values, would size the image wrongly: refuse it.
    const std::optional<std::uint32_t> chainSize =
        CheckedSurfaceChainSize(static_cast<std::int32_t>(header.dwWidth), static_cast<std::int32_t>(header.dwHeight),
                                static_cast<std::int32_t>(header.dwDepth),
                                static_cast<std::int32_t>(header.dwMipMapCount), format);
    if (!chainSize || *chainSize > UINT32_MAX - kPreambleBytes) {
        return Outcome::NoOutputBuffer;
    }
    const std::uint32_t totalSize = kPreambleBytes + *chainSize;

    ByteBuffer& image = buffers.image;
    if (!image.Reserve(totalSize)) {
        return Outcome::NoOutputBuffer;
    }
    image.size = totalSize;
    std::memcpy(image.data, first.data, kPreambleBytes);
    std::uint32_t writeOffset = kPreambleBytes;
    std::uint32_t level = 0;

    while (chunkCount > 0) {
        path.Format("%s.%d", baseName.GetString(), static_cast<int>(chunkCount));
        // A level whose size does not fit in 32 bits matches no chunk.
        const std::optional<std::uint32_t> expected =
            CheckedMipLevelSize(header.dwWidth, header.dwHeight, header.dwDepth, level, format);
        const std::uint64_t expectedSize = expected ? *expected : std::uint64_t{1} << 32;
        switch (ReadFileIntoPlace(path.GetString(), expectedSize, image.data + writeOffset, totalSize - writeOffset,
                                  chunksRead.Next())) {
        case PlacedRead::Done:
            break;
        case PlacedRead::CannotRead:
            chunkConcerned = chunkCount;
            return Outcome::ChunkUnreadable;
        case PlacedRead::WrongSize:
            chunkConcerned = chunkCount;
            return Outcome::ChunkWrongSize;
        case PlacedRead::DoesNotFit:
            chunkConcerned = chunkCount;
            return Outcome::ChunkDoesntFit;
        }
        writeOffset += *expected;
        level += 1;
        chunkCount -= 1;
    }

    // The smallest levels follow the preamble of the first chunk. A first
    // chunk shorter than they need leaves zeros; a longer one is refused.
    const std::uint32_t smallLevelBytes = first.size - kPreambleBytes;
    if (smallLevelBytes > totalSize - writeOffset) {
        return Outcome::FirstChunkDoesntFit;
    }
    AdviseLargeBlock(image.data + writeOffset, smallLevelBytes);
    std::memcpy(image.data + writeOffset, first.data + kPreambleBytes, smallLevelBytes);

    chunksRead.Check();
    const OutputResult written =
        chunksRead.unknown
            ? OutputResult::CannotOpen
            : WriteOutputFile(outputName.GetString(), image.data, totalSize, {chunksRead.identities, chunksRead.count});
    switch (written) {
    case OutputResult::Written:
        return Outcome::Unsplit;
    case OutputResult::CannotOpen:
        return Outcome::CannotOpenOutput;
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
        PassBuffers buffers;
        outcome = RunPass(buffers, path, baseName, outputName, chunk);
    }
    PrintOutcome(outcome, {baseName.GetString(), path.GetString(), outputName.GetString(), chunk});
}
