#include "meshfold/image/image.h"
#include "reference_image.h"
#include "support.h"

#include <gtest/gtest.h>
#include <stb_image_write.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace meshfold {
namespace {

using test::Bytes;
using test::put16;
using test::put32;

// ---------------------------------------------------------------------------
// Files built in the test from known pixels.

// Colour i of a test palette: every entry different, none grey.
Bytes testPalette(unsigned colours) {
    Bytes p;
    for (unsigned i = 0; i < colours; ++i) {
        p.push_back(static_cast<std::uint8_t>(i));
        p.push_back(static_cast<std::uint8_t>(255 - i));
        p.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    }
    return p;
}

// A test pattern: varied values, or (for few colours) two alternating.
std::uint8_t pattern(std::uint32_t x, std::uint32_t y, unsigned plane, unsigned colours) {
    const unsigned v = x * 37 + y * 11 + plane * 101 + (x / 3) * (y / 2);
    return static_cast<std::uint8_t>(v % colours);
}

Image pixelsFromIndices(std::uint32_t w, std::uint32_t h, unsigned colours, const Bytes& palette) {
    Image img;
    img.width = w;
    img.height = h;
    img.palette = palette;
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint8_t i = pattern(x, y, 0, colours);
            img.indices.push_back(i);
            img.rgba.insert(img.rgba.end(), {palette[3 * i], palette[3 * i + 1], palette[3 * i + 2], 255});
        }
    }
    return img;
}

Image pixelsRgb(std::uint32_t w, std::uint32_t h, bool alpha) {
    Image img;
    img.width = w;
    img.height = h;
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            img.rgba.insert(img.rgba.end(), {pattern(x, y, 0, 256), pattern(x, y, 1, 256), pattern(x, y, 2, 256),
                                             alpha ? pattern(x, y, 3, 256) : std::uint8_t{255}});
        }
    }
    return img;
}

// PCX RLE of `data`: runs of up to 63 equal bytes; a byte of 0xC0 or more
// always as a run. `lineSize` > 0 ends every run at a line's end, as most
// encoders do; 0 lets runs carry on into the next line.
Bytes pcxRle(const Bytes& data, std::size_t lineSize) {
    Bytes out;
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t lineEnd = lineSize ? (at / lineSize + 1) * lineSize : data.size();
        std::size_t n = 1;
        while (at + n < lineEnd && n < 63 && data[at + n] == data[at]) {
            ++n;
        }
        if (n > 1 || data[at] >= 0xC0) {
            out.push_back(static_cast<std::uint8_t>(0xC0 | n));
        }
        out.push_back(data[at]);
        at += n;
    }
    return out;
}

struct PcxSpec {
    std::uint32_t width = 1;
    std::uint32_t height = 1;
    unsigned planes = 1;
    unsigned bytesPerLine = 0; // 0: the width rounded up to even
    unsigned colours = 256;    // colours the pixels use
    bool runsCrossLines = false;
};

struct Case {
    std::string name;
    Bytes file;
    Image expected;
};

Bytes pcxHeader(const PcxSpec& s, unsigned bpl) {
    Bytes b(128, 0);
    b[0] = 0x0A;
    b[1] = 5;
    b[2] = 1;
    b[3] = 8;
    // A window that does not start at 0, as some editors write.
    const std::uint16_t x0 = 3, y0 = 7;
    const std::uint16_t fields[6] = {x0, y0, static_cast<std::uint16_t>(x0 + s.width - 1),
                                     static_cast<std::uint16_t>(y0 + s.height - 1), 72, 72};
    for (int i = 0; i < 6; ++i) {
        b[4 + 2 * i] = static_cast<std::uint8_t>(fields[i]);
        b[5 + 2 * i] = static_cast<std::uint8_t>(fields[i] >> 8);
    }
    b[65] = static_cast<std::uint8_t>(s.planes);
    b[66] = static_cast<std::uint8_t>(bpl);
    b[67] = static_cast<std::uint8_t>(bpl >> 8);
    b[68] = 1;
    return b;
}

