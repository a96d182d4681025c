// Every real mesh of the corpus beside the repository, converted on copies.
#include "glb_reader.h"
#include "reference_image.h"
#include "support.h"

#include "meshfold/common/ascii.h"
#include "meshfold/game/frames.h"

#include "meshfold/gltf/gltf_common.h"
#include "meshfold/image/image.h"
#include "meshfold/package/package.h"
#include "meshfold/package/texture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <map>
#include <set>

namespace meshfold::test {
namespace {

std::uint16_t le16(const Bytes& b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | (b[at + 1] << 8));
}

std::int16_t s16(const Bytes& b, std::size_t at) {
    return static_cast<std::int16_t>(le16(b, at));
}

std::vector<std::string> corpusMeshes() {
    std::vector<std::string> names;
    const fs::path dir = corpusDir();
    if (dir.empty()) {
        return names;
    }
    for (const std::string& f : listFolder(dir)) {
        if (endsWith(f, "_a.3d")) {
            const std::string base = f.substr(0, f.size() - 5);
            if (fs::exists(dir / (base + "_d.3d"))) {
                names.push_back(base);
            }
        }
    }
    return names;
}

struct Pair {
    Bytes anim;
    Bytes data;
    unsigned bytesPerVertex() const { return le16(anim, 2) / le16(data, 2); }
};

Pair readPair(const std::string& base) {
    return {readFile(corpusDir() / (base + "_a.3d")), readFile(corpusDir() / (base + "_d.3d"))};
}

class Corpus : public ::testing::Test {
protected:
    void SetUp() override {
        if (corpusDir().empty()) {
            GTEST_SKIP() << "no corpus of real meshes at ../shared/corpus beside the repository";
        }
    }
    // Copies a mesh into the scratch folder, writable.
    void copyIn(const std::string& base) const {
        for (const char* s : {"_a.3d", "_d.3d"}) {
            writeFile(scratch.dir / (base + s), readFile(corpusDir() / (base + s)));
        }
    }
    Bytes get(const std::string& name) const { return readFile(scratch.dir / name); }
    Scratch scratch;
};

// Decodes field `bits` wide at `shift` of a packed word, two's complement.
int field(std::uint32_t word, unsigned shift, unsigned bits) {
    const int v = static_cast<int>((word >> shift) & ((1u << bits) - 1));
    return v >= (1 << (bits - 1)) ? v - (1 << bits) : v;
}

TEST_F(Corpus, PackedMeshesConvertAndRoundTrip) {
    int packed = 0;
    for (const std::string& base : corpusMeshes()) {
        SCOPED_TRACE(base);
        const Pair pair = readPair(base);
        if (pair.bytesPerVertex() != 4) {
            continue;
        }
        const Bytes& anim = pair.anim;
        const Bytes& data = pair.data;
        ++packed;
        const std::size_t words = (anim.size() - 4) / 4;

        // Plain: size, header, and X = -(fx >> 3), Y = -(fy >> 3), Z = fz >> 2 throughout.
        copyIn(base);
        RunResult r = runTool({base}, scratch.dir);
        ASSERT_EQ(r.status, 0) << r.out;
        Bytes out = get(base + "_a.3d");
        ASSERT_EQ(out.size(), 4 + 8 * words);
        EXPECT_EQ(le16(out, 0), le16(anim, 0));
        EXPECT_EQ(le16(out, 2), 2 * le16(anim, 2));
        EXPECT_EQ(get(base + "_d.3d"), data);
        for (std::size_t i = 0; i < words; ++i) {
            const std::uint32_t w = le16(anim, 4 + 4 * i) | (std::uint32_t{le16(anim, 6 + 4 * i)} << 16);
            ASSERT_EQ(s16(out, 4 + 8 * i), -(field(w, 0, 11) >> 3)) << i;
            ASSERT_EQ(s16(out, 6 + 8 * i), -(field(w, 11, 11) >> 3)) << i;
            ASSERT_EQ(s16(out, 8 + 8 * i), field(w, 22, 10) >> 2) << i;
            ASSERT_EQ(s16(out, 10 + 8 * i), 0) << i;
        }
        // A second run refuses and changes nothing.
        r = runTool({base}, scratch.dir);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("Mesh file has already been converted !"), std::string::npos);
        EXPECT_EQ(get(base + "_a.3d"), out);

        // Hi-res: every bit, X = -fx * 32 saturated, Y = -fy * 32, Z = fz * 64.
        copyIn(base);
        ASSERT_EQ(runTool({"-h", base}, scratch.dir).status, 0);
        out = get(base + "_a.3d");
        ASSERT_EQ(out.size(), 4 + 8 * words);
        for (std::size_t i = 0; i < words; ++i) {
            const std::uint32_t w = le16(anim, 4 + 4 * i) | (std::uint32_t{le16(anim, 6 + 4 * i)} << 16);
            ASSERT_EQ(s16(out, 4 + 8 * i), std::min(-field(w, 0, 11) * 32, 32767)) << i;
            ASSERT_EQ(s16(out, 6 + 8 * i), std::min(-field(w, 11, 11) * 32, 32767)) << i;
            ASSERT_EQ(s16(out, 8 + 8 * i), field(w, 22, 10) * 64) << i;
        }

        // MilkShape fix twice on the data file gives the original triangles back.
        copyIn(base);
        ASSERT_EQ(runTool({"-ms", base}, scratch.dir).status, 0);
        const std::size_t tableEnd = 48 + 16 * std::size_t{le16(data, 0)};
        EXPECT_EQ(get(base + "_d.3d").size(), tableEnd);
        writeFile(scratch.dir / (base + "_a.3d"), anim);
        ASSERT_EQ(runTool({"-ms", base}, scratch.dir).status, 0);
        const Bytes twice = get(base + "_d.3d");
        EXPECT_EQ(Bytes(twice.begin() + 48, twice.end()),
                  Bytes(data.begin() + 48, data.begin() + static_cast<std::ptrdiff_t>(tableEnd)));
        EXPECT_EQ(Bytes(twice.begin(), twice.begin() + 4), Bytes(data.begin(), data.begin() + 4));
    }
    EXPECT_GT(packed, 0);
}

// The Unreal Tournament player models, whose frames have room to spare:
// words per frame against vertices used, 597/313 (Boss), 664/332, 716/351,
// 827/311 and 851/309. Commando and FCommando have 8 bytes a vertex or more.
const std::set<std::string> kRoomToSpare = {"Boss", "Commando", "FCommando", "SGirl", "Soldier"};

