#include "meshfold/bridge/game_mesh.h"
#include "meshfold/bridge/game_texture.h"
#include "meshfold/game/format.h"
#include "meshfold/gltf/gltf_common.h"
#include "meshfold/gltf/read/gltf_read.h"
#include "meshfold/image/image.h"
#include "gltf_builder.h"
#include "reference_image.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
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

// --- textures: a model's images brought in as game textures

// An image of w x h pixels, each colour from its position; alpha 0 in the
// left half when `holed`.
Image testImage(std::uint32_t w, std::uint32_t h, bool holed = false) {
    Image img{w, h, std::vector<std::uint8_t>(std::size_t{w} * h * 4), {}, {}};
    std::uint8_t* p = img.rgba.data();
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x, p += 4) {
            p[0] = static_cast<std::uint8_t>(x * 255 / std::max(w - 1, 1u));
            p[1] = static_cast<std::uint8_t>(y * 255 / std::max(h - 1, 1u));
            p[2] = 90;
            p[3] = holed && x < w / 2 ? 0 : 255;
        }
    }
    return img;
}

std::string base64(const std::vector<std::uint8_t>& bytes) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 3; ++k) {
            v = v << 8 | (k < n ? bytes[i + k] : 0);
        }
        for (std::size_t k = 0; k < 4; ++k) {
            out += k <= n ? digits[(v >> (18 - 6 * k)) & 63] : '=';
        }
    }
    return out;
}

// A quad with a second texture coordinate set, its materials and images
// given as JSON.
struct TexturedQuad {
    Quad q;
    int uv1;
    TexturedQuad() { uv1 = q.g.floats({0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f}, "VEC2", 2); }
    std::vector<std::uint8_t> file(const std::string& materials, const std::string& images,
                                   const std::string& primitives = "") {
        const std::string attrs = "{\"POSITION\":" + std::to_string(q.pos) + ",\"TEXCOORD_0\":" +
                                  std::to_string(q.uv) + ",\"TEXCOORD_1\":" + std::to_string(uv1) + "}";
        const std::string prims = primitives.empty()
                                      ? "{\"attributes\":" + attrs + ",\"indices\":" + std::to_string(q.idx) +
                                            ",\"material\":0}"
                                      : primitives;
        std::string rest = ",\"scene\":0,\"scenes\":[{\"nodes\":[0]}],\"nodes\":[{\"mesh\":0}],\"meshes\":[{"
                           "\"primitives\":[" + prims + "]}],\"materials\":[" + materials + "]";
        if (!images.empty()) {
            rest += ",\"images\":[" + images + "],\"textures\":[{\"source\":0},{\"source\":1}]";
        }
        return q.g.file(rest);
    }
    std::string attributes() const {
        return "{\"POSITION\":" + std::to_string(q.pos) + ",\"TEXCOORD_0\":" + std::to_string(q.uv) +
               ",\"TEXCOORD_1\":" + std::to_string(uv1) + "}";
    }
};

std::string material(const std::string& name, int texture, const std::string& more = "") {
    return "{\"name\":\"" + name + "\",\"pbrMetallicRoughness\":{\"baseColorTexture\":{\"index\":" +
           std::to_string(texture) + "}" + more + "}";
}

