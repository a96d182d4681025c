// PNG files written: paletted ones here chunk by chunk (their rows
// compressed by zlib, see deflate.h), and RGBA ones through stb_image_write
// (its rows filtered by stb, compressed by zlib too).
#include "meshfold/image/image.h"
#include "image/deflate.h"
#include "image/png.h"

#include <stb_image_write.h>

#include <array>
#include <new>

namespace meshfold {

std::vector<std::uint8_t> encodePalettedPng(std::uint32_t width, std::uint32_t height,
                                            std::span<const std::uint8_t> indices,
                                            std::span<const std::uint8_t> paletteRgba) {
    const std::size_t w = width;
    const std::size_t h = height;
    const std::size_t colours = paletteRgba.size() / 4;
    if (w == 0 || h == 0 || w > kMaxImageSide || h > kMaxImageSide || indices.size() != w * h ||
        colours == 0 || colours > kPngMostPaletteColours || paletteRgba.size() != colours * 4) {
        return {};
    }
    // Each row: its filter byte, then its indices.
    std::vector<std::uint8_t> rows;
    rows.reserve(h * (w + 1));
    for (std::size_t y = 0; y < h; ++y) {
        rows.push_back(kPngFilterNone);
        rows.insert(rows.end(), indices.begin() + static_cast<std::ptrdiff_t>(y * w),
                    indices.begin() + static_cast<std::ptrdiff_t>((y + 1) * w));
    }
    const std::vector<std::uint8_t> packed = zlibCompress(rows);
    std::vector<std::uint8_t> png(kPngSignature.begin(), kPngSignature.end());
    // 8 bits an index; the zeros say deflate, the five filters, no interlace.
    std::array<std::uint8_t, kPngHeaderSize> header{};
    writeBe32(&header[kPngHeaderWidthAt], width);
    writeBe32(&header[kPngHeaderHeightAt], height);
    header[kPngHeaderDepthAt] = 8;
    header[kPngHeaderColourTypeAt] = kPngColourTypePalette;
    appendPngChunk(png, "IHDR", header);
    std::vector<std::uint8_t> rgb;
    std::vector<std::uint8_t> alpha;
    for (std::size_t k = 0; k < colours; ++k) {
        rgb.insert(rgb.end(), paletteRgba.begin() + static_cast<std::ptrdiff_t>(4 * k),
                   paletteRgba.begin() + static_cast<std::ptrdiff_t>(4 * k + 3));
        alpha.push_back(paletteRgba[4 * k + 3]);
    }
    appendPngChunk(png, "PLTE", rgb);
    // tRNS up to the last colour that is not opaque; none when all are.
    while (!alpha.empty() && alpha.back() == 255) {
        alpha.pop_back();
    }
    if (!alpha.empty()) {
        appendPngChunk(png, "tRNS", alpha);
    }
    appendPngChunk(png, "IDAT", packed);
    appendPngChunk(png, "IEND", {});
    return png;
}

std::vector<std::uint8_t> encodePng(const Image& image) {
    struct Sink {
        std::vector<std::uint8_t> bytes;
        bool failed = false;
    } sink;
    const std::size_t w = image.width;
    const std::size_t h = image.height;
    if (w == 0 || h == 0 || w > kMaxImageSide || h > kMaxImageSide ||
        image.rgba.size() != w * h * 4) {
        return {};
    }
    // stb calls back with pieces of the file; a failed append is kept for
    // afterwards rather than thrown through stb's C frames.
    const auto append = [](void* context, void* data, int size) {
        auto* s = static_cast<Sink*>(context);
        try {
            const auto* p = static_cast<const std::uint8_t*>(data);
            s->bytes.insert(s->bytes.end(), p, p + size);
        } catch (const std::bad_alloc&) {
            s->failed = true;
        }
    };
    const int ok = stbi_write_png_to_func(append, &sink, static_cast<int>(w), static_cast<int>(h),
                                          4, image.rgba.data(), static_cast<int>(w * 4));
    if (ok == 0 || sink.failed) {
        return {};
    }
    return std::move(sink.bytes);
}

} // namespace meshfold