// What each mode writes for one field: normal mode its top 8 bits, hi-res
// every bit at 256 times that scale, negated when asked, saturated at 32767.
int expectedAxis(int value, unsigned bits, bool hiRes, bool negate) {
    const int v = hiRes ? value * (1 << (16 - bits)) : value >> (bits - 8);
    return std::min(negate ? -v : v, 32767);
}

TEST_F(Corpus, FramesWithRoomToSpareConvertInEveryMode) {
    int meshes = 0;
    for (const std::string& base : corpusMeshes()) {
        if (kRoomToSpare.count(base) == 0) {
            continue;
        }
        SCOPED_TRACE(base);
        ++meshes;
        const Pair pair = readPair(base);
        const Bytes& anim = pair.anim;
        const std::size_t frames = le16(anim, 0);
        const std::size_t frameSize = le16(anim, 2);
        const std::size_t verts = le16(pair.data, 2);
        ASSERT_EQ(anim.size(), 4 + frames * frameSize);
        for (const bool ms : {false, true}) {
            for (const bool hi : {false, true}) {
                SCOPED_TRACE(std::string(ms ? "-ms " : "") + (hi ? "-h" : ""));
                std::vector<std::string> args = {base};
                if (hi) {
                    args.insert(args.begin(), "-h");
                }
                if (ms) {
                    args.insert(args.begin(), "-ms");
                }
                copyIn(base);
                const RunResult r = runTool(args, scratch.dir);
                ASSERT_EQ(r.status, 0) << r.out;
                EXPECT_NE(r.out.find(" vertices\n  " + std::to_string(frameSize - 4 * verts) +
                                     " unused bytes per frame left out\n  X coordinate range: "),
                          std::string::npos)
                    << r.out;
                EXPECT_EQ(r.err.find("bytes of vertices"), std::string::npos) << r.err;
                const Bytes out = get(base + "_a.3d");
                ASSERT_EQ(out.size(), 4 + frames * 8 * verts);
                EXPECT_EQ(le16(out, 0), frames);
                EXPECT_EQ(le16(out, 2), 8 * verts);
                // Vertex i of frame k is the word the game reads at 4 + k F + 4 i.
                for (std::size_t k = 0; k < frames; ++k) {
                    for (std::size_t i = 0; i < verts; ++i) {
                        const std::size_t in = 4 + k * frameSize + 4 * i;
                        const std::size_t at = 4 + 8 * (k * verts + i);
                        const std::uint32_t w = le16(anim, in) | (std::uint32_t{le16(anim, in + 2)} << 16);
                        ASSERT_EQ(s16(out, at), expectedAxis(field(w, 0, 11), 11, hi, !ms)) << k << " " << i;
                        ASSERT_EQ(s16(out, at + 2), expectedAxis(field(w, 11, 11), 11, hi, true)) << k << " " << i;
                        ASSERT_EQ(s16(out, at + 4), expectedAxis(field(w, 22, 10), 10, hi, false)) << k << " " << i;
                        ASSERT_EQ(s16(out, at + 6), 0) << k << " " << i;
                    }
                }
                // The result is an ordinary wide mesh.
                const RunResult again = runTool(args, scratch.dir);
                EXPECT_TRUE(endsWith(again.out, "\n\nMesh file has already been converted !\n"));
                EXPECT_EQ(get(base + "_a.3d"), out);
            }
        }
    }
    EXPECT_EQ(meshes, 5);
}

// Every mesh of the Unreal form converted in each mode and taken back with
// the same switches: the original again with -h, and with each field's
// dropped low bits cleared without (frames with room to spare: their first N
// words, in frames of 4N bytes); converting the result again gives the same
// mesh as the first conversion.
TEST_F(Corpus, UnrealMeshesComeBackFromEveryMode) {
    const std::vector<std::string> modes[] = {{}, {"-ms"}, {"-h"}, {"-ms", "-h"}};
    int meshes = 0;
    for (const std::string& base : corpusMeshes()) {
        const Pair pair = readPair(base);
        if (pair.bytesPerVertex() != 4 && kRoomToSpare.count(base) == 0) {
            continue;
        }
        ++meshes;
        const std::size_t frameSize = le16(pair.anim, 2);
        const std::size_t verts = le16(pair.data, 2);
        Bytes original = animFile(le16(pair.anim, 0), static_cast<std::uint16_t>(4 * verts), {});
        for (std::size_t frame = 4; frame < pair.anim.size(); frame += frameSize) {
            const auto start = pair.anim.begin() + static_cast<std::ptrdiff_t>(frame);
            original.insert(original.end(), start, start + static_cast<std::ptrdiff_t>(4 * verts));
        }
        Bytes cleared = original;
        for (std::size_t at = 4; at + 4 <= cleared.size(); at += 4) {
            const std::uint8_t keep[4] = {0xF8, 0xC7, 0x3F, 0xFF}; // each field's top 8 bits
            for (std::size_t i = 0; i < 4; ++i) {
                cleared[at + i] &= keep[i];
            }
        }
        for (const auto& mode : modes) {
            SCOPED_TRACE(base + (mode.empty() ? "" : " " + mode.front() + " " + mode.back()));
            const bool hiRes = std::find(mode.begin(), mode.end(), "-h") != mode.end();
            const bool ms = std::find(mode.begin(), mode.end(), "-ms") != mode.end();
            std::vector<std::string> args = mode;
            args.push_back(base);
            copyIn(base);
            ASSERT_EQ(runTool(args, scratch.dir).status, 0);
            const Bytes converted = get(base + "_a.3d");
            const Bytes convertedData = get(base + "_d.3d");
            args.insert(args.begin(), "--to-unreal");
            RunResult r = runTool(args, scratch.dir);
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_EQ(get(base + "_a.3d"), hiRes ? original : cleared);
            // -ms twice: the triangles as they were, after a zeroed header tail.
            const Bytes data = get(base + "_d.3d");
            ASSERT_EQ(data.size(), ms ? 48 + 16 * std::size_t{le16(pair.data, 0)}
                                                         : pair.data.size());
            EXPECT_TRUE(std::equal(data.begin() + 48, data.end(), pair.data.begin() + 48));
            args.erase(args.begin());
            ASSERT_EQ(runTool(args, scratch.dir).status, 0);
            EXPECT_EQ(get(base + "_a.3d"), converted);
            EXPECT_EQ(get(base + "_d.3d"), convertedData);
        }
    }
    EXPECT_EQ(meshes, 34);
}

