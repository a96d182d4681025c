#include "meshfold/bridge/game_mesh.h"
#include "meshfold/game/format.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <cstdio>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace meshfold {
namespace {

TEST(GameMesh, CoordinatesRoundHalvesAwayFromZeroInEitherForm) {
    struct Case {
        double v;
        int axis;
        bool unreal;
        long expected;
    };
    const Case cases[] = {
        {1.0 / 512, 0, false, 1},  {-1.0 / 512, 0, false, -1}, {127.99609375, 2, false, 32767},
        {1.0 / 16, 0, true, 1},    {-1.0 / 16, 1, true, -1},   {1.0 / 8, 2, true, 1},
        {127.875, 0, true, 1023},  {127.75, 2, true, 511},     {-128, 2, true, -512},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(quantiseCoordinate(c.v, c.axis, c.unreal), c.expected) << c.v << " " << c.axis;
    }
}

GltfRead oneTriangle(float x, float y, float z) {
    GltfRead r;
    r.vertexCount = 3;
    r.frameCount = 1;
    r.positions = {0, 0, 0, x, y, z, 1, 1, 1};
    r.triangles.resize(1);
    r.triangles[0].vertex[1] = 1;
    r.triangles[0].vertex[2] = 2;
    return r;
}

TEST(GameMesh, WritesBothFormsByteForByte) {
    const GltfRead r = oneTriangle(-1.5f, 2.0f, 0.25f);
    const GameMesh dx = buildGameMesh(r, {false, false}, "T.glb");
    ASSERT_EQ(dx.failure.stop, Stop::None);
    const std::vector<std::uint8_t> wideHead = {0x01, 0x00, 0x18, 0x00};
    EXPECT_TRUE(std::equal(wideHead.begin(), wideHead.end(), dx.anim.begin()));
    // Vertex 1: -384, 512, 64, 0.
    const std::vector<std::uint8_t> v1 = {0x80, 0xFE, 0x00, 0x02, 0x40, 0x00, 0x00, 0x00};
    EXPECT_TRUE(std::equal(v1.begin(), v1.end(), dx.anim.begin() + 4 + 8));
    EXPECT_EQ(dx.anim.size(), 4u + 24u);
    EXPECT_EQ(dx.data.size(), kDataHeaderSize + kTriangleRecordSize);
    EXPECT_EQ(readLe16(dx.data.data() + 2), 3);

    const GameMesh un = buildGameMesh(r, {true, false}, "T.glb");
    ASSERT_EQ(un.failure.stop, Stop::None);
    EXPECT_EQ(readLe16(un.anim.data() + 2), 12);
    // -12 in X's 11 bits, 16 in Y's, 1 in Z's 10 bits.
    const std::uint32_t word = (static_cast<std::uint32_t>(-12) & 0x7FF) | (16u << 11) | (1u << 22);
    EXPECT_EQ(readLe32(un.anim.data() + 4 + 4), word);
}

TEST(GameMesh, LimitsAreRefusedAndFitScalesUniformlyToTheFullRange) {
    const GltfRead wide = oneTriangle(256, 0, -64);
    const GameMesh refused = buildGameMesh(wide, {false, false}, "T.glb");
    EXPECT_EQ(refused.failure.stop, Stop::CoordinateOutOfRange);
    EXPECT_NE(refused.failure.detail.find("X from 0 to 256"), std::string::npos) << refused.failure.detail;

    const GameMesh fitted = buildGameMesh(wide, {false, true}, "T.glb");
    ASSERT_EQ(fitted.failure.stop, Stop::None);
    EXPECT_NEAR(fitted.factor, (32767 / 256.0) / 256, 1e-12);
    EXPECT_EQ(fitted.ranges.x.max, 32767);
    EXPECT_EQ(fitted.ranges.z.min, static_cast<std::int16_t>(std::lround(-64 * fitted.factor * 256)));

    // Unreal's Z has half the steps: -128 fits, 127.875 does not.
    EXPECT_EQ(buildGameMesh(oneTriangle(0, 0, 127.875f), {true, false}, "T.glb").failure.stop,
              Stop::CoordinateOutOfRange);
    EXPECT_EQ(buildGameMesh(oneTriangle(0, 0, -128), {true, false}, "T.glb").failure.stop, Stop::None);

    GltfRead many = oneTriangle(0, 0, 0);
    many.vertexCount = 8192; // 8N = 65536
    many.positions.assign(8192 * 3, 0.0f);
    EXPECT_EQ(buildGameMesh(many, {false, false}, "T.glb").failure.stop, Stop::TooManyVertices);
    EXPECT_EQ(buildGameMesh(many, {true, false}, "T.glb").failure.stop, Stop::None);
}

TEST(GameMesh, TheImportScriptNamesEveryFileSequenceScaleAndTexture) {
    GltfRead r = oneTriangle(1, 1, 1);
    r.frameCount = 1;
    r.sequences = {{"Walk cycle", 0, 1}, {"2nd", 0, 1, 12.5}};
    r.triangles[0].attr[2] = 7;
    const GameMesh un = buildGameMesh(r, {true, false}, "Bot.glb");
    const std::string uc = importScript("Bot", r, un, true, 1);
    EXPECT_NE(uc.find("#exec MESH IMPORT MESH=Bot ANIVFILE=Models\\Bot_a.3d DATAFILE=Models\\Bot_d.3d"),
              std::string::npos);
    EXPECT_NE(uc.find("SEQ=All STARTFRAME=0 NUMFRAMES=1\n"), std::string::npos);
    EXPECT_NE(uc.find("SEQ=Walk_cycle STARTFRAME=0 NUMFRAMES=1 RATE=30"), std::string::npos);
    EXPECT_NE(uc.find("SEQ=_2nd STARTFRAME=0 NUMFRAMES=1 RATE=12.5\n"), std::string::npos);
    EXPECT_NE(uc.find("#exec MESHMAP SCALE MESHMAP=Bot X=0.125 Y=0.125 Z=0.25"), std::string::npos);
    // --scale multiplies the script's scale alone, on top of --fit's.
    struct Case {
        bool unreal;
        bool fit;
        double scale;
        const char* line; // "" where --fit decides
    };
    const Case cases[] = {
        {true, false, 52.5, "X=6.5625 Y=6.5625 Z=13.125\n"},
        {false, false, 52.5, "X=0.205078125 Y=0.205078125 Z=0.205078125\n"},
        {false, true, 2, ""},
        {true, true, 0.5, ""},
    };
    auto scaleOf = [](const std::string& script) {
        std::array<double, 3> v{};
        const std::size_t at = script.find("MESHMAP SCALE");
        for (int a = 0; a < 3; ++a) {
            v[static_cast<std::size_t>(a)] =
                std::stod(script.substr(script.find(std::string(1, static_cast<char>('X' + a)) + "=", at) + 2));
        }
        return v;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.unreal) + std::to_string(c.fit));
        const GameMesh m = buildGameMesh(r, {c.unreal, c.fit}, "Bot.glb");
        ASSERT_EQ(m.failure.stop, Stop::None);
        const std::string scaled = importScript("Bot", r, m, c.unreal, c.scale);
        EXPECT_NE(scaled.find(std::string("MESHMAP SCALE MESHMAP=Bot ") + c.line), std::string::npos) << scaled;
        const std::array<double, 3> plain = scaleOf(importScript("Bot", r, m, c.unreal, 1));
        const std::array<double, 3> times = scaleOf(scaled);
        for (std::size_t a = 0; a < 3; ++a) {
            EXPECT_NEAR(times[a] / plain[a], c.scale, c.scale * 1e-8) << a;
        }
    }
    EXPECT_NE(uc.find("// #exec MESHMAP SETTEXTURE MESHMAP=Bot NUM=7"), std::string::npos);
}

