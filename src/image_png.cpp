// Paletted PNG files: one byte a pixel, the palette's alpha in a tRNS chunk.
// The deflate stream is stb_image_write's (compiled in src/stb.cpp); the PNG
// chunks around it are written here, byte by byte, so that the same pixels
// give the same file on every system.
#include "meshfold/image.h"

#include <array>
#include <cstdlib>
#include <string_view>

// stb_image_write's zlib compressor, which its header declares only in the
// implementation part; the block is freed with free().
extern "C" unsigned char* stbi_zlib_compress(unsigned char* data, int data_len, int* out_len, int quality);

namespace meshfold {

namespace {

// The compressor's effort: its lowest, which already gives most of the size
// and keeps an export with textures close to the speed of writing the file.
constexpr int kDeflateQuality = 5;
constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint8_t kColourTypePalette = 3;
constexpr std::uint8_t kFilterNone = 0;

std::uint32_t crc32(const std::uint8_t* bytes, std::size_t size, std::uint32_t crc) {
    static const auto table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t n = 0; n < 256; ++n) {
            std::uint32_t c = n;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            t[n] = c;
        }
        return t;
    }();
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
    }
    return crc;
}

void putBe32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    out.insert(out.end(), {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                           static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
}

// A chunk: its length, type, data and the CRC of type and data.
void putChunk(std::vector<std::uint8_t>& out, std::string_view type, const std::uint8_t* data, std::size_t size) {
    putBe32(out, static_cast<std::uint32_t>(size));
    const std::size_t typeAt = out.size();
    out.insert(out.end(), type.begin(), type.end());
    out.insert(out.end(), data, data + size);
    putBe32(out, crc32(out.data() + typeAt, 4 + size, 0xFFFFFFFFu) ^ 0xFFFFFFFFu);
}

} // namespace

std::vector<std::uint8_t> encodePalettedPng(std::uint32_t width, std::uint32_t height,
                                            std::span<const std::uint8_t> indices,
                                            std::span<const std::uint8_t> paletteRgba) {
    const std::size_t w = width;
    const std::size_t h = height;
    const std::size_t colours = paletteRgba.size() / 4;
    if (w == 0 || h == 0 || w > kMaxImageSide || h > kMaxImageSide || indices.size() != w * h ||
        colours == 0 || colours > 256 || paletteRgba.size() != colours * 4) {
        return {};
    }
    // Each row: its filter byte, then its indices.
    std::vector<std::uint8_t> rows;
    rows.reserve(h * (w + 1));
    for (std::size_t y = 0; y < h; ++y) {
        rows.push_back(kFilterNone);
        rows.insert(rows.end(), indices.begin() + static_cast<std::ptrdiff_t>(y * w),
                    indices.begin() + static_cast<std::ptrdiff_t>((y + 1) * w));
    }
    int packedSize = 0;
    unsigned char* packed = stbi_zlib_compress(rows.data(), static_cast<int>(rows.size()), &packedSize,
                                               kDeflateQuality);
    if (packed == nullptr) {
        return {};
    }
    std::vector<std::uint8_t> png(kPngSignature, kPngSignature + sizeof kPngSignature);
    std::vector<std::uint8_t> header;
    putBe32(header, width);
    putBe32(header, height);
    header.insert(header.end(), {8, kColourTypePalette, 0, 0, 0}); // 8 bits a pixel, deflate, no interlace
    putChunk(png, "IHDR", header.data(), header.size());
    std::vector<std::uint8_t> rgb;
    std::vector<std::uint8_t> alpha;
    for (std::size_t k = 0; k < colours; ++k) {
        rgb.insert(rgb.end(), paletteRgba.begin() + static_cast<std::ptrdiff_t>(4 * k),
                   paletteRgba.begin() + static_cast<std::ptrdiff_t>(4 * k + 3));
        alpha.push_back(paletteRgba[4 * k + 3]);
    }
    putChunk(png, "PLTE", rgb.data(), rgb.size());
    // tRNS up to the last colour that is not opaque; none when all are.
    while (!alpha.empty() && alpha.back() == 255) {
        alpha.pop_back();
    }
    if (!alpha.empty()) {
        putChunk(png, "tRNS", alpha.data(), alpha.size());
    }
    putChunk(png, "IDAT", packed, static_cast<std::size_t>(packedSize));
    std::free(packed);
    putChunk(png, "IEND", nullptr, 0);
    return png;
}

} // namespace meshfold