// Every Deus Ex mesh goes back with -h, each field the nearest to its value;
// without -h, every vertex a normal conversion could not have made is counted.
// The player models, 8 bytes a vertex but packed, are in the Unreal form.
TEST_F(Corpus, DeusExMeshesGoBackWithHiRes) {
    int meshes = 0;
    for (const std::string& base : corpusMeshes()) {
        const Pair pair = readPair(base);
        const Bytes& anim = pair.anim;
        const std::size_t verts = le16(pair.data, 2);
        if (pair.bytesPerVertex() != 8) {
            continue;
        }
        SCOPED_TRACE(base);
        copyIn(base);
        if (kRoomToSpare.count(base) > 0) {
            for (const std::vector<std::string>& args :
                 {std::vector<std::string>{"--to-unreal", base}, {"--to-unreal", "-h", base}}) {
                const RunResult r = runTool(args, scratch.dir);
                EXPECT_EQ(r.status, 1);
                EXPECT_TRUE(endsWith(r.out, "\n\nMesh file is already in the Unreal form !\n")) << r.out;
                EXPECT_EQ(get(base + "_a.3d"), anim);
            }
            continue;
        }
        // Where the vertices are: the first of every frame, as far as the file goes.
        const std::size_t frameSize = le16(anim, 2);
        std::vector<std::size_t> at;
        for (std::size_t frame = 4; frame < anim.size(); frame += frameSize) {
            for (std::size_t i = 0; i < verts && frame + 8 * i + 8 <= anim.size(); ++i) {
                at.push_back(frame + 8 * i);
            }
        }
        std::size_t tooLarge = 0;
        for (const std::size_t v : at) {
            ASSERT_EQ(s16(anim, v + 6), 0) << v;
            bool fits = true;
            for (const int value : {-s16(anim, v), -s16(anim, v + 2), int{s16(anim, v + 4)}}) {
                fits = fits && value >= -128 && value <= 127;
            }
            tooLarge += fits ? 0 : 1;
        }
        RunResult r = runTool({"--to-unreal", base}, scratch.dir);
        if (tooLarge > 0) {
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(endsWith(r.out, "\n\n" + std::to_string(tooLarge) +
                                            " vertices do not fit the Unreal form (use -h to keep every value) !\n"))
                << r.out;
            EXPECT_EQ(get(base + "_a.3d"), anim);
        } else {
            // Made by a normal conversion, it seems: it goes back without -h too.
            EXPECT_EQ(r.status, 0) << r.out;
            copyIn(base);
        }
        ++meshes;
        r = runTool({"--to-unreal", "-h", base}, scratch.dir);
        ASSERT_EQ(r.status, 0) << r.out;
        const Bytes out = get(base + "_a.3d");
        ASSERT_EQ(out.size(), 4 + 4 * at.size());
        EXPECT_EQ(le16(out, 0), le16(anim, 0));
        EXPECT_EQ(le16(out, 2), 4 * verts);
        // Nearest field value: |value - 32 x field| at most 16 (Z: 64 and 32),
        // or the field's last value for the top of the 16-bit range.
        const auto nearest = [](int value, int field, int scale, int last) {
            return std::abs(value - scale * field) <= scale / 2 || (field == last && value > scale * last);
        };
        for (std::size_t i = 0; i < at.size(); ++i) {
            const std::uint32_t w = le16(out, 4 + 4 * i) | (std::uint32_t{le16(out, 6 + 4 * i)} << 16);
            ASSERT_TRUE(nearest(-s16(anim, at[i]), field(w, 0, 11), 32, 1023)) << i;
            ASSERT_TRUE(nearest(-s16(anim, at[i] + 2), field(w, 11, 11), 32, 1023)) << i;
            ASSERT_TRUE(nearest(s16(anim, at[i] + 4), field(w, 22, 10), 64, 511)) << i;
        }
    }
    EXPECT_EQ(meshes, 10);
}

TEST_F(Corpus, MeshesOfAnyOtherFormAreRefusedUntouched) {
    int refused = 0;
    for (const std::string& base : corpusMeshes()) {
        SCOPED_TRACE(base);
        const Pair pair = readPair(base);
        const Bytes& anim = pair.anim;
        const Bytes& data = pair.data;
        const unsigned q = pair.bytesPerVertex();
        if (q == 4 || kRoomToSpare.count(base) > 0) {
            continue;
        }
        ++refused;
        EXPECT_EQ(q, 8u);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{base}, {"-ms", base}, {"-h", base}}) {
            copyIn(base);
            const RunResult r = runTool(args, scratch.dir);
            EXPECT_EQ(r.status, 1);
            EXPECT_TRUE(endsWith(r.out, "\n\nMesh file has already been converted !\n")) << r.out;
            EXPECT_EQ(get(base + "_a.3d"), anim);
            EXPECT_EQ(get(base + "_d.3d"), data);
        }
    }
    EXPECT_EQ(refused, 10);
}

// Every mesh of the Unreal form converts, in one run as alone; the Deus Ex
// ones are recognised.
TEST_F(Corpus, TheWholeCorpusInOneRun) {
    std::vector<std::string> args = {"--dry-run"};
    for (const std::string& base : corpusMeshes()) {
        copyIn(base);
        args.push_back(base);
    }
    const RunResult dry = runTool(args, scratch.dir);
    EXPECT_TRUE(endsWith(dry.out, "\n\n44 meshes: 34 would be converted, 10 already converted, 0 failed\n"))
        << dry.out.substr(dry.out.size() - std::min<std::size_t>(dry.out.size(), 200));
    EXPECT_EQ(dry.status, 1);
    args.erase(args.begin());
    const RunResult r = runTool(args, scratch.dir);
    EXPECT_TRUE(endsWith(r.out, "\n\n44 meshes: 34 converted, 10 already converted, 0 failed\n"));
    Scratch alone;
    for (const std::string& base : kRoomToSpare) {
        for (const char* s : {"_a.3d", "_d.3d"}) {
            writeFile(alone.dir / (base + s), readFile(corpusDir() / (base + s)));
        }
        ASSERT_EQ(runTool({base}, alone.dir).status, 0);
        EXPECT_EQ(get(base + "_a.3d"), readFile(alone.dir / (base + "_a.3d"))) << base;
    }
}

// The manual's "meshfold *.3d" on a copy of the whole corpus: every mesh is
// named by both of its files, across several groups of meshes, and each is
// converted once. The dry run says exactly what the real run then does.
TEST_F(Corpus, EveryFileOfTheFolderNamedConvertsEachMeshOnce) {
    std::vector<std::string> names;
    for (const std::string& f : listFolder(corpusDir())) {
        if (endsWith(f, ".3d")) {
            writeFile(scratch.dir / f, readFile(corpusDir() / f));
            names.push_back(f);
        }
    }
    std::vector<std::string> dryArgs = names;
    dryArgs.push_back("--dry-run");
    const RunResult dry = runTool(dryArgs, scratch.dir);
    const RunResult real = runTool(names, scratch.dir);
    EXPECT_TRUE(endsWith(real.out, "\n\n44 meshes: 34 converted, 10 already converted, 0 failed\n"))
        << real.out.substr(real.out.size() - std::min<std::size_t>(real.out.size(), 200));
    EXPECT_EQ(dry.out, asDryRun(real.out));
    EXPECT_EQ(dry.status, real.status);
}

