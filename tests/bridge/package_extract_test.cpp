// A compiled package's meshes and textures as a package folder's files: on the real packages of
// ../shared/corpus-ue1 (each mesh against its source files and scripts, against meshfold's own
// conversion of its files, and every texture against its stored pixels), and on records built
// here for the limits, the names and the lines.
#include "meshfold/bridge/package_extract.h"

#include "../package/corpus_sources.h"
#include "meshfold/common/ascii.h"
#include "meshfold/game/format.h"
#include "meshfold/game/memory_run.h"
#include "meshfold/game/script.h"
#include "meshfold/image/image.h"
#include "meshfold/package/inventory.h"
#include "support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <deque>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace meshfold {
namespace {

namespace fs = std::filesystem;
namespace corpus = package::corpus;
using package::Contents;
using package::Mesh;
using test::Bytes;

#define SKIP_WITHOUT_CORPUS()                                                                      \
    if (test::corpusUe1Dir().empty()) {                                                            \
        GTEST_SKIP() << "no real packages at ../shared/corpus-ue1 beside the repository";          \
    }

// A real package read, its bytes kept alive for the records' spans.
struct Loaded {
    Bytes bytes;
    package::Package package;
    Contents contents;
};

const Loaded& load(const std::string& relative) {
    static std::map<std::string, Loaded> cache;
    auto it = cache.find(relative);
    if (it == cache.end()) {
        Loaded& l = cache[relative];
        l.bytes = test::readFile(test::corpusUe1Dir() / relative);
        package::PackageRead r = package::readPackage(l.bytes, fs::path(relative).stem().string());
        EXPECT_TRUE(r.package) << relative;
        if (r.package) {
            l.package = std::move(*r.package);
            l.contents = package::readContents(l.package);
        }
        return l;
    }
    return it->second;
}

const char* const kPackages[] = {
    "1337GameDev_Ut99Mods/System/C4.u",
    "1337GameDev_Ut99Mods/System/HeadHunter.u",
    "1337GameDev_Ut99Mods/System/KillConfirmed.u",
    "OldUnreal_UnrealTournamentPatches/System/relics.u",
    "SnakieJakie_Jazz-Jackrabbit-3D-Archive/Builds/227/System/Jazz3.u",
    "SnakieJakie_Jazz-Jackrabbit-3D-Archive/Builds/227/System/JazzDecoration.u",
    "deusexhq_partystuff/System/Endemia.u",
};
const char* const kEndemia = "deusexhq_partystuff/System/Endemia.u";

const Mesh& meshNamed(const Contents& c, const std::string& name) {
    const auto it = std::find_if(c.meshes.begin(), c.meshes.end(),
                                 [&](const Mesh& m) { return package::sameName(m.name, name); });
    EXPECT_NE(it, c.meshes.end()) << name;
    return *it;
}

PackageExtractOptions options(bool unreal, bool hiRes = false, bool ms = false) {
    PackageExtractOptions o;
    o.unreal = unreal;
    o.mode = ConvertMode{ms, hiRes};
    return o;
}

ExtractedMesh extract(const Loaded& l, const Mesh& m, const PackageExtractOptions& o) {
    return extractMesh(l.package, m, extractTextures(l.package, l.contents), o);
}

RunOptions runOptions(bool toUnreal, bool hiRes, bool ms) {
    RunOptions r = test::meshOptions(ms, hiRes);
    r.toUnreal = toUnreal;
    return r;
}

// ---------------------------------------------------------------------------------------------
// The lines of a script, word by word, for the keys meshfold's reader has no record for.

std::map<std::string, std::string> execKeys(const std::string& script, const std::string& command,
                                            const std::string& mesh) {
    std::istringstream in(withoutComments(script));
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string exec, a, b, w;
        words >> exec >> a >> b;
        std::map<std::string, std::string> keys;
        while (words >> w) {
            const std::size_t eq = w.find('=');
            if (eq != std::string::npos) {
                std::string key = w.substr(0, eq);
                std::transform(key.begin(), key.end(), key.begin(), [](char c) { return static_cast<char>(std::toupper(c)); });
                keys[key] = w.substr(eq + 1);
            }
        }
        const std::string target = keys.count("MESH") ? keys["MESH"] : keys["MESHMAP"];
        if (equalsIgnoringAsciiCase(a + " " + b, command) && equalsIgnoringAsciiCase(target, mesh)) {
            return keys;
        }
    }
    return {};
}

double key(const std::map<std::string, std::string>& keys, const char* k, double fallback = 0) {
    const auto it = keys.find(k);
    return it == keys.end() ? fallback : std::strtod(it->second.c_str(), nullptr);
}

// ---------------------------------------------------------------------------------------------
// The files written, read back.

std::string hexOf(const Bytes& b) {
    std::string s;
    for (const std::uint8_t x : b) {
        s += "0123456789abcdef"[x >> 4];
        s += "0123456789abcdef"[x & 15];
    }
    return s;
}

