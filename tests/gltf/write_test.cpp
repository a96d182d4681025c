#include "meshfold/game/format.h"
#include "meshfold/gltf/gltf_common.h"
#include "meshfold/gltf/write/gltf_write.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <array>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

namespace meshfold {
namespace {

// ---- the glTF writer, without files ----

TEST(GltfWrite, PositionsUseEveryBitOfEachFieldInGltfAxes) {
    struct Case {
        bool deusEx;
        std::array<std::uint8_t, 8> bytes;
        std::array<float, 3> xyz; // glTF: (X, Z, Y)
    };
    // Packed: X bits 0-10, Y 11-21, Z 22-31, two's complement, / 8, / 8, / 4.
    const Case cases[] = {
        {false, {0x00, 0x00, 0x00, 0x00}, {0, 0, 0}},
        {false, {0xFF, 0xFF, 0xFF, 0xFF}, {-0.125f, -0.25f, -0.125f}},
        {false, {0x00, 0xFC, 0x1F, 0x80}, {-128, -128, 127.875f}},  // X -1024, Y 1023, Z -512
        {false, {0xFF, 0x03, 0xE0, 0x7F}, {127.875f, 127.75f, -128}}, // X 1023, Y -1024, Z 511
        {false, {0x01, 0x00, 0x00, 0x00}, {0.125f, 0, 0}},
        {false, {0x00, 0x00, 0x40, 0x00}, {0, 0.25f, 0}},            // Z's lowest bit
        {true, {0x00, 0x80, 0xFF, 0x7F, 0x01, 0x00, 0x00, 0x00}, {-128, 1 / 256.0f, 127.99609375f}},
        {true, {0x00, 0x01, 0x00, 0xFF, 0x80, 0x00, 0x00, 0x00}, {1, 0.5f, -1}},
    };
    for (const Case& c : cases) {
        std::array<float, 3> xyz{};
        gltfPositions(c.deusEx, c.bytes.data(), 1, xyz.data());
        EXPECT_EQ(xyz, c.xyz) << int(c.bytes[0]) << " " << int(c.bytes[3]);
    }
}

// A data file of `verts` vertices and the given triangles (corners, texture
// bytes of corner 0), texture 0, type 0.
std::vector<std::uint8_t> gltfDataFile(std::uint16_t verts,
                                       const std::vector<std::array<std::uint16_t, 4>>& tris) {
    std::vector<std::uint8_t> d(kDataHeaderSize + tris.size() * kTriangleRecordSize, 0);
    writeLe16(d.data(), static_cast<std::uint16_t>(tris.size()));
    writeLe16(d.data() + 2, verts);
    for (std::size_t i = 0; i < tris.size(); ++i) {
        std::uint8_t* r = d.data() + kDataHeaderSize + i * kTriangleRecordSize;
        for (int c = 0; c < 3; ++c) {
            writeLe16(r + 2 * c, tris[i][c]);
        }
        r[kTriUvOffset] = static_cast<std::uint8_t>(tris[i][3]);
    }
    return d;
}

// Plans and writes a mesh whose every vertex is 0, `frames` frames of it.
std::vector<std::uint8_t> writeAll(GltfPlan& plan, std::uint32_t frames) {
    const std::vector<std::uint8_t> zeros(gltfFrameVertexBytes(plan), 0);
    for (std::uint32_t k = 0; k < frames; ++k) {
        scanGltfFrame(plan, zeros);
    }
    plan.source.frames = frames;
    std::vector<std::uint8_t> file;
    GltfOut out;
    out.sink = [&file](const std::uint8_t* b, std::size_t n) {
        file.insert(file.end(), b, b + n);
        return true;
    };
    EXPECT_TRUE(writeGltfHead(plan, out));
    for (std::uint32_t k = 0; k < frames; ++k) {
        EXPECT_TRUE(writeGltfFrame(plan, zeros, k, out));
    }
    EXPECT_TRUE(flushGltf(out));
    EXPECT_EQ(file.size(), gltfFileSize(plan)); // the size known before writing is the size
    EXPECT_EQ(out.written, file.size());
    return file;
}

// The file's JSON text, as its chunk header gives its length.
std::string jsonOf(const std::vector<std::uint8_t>& file) {
    return std::string(file.begin() + 20, file.begin() + 20 + readLe32(file.data() + 12));
}

TEST(GltfWrite, SizesKnownBeforehandAndIndicesWideEnoughForTheVertexList) {
    struct Case {
        std::uint16_t verts;
        std::vector<std::array<std::uint16_t, 4>> tris;
        std::size_t gltfVertices;
        const char* indexType; // componentType of the index accessor
    };
    const Case cases[] = {
        {3, {{0, 1, 2, 0}}, 3, "\"componentType\":5123"},
        {3, {{0, 1, 2, 0}, {0, 1, 2, 7}}, 4, "\"componentType\":5123"},   // vertex 0 again, other U
        {65534, {{0, 1, 2, 0}}, 65534, "\"componentType\":5123"},        // top index 65533
        {65534, {{0, 1, 2, 0}, {0, 1, 2, 1}}, 65535, "\"componentType\":5125"}, // 65534 would be fine,
        {65535, {{0, 1, 65534, 0}}, 65535, "\"componentType\":5125"},    // but uint16 stops short of 0xFFFF
    };
    for (const Case& c : cases) {
        const std::vector<std::uint8_t> data = gltfDataFile(c.verts, c.tris);
        GltfSource s;
        s.name = "T";
        s.data = data;
        GltfPlan plan = planGltf(s);
        EXPECT_EQ(plan.layout.vertexOf.size(), c.gltfVertices);
        for (std::uint32_t frames : {1u, 3u}) {
            const std::vector<std::uint8_t> file = writeAll(plan, frames);
            const std::string json = jsonOf(file);
            const std::size_t length = gltfJsonLength(plan);
            plan.bounds.clear();
            // Padded with spaces to a multiple of 4.
            EXPECT_EQ(json.size(), (length + 3) / 4 * 4) << c.verts;
            EXPECT_EQ(json.find_last_not_of(' '), length - 1);
            EXPECT_NE(json.find(c.indexType), std::string::npos) << c.verts;
            EXPECT_EQ(json.find("\"animations\"") != std::string::npos, frames > 1);
        }
    }
}

TEST(GltfWrite, TrianglesGltfCannotHoldStayInTheExtras) {
    // Every corner index at or past the vertex count: the vertices alone,
    // as points, and every record kept whole.
    const std::vector<std::uint8_t> data = gltfDataFile(2, {{0, 1, 2, 0}, {5, 0, 1, 0}});
    GltfSource s;
    s.name = "T\"\\\x01\xff";
    s.data = data;
    GltfPlan plan = planGltf(s);
    EXPECT_TRUE(plan.layout.indices.empty());
    EXPECT_EQ(plan.layout.looseTriangles,
              std::vector<std::uint8_t>(data.begin() + kDataHeaderSize, data.end()));
    const std::string json = jsonOf(writeAll(plan, 2));
    EXPECT_NE(json.find("\"mode\":0"), std::string::npos);
    EXPECT_EQ(json.find("\"materials\""), std::string::npos);
    EXPECT_NE(json.find("\"triangles\":\"ffff0000ffff0000\""), std::string::npos);
    // A name is escaped, and a byte that is no UTF-8 becomes U+FFFD.
    EXPECT_NE(json.find("\"name\":\"T\\\"\\\\\\u0001\\ufffd\""), std::string::npos) << json;
}

TEST(GltfWrite, AMaterialIsDoubleSidedByItsPolygonTypeNotItsTextureNumber) {
    struct Case {
        std::uint8_t texture, type;
        const char* name;
        bool doubleSided;
    };
    const Case cases[] = {
        {1, 0x00, "001_NORMAL_T", false},
        {0, 0x01, "000_2SIDED_T", true},
        {3, 0x03, "003_MASKED_T", true},
        {2, 0x08, "002_WEAPONTRI_T", false},
        {8, 0x12, "008_TRANSLUCENT_UNLIT_T", true},
    };
    std::vector<std::array<std::uint16_t, 4>> tris(std::size(cases), {0, 1, 2, 0});
    std::vector<std::uint8_t> data = gltfDataFile(3, tris);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        std::uint8_t* r = data.data() + kDataHeaderSize + i * kTriangleRecordSize;
        r[kTriAttr0Offset] = cases[i].type;
        r[kTriAttr2Offset] = cases[i].texture;
    }
    GltfSource s;
    s.name = "T";
    s.data = data;
    GltfPlan plan = planGltf(s);
    const std::string json = jsonOf(writeAll(plan, 1));
    const nlohmann::json materials = nlohmann::json::parse(json)["materials"];
    ASSERT_EQ(materials.size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(materials[i]["name"], cases[i].name);
        EXPECT_EQ(materials[i].value("doubleSided", false), cases[i].doubleSided) << cases[i].name;
    }
}

TEST(GltfWrite, ASinkThatRefusesStopsTheWriting) {
    const std::vector<std::uint8_t> data = gltfDataFile(3, {{0, 1, 2, 0}});
    GltfSource s;
    s.data = data;
    GltfPlan plan = planGltf(s);
    const std::vector<std::uint8_t> zeros(gltfFrameVertexBytes(plan), 0);
    scanGltfFrame(plan, zeros);
    int calls = 0;
    GltfOut out;
    out.sink = [&calls](const std::uint8_t*, std::size_t) { return ++calls < 0; };
    EXPECT_TRUE(writeGltfHead(plan, out)); // still buffered
    EXPECT_FALSE(flushGltf(out));
    EXPECT_FALSE(writeGltfFrame(plan, zeros, 0, out));
    EXPECT_FALSE(flushGltf(out));
    EXPECT_EQ(calls, 1);
}

// How a material shows its texture: the file's colours, index 0 cut out
// where masked (by the import's flags or the polygon type) and the file has
// a palette, translucent polygons as bright as they are opaque.
TEST(GltfWrite, TexturesKeepTheirColoursAndTakeTheAlphaOfTheirPolygons) {
    struct Case {
        std::uint8_t type;
        std::uint32_t flags;
        bool paletted;
        GltfAlpha alpha;
        std::array<std::uint8_t, 3> alphas; // of the three pixels below
    };
    const Case cases[] = {
        {0, 0, true, GltfAlpha::Opaque, {255, 255, 255}},
        {0x80, 2, true, GltfAlpha::Mask, {0, 255, 255}},    // FLAGS=2
        {3, 0, true, GltfAlpha::Mask, {0, 255, 255}},       // the masked type
        {0x13, 0, false, GltfAlpha::Opaque, {255, 255, 255}}, // no palette, nothing to mask
        {2, 0, true, GltfAlpha::Blend, {16, 200, 0}},       // translucent: the brightest channel
        {0x12, 2, true, GltfAlpha::Blend, {0, 200, 0}},     // and masked
        {1, 1, true, GltfAlpha::Opaque, {255, 255, 255}},   // other flags do not mask
    };
    Image image{3, 1, {16, 8, 4, 9, 200, 100, 50, 7, 0, 0, 0, 0}, {0, 5, 6}, {}};
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.type));
        Image source = image;
        if (!c.paletted) {
            source.indices.clear();
        }
        const bool zero = gltfMasksIndexZero(c.type, c.flags, c.paletted);
        EXPECT_EQ(gltfAlphaOf(c.type, zero), c.alpha);
        const std::vector<std::uint8_t> rgba = gltfTexturePixels(source, c.alpha, zero);
        ASSERT_EQ(rgba.size(), image.rgba.size());
        for (std::size_t p = 0; p < 3; ++p) {
            for (std::size_t k = 0; k < 3; ++k) {
                EXPECT_EQ(rgba[4 * p + k], image.rgba[4 * p + k]);
            }
            EXPECT_EQ(rgba[4 * p + 3], c.alphas[p]) << p;
        }
    }
}

