// Images and image files built in the tests from known pixels, shared by the
// tests of each format: PCX and BMP files of every variant the decoders read,
// the edits that damage them, and pixels for the writing side.
#pragma once

#include "meshfold/image/image.h"
#include "support.h"

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

namespace meshfold::test {

// Colour i of a test palette: every entry different, none grey.
Bytes testPalette(unsigned colours);

// `w` x `h` pixels of a pattern of indices below `colours` into `palette`,
// with the indices and the palette kept.
Image pixelsFromIndices(std::uint32_t w, std::uint32_t h, unsigned colours, const Bytes& palette);

// `w` x `h` pixels of varied RGB (and, with `alpha`, varied alpha; else 255).
Image pixelsRgb(std::uint32_t w, std::uint32_t h, bool alpha);

// A file, and the image a decoder must read from it.
struct Case {
    std::string name;
    Bytes file;
    Image expected;
};

struct PcxSpec {
    std::uint32_t width = 1;
    std::uint32_t height = 1;
    unsigned planes = 1;
    unsigned bytesPerLine = 0; // 0: the width rounded up to even
    unsigned colours = 256;    // colours the pixels use
    bool runsCrossLines = false;
};

// A PCX of `s` whose window does not start at 0, each line padded with a
// byte the decoder must leave out.
Case pcxCase(const std::string& name, const PcxSpec& s);

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

// A BMP of `s`, each row padded with a byte the decoder must leave out.
Case bmpCase(const std::string& name, const BmpSpec& s);

struct TgaSpec {
    std::uint32_t width = 1;
    std::uint32_t height = 1;
    unsigned bits = 24;     // of a pixel (24, 32), or of a colour map entry (24)
    bool colourMapped = false; // 8-bit indices into a colour map
    bool rle = false;       // run and raw packets
    unsigned idLength = 0;  // bytes of the image identification field
    bool topDown = false;   // rows from the top (descriptor bit 5)
};

// A TGA of `s`; stb gives its pixels as RGBA without the colour map.
Case tgaCase(const std::string& name, const TgaSpec& s);

// Every variant of each format the decoders read.
std::vector<Case> pcxCases();
std::vector<Case> bmpCases();
std::vector<Case> tgaCases();

void expectSameImage(const Image& got, const Image& want);

// Every prefix of every file of `cases` is refused with a reason. Each
// prefix is copied into a block of exactly its size, so that the sanitizer
// build reports a read one byte too far.
void expectEveryPrefixRefused(const std::vector<Case>& cases);

// A file changed by `edit` is refused with a reason containing `why`.
struct Damage {
    const char* name;
    std::function<Bytes()> file;
    const char* why;
};

// Each file of `cases` is refused with its reason, and no pixels.
void expectRefused(const std::vector<Damage>& cases);

// `b` with the bytes at `at` replaced by `bytes`, or by the little-endian `v`.
Bytes with(Bytes b, std::size_t at, std::initializer_list<std::uint8_t> bytes);
Bytes with32(Bytes b, std::size_t at, std::uint32_t v);

// `width` x `height` pixels of pseudo-random bytes (alpha included) from `seed`.
Image filled(std::uint32_t width, std::uint32_t height, std::uint32_t seed = 1);

// A smooth image of many colours: two gradients and a soft disc.
Image smooth(std::uint32_t width, std::uint32_t height);

} // namespace meshfold::test
