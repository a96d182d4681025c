#include "meshfold/common/bytes.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace meshfold {
namespace {

TEST(LittleEndian, ReadsAndWritesLowByteFirst) {
    const std::uint8_t bytes[] = {0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(readLe16(bytes), 0x5678);
    EXPECT_EQ(readLe32(bytes), 0x12345678u);
    std::uint8_t out[2];
    writeLe16(out, 0xBEEF);
    EXPECT_EQ(out[0], 0xEF);
    EXPECT_EQ(out[1], 0xBE);
}

} // namespace
} // namespace meshfold