Case pcxCase(const std::string& name, const PcxSpec& s) {
    const unsigned bpl = s.bytesPerLine ? s.bytesPerLine : (s.width + 1) / 2 * 2;
    const Bytes palette = testPalette(256);
    Image img = s.planes == 1 ? pixelsFromIndices(s.width, s.height, s.colours, palette)
                              : pixelsRgb(s.width, s.height, false);
    // Each line: every plane's bytes in turn, padded with a byte the decoder
    // must leave out.
    Bytes stream;
    for (std::uint32_t y = 0; y < s.height; ++y) {
        for (unsigned p = 0; p < s.planes; ++p) {
            for (unsigned x = 0; x < bpl; ++x) {
                const std::size_t at = (std::size_t{y} * s.width + x) * 4 + p;
                stream.push_back(x >= s.width ? 0xEE : s.planes == 1 ? img.indices[at / 4] : img.rgba[at]);
            }
        }
    }
    Bytes file = pcxHeader(s, bpl);
    const Bytes rle = pcxRle(stream, s.runsCrossLines ? 0 : std::size_t{bpl} * s.planes);
    file.insert(file.end(), rle.begin(), rle.end());
    if (s.planes == 1) {
        file.push_back(0x0C);
        file.insert(file.end(), palette.begin(), palette.end());
    }
    return {name, file, img};
}

struct BmpSpec {
    std::uint32_t width = 1;
    std::int32_t height = 1; // negative: rows from the top
    unsigned bits = 24;
    std::uint32_t infoSize = 40;
    std::uint32_t compression = 0;
    std::uint32_t masks[4] = {0xFF0000, 0xFF00, 0xFF, 0}; // where the file holds them
    unsigned colours = 256;       // palette entries written
    std::uint32_t coloursUsed = 0; // the header field
    bool alphaUsed = false;       // whether a decoder should read the alpha byte
};

Bytes bmpHeaders(const BmpSpec& s, std::size_t extra, std::size_t pixelBytes) {
    Bytes b = {'B', 'M'};
    const std::size_t offset = 14 + s.infoSize + extra;
    put32(b, static_cast<std::uint32_t>(offset + pixelBytes));
    put32(b, 0);
    put32(b, static_cast<std::uint32_t>(offset));
    put32(b, s.infoSize);
    put32(b, s.width);
    put32(b, static_cast<std::uint32_t>(s.height));
    put16(b, 1);
    put16(b, static_cast<std::uint16_t>(s.bits));
    put32(b, s.compression);
    put32(b, static_cast<std::uint32_t>(pixelBytes));
    put32(b, 2835);
    put32(b, 2835);
    put32(b, s.coloursUsed);
    put32(b, 0);
    for (std::size_t i = 0; b.size() < 14 + s.infoSize; ++i) {
        // The masks of the longer headers, then their colour space fields.
        put32(b, i < 4 ? s.masks[i] : 0x11223344u);
    }
    return b;
}

void putBmpPixel(Bytes& row, const BmpSpec& s, const std::uint8_t* rgba) {
    if (s.bits == 24) {
        row.insert(row.end(), {rgba[2], rgba[1], rgba[0]});
        return;
    }
    // The byte no mask names holds junk a decoder must not show.
    std::uint32_t word = 0x5A5A5A5Au & ~(s.masks[0] | s.masks[1] | s.masks[2] | s.masks[3]);
    for (int c = 0; c < 4; ++c) {
        if (s.masks[c] != 0) {
            word |= std::uint32_t{rgba[c]} << std::countr_zero(s.masks[c]);
        }
    }
    put32(row, word);
}

Case bmpCase(const std::string& name, const BmpSpec& s) {
    const std::uint32_t h = static_cast<std::uint32_t>(s.height < 0 ? -s.height : s.height);
    const bool paletted = s.bits == 8;
    const unsigned used = s.coloursUsed ? s.coloursUsed : s.colours;
    Image img = paletted ? pixelsFromIndices(s.width, h, used, testPalette(used)) : pixelsRgb(s.width, h, true);
    Bytes extra;
    if (s.infoSize == 40 && s.compression == 3) {
        for (int i = 0; i < 3; ++i) put32(extra, s.masks[i]);
    }
    for (unsigned i = 0; paletted && i < s.colours; ++i) {
        const Bytes p = testPalette(s.colours);
        extra.insert(extra.end(), {p[3 * i + 2], p[3 * i + 1], p[3 * i], 0x77});
    }
    Bytes rows;
    for (std::uint32_t r = 0; r < h; ++r) {
        const std::uint32_t y = s.height < 0 ? r : h - 1 - r;
        Bytes row;
        for (std::uint32_t x = 0; x < s.width; ++x) {
            const std::size_t p = std::size_t{y} * s.width + x;
            if (paletted) {
                row.push_back(img.indices[p]);
            } else {
                putBmpPixel(row, s, &img.rgba[p * 4]);
            }
        }
        while (row.size() % 4 != 0) {
            row.push_back(0xEE);
        }
        rows.insert(rows.end(), row.begin(), row.end());
    }
    if (!s.alphaUsed) {
        for (std::size_t i = 3; i < img.rgba.size(); i += 4) img.rgba[i] = 255;
    }
    Bytes file = bmpHeaders(s, extra.size(), rows.size());
    file.insert(file.end(), extra.begin(), extra.end());
    file.insert(file.end(), rows.begin(), rows.end());
    return {name, file, img};
}

