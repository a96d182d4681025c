// Reading a package's texture files into pixels, and pixels into PNG.
//
// PCX and BMP are decoded here, every field checked against the bytes really
// there before it is used: sizes are compared with the bytes that remain, in
// 64 bits, and nothing is allocated for an image the file cannot hold. PNG,
// TGA and JPEG go through stb_image (src/stb.cpp), after the same size checks
// on what stbi_info reports. A refusal is a value: one sentence in words.
#include "meshfold/common/bytes.h"
#include "meshfold/image/image.h"
#include "image/pcx.h"
#include "image/stb_guard.h"

#include <stb_image.h>
#include <stb_image_write.h>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <memory>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace meshfold {
namespace {

ImageDecoded refused(std::string why) {
    ImageDecoded d;
    d.failure = std::move(why);
    return d;
}

std::string tooLarge(std::uint64_t width, std::uint64_t height) {
    return "too large: " + std::to_string(width) + " x " + std::to_string(height) +
           " pixels (at most " + std::to_string(kMaxImageSide) + " on a side)";
}

// An image of this size with room for its RGBA pixels (and its indices when
// it comes from a palette). The caller has bounded both sides.
Image blankImage(std::uint32_t width, std::uint32_t height, bool paletted) {
    Image img;
    img.width = width;
    img.height = height;
    const std::size_t pixels = std::size_t{width} * height;
    img.rgba.resize(pixels * 4);
    if (paletted) {
        img.indices.resize(pixels);
    }
    return img;
}

void putPixel(Image& img, std::size_t pixel, std::uint8_t r, std::uint8_t g, std::uint8_t b,
              std::uint8_t a) {
    std::uint8_t* p = img.rgba.data() + pixel * 4;
    p[0] = r;
    p[1] = g;
    p[2] = b;
    p[3] = a;
}

// ---------------------------------------------------------------------------
// PCX (ZSoft), version 5 with RLE: the layout is in meshfold/pcx.h.

// The most bytes an RLE stream of `n` bytes can decode to: every pair a run
// of 63, an odd last byte one literal.
std::uint64_t pcxMostDecoded(std::size_t n) {
    return std::uint64_t{kPcxMaxRun} * (n / 2) + n % 2;
}

// Decodes a PCX RLE stream a piece at a time. A run may carry on from one
// line into the next (encoders have always done so); the caller refuses one
// left over after the last line.
class PcxRle {
public:
    explicit PcxRle(std::span<const std::uint8_t> stream) : stream_(stream) {}

    // Fills `out` with the next decoded bytes; false when the stream ends first.
    bool fill(std::span<std::uint8_t> out) {
        std::size_t done = 0;
        while (done < out.size()) {
            if (left_ == 0 && !nextCode()) {
                return false;
            }
            if (left_ == 1) { // a literal, most codes of a texture: no call to memset
                out[done++] = value_;
                left_ = 0;
                continue;
            }
            const std::size_t n = std::min<std::size_t>(left_, out.size() - done);
            std::memset(out.data() + done, value_, n);
            done += n;
            left_ -= static_cast<std::uint32_t>(n);
        }
        return true;
    }

    bool runLeftOver() const { return left_ != 0; }

private:
    // Reads one literal or one run (which may be of length 0).
    bool nextCode() {
        if (at_ >= stream_.size()) {
            return false;
        }
        const std::uint8_t code = stream_[at_++];
        if ((code & kPcxRunFlags) != kPcxRunFlags) {
            value_ = code;
            left_ = 1;
            return true;
        }
        if (at_ >= stream_.size()) {
            return false;
        }
        value_ = stream_[at_++];
        left_ = code & kPcxRunCountMask;
        return true;
    }