TEST(GltfTextures, EachWayOfHoldingAnImageGivesTheSameTexture) {
    const Image img = testImage(8, 4);
    const std::vector<std::uint8_t> png = encodePng(img);
    struct Case {
        const char* what;
        std::string image; // "" for a buffer view
    };
    const Case cases[] = {
        {"buffer view", ""},
        {"data URI", "{\"uri\":\"data:image/png;base64," + base64(png) + "\"}"},
        {"file beside", "{\"uri\":\"skins/Bot%20skin.png\"}"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TexturedQuad t;
        const std::string image = c.image.empty() ? "{\"bufferView\":" + std::to_string(t.q.g.view(png)) +
                                                        ",\"mimeType\":\"image/png\"}"
                                                  : c.image;
        const GltfResources files = [&png](const std::string& path, std::vector<std::uint8_t>& bytes) {
            bytes = png;
            return path == "skins/Bot skin.png";
        };
        const GltfRead r = readGltf(t.file(material("Skin", 0) + "}", image + "," + image), files, 30);
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        ASSERT_EQ(r.textures.size(), 1u) << (r.warnings.empty() ? "" : r.warnings.back());
        EXPECT_EQ(r.textures[0].number, 0);
        EXPECT_EQ(r.textures[0].image.rgba, img.rgba);
        EXPECT_FALSE(r.textures[0].masked);
        std::vector<std::string> warnings;
        const std::vector<GameTexture> g = gameTextures(r, "Bot", 256, warnings);
        ASSERT_EQ(g.size(), 1u);
        EXPECT_EQ(g[0].fileName, "BotTex0.pcx");
        EXPECT_EQ(g[0].flags, 0u);
        // 32 colours: kept exactly, read back by the tests' own decoder.
        const test::ReferenceImage back = test::referenceDecode(g[0].pcx);
        ASSERT_TRUE(back.ok) << back.why;
        EXPECT_EQ(back.width, 8u);
        EXPECT_EQ(back.height, 4u);
        EXPECT_EQ(back.rgba, img.rgba);
        const GameMesh m = buildGameMesh(r, {false, false}, "Bot.glb");
        const std::string uc = importScript("Bot", r, m, false, 1, g);
        EXPECT_NE(uc.find("#exec TEXTURE IMPORT NAME=BotTex0 FILE=Textures\\BotTex0.pcx GROUP=Skins\n"),
                  std::string::npos) << uc;
        EXPECT_NE(uc.find("\n#exec MESHMAP SETTEXTURE MESHMAP=Bot NUM=0 TEXTURE=BotTex0\n"), std::string::npos);
    }
}

TEST(GltfTextures, MaterialsDecideFactorUvSetMaskAndPolygonType) {
    const Image holed = testImage(16, 16, true);
    struct Case {
        const char* what;
        std::string material;
        bool masked;
        std::uint8_t type;   // of the quad's triangles
        std::uint8_t u;      // of the first corner
        bool warned;         // about the texture coordinate set
        std::uint8_t red;    // of the last pixel
    };
    const Case cases[] = {
        {"plain", material("Skin", 0), false, 0, 0, false, 255},
        {"factor", material("Skin", 0, ",\"baseColorFactor\":[0.5,1,1,1]"), false, 0, 0, false, 128},
        {"set 1", "{\"name\":\"Skin\",\"pbrMetallicRoughness\":{\"baseColorTexture\":{\"index\":0,\"texCoord\":1}}}",
         false, 0, 128, false, 255},
        {"set 5", "{\"name\":\"Skin\",\"pbrMetallicRoughness\":{\"baseColorTexture\":{\"index\":0,\"texCoord\":5}}}",
         false, 0, 0, true, 255},
        {"mask", material("Skin", 0) + ",\"alphaMode\":\"MASK\"}", true, kPolyTypeMasked, 0, false, 255},
        {"blend", material("Skin", 0) + ",\"alphaMode\":\"BLEND\"}", true, kPolyTypeMasked, 0, false, 255},
        {"mask, named", material("002_2SIDED_Skin", 0) + ",\"alphaMode\":\"MASK\"}", true, kPolyTypeTwoSided, 0,
         false, 255},
        {"mask, named normal", material("002_NORMAL", 0) + ",\"alphaMode\":\"MASK\"}", true, 0, 0, false, 255},
        {"mask, named unlit: masked and unlit", material("004_UNLIT_Skin", 0) + ",\"alphaMode\":\"MASK\"}", true,
         kPolyTypeMasked | kPolyFlagUnlit, 0, false, 255},
        {"double sided", material("Skin", 0) + ",\"doubleSided\":true}", false, kPolyTypeTwoSided, 0, false, 255},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TexturedQuad t;
        std::string mat = c.material;
        if (mat.back() != '}' || std::count(mat.begin(), mat.end(), '{') != std::count(mat.begin(), mat.end(), '}')) {
            mat += "}";
        }
        const std::string image = "{\"bufferView\":" + std::to_string(t.q.g.view(encodePng(holed))) + "}";
        const GltfRead r = read(t.file(mat, image + "," + image));
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        ASSERT_EQ(r.textures.size(), 1u);
        EXPECT_EQ(r.textures[0].masked, c.masked);
        EXPECT_EQ(r.triangles[0].attr[0], c.type);
        EXPECT_EQ(r.triangles[0].u[0], c.u);
        EXPECT_EQ(std::any_of(r.warnings.begin(), r.warnings.end(),
                              [](const std::string& w) { return w.find("texture coordinate set 5") != std::string::npos; }),
                  c.warned);
        EXPECT_EQ(r.textures[0].image.rgba[r.textures[0].image.rgba.size() - 4], c.red);
        std::vector<std::string> warnings;
        const std::vector<GameTexture> g = gameTextures(r, "Bot", 256, warnings);
        ASSERT_EQ(g.size(), 1u);
        EXPECT_EQ(g[0].flags, c.masked ? kTextureFlagMasked : 0u);
        const test::ReferenceImage back = test::referenceDecode(g[0].pcx);
        ASSERT_TRUE(back.ok) << back.why;
        // Masked: index 0 exactly where the image hides, nowhere else; an
        // opaque material's alpha means nothing.
        for (std::size_t i = 0; c.masked && i < back.indices.size(); ++i) {
            ASSERT_EQ(back.indices[i] == 0, i % 16 < 8) << i;
        }
        if (!c.masked) { // the colour under alpha 0 shows: 256 colours kept exactly
            EXPECT_EQ(back.rgba[16 * 4 + 1], 17);
        }
    }
}

TEST(GltfTextures, BadImagesWarnAndTheMeshStillImports) {
    const std::vector<std::uint8_t> webp = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'E', 'B', 'P'};
    std::vector<std::uint8_t> damaged = encodePng(testImage(4, 4));
    damaged.resize(damaged.size() / 2);
    for (const auto& [what, bytes] : std::map<std::string, std::vector<std::uint8_t>>{
             {"webp", webp}, {"damaged", damaged}, {"empty", {}}}) {
        SCOPED_TRACE(what);
        TexturedQuad t;
        const std::string image = "{\"bufferView\":" + std::to_string(t.q.g.view(bytes)) + "}";
        const GltfRead r = read(t.file(material("Skin", 0) + "}", image + "," + image));
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        EXPECT_TRUE(r.textures.empty());
        EXPECT_TRUE(std::any_of(r.warnings.begin(), r.warnings.end(), [](const std::string& w) {
            return w.find("the texture of Skin cannot be read") != std::string::npos;
        }));
        const GameMesh m = buildGameMesh(r, {false, false}, "Bot.glb");
        std::vector<std::string> warnings;
        const std::string uc = importScript("Bot", r, m, false, 1, gameTextures(r, "Bot", 256, warnings));
        EXPECT_NE(uc.find("// #exec MESHMAP SETTEXTURE MESHMAP=Bot NUM=0 TEXTURE=BotTex0"), std::string::npos);
        EXPECT_EQ(uc.find("TEXTURE IMPORT"), std::string::npos);
    }
    // An image above 16384 on a side is refused from its header alone.
    std::vector<std::uint8_t> huge = encodePng(testImage(1, 1));
    // IHDR's width (big-endian, bytes 16-19) made 16385.
    huge[16] = 0;
    huge[17] = 0;
    huge[18] = 0x40;
    huge[19] = 0x01;
    TexturedQuad t;
    const std::string image = "{\"bufferView\":" + std::to_string(t.q.g.view(huge)) + "}";
    const GltfRead r = read(t.file(material("Skin", 0) + "}", image + "," + image));
    EXPECT_TRUE(r.textures.empty());
    EXPECT_TRUE(std::any_of(r.warnings.begin(), r.warnings.end(), [](const std::string& w) {
        return w.find("16385") != std::string::npos;
    })) << (r.warnings.empty() ? "" : r.warnings.back());
}

