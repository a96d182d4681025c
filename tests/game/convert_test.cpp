#include "meshfold/game/convert.h"
#include "meshfold/game/reverse.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <vector>

namespace meshfold {
namespace {

struct Worked {
    std::uint32_t word;
    std::array<std::uint8_t, 8> bytes;
};

std::array<std::uint8_t, 8> convertOne(std::uint32_t word, ConvertMode mode) {
    const std::uint8_t in[4] = {static_cast<std::uint8_t>(word), static_cast<std::uint8_t>(word >> 8),
                                static_cast<std::uint8_t>(word >> 16),
                                static_cast<std::uint8_t>(word >> 24)};
    std::array<std::uint8_t, 8> out{};
    CoordRanges ranges;
    convertWords(in, 1, out.data(), mode, ranges);
    return out;
}

void expectTable(const std::vector<Worked>& table, ConvertMode mode) {
    for (const Worked& w : table) {
        EXPECT_EQ(convertOne(w.word, mode), w.bytes) << std::hex << "word 0x" << w.word;
    }
}

TEST(ConvertWords, PlainModeWorkedValues) {
    expectTable({{0x00000000, {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}},
                 {0xFFFFFFFF, {0x01, 0x00, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x00}},
                 {0x12345678, {0x31, 0x00, 0x2F, 0x00, 0x12, 0x00, 0x00, 0x00}},
                 {0x03008008, {0xFF, 0xFF, 0xFE, 0xFF, 0x03, 0x00, 0x00, 0x00}},
                 // A top byte of 0x80 is -128: X and Y negate to +128, Z stays -128.
                 {0x80200400, {0x80, 0x00, 0x80, 0x00, 0x80, 0xFF, 0x00, 0x00}}},
                ConvertMode{});
}

TEST(ConvertWords, MilkShapeModeKeepsTheSignOfXOnly) {
    expectTable({{0x03008008, {0x01, 0x00, 0xFE, 0xFF, 0x03, 0x00, 0x00, 0x00}},
                 {0x80200400, {0x80, 0xFF, 0x80, 0x00, 0x80, 0xFF, 0x00, 0x00}},
                 {0xFFFFFFFF, {0xFF, 0xFF, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x00}}},
                ConvertMode{true, false});
}

TEST(ConvertWords, HiResModeKeepsEveryBitAtFullScale) {
    const auto v = [](std::uint32_t word, bool keepX) {
        return decodePackedWord(word, ConvertMode{keepX, true});
    };
    const WideVertex a = v(0x12345678, false);
    EXPECT_EQ((std::array<int, 3>{a.x, a.y, a.z}), (std::array<int, 3>{12544, 11968, 4608}));
    const WideVertex b = v(0x03008008, false);
    EXPECT_EQ((std::array<int, 3>{b.x, b.y, b.z}), (std::array<int, 3>{-256, -512, 768}));
    // -1024 negated would be +32768: saturated, never wrapped.
    const WideVertex c = v(0x80200400, false);
    EXPECT_EQ((std::array<int, 3>{c.x, c.y, c.z}), (std::array<int, 3>{32767, 32767, -32768}));
    const WideVertex d = v(0x80200400, true);
    EXPECT_EQ(d.x, -32768);
    // The smallest step of each field is 32 (X, Y) or 64 (Z) units.
    const WideVertex e = v(0x00400801, true);
    EXPECT_EQ((std::array<int, 3>{e.x, e.y, e.z}), (std::array<int, 3>{32, -32, 64}));
}

TEST(ConvertWords, HiResIs256TimesPlainUpToTheDroppedLowBits) {
    for (std::uint32_t word = 0; word < 0xFFFFF000u; word += 0x00F1E2D3u) {
        for (bool keepX : {false, true}) {
            const WideVertex lo = decodePackedWord(word, ConvertMode{keepX, false});
            const WideVertex hi = decodePackedWord(word, ConvertMode{keepX, true});
            // Plain keeps the top 8 bits of each field, so hi >> 8 equals plain
            // exactly when the field is not negated and within one when it is.
            EXPECT_EQ(hi.z >> 8, lo.z) << std::hex << word;
            EXPECT_LE(std::abs((hi.y >> 8) - lo.y), 1) << std::hex << word;
            EXPECT_LE(std::abs((hi.x >> 8) - lo.x), 1) << std::hex << word;
        }
    }
}

TEST(ConvertWords, TopByteBoundaries127To129) {
    // Z sits in the word's last byte: 0x7F, 0x80, 0x81.
    EXPECT_EQ(decodePackedWord(0x7F000000, {}).z, 127);
    EXPECT_EQ(decodePackedWord(0x80000000, {}).z, -128);
    EXPECT_EQ(decodePackedWord(0x81000000, {}).z, -127);
    // X: bits 3-10.
    EXPECT_EQ(decodePackedWord(0x7Fu << 3, {}).x, -127);
    EXPECT_EQ(decodePackedWord(0x80u << 3, {}).x, 128);
    EXPECT_EQ(decodePackedWord(0x81u << 3, {}).x, 127);
    // Y: bits 14-21; the low bits 11-13 of its field are ignored.
    EXPECT_EQ(decodePackedWord(0x80u << 14, {}).y, 128);
    EXPECT_EQ(decodePackedWord(0x7u << 11, {}).y, 0);
}

TEST(ConvertWords, RangesOverEveryWordStayWithinEachModesBounds) {
    struct Bounds {
        ConvertMode mode;
        int xmin, xmax, ymin, ymax, zmin, zmax;
    };
    const Bounds cases[] = {
        {{false, false}, -127, 128, -127, 128, -128, 127},
        {{true, false}, -128, 127, -127, 128, -128, 127},
        {{false, true}, -32736, 32767, -32736, 32767, -32768, 32704},
        {{true, true}, -32768, 32736, -32736, 32767, -32768, 32704},
    };
    // Every X and Y field value, and every Z field value, in 2048 words.
    std::vector<std::uint8_t> in;
    for (std::uint32_t f = 0; f < 2048; ++f) {
        const std::uint32_t word = f | (f << 11) | ((f & 0x3FF) << 22);
        for (int i = 0; i < 4; ++i) {
            in.push_back(static_cast<std::uint8_t>(word >> (8 * i)));
        }
    }
    std::vector<std::uint8_t> out(2 * in.size());
    for (const Bounds& b : cases) {
        CoordRanges r;
        convertWords(in.data(), 2048, out.data(), b.mode, r);
        EXPECT_EQ(r.x.min, b.xmin);
        EXPECT_EQ(r.x.max, b.xmax);
        EXPECT_EQ(r.y.min, b.ymin);
        EXPECT_EQ(r.y.max, b.ymax);
        EXPECT_EQ(r.z.min, b.zmin);
        EXPECT_EQ(r.z.max, b.zmax);
    }
}

TEST(ConvertWords, OneVertexIsBothEndsOfEachRange) {
    CoordRanges r;
    // Word 0x0300FFD8: X field -40, whose top 8 bits are -5, so X = 5.
    const std::uint8_t word[4] = {0xD8, 0xFF, 0x00, 0x03};
    std::uint8_t out[8];
    convertWords(word, 1, out, {}, r);
    EXPECT_EQ(r.x.min, 5);
    EXPECT_EQ(r.x.max, 5);
    EXPECT_EQ(r.z.min, 3);
    EXPECT_EQ(r.z.max, 3);
}

TEST(RangeReport, NoVertexKeepsTheStartingValues) {
    EXPECT_EQ(rangeReport(CoordRanges{}), "\n  X coordinate range: 9999 to -9999"
                                          "\n  Y coordinate range: 9999 to -9999"
                                          "\n  Z coordinate range: 9999 to -9999"
                                          "\n\n*** Conversion complete ***\n");
}

TEST(RangeReport, PrintsSignedMinimumThenMaximum) {
    CoordRanges r;
    r.x = {-32768, 32767};
    r.y = {5, 5};
    r.z = {-1, 0};
    EXPECT_EQ(rangeReport(r), "\n  X coordinate range: -32768 to 32767"
                              "\n  Y coordinate range: 5 to 5"
                              "\n  Z coordinate range: -1 to 0"
                              "\n\n*** Conversion complete ***\n");
}

// ---------------------------------------------------------------------------
// The way back: wide vertex -> packed word.

const ConvertMode kModes[] = {{false, false}, {true, false}, {false, true}, {true, true}};

std::array<std::uint8_t, 8> wideBytes(int x, int y, int z, int pad = 0) {
    std::array<std::uint8_t, 8> b{};
    const int v[4] = {x, y, z, pad};
    for (int i = 0; i < 4; ++i) {
        writeLe16(b.data() + 2 * i, static_cast<std::uint16_t>(v[i]));
    }
    return b;
}

PackedVertex pack(int x, int y, int z, ConvertMode mode, int pad = 0) {
    return packWideVertex(wideBytes(x, y, z, pad).data(), mode);
}

// Word f | f << 11 | f << 22: every X and Y field value, and every Z value.
std::uint32_t everyFieldWord(std::uint32_t f) {
    return f | (f << 11) | ((f & 0x3FF) << 22);
}

// The fields a normal conversion keeps: each field's top 8 bits.
constexpr std::uint32_t kTopBitsMask = 0xFF3FC7F8u;

TEST(PackWideVertex, UndoesTheConversionOfEveryFieldValueInEveryMode) {
    for (const ConvertMode mode : kModes) {
        for (std::uint32_t f = 0; f < 2048; ++f) {
            for (const std::uint32_t word : {everyFieldWord(f), everyFieldWord(f) ^ 0x5A5A5A5Au}) {
                std::array<std::uint8_t, 8> wide{};
                encodeWideVertex(decodePackedWord(word, mode), wide.data());
                const PackedVertex back = packWideVertex(wide.data(), mode);
                ASSERT_TRUE(back.fits && back.padOk) << std::hex << word;
                // Hi-res gives the word back; normal mode with the dropped bits 0.
                ASSERT_EQ(back.word, mode.hiRes ? word : word & kTopBitsMask)
                    << std::hex << "word 0x" << word << " hi-res " << mode.hiRes << " ms "
                    << mode.keepXSign;
            }
        }
    }
}

TEST(PackWideVertex, HiResRoundsTiesAwayFromZeroAndClampsTheLastStep) {
    struct Case {
        int value;   // the coordinate written, X (negated back) or Z
        int xField;  // the X field it gives back, without -ms
        int zField;  // the Z field the same value gives back
    };
    const Case cases[] = {
        {0, 0, 0},
        {-15, 0, 0},     {-16, 1, 0},      {16, -1, 0},    {-48, 2, -1},
        {32, -1, 1},     {-32, 1, -1},     {-31, 1, 0},    {96, -3, 2},
        {-32736, 1023, -512},
        {32767, -1024, 511},  // X: the saturated -1024; Z: 511.98 clamped to 511
        {-32768, 1023, -512}, // X: 1024 clamped to 1023
        {32736, -1023, 511},  // Z: the tie 511.5 rounds to 512, clamped
        {32704, -1022, 511},
    };
    for (const Case& c : cases) {
        const PackedVertex v = pack(c.value, 0, c.value, ConvertMode{false, true});
        EXPECT_TRUE(v.fits);
        EXPECT_EQ(v.x, c.xField) << c.value;
        EXPECT_EQ(v.z, c.zField) << c.value;
        EXPECT_EQ(v.word, (static_cast<std::uint32_t>(c.xField) & 0x7FF) |
                              ((static_cast<std::uint32_t>(c.zField) & 0x3FF) << 22))
            << c.value;
        // Y is negated back as X is; with -ms X keeps its sign.
        EXPECT_EQ(pack(0, c.value, 0, ConvertMode{false, true}).y, c.xField) << c.value;
        EXPECT_EQ(pack(-c.value, 0, 0, ConvertMode{true, true}).x,
                  c.value == -32768 ? -1024 : c.xField)
            << c.value;
    }
}

TEST(PackVertices, CountsWhatDoesNotFitAndTheStopNamesIt) {
    std::vector<std::uint8_t> in;
    for (const auto& v : {wideBytes(1, 1, 1), wideBytes(-128, 0, 0), wideBytes(0, 0, 200),
                          wideBytes(0, 0, 0, 7)}) {
        in.insert(in.end(), v.begin(), v.end());
    }
    std::uint8_t out[4 * 4];
    CoordRanges ranges;
    PackingTally plain;
    packVertices(in.data(), 4, out, ConvertMode{}, ranges, plain);
    EXPECT_EQ(plain.vertices, 4u);
    EXPECT_EQ(plain.tooLarge, 2u);
    EXPECT_EQ(plain.notDeusEx, 1u);
    // The fourth word first: -h would not help with it.
    EXPECT_EQ(packingFailure(plain).stop, Stop::NotDeusExVertices);
    EXPECT_EQ(packingFailure(plain).count, 1u);
    PackingTally hiRes;
    packVertices(in.data(), 3, out, ConvertMode{false, true}, ranges, hiRes);
    EXPECT_EQ(packingFailure(hiRes).stop, Stop::None);
    PackingTally tooLarge;
    packVertices(in.data(), 3, out, ConvertMode{}, ranges, tooLarge);
    EXPECT_EQ(packingFailure(tooLarge).stop, Stop::VerticesDoNotFit);
    EXPECT_EQ(packingFailure(tooLarge).count, 2u);
}

} // namespace
} // namespace meshfold
