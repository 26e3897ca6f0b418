#include "dds/texture_format.h"

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
