// A model's image brought to a texture's sides: powers of two under the cap,
// filtered in linear light, never upsampled.
#include "meshfold/image/image.h"
#include "image_samples.h"

#include <gtest/gtest.h>

#include <vector>

namespace meshfold {
namespace {

using test::filled;

TEST(TextureSize, LargestPowerOfTwoNotAboveSideOrCap) {
    struct Case {
        std::uint32_t side, cap, expected;
    };
    const std::vector<Case> cases = {
        {1000, 256, 256}, {600, 256, 256}, {1000, 1024, 512}, {600, 1024, 512},
        {256, 256, 256},  {255, 256, 128}, {257, 256, 256},   {1, 256, 1},
        {3, 256, 2},      {100, 1, 1},     {16384, 1024, 1024}, {0, 256, 0},
        {64, 0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(textureSide(c.side, c.cap), c.expected) << c.side << " at cap " << c.cap;
    }
    for (std::uint32_t cap : {1u, 2u, 128u, 256u, 1024u}) {
        EXPECT_TRUE(isTextureSideCap(cap)) << cap;
    }
    for (std::uint32_t cap : {0u, 3u, 768u, 2048u, 0x80000000u}) {
        EXPECT_FALSE(isTextureSideCap(cap)) << cap;
    }
}

TEST(TextureResize, SidesAndNeverUpsampled) {
    struct Case {
        std::uint32_t width, height, cap, toWidth, toHeight;
    };
    const std::vector<Case> cases = {
        {1000, 600, 256, 256, 256}, {1000, 600, 1024, 512, 512}, {600, 1000, 1024, 512, 512},
        {100, 3, 256, 64, 2},       {3, 5, 256, 2, 4},           {512, 512, 256, 256, 256},
        {1, 1, 256, 1, 1},
    };
    for (const Case& c : cases) {
        const Image out = resizeForTexture(filled(c.width, c.height), c.cap);
        EXPECT_EQ(out.width, c.toWidth) << c.width << "x" << c.height;
        EXPECT_EQ(out.height, c.toHeight) << c.width << "x" << c.height;
        EXPECT_EQ(out.rgba.size(), std::size_t{c.toWidth} * c.toHeight * 4);
    }
}

TEST(TextureResize, PowerOfTwoBelowTheCapIsAnExactCopy) {
    Image image = filled(64, 32);
    image.indices.assign(64 * 32, 7);
    image.palette.assign(768, 3);
    const Image out = resizeForTexture(image, 256);
    EXPECT_EQ(out.rgba, image.rgba);
    EXPECT_EQ(out.indices, image.indices);
    EXPECT_EQ(out.palette, image.palette);
    // Resized, the source's indices no longer describe the pixels.
    const Image smaller = resizeForTexture(image, 16);
    EXPECT_TRUE(smaller.indices.empty());
    EXPECT_TRUE(smaller.palette.empty());
}

TEST(TextureResize, FiltersInLinearLightWeightedByAlpha) {
    Image image;
    image.width = 2;
    image.height = 1;
    // Black and white: the mean light is half, sRGB 188, not 128.
    image.rgba = {0, 0, 0, 255, 255, 255, 255, 255};
    Image out = resizeForTexture(image, 1);
    ASSERT_EQ(out.rgba.size(), 4u);
    EXPECT_NEAR(out.rgba[0], 188, 2);
    EXPECT_EQ(out.rgba[3], 255);
    // An invisible green pixel does not tint its visible red neighbour.
    image.rgba = {255, 0, 0, 255, 0, 255, 0, 0};
    out = resizeForTexture(image, 1);
    EXPECT_EQ(out.rgba[0], 255);
    EXPECT_EQ(out.rgba[1], 0);
    EXPECT_NEAR(out.rgba[3], 128, 1);
}

TEST(TextureResize, RefusesPixelsThatDoNotMatchTheSides) {
    Image image = filled(4, 4);
    image.rgba.pop_back();
    EXPECT_EQ(resizeForTexture(image, 2).width, 0u);
}

} // namespace
} // namespace meshfold