TEST(GltfTextures, TwoImagesOnOneNumberKeepTheFirstWithOneWarning) {
    TexturedQuad t;
    const std::string a = "{\"bufferView\":" + std::to_string(t.q.g.view(encodePng(testImage(4, 4)))) + "}";
    const std::string b = "{\"bufferView\":" + std::to_string(t.q.g.view(encodePng(testImage(2, 2)))) + "}";
    const std::string prim = "{\"attributes\":" + t.attributes() + ",\"indices\":" + std::to_string(t.q.idx);
    const GltfRead r = read(t.file(material("003_A", 0) + "}," + material("003_B", 1) + "}", a + "," + b,
                                   prim + ",\"material\":0}," + prim + ",\"material\":1}," + prim + ",\"material\":1}"));
    ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
    ASSERT_EQ(r.textures.size(), 1u);
    EXPECT_EQ(r.textures[0].number, 3);
    EXPECT_EQ(r.textures[0].image.width, 4u);
    EXPECT_EQ(std::count_if(r.warnings.begin(), r.warnings.end(),
                            [](const std::string& w) { return w.find("different images") != std::string::npos; }),
              1);
}

TEST(GltfTextures, SizesArePowersOfTwoWithinTheCap) {
    struct Case {
        std::uint32_t w, h, cap, outW, outH;
    };
    const Case cases[] = {{1000, 600, 256, 256, 256}, {1000, 600, 1024, 512, 512}, {300, 20, 64, 64, 16},
                          {5, 3, 256, 4, 2}, {16, 16, 1, 1, 1}};
    for (const Case& c : cases) {
        GltfRead r;
        r.textures.push_back({1, "Skin", testImage(c.w, c.h), false, 0.5, "", "", "", 0});
        std::vector<std::string> warnings;
        const std::vector<GameTexture> g = gameTextures(r, "Bot", c.cap, warnings);
        ASSERT_EQ(g.size(), 1u);
        const ImageDecoded back = decodeImage(g[0].pcx);
        EXPECT_EQ(back.image.width, c.outW) << c.w << "x" << c.h << " cap " << c.cap;
        EXPECT_EQ(back.image.height, c.outH);
        EXPECT_LE(g[0].colours, 256u);
    }
}