std::uint16_t le16(const std::vector<std::uint8_t>& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::vector<std::uint32_t> packedWords(const ExtractedMesh& e) {
    std::vector<std::uint32_t> words;
    for (std::size_t at = kAnimHeaderSize; at + 4 <= e.anim.size(); at += 4) {
        words.push_back(readLe32(e.anim.data() + at));
    }
    return words;
}

// The triangles of a data file as comparable keys, corners through `key`; the weapon triangle
// (which a package keeps without coordinates or texture number) by its corners and type alone.
std::vector<corpus::TriKey> triangleKeys(const std::vector<std::uint8_t>& data,
                                         const std::vector<std::uint64_t>& keyOf) {
    std::vector<corpus::TriKey> out;
    for (std::size_t i = 0; i < le16(data, 0); ++i) {
        const TriangleRecord r = decodeTriangle(data.data() + kDataHeaderSize + i * kTriangleRecordSize);
        const bool weapon = (r.attr0 & 0x0F) == package::kWeaponTypeByte;
        std::array<corpus::Corner, 3> c;
        for (std::size_t k = 0; k < 3; ++k) {
            c[k] = weapon ? corpus::Corner{keyOf[r.vertex[k]], 0, 0} : corpus::Corner{keyOf[r.vertex[k]], r.u[k], r.v[k]};
        }
        out.push_back(corpus::triKey(c, weapon ? -1 : r.attr2, r.attr0));
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Each vertex's key: its index where the orders agree, else its words over every frame.
std::vector<std::uint64_t> vertexKeys(const std::vector<std::uint32_t>& words, std::uint32_t verts,
                                      std::uint32_t frames, bool sameOrder) {
    std::vector<std::uint64_t> keys;
    for (std::uint32_t k = 0; k < verts; ++k) {
        keys.push_back(sameOrder ? k : corpus::trajectory(words, verts, frames, k));
    }
    return keys;
}

// ---------------------------------------------------------------------------------------------
// Each UT99 and 1999 mesh whose source files are in the corpus.

TEST(PackageExtractCorpus, MeshesComeOutAsTheirSourceFiles) {
    SKIP_WITHOUT_CORPUS();
    std::size_t meshes = 0;
    for (const corpus::Sourced& s : corpus::sourcedMeshes()) {
        SCOPED_TRACE(s.mesh);
        const Loaded& l = load(s.package);
        const Mesh& m = meshNamed(l.contents, s.mesh);
        const corpus::SourceMesh src = corpus::readSource(test::corpusUe1Dir() / s.source);
        const Bytes srcAnim = test::readFile(test::corpusUe1Dir() / (std::string(s.source) + "_a.3d"));
        const Bytes srcData = test::readFile(test::corpusUe1Dir() / (std::string(s.source) + "_d.3d"));

        // The Unreal form: the source's words and triangles, through the package's vertex order.
        const ExtractedMesh u = extract(l, m, options(true));
        ASSERT_EQ(u.failure.stop, Stop::None);
        ASSERT_EQ(le16(u.anim, 0), src.frames);
        ASSERT_EQ(le16(u.anim, 2), 4 * src.verts);
        const std::vector<std::uint32_t> words = packedWords(u);
        const std::vector<std::uint64_t> keys = vertexKeys(words, src.verts, src.frames, s.sameOrder);
        const std::vector<std::uint64_t> srcKeys = vertexKeys(src.words, src.verts, src.frames, s.sameOrder);
        if (s.sameOrder) {
            EXPECT_EQ(words, src.words);
        } else {
            std::vector<std::uint64_t> a = keys, b = srcKeys;
            std::sort(a.begin(), a.end());
            std::sort(b.begin(), b.end());
            EXPECT_EQ(a, b) << "every vertex of every frame, in the package's order";
        }
        EXPECT_TRUE(triangleKeys(u.data, keys) == triangleKeys(srcData, srcKeys))
            << "corners, coordinates, texture numbers, polygon types and flags";

        // The Deus Ex form: what meshfold makes of the source's `_a.3d`, vertex for vertex.
        std::map<std::uint64_t, std::uint32_t> storedIndex;
        for (std::uint32_t k = 0; k < src.verts; ++k) {
            storedIndex.emplace(keys[k], k);
        }
        for (const bool hiRes : {false, true}) {
            const ExtractedMesh d = extract(l, m, options(false, hiRes));
            const MemoryRun run = runInMemory(runOptions(false, hiRes, false), srcAnim, srcData);
            ASSERT_EQ(d.failure.stop, Stop::None);
            ASSERT_EQ(run.failure.stop, Stop::None);
            ASSERT_EQ(d.anim.size(), run.anim.size());
            EXPECT_TRUE(std::equal(d.anim.begin(), d.anim.begin() + kAnimHeaderSize, run.anim.begin()));
            std::size_t differ = 0;
            for (std::uint32_t f = 0; f < src.frames; ++f) {
                for (std::uint32_t k = 0; k < src.verts; ++k) {
                    const std::size_t want = kAnimHeaderSize + (std::size_t{f} * src.verts + k) * 8;
                    const std::size_t got = kAnimHeaderSize + (std::size_t{f} * src.verts + storedIndex.at(srcKeys[k])) * 8;
                    differ += std::equal(run.anim.begin() + static_cast<std::ptrdiff_t>(want),
                                         run.anim.begin() + static_cast<std::ptrdiff_t>(want + 8),
                                         d.anim.begin() + static_cast<std::ptrdiff_t>(got)) ? 0 : 1;
                }
            }
            EXPECT_EQ(differ, 0u) << (hiRes ? "hi-res" : "normal");
        }
        ++meshes;
    }
    EXPECT_EQ(meshes, 22u);
}

TEST(PackageExtractCorpus, LinesCarryTheSourceScriptsScaleOriginSequencesAndTextures) {
    SKIP_WITHOUT_CORPUS();
    std::size_t scripts = 0;
    for (const corpus::Sourced& s : corpus::sourcedMeshes()) {
        SCOPED_TRACE(s.mesh);
        const Loaded& l = load(s.package);
        const Mesh& m = meshNamed(l.contents, s.mesh);
        const Bytes raw = test::readFile(test::corpusUe1Dir() / s.script);
        const std::string source(raw.begin(), raw.end());
        ExecLines srcLines;
        readExecLines(source, 30, srcLines);
        for (const bool unreal : {true, false}) {
            const ExtractedMesh e = extract(l, m, options(unreal));
            ExecLines lines;
            readExecLines(e.script, 30, lines);
            // The scale: the source's in the Unreal form, times 8, 8 and 4 in the Deus Ex form.
            const auto srcScale = execKeys(source, "MESHMAP SCALE", s.mesh);
            const auto scale = execKeys(e.script, "MESHMAP SCALE", e.scriptName);
            const double factor[3] = {unreal ? 1.0 : 8.0, unreal ? 1.0 : 8.0, unreal ? 1.0 : 4.0};
            const char* axes[3] = {"X", "Y", "Z"};
            for (int a = 0; a < 3; ++a) {
                EXPECT_FLOAT_EQ(static_cast<float>(key(scale, axes[a])),
                                static_cast<float>(key(srcScale, axes[a]) * factor[a]))
                    << axes[a];
            }
            // The origin, and the half turn the conversion's negated X and Y take back.
            const auto srcOrigin = execKeys(source, "MESH ORIGIN", s.mesh);
            const auto origin = execKeys(e.script, "MESH ORIGIN", e.scriptName);
            EXPECT_EQ(key(origin, "X"), key(srcOrigin, "X"));
            EXPECT_EQ(key(origin, "Z"), key(srcOrigin, "Z"));
            EXPECT_EQ(key(origin, "YAW"), key(srcOrigin, "YAW") + (unreal ? 0 : 128));
            // Sequences and slots, as meshfold's own reader takes them.
            const std::vector<MeshSequence> srcSeq = meshSequences(srcLines, s.mesh);
            const std::vector<MeshSequence> seq = meshSequences(lines, e.scriptName);
            ASSERT_EQ(seq.size(), srcSeq.size());
            for (std::size_t i = 0; i < seq.size(); ++i) {
                EXPECT_TRUE(equalsIgnoringAsciiCase(seq[i].name, srcSeq[i].name));
                EXPECT_EQ(seq[i].first, srcSeq[i].first);
                EXPECT_EQ(seq[i].count, srcSeq[i].count);
                EXPECT_EQ(seq[i].rate, srcSeq[i].rate);
            }
            const std::vector<SlotTexture> srcSlots = meshSlotTextures(srcLines, s.mesh);
            const std::vector<SlotTexture> slots = meshSlotTextures(lines, e.scriptName);
            ASSERT_EQ(slots.size(), srcSlots.size());
            for (std::size_t i = 0; i < slots.size(); ++i) {
                EXPECT_EQ(slots[i].slot, srcSlots[i].slot);
                EXPECT_TRUE(equalsIgnoringAsciiCase(slots[i].texture, srcSlots[i].texture)) << slots[i].texture;
                ASSERT_TRUE(slots[i].import) << "its TEXTURE IMPORT comes with it";
                EXPECT_EQ(slots[i].import->flags, srcSlots[i].import ? srcSlots[i].import->flags : 0u);
            }
            if (m.lod) {
                EXPECT_FLOAT_EQ(static_cast<float>(key(execKeys(e.script, "MESH LODPARAMS", e.scriptName), "STRENGTH")),
                                m.lodData->lodStrength);
            }
        }
        ++scripts;
    }
    EXPECT_EQ(scripts, 22u);
}

// Every packed mesh of the corpus into the Deus Ex form is what meshfold makes of the same
// mesh's Unreal-form files, in every mode; and back, a Deus Ex mesh's Unreal form is what
// --to-unreal makes of its Deus Ex files, refusals included.
TEST(PackageExtractCorpus, ConversionsAreMeshfoldsOwn) {
    SKIP_WITHOUT_CORPUS();
    std::size_t packed = 0, wide = 0, refused = 0;
    for (const char* name : kPackages) {
        const Loaded& l = load(name);
        for (const Mesh& m : l.contents.meshes) {
            SCOPED_TRACE(m.fullName);
            const bool isWide = m.form == package::VertexForm::Wide;
            const ExtractedMesh same = extract(l, m, options(!isWide));
            ASSERT_EQ(same.failure.stop, Stop::None);
            for (const bool hiRes : {false, true}) {
                for (const bool ms : {false, true}) {
                    const ExtractedMesh other = extract(l, m, options(isWide, hiRes, ms));
                    const MemoryRun run = runInMemory(runOptions(isWide, hiRes, ms), same.anim, same.data);
                    ASSERT_EQ(other.failure.stop, run.failure.stop);
                    EXPECT_EQ(other.failure.count, run.failure.count);
                    if (run.failure.stop != Stop::None) {
                        ++refused;
                        continue;
                    }
                    EXPECT_TRUE(other.anim == run.anim);
                    EXPECT_TRUE(other.data == (ms ? run.data : same.data));
                }
            }
            ++(isWide ? wide : packed);
        }
    }
    EXPECT_EQ(packed, 28u);
    EXPECT_EQ(wide, 53u);
    EXPECT_GT(refused, 0u) << "Deus Ex meshes that need -h to take back";
}

TEST(PackageExtractCorpus, DeusExMeshesKeepTheirStoredVertexWords) {
    SKIP_WITHOUT_CORPUS();
    const Loaded& l = load(kEndemia);
    ASSERT_EQ(l.contents.meshes.size(), 53u);
    for (const Mesh& m : l.contents.meshes) {
        SCOPED_TRACE(m.name);
        for (const PackageExtractOptions& o : {options(false), options(false, true, true)}) {
            const ExtractedMesh e = extract(l, m, o);
            ASSERT_EQ(e.failure.stop, Stop::None);
            EXPECT_FALSE(e.converted);
            ASSERT_EQ(e.anim.size(), kAnimHeaderSize + m.verts.size());
            EXPECT_EQ(le16(e.anim, 2), 8 * m.frameVerts);
            for (std::size_t i = 0; i < m.verts.size(); ++i) {
                const bool pad = i % 8 >= 6;
                ASSERT_EQ(e.anim[kAnimHeaderSize + i], pad ? 0 : m.verts[i]) << "byte " << i;
            }
            EXPECT_TRUE(e.data == extract(l, m, options(false)).data) << "no switch changes a copy";
            EXPECT_EQ(e.warnings.size(), o.mode.keepXSign ? 1u : 0u);
        }
    }
}

TEST(PackageExtractCorpus, EveryTextureIsItsStoredPaletteAndIndices) {
    SKIP_WITHOUT_CORPUS();
    std::size_t textures = 0, masked = 0;
    for (const char* name : kPackages) {
        const Loaded& l = load(name);
        const PackageExtraction x = extractPackage(l.package, l.contents, options(false));
        ASSERT_EQ(x.textures.size(), l.contents.textures.size());
        const std::string script(x.files.front().bytes.begin(), x.files.front().bytes.end());
        ExecLines lines;
        readExecLines(script, 30, lines);
        std::vector<std::string> files;
        for (std::size_t i = 0; i < x.textures.size(); ++i) {
            const ExtractedTexture& e = x.textures[i];
            const package::Texture& t = l.contents.textures[i];
            SCOPED_TRACE(t.fullName);
            ASSERT_TRUE(e.exact);
            const ImageDecoded d = decodeImage(e.pcx);
            ASSERT_EQ(d.failure, "");
            EXPECT_TRUE(std::equal(d.image.indices.begin(), d.image.indices.end(), t.mips[0].pixels.begin(),
                                   t.mips[0].pixels.end()));
            const package::Palette* pal = package::paletteOf(l.contents, t);
            ASSERT_EQ(d.image.palette.size(), 768u);
            for (std::size_t c = 0; c < 256; ++c) {
                ASSERT_TRUE(std::equal(pal->rgba.begin() + 4 * c, pal->rgba.begin() + 4 * c + 3,
                                       d.image.palette.begin() + 3 * c)) << "colour " << c;
            }
            const auto import = std::find_if(lines.textureImports.begin(), lines.textureImports.end(),
                                             [&](const TextureImportLine& t2) { return t2.name == e.name; });
            ASSERT_NE(import, lines.textureImports.end());
            EXPECT_EQ(import->flags, t.surface.masked ? 2u : e.flags);
            EXPECT_EQ(import->group, t.group);
            masked += t.surface.masked ? 1 : 0;
            files.push_back(e.fileName);
            ++textures;
        }
        std::sort(files.begin(), files.end(), lessIgnoringAsciiCase);
        EXPECT_EQ(std::adjacent_find(files.begin(), files.end(),
                                     [](const std::string& a, const std::string& b) { return equalsIgnoringAsciiCase(a, b); }),
                  files.end());
        EXPECT_TRUE(x.warnings.empty()) << x.warnings.front();
    }
    EXPECT_EQ(textures, 271u);
    EXPECT_GT(masked, 0u);
}

// ---------------------------------------------------------------------------------------------
// The size, shape and place: R * ((v - origin) * scale) of every vertex, in the package and in
// the lines written, on a mesh of each game, with an origin and a rotation that are not 0.

using Matrix = std::array<std::array<double, 3>, 3>;

Matrix product(const Matrix& a, const Matrix& b) {
    Matrix m{};
    for (int i = 0; i < 3; ++i) {
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) {
                m[i][j] += a[i][k] * b[k][j];
            }
        }
    }
    return m;
}

// The engine's rotation: roll about X, then pitch about Y, then yaw about Z (65536 a turn).
Matrix rotation(double pitch, double yaw, double roll) {
    const double k = 2 * 3.14159265358979323846 / 65536;
    const double cy = std::cos(yaw * k), sy = std::sin(yaw * k);
    const double cp = std::cos(pitch * k), sp = std::sin(pitch * k);
    const double cr = std::cos(roll * k), sr = std::sin(roll * k);
    const Matrix z{{{cy, -sy, 0}, {sy, cy, 0}, {0, 0, 1}}};
    const Matrix y{{{cp, 0, sp}, {0, 1, 0}, {-sp, 0, cp}}};
    const Matrix x{{{1, 0, 0}, {0, cr, -sr}, {0, sr, cr}}};
    return product(z, product(y, x));
}

std::array<double, 3> placed(const Matrix& r, const std::array<double, 3>& v, const double* origin,
                             const double* scale) {
    std::array<double, 3> q{}, p{};
    for (int a = 0; a < 3; ++a) {
        q[a] = (v[a] - origin[a]) * scale[a];
    }
    for (int i = 0; i < 3; ++i) {
        p[i] = r[i][0] * q[0] + r[i][1] * q[1] + r[i][2] * q[2];
    }
    return p;
}

TEST(PackageExtractCorpus, ScaleAndOriginGiveTheMeshItsPlaceInEitherForm) {
    SKIP_WITHOUT_CORPUS();
    const Loaded& ut = load("1337GameDev_Ut99Mods/System/HeadHunter.u");
    const Loaded& dx = load(kEndemia);
    std::size_t cases = 0;
    for (const Loaded* l : {&ut, &dx}) {
        Mesh m = l == &ut ? meshNamed(ut.contents, "Skull") : meshNamed(dx.contents, "Barrel2");
        m.origin = {12.5f, -40, 3};
        m.rotation = {2000, -15360, 151};
        for (const bool unreal : {false, true}) {
            for (const bool hiRes : {false, true}) {
                for (const bool ms : {false, true}) {
                    SCOPED_TRACE(testing::Message() << m.name << (unreal ? " unreal" : " deus ex")
                                                    << (hiRes ? " -h" : "") << (ms ? " -ms" : ""));
                    const ExtractedMesh e = extract(*l, m, options(unreal, hiRes, ms));
                    if (e.failure.stop == Stop::VerticesDoNotFit) {
                        EXPECT_TRUE(unreal && !hiRes && l == &dx);
                        continue;
                    }
                    ASSERT_EQ(e.failure.stop, Stop::None);
                    const auto o = execKeys(e.script, "MESH ORIGIN", e.scriptName);
                    const auto s = execKeys(e.script, "MESHMAP SCALE", e.scriptName);
                    const double origin[3] = {key(o, "X"), key(o, "Y"), key(o, "Z")};
                    const double scale[3] = {key(s, "X"), key(s, "Y"), key(s, "Z")};
                    const double storedOrigin[3] = {m.origin.x, m.origin.y, m.origin.z};
                    const double storedScale[3] = {m.scale.x, m.scale.y, m.scale.z};
                    const Matrix written = rotation(key(o, "PITCH") * 256, key(o, "YAW") * 256, key(o, "ROLL") * 256);
                    const Matrix stored = rotation(m.rotation.pitch, m.rotation.yaw, m.rotation.roll);
                    // -ms mirrors the mesh across its XZ plane, as it mirrors a mesh file.
                    const Matrix mirror{{{1, 0, 0}, {0, e.converted && ms ? -1.0 : 1.0, 0}, {0, 0, 1}}};
                    // One step of the written form on every axis, where the conversion rounds.
                    double tolerance = 1e-3;
                    for (int a = 0; a < 3; ++a) {
                        tolerance += e.converted ? std::abs(scale[a]) : 0;
                    }
                    double worst = 0;
                    for (std::uint32_t k = 0; k < e.vertices; ++k) {
                        const package::VertexValues sv = package::vertexValues(m, 0, k);
                        std::array<double, 3> w{};
                        const std::uint8_t* at = e.anim.data() + kAnimHeaderSize + k * (unreal ? 4 : 8);
                        if (unreal) {
                            const std::uint32_t word = readLe32(at);
                            auto field = [word](unsigned shift, unsigned bits) {
                                const std::int32_t sign = 1 << (bits - 1);
                                return static_cast<double>(((static_cast<std::int32_t>(word >> shift) & ((1 << bits) - 1)) ^ sign) - sign);
                            };
                            w = {field(0, 11), field(11, 11), field(22, 10)};
                        } else {
                            w = {static_cast<std::int16_t>(readLe16(at)) * 1.0,
                                 static_cast<std::int16_t>(readLe16(at + 2)) * 1.0,
                                 static_cast<std::int16_t>(readLe16(at + 4)) * 1.0};
                        }
                        const auto want = placed(product(mirror, stored), {sv.x * 1.0, sv.y * 1.0, sv.z * 1.0},
                                                 storedOrigin, storedScale);
                        const auto got = placed(ms && e.converted ? product(mirror, product(stored, mirror)) : written,
                                                w, origin, scale);
                        for (int a = 0; a < 3; ++a) {
                            worst = std::max(worst, std::abs(got[a] - want[a]));
                        }
                    }
                    EXPECT_LT(worst, tolerance);
                    if (ms && e.converted) {
                        EXPECT_EQ(key(o, "YAW") * 256, m.rotation.yaw) << "a mirror keeps the rotation";
                    }
                    ++cases;
                }
            }
        }
    }
    EXPECT_EQ(cases, 14u) << "Barrel2 needs -h to take back";
}

// ---------------------------------------------------------------------------------------------
// Records built here.

// A package's name table for records built by hand; the texts stay alive for the spans.
package::Package namedPackage(const std::vector<std::string>& names) {
    static std::deque<std::string> kept;
    package::Package p;
    p.name = "Pkg";
    p.header.version = 69;
    for (const std::string& n : names) {
        kept.push_back(n);
        p.names.push_back({kept.back(), 0});
    }
    return p;
}

// A plain Mesh of `frames` frames of `verts` packed vertices (word k + f), two triangles.
struct BuiltMesh {
    std::vector<std::uint8_t> verts;
    Mesh mesh;
};

BuiltMesh builtMesh(std::uint32_t frames, std::uint32_t verts, bool wide = false) {
    BuiltMesh b;
    const std::size_t size = wide ? 8 : 4;
    b.verts.resize(std::size_t{frames} * verts * size);
    for (std::size_t i = 0; i < std::size_t{frames} * verts; ++i) {
        writeLe32(b.verts.data() + i * size, static_cast<std::uint32_t>(i * 0x00100401u));
    }
    Mesh& m = b.mesh;
    m.name = "Thing";
    m.fullName = "Pkg.Thing";
    m.form = wide ? package::VertexForm::Wide : package::VertexForm::Packed;
    m.verts = b.verts;
    m.vertCount = frames * verts;
    m.frameCount = static_cast<std::int32_t>(frames);
    m.frameVerts = static_cast<std::int32_t>(verts);
    m.scale = {0.1f, 0.1f, 0.2f};
    m.tris.push_back({{0, 1, 2}, {1, 2, 3}, {4, 5, 6}, 0x100 | 0x002, 1});
    m.tris.push_back({{2, 1, 0}, {7, 8, 9}, {10, 11, 12}, 0x1100, 0});
    return b;
}

TEST(PackageExtract, MeshesTheFilesCannotHoldAreRefusedByName) {
    const package::Package p = namedPackage({"None"});
    struct Case {
        std::uint32_t frames, verts;
        bool unreal;
        std::int32_t textureNumber;
        const char* message;
    };
    const Case cases[] = {
        {0, 0, false, 0, "\n\nCan't write mesh Pkg.Thing: it has no frame, and a mesh file needs one !\n"},
        {1, 8192, false, 0,
         "\n\nCan't write mesh Pkg.Thing: it has 8192 vertices a frame, more than the 8191 a frame of the"
         " Deus Ex form holds (65535 bytes) !\n"},
        {1, 8192, true, 0, ""},
        {1, 16384, true, 0,
         "\n\nCan't write mesh Pkg.Thing: it has 16384 vertices a frame, more than the 16383 a frame of the"
         " Unreal form holds (65535 bytes) !\n"},
        {65536, 1 + 2, true, 0,
         "\n\nCan't write mesh Pkg.Thing: it has 65536 frames, more than the 65535 an _a.3d file holds !\n"},
        {1, 3, false, 256,
         "\n\nCan't write mesh Pkg.Thing: it has texture number 256 on triangle 0, and a _d.3d file holds 0 to"
         " 255 !\n"},
        {1, 3, false, 255, ""},
    };
    for (const Case& c : cases) {
        BuiltMesh b = builtMesh(c.frames, c.verts);
        if (c.frames == 0) {
            b.mesh.tris.clear();
        }
        if (!b.mesh.tris.empty()) {
            b.mesh.tris[0].textureIndex = c.textureNumber;
        }
        const ExtractedMesh e = extractMesh(p, b.mesh, {}, options(c.unreal));
        EXPECT_EQ(failureMessage(e.failure), c.message);
        EXPECT_EQ(e.anim.empty(), *c.message != '\0');
    }
}

TEST(PackageExtract, TrianglesKeepTypesCoordinatesAndTextureNumbersAndSayWhatIsLost) {
    const package::Package p = namedPackage({"None"});
    BuiltMesh b = builtMesh(2, 3);
    const ExtractedMesh e = extractMesh(p, b.mesh, {}, options(true));
    ASSERT_EQ(e.failure.stop, Stop::None);
    EXPECT_EQ(hexOf(Bytes(e.data.begin(), e.data.begin() + 4)), "02000300");
    EXPECT_TRUE(std::all_of(e.data.begin() + 4, e.data.begin() + kDataHeaderSize, [](std::uint8_t x) { return x == 0; }));
    // Corners, the masked type byte 3, no colour, U V of each corner, texture 1, no flags byte.
    EXPECT_EQ(hexOf(Bytes(e.data.begin() + 48, e.data.begin() + 64)), "000001000200030001040205030601" "00");
    EXPECT_EQ(e.data[64 + 6], 1) << "0x1100 keeps its two-sided row";
    ASSERT_EQ(e.warnings.size(), 1u);
    EXPECT_EQ(e.warnings[0],
              "meshfold: warning: Pkg.Thing: 1 triangle carries polygon flags 0x00001000, which no _d.3d polygon"
              " type holds (the first is triangle 1, counting from 0): the _d.3d file keeps the rest of its flags\n");
    // -ms with a conversion reverses every triangle, as the MilkShape fix does a data file.
    const ExtractedMesh ms = extractMesh(p, b.mesh, {}, options(false, false, true));
    EXPECT_EQ(hexOf(Bytes(ms.data.begin() + 48, ms.data.begin() + 64)), "02000100000003000306020501040100");
}

TEST(PackageExtract, RotationTakesBackTheHalfTurnOfTheNegatedAxes) {
    struct Case {
        package::Rotator stored, written;
    };
    const Case cases[] = {
        {{0, 0, 0}, {0, 32768, 0}},
        {{0, 16384, 0}, {0, -16384, 0}},
        {{0, -15360, 151}, {0, 17408, -151}},
        {{2000, 32768, -5}, {-2000, 0, 5}},
        {{INT32_MIN, INT32_MAX, 0}, {0, 32767, 0}}, // whole turns: INT32_MIN is 0, INT32_MAX is -1
    };
    FormChange turned;
    turned.turned = true;
    for (const Case& c : cases) {
        const package::Rotator r = writtenRotation(c.stored, turned);
        EXPECT_EQ(r.pitch, c.written.pitch);
        EXPECT_EQ(r.yaw, c.written.yaw);
        EXPECT_EQ(r.roll, c.written.roll);
        // R(written) = R(stored) * Rz(180), whatever the angles.
        const Matrix want = product(rotation(c.stored.pitch, c.stored.yaw, c.stored.roll), rotation(0, 32768, 0));
        const Matrix got = rotation(r.pitch, r.yaw, r.roll);
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                EXPECT_NEAR(got[i][j], want[i][j], 1e-9);
            }
        }
    }
}

