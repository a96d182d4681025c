// The in-memory run: the same output and files as the tool, from bytes.
#include "meshfold/game/inspect.h"
#include "meshfold/game/memory_run.h"

#include "support.h"

#include <gtest/gtest.h>

namespace meshfold::test {
namespace {

RunOptions options(bool ms = false, bool hi = false) {
    return meshOptions(ms, hi);
}

TEST(MemoryRun, ConvertsWorkedWordsWithTheFullReport) {
    Bytes withTail = animFile(1, 8, {0x12345678, 0x80200400, 0xAB});
    withTail.insert(withTail.end(), {9, 9, 9});
    const MemoryRun r = runInMemory(options(), withTail, dataFile(1, 2));
    EXPECT_EQ(r.failure.stop, Stop::None);
    EXPECT_EQ(hex(r.anim), "01 00 10 00 31 00 2F 00 12 00 00 00 80 00 80 00 80 FF 00 00 "
                           "EB FF 00 00 00 00 00 00");
    EXPECT_TRUE(r.data.empty());
    EXPECT_EQ(r.output, "\nConverting M_a.3d...\n\n  Single mesh (no animation)\n  1 polygons"
                        "\n  2 vertices"
                        "\n  X coordinate range: -21 to 128"
                        "\n  Y coordinate range: 0 to 128"
                        "\n  Z coordinate range: -128 to 18"
                        "\n\n*** Conversion complete ***\n");
}

TEST(MemoryRun, MilkShapeFixReadsTheTableOnlyAndWritesItReversed) {
    Bytes data = dataFile(2, 4);
    const Bytes table(data.begin() + 48, data.end());
    data.insert(data.end(), {1, 2, 3}); // after the last triangle: never read, dropped
    const MemoryRun r = runInMemory(options(true), animFile(1, 16, {1, 2, 3, 4}), data);
    ASSERT_EQ(r.failure.stop, Stop::None);
    ASSERT_EQ(r.data.size(), 48u + 32u);
    Bytes header{2, 0, 4, 0};
    header.resize(48, 0);
    EXPECT_EQ(Bytes(r.data.begin(), r.data.begin() + 48), header);
    MeshHeaderInfo info;
    info.polygonCount = 2;
    info.vertexCount = 4;
    const std::vector<std::uint8_t> twice = milkShapeDataFile(r.data, info);
    EXPECT_EQ(Bytes(twice.begin() + 48, twice.end()), table);
}

TEST(MemoryRun, AStopWritesNothingAndEndsWithItsMessage) {
    Bytes shortTable = dataFile(2, 4);
    shortTable.pop_back();
    const struct {
        Bytes anim;
        Bytes data;
        bool ms;
        const char* tail;
    } cases[] = {
        {Bytes{1}, dataFile(1, 4), false,
         "\n\nProblem reading data file: could not read number of frames !\n"},
        {animFile(1, 16, {1}), Bytes{1, 0, 4}, false,
         "\n\nProblem reading data file: could not read number of vertices !\n"},
        {animFile(1, 16, {1}), shortTable, true,
         "\n\nProblem reading data file: could not read triangles !\n"},
        {animFile(1, 32, {1}), dataFile(1, 4), true, "\n\nMesh file has already been converted !\n"},
    };
    for (const auto& c : cases) {
        const MemoryRun r = runInMemory(options(c.ms), c.anim, c.data);
        EXPECT_NE(r.failure.stop, Stop::None) << c.tail;
        EXPECT_TRUE(r.anim.empty() && r.data.empty()) << c.tail;
        const std::string tail = c.tail;
        ASSERT_GE(r.output.size(), tail.size());
        EXPECT_EQ(r.output.substr(r.output.size() - tail.size()), tail);
    }
}

// Hi-res values pass 9999: a mesh lying wholly beyond it on one axis reports
// its real range ends, not the starting values.
TEST(MemoryRun, HiResRangesBeyondTheStartingValuesAreReal) {
    // Z fields 200 and 300 (hi-res 12800 and 19200); X, Y fields -400 and -500
    // (hi-res X = Y = 12800 and 16000).
    const auto word = [](std::uint32_t x, std::uint32_t y, std::uint32_t z) {
        return (x & 0x7FF) | ((y & 0x7FF) << 11) | (z << 22);
    };
    // Six words: four take the vectorised path where there is one, two the
    // word-by-word path.
    const std::uint32_t a = word(-400u, -400u, 200);
    const std::uint32_t b = word(-500u, -500u, 300);
    const MemoryRun r =
        runInMemory(options(false, true), animFile(1, 8, {a, a, a, a, a, b}), dataFile(1, 2));
    ASSERT_EQ(r.failure.stop, Stop::None);
    EXPECT_EQ(r.ranges.x.min, 12800);
    EXPECT_EQ(r.ranges.x.max, 16000);
    EXPECT_EQ(r.ranges.y.min, 12800);
    EXPECT_EQ(r.ranges.z.min, 12800);
    EXPECT_EQ(r.ranges.z.max, 19200);
}

} // namespace
} // namespace meshfold::test
