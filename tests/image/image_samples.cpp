#include "image_samples.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>

namespace meshfold::test {

namespace {

// A test pattern: varied values, or (for few colours) two alternating.
std::uint8_t pattern(std::uint32_t x, std::uint32_t y, unsigned plane, unsigned colours) {
    const unsigned v = x * 37 + y * 11 + plane * 101 + (x / 3) * (y / 2);
    return static_cast<std::uint8_t>(v % colours);
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

} // namespace

Bytes testPalette(unsigned colours) {
    Bytes p;
    for (unsigned i = 0; i < colours; ++i) {
        p.push_back(static_cast<std::uint8_t>(i));
        p.push_back(static_cast<std::uint8_t>(255 - i));
        p.push_back(static_cast<std::uint8_t>(i * 7 + 3));
    }
    return p;
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

namespace {

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

} // namespace

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

namespace {

// TGA run-length packets of `pixels` (`size` bytes each): two or more equal
// pixels in a run packet, the others in raw packets, at most 128 a packet.
Bytes tgaRle(const Bytes& pixels, std::size_t size) {
    Bytes out;
    const std::size_t count = pixels.size() / size;
    const auto same = [&](std::size_t a) { // pixel a equals pixel a + 1
        return a + 1 < count && std::equal(pixels.begin() + static_cast<std::ptrdiff_t>(a * size),
                                           pixels.begin() + static_cast<std::ptrdiff_t>((a + 1) * size),
                                           pixels.begin() + static_cast<std::ptrdiff_t>((a + 1) * size));
    };
    for (std::size_t at = 0; at < count;) {
        const bool run = same(at);
        std::size_t n = 1;
        while (at + n < count && n < 128 && (run ? same(at + n - 1) : !same(at + n))) {
            ++n;
        }
        out.push_back(static_cast<std::uint8_t>((run ? 0x80 : 0) | (n - 1)));
        out.insert(out.end(), pixels.begin() + static_cast<std::ptrdiff_t>(at * size),
                   pixels.begin() + static_cast<std::ptrdiff_t>((at + (run ? 1 : n)) * size));
        at += n;
    }
    return out;
}

} // namespace

Case tgaCase(const std::string& name, const TgaSpec& s) {
    Image img = s.colourMapped ? pixelsFromIndices(s.width, s.height, 40, testPalette(40))
                               : pixelsRgb(s.width, s.height, s.bits == 32);
    const std::size_t size = s.colourMapped ? 1 : s.bits / 8;
    // Runs for the run packets: the pixels at x % 4 of 2 and 3 repeat the one
    // to their left.
    for (std::size_t p = 0; s.rle && p < img.rgba.size() / 4; ++p) {
        if (p % s.width % 4 >= 2) {
            std::copy_n(&img.rgba[(p - 1) * 4], 4, &img.rgba[p * 4]);
            if (s.colourMapped) {
                img.indices[p] = img.indices[p - 1];
            }
        }
    }
    Bytes file = {static_cast<std::uint8_t>(s.idLength), s.colourMapped ? std::uint8_t{1} : std::uint8_t{0},
                  static_cast<std::uint8_t>((s.colourMapped ? 1 : 2) + (s.rle ? 8 : 0))};
    put16(file, 0);                                      // first colour map entry
    put16(file, s.colourMapped ? std::uint16_t{40} : std::uint16_t{0}); // colour map entries
    file.push_back(s.colourMapped ? static_cast<std::uint8_t>(s.bits) : std::uint8_t{0});
    put16(file, 0);
    put16(file, 0);
    put16(file, static_cast<std::uint16_t>(s.width));
    put16(file, static_cast<std::uint16_t>(s.height));
    file.push_back(s.colourMapped ? std::uint8_t{8} : static_cast<std::uint8_t>(s.bits));
    file.push_back(static_cast<std::uint8_t>((s.topDown ? 0x20 : 0) | (s.bits == 32 ? 8 : 0)));
    for (unsigned i = 0; i < s.idLength; ++i) {
        file.push_back(static_cast<std::uint8_t>('a' + i % 26));
    }
    for (unsigned i = 0; s.colourMapped && i < 40; ++i) {
        file.insert(file.end(), {img.palette[3 * i + 2], img.palette[3 * i + 1], img.palette[3 * i]});
    }
    Bytes pixels;
    for (std::uint32_t r = 0; r < s.height; ++r) {
        const std::uint32_t y = s.topDown ? r : s.height - 1 - r;
        for (std::uint32_t x = 0; x < s.width; ++x) {
            const std::size_t p = std::size_t{y} * s.width + x;
            const std::uint8_t* c = &img.rgba[p * 4];
            if (s.colourMapped) {
                pixels.push_back(img.indices[p]);
            } else {
                pixels.insert(pixels.end(), {c[2], c[1], c[0]});
                if (size == 4) {
                    pixels.push_back(c[3]);
                }
            }
        }
    }
    const Bytes body = s.rle ? tgaRle(pixels, size) : pixels;
    file.insert(file.end(), body.begin(), body.end());
    img.indices.clear();
    img.palette.clear();
    return {name, file, img};
}

std::vector<Case> pcxCases() {
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
    return c;
}

std::vector<Case> bmpCases() {
    std::vector<Case> c;
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

std::vector<Case> tgaCases() {
    std::vector<Case> c;
    c.push_back(tgaCase("tga24", {.width = 5, .height = 3}));
    c.push_back(tgaCase("tga32 top-down", {.width = 4, .height = 3, .bits = 32, .topDown = true}));
    c.push_back(tgaCase("tga24 rle", {.width = 6, .height = 4, .rle = true}));
    c.push_back(tgaCase("tga32 rle 1x1", {.width = 1, .height = 1, .bits = 32, .rle = true}));
    // Its first bytes 0A 01 01, as a PCX's are 0A and its version.
    c.push_back(tgaCase("tga colour-mapped, a 10-byte image id",
                        {.width = 7, .height = 3, .colourMapped = true, .idLength = 10}));
    c.push_back(tgaCase("tga colour-mapped rle", {.width = 9, .height = 2, .colourMapped = true, .rle = true}));
    return c;
}

void expectSameImage(const Image& got, const Image& want) {
    EXPECT_EQ(got.width, want.width);
    EXPECT_EQ(got.height, want.height);
    EXPECT_EQ(got.rgba, want.rgba);
    EXPECT_EQ(got.indices, want.indices);
    EXPECT_EQ(got.palette, want.palette);
}

void expectEveryPrefixRefused(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t n = 0; n < c.file.size(); ++n) {
            const Bytes prefix(c.file.begin(), c.file.begin() + static_cast<std::ptrdiff_t>(n));
            const ImageDecoded d = decodeImage(prefix);
            ASSERT_NE(d.failure, "") << "prefix of " << n << " bytes";
            EXPECT_TRUE(d.image.rgba.empty());
        }
    }
}

void expectRefused(const std::vector<Damage>& cases) {
    for (const Damage& c : cases) {
        SCOPED_TRACE(c.name);
        const ImageDecoded d = decodeImage(c.file());
        EXPECT_NE(d.failure.find(c.why), std::string::npos) << d.failure;
        EXPECT_TRUE(d.image.rgba.empty());
    }
}

Bytes with(Bytes b, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
}

Bytes with32(Bytes b, std::size_t at, std::uint32_t v) {
    Bytes w;
    put32(w, v);
    std::copy(w.begin(), w.end(), b.begin() + static_cast<std::ptrdiff_t>(at));
    return b;
}

Image filled(std::uint32_t width, std::uint32_t height, std::uint32_t seed) {
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

} // namespace meshfold::test
