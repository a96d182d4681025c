// BMP files read (Windows bitmap): 8-bit palettised, 24- and 32-bit.
//
// The layout: a 14-byte file header; an info header of 40 bytes or one of
// its longer versions (52, 56, 108, 124 bytes); colour masks after a 40-byte
// header when compression says BITFIELDS; a palette of 4-byte BGRx entries
// for 8 bits; then the rows, each padded to 4 bytes, from the bottom up for
// a positive height and from the top for a negative one.
#include "meshfold/common/bytes.h"
#include "image/decoders.h"

#include <algorithm>
#include <bit>
#include <vector>

namespace meshfold {

namespace {

inline constexpr std::size_t kBmpFileHeaderSize = 14;
inline constexpr std::size_t kBmpPixelOffsetAt = 10;
inline constexpr std::size_t kBmpInfoSizeAt = 14;
inline constexpr std::size_t kBmpWidthAt = 18;
inline constexpr std::size_t kBmpHeightAt = 22;
inline constexpr std::size_t kBmpPlanesAt = 26;
inline constexpr std::size_t kBmpBitsAt = 28;
inline constexpr std::size_t kBmpCompressionAt = 30;
inline constexpr std::size_t kBmpColoursUsedAt = 46;
inline constexpr std::size_t kBmpMasksAt = 54; // red, green, blue, alpha: 4 bytes each
inline constexpr std::uint32_t kBmpInfoSize = 40;
inline constexpr std::uint32_t kBmpInfoSizeV2 = 52; // adds the colour masks
inline constexpr std::uint32_t kBmpInfoSizeV3 = 56; // adds the alpha mask
inline constexpr std::uint32_t kBmpInfoSizeV4 = 108;
inline constexpr std::uint32_t kBmpInfoSizeV5 = 124;
inline constexpr std::uint32_t kBmpRgb = 0;
inline constexpr std::uint32_t kBmpBitfields = 3;
inline constexpr std::uint32_t kBmpAlphaBitfields = 6;
inline constexpr std::size_t kBmpPaletteEntrySize = 4;
inline constexpr std::uint32_t kBmpMostColours = 256;
static_assert(kBmpFileHeaderSize + kBmpInfoSize == kBmpMasksAt);

struct BmpLayout {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    bool topDown = false;
    std::uint32_t bits = 0;
    std::uint32_t compression = 0;
    std::size_t infoEnd = 0; // where masks after the header, or the palette, start
    std::size_t pixelOffset = 0;
    std::size_t rowSize = 0;
    std::uint32_t masks[4] = {}; // red, green, blue, alpha (0: none)
};

std::string readBmpSize(std::span<const std::uint8_t> file, BmpLayout& out) {
    const auto width = static_cast<std::int32_t>(readLe32(file.data() + kBmpWidthAt));
    const auto height = static_cast<std::int32_t>(readLe32(file.data() + kBmpHeightAt));
    if (width <= 0 || height == 0) {
        return "damaged: a BMP of " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels";
    }
    const std::int64_t rows = height < 0 ? -std::int64_t{height} : std::int64_t{height};
    if (width > std::int64_t{kMaxImageSide} || rows > std::int64_t{kMaxImageSide}) {
        return imageTooLarge(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(rows));
    }
    out.width = static_cast<std::uint32_t>(width);
    out.height = static_cast<std::uint32_t>(rows);
    out.topDown = height < 0;
    return {};
}

bool wholeByteMask(std::uint32_t m) {
    return m == 0xFFu || m == 0xFF00u || m == 0xFF0000u || m == 0xFF000000u;
}

// The colour masks of a 32-bit file: the header's (or those after a 40-byte
// header) with BITFIELDS, else BGRx, with the alpha byte used only when a
// longer header's alpha mask names it. Each must be one whole byte.
std::string readBmpMasks(std::span<const std::uint8_t> file, std::uint32_t infoSize,
                         BmpLayout& out) {
    const bool fields = out.compression == kBmpBitfields || out.compression == kBmpAlphaBitfields;
    std::size_t given = 0;
    if (infoSize >= kBmpInfoSizeV3) {
        given = fields ? 4 : 0;
    } else if (infoSize == kBmpInfoSizeV2) {
        given = fields ? 3 : 0;
    } else if (fields) {
        given = out.compression == kBmpAlphaBitfields ? 4 : 3;
        if (file.size() - out.infoEnd < given * 4) {
            return "truncated: the BMP colour masks are missing";
        }
        out.infoEnd += given * 4;
    }
    const std::uint32_t plain[4] = {0xFF0000u, 0xFF00u, 0xFFu, 0};
    for (std::size_t i = 0; i < 4; ++i) {
        out.masks[i] = i < given ? readLe32(file.data() + kBmpMasksAt + 4 * i) : plain[i];
    }
    // A longer header holds an alpha mask even for plain BGRx rows.
    if (!fields && infoSize >= kBmpInfoSizeV3) {
        out.masks[3] = readLe32(file.data() + kBmpMasksAt + 12) == 0xFF000000u ? 0xFF000000u : 0;
    }
    const std::uint32_t r = out.masks[0], g = out.masks[1], b = out.masks[2], a = out.masks[3];
    const bool distinct = r != g && r != b && g != b && a != r && a != g && a != b;
    if (!wholeByteMask(r) || !wholeByteMask(g) || !wholeByteMask(b) ||
        (a != 0 && !wholeByteMask(a)) || !distinct) {
        return "unsupported: BMP colour masks other than one whole byte each";
    }
    return {};
}

std::string checkBmpCompression(const BmpLayout& l) {
    if (l.bits != 8 && l.bits != 24 && l.bits != 32) {
        return "unsupported: " + std::to_string(l.bits) + "-bit BMP (8, 24 and 32 bits are read)";
    }
    if (l.compression == kBmpRgb) {
        return {};
    }
    if (l.bits == 32 && (l.compression == kBmpBitfields || l.compression == kBmpAlphaBitfields)) {
        return {};
    }
    if (l.compression == 1 || l.compression == 2) {
        return "unsupported: RLE-compressed BMP";
    }
    return "unsupported: BMP compression " + std::to_string(l.compression) + " with " +
           std::to_string(l.bits) + " bits";
}

std::string readBmpLayout(std::span<const std::uint8_t> file, BmpLayout& out) {
    if (file.size() < kBmpFileHeaderSize + 4) {
        return "truncated: the BMP header is cut short";
    }
    const std::uint32_t infoSize = readLe32(file.data() + kBmpInfoSizeAt);
    if (infoSize != kBmpInfoSize && infoSize != kBmpInfoSizeV2 && infoSize != kBmpInfoSizeV3 &&
        infoSize != kBmpInfoSizeV4 && infoSize != kBmpInfoSizeV5) {
        return "unsupported: BMP info header of " + std::to_string(infoSize) +
               " bytes (40, 52, 56, 108 and 124 are read)";
    }
    if (file.size() - kBmpFileHeaderSize < infoSize) {
        return "truncated: the BMP header is cut short";
    }
    out.infoEnd = kBmpFileHeaderSize + infoSize;
    if (std::string why = readBmpSize(file, out); !why.empty()) {
        return why;
    }
    if (readLe16(file.data() + kBmpPlanesAt) != 1) {
        return "damaged: a BMP of " + std::to_string(readLe16(file.data() + kBmpPlanesAt)) +
               " planes";
    }
    out.bits = readLe16(file.data() + kBmpBitsAt);
    out.compression = readLe32(file.data() + kBmpCompressionAt);
    if (std::string why = checkBmpCompression(out); !why.empty()) {
        return why;
    }
    if (out.bits == 32) {
        if (std::string why = readBmpMasks(file, infoSize, out); !why.empty()) {
            return why;
        }
    }
    out.pixelOffset = readLe32(file.data() + kBmpPixelOffsetAt);
    if (out.pixelOffset < out.infoEnd) {
        return "damaged: the BMP pixels start inside its header";
    }
    out.rowSize = (std::size_t{out.width} * out.bits + 31) / 32 * 4;
    if (out.pixelOffset > file.size() ||
        std::uint64_t{out.rowSize} * out.height > file.size() - out.pixelOffset) {
        return "truncated: the pixel rows are cut short";
    }
    return {};
}

// The palette of an 8-bit file as RGB: `colours used`, or when that is 0 as
// many as lie before the pixels, up to 256.
std::string readBmpPalette(std::span<const std::uint8_t> file, const BmpLayout& l,
                           std::vector<std::uint8_t>& rgb) {
    const std::uint32_t used = readLe32(file.data() + kBmpColoursUsedAt);
    if (used > kBmpMostColours) {
        return "damaged: a BMP palette of " + std::to_string(used) + " colours (at most 256)";
    }
    const std::size_t room = (l.pixelOffset - l.infoEnd) / kBmpPaletteEntrySize;
    const std::size_t colours = used != 0 ? used : std::min<std::size_t>(room, kBmpMostColours);
    if (colours == 0 || file.size() - l.infoEnd < colours * kBmpPaletteEntrySize) {
        return "truncated: the palette is missing";
    }
    if (colours > room) {
        return "damaged: the BMP palette runs into the pixels";
    }
    rgb.resize(colours * 3);
    for (std::size_t i = 0; i < colours; ++i) {
        const std::uint8_t* e = file.data() + l.infoEnd + i * kBmpPaletteEntrySize;
        rgb[3 * i] = e[2];
        rgb[3 * i + 1] = e[1];
        rgb[3 * i + 2] = e[0];
    }
    return {};
}

std::uint8_t maskedByte(std::uint32_t word, std::uint32_t mask) {
    return static_cast<std::uint8_t>((word & mask) >> std::countr_zero(mask));
}

// One row of the file into image row `y`.
void readBmpRow(const std::uint8_t* row, const BmpLayout& l, std::uint32_t y, Image& img) {
    const std::size_t first = std::size_t{y} * l.width;
    const std::size_t colours = img.palette.size() / 3;
    for (std::uint32_t x = 0; x < l.width; ++x) {
        const std::size_t pixel = first + x;
        if (l.bits == 8) {
            // An index past a short palette shows black, as Windows draws it.
            const std::uint8_t i = row[x];
            img.indices[pixel] = i;
            if (i < colours) {
                const std::uint8_t* c = img.palette.data() + 3 * std::size_t{i};
                putPixel(img, pixel, c[0], c[1], c[2], 255);
            } else {
                putPixel(img, pixel, 0, 0, 0, 255);
            }
        } else if (l.bits == 24) {
            const std::uint8_t* p = row + 3 * std::size_t{x};
            putPixel(img, pixel, p[2], p[1], p[0], 255);
        } else {
            const std::uint32_t w = readLe32(row + 4 * std::size_t{x});
            putPixel(img, pixel, maskedByte(w, l.masks[0]), maskedByte(w, l.masks[1]),
                     maskedByte(w, l.masks[2]), l.masks[3] != 0 ? maskedByte(w, l.masks[3]) : 255);
        }
    }
}

} // namespace

bool looksLikeBmp(std::span<const std::uint8_t> file) {
    return file.size() >= 2 && file[0] == 'B' && file[1] == 'M';
}

ImageDecoded decodeBmp(std::span<const std::uint8_t> file) {
    BmpLayout layout;
    if (std::string why = readBmpLayout(file, layout); !why.empty()) {
        return refusedImage(std::move(why));
    }
    std::vector<std::uint8_t> palette;
    if (layout.bits == 8) {
        if (std::string why = readBmpPalette(file, layout, palette); !why.empty()) {
            return refusedImage(std::move(why));
        }
    }
    ImageDecoded d;
    d.image = blankImage(layout.width, layout.height, layout.bits == 8);
    d.image.palette = std::move(palette);
    for (std::uint32_t r = 0; r < layout.height; ++r) {
        const std::uint32_t y = layout.topDown ? r : layout.height - 1 - r;
        readBmpRow(file.data() + layout.pixelOffset + std::size_t{r} * layout.rowSize, layout, y,
                   d.image);
    }
    return d;
}

} // namespace meshfold
