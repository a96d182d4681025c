// A paletted PNG's own palette and indices, read back from its rows: the
// pixels stb decodes lose which entry each came from, and an 8-bit texture
// exported as a PNG should come back with the very indices it had.
#include "meshfold/image/image.h"
#include "image/png.h"

#include <stb_image.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdlib>

namespace meshfold {

namespace {

// The palette (four bytes a colour, alpha from tRNS) and the zlib stream of
// a PNG's chunks, and whether its rows are 8-bit indices, not interlaced.
struct PngPaletteParts {
    std::array<std::uint8_t, kPngMostPaletteColours * 4> rgba{};
    std::size_t colours = 0;
    bool plainPalette = false;
    std::vector<std::uint8_t> packed;
};

// False when a chunk runs past the end of the file.
bool readPaletteChunks(std::span<const std::uint8_t> png, PngPaletteParts& parts) {
    // Walks every chunk the file holds whole, IEND or not.
    for (std::size_t at = kPngSignature.size(); png.size() - at >= kPngChunkOverhead;) {
        const PngChunk c = *pngChunkAt(png, at);
        if (!c.crcHeld) {
            return false;
        }
        const std::uint8_t* data = c.data.data();
        if (c.type == "IHDR" && c.length >= kPngHeaderSize) {
            parts.plainPalette = data[kPngHeaderDepthAt] == 8 &&
                                 data[kPngHeaderColourTypeAt] == kPngColourTypePalette &&
                                 data[kPngHeaderInterlaceAt] == 0;
        } else if (c.type == "PLTE" && c.length % 3 == 0 &&
                   c.length <= kPngMostPaletteColours * 3) {
            parts.colours = c.length / 3;
            for (std::size_t k = 0; k < parts.colours; ++k) {
                std::copy_n(data + 3 * k, 3,
                            parts.rgba.begin() + static_cast<std::ptrdiff_t>(4 * k));
                parts.rgba[4 * k + 3] = 255;
            }
        } else if (c.type == "tRNS" && c.length <= parts.colours) {
            for (std::size_t k = 0; k < c.length; ++k) {
                parts.rgba[4 * k + 3] = data[k];
            }
        } else if (c.type == "IDAT") {
            parts.packed.insert(parts.packed.end(), c.data.begin(), c.data.end());
        }
        at = c.next();
    }
    return true;
}

// Undoes each row's filter (one byte a pixel: "left" is the byte before);
// false for a filter PNG does not have.
bool unfilterRows(const std::vector<std::uint8_t>& rows, std::size_t width, std::size_t height,
                  std::vector<std::uint8_t>& indices) {
    const std::size_t stride = width + 1; // a filter byte, then the indices
    for (std::size_t y = 0; y < height; ++y) {
        const std::uint8_t filter = rows[y * stride];
        const std::uint8_t* in = rows.data() + y * stride + 1;
        std::uint8_t* out = indices.data() + y * width;
        const std::uint8_t* above = y > 0 ? out - width : nullptr;
        for (std::size_t x = 0; x < width; ++x) {
            const int a = x > 0 ? out[x - 1] : 0;
            const int b = above != nullptr ? above[x] : 0;
            const int c = x > 0 && above != nullptr ? above[x - 1] : 0;
            int predicted = 0;
            if (filter == kPngFilterSub) {
                predicted = a;
            } else if (filter == kPngFilterUp) {
                predicted = b;
            } else if (filter == kPngFilterAverage) {
                predicted = (a + b) / 2;
            } else if (filter == kPngFilterPaeth) {
                const int p = a + b - c;
                const int pa = std::abs(p - a);
                const int pb = std::abs(p - b);
                const int pc = std::abs(p - c);
                predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            } else if (filter != kPngFilterNone) {
                return false;
            }
            out[x] = static_cast<std::uint8_t>(in[x] + predicted);
        }
    }
    return true;
}

} // namespace

bool recoverPngPalette(std::span<const std::uint8_t> png, Image& image) {
    const std::size_t pixels = std::size_t{image.width} * image.height;
    if (!hasPngSignature(png) || image.rgba.size() != pixels * 4) {
        return false;
    }
    PngPaletteParts parts;
    if (!readPaletteChunks(png, parts)) {
        return false;
    }
    const std::size_t stride = std::size_t{image.width} + 1;
    constexpr auto kMost = static_cast<std::size_t>(INT_MAX); // stb's sizes are ints
    if (!parts.plainPalette || parts.colours == 0 || parts.packed.size() > kMost ||
        stride * image.height > kMost) {
        return false;
    }
    std::vector<std::uint8_t> rows(stride * image.height);
    const int unpacked = stbi_zlib_decode_buffer(
        reinterpret_cast<char*>(rows.data()), static_cast<int>(rows.size()),
        reinterpret_cast<const char*>(parts.packed.data()), static_cast<int>(parts.packed.size()));
    if (unpacked != static_cast<int>(rows.size())) {
        return false;
    }
    std::vector<std::uint8_t> indices(pixels);
    if (!unfilterRows(rows, image.width, image.height, indices)) {
        return false;
    }
    // The indices must give the very pixels decoded.
    const auto& rgba = parts.rgba;
    for (std::size_t i = 0; i < pixels; ++i) {
        if (indices[i] >= parts.colours ||
            !std::equal(image.rgba.begin() + static_cast<std::ptrdiff_t>(4 * i),
                        image.rgba.begin() + static_cast<std::ptrdiff_t>(4 * i + 4),
                        rgba.begin() + static_cast<std::ptrdiff_t>(4 * std::size_t{indices[i]}))) {
            return false;
        }
    }
    image.indices = std::move(indices);
    image.palette.resize(parts.colours * 3);
    for (std::size_t k = 0; k < parts.colours; ++k) {
        std::copy_n(rgba.begin() + static_cast<std::ptrdiff_t>(4 * k), 3,
                    image.palette.begin() + static_cast<std::ptrdiff_t>(3 * k));
    }
    return true;
}

} // namespace meshfold