// The PNG of a texture decodes to exactly the pixels the material shows:
// paletted where the image has a palette (with the alpha in tRNS), RGBA
// where it has none or where an index does not stand for one colour.
TEST(GltfWrite, ATexturesPngHoldsExactlyItsPixels) {
    Image paletted{5, 3, {}, {}, {}};
    for (std::uint8_t i = 0; i < 15; ++i) {
        const std::uint8_t k = static_cast<std::uint8_t>(i % 4 == 0 ? 0 : 250 - i % 3);
        paletted.indices.push_back(k);
        paletted.rgba.insert(paletted.rgba.end(), {k, static_cast<std::uint8_t>(k / 2), 7, 255});
    }
    Image rgb = paletted;
    rgb.indices.clear();
    Image inconsistent = paletted;
    inconsistent.rgba[4] = 1; // pixel 1 has index 249 but another colour than pixel 10
    for (const Image* image : {&paletted, &rgb, &inconsistent}) {
        for (const GltfAlpha alpha : {GltfAlpha::Opaque, GltfAlpha::Mask, GltfAlpha::Blend}) {
            const bool zero = alpha == GltfAlpha::Mask && !image->indices.empty();
            const GltfImage made = gltfTextureImage(*image, alpha, zero);
            const std::vector<std::uint8_t>& png = made.png;
            ASSERT_GT(png.size(), 8u);
            EXPECT_EQ(png[25], image == &paletted ? 3 : 6); // IHDR colour type: palette, or RGBA
            const ImageDecoded back = decodeImage(png);
            ASSERT_EQ(back.failure, "");
            EXPECT_EQ(back.image.width, 5u);
            EXPECT_EQ(back.image.rgba, gltfTexturePixels(*image, alpha, zero)) << int(alpha);
        }
    }
    EXPECT_TRUE(encodePalettedPng(2, 2, std::vector<std::uint8_t>(3, 0), std::vector<std::uint8_t>(4, 0)).empty());
}

