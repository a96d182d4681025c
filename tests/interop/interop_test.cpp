// Every real packed mesh must decode as an importer nobody on this project
// wrote decodes it: assimp 5.2 reads the packed form, and `assimp export
// NAME_d.3d out.obj --left-handed` writes the signed 11/11/10-bit fields of
// frame 0 unscaled and without an axis flip, triangle corners in file order.
// Our frame 0 must equal those fields mapped as our modes document:
//   normal   X = -(fx >> 3)   Y = -(fy >> 3)   Z = fz >> 2
//   -h       X = -(fx * 32)   Y = -(fy * 32)   Z = fz * 64   (saturated to int16)
//   -ms      X keeps its sign in either mode.
// Once converted, assimp must refuse the pair: it reads only the packed form.
#include "assimp_tool.h"
#include "support.h"

#include "meshfold/game/format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

namespace meshfold::interop {
namespace {

using test::Bytes;

// The converted position of one vertex, as our output stores it.
struct Position {
    int x = 0;
    int y = 0;
    int z = 0;
    bool operator==(const Position&) const = default;
};

// Appended piece by piece: a literal followed by "+ std::string" makes g++ 12
// at -O3 report a false -Wrestrict inside std::string.
std::string show(const Position& p) {
    std::string s = "(";
    s += std::to_string(p.x);
    s += ", ";
    s += std::to_string(p.y);
    s += ", ";
    s += std::to_string(p.z);
    s += ")";
    return s;
}

std::string show(const FieldTriple& f) {
    return show(Position{f.x, f.y, f.z});
}

struct ModeCase {
    const char* label;
    const char* folder; // scratch sub-folder of the run
    std::vector<std::string> switches;
    bool milkShape; // X keeps its sign and every triangle is stored reversed
    bool hiRes;
};

const std::vector<ModeCase>& modeCases() {
    static const std::vector<ModeCase> cases = {
        {"normal", "normal", {}, false, false},
        {"-h", "hires", {"-h"}, false, true},
        {"-ms", "milkshape", {"-ms"}, true, false},
        {"-ms -h", "milkshape-hires", {"-ms", "-h"}, true, true},
    };
    return cases;
}

int saturateToInt16(int v) {
    return std::clamp(v, int{std::numeric_limits<std::int16_t>::min()},
                      int{std::numeric_limits<std::int16_t>::max()});
}

// Normal mode keeps the top 8 bits of each field: 3 of X's and Y's 11 bits and
// 2 of Z's 10 bits are dropped (arithmetic shifts: -1 stays -1). Hi-res keeps
// every bit at 256 times that scale.
constexpr int kXYDroppedBits = 3;
constexpr int kZDroppedBits = 2;

// What our documented modes make of the importer's fields. Written out here
// from the documentation, independently of the converter's own code.
Position expectedPosition(const FieldTriple& f, const ModeCase& mode) {
    constexpr int kHiResXYScale = 32;
    constexpr int kHiResZScale = 64;
    Position p;
    if (mode.hiRes) {
        p.x = f.x * kHiResXYScale;
        p.y = -f.y * kHiResXYScale;
        p.z = f.z * kHiResZScale;
    } else {
        p.x = f.x >> kXYDroppedBits;
        p.y = -(f.y >> kXYDroppedBits);
        p.z = f.z >> kZDroppedBits;
    }
    if (!mode.milkShape) {
        p.x = -p.x;
    }
    return {saturateToInt16(p.x), saturateToInt16(p.y), saturateToInt16(p.z)};
}

// The documented worked values, so that a wrong reference cannot hide a fault.
TEST(InteropReference, MapsFieldsAsTheModesDocument) {
    // Word 0x80200400: X 0x400 (-1024), Y 0x400 (-1024), Z 0x200 (-512).
    const FieldTriple mostNegative{-1024, -1024, -512};
    // Word 0x12345678: X 0x678 (-392), Y 0x68A (-374), Z 0x048 (72).
    const FieldTriple mixed{-392, -374, 72};
    // Word 0x03008008: X 8, Y 16, Z 12.
    const FieldTriple small{8, 16, 12};
    const auto& m = modeCases();
    const ModeCase& normal = m[0];
    const ModeCase& hiRes = m[1];
    const ModeCase& milkShape = m[2];
    const ModeCase& milkShapeHiRes = m[3];
    EXPECT_EQ(expectedPosition(mostNegative, normal), (Position{128, 128, -128}));
    EXPECT_EQ(expectedPosition(mostNegative, milkShape), (Position{-128, 128, -128}));
    EXPECT_EQ(expectedPosition(mostNegative, hiRes), (Position{32767, 32767, -32768}));
    EXPECT_EQ(expectedPosition(mostNegative, milkShapeHiRes), (Position{-32768, 32767, -32768}));
    EXPECT_EQ(expectedPosition(mixed, normal), (Position{49, 47, 18}));
    EXPECT_EQ(expectedPosition(mixed, hiRes), (Position{12544, 11968, 4608}));
    EXPECT_EQ(expectedPosition(small, normal), (Position{-1, -2, 3}));
    EXPECT_EQ(expectedPosition(small, milkShape), (Position{1, -2, 3}));
    EXPECT_EQ(expectedPosition(small, hiRes), (Position{-256, -512, 768}));
}

// ---------------------------------------------------------------------------
// Reading our side of the comparison.

struct Triangle {
    std::array<std::uint16_t, 3> vertex{};
    std::uint8_t textureNumber = 0;
};

struct DataFile {
    std::uint16_t polygonCount = 0;
    std::uint16_t vertexCount = 0;
    std::vector<Triangle> triangles;
};

// False when the file is too short for its header or its triangle records.
bool readDataFile(const Bytes& bytes, DataFile& out) {
    if (bytes.size() < kDataHeaderSize) {
        return false;
    }
    out.polygonCount = readLe16(bytes.data());
    out.vertexCount = readLe16(bytes.data() + 2);
    if (bytes.size() < kDataHeaderSize + std::size_t{out.polygonCount} * kTriangleRecordSize) {
        return false;
    }
    out.triangles.clear();
    for (std::size_t t = 0; t < out.polygonCount; ++t) {
        const std::uint8_t* record = bytes.data() + kDataHeaderSize + t * kTriangleRecordSize;
        Triangle tri;
        for (std::size_t k = 0; k < 3; ++k) {
            tri.vertex[k] = readLe16(record + kTriVertexOffset + 2 * k);
        }
        tri.textureNumber = record[kTriAttr2Offset];
        out.triangles.push_back(tri);
    }
    return true;
}

// Vertex `index` of an animation file in the wide form (frame 0 when index
// is below the vertex count). The file must hold it.
Position wideVertex(const Bytes& anim, std::size_t index) {
    const std::uint8_t* v = anim.data() + kAnimHeaderSize + index * kWideVertexSize;
    return {static_cast<std::int16_t>(readLe16(v)), static_cast<std::int16_t>(readLe16(v + 2)),
            static_cast<std::int16_t>(readLe16(v + 4))};
}

// The triangles (file indices) of each mesh assimp makes of the data file,
// in the order it writes them. assimp keys its materials on polygon type and
// texture number, but with its default settings it reads every polygon type
// as the plain one-sided one first, so the texture number alone decides: one
// group per texture number, in order of first use, file order inside.
std::vector<std::vector<std::size_t>> importerGroups(const std::vector<Triangle>& triangles) {
    std::vector<std::vector<std::size_t>> groups;
    std::map<std::uint8_t, std::size_t> groupOfTexture;
    for (std::size_t t = 0; t < triangles.size(); ++t) {
        const auto [it, added] = groupOfTexture.try_emplace(triangles[t].textureNumber, groups.size());
        if (added) {
            groups.emplace_back();
        }
        groups[it->second].push_back(t);
    }
    return groups;
}

// ---------------------------------------------------------------------------
// The comparison.

// Figures of one mesh in one mode.
struct Tally {
    std::size_t compared = 0;   // corners whose position was compared
    std::size_t excluded = 0;   // corners assimp resets to vertex 0 (its defect)
    std::size_t mismatches = 0; // compared corners that differ
    std::size_t defectOdd = 0;  // excluded corners that do not show vertex 0 either
    std::size_t mostNegative = 0; // compared corners with a top byte of 0x80 on some axis
};

// True when some field's top byte (the part normal mode keeps) is 0x80, the
// most negative value: the case a sign-extension fault gets wrong.
bool hasMostNegativeTopByte(const FieldTriple& f) {
    constexpr int kTopByteMin = -128;
    return (f.x >> kXYDroppedBits) == kTopByteMin || (f.y >> kXYDroppedBits) == kTopByteMin ||
           (f.z >> kZDroppedBits) == kTopByteMin;
}

// At most this many differences are spelled out per mesh and mode.
constexpr std::size_t kReportedDifferences = 5;

// Our side of the comparison: the position our file stores for a vertex of
// frame 0, and the position the importer's fields of that vertex must give.
struct OurSide {
    std::string label;    // mesh and mode, for the messages
    bool reversed;        // every triangle stored with its corners reversed (-ms)
    std::function<Position(std::size_t)> stored;
    std::function<Position(const FieldTriple&)> expected;
};

// Compares corner by corner the faces assimp wrote with our frame 0.
// `ours` is the data file as our run left it (reversed windings with -ms).
Tally compareCorners(const OurSide& side, const ObjScene& scene, const DataFile& original,
                     const DataFile& ours) {
    Tally tally;
    const auto groups = importerGroups(original.triangles);
    for (std::size_t g = 0; g < groups.size(); ++g) {
        for (std::size_t j = 0; j < groups[g].size(); ++j) {
            const std::size_t t = groups[g][j];
            const ObjFace& face = scene.groups[g].faces[j];
            for (std::size_t k = 0; k < 3; ++k) {
                // -ms stores corner k of the triangle as corner 2 - k.
                const std::size_t ourCorner = side.reversed ? 2 - k : k;
                const std::uint16_t index = ours.triangles[t].vertex[ourCorner];
                const Position expected = side.expected(face[k]);
                const std::string where = side.label + " triangle " + std::to_string(t) +
                                          " corner " + std::to_string(k) + " vertex " +
                                          std::to_string(index);
                if (index >= original.polygonCount) {
                    // assimp 5.2 checks corner indices against the polygon count
                    // instead of the vertex count and resets such corners to 0.
                    ++tally.excluded;
                    if (expected != side.stored(0) && ++tally.defectOdd <= kReportedDifferences) {
                        ADD_FAILURE() << where << ": assimp reset it but does not show vertex 0: "
                                      << show(face[k]) << " -> " << show(expected) << ", vertex 0 is "
                                      << show(side.stored(0));
                    }
                    continue;
                }
                if (index >= original.vertexCount) {
                    ADD_FAILURE() << where << ": beyond the " << original.vertexCount
                                  << " vertices of a frame";
                    ++tally.mismatches;
                    continue;
                }
                ++tally.compared;
                tally.mostNegative += hasMostNegativeTopByte(face[k]) ? 1 : 0;
                const Position got = side.stored(index);
                if (got != expected && ++tally.mismatches <= kReportedDifferences) {
                    ADD_FAILURE() << where << ": assimp fields " << show(face[k]) << " map to "
                                  << show(expected) << ", we wrote " << show(got);
                }
            }
        }
    }
    return tally;
}

// The groups assimp wrote must be the ones its grouping rule predicts.
bool sameGrouping(const std::string& mesh, const ObjScene& scene, const DataFile& original) {
    const auto groups = importerGroups(original.triangles);
    std::string predicted, written;
    for (const auto& g : groups) {
        predicted += ' ';
        predicted += std::to_string(g.size());
    }
    for (const auto& g : scene.groups) {
        written += ' ';
        written += std::to_string(g.faces.size());
    }
    EXPECT_EQ(predicted, written) << mesh << ": faces per material, predicted vs written by assimp";
    return predicted == written;
}

// One packed corpus mesh.
struct CorpusMesh {
    std::string name;
    fs::path anim;
    fs::path data;
};

// Copies the pair into a fresh sub-folder of `scratch` and returns the folder.
fs::path copyPair(const CorpusMesh& mesh, const fs::path& scratch, const std::string& sub) {
    const fs::path dir = scratch / sub;
    fs::create_directory(dir);
    fs::copy_file(mesh.anim, dir / mesh.anim.filename());
    fs::copy_file(mesh.data, dir / mesh.data.filename());
    return dir;
}

// The importer's view of the pair in `dir`, or an empty scene after a failure.
ObjScene exportWithAssimp(const CorpusMesh& mesh, const fs::path& dir) {
    const test::ProgramResult r = test::runProgram(
        {"assimp", "export", mesh.data.filename().string(), "out.obj", "--left-handed"}, dir, true);
    if (r.status != 0) {
        ADD_FAILURE() << mesh.name << ": assimp export failed (" << r.status << "):\n" << r.output;
        return {};
    }
    const Bytes obj = test::readFile(dir / "out.obj");
    ObjScene scene = parseAssimpObj(std::string(obj.begin(), obj.end()));
    if (!scene.error.empty()) {
        ADD_FAILURE() << mesh.name << ": out.obj " << scene.error;
        return {};
    }
    return scene;
}

// Converts a copy in `mode` and compares it with the importer's view.
Tally checkMode(const CorpusMesh& mesh, const ModeCase& mode, const ObjScene& scene,
                const DataFile& original, const fs::path& scratch, bool checkRefusal) {
    const fs::path dir = copyPair(mesh, scratch, mode.folder);
    std::vector<std::string> args = mode.switches;
    args.push_back(mesh.name);
    const test::RunResult run = test::runTool(args, dir);
    if (run.status != 0) {
        ADD_FAILURE() << mesh.name << " [" << mode.label << "]: meshfold failed (" << run.status
                      << "):\n" << run.out;
        return {};
    }
    const Bytes anim = test::readFile(dir / mesh.anim.filename());
    DataFile ours;
    if (anim.size() < kAnimHeaderSize + std::size_t{original.vertexCount} * kWideVertexSize ||
        !readDataFile(test::readFile(dir / mesh.data.filename()), ours) ||
        ours.triangles.size() != original.triangles.size()) {
        ADD_FAILURE() << mesh.name << " [" << mode.label << "]: output too short for frame 0";
        return {};
    }
    if (checkRefusal) {
        const test::ProgramResult info =
            test::runProgram({"assimp", "info", mesh.data.filename().string()}, dir, true);
        EXPECT_NE(info.status, 0) << mesh.name << ": assimp read our converted pair";
        EXPECT_NE(info.output.find("Unexpected aniv file length"), std::string::npos)
            << mesh.name << ": assimp refused our pair for another reason:\n" << info.output;
    }
    const OurSide side{mesh.name + " [" + mode.label + "]", mode.milkShape,
                       [&anim](std::size_t index) { return wideVertex(anim, index); },
                       [&mode](const FieldTriple& f) { return expectedPosition(f, mode); }};
    return compareCorners(side, scene, original, ours);
}

// The meshes of the corpus whose frame size is exactly `bytesPerVertex` bytes
// a vertex (4: the packed form, the only one assimp reads), sorted by name.
// `others` counts the rest.
std::vector<CorpusMesh> corpusMeshes(const fs::path& corpus, std::size_t bytesPerVertex,
                                     std::size_t& others) {
    const std::string animSuffix = "_a.3d";
    std::vector<CorpusMesh> meshes;
    others = 0;
    for (const std::string& file : test::listFolder(corpus)) {
        if (file.size() <= animSuffix.size() ||
            file.compare(file.size() - animSuffix.size(), animSuffix.size(), animSuffix) != 0) {
            continue;
        }
        CorpusMesh mesh;
        mesh.name = file.substr(0, file.size() - animSuffix.size());
        mesh.anim = corpus / file;
        mesh.data = corpus / (mesh.name + "_d.3d");
        const Bytes anim = test::readFile(mesh.anim);
        const Bytes data = test::readFile(mesh.data);
        const bool inForm = anim.size() >= kAnimHeaderSize && data.size() >= kDataCountsSize &&
                            readLe16(data.data() + 2) != 0 &&
                            readLe16(anim.data() + 2) == bytesPerVertex * readLe16(data.data() + 2);
        if (inForm) {
            meshes.push_back(mesh);
        } else {
            ++others;
        }
    }
    return meshes;
}

// Why the comparison cannot run here, or empty when it can.
std::string whyNotComparable(const fs::path& corpus) {
    if (corpus.empty()) {
        return "no corpus of real meshes at ../shared/corpus beside the repository";
    }
    if (!kCanRunPrograms) {
        return "running assimp needs the POSIX process calls";
    }
    if (!test::runProgram({"assimp", "version"}, corpus).started) {
        return "the assimp command is not installed (Debian package assimp-utils; "
               "tools/test.sh installs it)";
    }
    return {};
}

TEST(AssimpInterop, EveryPackedCorpusMeshDecodesAsAssimpDoes) {
    const fs::path corpus = test::corpusDir();
    if (const std::string why = whyNotComparable(corpus); !why.empty()) {
        GTEST_SKIP() << why;
    }
    std::size_t others = 0;
    const std::vector<CorpusMesh> meshes = corpusMeshes(corpus, kPackedVertexSize, others);
    ASSERT_FALSE(meshes.empty()) << "no packed mesh in " << corpus;

    std::printf("%-28s %6s %6s %6s %9s %6s %9s %10s\n", "mesh", "polys", "verts", "groups",
                "compared", "0x80", "excluded", "mismatches");
    Tally total;
    std::size_t checked = 0;
    for (const CorpusMesh& mesh : meshes) {
        test::Scratch scratch;
        DataFile original;
        ASSERT_TRUE(readDataFile(test::readFile(mesh.data), original)) << mesh.name;
        const ObjScene scene = exportWithAssimp(mesh, copyPair(mesh, scratch.dir, "assimp"));
        if (scene.groups.empty() || !sameGrouping(mesh.name, scene, original)) {
            continue;
        }
        Tally meshTally; // compared and excluded per mode; mismatches over all modes
        for (const ModeCase& mode : modeCases()) {
            const bool first = &mode == &modeCases().front();
            const Tally t = checkMode(mesh, mode, scene, original, scratch.dir, first);
            if (first) {
                meshTally.compared = t.compared;
                meshTally.excluded = t.excluded;
                meshTally.mostNegative = t.mostNegative;
            }
            meshTally.mismatches += t.mismatches + t.defectOdd;
        }
        std::printf("%-28s %6u %6u %6zu %9zu %6zu %9zu %10zu\n", mesh.name.c_str(),
                    unsigned{original.polygonCount}, unsigned{original.vertexCount},
                    scene.groups.size(), meshTally.compared, meshTally.mostNegative,
                    meshTally.excluded, meshTally.mismatches);
        ++checked;
        total.compared += meshTally.compared;
        total.excluded += meshTally.excluded;
        total.mismatches += meshTally.mismatches;
        total.mostNegative += meshTally.mostNegative;
    }
    std::printf("meshes checked %zu of %zu packed (%zu others not in the packed form assimp reads); corners compared "
                "%zu per mode (%zu modes), %zu of them with a 0x80 top byte; excluded by the "
                "reset-to-0 defect %zu; mismatches %zu\n",
                checked, meshes.size(), others, total.compared, modeCases().size(),
                total.mostNegative, total.excluded, total.mismatches);
    EXPECT_EQ(checked, meshes.size());
    EXPECT_EQ(total.mismatches, 0u);
}

// The signed fields of vertex `index` of a packed animation file, decoded
// here from the documented layout, independently of the converter.
Position packedFields(const Bytes& anim, std::size_t index) {
    const std::uint32_t word = readLe32(anim.data() + kAnimHeaderSize + index * kPackedVertexSize);
    const auto field = [word](unsigned shift, unsigned bits) {
        const int v = static_cast<int>((word >> shift) & ((1u << bits) - 1));
        return v >= (1 << (bits - 1)) ? v - (1 << bits) : v;
    };
    return {field(kPackedXShift, kPackedXBits), field(kPackedYShift, kPackedYBits),
            field(kPackedZShift, kPackedZBits)};
}

// assimp refuses the Deus Ex form. Taken back with --to-unreal -h, every
// Deus Ex mesh of the corpus reads, and the fields assimp decodes are the
// ones we wrote. Frames of the wide size that hold packed words (never
// converted) are refused by us instead.
TEST(AssimpInterop, DeusExCorpusMeshesTakenBackDecodeAsWritten) {
    const fs::path corpus = test::corpusDir();
    if (const std::string why = whyNotComparable(corpus); !why.empty()) {
        GTEST_SKIP() << why;
    }
    std::size_t others = 0;
    const std::vector<CorpusMesh> meshes = corpusMeshes(corpus, kWideVertexSize, others);
    std::printf("%-28s %6s %6s %6s %9s %9s %10s\n", "mesh (--to-unreal -h)", "polys", "verts",
                "groups", "compared", "excluded", "mismatches");
    Tally total;
    std::size_t back = 0;
    std::size_t refused = 0;
    for (const CorpusMesh& mesh : meshes) {
        test::Scratch scratch;
        const fs::path dir = copyPair(mesh, scratch.dir, "back");
        const std::string dataName = mesh.data.filename().string();
        EXPECT_NE(test::runProgram({"assimp", "info", dataName}, dir, true).status, 0)
            << mesh.name << ": assimp read the Deus Ex form";
        const test::RunResult run = test::runTool({"--to-unreal", "-h", mesh.name}, dir);
        if (run.status != 0) {
            EXPECT_TRUE(run.out.find("not a Deus Ex mesh") != std::string::npos ||
                        run.out.find("already in the Unreal form") != std::string::npos)
                << mesh.name << ":\n" << run.out;
            std::printf("%-28s refused: its frames hold packed words\n", mesh.name.c_str());
            ++refused;
            continue;
        }
        DataFile original;
        ASSERT_TRUE(readDataFile(test::readFile(mesh.data), original)) << mesh.name;
        const ObjScene scene = exportWithAssimp(mesh, dir);
        if (scene.groups.empty() || !sameGrouping(mesh.name, scene, original)) {
            continue;
        }
        const Bytes anim = test::readFile(dir / mesh.anim.filename());
        ASSERT_GE(anim.size(), kAnimHeaderSize + std::size_t{original.vertexCount} * kPackedVertexSize);
        const OurSide side{mesh.name + " [--to-unreal -h]", false,
                           [&anim](std::size_t index) { return packedFields(anim, index); },
                           [](const FieldTriple& f) { return Position{f.x, f.y, f.z}; }};
        const Tally t = compareCorners(side, scene, original, original);
        std::printf("%-28s %6u %6u %6zu %9zu %9zu %10zu\n", mesh.name.c_str(),
                    unsigned{original.polygonCount}, unsigned{original.vertexCount},
                    scene.groups.size(), t.compared, t.excluded, t.mismatches + t.defectOdd);
        ++back;
        total.compared += t.compared;
        total.excluded += t.excluded;
        total.mismatches += t.mismatches + t.defectOdd;
    }
    std::printf("Deus Ex meshes taken back and read by assimp %zu, refused %zu, of %zu; corners "
                "compared %zu; excluded by the reset-to-0 defect %zu; mismatches %zu\n",
                back, refused, meshes.size(), total.compared, total.excluded, total.mismatches);
    // The corpus holds ten meshes of the Deus Ex form.
    EXPECT_GE(back, 10u);
    EXPECT_EQ(back + refused, meshes.size());
    EXPECT_EQ(total.mismatches, 0u);
}

} // namespace
} // namespace meshfold::interop
