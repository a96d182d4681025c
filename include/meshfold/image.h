// Images: the texture files of a package read into pixels, pixels encoded as
// PNG for a glTF file, and pixels made into the 8-bit paletted PCX that the
// engines' texture importers read. Pure: bytes in, records or bytes out.
//
// Reading side (a mesh's skins shown in its .glb):
//   - PCX version 5, RLE: 8 bits in one plane with the 256-colour palette at
//     the end, and 24 bits in three planes;
//   - BMP: 8-bit palettised, 24- and 32-bit, 40-, 108- and 124-byte info
//     headers, bottom-up and top-down rows;
//   - PNG, TGA and JPEG through stb_image.
// Every decoder checks each field against the bytes really there: a damaged
// or truncated file is refused with a reason, never read past its end, and no
// image larger than kMaxImageSide on a side is allocated.
//
// Writing side (a model's images becoming game textures):
//   - resizing in linear light, each side to a power of two;
//   - a palette of at most 256 colours chosen for the image;
//   - the 8-bit RLE PCX (version 5, one plane, palette at the end).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace meshfold {

// No image side above this is decoded or allocated.
inline constexpr std::uint32_t kMaxImageSide = 16384;

// Pixels in rows from the top, four bytes each: red, green, blue, alpha.
// An image read from an 8-bit source keeps its palette and its indices too,
// so that masking (index 0 transparent) and an exact round trip can use them.
struct Image {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgba;     // width x height x 4
    std::vector<std::uint8_t> indices;  // width x height, empty without a palette
    std::vector<std::uint8_t> palette;  // 3 bytes a colour (RGB), at most 256 colours
};

// An image as an 8-bit texture: one palette index a pixel, rows from the top.
struct PalettedImage {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> indices;        // width x height
    std::array<std::uint8_t, 768> palette{};  // 256 colours, RGB
    std::uint32_t colours = 0;                // entries in use, 1 to 256
};

// The result of decoding: `failure` is empty when `image` was read, else it
// says why not, in words for a message ("truncated: the palette is missing").
struct ImageDecoded {
    Image image;
    std::string failure;
};

// Decodes a PCX, BMP, PNG, TGA or JPEG file, told apart by its first bytes.
ImageDecoded decodeImage(std::span<const std::uint8_t> file);

// The image's RGBA pixels as a PNG file.
std::vector<std::uint8_t> encodePng(const Image& image);

// A PNG of one palette index a pixel (`indices`, width x height, rows from
// the top) and up to 256 colours of four bytes (red, green, blue, alpha);
// every index must name one of them. Empty for sizes it cannot hold.
std::vector<std::uint8_t> encodePalettedPng(std::uint32_t width, std::uint32_t height,
                                            std::span<const std::uint8_t> indices,
                                            std::span<const std::uint8_t> paletteRgba);

// The 8-bit PCX file (version 5, RLE, one plane, 256-colour palette at the
// end) of `image`.
std::vector<std::uint8_t> encodePcx(const PalettedImage& image);

} // namespace meshfold
