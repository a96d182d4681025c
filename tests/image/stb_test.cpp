// TGA and JPEG read through stb, and the checks that keep stb from the
// JPEGs it mishandles.
#include "meshfold/image/image.h"
#include "image_samples.h"
#include "support.h"

#include <gtest/gtest.h>
#include <stb_image_write.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace meshfold {
namespace {

using test::Bytes;

// A baseline JPEG of one 8 x 8 grey component: quantisation table 0, a DC
// and (unless `noAcTable`) an AC Huffman table 0, the frame's component using
// quantisation table `frameQuant` and the scan Huffman tables `scanTables`.
Bytes jpegOfTables(std::uint8_t frameQuant, std::uint8_t scanTables, bool noAcTable) {
    Bytes b;
    test::append(b, {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00});
    b.resize(7 + 64, 1);
    test::append(b, {0xFF, 0xC0, 0x00, 0x0B, 8, 0, 8, 0, 8, 1, 1, 0x11, frameQuant});
    // One code of length 1 in each table: symbol 0 (DC difference 0, or
    // end of block).
    test::append(b, {0xFF, 0xC4, 0x00, 0x14, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    if (!noAcTable) {
        test::append(b, {0xFF, 0xC4, 0x00, 0x14, 0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    }
    test::append(b, {0xFF, 0xDA, 0x00, 0x08, 1, 1, scanTables, 0, 63, 0, 0x00, 0xFF, 0xD9});
    return b;
}

TEST(StbDecode, DamagedFilesAreRefusedWithAReason) {
    test::expectRefused({
        {"tga claiming more than its bytes",
         [] { return Bytes{0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 100, 0, 100, 0, 24, 0, 7}; },
         "truncated: 100 x 100 pixels cannot be held in 19 bytes"},
        {"tga cut in its colour map",
         [] {
             Bytes b = test::tgaCase("", {.width = 7, .height = 3, .colourMapped = true}).file;
             b.resize(18 + 3 * 40 - 1);
             return b;
         },
         "truncated: the TGA colour map is cut short"},
        {"tga cut in its last row",
         [] {
             Bytes b = test::tgaCase("", {.width = 5, .height = 3}).file;
             b.pop_back();
             return b;
         },
         "truncated: the pixel data is cut short"},
        {"tga cut in its last packet",
         [] {
             Bytes b = test::tgaCase("", {.width = 6, .height = 4, .rle = true}).file;
             b.pop_back();
             return b;
         },
         "truncated: the pixel data is cut short"},
        {"jpeg scan with a Huffman table never defined",
         [] { return jpegOfTables(0, 0, true); },
         "damaged: a JPEG scan uses a Huffman table the file does not define"},
        {"jpeg quantisation table never defined",
         [] { return jpegOfTables(1, 0, false); },
         "damaged: a JPEG quantisation table is used before it is defined"},
        {"jpeg start only", [] { return Bytes{0xFF, 0xD8, 0xFF, 0xE0, 0, 0}; }, "damaged: JPEG file"},
        // 300 codes in one table: stb would write them past its 256 places.
        {"jpeg huffman table of 300 codes",
         [] {
             Bytes b(12 + 14, 0);
             const std::uint8_t head[] = {0xFF, 0xFF, 0xD8, 0x00, 0xFF, 0xFF,
                                          0xC4, 0x00, 0x13, 0x00, 255,  45};
             std::copy(std::begin(head), std::end(head), b.begin());
             return b;
         },
         "damaged: a JPEG Huffman table of more than 256 codes"},
        {"jpeg huffman table of 300 codes after a scan",
         [] {
             Bytes b = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x02, 0x12, 0xFF, 0x00, 0xFF, 0xD3, 0x34,
                        0xFF, 0xC4, 0x00, 0x13, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 150, 150};
             return b;
         },
         "damaged: a JPEG Huffman table of more than 256 codes"},
    });
}

TEST(StbDecode, AJpegWithItsTablesDecodes) {
    const ImageDecoded d = decodeImage(jpegOfTables(0, 0, false));
    ASSERT_EQ(d.failure, "");
    EXPECT_EQ(d.image.width, 8u);
}

Bytes stbToBytes(const std::function<int(stbi_write_func*, void*)>& write) {
    Bytes out;
    const auto append = [](void* ctx, void* data, int size) {
        auto* b = static_cast<Bytes*>(ctx);
        b->insert(b->end(), static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
    };
    EXPECT_NE(write(append, &out), 0);
    return out;
}

TEST(StbDecode, EachTgaVariantGivesItsPixels) {
    for (const test::Case& c : test::tgaCases()) {
        SCOPED_TRACE(c.name);
        const ImageDecoded d = decodeImage(c.file);
        ASSERT_EQ(d.failure, "");
        test::expectSameImage(d.image, c.expected);
    }
}

// A cut-short TGA is refused like any other image: stb would give the
// pixels it could not read as whatever its buffer held.
TEST(StbDecode, EveryPrefixOfATgaIsRefused) {
    std::vector<test::Case> cases = test::tgaCases();
    // Pillow's files, without the footer that TGA 2.0 puts after the
    // pixels (26 bytes, ending "TRUEVISION-XFILE."): a file ends with its
    // pixels without it.
    for (const char* seed : {"rgba.tga", "rle.tga"}) {
        Bytes file = test::readFile(test::sourceDir() / "fuzz" / "image-seeds" / seed);
        ASSERT_GT(file.size(), 26u);
        file.resize(file.size() - 26);
        ASSERT_EQ(decodeImage(file).failure, "");
        cases.push_back({seed, file, {}});
    }
    test::expectEveryPrefixRefused(cases);
}

TEST(StbDecode, TgaAndJpeg) {
    const Image img = test::pixelsRgb(5, 3, true);
    const Bytes tga = stbToBytes([&](stbi_write_func* f, void* c) {
        return stbi_write_tga_to_func(f, c, 5, 3, 4, img.rgba.data());
    });
    const ImageDecoded t = decodeImage(tga);
    ASSERT_EQ(t.failure, "");
    EXPECT_EQ(t.image.rgba, img.rgba);

    // A flat colour survives JPEG within a step or two.
    Bytes flat;
    for (int i = 0; i < 16 * 16; ++i) flat.insert(flat.end(), {200, 100, 50});
    const Bytes jpg = stbToBytes([&](stbi_write_func* f, void* c) {
        return stbi_write_jpg_to_func(f, c, 16, 16, 3, flat.data(), 95);
    });
    const ImageDecoded j = decodeImage(jpg);
    ASSERT_EQ(j.failure, "");
    ASSERT_EQ(j.image.rgba.size(), 16u * 16 * 4);
    for (std::size_t i = 0; i < j.image.rgba.size(); i += 4) {
        EXPECT_NEAR(j.image.rgba[i], 200, 3);
        EXPECT_NEAR(j.image.rgba[i + 1], 100, 3);
        EXPECT_NEAR(j.image.rgba[i + 2], 50, 3);
        EXPECT_EQ(j.image.rgba[i + 3], 255);
    }
}

} // namespace
} // namespace meshfold