// Images lie in the binary chunk before the positions, each padded to 4
// bytes; one glTF texture per image and sampler; only textured materials
// change.
TEST(GltfWrite, ImagesGoIntoTheBinaryChunkAndTheirMaterialsShowThem) {
    std::vector<std::uint8_t> data = gltfDataFile(4, {{0, 1, 2, 0}, {1, 2, 3, 0}, {0, 2, 3, 0}, {0, 1, 3, 0}});
    const std::uint8_t slotAndType[4][2] = {{1, 0x12}, {1, 0x80}, {2, 0}, {1, 0}};
    for (std::size_t i = 0; i < 4; ++i) {
        data[kDataHeaderSize + i * kTriangleRecordSize + 14] = slotAndType[i][0];
        data[kDataHeaderSize + i * kTriangleRecordSize + 6] = slotAndType[i][1];
    }
    GltfSource s;
    s.name = "T";
    s.data = data;
    s.textures = {{1, "Skin", "Textures\\Skin.pcx", "Skins", 2}, {2, "Game.Hands", {}, {}, 0}};
    GltfPlan plan = planGltf(s);
    ASSERT_EQ(plan.layout.materials.size(), 4u);
    const std::vector<std::uint8_t> blend = {1, 2, 3, 4, 5};
    const std::vector<std::uint8_t> mask = {9, 8, 7, 6};
    // The first as an RGBA PNG's, its pixels' check kept by its material.
    plan.images = {{"Skin", blend, "00112233aabbccdd"}, {"Skin", mask, {}}};
    plan.layout.materials[0].image = 0;
    plan.layout.materials[0].alpha = GltfAlpha::Blend;
    plan.layout.materials[1].image = 1;
    plan.layout.materials[1].alpha = GltfAlpha::Mask;
    plan.layout.materials[3].image = 1;
    plan.layout.materials[3].alpha = GltfAlpha::Mask;
    const std::vector<std::uint8_t> file = writeAll(plan, 2);
    const nlohmann::json j = nlohmann::json::parse(jsonOf(file));
    EXPECT_EQ(j["extensionsUsed"], nlohmann::json::parse(R"(["KHR_materials_unlit"])"));
    const nlohmann::json& m = j["materials"];
    EXPECT_EQ(m[0]["pbrMetallicRoughness"]["baseColorTexture"]["index"], 0);
    EXPECT_EQ(m[0]["alphaMode"], "BLEND");
    EXPECT_TRUE(m[0]["extensions"].contains("KHR_materials_unlit"));
    EXPECT_EQ(m[1]["pbrMetallicRoughness"]["baseColorTexture"]["index"], 1);
    EXPECT_EQ(m[1]["alphaMode"], "MASK");
    EXPECT_FALSE(m[1].contains("extensions"));
    EXPECT_EQ(m[3]["pbrMetallicRoughness"]["baseColorTexture"]["index"], 2);
    EXPECT_FALSE(m[2]["pbrMetallicRoughness"].contains("baseColorTexture"));
    EXPECT_FALSE(m[2].contains("alphaMode"));
    EXPECT_EQ(m[0]["extras"]["meshfold"],
              nlohmann::json::parse(R"({"texture":1,"type":18,"textureName":"Skin",
                  "textureFile":"Textures\\Skin.pcx","textureGroup":"Skins","textureFlags":2,
                  "textureCheck":"00112233aabbccdd"})"));
    EXPECT_FALSE(m[1]["extras"]["meshfold"].contains("textureCheck"));
    EXPECT_EQ(m[2]["extras"]["meshfold"],
              nlohmann::json::parse(R"({"texture":2,"type":0,"textureName":"Game.Hands"})"));
    // Texture (image, sampler): (0, linear), (1, nearest), (1, linear).
    EXPECT_EQ(j["textures"], nlohmann::json::parse(R"([{"sampler":0,"source":0},{"sampler":1,"source":1},
                                                       {"sampler":0,"source":1}])"));
    EXPECT_EQ(j["samplers"], nlohmann::json::parse(R"([{"magFilter":9729,"minFilter":9987},
                                                       {"magFilter":9728,"minFilter":9728}])"));
    // Each image's bytes where its view says, the next view 4-aligned.
    const std::size_t bin = 20 + readLe32(file.data() + 12) + 8;
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(j["images"][i]["mimeType"], "image/png");
        const nlohmann::json& view = j["bufferViews"][j["images"][i]["bufferView"].get<std::size_t>()];
        const std::size_t at = bin + view["byteOffset"].get<std::size_t>();
        EXPECT_EQ(std::vector<std::uint8_t>(file.begin() + at, file.begin() + at + view["byteLength"].get<std::size_t>()),
                  plan.images[i].png);
    }
    EXPECT_EQ(j["bufferViews"][2]["byteOffset"].get<std::size_t>() % 4, 0u); // the positions
    EXPECT_EQ(j["bufferViews"][2]["byteOffset"].get<std::size_t>(),
              j["bufferViews"][j["images"][1]["bufferView"].get<std::size_t>()]["byteOffset"].get<std::size_t>() + 4);
}

} // namespace
} // namespace meshfold