// The coordinates of every vertex of every frame of an animation file in
// glTF units (x, y, z of the mesh): a Deus Ex value over 256, an Unreal X or
// Y field over 8 and a Z field over 4.
std::vector<double> meshUnits(const Bytes& anim, unsigned vertices) {
    const unsigned frameSize = le16(anim, 2);
    const bool wide = frameSize == 8 * vertices;
    std::vector<double> v;
    for (unsigned f = 0; f < le16(anim, 0); ++f) {
        for (unsigned i = 0; i < vertices; ++i) {
            const std::size_t at = 4 + std::size_t{f} * frameSize + i * (wide ? 8 : 4);
            if (wide) {
                for (int a = 0; a < 3; ++a) {
                    v.push_back(s16(anim, at + 2 * a) / 256.0);
                }
            } else {
                const std::uint32_t w = le16(anim, at) | static_cast<std::uint32_t>(le16(anim, at + 2)) << 16;
                v.insert(v.end(), {field(w, 0, 11) / 8.0, field(w, 11, 11) / 8.0, field(w, 22, 10) / 4.0});
            }
        }
    }
    return v;
}

// Every mesh whose frames have no room to spare, written as glTF by
// --to-gltf and brought back: in its own form both files byte for byte; in
// the other form the same frames in that form's units (no half turn: the
// glTF path keeps one coordinate system for both), or, for a Deus Ex
// coordinate past what the Unreal form holds, a refusal that names it.
TEST_F(Corpus, GltfRoundTripsGiveBothFilesBack) {
    int same = 0;
    int other = 0;
    for (const std::string& base : corpusMeshes()) {
        SCOPED_TRACE(base);
        const Pair pair = readPair(base);
        const unsigned n = le16(pair.data, 2);
        const FrameForm form = classifyFrames(le16(pair.anim, 2), static_cast<std::uint16_t>(n),
                                              std::span(pair.anim).subspan(4));
        const bool deusEx = form.form == VertexForm::Wide;
        if (le16(pair.anim, 2) != (deusEx ? 8 : 4) * n ||
            (!deusEx && form.form != VertexForm::Packed)) {
            continue; // room to spare, which glTF does not keep
        }
        copyIn(base);
        const RunResult written = runTool({"--to-gltf", base}, scratch.dir);
        if (written.status == 2) {
            GTEST_SKIP() << "this meshfold has no --to-gltf";
        }
        ASSERT_EQ(written.status, 0) << written.out;
        const std::string glb = base + ".glb";
        const RunResult own = runTool(deusEx ? std::vector<std::string>{glb}
                                             : std::vector<std::string>{"--to-unreal", glb},
                                      scratch.dir);
        ASSERT_EQ(own.status, 0) << own.out << own.err;
        ASSERT_EQ(get(base + "_a.3d"), pair.anim);
        ASSERT_EQ(get(base + "_d.3d"), pair.data);
        ++same;

        const RunResult turned = runTool(deusEx ? std::vector<std::string>{"--to-unreal", glb}
                                                : std::vector<std::string>{glb},
                                         scratch.dir);
        if (deusEx && turned.status == 1 && turned.out.find("use --fit") != std::string::npos) {
            continue;
        }
        ASSERT_EQ(turned.status, 0) << turned.out << turned.err;
        ASSERT_EQ(get(base + "_d.3d"), pair.data);
        const std::vector<double> was = meshUnits(pair.anim, n);
        const std::vector<double> now = meshUnits(get(base + "_a.3d"), n);
        ASSERT_EQ(now.size(), was.size());
        for (std::size_t i = 0; i < was.size(); ++i) {
            // Unreal to Deus Ex is exact; the way back rounds to the Unreal step.
            const double step = deusEx ? (i % 3 == 2 ? 0.25 : 0.125) : 0.0;
            ASSERT_LE(std::abs(now[i] - was[i]), step / 2 + 1e-9) << "value " << i;
        }
        ++other;
    }
    std::printf("[ figures  ] %d meshes back byte for byte through glTF, %d in the other form\n", same, other);
}

// ---- glTF export ----

// One frame's positions in glTF axes, decoded here from the animation file:
// (X, Z, Y) with X, Y the signed 11-bit fields / 8 and Z the 10-bit one / 4,
// or the signed 16-bit values / 256 of the Deus Ex form.
using Frame = std::vector<std::array<double, 3>>;

// The Deus Ex form: 8 bytes a vertex fit and every fourth word is 0.
bool isDeusEx(const Pair& p) {
    const unsigned n = le16(p.data, 2);
    const unsigned f = le16(p.anim, 2);
    if (f < 8 * n) {
        return false;
    }
    for (unsigned i = 0; i < n; ++i) {
        if (le16(p.anim, 4 + 8 * i + 6) != 0) {
            return false;
        }
    }
    return true;
}

