// The in-memory run: the same output and files as the tool, from bytes.
#include "meshfold/cli/run.h"
#include "meshfold/game/format.h"
#include "meshfold/game/inspect.h"
#include "meshfold/game/memory_run.h"
#include "meshfold/platform/platform.h"

#include "support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

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

// Words that fill every field, from a seed.
std::vector<std::uint32_t> someWords(std::size_t count, std::uint32_t seed) {
    std::vector<std::uint32_t> w(count);
    std::uint32_t x = 0x9E3779B9u ^ seed;
    for (std::uint32_t& v : w) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = x;
    }
    return w;
}

struct Switches {
    bool ms;
    bool hi;
    bool toUnreal;
};

// The tool's own run on the files, in this process: what it prints after the
// banner, its status, and the two files afterwards.
struct FileRun {
    std::string output;
    int status = -1;
    Bytes anim;
    Bytes data;
};

FileRun runOnFiles(const fs::path& base, const Bytes& anim, const Bytes& data, Switches s) {
    writeFile(base.string() + "_a.3d", anim);
    writeFile(base.string() + "_d.3d", data);
    std::vector<std::string> args;
    for (const auto& [on, name] :
         {std::pair{s.ms, "-ms"}, {s.hi, "-h"}, {s.toUnreal, "--to-unreal"}}) {
        if (on) {
            args.push_back(name);
        }
    }
    args.push_back(base.string());
    const fs::path outFile = base.parent_path().parent_path() / "out.txt";
    const fs::path errFile = base.parent_path().parent_path() / "err.txt";
    std::unique_ptr<std::FILE, FileCloser> out(std::fopen(outFile.string().c_str(), "wb"));
    std::unique_ptr<std::FILE, FileCloser> err(std::fopen(errFile.string().c_str(), "wb"));
    FileRun r;
    r.status = runMeshfold(args, out.get(), err.get());
    out.reset();
    err.reset();
    const Bytes printed = readFile(outFile);
    r.output.assign(printed.begin(), printed.end());
    r.output = r.output.substr(std::min(kBanner.size(), r.output.size()));
    r.anim = readFile(base.string() + "_a.3d");
    r.data = readFile(base.string() + "_d.3d");
    return r;
}

// The run on the files reads the animation file kChunkBytes at a time and
// carries an incomplete stride from one read to the next; the run in memory
// reads the same bytes through the same kernel. Meshes larger than one read,
// with strides that do not divide it, cut short mid-frame and mid-vertex, in
// either direction and every mode: the two must print and write the same.
TEST(MemoryRun, AgreesWithTheRunOnTheFilesAcrossReads) {
    Scratch scratch;
    fs::create_directories(scratch.dir / "m");
    const fs::path base = scratch.dir / "m" / "M";
    const auto packed = [](std::uint16_t frames, std::uint16_t frameSize, std::size_t words,
                           std::uint32_t seed) {
        return animFile(frames, frameSize, someWords(words, seed));
    };
    Bytes cutShort = packed(50, 3000, 50 * 750 - 400, 2); // 500 vertices, 3000-byte frames
    cutShort.push_back(0x5A);                             // and a vertex cut short
    Bytes oddTail = packed(2, 8, 4, 4);
    oddTail.insert(oddTail.end(), {1, 2, 3});
    const struct {
        const char* name;
        Bytes anim;
        Bytes data;
    } meshes[] = {
        {"packed, four reads", packed(64, 4000, 64 * 1000, 1), dataFile(300, 1000)},
        {"room to spare, frames across reads, cut short", cutShort, dataFile(20, 500)},
        {"room for the wide form, told by the first frame", packed(90, 1000, 90 * 250, 3),
         dataFile(5, 100)},
        {"bytes that make no vertex", oddTail, dataFile(1, 2)},
        {"no whole vertex", Bytes{1, 0, 8, 0, 7, 7}, dataFile(1, 2)},
    };
    const Switches forward[] = {
        {false, false, false}, {true, false, false}, {false, true, false}, {true, true, false}};
    int compared = 0;
    for (const auto& m : meshes) {
        for (const Switches s : forward) {
            SCOPED_TRACE(std::string(m.name) + (s.ms ? " -ms" : "") + (s.hi ? " -h" : ""));
            RunOptions o = meshOptions(s.ms, s.hi);
            o.baseName = base.string();
            o.animFileName = o.baseName + "_a.3d";
            o.dataFileName = o.baseName + "_d.3d";
            const MemoryRun there = runInMemory(o, m.anim, m.data);
            const FileRun here = runOnFiles(base, m.anim, m.data, s);
            EXPECT_EQ(here.output, there.output);
            EXPECT_EQ(here.status, there.failure.stop == Stop::None ? 0 : 1);
            EXPECT_EQ(here.anim, there.failure.stop == Stop::None ? there.anim : m.anim);
            EXPECT_EQ(here.data, there.failure.stop == Stop::None && s.ms ? there.data : m.data);
            ++compared;
            if (there.failure.stop != Stop::None) {
                continue;
            }
            // Taken back in the same mode, and once with a vertex that does
            // not fit the Unreal form (a fourth word that is not 0).
            o.toUnreal = true;
            const Bytes data = s.ms ? there.data : m.data;
            std::vector<Bytes> wides = {there.anim};
            if (there.anim.size() >= kAnimHeaderSize + kWideVertexSize) {
                Bytes notDeusEx = there.anim;
                const std::size_t vertex =
                    (notDeusEx.size() - kAnimHeaderSize) / kWideVertexSize / 2;
                notDeusEx[kAnimHeaderSize + vertex * kWideVertexSize + 6] = 1;
                wides.push_back(notDeusEx);
            }
            for (const Bytes& wide : wides) {
                const MemoryRun back = runInMemory(o, wide, data);
                const FileRun again = runOnFiles(base, wide, data, {s.ms, s.hi, true});
                EXPECT_EQ(again.output, back.output);
                EXPECT_EQ(again.anim, back.failure.stop == Stop::None ? back.anim : wide);
                EXPECT_EQ(again.data, back.failure.stop == Stop::None && s.ms ? back.data : data);
                ++compared;
            }
        }
    }
    EXPECT_GE(compared, 50);
}

} // namespace
} // namespace meshfold::test