// Textures built here: each its own pixels, a palette export of 256 colours.
struct BuiltTextures {
    std::deque<std::vector<std::uint8_t>> pixels;
    Contents contents;

    package::Texture& add(const std::string& name, const std::string& group, package::PixelFormat format,
                          std::int32_t w, std::int32_t h, std::vector<std::uint8_t> bytes) {
        package::Texture t;
        t.exportIndex = 100 + contents.textures.size();
        t.name = name;
        t.group = group;
        t.fullName = "Pkg." + (group.empty() ? "" : group + ".") + name;
        t.className = "Texture";
        t.format = format;
        t.uSize = w;
        t.vSize = h;
        t.palette = {package::ObjectLink::Kind::Export, {}, 1, "Pkg.Pal", "Palette"};
        if (!bytes.empty()) {
            pixels.push_back(std::move(bytes));
            package::Mip mip;
            mip.pixels = pixels.back();
            mip.width = w;
            mip.height = h;
            t.mips.push_back(mip);
        }
        contents.textures.push_back(t);
        return contents.textures.back();
    }
    BuiltTextures() {
        package::Palette pal;
        pal.exportIndex = 1;
        for (std::size_t c = 0; c < 256; ++c) {
            pal.rgba[4 * c] = static_cast<std::uint8_t>(c);
            pal.rgba[4 * c + 1] = static_cast<std::uint8_t>(255 - c);
            pal.rgba[4 * c + 2] = static_cast<std::uint8_t>(c / 2);
            pal.rgba[4 * c + 3] = 255;
        }
        contents.palettes.push_back(pal);
    }
};

