// The pixel layouts of compiled packages' textures, decoded to RGBA8. Pure: bytes in, pixels
// out; includes only the standard library.
//
//   P8       1 byte a pixel, an index into a palette of 256 R, G, B, A colours
//   BC1      (DXT1) 8 bytes a 4 x 4 block: two RGB565 colours and 2-bit indices; when the first
//            colour is not above the second, index 3 is transparent black
//   BC2      8 bytes of explicit 4-bit alpha, then a BC1 colour block (always four colours)
//   BC3      an 8-byte alpha block (two alphas, 3-bit indices), then a BC1 colour block
//   BC4      one BC3-style alpha block of a single channel, shown grey (R = G = B, A 255)
//   BC5      two such blocks, red then green (B 0, A 255)
//   RGB8     3 bytes a pixel, R, G, B
//   BGRA8    4 bytes a pixel, B, G, R, A (the packages' RGBA8)
// Block layouts cover whole 4 x 4 blocks: a mip smaller than a block (or of a size that is no
// multiple of 4) still takes whole blocks, and only its own pixels come out.
//
// Interpolated colours and alphas are computed on 8-bit values with integer division, rounding
// down: (2 a + b) / 3, (a + b) / 2, and for alphas ((7 - i) a + i b) / 7 and ((5 - i) a + i b) / 5.
// RGB565 expands by bit replication (r << 3 | r >> 2).
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace meshfold::image {

enum class PixelLayout : std::uint8_t { P8, Bc1, Bc2, Bc3, Bc4, Bc5, Rgb8, Bgra8 };

enum class BlockDecodeResult : std::uint8_t {
    Ok,
    TooFewBytes, // the source holds less than the layout needs for width x height
    NoPalette,   // P8 without a palette of 256 colours (1024 bytes)
    TooLarge,    // width x height x 4 past what a size_t holds
};

// Bytes the layout takes for width x height pixels (whole blocks for block layouts).
std::uint64_t layoutByteCount(PixelLayout layout, std::uint32_t width, std::uint32_t height);

// Decodes width x height pixels of `src` (at least layoutByteCount bytes; more are ignored) into
// `rgba` (resized to width x height x 4, rows top to bottom). For P8, `palette` is 1024 bytes
// of R, G, B, A, and with `maskIndexZero` index 0 comes out transparent (alpha 0) and every other
// index with its palette colour's alpha. On a failure `rgba` is left empty.
BlockDecodeResult decodePixels(PixelLayout layout, std::span<const std::uint8_t> src,
                               std::uint32_t width, std::uint32_t height,
                               std::vector<std::uint8_t>& rgba,
                               std::span<const std::uint8_t> palette = {},
                               bool maskIndexZero = false);

// One 4 x 4 block to 64 bytes of RGBA (row-major), for the block layouts.
void decodeBc1Block(const std::uint8_t* block, std::uint8_t* out);
void decodeBc2Block(const std::uint8_t* block, std::uint8_t* out);
void decodeBc3Block(const std::uint8_t* block, std::uint8_t* out);

} // namespace meshfold::image
