// The writing side of the texture layer: PCX bytes, power-of-two sizes,
// resizing in linear light, the palette chosen and the mask.
#include "meshfold/image/image.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <set>

namespace meshfold {
namespace {

using test::Bytes;
using test::hex;

PalettedImage paletted(std::uint32_t width, std::uint32_t height, Bytes indices) {
    PalettedImage image;
    image.width = width;
    image.height = height;
    image.indices = std::move(indices);
    image.colours = 256;
    for (std::size_t i = 0; i < image.palette.size(); ++i) {
        image.palette[i] = static_cast<std::uint8_t>(i * 7);
    }
    return image;
}

// The run-length data between the 128-byte header and the palette.
std::string pcxData(const Bytes& file) {
    return hex(Bytes(file.begin() + 128, file.end() - 769));
}

// ---- PCX ----

TEST(PcxWriter, HeaderOfAOneByOneImage) {
    const Bytes file = encodePcx(paletted(1, 1, {0x05}));
    ASSERT_EQ(file.size(), 128u + 2 + 769);
    // Manufacturer, version 5, RLE, 8 bits; window 0,0-0,0; 72 x 72 dpi;
    // 48 bytes of EGA palette; reserved; 1 plane; 2 bytes a line (even);
    // palette info 1; the rest zero.
    const Bytes header = {0x0A, 5, 1, 8, 0, 0, 0, 0, 0, 0, 0, 0, 72, 0, 72, 0};
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 16), header);
    EXPECT_EQ(Bytes(file.begin() + 16, file.begin() + 65), Bytes(49, 0));
    EXPECT_EQ(hex(Bytes(file.begin() + 65, file.begin() + 70)), "01 02 00 01 00");
    EXPECT_EQ(Bytes(file.begin() + 70, file.begin() + 128), Bytes(58, 0));
    EXPECT_EQ(pcxData(file), "05 00");
    EXPECT_EQ(file[128 + 2], 0x0C);
    const PalettedImage source = paletted(1, 1, {0x05});
    EXPECT_TRUE(std::equal(source.palette.begin(), source.palette.end(), file.end() - 768));
}

TEST(PcxWriter, WindowAndBytesPerLineOfAWideOddImage) {
    const Bytes file = encodePcx(paletted(301, 2, Bytes(602, 1)));
    EXPECT_EQ(hex(Bytes(file.begin() + 8, file.begin() + 12)), "2C 01 01 00"); // 300, 1
    EXPECT_EQ(hex(Bytes(file.begin() + 66, file.begin() + 68)), "2E 01");    // 302
}

TEST(PcxWriter, RunLengthLines) {
    struct Case {
        const char* what;
        std::uint32_t width, height;
        Bytes indices;
        const char* data;
    };
    const std::vector<Case> cases = {
        {"padding zero joins a run of zeros", 1, 1, {0x00}, "C2 00"},
        {"0xC0 and above are always runs", 1, 1, {0xC5}, "C1 C5 00"},
        {"0xBF is a plain byte", 2, 1, {0xBF, 0xC0}, "BF C1 C0"},
        {"odd width, runs end with the line", 3, 2, {1, 1, 1, 2, 0xC0, 2}, "C3 01 00 02 C1 C0 02 00"},
        {"the same value on two lines is two runs", 2, 2, {3, 3, 3, 3}, "C2 03 C2 03"},
        {"a run of 63 is one pair", 63, 1, Bytes(63, 9), "FF 09 00"},
        {"a run of 64 is 63 and 1", 64, 1, Bytes(64, 9), "FF 09 09"},
        {"a run of 64 of 0xFF", 64, 1, Bytes(64, 0xFF), "FF FF C1 FF"},
        {"130 is 63, 63, 4", 130, 1, Bytes(130, 0xE0), "FF E0 FF E0 C4 E0"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pcxData(encodePcx(paletted(c.width, c.height, c.indices))), c.data) << c.what;
    }
}

TEST(PcxWriter, RefusesWhatAPcxCannotHold) {
    EXPECT_TRUE(encodePcx(paletted(0, 1, {})).empty());
    EXPECT_TRUE(encodePcx(paletted(2, 2, {1, 2, 3})).empty()); // fewer indices than pixels
    EXPECT_TRUE(encodePcx(paletted(65535, 1, Bytes(65535, 0))).empty());
    EXPECT_FALSE(encodePcx(paletted(65534, 1, Bytes(65534, 0))).empty());
}

// ---- Sizes ----

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

Image filled(std::uint32_t width, std::uint32_t height, std::uint32_t seed = 1) {
    Image image;
    image.width = width;
    image.height = height;
    image.rgba.resize(std::size_t{width} * height * 4);
    for (std::size_t i = 0; i < image.rgba.size(); ++i) {
        seed = seed * 1103515245u + 12345u;
        image.rgba[i] = static_cast<std::uint8_t>(seed >> 23);
    }
    return image;
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

// ---- Palette ----

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

// A smooth image of many colours: two gradients and a soft disc.
Image smooth(std::uint32_t width, std::uint32_t height) {
    Image image = filled(width, height);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            const std::size_t p = (std::size_t{y} * width + x) * 4;
            const int dx = int(x) - int(width) / 2, dy = int(y) - int(height) / 2;
            const bool disc = dx * dx + dy * dy < int(width * width) / 9;
            image.rgba[p] = static_cast<std::uint8_t>(x * 255 / (width - 1));
            image.rgba[p + 1] = static_cast<std::uint8_t>(y * 255 / (height - 1));
            image.rgba[p + 2] = static_cast<std::uint8_t>(disc ? 200 : (x + y) % 64);
            image.rgba[p + 3] = 255;
        }
    }
    return image;
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

// FNV-1a: a fingerprint of the bytes written.
std::uint64_t fingerprint(const Bytes& bytes) {
    std::uint64_t h = 14695981039346656037ull;
    for (const std::uint8_t b : bytes) {
        h = (h ^ b) * 1099511628211ull;
    }
    return h;
}

// Resizing, choosing the palette, dithering and writing give the same bytes
// on every run and every build: these fingerprints were taken from the
// x86-64 builds of g++ and clang, and a change to them changes every
// texture a user has written.
TEST(TextureWriting, SameBytesEveryTime) {
    Image image = smooth(300, 200);
    const Image noise = filled(300, 200, 99);
    for (std::size_t i = 0; i < image.rgba.size(); i += 4) {
        image.rgba[i] = static_cast<std::uint8_t>((image.rgba[i] + noise.rgba[i] / 8) & 0xFF);
        image.rgba[i + 3] = noise.rgba[i + 3];
    }
    const Image resized = resizeForTexture(image, 256);
    const Bytes plain = encodePcx(quantise(resized));
    const Bytes dithered = encodePcx(quantise(resized, {.dither = true, .masked = true}));
    EXPECT_EQ(plain, encodePcx(quantise(resizeForTexture(image, 256))));
    EXPECT_EQ(fingerprint(plain), 0x5626fbfc82f85da9u) << std::hex << fingerprint(plain);
    EXPECT_EQ(fingerprint(dithered), 0xe86b2cfecb2f4c43u) << std::hex << fingerprint(dithered);
}

} // namespace
} // namespace meshfold
