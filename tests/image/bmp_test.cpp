// BMP read: every variant the decoder reads, worked bytes, cut and damaged
// files.
#include "meshfold/image/image.h"
#include "image_samples.h"
#include "support.h"

#include <gtest/gtest.h>

#include <vector>

namespace meshfold {
namespace {

using test::bmpCase;
using test::Bytes;
using test::Case;
using test::with;
using test::with32;

TEST(BmpDecode, EachVariantGivesItsPixels) {
    for (const Case& c : test::bmpCases()) {
        SCOPED_TRACE(c.name);
        const ImageDecoded d = decodeImage(c.file);
        ASSERT_EQ(d.failure, "");
        test::expectSameImage(d.image, c.expected);
    }
}

// Worked values, written out byte by byte.
TEST(BmpDecode, WorkedValues) {
    // 2 x 2, 24 bits, bottom-up: the first row in the file is the lower one.
    Bytes bmp = {'B', 'M', 70, 0, 0, 0, 0, 0, 0, 0, 54, 0, 0, 0, 40, 0, 0, 0, 2, 0, 0, 0, 2, 0, 0, 0,
                 1, 0, 24, 0};
    bmp.resize(54, 0);
    const std::uint8_t rows[] = {1, 2, 3, 4, 5, 6, 0, 0, 7, 8, 9, 10, 11, 12, 0, 0};
    bmp.insert(bmp.end(), std::begin(rows), std::end(rows));
    const ImageDecoded b = decodeImage(bmp);
    ASSERT_EQ(b.failure, "");
    EXPECT_EQ(b.image.rgba, (Bytes{9, 8, 7, 255, 12, 11, 10, 255, 3, 2, 1, 255, 6, 5, 4, 255}));
    EXPECT_TRUE(b.image.indices.empty());
}

TEST(BmpDecode, EveryPrefixIsRefused) {
    test::expectEveryPrefixRefused(test::bmpCases());
}

Bytes bmp24() {
    return bmpCase("", {.width = 3, .height = 2}).file;
}
Bytes bmp8() {
    return bmpCase("", {.width = 3, .height = 2, .bits = 8}).file;
}
Bytes bmp32v5() {
    return bmpCase("", {.width = 2, .height = 2, .bits = 32, .infoSize = 124, .compression = 3,
                        .masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}})
        .file;
}

TEST(BmpDecode, DamagedFilesAreRefusedWithAReason) {
    test::expectRefused({
        {"bmp info header 12", [] { return with32(bmp24(), 14, 12); }, "unsupported: BMP info header of 12 bytes"},
        {"bmp info header huge", [] { return with32(bmp24(), 14, 0xFFFFFFF0u); }, "unsupported: BMP info header"},
        {"bmp info header past the end", [] { return with32(bmp24(), 14, 124); }, "truncated: the BMP header"},
        {"bmp width 0", [] { return with32(bmp24(), 18, 0); }, "damaged: a BMP of 0 x 2"},
        {"bmp width negative", [] { return with32(bmp24(), 18, 0xFFFFFFFFu); }, "damaged: a BMP of -1 x 2"},
        {"bmp height 0", [] { return with32(bmp24(), 22, 0); }, "damaged: a BMP of 3 x 0"},
        {"bmp height most negative", [] { return with32(bmp24(), 22, 0x80000000u); }, "too large"},
        {"bmp too tall", [] { return with32(bmp24(), 22, 16385); }, "too large: 3 x 16385"},
        {"bmp taller than its rows", [] { return with32(bmp24(), 22, 3); }, "truncated: the pixel rows"},
        {"bmp 2 planes", [] { return with(bmp24(), 26, {2}); }, "damaged: a BMP of 2 planes"},
        {"bmp 4 bits", [] { return with(bmp24(), 28, {4}); }, "unsupported: 4-bit BMP"},
        {"bmp 16 bits", [] { return with(bmp24(), 28, {16}); }, "unsupported: 16-bit BMP"},
        {"bmp rle8", [] { return with32(bmp8(), 30, 1); }, "unsupported: RLE-compressed BMP"},
        {"bmp24 with masks", [] { return with32(bmp24(), 30, 3); }, "unsupported: BMP compression 3 with 24 bits"},
        {"bmp pixels inside the header", [] { return with32(bmp24(), 10, 20); }, "damaged: the BMP pixels start"},
        {"bmp pixels past the end", [] { return with32(bmp24(), 10, 0xFFFFFF00u); }, "truncated: the pixel rows"},
        {"bmp8 palette of 300", [] { return with32(bmp8(), 46, 300); }, "damaged: a BMP palette of 300 colours"},
        {"bmp8 palette into the pixels", [] { return with32(with32(bmp8(), 46, 256), 10, 54 + 8); }, "runs into"},
        {"bmp8 no palette", [] { return with32(bmp8(), 10, 54); }, "truncated: the palette is missing"},
        {"bmp32 mask of half a byte", [] { return with32(bmp32v5(), 54, 0x0F0000); }, "unsupported: BMP colour masks"},
        {"bmp32 two masks the same", [] { return with32(bmp32v5(), 58, 0xFF0000); }, "unsupported: BMP colour masks"},
    });
}

} // namespace
} // namespace meshfold
