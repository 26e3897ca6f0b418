#include "dds/dds_header.h"

std::uint32_t ReadLittleEndian32(const std::uint8_t* bytes) {
    return static_cast<std::uint32_t>(bytes[0]) | (static_cast<std::uint32_t>(bytes[1]) << 8) |
           (static_cast<std::uint32_t>(bytes[2]) << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

DDS_HEADER ReadDdsHeader(const std::uint8_t* bytes) {
    // Fields are assigned one by one rather than copied as a block, so the
    // result never depends on the host's byte order or struct layout.
    const std::uint8_t* cursor = bytes;
    auto next = [&cursor]() {
        const std::uint32_t word = ReadLittleEndian32(cursor);
        cursor += 4;
        return word;
    };

    DDS_HEADER h{};
    h.dwSize = next();
    h.dwFlags = next();
    h.dwHeight = next();
    h.dwWidth = next();
    h.dwPitchOrLinearSize = next();
    h.dwDepth = next();
    h.dwMipMapCount = next();
    for (std::uint32_t& word : h.dwReserved1) {
        word = next();
    }
    h.ddspf.dwSize = next();
    h.ddspf.dwFlags = next();
    h.ddspf.dwFourCC = next();
    h.ddspf.dwRGBBitCount = next();
    h.ddspf.dwRBitMask = next();
    h.ddspf.dwGBitMask = next();
    h.ddspf.dwBBitMask = next();
    h.ddspf.dwABitMask = next();
    h.dwCaps = next();
    h.dwCaps2 = next();
    h.dwCaps3 = next();
    h.dwCaps4 = next();
    h.dwReserved2 = next();
    return h;
}
