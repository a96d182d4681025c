// The package reader on every real package of ../shared/corpus-ue1, and the meshes whose source
// files lie beside them checked against those sources: vertices of every frame, triangles with
// their coordinates, texture numbers and polygon types, and the scripts' import lines.
#include "meshfold/image/block_decode.h"
#include "meshfold/game/script.h"
#include "meshfold/package/inventory.h"
#include "meshfold/package/package.h"
#include "meshfold/package/polygon_flags.h"
#include "corpus_sources.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <vector>

namespace meshfold::package {
namespace {

using namespace corpus;

using test::Bytes;
namespace fs = std::filesystem;

std::vector<fs::path> corpusPackages() {
    std::vector<fs::path> out;
    const fs::path dir = test::corpusUe1Dir();
    if (dir.empty()) {
        return out;
    }
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() && e.path().extension() == ".u") {
            out.push_back(e.path());
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

#define SKIP_WITHOUT_CORPUS()                                                                      \
    if (test::corpusUe1Dir().empty()) {                                                            \
        GTEST_SKIP() << "no real packages at ../shared/corpus-ue1 beside the repository";          \
    }

struct Loaded {
    Bytes bytes;
    Package package;
};

Loaded load(const fs::path& file) {
    Loaded l;
    l.bytes = test::readFile(file);
    PackageRead r = readPackage(l.bytes, file.stem().string());
    EXPECT_FALSE(r.failure) << file << " kind " << static_cast<int>(r.failure->kind);
    if (r.package) {
        l.package = std::move(*r.package);
        l.package.bytes = l.bytes; // the vector moved into place keeps its buffer
    }
    return l;
}

std::size_t countKind(const Package& p, ObjectKind kind) {
    std::size_t n = 0;
    for (std::size_t i = 0; i < p.exports.size(); ++i) {
        n += objectKindOf(p, i) == kind ? 1 : 0;
    }
    return n;
}

image::PixelLayout layoutOf(PixelFormat f) {
    switch (f) {
    case PixelFormat::Dxt1: return image::PixelLayout::Bc1;
    case PixelFormat::Bc2: return image::PixelLayout::Bc2;
    case PixelFormat::Bc3: return image::PixelLayout::Bc3;
    case PixelFormat::Rgb8: return image::PixelLayout::Rgb8;
    case PixelFormat::Rgba8: return image::PixelLayout::Bgra8;
    default: return image::PixelLayout::P8;
    }
}

TEST(PackageCorpus, EveryMeshTextureAndPaletteReadsToItsEnd) {
    SKIP_WITHOUT_CORPUS();
    const std::vector<fs::path> files = corpusPackages();
    ASSERT_EQ(files.size(), 7u);
    std::size_t objects = 0;
    for (const fs::path& f : files) {
        SCOPED_TRACE(f.filename().string());
        const Loaded l = load(f);
        const Package& p = l.package;
        const Contents c = readContents(p);
        // Only C4's two skeletal meshes are refused, by name.
        for (const Failure& x : c.failures) {
            EXPECT_EQ(x.kind, FailureKind::NotAVertexMesh) << x.object;
            EXPECT_EQ(x.detail, "SkeletalMesh");
        }
        EXPECT_EQ(c.failures.size(), f.stem() == "C4" ? 2u : 0u);
        EXPECT_EQ(c.meshes.size(), countKind(p, ObjectKind::Mesh));
        EXPECT_EQ(c.textures.size(), countKind(p, ObjectKind::Texture));
        EXPECT_EQ(c.palettes.size(), countKind(p, ObjectKind::Palette));
        EXPECT_TRUE(c.warnings.empty());
        objects += c.meshes.size() + c.textures.size() + c.palettes.size();
        // Every mip of every texture decodes, P8 ones through their palette.
        for (const Texture& t : c.textures) {
            const Palette* pal = paletteOf(c, t);
            ASSERT_EQ(pal == nullptr, t.format == PixelFormat::P8 ? false : true) << t.fullName;
            ASSERT_FALSE(t.mips.empty()) << t.fullName;
            EXPECT_EQ(t.mips[0].width, t.uSize);
            EXPECT_EQ(t.mips[0].height, t.vSize);
            for (const auto* list : {&t.mips, &t.compMips}) {
                const PixelFormat format = list == &t.mips ? t.format : t.compFormat;
                for (const Mip& m : *list) {
                    std::vector<std::uint8_t> rgba;
                    ASSERT_EQ(image::decodePixels(layoutOf(format), m.pixels,
                                                  static_cast<std::uint32_t>(m.width),
                                                  static_cast<std::uint32_t>(m.height), rgba,
                                                  pal ? std::span<const std::uint8_t>(pal->rgba)
                                                      : std::span<const std::uint8_t>{},
                                                  t.surface.masked),
                              image::BlockDecodeResult::Ok)
                        << t.fullName;
                }
            }
        }
        for (const Mesh& m : c.meshes) {
            const TrianglesRead t = rebuildTriangles(m);
            EXPECT_TRUE(t.warnings.empty()) << m.fullName;
            EXPECT_EQ(m.frameBoxes.size(), static_cast<std::size_t>(m.frameCount));
        }
    }
    EXPECT_EQ(objects, 81u + 271 + 257) << "meshes, textures, palettes";
}

TEST(PackageCorpus, DeusExMeshesHaveEightByteVertices) {
    SKIP_WITHOUT_CORPUS();
    const Loaded l = load(test::corpusUe1Dir() / "deusexhq_partystuff/System/Endemia.u");
    const Contents c = readContents(l.package);
    ASSERT_EQ(c.meshes.size(), 53u);
    std::vector<std::string> padded;
    for (const Mesh& m : c.meshes) {
        EXPECT_EQ(m.form, VertexForm::Wide) << m.name;
        bool pad = false;
        for (std::uint32_t k = 0; k < static_cast<std::uint32_t>(m.frameVerts); ++k) {
            const std::uint32_t word = vertexValues(m, 0, k).word;
            EXPECT_TRUE(word == 0 || word == 1471) << m.name;
            pad = pad || word != 0;
        }
        if (pad) {
            padded.push_back(m.name);
        }
    }
    // The junk pad word of some real meshes (ignored: an `_a.3d` gets 0).
    EXPECT_EQ(padded, (std::vector<std::string>{"TechCrate1", "TrashCan5"}));
    for (const char* other : {"1337GameDev_Ut99Mods/System/HeadHunter.u",
                              "OldUnreal_UnrealTournamentPatches/System/relics.u"}) {
        const Loaded o = load(test::corpusUe1Dir() / other);
        for (const Mesh& m : readContents(o.package).meshes) {
            EXPECT_EQ(m.form, VertexForm::Packed) << m.name;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// The meshes against their source files (corpus_sources.h reads them).

void expectSameMesh(const Mesh& m, const SourceMesh& s, bool sameOrder) {
    ASSERT_EQ(static_cast<std::uint32_t>(m.frameCount), s.frames);
    ASSERT_EQ(static_cast<std::uint32_t>(m.frameVerts), s.verts);
    std::vector<std::uint32_t> stored;
    for (std::uint32_t f = 0; f < s.frames; ++f) {
        for (std::uint32_t k = 0; k < s.verts; ++k) {
            stored.push_back(vertexValues(m, f, k).word);
        }
    }
    VertexKeys keys;
    for (std::uint32_t k = 0; k < s.verts; ++k) {
        keys.source.push_back(sameOrder ? k : trajectory(s.words, s.verts, s.frames, k));
        keys.stored.push_back(sameOrder ? k : trajectory(stored, s.verts, s.frames, k));
    }
    if (sameOrder) {
        EXPECT_EQ(stored, s.words) << "every vertex of every frame, in the source's order";
    } else {
        std::vector<std::uint64_t> a = keys.source, b = keys.stored;
        std::sort(a.begin(), a.end());
        std::sort(b.begin(), b.end());
        EXPECT_EQ(a, b) << "the same vertices over all frames, in some order";
    }
    std::vector<TriKey> expected, got;
    for (const SourceMesh::Tri& t : s.tris) {
        const bool weapon = (t.type & 0x0F) == kWeaponTypeByte;
        std::array<Corner, 3> c;
        for (std::size_t k = 0; k < 3; ++k) {
            c[k] = weapon ? Corner{keys.source[t.v[k]], 0, 0}
                          : Corner{keys.source[t.v[k]], t.uv[2 * k], t.uv[2 * k + 1]};
        }
        expected.push_back(triKey(c, weapon ? -1 : t.texture, t.type));
    }
    for (const Triangle& t : rebuildTriangles(m).triangles) {
        std::array<Corner, 3> c;
        for (std::size_t k = 0; k < 3; ++k) {
            c[k] = Corner{keys.stored[t.corner[k]], t.u[k], t.v[k]};
        }
        // A weapon triangle of a LodMesh keeps no texture number.
        const bool none = !t.hasCoordinates;
        got.push_back(triKey(c, none ? -1 : t.textureNumber, t.typeByte));
    }
    std::sort(expected.begin(), expected.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "the same triangles, corners, coordinates, texture numbers "
                                    "and polygon types";
}

// ---------------------------------------------------------------------------------------------
// The `#exec` lines of a script, word by word.

struct ExecLine {
    std::string command; // the first two words, upper case: "MESH SEQUENCE"
    std::map<std::string, std::string> keys; // upper-case keys
};

std::string upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

std::vector<ExecLine> execLines(const fs::path& script) {
    const Bytes raw = test::readFile(script);
    const std::string text = withoutComments(std::string(raw.begin(), raw.end()));
    std::vector<ExecLine> out;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(at, end - at);
        at = end + 1;
        std::vector<std::string> words;
        std::string word;
        bool quoted = false;
        for (char ch : line) {
            if (ch == '"') {
                quoted = !quoted;
            } else if (!quoted && std::isspace(static_cast<unsigned char>(ch))) {
                if (!word.empty()) {
                    words.push_back(word);
                }
                word.clear();
            } else {
                word.push_back(ch);
            }
        }
        if (!word.empty()) {
            words.push_back(word);
        }
        if (words.size() < 3 || upper(words[0]) != "#EXEC") {
            continue;
        }
        ExecLine l;
        l.command = upper(words[1]) + " " + upper(words[2]);
        for (std::size_t i = 3; i < words.size(); ++i) {
            const std::size_t eq = words[i].find('=');
            if (eq != std::string::npos) {
                l.keys[upper(words[i].substr(0, eq))] = words[i].substr(eq + 1);
            }
        }
        out.push_back(l);
    }
    return out;
}

bool forMesh(const ExecLine& l, const std::string& mesh) {
    for (const char* key : {"MESH", "MESHMAP"}) {
        const auto it = l.keys.find(key);
        if (it != l.keys.end()) {
            return sameName(it->second, mesh);
        }
    }
    return false;
}

double number(const ExecLine& l, const char* key, double fallback = 0) {
    const auto it = l.keys.find(key);
    return it == l.keys.end() ? fallback : std::stod(it->second);
}

void expectScriptAgrees(const Package& p, const Mesh& m, const std::vector<ExecLine>& lines) {
    std::size_t sequences = 0, slots = 0;
    bool scaled = false;
    for (const ExecLine& l : lines) {
        if (!forMesh(l, m.name)) {
            continue;
        }
        if (l.command == "MESHMAP SCALE") {
            scaled = true;
            EXPECT_FLOAT_EQ(m.scale.x, static_cast<float>(number(l, "X")));
            EXPECT_FLOAT_EQ(m.scale.y, static_cast<float>(number(l, "Y")));
            EXPECT_FLOAT_EQ(m.scale.z, static_cast<float>(number(l, "Z")));
        } else if (l.command == "MESH ORIGIN") {
            EXPECT_FLOAT_EQ(m.origin.x, static_cast<float>(number(l, "X")));
            EXPECT_FLOAT_EQ(m.origin.y, static_cast<float>(number(l, "Y")));
            EXPECT_FLOAT_EQ(m.origin.z, static_cast<float>(number(l, "Z")));
            EXPECT_EQ(m.rotation.yaw, static_cast<std::int32_t>(number(l, "YAW") * kExecRotationScale));
            EXPECT_EQ(m.rotation.pitch,
                      static_cast<std::int32_t>(number(l, "PITCH") * kExecRotationScale));
            EXPECT_EQ(m.rotation.roll, static_cast<std::int32_t>(number(l, "ROLL") * kExecRotationScale));
        } else if (l.command == "MESH SEQUENCE") {
            ++sequences;
            const auto seq = std::find_if(m.sequences.begin(), m.sequences.end(),
                                          [&](const Sequence& s) {
                                              return sameName(nameAt(p, s.name), l.keys.at("SEQ"));
                                          });
            ASSERT_NE(seq, m.sequences.end()) << l.keys.at("SEQ");
            EXPECT_EQ(seq->startFrame, static_cast<std::int32_t>(number(l, "STARTFRAME")));
            EXPECT_EQ(seq->frameCount, static_cast<std::int32_t>(number(l, "NUMFRAMES")));
            EXPECT_FLOAT_EQ(seq->rate, static_cast<float>(number(l, "RATE", 30)));
            const auto group = l.keys.find("GROUP");
            EXPECT_TRUE(sameName(nameAt(p, seq->group),
                                 group == l.keys.end() ? std::string("None") : group->second));
        } else if (l.command == "MESHMAP SETTEXTURE") {
            ++slots;
            const auto num = static_cast<std::size_t>(number(l, "NUM"));
            ASSERT_LT(num, m.textures.size());
            const ObjectLink& link = m.textures[num];
            EXPECT_EQ(link.kind, ObjectLink::Kind::Export);
            EXPECT_TRUE(sameName(objectName(p, link.ref), l.keys.at("TEXTURE"))) << link.fullName;
            EXPECT_EQ(link.className, "Texture");
        } else if (l.command == "MESH LODPARAMS") {
            EXPECT_FLOAT_EQ(m.lodData->lodStrength, static_cast<float>(number(l, "STRENGTH", 1)));
        }
    }
    EXPECT_TRUE(scaled) << "a MESHMAP SCALE line";
    if (sequences > 0) {
        EXPECT_EQ(m.sequences.size(), sequences);
    }
    EXPECT_GT(slots, 0u);
}


TEST(PackageCorpus, MeshesEqualTheirSourceFilesAndScripts) {
    SKIP_WITHOUT_CORPUS();
    const fs::path dir = test::corpusUe1Dir();
    std::map<std::string, Loaded> packages;
    std::size_t checked = 0, remapped = 0, scripts = 0;
    for (const Sourced& s : sourcedMeshes()) {
        SCOPED_TRACE(s.mesh);
        if (!packages.count(s.package)) {
            packages.emplace(s.package, load(dir / s.package));
        }
        const Loaded& l = packages.at(s.package);
        const Contents c = readContents(l.package);
        const auto m = std::find_if(c.meshes.begin(), c.meshes.end(),
                                    [&](const Mesh& x) { return sameName(x.name, s.mesh); });
        ASSERT_NE(m, c.meshes.end());
        remapped += m->lodData && !m->lodData->remapAnimVerts.empty() ? 1 : 0;
        expectSameMesh(*m, readSource(dir / s.source), s.sameOrder);
        ++checked;
        if (*s.script != '\0') {
            expectScriptAgrees(l.package, *m, execLines(dir / s.script));
            ++scripts;
        }
    }
    EXPECT_EQ(checked, 22u);
    EXPECT_EQ(remapped, 20u);
    EXPECT_EQ(scripts, 22u);
}

// Each real object with its bytes cut at every length (and one byte longer): refused by name.
TEST(PackageCorpus, EveryCutOfARealObjectIsRefusedByName) {
    SKIP_WITHOUT_CORPUS();
    struct Cut {
        const char* package;
        const char* object;
        ObjectKind kind;
    };
    const Cut cuts[] = {
        {"SnakieJakie_Jazz-Jackrabbit-3D-Archive/Builds/227/System/JazzDecoration.u", "crabgrass1",
         ObjectKind::Mesh},
        {"deusexhq_partystuff/System/Endemia.u", "BoardBoxSmall", ObjectKind::Mesh},
        {"OldUnreal_UnrealTournamentPatches/System/relics.u", "RelicHourglass", ObjectKind::Mesh},
        {"1337GameDev_Ut99Mods/System/KillConfirmed.u", "DogTagsRed", ObjectKind::Texture},
        {"1337GameDev_Ut99Mods/System/KillConfirmed.u", "DogTagsRed", ObjectKind::Texture},
    };
    std::size_t refusals = 0;
    for (std::size_t n = 0; n < std::size(cuts); ++n) {
        const Cut& c = cuts[n];
        SCOPED_TRACE(c.object);
        const Loaded l = load(test::corpusUe1Dir() / c.package);
        const Package& p = l.package;
        std::size_t i = p.exports.size();
        for (std::size_t k = 0; k < p.exports.size(); ++k) {
            if (objectKindOf(p, k) == c.kind && sameName(objectName(p, exportRef(k)), c.object)) {
                i = k;
            }
        }
        ASSERT_LT(i, p.exports.size());
        if (n == 4) { // the texture's palette
            const TextureRead t = readTexture(p, i);
            ASSERT_TRUE(t.texture);
            i = t.texture->palette.exportIndex;
        }
        const std::uint32_t size = p.exports[i].serialSize;
        const std::string name = fullName(p, exportRef(i));
        for (std::uint32_t cut = 0; cut <= size + 1; ++cut) {
            if (cut == size) {
                continue;
            }
            Package shorter = p;
            shorter.exports[i].serialSize = cut;
            const Contents contents = readContents(shorter);
            ASSERT_EQ(contents.failures.size(), 1u) << cut;
            EXPECT_EQ(contents.failures[0].object, name);
            ++refusals;
        }
    }
    EXPECT_GT(refusals, 1000u);
}

TEST(PackageCorpus, JazzKeepsItsWeaponTriangleAsASpecialFace) {
    SKIP_WITHOUT_CORPUS();
    const Loaded l =
        load(test::corpusUe1Dir() / "SnakieJakie_Jazz-Jackrabbit-3D-Archive/Builds/227/System/Jazz3.u");
    const Contents c = readContents(l.package);
    ASSERT_EQ(c.meshes.size(), 1u);
    const TrianglesRead t = rebuildTriangles(c.meshes[0]);
    ASSERT_EQ(t.triangles.size(), 753u);
    const Triangle& w = t.triangles.back();
    EXPECT_EQ(w.typeByte, kWeaponTypeByte);
    EXPECT_FALSE(w.hasCoordinates);
    EXPECT_EQ(w.corner, (std::array<std::uint32_t, 3>{514, 515, 513})) << "through the remap";
}

} // namespace
} // namespace meshfold::package
