// The palette chosen for an image: its own colours kept exactly when they
// fit, the nearest entries otherwise, the quality with and without
// dithering, and index 0 kept for a masked texture's hidden pixels.
#include "meshfold/image/image.h"
#include "image_samples.h"
#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>
#include <vector>

namespace meshfold {
namespace {

using test::Bytes;
using test::filled;
using test::smooth;

std::uint32_t rgbAt(const Image& image, std::size_t i) {
    return (std::uint32_t{image.rgba[i * 4]} << 16) | (std::uint32_t{image.rgba[i * 4 + 1]} << 8) |
           image.rgba[i * 4 + 2];
}

std::uint32_t paletteAt(const PalettedImage& image, std::size_t index) {
    return (std::uint32_t{image.palette[index * 3]} << 16) |
           (std::uint32_t{image.palette[index * 3 + 1]} << 8) | image.palette[index * 3 + 2];
}

// An image of exactly `count` distinct colours, shuffled, each at least once.
Image ofColours(std::uint32_t count, std::uint32_t width, std::uint32_t height) {
    Image image = filled(width, height, count);
    for (std::size_t i = 0; i < std::size_t{width} * height; ++i) {
        const std::uint32_t c = (i < count ? i : (i * 2654435761u) % count) * 40503u + 17u;
        image.rgba[i * 4] = static_cast<std::uint8_t>(c >> 16);
        image.rgba[i * 4 + 1] = static_cast<std::uint8_t>(c >> 8);
        image.rgba[i * 4 + 2] = static_cast<std::uint8_t>(c);
    }
    return image;
}

// PSNR of the paletted pixels against the image's RGB.
double psnr(const Image& image, const PalettedImage& out) {
    double sum = 0;
    for (std::size_t i = 0; i < out.indices.size(); ++i) {
        for (std::size_t ch = 0; ch < 3; ++ch) {
            const double d = double(image.rgba[i * 4 + ch]) - out.palette[out.indices[i] * 3 + ch];
            sum += d * d;
        }
    }
    const double mse = sum / (3.0 * static_cast<double>(out.indices.size()));
    return mse == 0 ? std::numeric_limits<double>::infinity() : 10 * std::log10(255.0 * 255 / mse);
}

TEST(Quantiser, AtMost256ColoursAreKeptExactly) {
    for (const std::uint32_t count : {1u, 2u, 200u, 256u}) {
        for (const bool dither : {false, true}) {
            const Image image = ofColours(count, 32, 16);
            const PalettedImage out = quantise(image, {.dither = dither});
            ASSERT_EQ(out.colours, count);
            std::set<std::uint32_t> own;
            for (std::size_t i = 0; i < 32 * 16; ++i) {
                own.insert(rgbAt(image, i));
                ASSERT_EQ(paletteAt(out, out.indices[i]), rgbAt(image, i)) << "pixel " << i;
            }
            // The palette is the image's colours in ascending order.
            std::size_t index = 0;
            for (const std::uint32_t c : own) {
                EXPECT_EQ(paletteAt(out, index++), c);
            }
        }
    }
}

TEST(Quantiser, MoreColoursGiveAFullPaletteOfNearestEntries) {
    const Image image = ofColours(5000, 100, 100);
    const PalettedImage out = quantise(image);
    EXPECT_EQ(out.colours, 256u);
    std::set<std::uint32_t> distinct;
    for (std::size_t i = 0; i < out.colours; ++i) {
        distinct.insert(paletteAt(out, i));
    }
    EXPECT_EQ(distinct.size(), 256u);
    // Without dithering every pixel has its nearest entry.
    for (std::size_t i = 0; i < out.indices.size(); i += 37) {
        const auto dist = [&](std::size_t e) {
            int d = 0;
            for (std::size_t ch = 0; ch < 3; ++ch) {
                const int c = int(image.rgba[i * 4 + ch]) - out.palette[e * 3 + ch];
                d += c * c;
            }
            return d;
        };
        for (std::size_t e = 0; e < 256; ++e) {
            ASSERT_LE(dist(out.indices[i]), dist(e)) << "pixel " << i;
        }
    }
}

// 35.8 and 33.5 dB when written: dithering costs PSNR here as on the bench.
TEST(Quantiser, SmoothImageQuality) {
    const Image image = smooth(128, 128);
    const double plain = psnr(image, quantise(image));
    const double dithered = psnr(image, quantise(image, {.dither = true}));
    EXPECT_GT(plain, 35.6);
    EXPECT_GT(dithered, 33.0);
    EXPECT_GT(plain, dithered);
}

TEST(Quantiser, MaskReservesIndexZero) {
    Image image = ofColours(255, 32, 32);
    for (std::size_t i = 0; i < 32 * 32; ++i) {
        image.rgba[i * 4 + 3] = static_cast<std::uint8_t>(i % 4 == 0 ? 127 : 128 + i % 128);
    }
    // Index 0's own colour would be a shown colour: it must not be used.
    image.rgba[0] = image.rgba[1] = image.rgba[2] = 0;
    for (const bool dither : {false, true}) {
        const PalettedImage out = quantise(image, {.dither = dither, .masked = true});
        EXPECT_EQ(paletteAt(out, 0), 0u);
        for (std::size_t i = 0; i < 32 * 32; ++i) {
            if (i % 4 == 0) {
                ASSERT_EQ(out.indices[i], 0) << "hidden pixel " << i;
            } else {
                ASSERT_NE(out.indices[i], 0) << "shown pixel " << i;
                ASSERT_EQ(paletteAt(out, out.indices[i]), rgbAt(image, i)) << "pixel " << i;
            }
        }
    }
    // Many colours: 255 chosen, index 0 still only the hidden pixels.
    Image many = smooth(64, 64);
    for (std::size_t i = 0; i < 64 * 64; i += 3) {
        many.rgba[i * 4 + 3] = 0;
    }
    const PalettedImage out = quantise(many, {.dither = true, .masked = true});
    EXPECT_EQ(out.colours, 256u);
    for (std::size_t i = 0; i < 64 * 64; ++i) {
        ASSERT_EQ(out.indices[i] == 0, i % 3 == 0) << "pixel " << i;
    }
    // Unmasked, alpha does not matter.
    EXPECT_EQ(quantise(many).indices, quantise(smooth(64, 64)).indices);
}

TEST(Quantiser, AlphaCutoffInBytes) {
    struct Case {
        double cutoff;
        std::uint32_t shownFrom;
    };
    const std::vector<Case> cases = {
        {0.5, 128}, {0.0, 0},      {-1.0, 0},   {std::nan(""), 0}, {1.0, 255},
        {1.5, 256}, {0.1, 26},     {0.25, 64},  {1e-300, 1},      {128.0 / 255, 128},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(alphaShownFrom(c.cutoff), c.shownFrom) << c.cutoff;
    }
    // Every pixel hidden: the one colour is index 0.
    const PalettedImage out =
        quantise(filled(4, 4), {.masked = true, .alphaCutoff = 2.0});
    EXPECT_EQ(out.colours, 1u);
    EXPECT_EQ(out.indices, Bytes(16, 0));
}

TEST(Quantiser, RefusesWhatItCannotHold) {
    EXPECT_EQ(quantise(Image{}).width, 0u);
    Image image = filled(4, 4);
    image.rgba.pop_back();
    EXPECT_EQ(quantise(image).width, 0u);
}

} // namespace
} // namespace meshfold