std::vector<std::uint8_t> ramp(std::size_t n) {
    std::vector<std::uint8_t> b(n);
    for (std::size_t i = 0; i < n; ++i) {
        b[i] = static_cast<std::uint8_t>(i * 7);
    }
    return b;
}

TEST(PackageExtract, TexturesSharingANameGetFilesOfTheirOwn) {
    const package::Package p = namedPackage({"None"});
    BuiltTextures b;
    b.add("Skin", "A", package::PixelFormat::P8, 4, 4, ramp(16));
    b.add("skin", "B.Sub", package::PixelFormat::P8, 4, 4, ramp(16));
    b.add("CON", "", package::PixelFormat::P8, 4, 4, ramp(16));
    b.add("..\\evil", "", package::PixelFormat::P8, 4, 4, ramp(16));
    const std::vector<ExtractedTexture> t = extractTextures(p, b.contents);
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t[0].fileName, "Textures/A_Skin.pcx");
    EXPECT_EQ(t[1].fileName, "Textures/B_Sub_skin.pcx");
    EXPECT_EQ(t[2].fileName, "Textures/CON_.pcx") << "a device's name on Windows";
    EXPECT_EQ(t[3].fileName, "Textures/___evil.pcx") << "no folder part comes through";
    EXPECT_EQ(t[0].scriptName, "Pkg.A.Skin");
    EXPECT_EQ(t[1].scriptName, "Pkg.B.Sub.skin");
    EXPECT_EQ(t[2].scriptName, "CON");
    EXPECT_EQ(t[1].warnings, std::vector<std::string>{
                                 "meshfold: warning: Pkg.B.Sub.skin shares its name with another texture of the"
                                 " package: written as Textures/B_Sub_skin.pcx, and its slots name it in full\n"});
    EXPECT_TRUE(t[2].warnings.empty());
    const std::string script = packageScript(p, {}, t);
    EXPECT_NE(script.find("#exec TEXTURE IMPORT NAME=skin FILE=Textures\\B_Sub_skin.pcx GROUP=B.Sub MIPS=OFF\n"),
              std::string::npos);
    // A mesh showing both reads each back with its own file.
    BuiltMesh m = builtMesh(1, 3);
    m.mesh.textures = {{package::ObjectLink::Kind::Export, {101}, 100, "Pkg.A.Skin", "Texture"},
                       {package::ObjectLink::Kind::Export, {102}, 101, "Pkg.B.Sub.skin", "Texture"}};
    const ExtractedMesh e = extractMesh(p, m.mesh, t, options(true));
    ExecLines lines;
    readExecLines(e.script, 30, lines);
    const std::vector<SlotTexture> slots = meshSlotTextures(lines, e.scriptName);
    ASSERT_EQ(slots.size(), 2u);
    ASSERT_TRUE(slots[0].import && slots[1].import);
    EXPECT_EQ(slots[0].import->file, "Textures\\A_Skin.pcx");
    EXPECT_EQ(slots[1].import->file, "Textures\\B_Sub_skin.pcx");
}