// Bytes as the extras keep them: lower-case hex digits, nothing between.
std::string plainHex(const Bytes& b) {
    std::string text = hex(b);
    text.erase(std::remove(text.begin(), text.end(), ' '), text.end());
    std::transform(text.begin(), text.end(), text.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

Frame frameOf(const Pair& p, bool deusEx, unsigned k) {
    const unsigned n = le16(p.data, 2);
    const std::size_t at = 4 + std::size_t{k} * le16(p.anim, 2);
    Frame frame(n);
    for (unsigned i = 0; i < n; ++i) {
        double x, y, z;
        if (deusEx) {
            x = s16(p.anim, at + 8 * i) / 256.0;
            y = s16(p.anim, at + 8 * i + 2) / 256.0;
            z = s16(p.anim, at + 8 * i + 4) / 256.0;
        } else {
            const std::uint32_t w = le16(p.anim, at + 4 * i) | std::uint32_t{le16(p.anim, at + 4 * i + 2)} << 16;
            x = field(w, 0, 11) / 8.0;
            y = field(w, 11, 11) / 8.0;
            z = field(w, 22, 10) / 4.0;
        }
        frame[i] = {x, z, y};
    }
    return frame;
}

// Every corner of every frame, each triangle's corner order, the texture
// coordinates, the materials, the animation and the extras of one exported
// mesh, against the mesh's own bytes.
void checkExport(const std::string& base, const Pair& p, const Bytes& file) {
    const Glb glb = readGlb(file);
    ASSERT_EQ(glb.error, "");
    const nlohmann::json& j = glb.json;
    const bool deusEx = isDeusEx(p);
    const unsigned frames = le16(p.anim, 0);
    const unsigned n = le16(p.data, 2);
    const unsigned polys = le16(p.data, 0);
    const nlohmann::json& mesh = j.at("meshes").at(0);
    const nlohmann::json& extras = mesh.at("extras").at("meshfold");
    EXPECT_EQ(extras.at("form"), deusEx ? "deusex" : "unreal");
    EXPECT_EQ(extras.at("frameSize"), le16(p.anim, 2));
    EXPECT_EQ(extras.at("vertexCount"), n);
    EXPECT_EQ(extras.at("polygonCount"), polys);
    EXPECT_EQ(extras.at("dataHeaderTail"), plainHex(Bytes(p.data.begin() + 4, p.data.begin() + 48)));
    EXPECT_EQ(extras.at("dataTrailer"), plainHex(Bytes(p.data.begin() + 48 + 16 * polys, p.data.end())));
    EXPECT_EQ(mesh.at("extras").at("targetNames").size(), frames - 1);
    if (frames > 1) {
        EXPECT_EQ(mesh["extras"]["targetNames"][frames - 2], "Frame " + std::to_string(frames - 1));
    }
    const nlohmann::json& prims = mesh.at("primitives");
    const std::size_t texAcc = prims[0]["attributes"]["TEXCOORD_0"];
    const std::size_t baseAcc = prims[0]["attributes"]["POSITION"];
    const std::vector<double> uv = accessorValues(glb, texAcc);
    std::vector<std::vector<double>> pos = {accessorValues(glb, baseAcc)};
    for (unsigned k = 1; k < frames; ++k) {
        const std::size_t acc = prims[0].at("targets").at(k - 1).at("POSITION");
        pos.push_back(accessorValues(glb, acc));
        const nlohmann::json& a = j["accessors"][acc];
        const auto& v = pos.back();
        for (std::size_t c = 0; c < 3; ++c) { // bounds as the validator wants them
            double lo = v[c], hi = v[c];
            for (std::size_t i = c; i < v.size(); i += 3) {
                lo = std::min(lo, v[i]);
                hi = std::max(hi, v[i]);
            }
            // Nine digits: the same float32, not the same double.
            ASSERT_EQ(static_cast<float>(a["min"][c].get<double>()), static_cast<float>(lo));
            ASSERT_EQ(static_cast<float>(a["max"][c].get<double>()), static_cast<float>(hi));
        }
    }
    std::vector<Frame> expected;
    for (unsigned k = 0; k < frames; ++k) {
        expected.push_back(frameOf(p, deusEx, k));
    }
    // Walk the data file's triangles; each takes the next three indices of
    // its material's primitive.
    std::vector<std::string> names;
    std::vector<std::vector<double>> indices;
    for (const nlohmann::json& prim : prims) {
        const nlohmann::json& mat = j["materials"][static_cast<std::size_t>(prim.at("material"))];
        names.push_back(mat.at("name"));
        indices.push_back(accessorValues(glb, prim.at("indices")));
        EXPECT_EQ(prim["attributes"]["POSITION"], baseAcc);
    }
    std::vector<std::size_t> next(prims.size(), 0);
    for (unsigned t = 0; t < polys; ++t) {
        const std::size_t at = 48 + 16 * std::size_t{t};
        const std::uint8_t type = p.data[at + 6];
        const std::uint8_t texture = p.data[at + 14];
        const std::string name = materialName(texture, type, base);
        const auto prim = static_cast<std::size_t>(std::find(names.begin(), names.end(), name) - names.begin());
        ASSERT_LT(prim, names.size()) << name;
        const unsigned order[3] = {0, 2, 1}; // the facing the game shows
        for (unsigned c = 0; c < 3; ++c) {
            const unsigned corner = order[c];
            const auto gv = static_cast<std::size_t>(indices[prim].at(next[prim]++));
            const unsigned mv = le16(p.data, at + 2 * corner);
            ASSERT_LT(mv, n);
            ASSERT_EQ(uv.at(2 * gv), p.data[at + 8 + 2 * corner] / 256.0) << t;
            ASSERT_EQ(uv.at(2 * gv + 1), p.data[at + 9 + 2 * corner] / 256.0) << t;
            for (unsigned k = 0; k < frames; ++k) {
                for (unsigned a = 0; a < 3; ++a) {
                    const double got = pos[0].at(3 * gv + a) + (k > 0 ? pos[k][3 * gv + a] : 0.0);
                    ASSERT_EQ(got, expected[k][mv][a]) << "triangle " << t << " frame " << k;
                }
            }
        }
    }
    for (std::size_t i = 0; i < prims.size(); ++i) {
        EXPECT_EQ(next[i], indices[i].size()) << "primitive " << i << " has triangles no record made";
    }
    // "check": the base positions as stored, then every primitive's indices.
    Fnv1a64 sum;
    for (const double v : pos[0]) {
        const float f = static_cast<float>(v);
        std::uint32_t bits = 0;
        std::memcpy(&bits, &f, sizeof bits);
        sum.addLe32(bits);
    }
    for (const std::vector<double>& primitive : indices) {
        for (const double i : primitive) {
            sum.addLe32(static_cast<std::uint32_t>(i));
        }
    }
    EXPECT_EQ(extras.at("check"), checksumHex(sum));
    // One key frame a frame, k / 30 s; frame k >= 1 weighs 1 on target k - 1 alone.
    if (frames > 1) {
        const nlohmann::json& sampler = j.at("animations").at(0).at("samplers").at(0);
        EXPECT_EQ(sampler.at("interpolation"), "LINEAR");
        const std::vector<double> times = accessorValues(glb, sampler.at("input"));
        const std::vector<double> weights = accessorValues(glb, sampler.at("output"));
        ASSERT_EQ(times.size(), frames);
        ASSERT_EQ(weights.size(), std::size_t{frames} * (frames - 1));
        for (unsigned k = 0; k < frames; ++k) {
            EXPECT_EQ(times[k], static_cast<float>(k / 30.0));
            for (unsigned t = 0; t + 1 < frames; ++t) {
                ASSERT_EQ(weights[std::size_t{k} * (frames - 1) + t], k == t + 1 ? 1.0 : 0.0);
            }
        }
    } else {
        EXPECT_FALSE(j.contains("animations"));
        EXPECT_FALSE(prims[0].contains("targets"));
    }
}

// Every mesh of the corpus, in both forms, exported in one run; the mesh's
// files stay as they were.
TEST_F(Corpus, EveryMeshExportsToGltfShowingEveryFrame) {
    std::vector<std::string> meshes = corpusMeshes();
    for (const std::string& base : meshes) {
        copyIn(base);
    }
    const RunResult r = runTool({"--to-gltf", "."}, scratch.dir);
    ASSERT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(endsWith(r.out, "\n\n44 meshes: 44 exported, 0 failed\n"));
    for (const std::string& base : meshes) {
        SCOPED_TRACE(base);
        const Pair pair = readPair(base);
        EXPECT_EQ(get(base + "_a.3d"), pair.anim);
        EXPECT_EQ(get(base + "_d.3d"), pair.data);
        checkExport(base, pair, get(base + ".glb"));
    }
    EXPECT_EQ(listFolder(scratch.dir).size(), 3 * meshes.size()); // nothing else left behind
}

// The texture files of the real packages' meshes, by slot, as their import
// lines give them (see the packages' PROVENANCE.md): a mesh, the package
// folder under corpus-packages, and for each slot the file and whether it
// is imported masked (FLAGS=2). Slots set to a texture of the game's own
// (WeaponHandsTex) or not at all, and meshes whose skins only UnrealScript
// sets, have none.
struct PackageMesh {
    const char* mesh; // the animation file, under the package folder
    std::map<int, std::pair<const char*, bool>> slots;
};
const char* const kGun = "deusexhq_partystuff/PGAssets/";
const std::pair<const char*, bool> kX7 = {"Textures/X7PR2.pcx", false};
const std::pair<const char*, bool> kBlackMask = {"Textures/BlackMaskTex.pcx", true};
const std::vector<std::pair<std::string, PackageMesh>> kPackageMeshes = {
    {kGun, {"Models/FLBasketball_a.3d", {{0, {"Textures/flbasketball.pcx", false}},
                                         {1, {"Textures/flbasketball.pcx", false}}}}},
    {kGun, {"Models/WEAP_x7PR_pov_a.3d", {{2, kBlackMask}, {3, kX7}, {4, {"Textures/display1.pcx", false}}}}},
    {kGun, {"Models/WEAP_x7PR_3rd_a.3d", {{0, kX7}, {1, kX7}, {2, kBlackMask}}}},
    {kGun, {"Models/WEAP_x7PR_pickup_a.3d", {{0, kX7}}}},
    {kGun, {"Models/bedsmall_a.3d", {}}},
    {kGun, {"Models/hellfire_a.3d", {}}},
    {kGun, {"Models/sandwich_a.3d", {}}},
    {kGun, {"Models/kebab_a.3d", {}}},
    {"LoadLineCalibration_Deus-Ex-Zodiac-source/Zodiac/",
     {"Models/AlienSwitch_a.3d", {{0, {"Textures/AlienSwitchTex2a.pcx", false}},
                                  {1, {"Textures/AlienSwitchTex1.pcx", false}}}}},
    {"LoadLineCalibration_Deus-Ex-Zodiac-source/Zodiac/",
     {"Models/OfficeChairB_a.3d", {{0, {"Textures/OfficeChairBTex1.pcx", false}}}}},
    {"scraphammer_firetrucks/Firetrucks/", {"Models/oll_journal_a.3d", {{1, {"Models/oll_journal1.pcx", true}}}}},
    {"scraphammer_trashbag/trashbag/",
     {"Models/Hamburger01_a.3d", {{1, {"Models/burgerbun.pcx", false}}, {2, {"Models/salad.pcx", false}},
                                  {3, {"Models/patty.pcx", false}}, {4, {"Models/tomatoslice.pcx", false}},
                                  {5, {"Models/onionslice.pcx", false}}, {6, {"Models/cheeseslice.pcx", false}},
                                  {7, {"Models/burgerbunbottom.pcx", false}}}}},
    {"scraphammer_trashbag/trashbag/", {"Models/hairclip_a.3d", {{1, {"Models/hairclip1.pcx", true}}}}},
    {"SnakieJakie_Jazz-Jackrabbit-3D-Archive/Jazz3/", {"Models/Jazz_a.3d", {{2, {"Textures/jazz_02.PCX", true}}}}},
    {"SnakieJakie_Jazz-Jackrabbit-3D-Archive/JazzDecoration/",
     {"Models/palmtree1_a.3d", {{0, {"Textures/palmtree1_01.PCX", true}}, {2, {"Textures/palmtree1_02.PCX", true}}}}},
};

// The bytes of buffer view `index`.
Bytes viewBytes(const Glb& glb, std::size_t index) {
    const nlohmann::json& v = glb.json.at("bufferViews").at(index);
    const std::size_t at = v.value("byteOffset", std::size_t{0});
    return Bytes(glb.bin.begin() + static_cast<std::ptrdiff_t>(at),
                 glb.bin.begin() + static_cast<std::ptrdiff_t>(at + v.at("byteLength").get<std::size_t>()));
}

// Checks that a material shows `source` as the game does: every pixel's
// colour as the tests' own decoder reads the file; alpha 0 for palette index
// 0 where masked, the brightest channel for translucent polygons, else 255.
void checkTexturePixels(const Glb& glb, const nlohmann::json& material, const Bytes& source, bool flagsMasked) {
    const int type = material.at("extras").at("meshfold").at("type");
    const bool translucent = (type & 15) == 2;
    const bool masked = flagsMasked || (type & 15) == 3;
    EXPECT_EQ(material.value("alphaMode", "OPAQUE"), translucent ? "BLEND" : masked ? "MASK" : "OPAQUE");
    const std::size_t texture = material.at("pbrMetallicRoughness").at("baseColorTexture").at("index");
    const nlohmann::json& t = glb.json.at("textures").at(texture);
    const nlohmann::json& sampler = glb.json.at("samplers").at(t.at("sampler").get<std::size_t>());
    EXPECT_EQ(sampler.at("magFilter"), (type & 0x80) != 0 ? 9728 : 9729);
    EXPECT_EQ(material.contains("extensions"), (type & 0x10) != 0);
    const nlohmann::json& image = glb.json.at("images").at(t.at("source").get<std::size_t>());
    ASSERT_EQ(image.at("mimeType"), "image/png");
    const Bytes png = viewBytes(glb, image.at("bufferView"));
    ASSERT_TRUE(png.size() > 8 && png[1] == 'P' && png[2] == 'N' && png[3] == 'G');
    const ImageDecoded shown = decodeImage(png);
    ASSERT_EQ(shown.failure, "");
    const ReferenceImage want = referenceDecode(source);
    ASSERT_TRUE(want.ok) << want.why;
    ASSERT_EQ(shown.image.width, want.width);
    ASSERT_EQ(shown.image.height, want.height);
    ASSERT_EQ(shown.image.rgba.size(), want.rgba.size());
    std::size_t wrong = 0;
    for (std::size_t i = 0, p = 0; p < want.rgba.size(); ++i, p += 4) {
        const std::uint8_t* w = want.rgba.data() + p;
        const std::uint8_t alpha = masked && !want.indices.empty() && want.indices[i] == 0 ? 0
                                   : translucent ? std::max({w[0], w[1], w[2]})
                                                 : 255;
        const std::uint8_t* g = shown.image.rgba.data() + p;
        wrong += g[0] != w[0] || g[1] != w[1] || g[2] != w[2] || g[3] != alpha;
    }
    EXPECT_EQ(wrong, 0u) << "pixels differ";
}

// Every mesh of the packages, copied into `dir`, exported there with --uc in
// one run.
RunResult exportPackages(const fs::path& packages, const fs::path& dir) {
    fs::copy(packages, dir, fs::copy_options::recursive);
    std::vector<std::string> args = {"--to-gltf", "--uc"};
    for (const auto& [folder, m] : kPackageMeshes) {
        args.push_back(folder + m.mesh);
    }
    return runTool(args, dir);
}

// Every mesh of the real packages, exported with --uc from a copy of them:
// each slot whose texture the package imports from a file there shows that
// file, pixel for pixel; every other slot stays plain, and the game's own
// textures are named in a warning.
TEST(CorpusPackages, EveryMeshShowsItsPackagesTexturesPixelForPixel) {
    const fs::path packages = corpusPackagesDir();
    if (packages.empty()) {
        GTEST_SKIP() << "no packages at ../shared/corpus-packages beside the repository";
    }
    Scratch scratch;
    const RunResult r = exportPackages(packages, scratch.dir);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Texture slot 3: BRAssaultGunTex1 (textures\\X7PR2.pcx, 256 x 256)"), std::string::npos)
        << r.out;
    for (const int slot : {0, 1}) {
        EXPECT_NE(r.err.find("WEAP_x7PR_pov_a.3d: texture slot " + std::to_string(slot) +
                             " is DeusExItems.Skins.WeaponHandsTex, which the package does not import"),
                  std::string::npos)
            << r.err;
    }
    for (const auto& [folder, m] : kPackageMeshes) {
        SCOPED_TRACE(m.mesh);
        const std::string anim = folder + m.mesh;
        EXPECT_EQ(readFile(scratch.dir / anim), readFile(packages / anim)); // only read
        const Glb glb = readGlb(readFile(scratch.dir / (anim.substr(0, anim.size() - 5) + ".glb")));
        ASSERT_EQ(glb.error, "");
        // Each distinct PNG once, however many slots show it
        // (flbasketball.pcx on two slots, X7PR2.pcx on two of the gun's).
        std::set<std::string> pngs;
        for (const nlohmann::json& image : glb.json.value("images", nlohmann::json::array())) {
            const nlohmann::json& view = glb.json.at("bufferViews").at(image.at("bufferView").get<std::size_t>());
            const auto at = glb.bin.begin() + view.value("byteOffset", std::ptrdiff_t{0});
            EXPECT_TRUE(pngs.insert(std::string(at, at + view.at("byteLength").get<std::ptrdiff_t>())).second)
                << image.at("name");
        }
        std::set<int> shown;
        for (const nlohmann::json& material : glb.json.at("materials")) {
            const int slot = material.at("extras").at("meshfold").at("texture");
            const auto it = m.slots.find(slot);
            ASSERT_EQ(material.at("pbrMetallicRoughness").contains("baseColorTexture"), it != m.slots.end())
                << slot;
            if (it != m.slots.end()) {
                SCOPED_TRACE(it->second.first);
                shown.insert(slot);
                EXPECT_EQ(material.at("extras").at("meshfold").at("textureFlags"), it->second.second ? 2 : 0);
                checkTexturePixels(glb, material, readFile(packages / (folder + it->second.first)),
                                   it->second.second);
            }
        }
        EXPECT_EQ(shown.size(), m.slots.size()); // every slot's texture is shown
    }
    // A textured file still brings both game files back byte for byte.
    for (const auto& [glb, unreal] : {std::pair<std::string, bool>{std::string(kGun) + "Models/WEAP_x7PR_pov.glb", false},
                                      {"scraphammer_trashbag/trashbag/Models/Hamburger01.glb", true}}) {
        SCOPED_TRACE(glb);
        const RunResult back = runTool(unreal ? std::vector<std::string>{"--to-unreal", glb}
                                              : std::vector<std::string>{glb},
                                       scratch.dir);
        ASSERT_EQ(back.status, 0) << back.out << back.err;
        const std::string base = glb.substr(0, glb.size() - 4);
        EXPECT_EQ(readFile(scratch.dir / (base + "_a.3d")), readFile(packages / (base + "_a.3d")));
        EXPECT_EQ(readFile(scratch.dir / (base + "_d.3d")), readFile(packages / (base + "_d.3d")));
    }
}

// The texture file `fileName` (any case) in `folder`, or an empty path.
fs::path fileIgnoringCase(const fs::path& folder, const std::string& fileName) {
    for (const fs::directory_entry& e : fs::directory_iterator(folder)) {
        if (equalsIgnoringAsciiCase(e.path().filename().string(), fileName)) {
            return e.path();
        }
    }
    return {};
}

// Every textured mesh of the real packages, exported with --to-gltf --uc and
// brought back with --uc, each in a folder of its own: every slot's texture
// file comes back under its own base name (.pcx), its size, the palette
// entries it uses and every pixel's index exactly as the package's file has
// them; the script imports it under the name and flags the package gave it
// (FLAGS=2 for the masked ones) and sets its slot to it.
TEST(CorpusPackages, TexturesComeBackAsThePackagesOwnFiles) {
    const fs::path packages = corpusPackagesDir();
    if (packages.empty()) {
        GTEST_SKIP() << "no packages at ../shared/corpus-packages beside the repository";
    }
    Scratch scratch;
    ASSERT_EQ(exportPackages(packages, scratch.dir).status, 0);
    std::size_t textures = 0;
    std::size_t sameBytes = 0;
    std::size_t ownWritten = 0; // sources this writer would write the same way
    for (const auto& [folder, m] : kPackageMeshes) {
        if (m.slots.empty()) {
            continue;
        }
        SCOPED_TRACE(m.mesh);
        const std::string anim = folder + m.mesh;
        const std::string base = fs::path(anim).filename().string();
        const std::string name = base.substr(0, base.size() - 5);
        const fs::path back = scratch.dir / ("back-" + name);
        fs::create_directories(back);
        fs::copy_file(scratch.dir / (anim.substr(0, anim.size() - 5) + ".glb"), back / (name + ".glb"));
        const RunResult r = runTool({"--uc", name + ".glb"}, back);
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        const Bytes script = readFile(back / (name + ".uc"));
        const std::string uc(script.begin(), script.end());
        const Glb glb = readGlb(readFile(back / (name + ".glb")));
        for (const auto& [slot, file] : m.slots) {
            SCOPED_TRACE(file.first);
            std::string textureName;
            for (const nlohmann::json& material : glb.json.at("materials")) {
                if (material.at("extras").at("meshfold").at("texture") == slot) {
                    textureName = material.at("extras").at("meshfold").at("textureName");
                }
            }
            const std::string stem = fs::path(file.first).stem().string();
            const fs::path made = fileIgnoringCase(back, stem + ".pcx");
            ASSERT_FALSE(made.empty()) << uc;
            const ReferenceImage want = referenceDecode(readFile(packages / (folder + file.first)));
            const ReferenceImage got = referenceDecode(readFile(made));
            ASSERT_TRUE(want.ok && got.ok) << want.why << got.why;
            EXPECT_EQ(got.width, want.width);
            EXPECT_EQ(got.height, want.height);
            EXPECT_EQ(got.indices, want.indices);
            EXPECT_EQ(got.rgba, want.rgba);
            EXPECT_EQ(got.palette, want.palette); // all 256 entries, used or not
            // Where this writer would write the source itself byte for byte,
            // the texture must come back as those very bytes.
            const Bytes source = readFile(packages / (folder + file.first));
            const ImageDecoded decoded = decodeImage(source);
            ASSERT_TRUE(decoded.failure.empty()) << decoded.failure;
            PalettedImage again{want.width, want.height, decoded.image.indices, {}, 256};
            ASSERT_EQ(decoded.image.palette.size(), again.palette.size());
            std::copy(decoded.image.palette.begin(), decoded.image.palette.end(), again.palette.begin());
            const bool ownWriting = encodePcx(again) == source;
            if (ownWriting) {
                EXPECT_EQ(readFile(made), source);
            }
            ownWritten += ownWriting;
            sameBytes += readFile(made) == source;
            ++textures;
            const std::size_t import = uc.find("#exec TEXTURE IMPORT NAME=" + textureName + " FILE=");
            ASSERT_NE(import, std::string::npos) << uc;
            const std::string line = uc.substr(import, uc.find('\n', import) - import);
            EXPECT_EQ(line.find(" FLAGS=2") != std::string::npos, file.second) << line;
            EXPECT_NE(line.find(made.filename().string()), std::string::npos) << line;
            EXPECT_NE(uc.find("\n#exec MESHMAP SETTEXTURE MESHMAP=" + name + " NUM=" + std::to_string(slot) +
                              " TEXTURE=" + textureName + "\n"),
                      std::string::npos) << uc;
        }
    }
    std::printf("[ figures  ] %zu textures back with their pixels, indices and whole palette, %zu byte for byte"
                " (%zu written as this writer writes them)\n",
                textures, sameBytes, ownWritten);
}

// The palette indices of texture `name` as the compiled package `file`
// holds them (its first mip); empty when it is not there.
Bytes compiledIndices(const fs::path& file, const std::string& name) {
    const Bytes bytes = readFile(file);
    package::PackageRead r = package::readPackage(bytes, file.stem().string());
    if (!r.package) {
        return {};
    }
    r.package->bytes = bytes;
    for (std::size_t i = 0; i < r.package->exports.size(); ++i) {
        const package::TextureRead t = package::readTexture(*r.package, i);
        if (t.texture && t.texture->name == name && t.texture->group == name && !t.texture->mips.empty()) {
            const auto& pixels = t.texture->mips.front().pixels;
            return Bytes(pixels.begin(), pixels.end());
        }
    }
    return {};
}

// A UT99 mod's skin imported from a 24-bit BMP with FLAGS=2 (KillConfirmed's
// DogTags), exported with --to-gltf --uc and brought back with --uc: it
// comes back as DogTags.pcx beside the file, imported under its name, group
// and flags, with the BMP's colours; its palette index 0 (transparent, the
// texture being masked) holds the very pixels the engine put there when it
// compiled the package.
TEST(CorpusPackages, ATrueColourSkinComesBackUnderItsNameGroupAndFlags) {
    const fs::path ue1 = corpusUe1Dir();
    const fs::path mod = ue1 / "1337GameDev_Ut99Mods";
    if (ue1.empty() || !fs::exists(mod / "KillConfirmed")) {
        GTEST_SKIP() << "no KillConfirmed at ../shared/corpus-ue1 beside the repository";
    }
    Scratch scratch;
    fs::copy(mod / "KillConfirmed", scratch.dir / "KillConfirmed", fs::copy_options::recursive);
    ASSERT_EQ(runTool({"--to-gltf", "--uc", "KillConfirmed/Models/DogTags/Tags"}, scratch.dir).status, 0);
    fs::create_directories(scratch.dir / "back");
    fs::copy_file(scratch.dir / "KillConfirmed/Models/DogTags/Tags.glb", scratch.dir / "back/Tags.glb");
    const RunResult r = runTool({"--uc", "Tags.glb"}, scratch.dir / "back");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\n  texture 1: DogTags.pcx, 64 x 64, 2 colours, masked\n"), std::string::npos) << r.out;
    const Bytes script = readFile(scratch.dir / "back/Tags.uc");
    const std::string uc(script.begin(), script.end());
    EXPECT_NE(uc.find("\n#exec TEXTURE IMPORT NAME=DogTags FILE=Textures\\DogTags\\DogTags.pcx GROUP=DogTags FLAGS=2\n"
                      "#exec MESHMAP SETTEXTURE MESHMAP=Tags NUM=1 TEXTURE=DogTags\n"),
              std::string::npos) << uc;
    const ImageDecoded made = decodeImage(readFile(scratch.dir / "back/DogTags.pcx"));
    ASSERT_EQ(made.failure, "");
    EXPECT_EQ(made.image.rgba, decodeImage(readFile(mod / "KillConfirmed/Textures/DogTags/DogTags.bmp")).image.rgba);
    const Bytes compiled = compiledIndices(mod / "System/KillConfirmed.u", "DogTags");
    ASSERT_EQ(compiled.size(), made.image.indices.size());
    for (std::size_t i = 0; i < compiled.size(); ++i) {
        ASSERT_EQ(made.image.indices[i] == 0, compiled[i] == 0) << "pixel " << i;
    }
}

} // namespace
} // namespace meshfold::test
