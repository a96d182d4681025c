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

// Gives `image`, decoded from the PNG `png`, the PNG's own palette (PLTE)
// and palette indices, read from its rows, when `png` is 8-bit paletted, not
// interlaced, and every index stands for the very pixel decoded (alpha from
// tRNS). False, and `image` unchanged, otherwise (an RGBA PNG, an image
// edited since).
bool recoverPngPalette(std::span<const std::uint8_t> png, Image& image);

// The image's RGBA pixels as a PNG file.
std::vector<std::uint8_t> encodePng(const Image& image);

// A PNG of one palette index a pixel (`indices`, width x height, rows from
// the top) and up to 256 colours of four bytes (red, green, blue, alpha);
// every index must name one of them. Empty for sizes it cannot hold.
std::vector<std::uint8_t> encodePalettedPng(std::uint32_t width, std::uint32_t height,
                                            std::span<const std::uint8_t> indices,
                                            std::span<const std::uint8_t> paletteRgba);

// ---- Writing side ----

// A texture's sides are powers of two no larger than a cap: 256 unless the
// user asks for another power of two from 1 to kMaxTextureSideCap.
inline constexpr std::uint32_t kDefaultTextureSideCap = 256;
inline constexpr std::uint32_t kMaxTextureSideCap = 1024;

// True for the caps a user may ask for: 1, 2, 4, ... kMaxTextureSideCap.
bool isTextureSideCap(std::uint32_t cap);

// The largest power of two not above `side` nor above `cap`; 0 when either
// is 0. textureSide(1000, 256) == 256, textureSide(600, 1024) == 512.
std::uint32_t textureSide(std::uint32_t side, std::uint32_t cap);

// `image` with each side brought to textureSide(side, cap). Downsampling
// filters in linear light (sRGB colour, linear alpha, colour weighted by
// alpha), so that a resized skin keeps its brightness and a masked edge does
// not bleed the hidden pixels' colour (an opaque material's image whose
// alpha means nothing should have it set to 255 first). Never upsamples: an
// image whose sides already are the target is returned as an exact copy,
// palette and indices included; a resized one has neither. An image with a
// side of 0 is returned as it is; one whose rgba does not hold width x
// height pixels gives an Image of 0 x 0. The filter (stb_image_resize,
// Mitchell) works in single-precision floats: the same bytes from SSE2 code
// (checked: g++ and clang on x86-64 Linux, MinGW-w64 under Wine), not
// promised from x87 code (32-bit builds without -mfpmath=sse).
Image resizeForTexture(const Image& image, std::uint32_t cap = kDefaultTextureSideCap);

// How an image becomes palette indices.
struct QuantiseOptions {
    // Floyd-Steinberg error diffusion when mapping pixels to the palette.
    // Off by default: over photo-like skins it measures about 2.3 dB lower
    // PSNR than the nearest colour (median 40.8 against 43.1 dB;
    // bench/image_bench.cpp prints both).
    bool dither = false;
    // Masked texture: palette index 0 is kept for the pixels whose alpha is
    // below `alphaCutoff` (0 to 1, glTF's alphaCutoff), which all get index
    // 0 (colour black); no other pixel uses it.
    bool masked = false;
    double alphaCutoff = 0.5;
};

// No image of more pixels than this is quantised (8192 x 8192): the colour
// sums of the quantiser are exact 64-bit integers up to it.
inline constexpr std::uint64_t kMaxQuantisedPixels = std::uint64_t{1} << 26;

// The smallest alpha byte that a masked texture shows for `alphaCutoff`:
// a pixel is hidden when alpha / 255 < alphaCutoff, computed exactly (0.5
// gives 128; 0 or less, or NaN, gives 0: nothing hidden; above 1 gives 256:
// everything hidden).
std::uint32_t alphaShownFrom(double alphaCutoff);

// `image` (RGBA; alpha only matters for a masked texture) as at most 256
// colours chosen for it: median cut by the largest squared error, each box
// split where the two halves' squared errors are least, then refined by a
// few rounds of k-means. An image of at most 256 distinct colours (255
// besides index 0 when masked) keeps them exactly: the palette is those
// colours in ascending 0xRRGGBB order and every pixel its own colour.
// Deterministic: integer arithmetic only, the same bytes on every platform.
// An image with a side of 0, of more than kMaxQuantisedPixels pixels, or
// whose rgba does not hold width x height pixels gives a PalettedImage of
// width and height 0.
PalettedImage quantise(const Image& image, const QuantiseOptions& options = {});

// The 8-bit PCX file (version 5, RLE, one plane, 256-colour palette at the
// end) of `image`: the header as common paint programs write it (72 dpi,
// palette info 1), each line padded to an even number of bytes. Empty when
// the image cannot be a PCX: a side of 0 or above 65534, or fewer indices
// than pixels.
std::vector<std::uint8_t> encodePcx(const PalettedImage& image);

} // namespace meshfold