TEST(GameMesh, AnImportScriptsSequencesBecomeClips) {
    const std::string uc = "#exec MESH IMPORT MESH=Bot ANIVFILE=Models\\Bot_a.3d\r\n"
                           "#exec MESH SEQUENCE MESH=Bot SEQ=All STARTFRAME=0 NUMFRAMES=40\r\n"
                           "  #EXEC mesh sequence MESH=Bot seq=Walk startframe=4 numframes=8 rate=12.5\n"
                           "// #exec MESH SEQUENCE MESH=Bot SEQ=Hidden STARTFRAME=0 NUMFRAMES=2\n"
                           "#exec MESH SEQUENCE MESH=Bot SEQ=Still NUMFRAMES=1 RATE=-3\n"
                           "#exec MESH SEQUENCE MESH=Bot SEQ=Broken STARTFRAME=x NUMFRAMES=2\n"
                           "#exec MESH SEQUENCE MESH=Bot STARTFRAME=0 NUMFRAMES=2";
    const std::vector<MeshSequence> clips = scriptSequences(uc, 24);
    ASSERT_EQ(clips.size(), 3u);
    EXPECT_EQ(clips[0].name, "All");
    EXPECT_EQ(clips[0].count, 40u);
    EXPECT_EQ(clips[0].rate, 24);
    EXPECT_EQ(clips[1].name, "Walk");
    EXPECT_EQ(clips[1].first, 4u);
    EXPECT_EQ(clips[1].count, 8u);
    EXPECT_EQ(clips[1].rate, 12.5);
    EXPECT_EQ(clips[2].name, "Still");
    EXPECT_EQ(clips[2].first, 0u);
    EXPECT_EQ(clips[2].rate, 24); // a rate that is none is the default
}

} // namespace
} // namespace meshfold