TEST(GltfTextures, AWrittenTextureComesBackUnderItsOwnNameAndPalette) {
    // An 8-bit texture as --to-gltf --uc embeds it: a paletted PNG whose
    // palette repeats a colour, and extras naming it.
    Image img{4, 2, {}, {0, 1, 2, 3, 3, 2, 1, 5}, {}};
    const std::vector<std::uint8_t> palette = {10, 20, 30, 0, 40, 50, 60, 255, 10, 20, 30, 255,
                                               70, 80, 90, 255, 0, 0, 0, 0, 1, 2, 3, 255};
    const std::vector<std::uint8_t> png = encodePalettedPng(4, 2, img.indices, palette);
    ImageDecoded d = decodeImage(png);
    ASSERT_TRUE(d.failure.empty());
    ASSERT_TRUE(recoverPngPalette(png, d.image));
    EXPECT_EQ(d.image.indices, img.indices);
    EXPECT_EQ(d.image.palette.size(), 18u);
    Image rgbaOnly = d.image;
    rgbaOnly.indices.clear();
    EXPECT_FALSE(recoverPngPalette(encodePng(rgbaOnly), rgbaOnly));
    for (const bool edited : {false, true}) {
        SCOPED_TRACE(edited);
        TexturedQuad t;
        const std::string image =
            "{\"bufferView\":" + std::to_string(t.q.g.view(edited ? encodePng(rgbaOnly) : png)) + "}";
        const std::string extras = ",\"alphaMode\":\"MASK\",\"extras\":{\"meshfold\":{\"texture\":0,\"type\":0,"
                                   "\"textureName\":\"X7PR2\",\"textureFile\":\"Textures\\\\Sign.bmp\","
                                   "\"textureGroup\":\"Signs\",\"textureFlags\":6}}}";
        const GltfRead r = read(t.file(material("000_NORMAL_Bot", 0) + extras, image + "," + image));
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        std::vector<std::string> warnings;
        const std::vector<GameTexture> g = gameTextures(r, "Bot", 256, warnings);
        ASSERT_EQ(g.size(), 1u);
        EXPECT_EQ(g[0].name, edited ? "BotTex0" : "X7PR2");
        EXPECT_EQ(g[0].scriptFile, edited ? "Textures\\BotTex0.pcx" : "Textures\\Sign.pcx");
        EXPECT_EQ(g[0].flags, edited ? kTextureFlagMasked : 6u);
        const test::ReferenceImage back = test::referenceDecode(g[0].pcx);
        ASSERT_TRUE(back.ok);
        if (!edited) {
            EXPECT_EQ(back.indices, img.indices); // index 2 stays 2, not the first entry of its colour
            EXPECT_TRUE(std::equal(d.image.palette.begin(), d.image.palette.end(), back.palette.begin()));
            const GameMesh m = buildGameMesh(r, {false, false}, "Bot.glb");
            EXPECT_NE(importScript("Bot", r, m, false, 1, g)
                          .find("#exec TEXTURE IMPORT NAME=X7PR2 FILE=Textures\\Sign.pcx GROUP=Signs FLAGS=6\n"),
                      std::string::npos);
        }
    }
}

