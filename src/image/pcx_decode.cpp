// PCX files read (ZSoft, version 5, RLE; the layout is in image/pcx.h): 8
// bits in one plane with the palette at the end, or 8 bits in each of three.
#include "meshfold/common/bytes.h"
#include "image/decoders.h"
#include "image/pcx.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace meshfold {

namespace {

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
        return imageTooLarge(out.width, out.height);
    }
    out.bytesPerLine = readLe16(file.data() + kPcxBytesPerLineAt);
    if (out.bytesPerLine < out.width) {
        return "damaged: the PCX lines are shorter than the image is wide";
    }
    return readPcxData(file, out);
}

} // namespace

bool looksLikePcx(std::span<const std::uint8_t> file) {
    // A TGA may start with 0x0A too (a 10-byte identification field), but its
    // second byte, the colour map type, is 0 or 1: no PCX version after 1.
    return file.size() >= 2 && file[0] == kPcxManufacturer && file[1] >= 2 &&
           file[1] <= kPcxVersion;
}

ImageDecoded decodePcx(std::span<const std::uint8_t> file) {
    PcxLayout layout;
    if (std::string why = readPcxLayout(file, layout); !why.empty()) {
        return refusedImage(std::move(why));
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
            return refusedImage("truncated: the pixel data is cut short");
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
        return refusedImage("damaged: an RLE run goes past the end of the image");
    }
    return d;
}

} // namespace meshfold