TEST(PackageExtract, TexturesNotStoredAsP8AreMadeEightBitAndTheRestSayWhy) {
    const package::Package p = namedPackage({"None"});
    BuiltTextures b;
    b.add("Imported", "", package::PixelFormat::P8, 4, 4, ramp(16)).palette = {package::ObjectLink::Kind::Import, {-1}, 0, "Botpack.Pal", "Palette"};
    b.add("Empty", "", package::PixelFormat::P8, 4, 4, {});
    // BGRA8, masked: two opaque colours and a transparent pixel.
    std::vector<std::uint8_t> bgra;
    for (int i = 0; i < 16; ++i) {
        const std::uint8_t px[4] = {static_cast<std::uint8_t>(i % 2 ? 200 : 10), 20, 30,
                                    static_cast<std::uint8_t>(i == 5 ? 0 : 255)};
        bgra.insert(bgra.end(), px, px + 4);
    }
    b.add("Truecolour", "", package::PixelFormat::Rgba8, 4, 4, bgra).surface.masked = true;
    b.add("Bc7", "", package::PixelFormat::Bc7, 4, 4, std::vector<std::uint8_t>(16, 0));
    b.add("Wide", "", package::PixelFormat::P8, 6, 4, ramp(24));
    const std::vector<ExtractedTexture> t = extractTextures(p, b.contents);
    ASSERT_EQ(t.size(), 5u);
    EXPECT_TRUE(t[0].pcx.empty());
    EXPECT_EQ(t[0].warnings, std::vector<std::string>{
                                 "meshfold: warning: Pkg.Imported: its palette Botpack.Pal lives in another package,"
                                 " whose colours this one does not hold: no texture file is written\n"});
    EXPECT_TRUE(t[1].pcx.empty());
    EXPECT_EQ(t[1].warnings, std::vector<std::string>{
                                 "meshfold: warning: Pkg.Empty holds no pixels (no mip): no texture file is written\n"});
    // Made 8-bit: at most 256 colours keep their values; the transparent pixel gets index 0.
    ASSERT_FALSE(t[2].pcx.empty());
    EXPECT_TRUE(t[2].madeEightBit);
    EXPECT_EQ(t[2].flags, 2u);
    const ImageDecoded d = decodeImage(t[2].pcx);
    ASSERT_EQ(d.failure, "");
    EXPECT_EQ(d.image.indices[5], 0);
    for (int i = 0; i < 16; ++i) {
        if (i != 5) {
            EXPECT_NE(d.image.indices[static_cast<std::size_t>(i)], 0);
            EXPECT_EQ(d.image.rgba[static_cast<std::size_t>(4 * i)], 30) << "red is the third stored byte";
            EXPECT_EQ(d.image.rgba[static_cast<std::size_t>(4 * i + 2)], i % 2 ? 200 : 10);
        }
    }
    EXPECT_TRUE(t[3].pcx.empty());
    EXPECT_EQ(t[3].warnings, std::vector<std::string>{
                                 "meshfold: warning: Pkg.Bc7 is stored as BC7, which meshfold cannot decode: no"
                                 " texture file is written\n"});
    EXPECT_EQ(t[4].width, 4u) << "a side that is no power of two";
    EXPECT_EQ(t[4].warnings, std::vector<std::string>{
                                 "meshfold: warning: Pkg.Wide is resized from 6 x 4 to 4 x 4: a texture's sides"
                                 " must be powers of two for the engine's importer\n"});
    // A P8 texture whose palette lives elsewhere, with a compressed copy: written from the copy.
    std::vector<std::uint8_t> dxt1 = {0x00, 0xF8, 0x1F, 0x00, 0x00, 0x55, 0xAA, 0xFF}; // red, blue
    b.contents.textures[0].hasComp = true;
    b.contents.textures[0].compFormat = package::PixelFormat::Dxt1;
    b.pixels.push_back(dxt1);
    package::Mip copy;
    copy.pixels = b.pixels.back();
    copy.width = copy.height = 4;
    b.contents.textures[0].compMips.push_back(copy);
    const std::vector<ExtractedTexture> again = extractTextures(p, b.contents);
    EXPECT_FALSE(again[0].pcx.empty());
    EXPECT_TRUE(again[0].madeEightBit);
    EXPECT_EQ(again[0].warnings, std::vector<std::string>{
                                     "meshfold: warning: Pkg.Imported: its palette cannot be used, so its DXT1 copy"
                                     " is written, made 8-bit\n"});
}

