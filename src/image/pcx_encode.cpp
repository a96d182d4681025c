// 8-bit PCX files written (version 5, RLE, one plane, the palette at the
// end; the layout is in image/pcx.h), as the engines' texture importers read
// them.
#include "meshfold/image/image.h"

#include "meshfold/common/bytes.h"
#include "image/pcx.h"

#include <algorithm>
#include <cstddef>

namespace meshfold {

namespace {

// What this writer puts in a PCX header:
// 8 bits in one colour plane.
constexpr std::uint8_t kPcxBitsPerPixel = 8;
constexpr std::uint8_t kPcxPlanes = 1;
constexpr std::uint16_t kPcxPaletteInfoColour = 1;
// 72 dpi, as most of the textures in mod packages carry (the field is unused
// by every reader we know of).
constexpr std::uint16_t kPcxDpi = 72;
// Bytes per line is a 16-bit even number; the window's sides are 16 bits.
constexpr std::uint32_t kPcxMaxSide = 65534;

// Writes one line of indices, already padded to its bytes per line, at
// `out` in runs that end with the line (readers decode line by line, and
// some stop a run at a line's end); returns the end of what it wrote, at
// most two bytes a pixel further on.
std::uint8_t* writePcxLine(const std::uint8_t* line, const std::uint8_t* lineEnd, std::uint8_t* out) {
    while (line < lineEnd) {
        const std::uint8_t value = *line;
        if (lineEnd - line < 2 || line[1] != value) {
            // A lone value below 0xC0 is its own byte; one above goes as a
            // run of one, since it would read as a count.
            if (value >= kPcxRunFlags) {
                *out++ = static_cast<std::uint8_t>(kPcxRunFlags | 1u);
            }
            *out++ = value;
            ++line;
            continue;
        }
        const std::uint8_t* const longest = line + std::min<std::ptrdiff_t>(lineEnd - line, kPcxMaxRun);
        const std::uint8_t* runEnd = line + 2;
        while (runEnd < longest && *runEnd == value) {
            ++runEnd;
        }
        *out++ = static_cast<std::uint8_t>(kPcxRunFlags | static_cast<std::uint8_t>(runEnd - line));
        *out++ = value;
        line = runEnd;
    }
    return out;
}

} // namespace

std::vector<std::uint8_t> encodePcx(const PalettedImage& image) {
    const std::uint64_t pixels = std::uint64_t{image.width} * image.height;
    if (image.width == 0 || image.height == 0 || image.width > kPcxMaxSide ||
        image.height > kPcxMaxSide || image.indices.size() < pixels) {
        return {};
    }
    const std::size_t bytesPerLine = image.width + (image.width & 1u);
    std::vector<std::uint8_t> out(kPcxHeaderSize, 0);
    // At most two bytes a pixel (a run of one above 0xBF), then the palette.
    out.reserve(kPcxHeaderSize + 2 * bytesPerLine * image.height + 1 + kPcxPaletteSize);
    out[kPcxManufacturerAt] = kPcxManufacturer;
    out[kPcxVersionAt] = kPcxVersion;
    out[kPcxEncodingAt] = kPcxRle;
    out[kPcxBitsAt] = kPcxBitsPerPixel;
    writeLe16(&out[kPcxXMinAt], 0);
    writeLe16(&out[kPcxYMinAt], 0);
    writeLe16(&out[kPcxXMaxAt], static_cast<std::uint16_t>(image.width - 1));
    writeLe16(&out[kPcxYMaxAt], static_cast<std::uint16_t>(image.height - 1));
    writeLe16(&out[kPcxHorizontalDpiAt], kPcxDpi);
    writeLe16(&out[kPcxVerticalDpiAt], kPcxDpi);
    out[kPcxPlanesAt] = kPcxPlanes;
    writeLe16(&out[kPcxBytesPerLineAt], static_cast<std::uint16_t>(bytesPerLine));
    writeLe16(&out[kPcxPaletteInfoAt], kPcxPaletteInfoColour);
    // Each line padded with a zero to its even length, encoded into a
    // buffer of its own, then appended whole.
    std::vector<std::uint8_t> padded(bytesPerLine, 0);
    std::vector<std::uint8_t> encoded(2 * bytesPerLine);
    for (std::size_t y = 0; y < image.height; ++y) {
        const auto row = image.indices.begin() + static_cast<std::ptrdiff_t>(y * image.width);
        std::copy(row, row + static_cast<std::ptrdiff_t>(image.width), padded.begin());
        const std::uint8_t* const end = writePcxLine(padded.data(), padded.data() + bytesPerLine, encoded.data());
        out.insert(out.end(), encoded.cbegin(), encoded.cbegin() + (end - encoded.data()));
    }
    out.push_back(kPcxPaletteMarker);
    static_assert(sizeof(image.palette) == kPcxPaletteSize);
    out.insert(out.end(), image.palette.begin(), image.palette.end());
    return out;
}

} // namespace meshfold
