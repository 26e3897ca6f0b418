#include "dds/preamble.h"

#include "dds/mip_sizes.h"

#include <optional>

PreambleCheck CheckPreamble(const std::uint8_t* bytes, std::uint64_t available, Preamble& preamble) {
    if (bytes == nullptr || available < DDS_PREAMBLE_SIZE) {
        return PreambleCheck::TooSmall;
    }
    if (ReadLittleEndian32(bytes) != DDS_MAGIC) {
        return PreambleCheck::BadSignature;
    }
    const DDS_HEADER header = ReadDdsHeader(bytes + DDS_MAGIC_SIZE);
    const TextureFormat format = ClassifyPixelFormat(header);
    if (format == TextureFormat::Unknown) {
        return PreambleCheck::UnknownFormat;
    }
    const std::optional<std::uint32_t> chain = CheckedSurfaceChainSize(
        static_cast<std::int32_t>(header.dwWidth), static_cast<std::int32_t>(header.dwHeight),
        static_cast<std::int32_t>(header.dwDepth), static_cast<std::int32_t>(header.dwMipMapCount), format);
    if (!chain || *chain > UINT32_MAX - DDS_PREAMBLE_SIZE) {
        return PreambleCheck::TooLarge;
    }
    preamble = {header, format, DDS_PREAMBLE_SIZE + *chain};
    return PreambleCheck::Valid;
}