TEST(PackageExtract, LinesReadBackWithMeshfoldsOwnReader) {
    package::Package p = namedPackage({"None", "All", "Wave", "Gestures", "Boom", "Odd \"name\"\nnext"});
    BuiltMesh b = builtMesh(2, 3);
    Mesh& m = b.mesh;
    m.sequences.push_back({1, 0, 0, 2, {}, 30});
    m.sequences.push_back({2, 3, 1, 1, {{0.5f, 4}}, 15});
    m.sequences.push_back({5, 0, 0, 1, {}, 10});
    BuiltTextures t;
    t.add("Skin", "Skins", package::PixelFormat::P8, 4, 4, ramp(16));
    t.add("NoFile", "", package::PixelFormat::P8, 4, 4, {});
    const std::vector<ExtractedTexture> textures = extractTextures(p, t.contents);
    m.textures = {{},
                  {package::ObjectLink::Kind::Export, {101}, 100, "Pkg.Skins.Skin", "Texture"},
                  {package::ObjectLink::Kind::Export, {102}, 101, "Pkg.NoFile", "Texture"},
                  {package::ObjectLink::Kind::Import, {-3}, 0, "Botpack.Skins.Gold", "Texture"}};
    const ExtractedMesh e = extractMesh(p, m, textures, options(false));
    ASSERT_EQ(e.failure.stop, Stop::None);
    ExecLines lines;
    readExecLines(e.script, 30, lines);
    ASSERT_EQ(lines.meshImports.size(), 1u);
    EXPECT_EQ(lines.meshImports[0].animFile, "Models\\Thing_a.3d");
    EXPECT_EQ(lines.meshImports[0].dataFile, "Models\\Thing_d.3d");
    const std::vector<MeshSequence> seq = meshSequences(lines, "Thing");
    ASSERT_EQ(seq.size(), 3u);
    EXPECT_EQ(seq[1].name, "Wave");
    EXPECT_EQ(seq[1].first, 1u);
    EXPECT_EQ(seq[1].rate, 15);
    EXPECT_EQ(seq[2].name, "Odd _name__next") << "a name cannot break the line";
    EXPECT_NE(e.script.find("#exec MESH SEQUENCE MESH=Thing SEQ=Wave STARTFRAME=1 NUMFRAMES=1 RATE=15 GROUP=Gestures\n"
                            "#exec MESH NOTIFY MESH=Thing SEQ=Wave TIME=0.5 FUNCTION=Boom\n"),
              std::string::npos);
    const std::vector<SlotTexture> slots = meshSlotTextures(lines, "Thing");
    ASSERT_EQ(slots.size(), 2u) << "the slot without a file stays plain";
    EXPECT_EQ(slots[0].slot, 1);
    ASSERT_TRUE(slots[0].import);
    EXPECT_EQ(slots[0].import->file, "Textures\\Skin.pcx");
    EXPECT_EQ(slots[0].import->group, "Skins");
    EXPECT_EQ(slots[1].slot, 3);
    EXPECT_EQ(slots[1].texture, "Botpack.Skins.Gold");
    EXPECT_FALSE(slots[1].import) << "the game's own texture";
    EXPECT_NE(e.script.find("TEXTURE=Botpack.Skins.Gold // the game's own texture, from package Botpack\n"),
              std::string::npos);
    EXPECT_NE(e.script.find("#exec MESHMAP SCALE MESHMAP=Thing X=0.8 Y=0.8 Z=0.8\n"), std::string::npos);
    EXPECT_NE(e.script.find("#exec MESH ORIGIN MESH=Thing X=0 Y=0 Z=0 PITCH=0 YAW=128 ROLL=0\n"), std::string::npos);
}

} // namespace
} // namespace meshfold
