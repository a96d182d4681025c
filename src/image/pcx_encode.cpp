// 8-bit PCX files written (version 5, RLE, one plane, the palette at the
// end; the layout is in image/pcx.h), as the engines' texture importers read
// them.
#include "meshfold/image/image.h"

#include "meshfold/common/bytes.h"
#include "image/pcx.h"

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

// Appends one line of indices, padded to `bytesPerLine` with zeros, in runs
// that end with the line: readers decode line by line, and some stop a run
// at a line's end.
void appendPcxLine(std::vector<std::uint8_t>& out, const std::uint8_t* line, std::size_t width,
                   std::size_t bytesPerLine) {
    const auto at = [&](std::size_t x) -> std::uint8_t { return x < width ? line[x] : 0; };
    std::size_t x = 0;
    while (x < bytesPerLine) {
        const std::uint8_t value = at(x);
        std::size_t run = 1;
        while (x + run < bytesPerLine && run < kPcxMaxRun && at(x + run) == value) {
            ++run;
        }
        // A lone value below 0xC0 is its own byte; any other goes as a run,
        // even of one, since it would read as a count.
        if (run > 1 || value >= kPcxRunFlags) {
            out.push_back(static_cast<std::uint8_t>(kPcxRunFlags | run));
        }
        out.push_back(value);
        x += run;
    }
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
    for (std::size_t y = 0; y < image.height; ++y) {
        appendPcxLine(out, image.indices.data() + y * image.width, image.width, bytesPerLine);
    }
    out.push_back(kPcxPaletteMarker);
    static_assert(sizeof(image.palette) == kPcxPaletteSize);
    out.insert(out.end(), image.palette.begin(), image.palette.end());
    return out;
}

} // namespace meshfold
