#include "dds/texture_format.h"

#include <cstdio>

TextureFormat ClassifyPixelFormat(const DDS_HEADER& header) {
    const DDS_PIXELFORMAT& pf = header.ddspf;

    // The order matters: several records match more than one rule (a DXT5
    // FourCC next to RGB flags, an 8-bit luminance format), and the first
    // rule that holds decides.
    if (pf.dwFourCC == DDS_FOURCC_DXT1) {
        return TextureFormat::Dxt1;
    }
    if (pf.dwFourCC == DDS_FOURCC_DXT2) {
        return TextureFormat::Dxt2;
    }
    if (pf.dwFourCC == DDS_FOURCC_DXT3) {
        return TextureFormat::Dxt3;
    }
    if (pf.dwFourCC == DDS_FOURCC_DXT4) {
        return TextureFormat::Dxt4;
    }
    if (pf.dwFourCC == DDS_FOURCC_DXT5) {
        return TextureFormat::Dxt5;
    }
    if (pf.dwFourCC == DDS_FOURCC_ATI2) {
        return TextureFormat::Ati2;
    }
    if (pf.dwFourCC == DDS_FOURCC_CTX1) {
        return TextureFormat::Ctx1;
    }
    if (pf.dwFourCC == DDS_D3DFMT_R32F) {
        return TextureFormat::R32F;
    }
    if (pf == DDSPF_V16U16) {
        return TextureFormat::V16U16;
    }
    if (pf.dwFourCC == DDS_D3DFMT_G16R16F) {
        return TextureFormat::G16R16F;
    }
    // 32-bit colour with alpha is recognised by its alpha mask alone; the
    // colour masks may be in any order.
    if (pf.dwFlags == DDS_PF_RGBA && pf.dwRGBBitCount == 32 && pf.dwABitMask == 0xFF000000) {
        return TextureFormat::Argb32;
    }
    if (pf.dwFourCC == DDS_D3DFMT_A16B16G16R16F) {
        return TextureFormat::A16B16G16R16F;
    }
    if (pf.dwFlags == DDS_PF_RGBA && pf.dwRGBBitCount == 16) {
        return TextureFormat::Argb16;
    }
    if (pf.dwFlags == DDS_PF_RGB && pf.dwRGBBitCount == 24) {
        return TextureFormat::Rgb24;
    }
    if (pf.dwFlags == DDS_PF_RGB && pf.dwRGBBitCount == 32) {
        return TextureFormat::Xrgb32;
    }
    if (pf.dwFlags == DDS_PF_LUMINANCE && pf.dwRGBBitCount == 8) {
        return TextureFormat::Luminance8;
    }
    // Any other 8-bit format is taken as alpha-only, whatever its flags say.
    if (pf.dwRGBBitCount == 8) {
        return TextureFormat::Alpha8;
    }
    return TextureFormat::Unknown;
}

void DescribePixelFormat(const DDS_PIXELFORMAT& format, char* text, std::size_t room) {
    if (text == nullptr || room == 0) {
        return;
    }
    if ((format.dwFlags & DDS_PF_FOURCC) != 0) {
        char code[5] = {};
        bool printable = true;
        for (int i = 0; i < 4; ++i) {
            code[i] = static_cast<char>((format.dwFourCC >> (8 * i)) & 0xFFu);
            printable = printable && code[i] >= 0x20 && code[i] < 0x7F;
        }
        if (format.dwFourCC == MakeFourCC('D', 'X', '1', '0')) {
            std::snprintf(text, room, "FourCC DX10 (a DX10 header)");
        } else if (printable) {
            std::snprintf(text, room, "FourCC %s", code);
        } else {
            std::snprintf(text, room, "FourCC %u", static_cast<unsigned>(format.dwFourCC));
        }
        return;
    }
    std::snprintf(text, room, "flags 0x%X, %u bits, masks %08X %08X %08X %08X", static_cast<unsigned>(format.dwFlags),
                  static_cast<unsigned>(format.dwRGBBitCount), static_cast<unsigned>(format.dwRBitMask),
                  static_cast<unsigned>(format.dwGBitMask), static_cast<unsigned>(format.dwBBitMask),
                  static_cast<unsigned>(format.dwABitMask));
}