std::vector<Case> validCases() {
    std::vector<Case> c;
    c.push_back(pcxCase("pcx8 1x1", {.width = 1, .height = 1}));
    c.push_back(pcxCase("pcx8 even width", {.width = 8, .height = 5}));
    c.push_back(pcxCase("pcx8 odd width padded to even", {.width = 5, .height = 3}));
    c.push_back(pcxCase("pcx8 lines padded further", {.width = 3, .height = 2, .bytesPerLine = 8}));
    c.push_back(pcxCase("pcx8 two colours used", {.width = 70, .height = 4, .colours = 2}));
    c.push_back(pcxCase("pcx8 one colour, runs longer than 63", {.width = 130, .height = 3, .colours = 1}));
    c.push_back(pcxCase("pcx8 runs across line ends",
                        {.width = 7, .height = 9, .colours = 1, .runsCrossLines = true}));
    c.push_back(pcxCase("pcx24 three planes", {.width = 6, .height = 4, .planes = 3}));
    c.push_back(pcxCase("pcx24 odd width", {.width = 3, .height = 3, .planes = 3}));
    c.push_back(pcxCase("pcx24 1x1", {.width = 1, .height = 1, .planes = 3}));
    c.push_back(pcxCase("pcx24 runs across planes and lines",
                        {.width = 9, .height = 2, .planes = 3, .colours = 1, .runsCrossLines = true}));
    c.push_back(bmpCase("bmp8 bottom-up", {.width = 6, .height = 4, .bits = 8}));
    c.push_back(bmpCase("bmp8 top-down odd width", {.width = 5, .height = -3, .bits = 8}));
    c.push_back(bmpCase("bmp8 1x1", {.width = 1, .height = 1, .bits = 8}));
    c.push_back(bmpCase("bmp8 colours used 3", {.width = 7, .height = 2, .bits = 8, .colours = 3, .coloursUsed = 3}));
    c.push_back(bmpCase("bmp8 16 colours, colours used 0", {.width = 4, .height = 4, .bits = 8, .colours = 16}));
    c.push_back(bmpCase("bmp8 124-byte header", {.width = 3, .height = 2, .bits = 8, .infoSize = 124}));
    for (std::uint32_t w : {1u, 2u, 3u, 4u, 5u}) {
        c.push_back(bmpCase("bmp24 width " + std::to_string(w) + " rows padded to four", {.width = w, .height = 3}));
    }
    c.push_back(bmpCase("bmp24 top-down", {.width = 3, .height = -4}));
    c.push_back(bmpCase("bmp24 108-byte header", {.width = 5, .height = 2, .infoSize = 108}));
    c.push_back(bmpCase("bmp24 124-byte header top-down", {.width = 2, .height = -2, .infoSize = 124}));
    c.push_back(bmpCase("bmp32 plain, no alpha", {.width = 3, .height = 2, .bits = 32}));
    c.push_back(bmpCase("bmp32 plain top-down 1x1", {.width = 1, .height = -1, .bits = 32}));
    c.push_back(bmpCase("bmp32 masks after a 40-byte header",
                        {.width = 3, .height = 2, .bits = 32, .compression = 3, .masks = {0xFF, 0xFF00, 0xFF000000, 0}}));
    c.push_back(bmpCase("bmp32 124-byte header with alpha",
                        {.width = 4, .height = -3, .bits = 32, .infoSize = 124, .compression = 3,
                         .masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, .alphaUsed = true}));
    c.push_back(bmpCase("bmp32 108-byte header, plain rows, alpha mask",
                        {.width = 2, .height = 2, .bits = 32, .infoSize = 108,
                         .masks = {0xFF0000, 0xFF00, 0xFF, 0xFF000000}, .alphaUsed = true}));
    c.push_back(bmpCase("bmp32 108-byte header, plain rows, no alpha mask",
                        {.width = 2, .height = 2, .bits = 32, .infoSize = 108}));
    return c;
}