    std::span<const std::uint8_t> stream_;
    std::size_t at_ = 0;
    std::uint32_t left_ = 0;
    std::uint8_t value_ = 0;
};

struct PcxLayout {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t planes = 0;
    std::uint32_t bytesPerLine = 0;
    std::span<const std::uint8_t> stream;  // the RLE bytes
    std::span<const std::uint8_t> palette; // 768 bytes, or empty for three planes
};

// Finds the RLE stream and, for one plane, the palette after it; empty when
// the stream can hold the image.
std::string readPcxData(std::span<const std::uint8_t> file, PcxLayout& out) {
    std::size_t streamEnd = file.size();
    if (out.planes == 1) {
        if (file.size() < kPcxHeaderSize + kPcxPaletteTail) {
            return "truncated: the palette is missing";
        }
        streamEnd = file.size() - kPcxPaletteTail;
        if (file[streamEnd] != kPcxPaletteMarker) {
            return "truncated or damaged: no 256-colour palette at the end of the file";
        }
        out.palette = file.subspan(streamEnd + 1, kPcxPaletteSize);
    }
    out.stream = file.subspan(kPcxHeaderSize, streamEnd - kPcxHeaderSize);
    const std::uint64_t decoded = std::uint64_t{out.bytesPerLine} * out.planes * out.height;
    if (decoded > pcxMostDecoded(out.stream.size())) {
        return "truncated: the pixel data is cut short";
    }
    return {};
}

// Checks the header, then finds the stream and palette; empty when the image
// can be read.
std::string readPcxLayout(std::span<const std::uint8_t> file, PcxLayout& out) {
    if (file.size() < kPcxHeaderSize) {
        return "truncated: the PCX header is cut short";
    }
    if (file[kPcxVersionAt] != kPcxVersion) {
        return "unsupported: PCX version " + std::to_string(file[kPcxVersionAt]) +
               " (only version 5 is read)";
    }
    if (file[kPcxEncodingAt] != kPcxRle) {
        return "unsupported: PCX without RLE compression";
    }
    out.planes = file[kPcxPlanesAt];
    if (file[kPcxBitsAt] != 8 || (out.planes != 1 && out.planes != 3)) {
        return "unsupported: PCX of " + std::to_string(file[kPcxBitsAt]) + " bits in " +
               std::to_string(out.planes) + " planes (8 bits in 1 or 3 planes are read)";
    }
    const std::uint32_t xMin = readLe16(file.data() + kPcxXMinAt);
    const std::uint32_t yMin = readLe16(file.data() + kPcxYMinAt);
    const std::uint32_t xMax = readLe16(file.data() + kPcxXMaxAt);
    const std::uint32_t yMax = readLe16(file.data() + kPcxYMaxAt);
    if (xMax < xMin || yMax < yMin) {
        return "damaged: the PCX window ends before it starts";
    }
    out.width = xMax - xMin + 1;
    out.height = yMax - yMin + 1;
    if (out.width > kMaxImageSide || out.height > kMaxImageSide) {
        return tooLarge(out.width, out.height);
    }
    out.bytesPerLine = readLe16(file.data() + kPcxBytesPerLineAt);
    if (out.bytesPerLine < out.width) {
        return "damaged: the PCX lines are shorter than the image is wide";
    }
    return readPcxData(file, out);
}

ImageDecoded decodePcx(std::span<const std::uint8_t> file) {
    PcxLayout layout;
    if (std::string why = readPcxLayout(file, layout); !why.empty()) {
        return refused(std::move(why));
    }
    const bool paletted = layout.planes == 1;
    ImageDecoded d;
    Image& img = d.image;
    img = blankImage(layout.width, layout.height, paletted);
    img.palette.assign(layout.palette.begin(), layout.palette.end());
    // Each palette colour as its four RGBA bytes, copied to a pixel in one go.
    std::array<std::array<std::uint8_t, 4>, 256> colours{};
    for (std::size_t k = 0; k < img.palette.size() / 3; ++k) {
        colours[k] = {img.palette[3 * k], img.palette[3 * k + 1], img.palette[3 * k + 2], 255};
    }
    std::vector<std::uint8_t> line(std::size_t{layout.bytesPerLine} * layout.planes);
    const std::size_t bpl = layout.bytesPerLine;
    PcxRle rle(layout.stream);
    std::size_t pixel = 0;
    for (std::uint32_t y = 0; y < layout.height; ++y) {
        if (!rle.fill(line)) {
            return refused("truncated: the pixel data is cut short");
        }
        // Bytes past the width in each plane are the line's padding.
        if (paletted) {
            for (std::uint32_t x = 0; x < layout.width; ++x, ++pixel) {
                img.indices[pixel] = line[x];
                std::memcpy(img.rgba.data() + 4 * pixel, colours[line[x]].data(), 4);
            }
        } else {
            for (std::uint32_t x = 0; x < layout.width; ++x, ++pixel) {
                putPixel(img, pixel, line[x], line[bpl + x], line[2 * bpl + x], 255);
            }
        }
    }
    if (rle.runLeftOver()) {
        return refused("damaged: an RLE run goes past the end of the image");
    }
    return d;
}

// ---------------------------------------------------------------------------
// BMP (Windows bitmap): a 14-byte file header, an info header of 40 bytes or
// one of its longer versions (52, 56, 108, 124 bytes), colour masks after a
// 40-byte header when compression says BITFIELDS, a palette of 4-byte BGRx
// entries for 8 bits, then the rows, each padded to 4 bytes, from the bottom
// up for a positive height and from the top for a negative one.

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
        return tooLarge(static_cast<std::uint64_t>(width), static_cast<std::uint64_t>(rows));
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

ImageDecoded decodeBmp(std::span<const std::uint8_t> file) {
    BmpLayout layout;
    if (std::string why = readBmpLayout(file, layout); !why.empty()) {
        return refused(std::move(why));
    }
    std::vector<std::uint8_t> palette;
    if (layout.bits == 8) {
        if (std::string why = readBmpPalette(file, layout, palette); !why.empty()) {
            return refused(std::move(why));
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

// ---------------------------------------------------------------------------
// PNG, TGA and JPEG through stb_image.

// The most pixels one byte of a file can stand for: a 1-bit PNG holds 8
// pixels a byte and deflate packs at most 1032 bytes into one; a JPEG spends
// at least a bit on every 8 x 8 block; a TGA run packet at least 2 bytes on
// 128 pixels. A header claiming more than its file can hold is refused
// before stb allocates for it (stb fills what is missing with zeros).
inline constexpr std::uint64_t kPngMostPixelsPerByte = 8 * 1032;
inline constexpr std::uint64_t kJpegMostPixelsPerByte = 64 * 8;
inline constexpr std::uint64_t kTgaMostPixelsPerByte = 128 / 2;

const std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};

bool startsWith(std::span<const std::uint8_t> file, std::span<const std::uint8_t> magic) {
    return file.size() >= magic.size() && std::equal(magic.begin(), magic.end(), file.begin());
}

// Refuses what stb reports that no texture may be: a side of 0 or above
// kMaxImageSide, or more pixels than `mostPixelsPerByte` allow the file.
std::string checkStbSize(int width, int height, std::size_t fileSize,
                         std::uint64_t mostPixelsPerByte) {
    if (width <= 0 || height <= 0) {
        return "damaged: an image of " + std::to_string(width) + " x " + std::to_string(height) +
               " pixels";
    }
    const auto w = static_cast<std::uint64_t>(width);
    const auto h = static_cast<std::uint64_t>(height);
    if (w > kMaxImageSide || h > kMaxImageSide) {
        return tooLarge(w, h);
    }
    if (w * h > mostPixelsPerByte * fileSize) {
        return "truncated: " + std::to_string(w) + " x " + std::to_string(h) +
               " pixels cannot be held in " + std::to_string(fileSize) + " bytes";
    }
    return {};
}

ImageDecoded decodeWithStb(std::span<const std::uint8_t> file) {
    const bool png = startsWith(file, kPngSignature);
    const std::size_t jpegSegments = jpegSegmentsStart(file);
    const std::string kind = png ? "PNG" : jpegSegments != 0 ? "JPEG" : "TGA";
    std::string why = png ? pngHazard(file) : jpegSegments != 0 ? jpegHazard(file, jpegSegments) : "";
    if (!why.empty()) {
        return refused(std::move(why));
    }
    if (file.size() > static_cast<std::size_t>(INT_MAX)) {
        return refused("too large: a file of more than 2 GB");
    }
    const int length = static_cast<int>(file.size());
    int width = 0;
    int height = 0;
    int channels = 0;
    if (!stbi_info_from_memory(file.data(), length, &width, &height, &channels)) {
        // Only a TGA has no signature: anything else unknown is not an image.
        return refused(png || jpegSegments != 0
                           ? "damaged: " + kind + " file (" + stbi_failure_reason() + ")"
                           : "not a PCX, BMP, PNG, TGA or JPEG file");
    }
    why = checkStbSize(width, height, file.size(),
                       png ? kPngMostPixelsPerByte
                       : jpegSegments != 0 ? kJpegMostPixelsPerByte
                                           : kTgaMostPixelsPerByte);
    if (!why.empty()) {
        return refused(std::move(why));
    }
    const std::unique_ptr<stbi_uc, void (*)(void*)> pixels(
        stbi_load_from_memory(file.data(), length, &width, &height, &channels, 4), stbi_image_free);
    if (!pixels) {
        return refused("damaged: " + kind + " file (" + stbi_failure_reason() + ")");
    }
    ImageDecoded d;
    d.image.width = static_cast<std::uint32_t>(width);
    d.image.height = static_cast<std::uint32_t>(height);
    d.image.rgba.assign(pixels.get(), pixels.get() + std::size_t{d.image.width} * d.image.height * 4);
    return d;
}

bool looksLikePcx(std::span<const std::uint8_t> file) {
    // A TGA may start with 0x0A too (a 10-byte identification field), but its
    // second byte, the colour map type, is 0 or 1: no PCX version after 1.
    return file.size() >= 2 && file[0] == kPcxManufacturer && file[1] >= 2 &&
           file[1] <= kPcxVersion;
}

bool looksLikeBmp(std::span<const std::uint8_t> file) {
    return file.size() >= 2 && file[0] == 'B' && file[1] == 'M';
}

} // namespace

ImageDecoded decodeImage(std::span<const std::uint8_t> file) {
    try {
        if (file.empty()) {
            return refused("empty file");
        }
        if (looksLikePcx(file)) {
            return decodePcx(file);
        }
        if (looksLikeBmp(file)) {
            return decodeBmp(file);
        }
        return decodeWithStb(file);
    } catch (const std::bad_alloc&) {
        return refused("out of memory");
    }
}

namespace {

// PNG chunks: a big-endian length, a four-letter type, the data, a CRC.
inline constexpr std::size_t kPngChunkHeader = 8;
inline constexpr std::size_t kPngChunkCrc = 4;
inline constexpr std::size_t kPngHeaderSize = 13; // IHDR's data
inline constexpr std::size_t kPngHeaderDepthAt = 8;
inline constexpr std::size_t kPngHeaderColourTypeAt = 9;
inline constexpr std::size_t kPngHeaderInterlaceAt = 12;
inline constexpr std::uint8_t kPngColourTypePalette = 3;

std::uint32_t readBe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

} // namespace

bool recoverPngPalette(std::span<const std::uint8_t> png, Image& image) {
    const std::size_t pixels = std::size_t{image.width} * image.height;
    if (!startsWith(png, kPngSignature) || image.rgba.size() != pixels * 4) {
        return false;
    }
    std::array<std::uint8_t, 256 * 4> rgba{};
    std::size_t colours = 0;
    bool plainPalette = false; // 8 bits an index, not interlaced
    std::vector<std::uint8_t> packed;
    for (std::size_t at = sizeof kPngSignature; png.size() - at >= kPngChunkHeader + kPngChunkCrc;) {
        const std::size_t length = readBe32(png.data() + at);
        const std::string type(reinterpret_cast<const char*>(png.data()) + at + 4, 4);
        const std::uint8_t* data = png.data() + at + kPngChunkHeader;
        if (length > png.size() - at - kPngChunkHeader - kPngChunkCrc) {
            return false;
        }
        if (type == "IHDR" && length >= kPngHeaderSize) {
            plainPalette = data[kPngHeaderDepthAt] == 8 && data[kPngHeaderColourTypeAt] == kPngColourTypePalette &&
                           data[kPngHeaderInterlaceAt] == 0;
        } else if (type == "PLTE" && length % 3 == 0 && length <= 768) {
            colours = length / 3;
            for (std::size_t k = 0; k < colours; ++k) {
                std::copy_n(data + 3 * k, 3, rgba.begin() + static_cast<std::ptrdiff_t>(4 * k));
                rgba[4 * k + 3] = 255;
            }
        } else if (type == "tRNS" && length <= colours) {
            for (std::size_t k = 0; k < length; ++k) {
                rgba[4 * k + 3] = data[k];
            }
        } else if (type == "IDAT") {
            packed.insert(packed.end(), data, data + length);
        }
        at += kPngChunkHeader + length + kPngChunkCrc;
    }
    const std::size_t stride = std::size_t{image.width} + 1; // a filter byte, then the indices
    if (!plainPalette || colours == 0 || packed.size() > static_cast<std::size_t>(INT_MAX) ||
        stride * image.height > static_cast<std::size_t>(INT_MAX)) {
        return false;
    }
    std::vector<std::uint8_t> rows(stride * image.height);
    const int unpacked = stbi_zlib_decode_buffer(reinterpret_cast<char*>(rows.data()), static_cast<int>(rows.size()),
                                                 reinterpret_cast<const char*>(packed.data()),
                                                 static_cast<int>(packed.size()));
    if (unpacked != static_cast<int>(rows.size())) {
        return false;
    }
    // Undoes each row's filter (one byte a pixel: "left" is the byte before).
    std::vector<std::uint8_t> indices(pixels);
    for (std::size_t y = 0; y < image.height; ++y) {
        const std::uint8_t filter = rows[y * stride];
        const std::uint8_t* in = rows.data() + y * stride + 1;
        std::uint8_t* out = indices.data() + y * image.width;
        const std::uint8_t* above = y > 0 ? out - image.width : nullptr;
        for (std::size_t x = 0; x < image.width; ++x) {
            const int a = x > 0 ? out[x - 1] : 0;
            const int b = above != nullptr ? above[x] : 0;
            const int c = x > 0 && above != nullptr ? above[x - 1] : 0;
            int predicted = 0;
            if (filter == 1) {
                predicted = a;
            } else if (filter == 2) {
                predicted = b;
            } else if (filter == 3) {
                predicted = (a + b) / 2;
            } else if (filter == 4) {
                const int p = a + b - c;
                const int pa = std::abs(p - a);
                const int pb = std::abs(p - b);
                const int pc = std::abs(p - c);
                predicted = pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
            } else if (filter != 0) {
                return false;
            }
            out[x] = static_cast<std::uint8_t>(in[x] + predicted);
        }
    }
    // The indices must give the very pixels decoded.
    for (std::size_t i = 0; i < pixels; ++i) {
        if (indices[i] >= colours ||
            !std::equal(image.rgba.begin() + static_cast<std::ptrdiff_t>(4 * i),
                        image.rgba.begin() + static_cast<std::ptrdiff_t>(4 * i + 4),
                        rgba.begin() + static_cast<std::ptrdiff_t>(4 * std::size_t{indices[i]}))) {
            return false;
        }
    }
    image.indices = std::move(indices);
    image.palette.resize(colours * 3);
    for (std::size_t k = 0; k < colours; ++k) {
        std::copy_n(rgba.begin() + static_cast<std::ptrdiff_t>(4 * k), 3,
                    image.palette.begin() + static_cast<std::ptrdiff_t>(3 * k));
    }
    return true;
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
