// PNG read and written: the checks made before stb decodes a PNG, the RGBA
// and paletted writers (chunks, CRCs and the zlib stream, read back here by
// the test's own means and by stb), and a paletted PNG's indices read back
// whatever the filter of each row.
#include "meshfold/image/image.h"
#include "image_samples.h"
#include "support.h"

#include <gtest/gtest.h>
#include <stb_image.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace meshfold {
namespace {

using test::Bytes;
using test::hex;

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

TEST(PngDecode, DamagedFilesAreRefusedWithAReason) {
    test::expectRefused({
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
        {"png image data chunk longer than the file",
         [] {
             Bytes b = pngHeaderOnly(1, 1);
             b.insert(b.end(), {0x40, 0, 0, 0, 'I', 'D', 'A', 'T', 0x78, 0x9C});
             return b;
         },
         "truncated: a PNG image data chunk runs past the end of the file"},
    });
}

TEST(PngWriter, RgbaRoundTripIsExactAndDeterministic) {
    for (const auto& [w, h] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{{1, 1}, {7, 3}, {64, 33}}) {
        const Image img = test::pixelsRgb(w, h, true);
        const Bytes png = encodePng(img);
        ASSERT_FALSE(png.empty());
        EXPECT_EQ(png, encodePng(img));
        const ImageDecoded d = decodeImage(png);
        ASSERT_EQ(d.failure, "");
        EXPECT_EQ(d.image.width, w);
        EXPECT_EQ(d.image.height, h);
        EXPECT_EQ(d.image.rgba, img.rgba);
    }
    Image wrong = test::pixelsRgb(2, 2, true);
    wrong.rgba.pop_back();
    EXPECT_TRUE(encodePng(wrong).empty());
    EXPECT_TRUE(encodePng(Image{}).empty());
}

// ---- The paletted writer ----

// The CRC-32 of PNG, a bit at a time as the format's definition gives it.
std::uint32_t plainCrc(const Bytes& bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (const std::uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 1) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
    }
    return crc ^ 0xFFFFFFFFu;
}

std::uint32_t be32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

void putBe32(Bytes& b, std::uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<std::uint8_t>(v >> s));
}

// A chunk as the test writes it: length, type, data, CRC.
void putChunk(Bytes& png, const std::string& type, const Bytes& data) {
    putBe32(png, static_cast<std::uint32_t>(data.size()));
    Bytes typed(type.begin(), type.end());
    typed.insert(typed.end(), data.begin(), data.end());
    png.insert(png.end(), typed.begin(), typed.end());
    putBe32(png, plainCrc(typed));
}

struct Chunk {
    std::string type;
    Bytes data;
};

