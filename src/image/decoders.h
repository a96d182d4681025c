// The decoder of each format decodeImage reads, and what they share. Each
// decoder checks every field against the bytes really there before it uses
// it, and refuses with a reason (ImageDecoded::failure) a file it cannot
// read; decodeImage turns running out of memory into a refusal.
#pragma once

#include "meshfold/image/image.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace meshfold {

// True when `file` starts as the format does (the decoder may still refuse it).
bool looksLikePcx(std::span<const std::uint8_t> file);
bool looksLikeBmp(std::span<const std::uint8_t> file);

// PCX version 5 with RLE: 8 bits in one plane, or in three.
ImageDecoded decodePcx(std::span<const std::uint8_t> file);
// BMP of 8, 24 or 32 bits, uncompressed (or with whole-byte colour masks).
ImageDecoded decodeBmp(std::span<const std::uint8_t> file);
// PNG, TGA and JPEG through stb_image, after the checks of stb_guard.h; a
// file of none of them is refused as no image.
ImageDecoded decodeWithStb(std::span<const std::uint8_t> file);

// A refusal: `why`, and no image.
ImageDecoded refusedImage(std::string why);

// The reason given for an image above kMaxImageSide on a side.
std::string imageTooLarge(std::uint64_t width, std::uint64_t height);

// An image of this size with room for its RGBA pixels (and its indices when
// it comes from a palette). The caller has bounded both sides.
Image blankImage(std::uint32_t width, std::uint32_t height, bool paletted);

inline void putPixel(Image& img, std::size_t pixel, std::uint8_t r, std::uint8_t g, std::uint8_t b,
                     std::uint8_t a) {
    std::uint8_t* p = img.rgba.data() + pixel * 4;
    p[0] = r;
    p[1] = g;
    p[2] = b;
    p[3] = a;
}

} // namespace meshfold