void expectSameImage(const Image& got, const Image& want) {
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.rgba, want.rgba);
    EXPECT_EQ(got.indices, want.indices);
    EXPECT_EQ(got.palette, want.palette);
}

// ---------------------------------------------------------------------------

TEST(ImageDecode, EachPcxAndBmpVariantGivesItsPixels) {
    for (const Case& c : validCases()) {
        SCOPED_TRACE(c.name);
        const ImageDecoded d = decodeImage(c.file);
        ASSERT_EQ(d.failure, "");
        expectSameImage(d.image, c.expected);
    }
}

// Worked values, written out byte by byte.
TEST(ImageDecode, WorkedPcxAndBmp) {
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

// Every prefix of every valid file is refused with a reason. Each prefix is
// copied into a block of exactly its size, so that the sanitizer build
// reports a read one byte too far.
TEST(ImageDecode, EveryPrefixIsRefused) {
    for (const Case& c : validCases()) {
        SCOPED_TRACE(c.name);
        for (std::size_t n = 0; n < c.file.size(); ++n) {
            const Bytes prefix(c.file.begin(), c.file.begin() + static_cast<std::ptrdiff_t>(n));
            const ImageDecoded d = decodeImage(prefix);
            ASSERT_NE(d.failure, "") << "prefix of " << n << " bytes";
            EXPECT_TRUE(d.image.rgba.empty());
        }
    }
}

// A file changed by `edit` is refused with a reason containing `why`.
struct Damage {
    const char* name;
    std::function<Bytes()> file;
    const char* why;
};

Bytes pcx8() {
    return pcxCase("", {.width = 4, .height = 3}).file;
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
Bytes with(Bytes b, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
}
Bytes le32(std::uint32_t v) {
    Bytes b;
    put32(b, v);
    return b;
}
Bytes with32(Bytes b, std::size_t at, std::uint32_t v) {
    const Bytes w = le32(v);
    std::copy(w.begin(), w.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
}

// A PNG whose header claims `w` x `h` pixels and whose data is one empty
// block: only the header is right.
Bytes pngHeaderOnly(std::uint32_t w, std::uint32_t h) {
    Bytes b = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 13, 'I', 'H', 'D', 'R'};
    for (std::uint32_t v : {w, h}) {
        for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
    }
    b.insert(b.end(), {8, 6, 0, 0, 0, 0, 0, 0, 0});
    return b;
}

// A baseline JPEG of one 8 x 8 grey component: quantisation table 0, a DC
// and (unless `noAcTable`) an AC Huffman table 0, the frame's component using
// quantisation table `frameQuant` and the scan Huffman tables `scanTables`.
Bytes jpegOfTables(std::uint8_t frameQuant, std::uint8_t scanTables, bool noAcTable) {
    // Built into a sized vector: g++ 12 at -O3 reports a false -Warray-bounds
    // when a vector made from a list is resized.
    Bytes b(7 + 64, 1);
    const std::uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xDB, 0x00, 0x43, 0x00};
    std::copy(std::begin(head), std::end(head), b.begin());
    b.insert(b.end(), {0xFF, 0xC0, 0x00, 0x0B, 8, 0, 8, 0, 8, 1, 1, 0x11, frameQuant});
    // One code of length 1 in each table: symbol 0 (DC difference 0, or
    // end of block).
    b.insert(b.end(), {0xFF, 0xC4, 0x00, 0x14, 0x00, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    if (!noAcTable) {
        b.insert(b.end(), {0xFF, 0xC4, 0x00, 0x14, 0x10, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    }
    b.insert(b.end(), {0xFF, 0xDA, 0x00, 0x08, 1, 1, scanTables, 0, 63, 0, 0x00, 0xFF, 0xD9});
    return b;
}

TEST(ImageDecode, DamagedFilesAreRefusedWithAReason) {
    const std::vector<Damage> cases = {
        {"empty", [] { return Bytes{}; }, "empty file"},
        {"text", [] { return Bytes{'h', 'e', 'l', 'l', 'o'}; }, "not a PCX, BMP, PNG, TGA or JPEG file"},
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
        {"png of no data", [] { return pngHeaderOnly(4, 4); }, "damaged: PNG file"},
        {"png too wide", [] { return pngHeaderOnly(16385, 1); }, "too large: 16385 x 1"},
        {"png claiming more than its bytes", [] { return pngHeaderOnly(16384, 16384); }, "cannot be held in 33 bytes"},
        {"png of an empty first image data chunk",
         [] {
             Bytes b = pngHeaderOnly(1, 1);
             b.insert(b.end(), {0, 0, 0, 0, 'I', 'D', 'A', 'T', 0x35, 0xAF, 0x06, 0x1E});
             return b;
         },
         "unsupported: a PNG whose image data starts with an empty chunk"},
        {"tga claiming more than its bytes",
         [] { return Bytes{0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 100, 0, 100, 0, 24, 0, 7}; },
         "truncated: 100 x 100 pixels cannot be held in 19 bytes"},
        {"png image data chunk longer than the file",
         [] {
             Bytes b = pngHeaderOnly(1, 1);
             b.insert(b.end(), {0x40, 0, 0, 0, 'I', 'D', 'A', 'T', 0x78, 0x9C});
             return b;
         },
         "truncated: a PNG image data chunk runs past the end of the file"},
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
    };
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageDecoded d = decodeImage(c.file());
        EXPECT_NE(d.failure.find(c.why), std::string::npos) << d.failure;
        EXPECT_TRUE(d.image.rgba.empty());
    }
}

// ---------------------------------------------------------------------------
// PNG, TGA and JPEG through stb, and the PNG encoder.

// The image fuzzer's seeds, made by another decoder's writer (Pillow), all
// decode; the inputs it found that broke stb are refused.
TEST(ImageDecode, FuzzSeedsDecodeAndTheFuzzersFindsAreRefused) {
    int found = 0;
    for (const auto& e : test::fs::directory_iterator(test::sourceDir() / "fuzz" / "image-seeds")) {
        SCOPED_TRACE(e.path().filename().string());
        const ImageDecoded d = decodeImage(test::readFile(e.path()));
        if (e.path().filename().string().rfind("found-", 0) == 0) {
            EXPECT_NE(d.failure, "");
            ++found;
        } else {
            EXPECT_EQ(d.failure, "");
            EXPECT_EQ(d.image.width, e.path().filename().string() == "v5alpha.bmp" ? 3u : 7u);
        }
    }
    EXPECT_EQ(found, 5);
}

TEST(ImageDecode, AJpegWithItsTablesDecodes) {
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

TEST(ImageDecode, PngRoundTripIsExactAndDeterministic) {
    for (const auto& [w, h] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 1}, {7, 3}, {64, 33}}) {
        const Image img = pixelsRgb(w, h, true);
        const Bytes png = encodePng(img);
        ASSERT_FALSE(png.empty());
        EXPECT_EQ(png, encodePng(img));
        const ImageDecoded d = decodeImage(png);
        ASSERT_EQ(d.failure, "");
        EXPECT_EQ(d.image.width, w);
        EXPECT_EQ(d.image.height, h);
        EXPECT_EQ(d.image.rgba, img.rgba);
    }
    Image wrong = pixelsRgb(2, 2, true);
    wrong.rgba.pop_back();
    EXPECT_TRUE(encodePng(wrong).empty());
    EXPECT_TRUE(encodePng(Image{}).empty());
}

TEST(ImageDecode, TgaAndJpegThroughStb) {
    const Image img = pixelsRgb(5, 3, true);
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

// ---------------------------------------------------------------------------
// The real textures of the mod packages.

// Every texture of corpus-packages, with its size as PROVENANCE.md lists it.
const std::map<std::string, std::pair<std::uint32_t, std::uint32_t>>& corpusTextureSizes() {
    static const std::map<std::string, std::pair<std::uint32_t, std::uint32_t>> sizes = {
        {"AlienSwitchTex1.pcx", {128, 128}}, {"AlienSwitchTex2a.pcx", {256, 256}},
        {"AlienSwitchTex2b.pcx", {256, 256}}, {"OfficeChairBTex1.pcx", {256, 256}},
        {"OfficeChairBTex2.pcx", {256, 256}}, {"OfficeChairBTex3.pcx", {256, 256}},
        {"jazz_01.PCX", {256, 256}}, {"jazz_02.PCX", {256, 256}}, {"jazz_blue_bb.PCX", {256, 256}},
        {"jazz_green_rb.PCX", {256, 256}}, {"jazz_grey_bb.PCX", {256, 256}},
        {"jazz_purple_pb.PCX", {256, 256}}, {"jazz_red_gb.PCX", {256, 256}},
        {"jazz_yellow_pb.PCX", {256, 256}}, {"palmtree1_01.PCX", {256, 256}},
        {"palmtree1_02.PCX", {256, 256}}, {"BLTTex1.bmp", {256, 64}}, {"BlackMaskTex.pcx", {2, 2}},
        {"CheeseTex1.bmp", {256, 64}}, {"SandwichTex1.bmp", {256, 64}}, {"SandwichTex2.bmp", {128, 128}},
        {"X7PR2.pcx", {256, 256}}, {"display1.pcx", {256, 256}}, {"flbasketball.pcx", {256, 256}},
        {"oll_journal1.pcx", {256, 256}}, {"burgerbun.pcx", {128, 128}},
        {"burgerbunbottom.pcx", {128, 128}}, {"cheeseslice.pcx", {64, 64}}, {"hairclip1.pcx", {64, 64}},
        {"onionslice.pcx", {64, 64}}, {"patty.pcx", {64, 64}}, {"salad.pcx", {64, 64}},
        {"tomatoslice.pcx", {64, 64}},
    };
    return sizes;
}

std::vector<test::fs::path> corpusTextures() {
    std::vector<test::fs::path> files;
    const test::fs::path root = test::corpusPackagesDir();
    if (root.empty()) {
        return files;
    }
    for (const auto& e : test::fs::recursive_directory_iterator(root)) {
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char ch) { return std::tolower(ch); });
        if (e.is_regular_file() && (ext == ".pcx" || ext == ".bmp")) {
            files.push_back(e.path());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

TEST(ImageCorpus, EveryTextureDecodesAtItsSizeAndAgreesWithTheReferenceDecoder) {
    const std::vector<test::fs::path> files = corpusTextures();
    if (files.empty()) {
        GTEST_SKIP() << "corpus-packages is not beside the repository";
    }
    EXPECT_EQ(files.size(), corpusTextureSizes().size());
    for (const test::fs::path& f : files) {
        SCOPED_TRACE(f.string());
        const Bytes bytes = test::readFile(f);
        const ImageDecoded d = decodeImage(bytes);
        ASSERT_EQ(d.failure, "");
        const auto size = corpusTextureSizes().find(f.filename().string());
        ASSERT_NE(size, corpusTextureSizes().end());
        EXPECT_EQ(d.image.width, size->second.first);
        EXPECT_EQ(d.image.height, size->second.second);
        const test::ReferenceImage r = test::referenceDecode(bytes);
        ASSERT_TRUE(r.ok) << r.why;
        EXPECT_EQ(d.image.rgba, r.rgba);
        EXPECT_EQ(d.image.indices, r.indices);
        EXPECT_EQ(d.image.palette, r.palette);
    }
}

// A small real file cut short anywhere is refused; so is a real 24-bit BMP
// (sampled: the sweep is quadratic in the file's size).
TEST(ImageCorpus, PrefixesOfRealTexturesAreRefused) {
    const std::vector<test::fs::path> files = corpusTextures();
    if (files.empty()) {
        GTEST_SKIP() << "corpus-packages is not beside the repository";
    }
    for (const test::fs::path& f : files) {
        const std::string name = f.filename().string();
        if (name != "BlackMaskTex.pcx" && name != "hairclip1.pcx" && name != "SandwichTex2.bmp") {
            continue;
        }
        SCOPED_TRACE(name);
        const Bytes bytes = test::readFile(f);
        const std::size_t step = bytes.size() > 10000 ? 97 : 1;
        for (std::size_t n = 0; n < bytes.size(); n += step) {
            const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n));
            ASSERT_NE(decodeImage(prefix).failure, "") << n;
        }
    }
}

// The reference decoder itself, on the files built here: it must agree with
// the pixels they were built from, or comparing with it proves nothing.
TEST(ReferenceImage, ReadsTheBuiltFilesItCovers) {
    for (const Case& c : validCases()) {
        const bool covered = c.name.rfind("pcx8", 0) == 0 || c.name.rfind("bmp24", 0) == 0;
        const test::ReferenceImage r = test::referenceDecode(c.file);
        SCOPED_TRACE(c.name);
        ASSERT_EQ(r.ok, covered) << r.why;
        if (covered) {
            EXPECT_EQ(r.rgba, c.expected.rgba);
            EXPECT_EQ(r.indices, c.expected.indices);
        }
    }
}

} // namespace
} // namespace meshfold