// The chunks of a PNG written here, each checked for a whole body and a
// right CRC.
std::vector<Chunk> chunksOf(const Bytes& png) {
    std::vector<Chunk> chunks;
    EXPECT_EQ(hex(Bytes(png.begin(), png.begin() + 8)), "89 50 4E 47 0D 0A 1A 0A");
    for (std::size_t at = 8; at < png.size();) {
        EXPECT_GE(png.size() - at, 12u);
        const std::size_t length = be32(&png[at]);
        EXPECT_GE(png.size() - at - 12, length);
        const Bytes typed(png.begin() + static_cast<std::ptrdiff_t>(at + 4),
                          png.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        EXPECT_EQ(be32(&png[at + 8 + length]), plainCrc(typed)) << "chunk at " << at;
        chunks.push_back({std::string(typed.begin(), typed.begin() + 4),
                          Bytes(typed.begin() + 4, typed.end())});
        at += 12 + length;
    }
    return chunks;
}

// The bytes a zlib stream inflates to, by stb's inflater.
Bytes inflated(const Bytes& stream) {
    int size = 0;
    char* out = stbi_zlib_decode_malloc(reinterpret_cast<const char*>(stream.data()),
                                        static_cast<int>(stream.size()), &size);
    EXPECT_NE(out, nullptr);
    if (out == nullptr) {
        return {};
    }
    Bytes b(out, out + size);
    std::free(out);
    return b;
}

std::uint32_t adler32(const Bytes& bytes) {
    std::uint32_t a = 1, b = 0;
    for (const std::uint8_t v : bytes) {
        a = (a + v) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

// Worked bytes: 3 x 2 pixels of three colours, the second half transparent.
TEST(PngWriter, PalettedFileChunkByChunk) {
    const Bytes indices = {0, 1, 2, 2, 1, 0};
    const Bytes palette = {10, 20, 30, 255, 40, 50, 60, 128, 70, 80, 90, 255};
    const Bytes png = encodePalettedPng(3, 2, indices, palette);
    const std::vector<Chunk> chunks = chunksOf(png);
    ASSERT_EQ(chunks.size(), 5u);
    EXPECT_EQ(chunks[0].type, "IHDR");
    EXPECT_EQ(hex(chunks[0].data), "00 00 00 03 00 00 00 02 08 03 00 00 00"); // 8 bits, palette
    EXPECT_EQ(chunks[1].type, "PLTE");
    EXPECT_EQ(hex(chunks[1].data), "0A 14 1E 28 32 3C 46 50 5A");
    EXPECT_EQ(chunks[2].type, "tRNS"); // up to the last colour that is not opaque
    EXPECT_EQ(hex(chunks[2].data), "FF 80");
    EXPECT_EQ(chunks[3].type, "IDAT");
    const Bytes& stream = chunks[3].data;
    ASSERT_GE(stream.size(), 6u);
    // A zlib stream: deflate with a 32 KiB window, its header a multiple of 31.
    EXPECT_EQ(stream[0], 0x78);
    EXPECT_EQ((stream[0] << 8 | stream[1]) % 31, 0);
    const Bytes rows = {0, 0, 1, 2, 0, 2, 1, 0}; // each row: filter 0, its indices
    EXPECT_EQ(inflated(stream), rows);
    EXPECT_EQ(be32(&stream[stream.size() - 4]), adler32(rows));
    EXPECT_EQ(chunks[4].type, "IEND");
    EXPECT_EQ(hex(Bytes(png.end() - 12, png.end())), "00 00 00 00 49 45 4E 44 AE 42 60 82");

    // Every colour opaque: no tRNS.
    const Bytes opaque = {10, 20, 30, 255, 40, 50, 60, 255, 70, 80, 90, 255};
    const std::vector<Chunk> plain = chunksOf(encodePalettedPng(3, 2, indices, opaque));
    ASSERT_EQ(plain.size(), 4u);
    EXPECT_EQ(plain[2].type, "IDAT");
}

TEST(PngWriter, PalettedRefusesWhatItCannotHold) {
    const Bytes one = {1, 2, 3, 255};
    EXPECT_TRUE(encodePalettedPng(0, 1, {}, one).empty());
    EXPECT_TRUE(encodePalettedPng(16385, 1, Bytes(16385, 0), one).empty());
    EXPECT_TRUE(encodePalettedPng(2, 2, Bytes(3, 0), one).empty()); // fewer indices than pixels
    EXPECT_TRUE(encodePalettedPng(1, 1, Bytes{0}, {}).empty());
    EXPECT_TRUE(encodePalettedPng(1, 1, Bytes{0}, Bytes(257 * 4, 0)).empty());
    // Not four bytes a colour.
    EXPECT_TRUE(encodePalettedPng(1, 1, Bytes{0}, Bytes{1, 2, 3, 255, 9}).empty());
    EXPECT_FALSE(encodePalettedPng(16384, 1, Bytes(16384, 0), one).empty());
    EXPECT_FALSE(encodePalettedPng(1, 1, Bytes{255}, Bytes(256 * 4, 7)).empty());
}

// Pseudo-random bytes from `seed`.
Bytes noise(std::size_t size, std::uint32_t seed) {
    Bytes b(size);
    for (std::uint8_t& v : b) {
        seed = seed * 1103515245u + 12345u;
        v = static_cast<std::uint8_t>(seed >> 23);
    }
    return b;
}

// The rows of every kind a deflate meets (a single byte, runs far longer
// than a match, repeats near and as far as the window and just past it,
// bytes that do not compress and need several stored blocks) come back
// exactly, through stb and through the palette read back, and the same
// pixels give the same file.
TEST(PngWriter, PalettedRowsComeBackExactly) {
    struct Case {
        const char* what;
        std::uint32_t width, height;
        Bytes indices;
    };
    std::vector<Case> cases = {
        {"one pixel", 1, 1, {7}},
        {"one index throughout", 1000, 3, Bytes(3000, 5)},
        {"a pattern repeating every 300 bytes", 4096, 1, {}},
        {"each row the one before, 16385 bytes back", 16384, 3, {}},
        {"every other row the same, 32770 bytes back: past the window", 16384, 4, {}},
        {"noise, in stored blocks", 256, 512, noise(256 * 512, 3)},
    };
    const Bytes period = noise(300, 1);
    for (std::size_t i = 0; i < 4096; ++i) cases[2].indices.push_back(period[i % 300]);
    const Bytes row = noise(16384, 2);
    for (int r = 0; r < 3; ++r) {
        cases[3].indices.insert(cases[3].indices.end(), row.begin(), row.end());
    }
    const Bytes other = noise(16384, 4);
    for (int r = 0; r < 4; ++r) {
        const Bytes& b = r % 2 == 0 ? row : other;
        cases[4].indices.insert(cases[4].indices.end(), b.begin(), b.end());
    }
    // Colour k: k, 255 - k, k * 3, alpha 255 - k / 2 (every colour different).
    Bytes palette;
    for (unsigned k = 0; k < 256; ++k) {
        palette.insert(palette.end(),
                       {static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(255 - k),
                        static_cast<std::uint8_t>(k * 3), static_cast<std::uint8_t>(255 - k / 2)});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes png = encodePalettedPng(c.width, c.height, c.indices, palette);
        ASSERT_FALSE(png.empty());
        EXPECT_EQ(png, encodePalettedPng(c.width, c.height, c.indices, palette));
        ImageDecoded d = decodeImage(png);
        ASSERT_EQ(d.failure, "");
        ASSERT_EQ(d.image.rgba.size(), c.indices.size() * 4);
        for (std::size_t p = 0; p < c.indices.size(); ++p) {
            ASSERT_EQ(Bytes(d.image.rgba.begin() + static_cast<std::ptrdiff_t>(4 * p),
                            d.image.rgba.begin() + static_cast<std::ptrdiff_t>(4 * p + 4)),
                      Bytes(palette.begin() + 4 * c.indices[p],
                            palette.begin() + 4 * c.indices[p] + 4))
                << "pixel " << p;
        }
        ASSERT_TRUE(recoverPngPalette(png, d.image));
        EXPECT_EQ(d.image.indices, c.indices);
        // Data that does not compress costs at most 5 bytes a stored block
        // (zlib ends a block every 16384 symbols at its default memory
        // level), and the zlib header and check.
        const std::size_t rows = c.indices.size() + c.height;
        const std::vector<Chunk> chunks = chunksOf(png);
        ASSERT_EQ(chunks[3].type, "IDAT");
        EXPECT_LE(chunks[3].data.size(), rows + (rows / 16384 + 1) * 5 + 6);
    }
}

// ---- The palette read back ----

// A zlib stream of `data` in one stored block (at most 65535 bytes).
Bytes storedZlib(const Bytes& data) {
    const std::size_t n = data.size();
    Bytes z = {0x78, 0x01, 0x01, // the final block, stored
               static_cast<std::uint8_t>(n), static_cast<std::uint8_t>(n >> 8),
               static_cast<std::uint8_t>(~n), static_cast<std::uint8_t>(~n >> 8)};
    z.insert(z.end(), data.begin(), data.end());
    putBe32(z, adler32(data));
    return z;
}

int paeth(int a, int b, int c) {
    const int p = a + b - c;
    const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    if (pa <= pb && pa <= pc) return a;
    return pb <= pc ? b : c;
}

// A paletted PNG of `indices` (width x height) whose row y is sent with
// filter filters[y].
Bytes filteredPng(std::uint32_t width, std::uint32_t height, const Bytes& indices,
                  const Bytes& filters, const Bytes& rgb) {
    Bytes rows;
    for (std::uint32_t y = 0; y < height; ++y) {
        rows.push_back(filters[y]);
        for (std::uint32_t x = 0; x < width; ++x) {
            const auto at = [&](std::uint32_t px, std::uint32_t py) {
                return int(indices[py * width + px]);
            };
            const int a = x > 0 ? at(x - 1, y) : 0;
            const int b = y > 0 ? at(x, y - 1) : 0;
            const int c = x > 0 && y > 0 ? at(x - 1, y - 1) : 0;
            const int predicted[] = {0, a, b, (a + b) / 2, paeth(a, b, c)};
            const int sent = at(x, y) - (filters[y] < 5 ? predicted[filters[y]] : 0);
            rows.push_back(static_cast<std::uint8_t>(sent));
        }
    }
    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    Bytes header;
    putBe32(header, width);
    putBe32(header, height);
    header.insert(header.end(), {8, 3, 0, 0, 0});
    putChunk(png, "IHDR", header);
    putChunk(png, "PLTE", rgb);
    putChunk(png, "IDAT", storedZlib(rows));
    putChunk(png, "IEND", {});
    return png;
}

TEST(PngPalette, EachRowFilterIsUndone) {
    // Indices at random, so that the predictions meet every case, the ties
    // of Paeth's included.
    const std::uint32_t width = 16, height = 10;
    Bytes indices = noise(width * height, 5);
    for (std::uint8_t& i : indices) {
        i %= 12;
    }
    const Bytes rgb = test::testPalette(12);
    const Bytes png = filteredPng(width, height, indices, {0, 1, 2, 3, 4, 4, 3, 2, 1, 0}, rgb);
    ImageDecoded d = decodeImage(png);
    ASSERT_EQ(d.failure, "");
    const Image decoded = d.image;
    ASSERT_TRUE(recoverPngPalette(png, d.image));
    EXPECT_EQ(d.image.indices, indices);
    EXPECT_EQ(d.image.palette, rgb);

    // Each filter on every row, the first row included (nothing above it).
    for (std::uint8_t f = 0; f < 5; ++f) {
        SCOPED_TRACE(int(f));
        const Bytes same = filteredPng(width, height, indices, Bytes(height, f), rgb);
        Image image = decoded;
        ASSERT_TRUE(recoverPngPalette(same, image));
        EXPECT_EQ(image.indices, indices);
    }
}

// A file that cannot give the pixels decoded gives nothing, and the image is
// left as it was.
TEST(PngPalette, RefusedWithoutChangingTheImage) {
    const Bytes indices = {0, 1, 2, 3, 2, 1};
    const Bytes rgb = test::testPalette(4);
    const Bytes png = filteredPng(3, 2, indices, {0, 0}, rgb);
    const ImageDecoded d = decodeImage(png);
    ASSERT_EQ(d.failure, "");
    Bytes cut = png;
    cut.resize(png.size() - 20); // inside IDAT
    Bytes edited = d.image.rgba;
    edited[4] ^= 1;
    const std::vector<std::pair<const char*, Bytes>> files = {
        {"a filter PNG does not have", filteredPng(3, 2, indices, {0, 5}, rgb)},
        {"a chunk running past the end of the file", cut},
        {"no signature", Bytes(png.begin() + 1, png.end())},
        {"an index past the palette", filteredPng(3, 2, {0, 1, 2, 3, 4, 1}, {0, 0}, rgb)},
    };
    for (const auto& [what, file] : files) {
        SCOPED_TRACE(what);
        Image image = d.image;
        EXPECT_FALSE(recoverPngPalette(file, image));
        EXPECT_EQ(image.rgba, d.image.rgba);
        EXPECT_TRUE(image.indices.empty());
    }
    // Pixels edited since the file was written.
    Image image = d.image;
    image.rgba = edited;
    EXPECT_FALSE(recoverPngPalette(png, image));
    EXPECT_TRUE(image.indices.empty());
    // Pixels of another size.
    image = d.image;
    image.width = 2;
    EXPECT_FALSE(recoverPngPalette(png, image));
}

} // namespace
} // namespace meshfold