// A texture as --to-gltf --uc embeds it comes back at its own size, under
// its own name, group and flags, whatever --texture-size caps new images at:
// an 8-bit one with its indices and palette (its sides made powers of two
// where they are not), a true-colour one (an RGBA PNG whose pixels its
// extras' check describes) with its colours exactly while it has at most
// 256; an image whose pixels no longer match its check is a new image.
TEST(GltfTextures, WrittenTexturesComeBackAtTheirSizeUnderTheirNames) {
    struct Case {
        const char* what;
        std::uint32_t width, height;
        bool paletted;
        std::uint32_t colours;  // distinct colours of a true-colour image
        bool checked;           // its check matches its pixels
        std::uint32_t outWidth, outHeight;
        bool noise = false;     // indices that do not compress: a PNG of stored blocks
    };
    const Case cases[] = {
        {"8-bit, 512 x 512", 512, 512, true, 0, true, 512, 512},
        {"8-bit, 1024 x 256", 1024, 256, true, 0, true, 1024, 256},
        {"8-bit, 64 x 48: both sides powers of two", 64, 48, true, 0, true, 64, 32},
        {"8-bit, 48 x 64", 48, 64, true, 0, true, 32, 64},
        {"8-bit noise, 256 x 256: more than 64 KiB of rows stored", 256, 256, true, 0, true, 256, 256, true},
        {"24-bit, 64 x 64, two colours", 64, 64, false, 2, true, 64, 64},
        {"24-bit, 512 x 256, 256 colours", 512, 256, false, 256, true, 512, 256},
        {"24-bit, edited since", 64, 64, false, 2, false, 16, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image img{c.width, c.height, {}, {}, {}};
        std::vector<std::uint8_t> palette; // four bytes a colour
        for (unsigned k = 0; k < 256; ++k) {
            palette.insert(palette.end(), {static_cast<std::uint8_t>(k), static_cast<std::uint8_t>(k * 7),
                                           static_cast<std::uint8_t>(255 - k), 255});
        }
        std::uint32_t seed = 7;
        for (std::uint32_t p = 0; p < c.width * c.height; ++p) {
            seed = seed * 1103515245u + 12345u;
            const std::uint32_t pattern = c.noise ? seed >> 23 : p / 3 + p / c.width;
            const std::uint8_t k = static_cast<std::uint8_t>(pattern % (c.paletted ? 256 : c.colours));
            img.indices.push_back(k);
            img.rgba.insert(img.rgba.end(), palette.begin() + 4 * k, palette.begin() + 4 * k + 4);
        }
        const std::vector<std::uint8_t> png = c.paletted ? encodePalettedPng(c.width, c.height, img.indices, palette)
                                                         : encodePng(Image{c.width, c.height, img.rgba, {}, {}});
        Image other = img;
        other.rgba[0] ^= 1;
        const std::string check = c.paletted ? ""
                                  : ",\"textureCheck\":\"" +
                                        gltfPixelsCheck(c.width, c.height, c.checked ? img.rgba : other.rgba) + "\"";
        TexturedQuad t;
        const std::string image = "{\"bufferView\":" + std::to_string(t.q.g.view(png)) + "}";
        const std::string extras = ",\"extras\":{\"meshfold\":{\"texture\":0,\"type\":0,"
                                   "\"textureName\":\"DogTags\",\"textureFile\":\"Textures\\\\DogTags\\\\DogTags.bmp\","
                                   "\"textureGroup\":\"DogTags\",\"textureFlags\":2" + check + "}}}";
        const GltfRead r = read(t.file(material("000_NORMAL_Tags", 0) + extras, image + "," + image));
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        std::vector<std::string> warnings;
        const std::vector<GameTexture> g = gameTextures(r, "Tags", 16, warnings);
        ASSERT_EQ(g.size(), 1u);
        const bool own = c.paletted || c.checked;
        EXPECT_EQ(g[0].name, own ? "DogTags" : "TagsTex0");
        EXPECT_EQ(g[0].scriptFile, own ? "Textures\\DogTags\\DogTags.pcx" : "Textures\\TagsTex0.pcx");
        EXPECT_EQ(g[0].group, own ? "DogTags" : "Skins");
        EXPECT_EQ(g[0].flags, own ? kTextureFlagMasked : 0u);
        const test::ReferenceImage back = test::referenceDecode(g[0].pcx);
        ASSERT_TRUE(back.ok) << back.why;
        EXPECT_EQ(back.width, c.outWidth);
        EXPECT_EQ(back.height, c.outHeight);
        if (own && c.outWidth == c.width && c.outHeight == c.height) {
            EXPECT_EQ(back.rgba, img.rgba); // every colour kept
            if (c.paletted) {
                EXPECT_EQ(back.indices, img.indices);
            }
        }
    }
}

// A 2 x 1 RGBA image of the two pixels given, four bytes each.
Image twoPixels(std::array<std::uint8_t, 4> a, std::array<std::uint8_t, 4> b) {
    Image img{2, 1, {}, {}, {}};
    img.rgba = {a[0], a[1], a[2], a[3], b[0], b[1], b[2], b[3]};
    return img;
}

// What a material's alpha mode hides of its image, and how the pixels it
// keeps are weighed: an opaque material's alpha means nothing (the hidden
// colour counts when the image is resized); MASK hides what is below its
// own alphaCutoff; BLEND masks only where some pixel is below half alpha.
TEST(GltfTextures, AlphaModesDecideWhatIsHiddenAndWhatIsWeighed) {
    struct Case {
        const char* what;
        std::string material;
        Image image;
        std::uint32_t cap;
        bool masked;                // FLAGS=2 and the masked polygon type
        std::vector<bool> hidden;   // of the texture's pixels: index 0
    };
    const std::array<std::uint8_t, 4> red0 = {255, 0, 0, 0};
    const std::array<std::uint8_t, 4> blue = {0, 0, 255, 255};
    const std::array<std::uint8_t, 4> grey = {40, 50, 60, 255};
    const Case cases[] = {
        {"opaque: both colours weigh in a resize", material("Skin", 0) + "}", twoPixels(red0, blue), 1, false,
         {false}},
        {"mask, cutoff 0.25: alpha 100 shows", material("Skin", 0) + ",\"alphaMode\":\"MASK\",\"alphaCutoff\":0.25}",
         twoPixels({10, 20, 30, 100}, grey), 256, true, {false, false}},
        {"mask, cutoff 0.5: alpha 100 is hidden", material("Skin", 0) + ",\"alphaMode\":\"MASK\"}",
         twoPixels({10, 20, 30, 100}, grey), 256, true, {true, false}},
        {"blend, lowest alpha 128: not masked", material("Skin", 0) + ",\"alphaMode\":\"BLEND\"}",
         twoPixels({10, 20, 30, 128}, grey), 256, false, {false, false}},
        {"blend, lowest alpha 127: masked", material("Skin", 0) + ",\"alphaMode\":\"BLEND\"}",
         twoPixels({10, 20, 30, 127}, grey), 256, true, {true, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TexturedQuad t;
        const std::string image = "{\"bufferView\":" + std::to_string(t.q.g.view(encodePng(c.image))) + "}";
        const GltfRead r = read(t.file(c.material, image + "," + image));
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        EXPECT_EQ(r.triangles[0].attr[0], c.masked ? kPolyTypeMasked : 0);
        std::vector<std::string> warnings;
        const std::vector<GameTexture> g = gameTextures(r, "Bot", c.cap, warnings);
        ASSERT_EQ(g.size(), 1u);
        EXPECT_EQ(g[0].flags, c.masked ? kTextureFlagMasked : 0u);
        const test::ReferenceImage back = test::referenceDecode(g[0].pcx);
        ASSERT_TRUE(back.ok) << back.why;
        ASSERT_EQ(back.indices.size(), c.hidden.size());
        for (std::size_t i = 0; i < c.hidden.size(); ++i) {
            EXPECT_EQ(c.masked && back.indices[i] == 0, c.hidden[i]) << i;
            if (!c.hidden[i] && c.hidden.size() == 2) { // shown pixels keep their colour
                EXPECT_TRUE(std::equal(back.rgba.begin() + 4 * i, back.rgba.begin() + 4 * i + 3,
                                       c.image.rgba.begin() + 4 * i)) << i;
            }
        }
        if (c.cap == 1) { // red under alpha 0 and blue, their mean in linear light
            EXPECT_GT(back.rgba[0], 150);
            EXPECT_EQ(back.rgba[1], 0);
            EXPECT_GT(back.rgba[2], 150);
        }
    }
}

// Two materials on one texture number, the first masked: the polygons of
// both are masked, the number being one texture of the game. The first
// material on a number decides, as it decides the number's image.
TEST(GltfTextures, EveryMaterialOfAMaskedNumberIsMasked) {
    TexturedQuad t;
    const std::string a = "{\"bufferView\":" + std::to_string(t.q.g.view(encodePng(testImage(4, 4, true)))) + "}";
    const std::string prim = "{\"attributes\":" + t.attributes() + ",\"indices\":" + std::to_string(t.q.idx);
    for (const bool maskedFirst : {true, false}) {
        SCOPED_TRACE(maskedFirst ? "the masked material first: both masked" : "a plain one first: neither");
        const std::string masked = material("003_A", 0) + ",\"alphaMode\":\"MASK\"}";
        const std::string plain = material("003_B", 0) + "}";
        const GltfRead r = read(t.file(maskedFirst ? masked + "," + plain : plain + "," + masked, a + "," + a,
                                       prim + ",\"material\":0}," + prim + ",\"material\":1}"));
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        ASSERT_EQ(r.triangles.size(), 4u);
        for (const GltfTriangle& tri : r.triangles) {
            EXPECT_EQ(tri.attr[0], maskedFirst ? kPolyTypeMasked : 0);
        }
    }
}

// Texture numbers whose extras name one texture share it: one file, one
// import line, a SETTEXTURE line for each number.
TEST(GltfTextures, NumbersSharingATextureImportItOnce) {
    const Image img = testImage(4, 2);
    Image indexed = img;
    std::vector<std::uint8_t> palette;
    for (std::uint32_t p = 0; p < 8; ++p) {
        indexed.indices.push_back(static_cast<std::uint8_t>(p));
        palette.insert(palette.end(), img.rgba.begin() + 4 * p, img.rgba.begin() + 4 * p + 4);
    }
    TexturedQuad t;
    const std::string image =
        "{\"bufferView\":" + std::to_string(t.q.g.view(encodePalettedPng(4, 2, indexed.indices, palette))) + "}";
    const auto named = [](int number) {
        return material("00" + std::to_string(number) + "_NORMAL_Bot", 0) +
               ",\"extras\":{\"meshfold\":{\"texture\":" + std::to_string(number) +
               ",\"type\":0,\"textureName\":\"X7PR2\",\"textureFile\":\"Textures\\\\X7PR2.pcx\","
               "\"textureFlags\":0}}}";
    };
    const std::string prim = "{\"attributes\":" + t.attributes() + ",\"indices\":" + std::to_string(t.q.idx);
    const GltfRead r = read(t.file(named(0) + "," + named(2), image + "," + image,
                                   prim + ",\"material\":0}," + prim + ",\"material\":1}"));
    ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
    std::vector<std::string> warnings;
    const std::vector<GameTexture> g = gameTextures(r, "Bot", 256, warnings);
    ASSERT_EQ(g.size(), 2u);
    EXPECT_FALSE(g[0].sameAsEarlier);
    EXPECT_TRUE(g[1].sameAsEarlier);
    EXPECT_TRUE(g[1].pcx.empty()); // written once
    const GameMesh m = buildGameMesh(r, {false, false}, "Bot.glb");
    const std::string uc = importScript("Bot", r, m, false, 1, g);
    const auto count = [&uc](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = uc.find(what); at != std::string::npos; at = uc.find(what, at + 1)) {
            ++n;
        }
        return n;
    };
    EXPECT_EQ(count("#exec TEXTURE IMPORT "), 1u) << uc;
    EXPECT_EQ(count("#exec TEXTURE IMPORT NAME=X7PR2 FILE=Textures\\X7PR2.pcx\n"), 1u) << uc;
    EXPECT_EQ(count("#exec MESHMAP SETTEXTURE "), 2u) << uc;
    EXPECT_EQ(count("\n#exec MESHMAP SETTEXTURE MESHMAP=Bot NUM=0 TEXTURE=X7PR2\n"), 1u) << uc;
    EXPECT_EQ(count("\n#exec MESHMAP SETTEXTURE MESHMAP=Bot NUM=2 TEXTURE=X7PR2\n"), 1u) << uc;
}

// A texture whose file has no plain base name (spaces, no name before the
// extension, letters outside ASCII) comes back under a new name, as a file
// the engine's importer takes; one with a plain one keeps it.
TEST(GltfTextures, AWrittenTextureWithoutAPlainFileNameComesBackUnderANewOne) {
    Image img{2, 1, {}, {0, 1}, {}};
    const std::vector<std::uint8_t> palette = {10, 20, 30, 255, 40, 50, 60, 255};
    const std::vector<std::uint8_t> png = encodePalettedPng(2, 1, img.indices, palette);
    struct Case {
        const char* file; // as the extras keep FILE=, JSON-escaped
        const char* fileName;
        const char* scriptFile;
    };
    const Case cases[] = {
        {"Textures\\\\Sign.bmp", "Sign.pcx", "Textures\\Sign.pcx"},
        {"Textures\\\\My Skin.pcx", "BotTex0.pcx", "Textures\\BotTex0.pcx"},
        {"Textures\\\\.pcx", "BotTex0.pcx", "Textures\\BotTex0.pcx"},
        {"Textures/\\u00dcber.pcx", "BotTex0.pcx", "Textures\\BotTex0.pcx"},
        {"Textures\\\\", "BotTex0.pcx", "Textures\\BotTex0.pcx"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        TexturedQuad t;
        const std::string image = "{\"bufferView\":" + std::to_string(t.q.g.view(png)) + "}";
        const std::string extras = std::string(",\"extras\":{\"meshfold\":{\"texture\":0,\"type\":0,"
                                               "\"textureName\":\"Skin\",\"textureFile\":\"") +
                                   c.file + "\",\"textureFlags\":0}}}";
        const GltfRead r = read(t.file(material("000_NORMAL_Bot", 0) + extras, image + "," + image));
        ASSERT_EQ(r.failure.problem, GltfProblem::None) << r.failure.detail;
        std::vector<std::string> warnings;
        const std::vector<GameTexture> g = gameTextures(r, "Bot", 256, warnings);
        ASSERT_EQ(g.size(), 1u);
        EXPECT_EQ(g[0].fileName, c.fileName);
        EXPECT_EQ(g[0].scriptFile, c.scriptFile);
        EXPECT_EQ(g[0].name, std::string(c.fileName) == "Sign.pcx" ? "Skin" : "BotTex0");
    }
}

} // namespace
} // namespace meshfold
