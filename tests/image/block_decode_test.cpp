#include "meshfold/image/block_decode.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace meshfold {
namespace {

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------------------------
// Pixel layouts.

std::vector<std::uint8_t> decoded(image::PixelLayout layout, const Bytes& src, std::uint32_t w,
                                  std::uint32_t h, const Bytes& palette = {}, bool mask = false) {
    std::vector<std::uint8_t> out;
    EXPECT_EQ(image::decodePixels(layout, src, w, h, out, palette, mask),
              image::BlockDecodeResult::Ok);
    return out;
}

std::array<std::uint8_t, 4> pixel(const std::vector<std::uint8_t>& rgba, std::uint32_t w,
                                  std::uint32_t x, std::uint32_t y) {
    const std::size_t at = 4 * (std::size_t{y} * w + x);
    return {rgba[at], rgba[at + 1], rgba[at + 2], rgba[at + 3]};
}

using Px = std::array<std::uint8_t, 4>;

TEST(BlockDecode, Bc1FourColoursAndThreeWithTransparentBlack) {
    // c0 = pure red (0xF800), c1 = pure blue (0x001F); indices 0, 1, 2, 3 along the first row.
    const Bytes four = {0x00, 0xF8, 0x1F, 0x00, 0b11100100, 0, 0, 0};
    const auto a = decoded(image::PixelLayout::Bc1, four, 4, 4);
    EXPECT_EQ(pixel(a, 4, 0, 0), (Px{255, 0, 0, 255}));
    EXPECT_EQ(pixel(a, 4, 1, 0), (Px{0, 0, 255, 255}));
    EXPECT_EQ(pixel(a, 4, 2, 0), (Px{170, 0, 85, 255})) << "(2a + b) / 3";
    EXPECT_EQ(pixel(a, 4, 3, 0), (Px{85, 0, 170, 255}));
    EXPECT_EQ(pixel(a, 4, 0, 1), (Px{255, 0, 0, 255}));
    // c0 <= c1: index 2 the mean, index 3 transparent black.
    const Bytes three = {0x1F, 0x00, 0x00, 0xF8, 0b11100100, 0, 0, 0};
    const auto b = decoded(image::PixelLayout::Bc1, three, 4, 4);
    EXPECT_EQ(pixel(b, 4, 2, 0), (Px{127, 0, 127, 255}));
    EXPECT_EQ(pixel(b, 4, 3, 0), (Px{0, 0, 0, 0}));
    // A 565 green of 0x07E0 expands to 255; 0x0020 (g = 1) to 4.
    const Bytes green = {0xE0, 0x07, 0x20, 0x00, 0b0100, 0, 0, 0};
    const auto g = decoded(image::PixelLayout::Bc1, green, 4, 4);
    EXPECT_EQ(pixel(g, 4, 0, 0), (Px{0, 255, 0, 255}));
    EXPECT_EQ(pixel(g, 4, 1, 0), (Px{0, 4, 0, 255}));
}

TEST(BlockDecode, Bc2ExplicitAlphaAndBc3InterpolatedAlpha) {
    Bytes bc2 = {0xF0, 0x00, 0, 0, 0, 0, 0, 0x0F}; // pixel 0: 0, pixel 1: 15, pixel 15: 0
    // A BC2 colour block with c0 <= c1 still has four colours.
    const Bytes colour = {0x1F, 0x00, 0x00, 0xF8, 0b11000000, 0, 0, 0};
    bc2.insert(bc2.end(), colour.begin(), colour.end());
    const auto a = decoded(image::PixelLayout::Bc2, bc2, 4, 4);
    EXPECT_EQ(pixel(a, 4, 0, 0)[3], 0);
    EXPECT_EQ(pixel(a, 4, 1, 0)[3], 255);
    EXPECT_EQ(pixel(a, 4, 2, 3)[3], 255) << "pixel 14: the low nibble of byte 7";
    EXPECT_EQ(pixel(a, 4, 3, 3)[3], 0) << "pixel 15: its high nibble";
    EXPECT_EQ(pixel(a, 4, 3, 0), (Px{170, 0, 85, 0})) << "index 3 of four colours: (a + 2b) / 3";

    // BC3: a0 = 255 > a1 = 0: eight values; indices 0..7 over the first 8 pixels.
    Bytes bc3 = {255, 0};
    std::uint64_t bits = 0;
    for (unsigned p = 0; p < 8; ++p) {
        bits |= std::uint64_t{p} << (3 * p);
    }
    for (int k = 0; k < 6; ++k) {
        bc3.push_back(static_cast<std::uint8_t>(bits >> (8 * k)));
    }
    bc3.insert(bc3.end(), colour.begin(), colour.end());
    const auto b = decoded(image::PixelLayout::Bc3, bc3, 4, 4);
    const std::uint8_t expected[] = {255, 0, 218, 182, 145, 109, 72, 36};
    for (unsigned p = 0; p < 8; ++p) {
        EXPECT_EQ(pixel(b, 4, p % 4, p / 4)[3], expected[p]) << p;
    }
    // a0 <= a1: six values, then 0 and 255.
    bc3[0] = 0;
    bc3[1] = 255;
    const auto c = decoded(image::PixelLayout::Bc3, bc3, 4, 4);
    const std::uint8_t six[] = {0, 255, 51, 102, 153, 204, 0, 255};
    for (unsigned p = 0; p < 8; ++p) {
        EXPECT_EQ(pixel(c, 4, p % 4, p / 4)[3], six[p]) << p;
    }
}

TEST(BlockDecode, SmallMipsRoundTheirBlocksUp) {
    // A 2 x 1 mip is one whole block; only its first two pixels come out.
    const Bytes block = {0x00, 0xF8, 0x1F, 0x00, 0b0100, 0, 0, 0};
    const auto a = decoded(image::PixelLayout::Bc1, block, 2, 1);
    ASSERT_EQ(a.size(), 8u);
    EXPECT_EQ(pixel(a, 2, 0, 0), (Px{255, 0, 0, 255}));
    EXPECT_EQ(pixel(a, 2, 1, 0), (Px{0, 0, 255, 255}));
    // 5 x 5: four blocks; pixel (4, 4) is pixel 0 of the last block.
    const Bytes four = {0x00, 0xF8, 0x1F, 0x00, 0, 0, 0, 0, 0x00, 0xF8, 0x1F, 0x00, 0, 0, 0, 0,
                        0x00, 0xF8, 0x1F, 0x00, 0, 0, 0, 0, 0x00, 0x00, 0x1F, 0x00, 0, 0, 0, 0};
    const auto b = decoded(image::PixelLayout::Bc1, four, 5, 5);
    EXPECT_EQ(pixel(b, 5, 4, 4), (Px{0, 0, 0, 255})) << "the last block's index 0: its black c0";
    EXPECT_EQ(pixel(b, 5, 3, 3), (Px{255, 0, 0, 255}));
    std::vector<std::uint8_t> out;
    EXPECT_EQ(image::decodePixels(image::PixelLayout::Bc1, four, 5, 9, out),
              image::BlockDecodeResult::TooFewBytes);
    EXPECT_TRUE(out.empty());
}

TEST(BlockDecode, RawLayoutsAndPalettes) {
    const auto bgra = decoded(image::PixelLayout::Bgra8, {1, 2, 3, 4}, 1, 1);
    EXPECT_EQ(bgra, (std::vector<std::uint8_t>{3, 2, 1, 4}));
    const auto rgb = decoded(image::PixelLayout::Rgb8, {1, 2, 3}, 1, 1);
    EXPECT_EQ(rgb, (std::vector<std::uint8_t>{1, 2, 3, 255}));
    Bytes palette(1024);
    for (std::size_t i = 0; i < 1024; ++i) {
        palette[i] = static_cast<std::uint8_t>(i * 7);
    }
    const auto p8 = decoded(image::PixelLayout::P8, {0, 2}, 2, 1, palette, true);
    EXPECT_EQ(p8, (std::vector<std::uint8_t>{0, 7, 14, 0, 56, 63, 70, 77}))
        << "index 0 transparent when masked";
    std::vector<std::uint8_t> out;
    EXPECT_EQ(image::decodePixels(image::PixelLayout::P8, Bytes{0}, 1, 1, out, Bytes(1023)),
              image::BlockDecodeResult::NoPalette);
}

} // namespace
} // namespace meshfold
