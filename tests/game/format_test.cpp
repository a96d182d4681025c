#include "meshfold/game/format.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>

namespace meshfold {
namespace {

using Record = std::array<std::uint8_t, kTriangleRecordSize>;

Record reversedBytes(const Record& in) {
    Record out{};
    encodeTriangle(reverseWinding(decodeTriangle(in.data())), out.data());
    return out;
}


TEST(WideVertex, EncodesThreeInt16AndAZeroWord) {
    std::uint8_t out[kWideVertexSize];
    std::fill(std::begin(out), std::end(out), 0xEE);
    encodeWideVertex(WideVertex{-1, 128, -32768}, out);
    const std::uint8_t expected[] = {0xFF, 0xFF, 0x80, 0x00, 0x00, 0x80, 0x00, 0x00};
    EXPECT_TRUE(std::equal(std::begin(out), std::end(out), std::begin(expected)));
}

TEST(TriangleRecord, ReversingSwapsCornersWithTheirTextureCoordinates) {
    const Record read = {0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0xAA, 0xBB,
                         0x0A, 0x0B, 0x14, 0x15, 0x1E, 0x1F, 0xCC, 0xDD};
    const Record written = {0x03, 0x00, 0x02, 0x00, 0x01, 0x00, 0xAA, 0xBB,
                            0x1E, 0x1F, 0x14, 0x15, 0x0A, 0x0B, 0xCC, 0xDD};
    EXPECT_EQ(reversedBytes(read), written);
}

TEST(TriangleRecord, DecodeEncodeAndReverseTwiceAreIdentities) {
    // Every byte value in every position across a few records.
    for (unsigned seed = 0; seed < 256; ++seed) {
        Record r{};
        for (std::size_t i = 0; i < r.size(); ++i) {
            r[i] = static_cast<std::uint8_t>(seed * 31 + i * 17);
        }
        Record same{};
        encodeTriangle(decodeTriangle(r.data()), same.data());
        ASSERT_EQ(same, r);
        ASSERT_EQ(reversedBytes(reversedBytes(r)), r);
    }
}

} // namespace
} // namespace meshfold
