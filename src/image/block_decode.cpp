// Block-compressed and raw pixel layouts to RGBA8.
#include "meshfold/image/block_decode.h"

#include <algorithm>
#include <array>
#include <limits>

namespace meshfold::image {

namespace {

inline constexpr std::uint32_t kBlockSide = 4;
inline constexpr std::size_t kBlockPixels = 16;
inline constexpr std::size_t kSmallBlockBytes = 8; // BC1, BC4
inline constexpr std::size_t kLargeBlockBytes = 16; // BC2, BC3, BC5
inline constexpr std::size_t kPaletteBytes = 256 * 4;

std::uint16_t le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

std::array<std::uint8_t, 3> expand565(std::uint16_t c) {
    const unsigned r = c >> 11 & 0x1F;
    const unsigned g = c >> 5 & 0x3F;
    const unsigned b = c & 0x1F;
    return {static_cast<std::uint8_t>(r << 3 | r >> 2), static_cast<std::uint8_t>(g << 2 | g >> 4),
            static_cast<std::uint8_t>(b << 3 | b >> 2)};
}

// The colour part of a BC1, BC2 or BC3 block. `fourAlways`: BC2 and BC3 always use four
// colours; BC1 uses three and transparent black when the first colour is not above the second.
void decodeColours(const std::uint8_t* block, bool fourAlways, std::uint8_t* out) {
    const std::uint16_t c0 = le16(block);
    const std::uint16_t c1 = le16(block + 2);
    const auto a = expand565(c0);
    const auto b = expand565(c1);
    std::array<std::array<std::uint8_t, 4>, 4> palette{};
    palette[0] = {a[0], a[1], a[2], 255};
    palette[1] = {b[0], b[1], b[2], 255};
    const bool four = fourAlways || c0 > c1;
    for (std::size_t ch = 0; ch < 3; ++ch) {
        if (four) {
            palette[2][ch] = static_cast<std::uint8_t>((2 * a[ch] + b[ch]) / 3);
            palette[3][ch] = static_cast<std::uint8_t>((a[ch] + 2 * b[ch]) / 3);
        } else {
            palette[2][ch] = static_cast<std::uint8_t>((a[ch] + b[ch]) / 2);
            palette[3][ch] = 0;
        }
    }
    palette[2][3] = 255;
    palette[3][3] = four ? 255 : 0;
    for (std::size_t p = 0; p < kBlockPixels; ++p) {
        const unsigned index = block[4 + p / 4] >> (2 * (p % 4)) & 3;
        std::copy(palette[index].begin(), palette[index].end(), out + 4 * p);
    }
}

// A BC3-style block of one channel: 16 values written to out[4 p + channel].
void decodeAlphaBlock(const std::uint8_t* block, std::uint8_t* out, std::size_t channel) {
    const unsigned a0 = block[0];
    const unsigned a1 = block[1];
    std::array<std::uint8_t, 8> values{};
    values[0] = static_cast<std::uint8_t>(a0);
    values[1] = static_cast<std::uint8_t>(a1);
    if (a0 > a1) {
        for (unsigned i = 1; i < 7; ++i) {
            values[i + 1] = static_cast<std::uint8_t>(((7 - i) * a0 + i * a1) / 7);
        }
    } else {
        for (unsigned i = 1; i < 5; ++i) {
            values[i + 1] = static_cast<std::uint8_t>(((5 - i) * a0 + i * a1) / 5);
        }
        values[6] = 0;
        values[7] = 255;
    }
    std::uint64_t bits = 0;
    for (std::size_t k = 0; k < 6; ++k) {
        bits |= std::uint64_t{block[2 + k]} << (8 * k);
    }
    for (std::size_t p = 0; p < kBlockPixels; ++p) {
        out[4 * p + channel] = values[bits >> (3 * p) & 7];
    }
}

void decodeBc4Block(const std::uint8_t* block, std::uint8_t* out) {
    decodeAlphaBlock(block, out, 0);
    for (std::size_t p = 0; p < kBlockPixels; ++p) {
        out[4 * p + 1] = out[4 * p + 2] = out[4 * p];
        out[4 * p + 3] = 255;
    }
}

void decodeBc5Block(const std::uint8_t* block, std::uint8_t* out) {
    decodeAlphaBlock(block, out, 0);
    decodeAlphaBlock(block + kSmallBlockBytes, out, 1);
    for (std::size_t p = 0; p < kBlockPixels; ++p) {
        out[4 * p + 2] = 0;
        out[4 * p + 3] = 255;
    }
}

bool isBlockLayout(PixelLayout layout) {
    return layout != PixelLayout::P8 && layout != PixelLayout::Rgb8 && layout != PixelLayout::Bgra8;
}

std::size_t blockBytes(PixelLayout layout) {
    return layout == PixelLayout::Bc1 || layout == PixelLayout::Bc4 ? kSmallBlockBytes
                                                                      : kLargeBlockBytes;
}

void decodeBlocks(PixelLayout layout, const std::uint8_t* src, std::uint32_t width,
                  std::uint32_t height, std::uint8_t* rgba) {
    const std::uint32_t across = (width + kBlockSide - 1) / kBlockSide;
    const std::uint32_t down = (height + kBlockSide - 1) / kBlockSide;
    const std::size_t size = blockBytes(layout);
    std::array<std::uint8_t, kBlockPixels * 4> block{};
    for (std::uint32_t by = 0; by < down; ++by) {
        for (std::uint32_t bx = 0; bx < across; ++bx) {
            const std::uint8_t* in = src + (std::size_t{by} * across + bx) * size;
            switch (layout) {
            case PixelLayout::Bc1: decodeBc1Block(in, block.data()); break;
            case PixelLayout::Bc2: decodeBc2Block(in, block.data()); break;
            case PixelLayout::Bc3: decodeBc3Block(in, block.data()); break;
            case PixelLayout::Bc4: decodeBc4Block(in, block.data()); break;
            default: decodeBc5Block(in, block.data()); break;
            }
            // Only the pixels inside the image: small mips round their blocks up.
            const std::uint32_t w = std::min(kBlockSide, width - bx * kBlockSide);
            const std::uint32_t h = std::min(kBlockSide, height - by * kBlockSide);
            for (std::uint32_t y = 0; y < h; ++y) {
                const std::size_t row = std::size_t{by} * kBlockSide + y;
                std::copy_n(block.data() + 4 * kBlockSide * y, 4 * w,
                            rgba + 4 * (row * width + std::size_t{bx} * kBlockSide));
            }
        }
    }
}

void decodeRaw(PixelLayout layout, const std::uint8_t* src, std::size_t pixels,
               std::span<const std::uint8_t> palette, bool maskIndexZero, std::uint8_t* rgba) {
    for (std::size_t p = 0; p < pixels; ++p) {
        std::uint8_t* o = rgba + 4 * p;
        if (layout == PixelLayout::P8) {
            const std::size_t i = src[p];
            std::copy_n(palette.data() + 4 * i, 4, o);
            if (maskIndexZero && i == 0) {
                o[3] = 0;
            }
        } else if (layout == PixelLayout::Rgb8) {
            o[0] = src[3 * p];
            o[1] = src[3 * p + 1];
            o[2] = src[3 * p + 2];
            o[3] = 255;
        } else {
            o[0] = src[4 * p + 2];
            o[1] = src[4 * p + 1];
            o[2] = src[4 * p];
            o[3] = src[4 * p + 3];
        }
    }
}

} // namespace

void decodeBc1Block(const std::uint8_t* block, std::uint8_t* out) { decodeColours(block, false, out); }

void decodeBc2Block(const std::uint8_t* block, std::uint8_t* out) {
    decodeColours(block + kSmallBlockBytes, true, out);
    for (std::size_t p = 0; p < kBlockPixels; ++p) {
        const unsigned a = block[p / 2] >> (4 * (p % 2)) & 0xF;
        out[4 * p + 3] = static_cast<std::uint8_t>(a * 17);
    }
}

void decodeBc3Block(const std::uint8_t* block, std::uint8_t* out) {
    decodeColours(block + kSmallBlockBytes, true, out);
    decodeAlphaBlock(block, out, 3);
}

std::uint64_t layoutByteCount(PixelLayout layout, std::uint32_t width, std::uint32_t height) {
    const std::uint64_t pixels = std::uint64_t{width} * height;
    if (isBlockLayout(layout)) {
        const std::uint64_t blocks = ((std::uint64_t{width} + kBlockSide - 1) / kBlockSide) *
                                     ((std::uint64_t{height} + kBlockSide - 1) / kBlockSide);
        return blocks * blockBytes(layout);
    }
    switch (layout) {
    case PixelLayout::Rgb8: return pixels * 3;
    case PixelLayout::Bgra8: return pixels * 4;
    default: return pixels;
    }
}

BlockDecodeResult decodePixels(PixelLayout layout, std::span<const std::uint8_t> src,
                               std::uint32_t width, std::uint32_t height,
                               std::vector<std::uint8_t>& rgba,
                               std::span<const std::uint8_t> palette, bool maskIndexZero) {
    rgba.clear();
    if (layout == PixelLayout::P8 && palette.size() < kPaletteBytes) {
        return BlockDecodeResult::NoPalette;
    }
    if (src.size() < layoutByteCount(layout, width, height)) {
        return BlockDecodeResult::TooFewBytes;
    }
    // The check above bounds the pixels by the source's bytes (16 a byte at most, for BC1),
    // so the product below fits in 64 bits.
    const std::uint64_t bytes = std::uint64_t{width} * height * 4;
    if (bytes > std::numeric_limits<std::size_t>::max()) {
        return BlockDecodeResult::TooLarge;
    }
    rgba.resize(static_cast<std::size_t>(bytes));
    if (isBlockLayout(layout)) {
        decodeBlocks(layout, src.data(), width, height, rgba.data());
    } else {
        decodeRaw(layout, src.data(), static_cast<std::size_t>(bytes / 4), palette, maskIndexZero,
                  rgba.data());
    }
    return BlockDecodeResult::Ok;
}

} // namespace meshfold::image
