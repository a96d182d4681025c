// The block conversion (convertWords, vectorised where the target allows)
// against the word-at-a-time definition (decodePackedWord, encodeWideVertex,
// includeInRange): same bytes, same ranges, for every field value, every
// position of a word within a vector step, every short tail and any start
// alignment.
#include "meshfold/game/convert.h"
#include "meshfold/game/format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace meshfold {
namespace {

constexpr ConvertMode kModes[] = {{false, false}, {true, false}, {false, true}, {true, true}};

std::string modeName(ConvertMode m) {
    return std::string(m.keepXSign ? "-ms" : "") + (m.hiRes ? " -h" : "");
}

struct Converted {
    std::vector<std::uint8_t> wide;
    CoordRanges ranges;
};

std::vector<std::uint8_t> packWords(const std::vector<std::uint32_t>& words) {
    std::vector<std::uint8_t> bytes(words.size() * kPackedVertexSize);
    for (std::size_t i = 0; i < words.size(); ++i) {
        for (std::size_t k = 0; k < kPackedVertexSize; ++k) {
            bytes[i * kPackedVertexSize + k] = static_cast<std::uint8_t>(words[i] >> (8 * k));
        }
    }
    return bytes;
}

Converted reference(const std::vector<std::uint32_t>& words, ConvertMode mode,
                    CoordRanges start = {}) {
    Converted c{std::vector<std::uint8_t>(words.size() * kWideVertexSize), start};
    for (std::size_t i = 0; i < words.size(); ++i) {
        const WideVertex v = decodePackedWord(words[i], mode);
        encodeWideVertex(v, c.wide.data() + i * kWideVertexSize);
        includeInRange(c.ranges.x, v.x);
        includeInRange(c.ranges.y, v.y);
        includeInRange(c.ranges.z, v.z);
    }
    return c;
}

Converted block(const std::vector<std::uint32_t>& words, ConvertMode mode, CoordRanges start = {}) {
    const std::vector<std::uint8_t> packed = packWords(words);
    Converted c{std::vector<std::uint8_t>(words.size() * kWideVertexSize), start};
    convertWords(packed.data(), words.size(), c.wide.data(), mode, c.ranges);
    return c;
}

void expectSameRanges(const CoordRanges& a, const CoordRanges& b, const std::string& what) {
    EXPECT_EQ(a.x.min, b.x.min) << what;
    EXPECT_EQ(a.x.max, b.x.max) << what;
    EXPECT_EQ(a.y.min, b.y.min) << what;
    EXPECT_EQ(a.y.max, b.y.max) << what;
    EXPECT_EQ(a.z.min, b.z.min) << what;
    EXPECT_EQ(a.z.max, b.z.max) << what;
}

void expectSameConversion(const std::vector<std::uint32_t>& words, ConvertMode mode,
                          const std::string& what) {
    const Converted want = reference(words, mode);
    const Converted got = block(words, mode);
    ASSERT_EQ(want.wide.size(), got.wide.size()) << what;
    for (std::size_t i = 0; i < want.wide.size(); i += kWideVertexSize) {
        const std::vector<std::uint8_t> w(want.wide.begin() + static_cast<std::ptrdiff_t>(i),
                                          want.wide.begin() +
                                              static_cast<std::ptrdiff_t>(i + kWideVertexSize));
        const std::vector<std::uint8_t> g(got.wide.begin() + static_cast<std::ptrdiff_t>(i),
                                          got.wide.begin() +
                                              static_cast<std::ptrdiff_t>(i + kWideVertexSize));
        ASSERT_EQ(w, g) << what << ": word " << i / kWideVertexSize << " = 0x" << std::hex
                        << words[i / kWideVertexSize];
    }
    expectSameRanges(want.ranges, got.ranges, what);
}

// Every value of one field, in each of the four positions of a vector step,
// with the other bits random.
std::vector<std::uint32_t> fieldSweep(unsigned shift, unsigned bits, std::mt19937& rng) {
    std::vector<std::uint32_t> words;
    const std::uint32_t mask = ((1u << bits) - 1) << shift;
    for (std::uint32_t value = 0; value < (1u << bits); ++value) {
        for (int lane = 0; lane < 4; ++lane) {
            words.push_back((rng() & ~mask) | (value << shift));
        }
        words.push_back(rng()); // shifts the next value to the following lane
    }
    return words;
}

TEST(KernelEquivalence, EveryFieldValueInEveryLane) {
    std::mt19937 rng{1};
    for (ConvertMode mode : kModes) {
        expectSameConversion(fieldSweep(kPackedXShift, kPackedXBits, rng), mode,
                             "X sweep" + modeName(mode));
        expectSameConversion(fieldSweep(kPackedYShift, kPackedYBits, rng), mode,
                             "Y sweep" + modeName(mode));
        expectSameConversion(fieldSweep(kPackedZShift, kPackedZBits, rng), mode,
                             "Z sweep" + modeName(mode));
    }
}

TEST(KernelEquivalence, ExtremeWordsAndRandomWords) {
    std::vector<std::uint32_t> words = {0x00000000, 0xFFFFFFFF, 0x80200400, 0x7FDFFBFF, 0x12345678,
                                        0x03008008, 0x80000000, 0x00200000, 0x00000400};
    std::mt19937 rng{2};
    for (int i = 0; i < 200000; ++i) {
        words.push_back(rng());
    }
    for (ConvertMode mode : kModes) {
        expectSameConversion(words, mode, "random" + modeName(mode));
    }
}

// Counts around the vector width, from unaligned input and output addresses;
// nothing past the last wide vertex may be touched.
TEST(KernelEquivalence, ShortCountsAndUnalignedBuffers) {
    constexpr std::uint8_t kGuard = 0xA5;
    std::mt19937 rng{3};
    for (ConvertMode mode : kModes) {
        for (std::size_t count = 0; count <= 13; ++count) {
            for (std::size_t offset = 0; offset < 4; ++offset) {
                std::vector<std::uint32_t> words(count);
                for (std::uint32_t& w : words) {
                    w = rng();
                }
                const Converted want = reference(words, mode);
                const std::vector<std::uint8_t> packed = packWords(words);
                std::vector<std::uint8_t> in(offset + packed.size());
                std::copy(packed.begin(), packed.end(),
                          in.begin() + static_cast<std::ptrdiff_t>(offset));
                std::vector<std::uint8_t> out(offset + want.wide.size() + 16, kGuard);
                CoordRanges ranges;
                convertWords(in.data() + offset, count, out.data() + offset, mode, ranges);

                const std::string what = "count " + std::to_string(count) + " offset " +
                                         std::to_string(offset) + modeName(mode);
                const auto body = out.begin() + static_cast<std::ptrdiff_t>(offset);
                EXPECT_TRUE(std::equal(want.wide.begin(), want.wide.end(), body)) << what;
                for (std::size_t i = 0; i < out.size(); ++i) {
                    if (i < offset || i >= offset + want.wide.size()) {
                        EXPECT_EQ(out[i], kGuard)
                            << what << ": byte " << i << " outside the output";
                    }
                }
                expectSameRanges(want.ranges, ranges, what);
            }
        }
    }
}

// The driver converts a file chunk by chunk into the same ranges; ranges that
// come in already widened (or far outside the coordinates) are only widened.
TEST(KernelEquivalence, RangesCarryAcrossCalls) {
    std::mt19937 rng{4};
    std::vector<std::uint32_t> words(1001);
    for (std::uint32_t& w : words) {
        w = rng() & 0x3FFFFFFF; // Z never negative: the Z minimum stays above its start below
    }
    CoordRanges odd;
    odd.x = {-32768, 32767}; // already the whole int16 span: nothing can widen it
    odd.y = {20000, -20000}; // outside every coordinate: the first vertex sets both ends
    odd.z = {-5, -6};
    for (ConvertMode mode : kModes) {
        expectSameRanges(reference(words, mode, odd).ranges, block(words, mode, odd).ranges,
                         "odd start" + modeName(mode));

        const std::vector<std::uint8_t> packed = packWords(words);
        std::vector<std::uint8_t> wide(words.size() * kWideVertexSize);
        CoordRanges chunked;
        for (std::size_t at = 0; at < words.size(); at += 7) {
            const std::size_t n = std::min<std::size_t>(7, words.size() - at);
            convertWords(packed.data() + at * kPackedVertexSize, n,
                         wide.data() + at * kWideVertexSize, mode, chunked);
        }
        const Converted whole = reference(words, mode);
        EXPECT_EQ(whole.wide, wide) << "chunked" << modeName(mode);
        expectSameRanges(whole.ranges, chunked, "chunked" + modeName(mode));
    }
}

} // namespace
} // namespace meshfold
