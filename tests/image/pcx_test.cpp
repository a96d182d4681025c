// PCX read and written: every variant the decoder reads, worked bytes, cut
// and damaged files; the writer's header and runs, and the bytes of the
// whole writing side.
#include "meshfold/image/image.h"
#include "image_samples.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace meshfold {
namespace {

using test::Bytes;
using test::filled;
using test::hex;
using test::pcxCase;
using test::smooth;
using test::with;

// ---- Reading ----

TEST(PcxDecode, EachVariantGivesItsPixels) {
    for (const test::Case& c : test::pcxCases()) {
        SCOPED_TRACE(c.name);
        const ImageDecoded d = decodeImage(c.file);
        ASSERT_EQ(d.failure, "");
        test::expectSameImage(d.image, c.expected);
    }
}

// Worked values, written out byte by byte.
TEST(PcxDecode, WorkedValues) {
    // 3 x 2, 8 bits: line 0 is index 1 and a run of two 0xC5 (a value that
    // must be coded as a run), line 1 a run of three 2s; each line padded to
    // 4 bytes with index 9.
    Bytes pcx(128, 0);
    const std::uint8_t head[] = {0x0A, 5, 1, 8, 0, 0, 0, 0, 2, 0, 1, 0};
    std::copy(std::begin(head), std::end(head), pcx.begin());
    pcx[65] = 1;
    pcx[66] = 4;
    const std::uint8_t body[] = {0x01, 0xC2, 0xC5, 0x09, 0xC3, 0x02, 0x09, 0x0C};
    pcx.insert(pcx.end(), std::begin(body), std::end(body));
    Bytes palette(768, 0);
    palette[3] = 0x10, palette[4] = 0x20, palette[5] = 0x30;         // 1
    palette[6] = 0x40, palette[7] = 0x50, palette[8] = 0x60;         // 2
    palette[0xC5 * 3] = 0xAA, palette[0xC5 * 3 + 2] = 0xBB;          // 0xC5
    pcx.insert(pcx.end(), palette.begin(), palette.end());
    const ImageDecoded p = decodeImage(pcx);
    ASSERT_EQ(p.failure, "");
    EXPECT_EQ(p.image.indices, (Bytes{1, 0xC5, 0xC5, 2, 2, 2}));
    EXPECT_EQ(p.image.rgba, (Bytes{0x10, 0x20, 0x30, 255, 0xAA, 0, 0xBB, 255, 0xAA, 0, 0xBB, 255,
                                   0x40, 0x50, 0x60, 255, 0x40, 0x50, 0x60, 255, 0x40, 0x50, 0x60, 255}));

    // 2 x 1: a run of length 0 (0xC0, then its value 7), which stands for
    // nothing, then a run of two 1s.
    Bytes empty(128, 0);
    std::copy(std::begin(head), std::end(head), empty.begin());
    empty[8] = 1;  // xmax
    empty[10] = 0; // ymax
    empty[65] = 1;
    empty[66] = 2;
    empty.insert(empty.end(), {0xC0, 0x07, 0xC2, 0x01, 0x0C});
    empty.insert(empty.end(), palette.begin(), palette.end());
    const ImageDecoded e = decodeImage(empty);
    ASSERT_EQ(e.failure, "");
    EXPECT_EQ(e.image.indices, (Bytes{1, 1}));
}

TEST(PcxDecode, EveryPrefixIsRefused) {
    test::expectEveryPrefixRefused(test::pcxCases());
}

Bytes pcx8() {
    return pcxCase("", {.width = 4, .height = 3}).file;
}

TEST(PcxDecode, DamagedFilesAreRefusedWithAReason) {
    test::expectRefused({
        {"pcx version 3", [] { return with(pcx8(), 1, {3}); }, "unsupported: PCX version 3"},
        {"pcx unencoded", [] { return with(pcx8(), 2, {0}); }, "unsupported: PCX without RLE"},
        {"pcx 4 bits", [] { return with(pcx8(), 3, {4}); }, "unsupported: PCX of 4 bits in 1 planes"},
        {"pcx 2 planes", [] { return with(pcx8(), 65, {2}); }, "unsupported: PCX of 8 bits in 2 planes"},
        {"pcx window backwards", [] { return with(pcx8(), 8, {0, 0}); }, "damaged: the PCX window"},
        {"pcx too wide", [] { return with(pcx8(), 8, {0x50, 0x46}); }, "too large: 17998 x 3"},
        {"pcx lines shorter than the width", [] { return with(pcx8(), 66, {3, 0}); }, "damaged: the PCX lines"},
        {"pcx huge lines, few bytes", [] { return with(pcx8(), 66, {0xFF, 0xFF}); }, "truncated: the pixel data"},
        {"pcx no palette marker", [] { Bytes b = pcx8(); b[b.size() - 769] = 0; return b; }, "no 256-colour palette"},
        {"pcx run past the image",
         [] {
             Bytes b = pcxCase("", {.width = 2, .height = 1, .colours = 1}).file; // C2 00
             b[128] = 0xC5;
             return b;
         },
         "damaged: an RLE run goes past the end of the image"},
        {"pcx run past the pixel data",
         [] {
             Bytes b = pcxCase("", {.width = 2, .height = 1, .colours = 1}).file;
             b.erase(b.begin() + 129); // the run's value is the palette marker now
             return b;
         },
         "truncated"},
    });
}

// ---- Writing ----

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
