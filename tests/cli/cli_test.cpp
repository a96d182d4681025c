// The built binary, run in scratch folders: exact standard output, exit status
// and the bytes of both files afterwards.
#include "glb_reader.h"
#include "support.h"

#include "meshfold/common/ascii.h"
#include "meshfold/game/format.h"
#include "meshfold/image/image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cctype>
#include <functional>
#include <map>
#include <optional>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace meshfold::test {
namespace {

const std::string kBannerOut = "\nUnreal to Deus Ex mesh converter, v1.2\nWritten by Tolvane\n";

const std::string kHelpOut =
    "\nmeshfold will convert an Unreal or Unreal Tournament mesh file"
    "\ninto a format suitable for Deus Ex. This allows the use of"
    "\nexisting Unreal tools that do not work with Deus Ex.\n"
    "\nUsage: meshfold <part of filename before the \"_\">\n"
    "\nFor example:"
    "\nmeshfold BunnyDroid"
    "\nwill convert a file named BunnyDroid_a.3d\n"
    "\nThe -ms option will compensate for models exported from MilkShape."
    "\nFor example:"
    "\nmeshfold -ms BunnyDroid\n"
    "\nYou will need to have your .3d files in the same directory."
    "\nThis program *will* overwrite your _a.3d file, so make a backup"
    "\nof it if necessary.  Your _d.3d file will also be overwritten"
    "\nwhen using the -ms option.\n";

std::string ranges(int x0, int x1, int y0, int y1, int z0, int z1) {
    return "\n  X coordinate range: " + std::to_string(x0) + " to " + std::to_string(x1) +
           "\n  Y coordinate range: " + std::to_string(y0) + " to " + std::to_string(y1) +
           "\n  Z coordinate range: " + std::to_string(z0) + " to " + std::to_string(z1) +
           "\n\n*** Conversion complete ***\n";
}

// A plain-mode wide vertex computed straight from the file bytes of one
// word, independently of the converter: each axis is the signed byte made of
// the field's top eight bits.
Bytes expectedWide(const std::uint8_t* w, bool keepX) {
    const auto s8 = [](unsigned v) { return static_cast<int>(static_cast<std::int8_t>(v & 0xFF)); };
    const int x = s8((w[0] >> 3) | (w[1] << 5));
    const int y = s8((w[1] >> 6) | (w[2] << 2));
    const int z = s8(w[3]);
    Bytes out;
    put16(out, static_cast<std::uint16_t>(keepX ? x : -x));
    put16(out, static_cast<std::uint16_t>(-y));
    put16(out, static_cast<std::uint16_t>(z));
    put16(out, 0);
    return out;
}

Bytes expectedAnim(const Bytes& packed, bool keepX) {
    Bytes out(packed.begin(), packed.begin() + 2);
    put16(out, static_cast<std::uint16_t>((packed[2] | (packed[3] << 8)) * 2));
    for (std::size_t at = 4; at + 4 <= packed.size(); at += 4) {
        const Bytes v = expectedWide(packed.data() + at, keepX);
        out.insert(out.end(), v.begin(), v.end());
    }
    return out;
}

std::vector<std::uint32_t> patternWords(std::size_t n) {
    std::vector<std::uint32_t> w(n);
    std::uint32_t x = 0x9E3779B9u;
    for (auto& v : w) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = x;
    }
    return w;
}

// An animation file in the wide form: the two counts, then X, Y, Z and the
// fourth word of every vertex.
Bytes wideAnimFile(std::uint16_t frames, std::uint16_t frameSize,
                   const std::vector<std::array<int, 4>>& vertices) {
    Bytes b;
    put16(b, frames);
    put16(b, frameSize);
    for (const auto& v : vertices) {
        for (const int value : v) {
            put16(b, static_cast<std::uint16_t>(value));
        }
    }
    return b;
}

// A data file whose triangles use vertices 0, 1 and 2 and carry no flags, so
// that a run has nothing to warn about.
Bytes soundDataFile(std::uint16_t polys, std::uint16_t verts) {
    Bytes b = dataFile(polys, verts);
    for (std::size_t at = 48; at < b.size(); at += 16) {
        const std::uint8_t head[7] = {0, 0, 1, 0, 2, 0, 0};
        std::copy(head, head + 7, b.begin() + static_cast<std::ptrdiff_t>(at));
    }
    return b;
}

class Cli : public ::testing::Test {
protected:
    fs::path path(const std::string& name) const { return scratch.dir / name; }
    void put(const std::string& name, const Bytes& b) const { writeFile(path(name), b); }
    Bytes get(const std::string& name) const { return readFile(path(name)); }
    RunResult run(const std::vector<std::string>& args) const { return runTool(args, scratch.dir); }

    // Every file of the folder and its bytes.
    std::map<std::string, Bytes> snapshot() const {
        std::map<std::string, Bytes> m;
        for (const std::string& n : listFolder(scratch.dir)) {
            m[n] = fs::is_directory(path(n)) ? Bytes{'/'} : get(n);
        }
        return m;
    }

    // Runs `args` as a dry run, which must change nothing, and then for real.
    // The dry run must print what the real run prints, each mesh's last line
    // and the summary's verb aside, and end with the same status.
    RunResult runDryThenReal(const std::vector<std::string>& args) const {
        const auto before = snapshot();
        std::vector<std::string> dryArgs = args;
        dryArgs.push_back("--dry-run");
        const RunResult dry = run(dryArgs);
        EXPECT_EQ(snapshot(), before);
        const RunResult real = run(args);
        EXPECT_EQ(dry.out, asDryRun(real.out));
        EXPECT_EQ(dry.status, real.status);
        EXPECT_EQ(dry.err, real.err);
        return real;
    }

    // Runs, and checks that the run failed with exactly `out` and changed nothing.
    void expectRefused(const std::vector<std::string>& args, const std::string& out) const {
        const auto before = snapshot();
        const RunResult r = run(args);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(snapshot(), before);
    }

    Scratch scratch;
};

TEST_F(Cli, NoArgumentsPrintsTheHelpAndTouchesNothing) {
    const RunResult r = run({});
    EXPECT_EQ(r.out, kBannerOut + kHelpOut);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(listFolder(scratch.dir).empty());
}

TEST_F(Cli, HelpVersionAndMissingBaseName) {
    struct Case {
        std::vector<std::string> args;
        std::string out;
        int status;
    };
    const Case cases[] = {
        {{"--VERSION"}, kBannerOut, 0},
        {{"Mesh", "--version", "--help"}, kBannerOut, 0},
        {{"-ms"}, kBannerOut + kHelpOut, 2},
        {{"-ms", "-h", "-zz"}, kBannerOut + kHelpOut, 2},
        {{"--dry-run", "--"}, kBannerOut + kHelpOut, 2},
        {{"-x", "--version"}, kBannerOut, 0},
        {{"--fps", "24", "M"}, kBannerOut + kHelpOut, 2},
        {{"--to-gltf", "--fps", "fast", "M"}, kBannerOut + kHelpOut, 2},
        {{"--to-gltf", "-ms", "M"}, kBannerOut + kHelpOut, 2},
        {{"--scale", "52.5", "M"}, kBannerOut + kHelpOut, 2},
        {{"--scale", "none", "M.glb"}, kBannerOut + kHelpOut, 2},
        {{"M.glb", "--scale=0"}, kBannerOut + kHelpOut, 2},
    };
    for (const Case& c : cases) {
        const RunResult r = run(c.args);
        EXPECT_EQ(r.out, c.out) << c.args[0];
        EXPECT_EQ(r.status, c.status) << c.args[0];
    }
    // --help, wherever it stands, adds every switch and name form to the help text.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"-MS", "Mesh", "--Help"}, {"-?"}, {"-x", "M", "-?"}}) {
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 0);
        ASSERT_EQ(r.out.substr(0, kBannerOut.size() + kHelpOut.size()), kBannerOut + kHelpOut);
        const std::string more = r.out.substr(kBannerOut.size() + kHelpOut.size());
        for (const char* word : {"\n  -ms ", "\n  -h ", "\n  --to-unreal ", "\n  --to-gltf ", "\n  --fps N ",
                                 "\n  --fit ", "\n  --scale S ", "\n  --dry-run ", "\n  -- ",
                                 "\n  --help ", "\n  --version ", "NAME_a.3d", "NAME_d.3d",
                                 "-?", "/ms", "/h", "/?", "NAME_a,", "folder", "any case"}) {
            EXPECT_NE(more.find(word), std::string::npos) << word;
        }
    }
    EXPECT_TRUE(listFolder(scratch.dir).empty());
}

TEST_F(Cli, ConvertsAnAnimatedMeshAndLeavesTheDataFileAlone) {
    // 3 frames of 100 vertices, 150 triangles.
    const Bytes anim = animFile(3, 400, patternWords(300));
    const Bytes data = dataFile(150, 100);
    put("BunnyDroid_a.3d", anim);
    put("BunnyDroid_d.3d", data);

    const RunResult r = run({"BunnyDroid"});
    const Bytes out = get("BunnyDroid_a.3d");
    ASSERT_EQ(out.size(), 2404u);
    EXPECT_EQ(hex(Bytes(out.begin(), out.begin() + 4)), "03 00 20 03");
    EXPECT_EQ(out, expectedAnim(anim, false));
    EXPECT_EQ(get("BunnyDroid_d.3d"), data);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find("\n  X")),
              kBannerOut + "\nConverting BunnyDroid_a.3d...\n"
                           "\n  3 animation frames\n  150 polygons\n  100 vertices");
    EXPECT_EQ(listFolder(scratch.dir),
              (std::vector<std::string>{"BunnyDroid_a.3d", "BunnyDroid_d.3d"}));

    // A second run recognises the result and leaves it alone.
    expectRefused({"BunnyDroid"}, kBannerOut +
                                      "\nConverting BunnyDroid_a.3d...\n"
                                      "\n  3 animation frames\n  150 polygons\n  100 vertices"
                                      "\n\nMesh file has already been converted !\n");
}

TEST_F(Cli, TheBundledExampleConverts) {
    for (const char* f : {"Cube_a.3d", "Cube_d.3d"}) {
        put(f, readFile(sourceDir() / "examples" / f));
    }
    const Bytes anim = get("Cube_a.3d");
    const RunResult r = run({"Cube"});
    EXPECT_EQ(r.out, kBannerOut + "\nConverting Cube_a.3d...\n"
                                  "\n  4 animation frames\n  12 polygons\n  8 vertices" +
                         ranges(-70, 71, -70, 71, -100, 100));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(get("Cube_a.3d"), expectedAnim(anim, false));
}

TEST_F(Cli, WorkedWordsGiveExactBytesAndRanges) {
    put("W_a.3d", animFile(1, 20, {0x00000000, 0xFFFFFFFF, 0x12345678, 0x03008008, 0x80200400}));
    put("W_d.3d", dataFile(1, 5));
    const RunResult r = run({"W"});
    EXPECT_EQ(hex(get("W_a.3d")), "01 00 28 00 "
                                  "00 00 00 00 00 00 00 00 "
                                  "01 00 01 00 FF FF 00 00 "
                                  "31 00 2F 00 12 00 00 00 "
                                  "FF FF FE FF 03 00 00 00 "
                                  "80 00 80 00 80 FF 00 00");
    EXPECT_EQ(r.out, kBannerOut + "\nConverting W_a.3d...\n"
                                  "\n  Single mesh (no animation)\n  1 polygons\n  5 vertices" +
                         ranges(-1, 128, -2, 128, -128, 18));
    EXPECT_EQ(r.status, 0);
}

TEST_F(Cli, HiResWritesFullPrecision) {
    put("H_a.3d", animFile(1, 12, {0x12345678, 0x03008008, 0x80200400}));
    put("H_d.3d", dataFile(1, 3));
    const RunResult r = run({"-h", "H"});
    EXPECT_EQ(hex(get("H_a.3d")), "01 00 18 00 "
                                  "00 31 C0 2E 00 12 00 00 "
                                  "00 FF 00 FE 00 03 00 00 "
                                  "FF 7F FF 7F 00 80 00 00");
    EXPECT_EQ(r.out, kBannerOut + "\nConverting H_a.3d...\n\n* Hi Res Experimental Mode *\n"
                                  "\n  Single mesh (no animation)\n  1 polygons\n  3 vertices" +
                         ranges(-256, 32767, -512, 32767, -32768, 4608));
}

TEST_F(Cli, MilkShapeFixKeepsXAndReversesEveryTriangle) {
    const Bytes anim = animFile(2, 16, patternWords(8));
    Bytes data = dataFile(3, 4, 0x5A);
    data.insert(data.end(), {1, 2, 3, 4, 5}); // bytes after the last triangle
    put("Ms_a.3d", anim);
    put("Ms_d.3d", data);

    const RunResult r = run({"-Ms", "-H", "Ms"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, r.out.find("\n  X")),
              kBannerOut + "\nConverting Ms_a.3d...\n\n* MilkShape Fix Mode *\n"
                           "\n* Hi Res Experimental Mode *\n"
                           "\n  2 animation frames\n  3 polygons\n  4 vertices");

    Bytes expected(data.begin(), data.begin() + 4);
    expected.resize(48, 0);
    for (std::size_t t = 0; t < 3; ++t) {
        const std::uint8_t* p = data.data() + 48 + 16 * t;
        const std::uint8_t order[16] = {4, 5, 2, 3, 0, 1, 6, 7, 12, 13, 10, 11, 8, 9, 14, 15};
        for (std::uint8_t i : order) {
            expected.push_back(p[i]);
        }
    }
    EXPECT_EQ(get("Ms_d.3d"), expected);
    EXPECT_EQ(get("Ms_a.3d").size(), 4u + 8u * 8u);

    // X keeps its sign; Y and Z are as without the fix.
    put("P_a.3d", anim);
    put("P_d.3d", dataFile(3, 4));
    ASSERT_EQ(run({"-h", "P"}).status, 0);
    const Bytes ms = get("Ms_a.3d");
    const Bytes plain = get("P_a.3d");
    for (std::size_t at = 4; at < ms.size(); at += 8) {
        const auto x = [](const Bytes& b, std::size_t i) {
            return static_cast<std::int16_t>(b[i] | (b[i + 1] << 8));
        };
        const int xm = x(ms, at);
        const int xp = x(plain, at);
        EXPECT_TRUE(xm == -xp || (xp == 32767 && xm == -32768)) << at;
        EXPECT_EQ(Bytes(ms.begin() + at + 2, ms.begin() + at + 8),
                  Bytes(plain.begin() + at + 2, plain.begin() + at + 8));
    }

    // Applied twice, the triangle table is back as it was (the header tail and
    // the trailing bytes are not: they were dropped by the first run).
    put("Ms_a.3d", anim);
    ASSERT_EQ(run({"-ms", "Ms"}).status, 0);
    const Bytes twice = get("Ms_d.3d");
    EXPECT_EQ(Bytes(twice.begin() + 48, twice.end()), Bytes(data.begin() + 48, data.end() - 5));
}

TEST_F(Cli, WordsAreConvertedAsTheyComeWhateverTheCounts) {
    struct Case {
        Bytes anim;
        std::size_t outSize;
        std::string frameSizeBytes;
    };
    Bytes trailing = animFile(1, 40, patternWords(10));
    trailing.insert(trailing.end(), {0xAB, 0xCD, 0xEF});
    const Case cases[] = {
        {animFile(1, 40, patternWords(10)), 84, "50 00"},
        {trailing, 84, "50 00"},                          // 1-3 trailing bytes dropped
        {animFile(2, 40, patternWords(7)), 60, "50 00"},  // fewer words than frames hold
        {animFile(1, 43, patternWords(25)), 204, "56 00"}, // more; 43 doubles to 86
    };
    for (const Case& c : cases) {
        put("C_a.3d", c.anim);
        put("C_d.3d", dataFile(1, 10));
        const RunResult r = run({"C"});
        ASSERT_EQ(r.status, 0) << r.out;
        const Bytes out = get("C_a.3d");
        EXPECT_EQ(out.size(), c.outSize);
        EXPECT_EQ(hex(Bytes(out.begin() + 2, out.begin() + 4)), c.frameSizeBytes);
        EXPECT_EQ(out, expectedAnim(c.anim, false));
    }
}

TEST_F(Cli, NoWholeWordGivesAHeaderAndTheStartingRanges) {
    put("E_a.3d", Bytes{1, 0, 40, 0, 7, 7});
    put("E_d.3d", dataFile(1, 10));
    const RunResult r = run({"E"});
    EXPECT_EQ(hex(get("E_a.3d")), "01 00 50 00");
    EXPECT_EQ(r.out, kBannerOut + "\nConverting E_a.3d...\n"
                                  "\n  Single mesh (no animation)\n  1 polygons\n  10 vertices" +
                         ranges(9999, -9999, 9999, -9999, 9999, -9999));
    EXPECT_EQ(r.status, 0);
}

// Taking meshes back, in each mode: the field edges, the one saturated value,
// rounding ties; exact bytes, and the ranges of the fields written.
TEST_F(Cli, ToUnrealWorkedVerticesPerMode) {
    struct Case {
        std::vector<std::string> switches;
        std::vector<std::array<int, 4>> vertices;
        std::string words;   // the packed words written, file bytes
        std::string banners; // the mode banners
        std::string ranges;
    };
    const std::string ms = "\n* MilkShape Fix Mode *\n";
    const std::string hi = "\n* Hi Res Experimental Mode *\n";
    const Case cases[] = {
        {{},
         {{128, 128, -128, 0}, {-127, -127, 127, 0}, {-1, -2, 3, 0}, {0, 0, 0, 0}},
         "00 04 20 80 F8 C3 1F 7F 08 80 00 03 00 00 00 00",
         "",
         ranges(-1024, 1016, -1024, 1016, -512, 508)},
        {{"-ms"},
         {{-128, 128, -128, 0}, {127, -127, 127, 0}, {1, -2, 3, 0}},
         "00 04 20 80 F8 C3 1F 7F 08 80 00 03",
         ms,
         ranges(-1024, 1016, -1024, 1016, -512, 508)},
        // 32767 is the saturated -1024; -32768 and Z 32767 round one step
        // past the last field value and are clamped; 16 and 32 are ties.
        {{"-h"},
         {{32767, 32767, -32768, 0}, {-32768, -32768, 32767, 0}, {-16, 16, 32, 0},
          {16, -16, -32, 0}, {-15, 15, 31, 0}},
         "00 04 20 80 FF FB DF 7F 01 F8 7F 00 FF 0F C0 FF 00 00 00 00",
         hi,
         ranges(-1024, 1023, -1024, 1023, -512, 511)},
        {{"-MS", "-H"},
         {{-32768, 32767, -32768, 0}, {32767, -32768, 32767, 0}},
         "00 04 20 80 FF FB DF 7F",
         ms + hi,
         ranges(-1024, 1023, -1024, 1023, -512, 511)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.words);
        const auto n = static_cast<std::uint16_t>(c.vertices.size());
        put("W_a.3d", wideAnimFile(1, static_cast<std::uint16_t>(8 * n), c.vertices));
        put("W_d.3d", dataFile(1, n));
        std::vector<std::string> args = c.switches;
        args.insert(args.begin(), "--TO-unreal");
        args.push_back("W");
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 0);
        Bytes header;
        put16(header, 1);
        put16(header, static_cast<std::uint16_t>(4 * n));
        EXPECT_EQ(hex(get("W_a.3d")), hex(header) + " " + c.words);
        if (c.banners.empty()) {
            EXPECT_EQ(get("W_d.3d"), dataFile(1, n));
        }
        EXPECT_EQ(r.out, kBannerOut + "\nConverting W_a.3d back to the Unreal form...\n" + c.banners +
                             "\n  Single mesh (no animation)\n  1 polygons\n  " +
                             std::to_string(n) + " vertices" + c.ranges);
    }
}

// For every mode: converting and taking back gives the mesh again (in the
// normal modes with the low bits the conversion drops cleared), and
// converting the result gives what converting the original gives.
TEST_F(Cli, ToUnrealRoundTripsInEveryMode) {
    const Bytes anim = animFile(3, 40, patternWords(30));
    const Bytes data = dataFile(4, 10, 0); // a zero tail: -ms twice gives it back whole
    Bytes cleared = anim;
    for (std::size_t at = 4; at < cleared.size(); at += 4) {
        const std::uint8_t keep[4] = {0xF8, 0xC7, 0x3F, 0xFF}; // each field's top 8 bits
        for (std::size_t i = 0; i < 4; ++i) {
            cleared[at + i] &= keep[i];
        }
    }
    ASSERT_NE(cleared, anim);
    const auto convert = [&](const std::pair<Bytes, Bytes>& mesh, std::vector<std::string> args,
                             bool back) {
        put("R_a.3d", mesh.first);
        put("R_d.3d", mesh.second);
        if (back) {
            args.insert(args.begin(), "--to-unreal");
        }
        args.push_back("R");
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 0) << r.out;
        return std::make_pair(get("R_a.3d"), get("R_d.3d"));
    };
    const std::vector<std::string> modes[] = {{}, {"-ms"}, {"-h"}, {"-ms", "-h"}};
    for (const auto& mode : modes) {
        const bool hiRes = std::find(mode.begin(), mode.end(), "-h") != mode.end();
        SCOPED_TRACE(mode.empty() ? "normal" : mode.front() + " " + mode.back());
        const auto back = convert(convert({anim, data}, mode, false), mode, true);
        EXPECT_EQ(back.first, hiRes ? anim : cleared);
        EXPECT_EQ(back.second, data);
        for (const auto& again : modes) {
            // Bits a normal conversion dropped cannot come back for -h.
            const bool againHiRes = std::find(again.begin(), again.end(), "-h") != again.end();
            EXPECT_EQ(convert(back, again, false),
                      convert({hiRes || !againHiRes ? anim : cleared, data}, again, false));
        }
    }
}

// Frames with spare bytes after their vertices: the first vertices of each
// frame go back, the rest of the frame is left out.
TEST_F(Cli, ToUnrealTakesTheFirstVerticesOfEachFrame) {
    // One spare slot a frame, and five (beyond 9 bytes a vertex, where the
    // first frame tells the form).
    for (const int spare : {1, 5}) {
        SCOPED_TRACE(spare);
        std::vector<std::array<int, 4>> vertices;
        for (int k = 0; k < 2; ++k) {
            for (int i = 0; i < 10; ++i) {
                vertices.push_back({-(k * 10 + i), 0, 0, 0});
            }
            vertices.insert(vertices.end(), spare, {0x7777, 0x7777, 0x7777, 0x7777}); // never read
        }
        put("S_a.3d", wideAnimFile(2, static_cast<std::uint16_t>(8 * (10 + spare)), vertices));
        put("S_d.3d", soundDataFile(1, 10));
        const RunResult r = run({"--to-unreal", "S"});
        ASSERT_EQ(r.status, 0) << r.out;
        Bytes expected = animFile(2, 40, {});
        for (std::uint32_t x = 0; x < 20; ++x) {
            put32(expected, x << 3);
        }
        EXPECT_EQ(get("S_a.3d"), expected);
        EXPECT_TRUE(endsWith(r.out, ranges(0, 152, 0, 0, 0, 0))) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

// Several meshes, a dry run and the summary work as for the forward way.
TEST_F(Cli, ToUnrealRunsSeveralMeshesAndDryRuns) {
    put("A_a.3d", wideAnimFile(1, 8, {{1, 2, 3, 0}}));
    put("A_d.3d", dataFile(1, 1));
    put("B_a.3d", animFile(1, 4, {0x12345678}));
    put("B_d.3d", dataFile(1, 1));
    // One fourth word of three not 0: the Deus Ex form, but not a vertex of it.
    put("C_a.3d", wideAnimFile(1, 24, {{1, 2, 3, 0}, {1, 2, 3, 0}, {1, 2, 3, 4}}));
    put("C_d.3d", dataFile(1, 3));
    const auto before = snapshot();
    const RunResult dry = run({"--to-unreal", "--dry-run", "-ms", "A", "B", "C"});
    EXPECT_EQ(snapshot(), before);
    const RunResult real = run({"--to-unreal", "-ms", "A", "B", "C"});
    EXPECT_EQ(real.status, 1);
    EXPECT_EQ(dry.status, 1);
    EXPECT_TRUE(endsWith(real.out, "\n\n3 meshes: 1 converted, 1 already converted, 1 failed\n"));
    std::string expected = real.out;
    const std::string done = "\n\n*** Conversion complete ***\n";
    expected.replace(expected.find(done), done.size(), "\n\n*** Dry run: no file was changed ***\n");
    expected.replace(expected.find("1 converted"), 11, "1 would be converted");
    EXPECT_EQ(dry.out, expected);
    EXPECT_EQ(hex(get("A_a.3d")), "01 00 04 00 08 80 3F 03");
    EXPECT_NE(get("A_d.3d"), before.at("A_d.3d"));
    for (const char* f : {"B_a.3d", "B_d.3d", "C_a.3d", "C_d.3d"}) {
        EXPECT_EQ(get(f), before.at(f)) << f;
    }
}

const std::string kConv = "\nConverting M_a.3d...\n";

// The frames of a mesh with room to spare as the game reads them: the first
// `verts` words of each frame of `frameSize` bytes (fewer in a last frame cut
// short), each converted in plain mode, under a header giving 8 bytes a vertex.
Bytes expectedFrames(const Bytes& packed, std::size_t verts, std::size_t frameSize, bool keepX) {
    Bytes out(packed.begin(), packed.begin() + 2);
    put16(out, static_cast<std::uint16_t>(8 * verts));
    for (std::size_t frame = 4; frame < packed.size(); frame += frameSize) {
        for (std::size_t at = frame; at < frame + 4 * verts && at + 4 <= packed.size(); at += 4) {
            const Bytes v = expectedWide(packed.data() + at, keepX);
            out.insert(out.end(), v.begin(), v.end());
        }
    }
    return out;
}

// The range lines and the completion line for the wide vertices of `wide`.
std::string rangesOf(const Bytes& wide) {
    int lo[3] = {9999, 9999, 9999};
    int hi[3] = {-9999, -9999, -9999};
    for (std::size_t at = 4; at + 8 <= wide.size(); at += 8) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
            const int v = static_cast<std::int16_t>(wide[at + 2 * axis] | (wide[at + 2 * axis + 1] << 8));
            lo[axis] = at == 4 ? v : std::min(lo[axis], v);
            hi[axis] = at == 4 ? v : std::max(hi[axis], v);
        }
    }
    return ranges(lo[0], hi[0], lo[1], hi[1], lo[2], hi[2]);
}

// `frames` frames of `frameSize` bytes (`size` bytes in all, when given) of
// pattern words; read as 4 slots of 8 bytes, the first frame has a non-zero
// fourth word in the first `nonZero` slots and 0 in the others.
Bytes slotFrames(std::uint16_t frames, std::uint16_t frameSize, std::size_t nonZero,
                 std::size_t size = 0) {
    const std::size_t bytes = size > 0 ? size : std::size_t{frames} * frameSize;
    Bytes b = animFile(frames, frameSize, patternWords((bytes + 3) / 4));
    b.resize(4 + bytes);
    for (std::size_t slot = 0; slot < 4 && 4 + 8 * slot + 8 <= b.size(); ++slot) {
        b[4 + 8 * slot + 6] = slot < nonZero ? 0x40 : 0;
        b[4 + 8 * slot + 7] = 0;
    }
    return b;
}

// A mesh of 4 vertices whose frames have room for more: where the rule says
// room to spare, the first 4 words of each frame convert and the rest is left
// out; elsewhere it converts or stops as it always has.
TEST_F(Cli, FramesWithRoomToSpareConvertFrameByFrame) {
    enum Verdict { kRoom, kEveryWord, kConverted, kUnknown };
    struct Case {
        const char* name;
        Bytes anim;
        Verdict verdict;
        bool ms;
        std::string warning; // about the vertex bytes, on standard error
    };
    const std::string warn = "meshfold: warning: M_a.3d holds ";
    const Case cases[] = {
        {"4N", slotFrames(2, 16, 4), kEveryWord, false, ""},
        {"5N-1: every word, spare bytes too", slotFrames(2, 19, 4), kEveryWord, false, ""},
        {"5N", slotFrames(3, 20, 0), kRoom, false, ""},
        {"8N-1", slotFrames(3, 31, 0), kRoom, true, ""},
        {"8N, 3 of 4 fourth words", slotFrames(2, 32, 3), kRoom, false, ""},
        {"8N, half of them", slotFrames(2, 32, 2), kConverted, false, ""},
        {"8N, none", slotFrames(2, 32, 0), kConverted, true, ""},
        {"above 8N, 3 of 4", slotFrames(2, 36, 3), kRoom, true, ""},
        {"above 8N, half", slotFrames(2, 36, 2), kUnknown, false, ""},
        {"above 8N, none", slotFrames(2, 36, 0), kConverted, false, ""},
        {"8N, first frame cut short", slotFrames(2, 32, 4, 31), kConverted, false, ""},
        {"above 8N, first frame cut short", slotFrames(2, 40, 4, 31), kUnknown, false, ""},
        {"last frame cut short", slotFrames(3, 20, 0, 50), kRoom, false,
         warn + "50 bytes of vertices where 3 frames of 20 bytes make 60: the file is truncated"},
        {"bytes after the last whole frame", slotFrames(2, 20, 0, 59), kRoom, true,
         warn + "59 bytes of vertices where 2 frames of 20 bytes make 40: the file is padded"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        put("M_a.3d", c.anim);
        put("M_d.3d", soundDataFile(1, 4));
        const std::vector<std::string> args =
            c.ms ? std::vector<std::string>{"-ms", "M"} : std::vector<std::string>{"M"};
        const std::size_t frameSize = c.anim[2];
        std::string head = kBannerOut + kConv + (c.ms ? "\n* MilkShape Fix Mode *\n" : "") + "\n  " +
                           std::to_string(c.anim[0]) + " animation frames\n  1 polygons\n  4 vertices";
        if (c.verdict == kConverted || c.verdict == kUnknown) {
            expectRefused(args, head + (c.verdict == kConverted
                                            ? "\n\nMesh file has already been converted !\n"
                                            : "\n\nCound not determine vertex format !\n"));
            continue;
        }
        if (c.verdict == kRoom) {
            head += "\n  " + std::to_string(frameSize - 16) + " unused bytes per frame left out";
        }
        const Bytes want = c.verdict == kRoom ? expectedFrames(c.anim, 4, frameSize, c.ms)
                                              : expectedAnim(c.anim, c.ms);
        const auto before = snapshot();
        std::vector<std::string> dry = args;
        dry.push_back("--dry-run");
        const std::string done = rangesOf(want);
        const RunResult d = run(dry);
        EXPECT_EQ(d.out, head + done.substr(0, done.find("\n\n*** C")) +
                             "\n\n*** Dry run: no file was changed ***\n");
        EXPECT_EQ(snapshot(), before);
        const RunResult r = run(args);
        EXPECT_EQ(r.out, head + done);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(get("M_a.3d"), want);
        EXPECT_EQ(r.err.substr(0, c.warning.size()), c.warning);
        EXPECT_EQ(r.err.empty(), c.warning.empty()) << r.err;
        // The result is an ordinary wide mesh.
        EXPECT_TRUE(endsWith(run(args).out, "\n\nMesh file has already been converted !\n"));
    }
}

// Each stop: what the files hold, the arguments, and what is printed after
// the banner. Nothing may change.
struct StopCase {
    const char* name;
    std::optional<Bytes> anim;
    std::optional<Bytes> data;
    std::vector<std::string> args;
    std::string out;
};

const std::string kBack = "\nConverting M_a.3d back to the Unreal form...\n";
const std::string kExport = "\nExporting M_a.3d to glTF...\n";
const std::string kCounts10 = "\n  Single mesh (no animation)\n  1 polygons\n  10 vertices";

std::vector<StopCase> stopCases() {
    const Bytes anim40 = animFile(1, 40, patternWords(10));
    Bytes shortTable = dataFile(2, 10);
    shortTable.pop_back();
    // X of -128 negates back to +128, one past the top byte's 127, and 129
    // is beyond it with -ms too; a vertex after the last frame counts as well,
    // as the forward conversion converts every word.
    std::vector<std::array<int, 4>> vertices(10, {1, 2, 3, 0});
    vertices[3] = {-128, 0, 0, 0};
    vertices[7] = {129, 0, 0, 0};
    vertices.push_back({-500, 0, 0, 0});
    const Bytes wideX = wideAnimFile(1, 80, vertices);
    vertices.assign(10, {32767, -32768, 0, 0});
    vertices[9][3] = 1;
    const Bytes widePad = wideAnimFile(1, 80, vertices);
    const Bytes converted = expectedAnim(anim40, false);
    // Read as wide vertices, half of them have a non-zero fourth word.
    Bytes unknown = converted;
    unknown[2] = 90;
    unknown.resize(4 + 90, 0x11);
    for (std::size_t at = 4 + 6; at < 4 + 40; at += 8) {
        unknown[at] = 0x11;
    }
    return {
        {"missing animation file", std::nullopt, dataFile(1, 10), {"M"},
         "\n\nCan't open file M_a.3d !\n"},
        {"empty animation file", Bytes{}, dataFile(1, 10), {"M"},
         "\n\nProblem reading data file: could not read number of frames !\n"},
        {"one byte", Bytes{1}, dataFile(1, 10), {"M"},
         "\n\nProblem reading data file: could not read number of frames !\n"},
        {"frame count only", Bytes{2, 0}, dataFile(1, 10), {"-ms", "-h", "M"},
         kConv + "\n* MilkShape Fix Mode *\n\n* Hi Res Experimental Mode *\n"
                 "\n  2 animation frames"
                 "\n\nProblem reading data file: could not read frame size !\n"},
        {"zero frames", animFile(0, 40, {}), std::nullopt, {"M"},
         kConv + "\n\nNumber of animation frames invalid !\n"},
        {"missing data file", anim40, std::nullopt, {"M"},
         kConv + "\n  Single mesh (no animation)\n\nCan't open file M_d.3d !\n"},
        {"empty data file", anim40, Bytes{}, {"M"},
         kConv + "\n  Single mesh (no animation)"
                 "\n\nProblem reading data file: could not read number of polygons !\n"},
        {"zero polygons", anim40, Bytes{0, 0, 10, 0}, {"M"},
         kConv + "\n  Single mesh (no animation)\n  0 polygons\n\nNumber of polygons invalid !"},
        {"no vertex count", anim40, Bytes{1, 0, 10}, {"M"},
         kConv + "\n  Single mesh (no animation)\n  1 polygons"
                 "\n\nProblem reading data file: could not read number of vertices !\n"},
        {"zero vertices", anim40, Bytes{1, 0, 0, 0}, {"M"},
         kConv + "\n  Single mesh (no animation)\n  1 polygons\n  0 vertices"
                 "\n\nNumber of vertices invalid !"},
        {"already converted", converted, dataFile(1, 10), {"M"},
         kConv + "\n  Single mesh (no animation)\n  1 polygons\n  10 vertices"
                 "\n\nMesh file has already been converted !\n"},
        {"already converted, -ms", converted, dataFile(1, 10),
         {"-ms", "M"},
         kConv + "\n* MilkShape Fix Mode *\n\n  Single mesh (no animation)\n  1 polygons"
                 "\n  10 vertices\n\nMesh file has already been converted !\n"},
        {"unknown format", unknown, dataFile(1, 10), {"M"},
         kConv + "\n  Single mesh (no animation)\n  1 polygons\n  10 vertices"
                 "\n\nCound not determine vertex format !\n"},
        {"frame size too large", animFile(1, 32768, patternWords(4)), dataFile(1, 8192), {"M"},
         kConv + "\n  Single mesh (no animation)\n  1 polygons\n  8192 vertices"
                 "\n\nFrame size too large to convert !\n"},
        {"short triangle table, -ms", anim40, shortTable, {"-ms", "M"},
         kConv + "\n* MilkShape Fix Mode *\n\n  Single mesh (no animation)\n  2 polygons"
                 "\n  10 vertices\n\nProblem reading data file: could not read triangles !\n"},
        {"taking back a packed mesh", anim40, dataFile(1, 10), {"--to-unreal", "M"},
         kBack + kCounts10 + "\n\nMesh file is already in the Unreal form !\n"},
        {"taking back, unknown format", animFile(1, 30, patternWords(8)), dataFile(1, 10),
         {"--to-unreal", "-ms", "M"},
         kBack + "\n* MilkShape Fix Mode *\n" + kCounts10 +
             "\n\nCound not determine vertex format !\n"},
        {"taking back what a normal conversion cannot have made", wideX, dataFile(1, 10),
         {"--to-unreal", "M"},
         kBack + kCounts10 +
             "\n\n3 vertices do not fit the Unreal form (use -h to keep every value) !\n"},
        {"taking back with -ms: X keeps its sign", wideX, dataFile(1, 10), {"--to-unreal", "-ms", "M"},
         kBack + "\n* MilkShape Fix Mode *\n" + kCounts10 +
             "\n\n2 vertices do not fit the Unreal form (use -h to keep every value) !\n"},
        {"exporting, unknown format", unknown, dataFile(1, 10), {"--to-gltf", "M"},
         kExport + kCounts10 + "\n\nCound not determine vertex format !\n"},
        {"exporting, short triangle table", anim40, shortTable, {"--to-gltf", "M"},
         kExport + "\n  Single mesh (no animation)\n  2 polygons"
                   "\n  10 vertices\n\nProblem reading data file: could not read triangles !\n"},
        {"exporting, not one whole frame", animFile(2, 40, patternWords(9)), dataFile(1, 10),
         {"--to-gltf", "M"},
         kExport + "\n  2 animation frames\n  1 polygons\n  10 vertices\n  Unreal vertex format"
                   "\n\nAnimation file M_a.3d is too short to hold one whole frame !\n"},
        {"exporting, missing data file", anim40, std::nullopt, {"--to-gltf", "--dry-run", "M"},
         kExport + "\n  Single mesh (no animation)\n\nCan't open file M_d.3d !\n"},
        {"taking back a fourth word that is not 0", widePad, dataFile(1, 10), {"--to-unreal", "-h", "M"},
         kBack + "\n* Hi Res Experimental Mode *\n" + kCounts10 +
             "\n\n1 vertex does not fit the Unreal form (fourth word not 0: not a Deus Ex mesh) !\n"},
    };
}

TEST_F(Cli, EveryStopPrintsItsMessageAndChangesNothing) {
    for (const StopCase& c : stopCases()) {
        SCOPED_TRACE(c.name);
        for (const char* f : {"M_a.3d", "M_d.3d"}) {
            fs::remove(path(f));
        }
        if (c.anim) {
            put("M_a.3d", *c.anim);
        }
        if (c.data) {
            put("M_d.3d", *c.data);
        }
        expectRefused(c.args, kBannerOut + c.out);
    }
}

TEST_F(Cli, SwitchesApplyWhereverTheyStand) {
    const Bytes anim = animFile(1, 16, patternWords(4));
    put("A_a.3d", anim);
    put("A_d.3d", soundDataFile(1, 4));
    put("-odd_a.3d", anim);
    put("-odd_d.3d", soundDataFile(1, 4));

    // A typo for a switch converts nothing, wherever it stands: the mesh
    // could not be converted again with the switch meant.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"-sm", "A"}, {"A", "-x", "-ms"}, {"A", "--dryrun"}}) {
        const auto before = snapshot();
        const RunResult r = run(args);
        EXPECT_EQ(r.out, kBannerOut + kHelpOut) << args[1];
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("unknown switch " + args[args[0] == "A" ? 1 : 0]), std::string::npos)
            << r.err;
        EXPECT_EQ(snapshot(), before);
    }

    // -ms after the name counts.
    const RunResult r = run({"A", "-ms", "--", "-odd", "-h"});
    EXPECT_EQ(r.status, 1) << r.out; // the mesh "-h" does not exist
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(get("A_a.3d"), expectedAnim(anim, true));
    EXPECT_EQ(get("-odd_a.3d"), expectedAnim(anim, true));
    EXPECT_NE(get("A_d.3d"), soundDataFile(1, 4));
    EXPECT_TRUE(endsWith(r.out, "\n\nCan't open file -h_a.3d !\n"
                                "\n\n3 meshes: 2 converted, 0 already converted, 1 failed\n"))
        << r.out;
}

// Each mesh of a run prints exactly what a run of its own prints for it.
TEST_F(Cli, SeveralMeshesEachAsAloneWithASummary) {
    const Bytes anim = animFile(2, 16, patternWords(8));
    const std::map<std::string, Bytes> files = {
        {"A_a.3d", anim},
        {"A_d.3d", dataFile(1, 4)},
        {"Done_a.3d", animFile(1, 32, patternWords(4))},
        {"Done_d.3d", dataFile(1, 4)},
        {"NoData_a.3d", anim},
        {"Z_a.3d", anim},
        {"Z_d.3d", dataFile(2, 4)},
    };
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> alone; // the single runs whose blocks make the output
        std::string summary;
        int status;
    };
    const Case cases[] = {
        {{"A", "Done_d.3d", "NoData", "Z_a.3d"}, {"A", "Done", "NoData", "Z"},
         "4 meshes: 2 converted, 1 already converted, 1 failed", 1},
        // The same mesh named twice, in any form, is converted once.
        {{"-ms", "A_a.3d", "./A_d.3d", "A", "Z", (scratch.dir / "Z_a.3d").string()}, {"-ms", "A", "Z"},
         "2 meshes: 2 converted, 0 already converted, 0 failed", 0},
        {{"A_d.3d", "A_a.3d"}, {"A"}, "", 0},
        {{"Missing", "Done"}, {"Missing", "Done"}, "2 meshes: 0 converted, 1 already converted, 1 failed", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const bool ms = c.alone[0] == "-ms";
        for (const auto& [name, bytes] : files) {
            put(name, bytes);
        }
        std::string expected = kBannerOut;
        for (std::size_t i = ms ? 1 : 0; i < c.alone.size(); ++i) {
            const RunResult single = run(ms ? std::vector<std::string>{"-ms", c.alone[i]}
                                            : std::vector<std::string>{c.alone[i]});
            expected += single.out.substr(kBannerOut.size());
        }
        if (!c.summary.empty()) {
            expected += "\n\n" + c.summary + "\n";
        }
        const auto singles = snapshot();
        for (const auto& [name, bytes] : files) {
            put(name, bytes);
        }
        const RunResult r = run(c.args);
        EXPECT_EQ(r.out, expected);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(snapshot(), singles);
    }
}

TEST_F(Cli, FileNamesWorkAsWellAsBaseNames) {
    fs::create_directories(path("sub dir"));
    const Bytes anim = animFile(1, 16, patternWords(4));
    struct Case {
        std::string arg;
        std::string converted; // the animation file that must come out converted
        std::string shown;     // the name of that file in the converting line
    };
    const std::string nu = "sub dir/N\xC3\xBC";
    const Case cases[] = {
        {"M_a.3d", "M_a.3d", "M_a.3d"},
        {"M_D.3D", "M_a.3d", "M_a.3d"},
        {"./M_d.3d", "M_a.3d", "./M_a.3d"},
        {(scratch.dir / "M_a.3d").string(), "M_a.3d", (scratch.dir / "M_a.3d").string()},
        {nu + "_a.3d", nu + "_a.3d", nu + "_a.3d"},
        {"W_a.3d", "W_a.3d_a.3d", "W_a.3d_a.3d"}, // a mesh whose base name ends in _a.3d comes first
        // As Explorer shows a file with extensions hidden.
        {"M_a", "M_a.3d", "M_a.3d"},
        {"M_D", "M_a.3d", "M_a.3d"},
        {"X_a", "X_a_a.3d", "X_a_a.3d"}, // the mesh X_a comes first, as above
        {"sub dir/n\xC3\xBC_A", nu + "_a.3d", nu + "_a.3d"},
        // Files named in another case, as unpacked from a Windows archive.
        {"up", "UP_A.3D", "UP_A.3D"},
        {"Up_d.3d", "UP_A.3D", "UP_A.3D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arg);
        for (const char* base : {"M", "sub dir/N\xC3\xBC", "W_a.3d", "W", "X_a", "X"}) {
            put(std::string(base) + "_a.3d", anim);
            put(std::string(base) + "_d.3d", dataFile(1, 4));
        }
        put("UP_A.3D", anim);
        put("UP_D.3D", dataFile(1, 4));
        const RunResult r = run({c.arg});
        EXPECT_EQ(r.status, 0) << r.out;
        EXPECT_EQ(get(c.converted), expectedAnim(anim, false));
        const std::size_t at = r.out.find("\nConverting ");
        ASSERT_NE(at, std::string::npos) << r.out;
        const std::string shown = r.out.substr(at + 12, r.out.find("...\n") - at - 12);
        // Windows names a file as it was typed, in whatever case.
        EXPECT_TRUE(usingRunner() ? equalsIgnoringAsciiCase(shown, c.shown) : shown == c.shown)
            << shown;
    }
}

// The case of a file's name, on a system where case matters: the exact name
// wins, one file in another case is used under its real name, and of several
// none is guessed.
TEST_F(Cli, FileNamesInAnyCase) {
    const Bytes anim = animFile(1, 16, patternWords(4));
    const Bytes data = soundDataFile(1, 4);
    const std::map<std::string, Bytes> files = {
        {"Ex_a.3d", anim},  {"Ex_d.3d", data},   {"EX_A.3D", anim},  {"EX_D.3D", data},
        {"ONE_A.3D", anim}, {"One_D.3d", data},  {"Two_A.3d", anim}, {"TWO_a.3d", anim},
        {"two_d.3d", data}, {"Tri_a.3d", anim},  {"TRI_D.3D", data}, {"tri_D.3d", data},
    };
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> changed; // every other file stays as it was
        std::string out;                  // in standard output (at its end when nothing changed)
        std::string err;
        bool clash; // names that differ only in case, which Windows cannot tell apart
    };
    const std::string ms = "...\n\n* MilkShape Fix Mode *\n\n  Single mesh (no animation)";
    const Case cases[] = {
        {{"Ex"}, {"Ex_a.3d"}, "Converting Ex_a.3d...\n", "", true},
        {{"-ms", "EX_A.3D"}, {"EX_A.3D", "EX_D.3D"}, "Converting EX_A.3D" + ms, "", true},
        {{"-ms", "one"}, {"ONE_A.3D", "One_D.3d"}, "Converting ONE_A.3D" + ms, "", false},
        {{"EX"}, {}, "\n\nCan't open file EX_a.3d !\n",
         "meshfold: there is no EX_a.3d, and more than one file differs from that name only in"
         " case: EX_A.3D, Ex_a.3d\n", true},
        {{"-ms", "Tri"}, {}, "\n  Single mesh (no animation)\n\nCan't open file Tri_d.3d !\n",
         "meshfold: there is no Tri_d.3d, and more than one file differs from that name only in"
         " case: TRI_D.3D, tri_D.3d\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        if (usingRunner() && c.clash) {
            continue;
        }
        for (const auto& [name, bytes] : files) {
            put(name, bytes);
        }
        const RunResult r = runDryThenReal(c.args);
        EXPECT_EQ(r.status, c.changed.empty() ? 1 : 0);
        EXPECT_EQ(r.err, c.err);
        if (c.changed.empty()) {
            EXPECT_TRUE(endsWith(r.out, c.out)) << r.out;
        } else {
            // Windows names a file as it was named, in whatever case.
            const auto lower = [](std::string t) {
                std::transform(t.begin(), t.end(), t.begin(), lowerAscii);
                return t;
            };
            EXPECT_NE(usingRunner() ? lower(r.out).find(lower(c.out)) : r.out.find(c.out),
                      std::string::npos)
                << r.out;
        }
        for (const auto& [name, bytes] : files) {
            const bool changed = std::count(c.changed.begin(), c.changed.end(), name) > 0;
            EXPECT_EQ(get(name) != bytes, changed) << name;
        }
        EXPECT_EQ(listFolder(scratch.dir).size(), files.size()); // -ms kept the real name
    }
}

// A folder stands for the meshes in it, each as if it had been named.
TEST_F(Cli, AFolderStandsForItsMeshes) {
    const Bytes anim = animFile(1, 16, patternWords(4));
    const std::string sep = usingRunner() ? "\\" : "/";
    fs::create_directories(path("Models/sub"));
    fs::create_directories(path("Empty"));
    fs::create_directories(path("Cube"));
    const auto putMeshes = [&] {
        // In name order whatever the case: a, B, BOSS, c, Done.
        for (const char* base : {"Models/c", "Models/B", "Models/a", "Models/sub/deep", "Cube"}) {
            put(std::string(base) + "_a.3d", anim);
            put(std::string(base) + "_d.3d", dataFile(1, 4));
        }
        put("Models/BOSS_A.3D", anim);
        put("Models/BOSS_D.3D", dataFile(1, 4));
        put("Models/Done_a.3d", animFile(1, 32, patternWords(4)));
        put("Models/Done_d.3d", dataFile(1, 4));
        put("Models/notes.txt", Bytes{'h', 'i'});
    };
    putMeshes();
    std::string expected = kBannerOut;
    for (const char* file : {"a_a.3d", "B_a.3d", "BOSS_A.3D", "c_a.3d", "Done_a.3d"}) {
        expected += run({"Models" + sep + file}).out.substr(kBannerOut.size());
    }
    expected += "\n\n5 meshes: 4 converted, 1 already converted, 0 failed\n";
    const std::vector<std::string> models = listFolder(path("Models"));
    std::map<std::string, Bytes> singles;
    for (const std::string& f : models) {
        singles[f] = fs::is_directory(path("Models/" + f)) ? Bytes{} : get("Models/" + f);
    }
    putMeshes();
    const RunResult r = runDryThenReal({"Models"});
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(listFolder(path("Models")), models);
    for (const auto& [f, bytes] : singles) {
        EXPECT_EQ(fs::is_directory(path("Models/" + f)) ? Bytes{} : get("Models/" + f), bytes) << f;
    }
    EXPECT_EQ(get("Models/sub/deep_a.3d"), anim); // not recursive

    // A folder without a mesh is a failure of its own; a mesh named like a
    // folder beside it is still the mesh, whatever the case of its files.
    fs::create_directories(path("sphere"));
    put("SPHERE_A.3D", anim);
    put("SPHERE_D.3D", dataFile(1, 4));
    const RunResult empty = runDryThenReal({"Empty", "Cube", "sphere"});
    EXPECT_EQ(empty.status, 1);
    const std::string head = kBannerOut +
                             "\n\nNo mesh in folder Empty: a mesh is the two files NAME_a.3d and"
                             " NAME_d.3d !\n\nConverting Cube_a.3d...\n";
    EXPECT_EQ(empty.out.substr(0, head.size()), head);
    EXPECT_TRUE(endsWith(empty.out, "\n\n*** Conversion complete ***\n"
                                    "\n\n3 meshes: 2 converted, 0 already converted, 1 failed\n"))
        << empty.out;
    EXPECT_EQ(get("SPHERE_A.3D"), expectedAnim(anim, false));
}

// What a shell's *.* or a selection dropped onto meshfold holds besides meshes.
TEST_F(Cli, AFileThatIsNoMeshIsAFailureOfItsOwn) {
    const Bytes anim = animFile(1, 16, patternWords(4));
    put("M_a.3d", anim);
    put("M_d.3d", dataFile(1, 4));
    put("Skin1.pcx", Bytes{10, 5, 1});
    put("Notes_a", Bytes{'x'});
    const RunResult r = runDryThenReal({"Skin1.pcx", "M_a.3d", "M_d.3d", "Notes_a", "Skin1.pcx"});
    EXPECT_EQ(r.status, 1);
    const std::string why = " is not a mesh file: a mesh is the two files NAME_a.3d and NAME_d.3d !\n";
    const std::string head = kBannerOut + "\n\nSkin1.pcx" + why + "\nConverting M_a.3d";
    EXPECT_EQ(r.out.substr(0, head.size()), head);
    EXPECT_TRUE(endsWith(r.out, "\n\nNotes_a" + why +
                                    "\n\n3 meshes: 1 converted, 0 already converted, 2 failed\n"))
        << r.out;
    EXPECT_EQ(get("M_a.3d"), expectedAnim(anim, false));
    EXPECT_EQ(get("Skin1.pcx"), (Bytes{10, 5, 1}));
}

// Every mesh is known before any is replaced: a replaced file is a new file,
// and must not make the second name of its mesh look like another mesh.
TEST_F(Cli, EachMeshOnceHoweverOftenAndWhenItIsNamed) {
    const Bytes anim = animFile(2, 16, patternWords(8));
    std::vector<std::string> names;
    for (int i = 0; i < 40; ++i) { // more than one group of meshes
        const std::string base = "mesh" + std::to_string(100 + i);
        put(base + "_a.3d", anim);
        put(base + "_d.3d", dataFile(1, 4));
        names.push_back(base + "_a.3d");
        names.push_back(base + "_d.3d");
    }
    RunResult r = runDryThenReal(names);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(endsWith(r.out, "\n\n40 meshes: 40 converted, 0 already converted, 0 failed\n"))
        << r.out.substr(r.out.size() - 100);
    EXPECT_EQ(get("mesh139_a.3d"), expectedAnim(anim, false));

    // Hard links: a mesh is the pair of files. The same two files under other
    // names are the same mesh; the same animation file with a data file of
    // its own is another mesh, and so is the same data file with an
    // animation file of its own.
    put("H_a.3d", anim);
    put("H_d.3d", dataFile(1, 4));
    fs::create_hard_link(path("H_a.3d"), path("Same_a.3d"));
    fs::create_hard_link(path("H_d.3d"), path("Same_d.3d"));
    fs::create_hard_link(path("H_a.3d"), path("Own_a.3d"));
    put("Own_d.3d", dataFile(2, 4));
    const Bytes other = animFile(1, 16, patternWords(4));
    put("Other_a.3d", other);
    fs::create_hard_link(path("H_d.3d"), path("Other_d.3d"));
    r = runDryThenReal({"H", "Same", "Own", "Other"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(endsWith(r.out, "\n\n3 meshes: 3 converted, 0 already converted, 0 failed\n"))
        << r.out;
    EXPECT_NE(r.out.find("Converting Own_a.3d"), std::string::npos);
    EXPECT_EQ(get("H_a.3d"), expectedAnim(anim, false));
    EXPECT_EQ(get("Own_a.3d"), expectedAnim(anim, false));
    EXPECT_EQ(get("Other_a.3d"), expectedAnim(other, false));
}

// ---- --to-gltf ----

// A triangle record: corners, polygon type, texture number, the texture
// bytes of each corner, and the two bytes no material carries.
Bytes triangle(std::array<std::uint16_t, 3> v, std::uint8_t type, std::uint8_t texture,
               std::array<std::array<std::uint8_t, 2>, 3> uv, std::uint8_t b7, std::uint8_t b15) {
    Bytes t;
    for (const std::uint16_t i : v) {
        put16(t, i);
    }
    t.push_back(type);
    t.push_back(b7);
    for (const auto& c : uv) {
        t.insert(t.end(), c.begin(), c.end());
    }
    t.push_back(texture);
    t.push_back(b15);
    return t;
}

// A packed word from the three signed fields.
std::uint32_t packed(int x, int y, int z) {
    return (static_cast<std::uint32_t>(x) & 0x7FF) | (static_cast<std::uint32_t>(y) & 0x7FF) << 11 |
           static_cast<std::uint32_t>(z) << 22;
}

std::vector<double> valuesOf(const Glb& glb, const nlohmann::json& accessor) {
    return accessorValues(glb, accessor.get<std::size_t>());
}

// Two frames of four vertices; a triangle of material 000_NORMAL, one of
// 004_2SIDED_UNLIT that gives vertex 2 other texture bytes, and one whose
// corner 9 the mesh does not have; three bytes after the last triangle.
class CliGltf : public Cli {
protected:
    void SetUp() override {
        // glTF (X/8, Z/4, Y/8) of each: (-128, -128, 127.875), (0.125, 0.25,
        // -0.125), (0, 0, 0), (1, 3, 2); in frame 1 vertex 3 moves to X = 2.
        put("M_a.3d", animFile(2, 16,
                               {packed(-1024, 1023, -512), packed(1, -1, 1), 0, packed(8, 16, 12),
                                packed(-1024, 1023, -512), packed(1, -1, 1), 0, packed(16, 16, 12)}));
        Bytes data = dataFile(0, 4, 0x5A);
        data[0] = 3;
        const Bytes t0 = triangle({0, 1, 2}, 0, 0, {{{0, 0}, {255, 0}, {0, 255}}}, 0xA7, 0xAF);
        const Bytes t1 = triangle({2, 1, 3}, 0x11, 4, {{{10, 20}, {255, 0}, {30, 40}}}, 0xB7, 0xBF);
        const Bytes t2 = triangle({0, 1, 9}, 2, 1, {{{1, 2}, {3, 4}, {5, 6}}}, 0xC7, 0xCF);
        for (const Bytes* t : {&t0, &t1, &t2}) {
            data.insert(data.end(), t->begin(), t->end());
        }
        data.insert(data.end(), {'x', 'y', 'z'});
        put("M_d.3d", data);
        loose = t2;
    }
    Bytes loose;
};

TEST_F(CliGltf, ExportWritesEveryFrameCornerAndMaterialAndLeavesTheMeshAlone) {
    const auto before = snapshot();
    const RunResult r = runDryThenReal({"--to-gltf", "M"});
    const Bytes file = get("M.glb");
    EXPECT_EQ(r.out, kBannerOut + kExport + "\n  2 animation frames\n  3 polygons\n  4 vertices" +
                         "\n  Unreal vertex format\n  Wrote M.glb: 2 frames, 5 vertices, 2 materials, " +
                         std::to_string(file.size()) + " bytes\n\n*** Export complete ***\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("M_d.3d: 1 of 3 triangles uses a vertex beyond"), std::string::npos) << r.err;
    auto after = snapshot();
    after.erase("M.glb");
    EXPECT_EQ(after, before); // the mesh's files as they were, nothing else left

    const Glb glb = readGlb(file);
    ASSERT_EQ(glb.error, "");
    const nlohmann::json& j = glb.json;
    const nlohmann::json& prims = j["meshes"][0]["primitives"];
    ASSERT_EQ(prims.size(), 2u);
    EXPECT_EQ(j["materials"][0]["name"], "000_NORMAL_M");
    EXPECT_FALSE(j["materials"][0].contains("doubleSided"));
    EXPECT_EQ(j["materials"][1]["name"], "004_2SIDED_UNLIT_M");
    EXPECT_EQ(j["materials"][1]["doubleSided"], true);
    EXPECT_EQ(j["materials"][1]["extras"]["meshfold"], nlohmann::json::parse(R"({"texture":4,"type":17})"));
    // Vertices 0-3, then vertex 2 with the second triangle's texture bytes;
    // corners (v0, v2, v1).
    EXPECT_EQ(valuesOf(glb, prims[0]["indices"]), (std::vector<double>{0, 2, 1}));
    EXPECT_EQ(valuesOf(glb, prims[1]["indices"]), (std::vector<double>{4, 3, 1}));
    EXPECT_EQ(valuesOf(glb, prims[0]["attributes"]["POSITION"]),
              (std::vector<double>{-128, -128, 127.875, 0.125, 0.25, -0.125, 0, 0, 0, 1, 3, 2, 0, 0, 0}));
    EXPECT_EQ(valuesOf(glb, prims[1]["targets"][0]["POSITION"]),
              (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0}));
    EXPECT_EQ(valuesOf(glb, prims[0]["attributes"]["TEXCOORD_0"]),
              (std::vector<double>{0, 0, 255 / 256.0, 0, 0, 255 / 256.0, 30 / 256.0, 40 / 256.0,
                                   10 / 256.0, 20 / 256.0}));
    const nlohmann::json& x = j["meshes"][0]["extras"];
    EXPECT_EQ(x["targetNames"], nlohmann::json::parse(R"(["Frame 1"])"));
    const nlohmann::json& m = x["meshfold"];
    EXPECT_EQ(m["form"], "unreal");
    EXPECT_EQ(m["frameSize"], 16);
    EXPECT_EQ(m["vertexCount"], 4);
    EXPECT_EQ(m["polygonCount"], 3);
    EXPECT_EQ(m["fps"], 30);
    std::string tail;
    for (int i = 0; i < 44; ++i) {
        tail += "5a";
    }
    EXPECT_EQ(m["dataHeaderTail"], tail);
    EXPECT_EQ(m["dataTrailer"], "78797a");
    EXPECT_EQ(m["triangles"], "0000a7af0100b7bfffffc7cf");
    EXPECT_EQ(m["vertexOf"], "0200");
    std::string looseHex = hex(loose);
    looseHex.erase(std::remove(looseHex.begin(), looseHex.end(), ' '), looseHex.end());
    std::transform(looseHex.begin(), looseHex.end(), looseHex.begin(),
                   [](char c) { return static_cast<char>(std::tolower(c)); });
    EXPECT_EQ(m["looseTriangles"], looseHex);
    EXPECT_EQ(m["check"].get<std::string>().size(), 16u);
    // Frame 1 at 1/30 s.
    const nlohmann::json& sampler = j["animations"][0]["samplers"][0];
    EXPECT_EQ(valuesOf(glb, sampler["input"]), (std::vector<double>{0, static_cast<float>(1 / 30.0)}));
    EXPECT_EQ(valuesOf(glb, sampler["output"]), (std::vector<double>{0, 1}));
}

// The bundled example's cube, exported with its texture and brought back:
// the texture file comes back as the package has it, beside the glTF file
// wherever the run is, listed in a dry run that writes nothing, and its
// import lines with it; --texture-size caps new images only.
TEST_F(CliGltf, TexturesComeBackBesideTheGltfFileWithTheirImportLines) {
    const fs::path examples = sourceDir() / "examples";
    for (const char* f : {"Cube_a.3d", "Cube_d.3d"}) {
        put(f, readFile(examples / f));
    }
    fs::create_directories(path("Classes"));
    fs::create_directories(path("Textures"));
    put("Classes/Cube.uc", readFile(examples / "Classes" / "Cube.uc"));
    put("Textures/CubeTex.pcx", readFile(examples / "Textures" / "CubeTex.pcx"));
    ASSERT_EQ(run({"--to-gltf", "--uc", "Cube"}).status, 0);
    const RunResult r = runDryThenReal({"--uc", "Cube.glb"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("\n  texture 0: CubeTex.pcx, 64 x 64, "), std::string::npos) << r.out;
    const ImageDecoded want = decodeImage(get("Textures/CubeTex.pcx"));
    const ImageDecoded got = decodeImage(get("CubeTex.pcx"));
    ASSERT_EQ(got.failure, "");
    EXPECT_EQ(got.image.rgba, want.image.rgba);
    EXPECT_EQ(got.image.indices, want.image.indices);
    const Bytes script = get("Cube.uc");
    const std::string uc(script.begin(), script.end());
    EXPECT_NE(uc.find("\n#exec TEXTURE IMPORT NAME=CubeTex FILE=Textures\\CubeTex.pcx GROUP=Skins\n"
                      "#exec MESHMAP SETTEXTURE MESHMAP=Cube NUM=0 TEXTURE=CubeTex\n"),
              std::string::npos) << uc;
    // What a run killed while writing them left goes with the next run.
    put("CubeTex.pcx.meshfold-0badcafe.tmp", Bytes(10, 1));
    put("Cube.uc.meshfold-1badcafe.tmp", Bytes(10, 2));
    const RunResult again = run({"--uc", "Cube.glb"});
    EXPECT_NE(again.err.find("CubeTex.pcx.meshfold-0badcafe.tmp, left by a run that was cut short"),
              std::string::npos) << again.err;
    for (const std::string& n : listFolder(scratch.dir)) {
        EXPECT_EQ(n.find(".meshfold-"), std::string::npos) << n;
    }
    // Named from another folder, the file's textures go beside it, not
    // into the folder the run is in.
    fs::create_directories(path("sub"));
    fs::copy_file(path("Cube.glb"), path("sub/Cube.glb"));
    fs::remove(path("CubeTex.pcx"));
    const auto here = listFolder(scratch.dir);
    ASSERT_EQ(run({"--uc", "sub/Cube.glb"}).status, 0);
    EXPECT_EQ(listFolder(scratch.dir), here); // nothing new where the run is
    for (const char* f : {"CubeTex.pcx", "Cube_a.3d", "Cube_d.3d", "Cube.uc"}) {
        EXPECT_TRUE(fs::exists(path(std::string("sub/") + f))) << f;
    }
    EXPECT_EQ(decodeImage(get("sub/CubeTex.pcx")).image.indices, want.image.indices);
    // --texture-size caps the images that were never the game's; the
    // cube's texture, coming home, keeps its size.
    const RunResult home = run({"--uc", "--texture-size=16", "Cube.glb"});
    EXPECT_NE(home.out.find("\n  texture 0: CubeTex.pcx, 64 x 64, "), std::string::npos) << home.out;
    EXPECT_EQ(decodeImage(get("CubeTex.pcx")).image.width, 64u);
    put("Photo.glb", readFile(sourceDir() / "tests" / "data" / "gltf" / "textured.glb"));
    const RunResult small = run({"--uc", "--texture-size=16", "Photo.glb"});
    EXPECT_NE(small.out.find("\n  texture 0: PhotoTex0.pcx, 16 x 16, "), std::string::npos) << small.out;
    EXPECT_EQ(decodeImage(get("PhotoTex0.pcx")).image.width, 16u);
    EXPECT_EQ(run({"--uc", "--texture-size", "48", "Cube.glb"}).status, 2);
}

TEST_F(CliGltf, AFrameRateAnExistingFileAndSeveralMeshes) {
    put("M.glb", Bytes{'o', 'l', 'd'});
    put("D_a.3d", wideAnimFile(1, 32, {{-32768, 256, 512, 0}, {0, 0, 0, 0}, {256, 0, 0, 0}, {0, 0, 256, 0}}));
    put("D_d.3d", soundDataFile(1, 4));
    const RunResult r = run({"--to-gltf", "--fps", "24", "M", "D", "Missing"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(endsWith(r.out, "\n\nCan't open file Missing_a.3d !\n\n\n3 meshes: 2 exported, 1 failed\n")) << r.out;
    EXPECT_NE(r.out.find("\nExporting D_a.3d to glTF...\n\n  Single mesh (no animation)\n  1 polygons"
                         "\n  4 vertices\n  Deus Ex vertex format\n  Wrote D.glb: 1 frame, 4 vertices,"
                         " 1 material, "),
              std::string::npos)
        << r.out;
    Glb glb = readGlb(get("M.glb"));
    ASSERT_EQ(glb.error, "");
    EXPECT_EQ(glb.json["meshes"][0]["extras"]["meshfold"]["fps"], 24);
    EXPECT_EQ(valuesOf(glb, glb.json["animations"][0]["samplers"][0]["input"]),
              (std::vector<double>{0, static_cast<float>(1 / 24.0)}));
    // The Deus Ex form: int16 / 256, one frame, so no targets and no animation.
    glb = readGlb(get("D.glb"));
    ASSERT_EQ(glb.error, "");
    EXPECT_EQ(glb.json["meshes"][0]["extras"]["meshfold"]["form"], "deusex");
    EXPECT_FALSE(glb.json.contains("animations"));
    const nlohmann::json& prim = glb.json["meshes"][0]["primitives"][0];
    EXPECT_FALSE(prim.contains("targets"));
    EXPECT_EQ(valuesOf(glb, prim["attributes"]["POSITION"]),
              (std::vector<double>{-128, 2, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0}));
    EXPECT_EQ(listFolder(scratch.dir), (std::vector<std::string>{"D.glb", "D_a.3d", "D_d.3d", "M.glb",
                                                                  "M_a.3d", "M_d.3d"}));
}

// What a killed export leaves, the next run removes; a dry run says it would.
TEST_F(CliGltf, TheNextRunRemovesWhatAKilledExportLeft) {
    put("M.glb.meshfold-0badcafe.tmp", Bytes(100, 0));
    const RunResult dry = run({"--to-gltf", "--dry-run", "M"});
    EXPECT_EQ(dry.status, 0);
    EXPECT_NE(dry.err.find("M.glb.meshfold-0badcafe.tmp, left by a run that was cut short before it"
                           " replaced anything: would remove it"),
              std::string::npos)
        << dry.err;
    EXPECT_TRUE(fs::exists(path("M.glb.meshfold-0badcafe.tmp")));
    EXPECT_FALSE(fs::exists(path("M.glb")));
    // A conversion of the mesh cleans up after an export too.
    const RunResult r = run({"M"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.err.find("removed it"), std::string::npos) << r.err;
    EXPECT_EQ(listFolder(scratch.dir), (std::vector<std::string>{"M_a.3d", "M_d.3d"}));
}

TEST_F(Cli, DryRunPrintsWhatARunWouldAndTouchesNothing) {
    const Bytes anim = animFile(2, 16, patternWords(8));
    for (const char* base : {"A", "B"}) {
        put(std::string(base) + "_a.3d", anim);
        put(std::string(base) + "_d.3d", dataFile(1, 4));
    }
    put("C_a.3d", animFile(1, 32, patternWords(4)));
    put("C_d.3d", dataFile(1, 4));
    const std::vector<std::string> meshes = {"A", "B_a.3d", "C"};
    for (const bool ms : {false, true}) {
        std::vector<std::string> args = meshes;
        if (ms) {
            args.insert(args.begin(), "-ms");
        }
        const auto before = snapshot();
        std::map<std::string, fs::file_time_type> times;
        for (const auto& [name, bytes] : before) {
            times[name] = fs::last_write_time(path(name));
        }
        args.push_back("--dry-run");
        run(args);
        for (const auto& [name, time] : times) {
            EXPECT_EQ(fs::last_write_time(path(name)), time) << name;
        }
        args.pop_back();
        const RunResult real = runDryThenReal(args);
        EXPECT_EQ(real.status, 1); // C is already converted
        EXPECT_TRUE(endsWith(real.out, "\n\n3 meshes: 2 converted, 1 already converted, 0 failed\n"));
        // Put A and B back for the next round.
        for (const auto& [name, bytes] : before) {
            put(name, bytes);
        }
    }
}

// `script` runs a command on a terminal of its own and records what it shows.
bool haveTerminalRecorder() {
    return runProgram({"sh", "-c", "command -v script"}, fs::current_path()).status == 0;
}

TEST_F(Cli, WarningsGoToStandardErrorOnly) {
    Bytes weapons = soundDataFile(3, 4);
    weapons[48 + 6] = 0x08;      // first triangle: weapon flag
    weapons[48 + 16 + 6] = 0x09; // second too
    Bytes badIndex = soundDataFile(2, 4);
    badIndex[48 + 16 + 2] = 4; // triangle 1, corner 1: vertex 4 of 0..3
    badIndex[48 + 16 + 3] = 0;
    // Converted meshes taken back: the first frame as a conversion without
    // -h writes it (X and Y within -127..128, Z within -128..127; with -ms X
    // within -128..127), just past that, and at the hi-res scale; a second
    // frame beyond it is not looked at.
    const Bytes normalScale =
        wideAnimFile(2, 32, {{128, -127, 127, 0}, {-127, 128, -128, 0}, {0, 0, 0, 0}, {1, -1, 5, 0},
                             {4000, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
    const Bytes pastNormal = wideAnimFile(1, 32, {{1, 2, 3, 0}, {0, 0, 128, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
    const Bytes msScale = wideAnimFile(1, 32, {{-128, 0, 0, 0}, {127, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
    const Bytes hiResScale = wideAnimFile(1, 32, {{4096, -256, 640, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}, {0, 0, 0, 0}});
    const std::string tiny = " looks converted without -h: every coordinate of its first frame lies"
                             " within -128..128, and taken back with -h the mesh will be tiny\n";
    const std::vector<std::string> backHiRes = {"--to-unreal", "-h"};
    struct Case {
        const char* name;
        Bytes anim;
        Bytes data;
        bool ms;
        std::string warning; // empty: none
        std::vector<std::string> switches = {};
    };
    const Case cases[] = {
        {"sound", animFile(2, 16, patternWords(8)), soundDataFile(1, 4), true, ""},
        {"truncated", animFile(2, 16, patternWords(7)), soundDataFile(1, 4), false,
         "meshfold: warning: M_a.3d holds 28 bytes of vertices where 2 frames of 16 bytes make 32:"
         " the file is truncated, and a frame will come out garbled in the game\n"},
        {"padded", animFile(1, 16, patternWords(5)), soundDataFile(1, 4), false,
         "meshfold: warning: M_a.3d holds 20 bytes of vertices where 1 frames of 16 bytes make 16:"
         " the file is padded, and a frame will come out garbled in the game\n"},
        {"bad index", animFile(1, 16, patternWords(4)), badIndex, false,
         "meshfold: warning: M_d.3d: 1 of 2 triangles uses a vertex beyond the mesh's 4 vertices"
         " (the first is triangle 1, counting from 0, with vertex 4): the data file is broken\n"},
        {"weapon triangles, -ms", animFile(1, 16, patternWords(4)), weapons, true,
         "meshfold: warning: M_d.3d has 2 weapon triangles: -ms reverses their corner order with"
         " every other triangle, and the game places a held weapon by that order\n"},
        {"weapon triangles without -ms", animFile(1, 16, patternWords(4)), weapons, false, ""},
        {"taken back with -h, converted without it", normalScale, soundDataFile(1, 4), false,
         "meshfold: warning: M_a.3d" + tiny, backHiRes},
        {"taken back with -h, converted without it, -ms", msScale, soundDataFile(1, 4), true,
         "meshfold: warning: M_a.3d" + tiny, backHiRes},
        {"taken back with -h, a Z of 128", pastNormal, soundDataFile(1, 4), false, "", backHiRes},
        {"taken back with -h, an X of 128 with -ms", normalScale, soundDataFile(1, 4), true, "", backHiRes},
        {"taken back with -h, converted with it", hiResScale, soundDataFile(1, 4), false, "", backHiRes},
        {"taken back without -h", msScale, soundDataFile(1, 4), true, "", {"--to-unreal"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        put("M_a.3d", c.anim);
        put("M_d.3d", c.data);
        std::vector<std::string> args = c.switches;
        if (c.ms) {
            args.push_back("-ms");
        }
        args.push_back("M");
        const RunResult r = run(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, c.warning);
        EXPECT_EQ(r.out.find("warning"), std::string::npos);
        EXPECT_TRUE(endsWith(r.out, "\n\n*** Conversion complete ***\n")) << r.out;

        // Both streams into one pipe, as on a console: the warning comes as
        // soon as it is known, right after the mesh's vertices line.
        put("M_a.3d", c.anim);
        put("M_d.3d", c.data);
        const std::string vertices = "\n  4 vertices";
        std::string together = r.out;
        together.insert(together.find(vertices) + vertices.size(), c.warning);
        EXPECT_EQ(runTool(args, scratch.dir, {"sh", "-c", "exec \"$@\" 2>&1", "sh"}).out, together);

        // Both streams on one terminal: the warning stands on a line of its
        // own, and the lines after it are those of a run without it.
        if (usingRunner() || !haveTerminalRecorder()) {
            continue;
        }
        put("M_a.3d", c.anim);
        put("M_d.3d", c.data);
        std::string onTerminal = r.out;
        if (!c.warning.empty()) {
            onTerminal.insert(onTerminal.find(vertices) + vertices.size(),
                              "\n" + c.warning.substr(0, c.warning.size() - 1));
        }
        const RunResult t =
            runTool(args, scratch.dir, {"sh", "-c", "script -qec \"$*\" /dev/null", "sh"});
        std::string shown;
        for (const char ch : t.out) {
            if (ch != '\r') {
                shown += ch;
            }
        }
        EXPECT_EQ(shown, onTerminal);
    }
}

TEST_F(Cli, BaseNameMayHoldAPathSpacesAndNonAsciiLetters) {
    fs::create_directories(path("sub dir"));
    const std::string base = "sub dir/M\xC3\xBCsh \xE2\x82\xAC";
    const Bytes anim = animFile(1, 16, patternWords(4));
    put(base + "_a.3d", anim);
    put(base + "_d.3d", dataFile(1, 4));
    const RunResult r = run({base});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("\nConverting " + base + "_a.3d...\n"), std::string::npos);
    EXPECT_EQ(get(base + "_a.3d"), expectedAnim(anim, false));
    EXPECT_EQ(listFolder(path("sub dir")).size(), 2u);
}

TEST_F(Cli, ANameTooLongForItsTemporaryFileIsRefusedInBothRuns) {
    // The temporary file beside a mesh file adds 22 characters to its name,
    // which file systems limit to 255: a base name of 228 characters still
    // fits, one of 229 does not.
    const Bytes anim = animFile(1, 16, patternWords(4));
    const std::string fits(228, 'n');
    put(fits + "_a.3d", anim);
    put(fits + "_d.3d", soundDataFile(1, 4));
    EXPECT_EQ(run({"-ms", fits}).status, 0);
    EXPECT_EQ(get(fits + "_a.3d"), expectedAnim(anim, true));
    EXPECT_EQ(listFolder(scratch.dir).size(), 2u);

    const std::string tooLong(229, 'n');
    put(tooLong + "_a.3d", anim);
    put(tooLong + "_d.3d", soundDataFile(1, 4));
    const std::string out = kBannerOut + "\nConverting " + tooLong + "_a.3d...\n" +
                            "\n  Single mesh (no animation)\n  1 polygons\n  4 vertices" +
                            "\n\nCan't replace file " + tooLong +
                            "_a.3d: its name is too long for the temporary file made beside it !\n";
    expectRefused({tooLong}, out);
    expectRefused({"--dry-run", tooLong}, out);
}

TEST_F(Cli, AFolderIsNotAMeshFile) {
    fs::create_directories(path("D_a.3d"));
    put("D_d.3d", dataFile(1, 4));
    expectRefused({"D"}, kBannerOut + "\n\nCan't open file D_a.3d !\n");
}

#ifndef _WIN32

// File-system behaviour on Linux: links, permissions, a full disk. Links and a
// full disk apply to the Windows build under Wine too; permissions do not.
class CliFiles : public Cli {
protected:
    static bool isRoot() { return geteuid() == 0; }
    static bool posixPermissionsApply() { return !usingRunner(); }
};

TEST_F(CliFiles, ASymbolicLinkStaysALinkToTheConvertedFile) {
    fs::create_directories(path("real"));
    const Bytes anim = animFile(1, 16, patternWords(4));
    put("real/L_a.3d", anim);
    put("L_d.3d", dataFile(1, 4));
    fs::create_symlink("real/L_a.3d", path("L_a.3d"));
    ASSERT_EQ(run({"L"}).status, 0);
    EXPECT_TRUE(fs::is_symlink(path("L_a.3d")));
    EXPECT_EQ(get("real/L_a.3d"), expectedAnim(anim, false));
    EXPECT_EQ(listFolder(path("real")), std::vector<std::string>{"L_a.3d"});
}

TEST_F(CliFiles, ConvertedFilesKeepTheirPermissionBits) {
    if (!posixPermissionsApply()) {
        GTEST_SKIP() << "POSIX permission bits: the Windows build keeps file attributes instead";
    }
    put("P_a.3d", animFile(1, 16, patternWords(4)));
    put("P_d.3d", dataFile(1, 4));
    fs::permissions(path("P_a.3d"), fs::perms::owner_read | fs::perms::owner_write |
                                        fs::perms::group_read);
    fs::permissions(path("P_d.3d"), fs::perms::owner_read | fs::perms::owner_write |
                                        fs::perms::others_read);
    ASSERT_EQ(run({"-ms", "P"}).status, 0);
    EXPECT_EQ(fs::status(path("P_a.3d")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(fs::status(path("P_d.3d")).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);

    // The set-group-ID and sticky bits too (mode 03644).
    put("S_a.3d", animFile(1, 16, patternWords(4)));
    put("S_d.3d", dataFile(1, 4));
    const fs::perms setgidSticky = fs::perms::set_gid | fs::perms::sticky_bit | fs::perms::owner_read |
                              fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read;
    fs::permissions(path("S_a.3d"), setgidSticky);
    ASSERT_EQ(fs::status(path("S_a.3d")).permissions(), setgidSticky);
    ASSERT_EQ(run({"S"}).status, 0);
    EXPECT_EQ(fs::status(path("S_a.3d")).permissions(), setgidSticky);
}

// Runs as an unprivileged user, since root may write anything.
class CliUnprivileged : public CliFiles {
protected:
    void SetUp() override {
        if (!posixPermissionsApply()) {
            GTEST_SKIP() << "POSIX permissions; meshfold_wine_tests checks the read-only attribute";
        }
        if (!isRoot()) {
            GTEST_SKIP() << "needs root to switch to an unprivileged user with setpriv";
        }
        if (std::system("command -v setpriv >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "setpriv is not installed";
        }
    }
    RunResult runAsNobody(const std::vector<std::string>& args) const {
        return runTool(args, scratch.dir,
                       {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"});
    }
    void giveToNobody() const {
        for (const auto& e : fs::recursive_directory_iterator(scratch.dir)) {
            ASSERT_EQ(lchown(e.path().c_str(), 65534, 65534), 0);
        }
        ASSERT_EQ(chown(scratch.dir.c_str(), 65534, 65534), 0);
    }
    // Refused with the message for a file that cannot be opened for writing,
    // or with `message` where the cause is another.
    void refusedAsNobody(const std::vector<std::string>& args, const std::string& file,
                         const std::string& message = {}) const {
        const auto before = snapshot();
        const RunResult r = runAsNobody(args);
        EXPECT_EQ(r.status, 1);
        const std::string tail =
            message.empty() ? "\n\nCan't open file " + file + " for writing !\n" : message;
        EXPECT_TRUE(endsWith(r.out, tail)) << r.out;
        EXPECT_EQ(r.out.find("Conversion complete"), std::string::npos);
        EXPECT_EQ(snapshot(), before);
    }
};

TEST_F(CliUnprivileged, AReadOnlyAnimationFileIsLeftAsItWas) {
    put("R_a.3d", animFile(1, 16, patternWords(4)));
    put("R_d.3d", dataFile(1, 4));
    giveToNobody();
    fs::permissions(path("R_a.3d"), fs::perms::owner_read | fs::perms::group_read);
    refusedAsNobody({"R"}, "R_a.3d");
    refusedAsNobody({"--dry-run", "R"}, "R_a.3d"); // a dry run answers as the real one would
}

TEST_F(CliUnprivileged, AReadOnlyDataFileStopsMilkShapeFixBeforeAnyWrite) {
    put("R_a.3d", animFile(1, 16, patternWords(4)));
    put("R_d.3d", dataFile(1, 4));
    giveToNobody();
    fs::permissions(path("R_d.3d"), fs::perms::owner_read);
    refusedAsNobody({"-ms", "R"}, "R_d.3d");
    refusedAsNobody({"-ms", "R", "--dry-run"}, "R_d.3d");
    // Without the fix the data file is only read, so the mesh converts.
    EXPECT_EQ(runAsNobody({"R"}).status, 0);
}

TEST_F(CliUnprivileged, AReadOnlyFolderIsLeftAsItWas) {
    put("R_a.3d", animFile(1, 16, patternWords(4)));
    put("R_d.3d", dataFile(1, 4));
    giveToNobody();
    fs::permissions(scratch.dir, fs::perms::owner_read | fs::perms::owner_exec);
    // The file itself could be written: the message names the folder.
    const std::string folder = "\n\nCan't replace file R_a.3d: no new file can be created in its folder !\n";
    refusedAsNobody({"R"}, "R_a.3d", folder);
    refusedAsNobody({"--dry-run", "R"}, "R_a.3d", folder);
}

TEST_F(CliUnprivileged, AStickyFolderLetsOnlyItsOwnersReplaceFiles) {
    // A shared folder like /tmp: anyone may create files in it and write to
    // a file open to all, but only its owner may rename over it.
    fs::create_directories(path("shared"));
    const Bytes anim = animFile(1, 16, patternWords(4));
    put("shared/R_a.3d", anim);
    put("shared/R_d.3d", dataFile(1, 4));
    put("shared/Own_a.3d", anim);
    put("shared/Own_d.3d", dataFile(1, 4));
    giveToNobody();
    ASSERT_EQ(chown(path("shared").c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(path("shared").c_str(), 01777), 0);
    for (const char* f : {"shared/R_a.3d", "shared/R_d.3d"}) {
        ASSERT_EQ(chown(path(f).c_str(), 0, 0), 0);
        ASSERT_EQ(chmod(path(f).c_str(), 0666), 0);
    }
    const std::string owners = "\n\nCan't replace file shared/R_a.3d: it belongs to another user,"
                               " in a folder where only a file's owner may replace it !\n";
    refusedAsNobody({"shared/R"}, "", owners);
    refusedAsNobody({"--dry-run", "shared/R"}, "", owners);
    // The user's own mesh in the same folder converts.
    EXPECT_EQ(runAsNobody({"-ms", "shared/Own"}).status, 0);
    EXPECT_EQ(get("shared/Own_a.3d"), expectedAnim(anim, true));
}

TEST_F(CliUnprivileged, AFolderThatCannotBeListedSaysSo) {
    fs::create_directories(path("Locked"));
    put("Locked/R_a.3d", animFile(1, 16, patternWords(4)));
    put("Locked/R_d.3d", dataFile(1, 4));
    giveToNobody();
    fs::permissions(path("Locked"), fs::perms::owner_write | fs::perms::owner_exec);
    for (const char* dry : {"--dry-run", "--"}) {
        const RunResult r = runAsNobody({dry, "Locked"});
        EXPECT_EQ(r.out, kBannerOut + "\n\nCan't open folder Locked !\n");
        EXPECT_EQ(r.status, 1);
    }
    fs::permissions(path("Locked"), fs::perms::owner_all);
    EXPECT_EQ(get("Locked/R_a.3d"), animFile(1, 16, patternWords(4)));
}

// A real file system that fills up during the conversion.
class CliFullDisk : public CliFiles {
protected:
    void SetUp() override {
        if (!isRoot()) {
            GTEST_SKIP() << "needs root to mount a small tmpfs";
        }
        disk = scratch.dir / "disk";
        fs::create_directories(disk);
    }
    void TearDown() override {
        if (mounted) {
            const std::string cmd = "umount '" + disk.string() + "'";
            EXPECT_EQ(std::system(cmd.c_str()), 0);
        }
    }
    bool mount(const std::string& size) {
        const std::string cmd =
            "mount -t tmpfs -o size=" + size + " meshfold-test '" + disk.string() + "' 2>/dev/null";
        mounted = std::system(cmd.c_str()) == 0;
        return mounted;
    }
    fs::path disk;
    bool mounted = false;
};

TEST_F(CliFullDisk, AVertexWriteThatDoesNotFitLeavesTheOriginal) {
    if (!mount("48k")) {
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    }
    const Bytes anim = animFile(1, 4 * 5000, patternWords(5000)); // 20 KiB in, 40 KiB out
    writeFile(disk / "F_a.3d", anim);
    writeFile(disk / "F_d.3d", dataFile(1, 5000));
    const RunResult r = runTool({"F"}, disk);
    EXPECT_EQ(r.status, 1);
    const std::string tail = "\n  5000 vertices\n\nCould not write vertex !\n";
    EXPECT_TRUE(endsWith(r.out, tail)) << r.out;
    EXPECT_EQ(readFile(disk / "F_a.3d"), anim);
    EXPECT_EQ(listFolder(disk), (std::vector<std::string>{"F_a.3d", "F_d.3d"}));
}

// 5 frames of 5000 vertices, 100 KB, make a 300 KB .glb, on a disk with room
// for a third of it: the old file stays, and nothing is left beside it.
TEST_F(CliFullDisk, AGltfFileThatDoesNotFitLeavesTheOldOne) {
    if (!mount("208k")) {
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    }
    const Bytes anim = animFile(5, 4 * 5000, patternWords(5000 * 5));
    writeFile(disk / "F_a.3d", anim);
    writeFile(disk / "F_d.3d", dataFile(1, 5000));
    writeFile(disk / "F.glb", Bytes{'o', 'l', 'd'});
    const RunResult r = runTool({"--to-gltf", "F"}, disk);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(endsWith(r.out, "\n\nProblem writing to file F.glb !\n")) << r.out;
    EXPECT_EQ(readFile(disk / "F.glb"), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(readFile(disk / "F_a.3d"), anim);
    EXPECT_EQ(listFolder(disk), (std::vector<std::string>{"F.glb", "F_a.3d", "F_d.3d"}));
}

TEST_F(CliFullDisk, ADataFileThatDoesNotFitLeavesBothFiles) {
    if (!mount("48k")) {
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    }
    // The new animation file fits; the new data file does not.
    const Bytes anim = animFile(1, 16, patternWords(4));
    const Bytes data = dataFile(2000, 4); // 32 KiB, rewritten at the same size
    writeFile(disk / "F_a.3d", anim);
    writeFile(disk / "F_d.3d", data);
    const RunResult r = runTool({"-ms", "F"}, disk);
    EXPECT_EQ(r.status, 1);
    const std::string tail = "\n\nProblem writing to file F_d.3d !\n";
    EXPECT_TRUE(endsWith(r.out, tail)) << r.out;
    EXPECT_EQ(readFile(disk / "F_a.3d"), anim);
    EXPECT_EQ(readFile(disk / "F_d.3d"), data);
    EXPECT_EQ(listFolder(disk), (std::vector<std::string>{"F_a.3d", "F_d.3d"}));
}

#endif

} // namespace
} // namespace meshfold::test

namespace meshfold::test {
namespace {

// A triangle (0, 0, 0) (1, 0, 0) (0, 1, 0) in glTF axes, with material
// "002_MASKED", moved 1 along glTF z over one second; its buffer in NAME.bin
// (or where `uri` says).
void putGltf(const fs::path& dir, const std::string& name, const std::string& uri = "",
             const std::string& extra = "") {
    Bytes bin;
    for (const float f : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 0.f, 0.f, 1.f}) {
        put32(bin, std::bit_cast<std::uint32_t>(f));
    }
    for (const std::uint16_t i : {0, 1, 2, 0}) {
        put16(bin, i);
    }
    const std::string json =
        R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],)"
        R"("meshes":[{"primitives":[{"attributes":{"POSITION":0},"indices":3,"material":0}]}],)"
        R"("materials":[{"name":"002_MASKED"}],"buffers":[{"byteLength":76,"uri":")" +
        (uri.empty() ? name + ".bin" : uri) +
        R"("}],"bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36},{"buffer":0,"byteOffset":36,"byteLength":8},)"
        R"({"buffer":0,"byteOffset":44,"byteLength":24},{"buffer":0,"byteOffset":68,"byteLength":6}],)"
        R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3"},)"
        R"({"bufferView":1,"componentType":5126,"count":2,"type":"SCALAR"},)"
        R"({"bufferView":2,"componentType":5126,"count":2,"type":"VEC3"},)"
        R"({"bufferView":3,"componentType":5123,"count":3,"type":"SCALAR"}],)"
        R"("animations":[{"name":"Rise","channels":[{"sampler":0,"target":{"node":0,"path":"translation"}}],)"
        R"("samplers":[{"input":1,"output":2}]}])" +
        extra + "}";
    writeFile(dir / (name + ".gltf"), Bytes(json.begin(), json.end()));
    writeFile(dir / (name + ".bin"), bin);
}

const std::string kTriangleRanges = "\n  X coordinate range: 0 to 256\n  Y coordinate range: 0 to 256"
                                    "\n  Z coordinate range: 0 to 256\n\n*** Conversion complete ***\n";

TEST_F(Cli, AGltfFileBecomesBothGameFilesAndItsScript) {
    putGltf(scratch.dir, "Tri");
    const RunResult r = runDryThenReal({"--uc", "--fps", "1", "Tri.gltf"});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, kBannerOut + "\nImporting Tri.gltf...\n\n* Deus Ex form *\n\n  2 animation frames"
                                  "\n  1 polygons\n  3 vertices" + kTriangleRanges);
    EXPECT_EQ(r.err, "");
    Bytes anim;
    put16(anim, 2);
    put16(anim, 24);
    for (const int y : {0, 256}) {
        for (const std::array<int, 3> v : {std::array{0, y, 0}, std::array{256, y, 0}, std::array{0, y, 256}}) {
            for (const int c : v) {
                put16(anim, static_cast<std::uint16_t>(c));
            }
            put16(anim, 0);
        }
    }
    EXPECT_EQ(hex(get("Tri_a.3d")), hex(anim));
    Bytes data;
    put16(data, 1);
    put16(data, 3);
    data.resize(48, 0);
    // Corners (0, 2, 1), type 3 (_MASKED), texture 2.
    for (const int b : {0, 0, 2, 0, 1, 0, 3, 0, 0, 0, 0, 0, 0, 0, 2, 0}) {
        data.push_back(static_cast<std::uint8_t>(b));
    }
    EXPECT_EQ(hex(get("Tri_d.3d")), hex(data));
    const Bytes uc = get("Tri.uc");
    const std::string script(uc.begin(), uc.end());
    EXPECT_NE(script.find("#exec MESH SEQUENCE MESH=Tri SEQ=Rise STARTFRAME=0 NUMFRAMES=2 RATE=1\n"),
              std::string::npos) << script;
    EXPECT_EQ(listFolder(scratch.dir), (std::vector<std::string>{"Tri.bin", "Tri.gltf", "Tri.uc", "Tri_a.3d", "Tri_d.3d"}));

    // Again in the Unreal form: both files replaced, nothing else written.
    fs::remove(path("Tri.uc"));
    const RunResult u = run({"--to-unreal", "--fps", "1", "Tri.gltf"});
    EXPECT_EQ(u.status, 0) << u.out;
    EXPECT_EQ(get("Tri_a.3d").size(), 4u + 2 * 3 * 4);
    EXPECT_EQ(readLe16(get("Tri_a.3d").data() + 2), 12);
    EXPECT_EQ(hex(get("Tri_d.3d")), hex(data));
    EXPECT_EQ(listFolder(scratch.dir), (std::vector<std::string>{"Tri.bin", "Tri.gltf", "Tri_a.3d", "Tri_d.3d"}));
}

TEST_F(Cli, AGltfFileThatCannotBecomeAMeshChangesNothing) {
    putGltf(scratch.dir, "Tri");
    putGltf(scratch.dir, "Out", "../Out.bin");
    putGltf(scratch.dir, "Lost", "Gone.bin");
    putGltf(scratch.dir, "Draco", "", R"(,"extensionsRequired":["KHR_draco_mesh_compression"])");
    putGltf(scratch.dir, "Splat", "", R"(,"extensionsRequired":["KHR_gaussian_splatting"])");
    put("Junk.glb", Bytes{'g', 'l', 'T', 'F', 2, 0, 0, 0, 200, 0, 0, 0});
    put("Text.gltf", Bytes{'h', 'i'});
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"Out.gltf"}, "\n\nFile Out.gltf refers to ../Out.bin, which is not a file in its folder !\n"},
        {{"Lost.gltf"}, "\n\nFile Lost.gltf refers to Gone.bin, which cannot be read !\n"},
        {{"Draco.gltf"}, "\n\nFile Draco.gltf needs the extension KHR_draco_mesh_compression, which compresses its"
                         " meshes and which meshfold cannot read: export it again without mesh compression !\n"},
        {{"Splat.gltf"}, "\n\nFile Splat.gltf needs the extension KHR_gaussian_splatting, which changes its"
                         " geometry and which meshfold cannot read !\n"},
        {{"Text.gltf"}, "\n\nFile Text.gltf is not a glTF 2.0 file !\n"},
        {{"None.glb"}, "\n\nCan't open file None.glb !\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0]);
        const std::string progress = c.args[0] == "None.glb" ? "" : "\nImporting " + c.args[0] + "...\n";
        expectRefused(c.args, kBannerOut + progress + c.message);
    }
    const auto before = snapshot();
    const RunResult junk = run({"Junk.glb"});
    EXPECT_EQ(junk.status, 1);
    EXPECT_NE(junk.out.find("File Junk.glb is damaged or truncated"), std::string::npos) << junk.out;
    EXPECT_EQ(junk.out.find(". !"), std::string::npos) << junk.out; // the library's full stop goes
    // --fit scales up as well as down, to the form's whole range.
    const RunResult big = run({"--fps", "1", "Tri.gltf", "--fit"});
    EXPECT_EQ(big.status, 0);
    EXPECT_NE(big.out.find("\nScaled by 127.996094 to fit"), std::string::npos) << big.out;
    fs::remove(path("Tri_a.3d"));
    fs::remove(path("Tri_d.3d"));
    EXPECT_EQ(snapshot(), before);
    // -ms and -h are about the game's files: with a glTF file a usage error.
    for (const char* s : {"-ms", "-h"}) {
        const RunResult u = run({s, "Tri.gltf"});
        EXPECT_EQ(u.status, 2);
        EXPECT_EQ(u.out, kBannerOut + kHelpOut);
        EXPECT_EQ(snapshot(), before);
    }
}

TEST_F(Cli, ACoordinateOutsideTheFormNamesItsExtentAndSuggestsFit) {
    putGltf(scratch.dir, "Tri");
    Bytes bin = get("Tri.bin");
    const float far = 200.0f;
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(far);
    std::copy_n(reinterpret_cast<const std::uint8_t*>(&bits), 4, bin.begin() + 12); // vertex 1's x
    put("Tri.bin", bin);
    expectRefused({"--fps", "1", "Tri.gltf"},
                  kBannerOut + "\nImporting Tri.gltf...\n\n* Deus Ex form *\n\n  2 animation frames\n  1 polygons"
                               "\n  3 vertices\n\nFile Tri.gltf reaches X from 0 to 200 (the form takes -128 to"
                               " 127.996): use --fit to scale it into the form !\n");
    const RunResult fit = run({"--fps", "1", "--fit", "--uc", "Tri.gltf"});
    EXPECT_EQ(fit.status, 0) << fit.out;
    EXPECT_NE(fit.out.find("\nScaled by 0.63998"), std::string::npos) << fit.out;
    const Bytes uc = get("Tri.uc");
    EXPECT_NE(std::string(uc.begin(), uc.end()).find("SCALE MESHMAP=Tri X=0.0061037"), std::string::npos);

    // Every frame is measured, not the first alone: in range at rest, the
    // triangle rises 200 along glTF z (the game's Y) by its last frame.
    putGltf(scratch.dir, "Late");
    Bytes late = get("Late.bin");
    std::copy_n(reinterpret_cast<const std::uint8_t*>(&bits), 4, late.begin() + 64); // key 1's z
    put("Late.bin", late);
    expectRefused({"--fps", "1", "Late.gltf"},
                  kBannerOut + "\nImporting Late.gltf...\n\n* Deus Ex form *\n\n  2 animation frames\n  1 polygons"
                               "\n  3 vertices\n\nFile Late.gltf reaches Y from 0 to 200 (the form takes -128 to"
                               " 127.996): use --fit to scale it into the form !\n");
    const RunResult lateFit = run({"--fps", "1", "--fit", "Late.gltf"});
    EXPECT_EQ(lateFit.status, 0) << lateFit.out;
    EXPECT_NE(lateFit.out.find("\nScaled by 0.63998"), std::string::npos) << lateFit.out;
    EXPECT_NE(lateFit.out.find("\n  Y coordinate range: 0 to 32767\n"), std::string::npos) << lateFit.out;
    const Bytes lateAnim = get("Late_a.3d");
    ASSERT_EQ(lateAnim.size(), 4u + 2 * 24);
    EXPECT_EQ(readLe16(lateAnim.data() + 4 + 24 + 2), 32767); // frame 1, vertex 0's Y
}

// The engine units to a glTF unit of the script's MESHMAP SCALE line, X, Y, Z.
std::array<double, 3> scriptScale(const Bytes& uc) {
    const std::string text(uc.begin(), uc.end());
    const std::size_t line = text.find("#exec MESHMAP SCALE");
    std::array<double, 3> v{};
    for (std::size_t a = 0; a < 3; ++a) {
        const std::string key = std::string(1, static_cast<char>('X' + a)) + "=";
        v[a] = std::stod(text.substr(text.find(key, line) + 2));
    }
    return v;
}

TEST_F(Cli, ScaleChangesTheScriptsScaleAloneInEitherFormWithOrWithoutFit) {
    putGltf(scratch.dir, "Tri");
    for (const bool unreal : {false, true}) {
        for (const bool fit : {false, true}) {
            SCOPED_TRACE(std::string(unreal ? "unreal" : "deus ex") + (fit ? " fit" : ""));
            std::vector<std::string> args = {"--fps", "1", "--uc", "Tri.gltf"};
            for (const auto& [on, name] : {std::pair{unreal, "--to-unreal"}, std::pair{fit, "--fit"}}) {
                if (on) {
                    args.push_back(name);
                }
            }
            ASSERT_EQ(run(args).status, 0);
            const Bytes anim = get("Tri_a.3d");
            const Bytes data = get("Tri_d.3d");
            const std::array<double, 3> plain = scriptScale(get("Tri.uc"));
            for (const char* file : {"Tri_a.3d", "Tri_d.3d", "Tri.uc"}) {
                fs::remove(path(file));
            }
            args.insert(args.begin(), {"--scale", "52.5"});
            const RunResult r = run(args);
            ASSERT_EQ(r.status, 0) << r.out << r.err;
            EXPECT_EQ(get("Tri_a.3d"), anim);
            EXPECT_EQ(get("Tri_d.3d"), data);
            const std::array<double, 3> scaled = scriptScale(get("Tri.uc"));
            for (std::size_t a = 0; a < 3; ++a) {
                EXPECT_NEAR(scaled[a] / plain[a], 52.5, 52.5e-8) << a;
            }
            if (!unreal && !fit) {
                const Bytes uc = get("Tri.uc");
                EXPECT_NE(std::string(uc.begin(), uc.end()).find("X=0.205078125 Y=0.205078125 Z=0.205078125\n"),
                          std::string::npos);
            }
        }
    }
}

} // namespace
} // namespace meshfold::test

namespace meshfold::test {
namespace {

// --to-gltf --uc writes one animation per sequence of NAME.uc; the file
// brought back with --uc gives a script with the same sequences, and the
// mesh's files byte for byte.
TEST_F(Cli, SequencesGoOutToGltfAndComeBackWithUc) {
    const Bytes anim = animFile(6, 12, patternWords(18));
    const Bytes data = soundDataFile(1, 3);
    put("S_a.3d", anim);
    put("S_d.3d", data);
    const std::string uc = "#exec MESH SEQUENCE MESH=S SEQ=All STARTFRAME=0 NUMFRAMES=6\n"
                           "#exec MESH SEQUENCE MESH=S SEQ=Walk STARTFRAME=2 NUMFRAMES=3 RATE=10\n"
                           "#exec MESH SEQUENCE MESH=S SEQ=Rest STARTFRAME=0 NUMFRAMES=1\n";
    put("S.uc", Bytes(uc.begin(), uc.end()));
    // Without --uc the script beside the mesh is not read: one animation of
    // every frame.
    ASSERT_EQ(run({"--to-gltf", "S"}).status, 0);
    const Glb plain = readGlb(get("S.glb"));
    ASSERT_EQ(plain.error, "");
    ASSERT_EQ(plain.json["animations"].size(), 1u);
    EXPECT_EQ(accessorValues(plain, plain.json["animations"][0]["samplers"][0]["input"].get<std::size_t>()).size(), 6u);

    ASSERT_EQ(run({"--to-gltf", "--uc", "S"}).status, 0);
    const Glb glb = readGlb(get("S.glb"));
    ASSERT_EQ(glb.error, "");
    const auto& animations = glb.json["animations"];
    ASSERT_EQ(animations.size(), 3u);
    EXPECT_EQ(animations[1]["name"], "Walk");
    const std::vector<double> times =
        accessorValues(glb, animations[1]["samplers"][0]["input"].get<std::size_t>());
    ASSERT_EQ(times.size(), 3u);
    EXPECT_NEAR(times[2], 0.2, 1e-6);

    fs::remove(path("S.uc"));
    const RunResult back = run({"--uc", "--to-unreal", "S.glb"});
    ASSERT_EQ(back.status, 0) << back.out << back.err;
    EXPECT_EQ(get("S_a.3d"), anim);
    EXPECT_EQ(get("S_d.3d"), data);
    const Bytes script = get("S.uc");
    const std::string text(script.begin(), script.end());
    EXPECT_NE(text.find("SEQ=All STARTFRAME=0 NUMFRAMES=6\n"), std::string::npos) << text;
    EXPECT_NE(text.find("SEQ=Walk STARTFRAME=2 NUMFRAMES=3 RATE=10\n"), std::string::npos) << text;
    EXPECT_NE(text.find("SEQ=Rest STARTFRAME=0 NUMFRAMES=1 RATE=30\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("SEQ=All_"), std::string::npos) << text;
}

// A 2 x 2 texture, 8-bit PCX (version 5, RLE, palette at the end): indices
// 0, 1 / 2, 1 (each line padded to an even 2 bytes), colour i = (60 i + 15,
// 200 - i, 7 i), so colour 0 is (15, 200, 0).
Bytes smallPcx() {
    Bytes b(128, 0);
    b[0] = 0x0A;
    b[1] = 5;
    b[2] = 1;
    b[3] = 8;
    b[8] = 1;  // xmax
    b[10] = 1; // ymax
    b[65] = 1;
    b[66] = 2; // bytes per line
    b[68] = 1;
    b.insert(b.end(), {0, 1, 2, 1, 0x0C});
    for (int i = 0; i < 256; ++i) {
        b.insert(b.end(), {static_cast<std::uint8_t>(60 * i + 15), static_cast<std::uint8_t>(200 - i),
                           static_cast<std::uint8_t>(7 * i)});
    }
    return b;
}
const std::array<std::array<std::uint8_t, 3>, 4> kSmallPcxColours = {
    {{15, 200, 0}, {75, 199, 7}, {135, 198, 14}, {75, 199, 7}}};
const std::array<std::uint8_t, 4> kSmallPcxIndices = {0, 1, 2, 1};

// A 1 x 1 BMP of 24 bits: one pixel (red 1, green 2, blue 3), its row padded to 4.
Bytes tinyBmp() {
    Bytes b = {'B', 'M'};
    put32(b, 58);
    put32(b, 0);
    put32(b, 54);
    put32(b, 40);
    put32(b, 1);
    put32(b, 1);
    put16(b, 1);
    put16(b, 24);
    for (int i = 0; i < 6; ++i) {
        put32(b, 0);
    }
    b.insert(b.end(), {3, 2, 1, 0});
    return b;
}

// A package's import lines as meshfold --to-gltf --uc finds them: the mesh
// M has triangles on slot 0 (normal) and slot 1 (masked).
class CliPackage : public Cli {
protected:
    void file(const std::string& name, const Bytes& b) const {
        fs::create_directories(path(name).parent_path());
        put(name, b);
    }
    void text(const std::string& name, const std::string& t) const { file(name, Bytes(t.begin(), t.end())); }
    void mesh(const std::string& folder) const {
        file(folder + "M_a.3d", animFile(1, 16, {0, packed(64, 0, 0), packed(0, 64, 0), packed(0, 0, 64)}));
        Bytes data = dataFile(0, 4);
        data[0] = 2;
        for (const Bytes& t : {triangle({0, 1, 2}, 0, 0, {{{0, 0}, {128, 0}, {0, 128}}}, 0, 0),
                               triangle({1, 2, 3}, 3, 1, {{{0, 0}, {128, 0}, {0, 128}}}, 0, 0)}) {
            data.insert(data.end(), t.begin(), t.end());
        }
        file(folder + "M_d.3d", data);
    }
};

TEST_F(CliPackage, EachLayoutOfImportLinesGivesItsSlotsTheirTextures) {
    struct Case {
        const char* what;
        std::string meshFolder;
        std::vector<std::pair<std::string, std::string>> scripts;
        std::vector<std::pair<std::string, Bytes>> textures;
        std::map<int, std::string> shown; // slot -> image name
        std::vector<std::string> warnings;
        std::size_t images = 0; // in the file: one for each distinct PNG
        // Two files whose names differ only in case: a folder on Windows
        // holds one of them.
        bool namesInEveryCase = false;
    };
    Bytes cut = smallPcx();
    cut.resize(140);
    const std::vector<Case> cases = {
        {"NAME.uc beside the mesh, its paths from the mesh's folder",
         "",
         {{"M.uc", "#exec TEXTURE IMPORT NAME=Skin FILE=Skin.pcx\n#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=Skin\n"}},
         {{"Skin.pcx", smallPcx()}},
         {{0, "Skin"}},
         {},
         1},
        {"one texture on both slots, shown alike (a 24-bit file has no index 0 to mask): one image",
         "",
         {{"M.uc", "#exec TEXTURE IMPORT NAME=New FILE=New.bmp\n#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=New\n"
                   "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=1 TEXTURE=New\n"}},
         {{"New.bmp", tinyBmp()}},
         {{0, "New"}, {1, "New"}},
         {},
         1},
        {"one texture on both slots, masked on one: two images",
         "",
         {{"M.uc", "#exec TEXTURE IMPORT NAME=Skin FILE=Skin.pcx\n#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=Skin\n"
                   "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=1 TEXTURE=Skin\n"}},
         {{"Skin.pcx", smallPcx()}},
         {{0, "Skin"}, {1, "Skin"}},
         {},
         2},
        {"Classes in any case, MESH= unlike the file's name, paths in any case and quoted",
         "Pkg/Models/",
         {{"Pkg/classes/Thing.uc",
           "#exec MESH IMPORT MESH=Gadget ANIVFILE=\"MODELS\\m_A.3D\" DATAFILE=models\\M_d.3d\n"
           "#exec TEXTURE IMPORT FILE=TEXTURES/skin.PCX\n"
           "#exec MESHMAP SETTEXTURE MESHMAP=Gadget NUM=1 TEXTURE=Pkg.Skins.Skin\n"
           "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=Skin\n"}},
         {{"Pkg/Textures/Skin.pcx", smallPcx()}},
         {{1, "skin"}},
         {},
         1},
        {"a package three folders up; the game's own texture and a missing file warn",
         "Pkg/a/b/c/",
         {{"Pkg/Classes/A.uc", "#exec MESH IMPORT MESH=M ANIVFILE=a\\b\\c\\M_a.3d\n"
                               "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=Engine.DefaultTexture\n"
                               "#exec TEXTURE IMPORT NAME=Gone FILE=Textures\\Gone.pcx\n"
                               "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=1 TEXTURE=Gone\n"}},
         {},
         {},
         {"Pkg/a/b/c/M_a.3d: texture slot 0 is Engine.DefaultTexture, which the package does not import",
          "Pkg/a/b/c/M_a.3d: texture slot 1 is Gone, whose file Textures\\Gone.pcx is not in the package"}},
        {"four folders up is too far",
         "Pkg/a/b/c/d/",
         {{"Pkg/Classes/A.uc", "#exec TEXTURE IMPORT NAME=Skin FILE=Skin.pcx\n"
                               "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=Skin\n"}},
         {{"Pkg/Skin.pcx", smallPcx()}},
         {},
         {}},
        {"NAME.uc beside the mesh counts first: the package's later line of a slot wins",
         "Pkg/Models/",
         {{"Pkg/Models/M.uc", "#exec TEXTURE IMPORT NAME=Old FILE=Textures\\Old.pcx\n"
                              "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=Old\n"
                              "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=1 TEXTURE=Old\n"},
          {"Pkg/Classes/P.uc", "#exec MESH IMPORT MESH=M ANIVFILE=Models\\M_a.3d\n"
                               "#exec TEXTURE IMPORT NAME=New FILE=Textures\\New.bmp\n"
                               "// #exec MESHMAP SETTEXTURE MESHMAP=M NUM=1 TEXTURE=New\n"
                               "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=New\n"}},
         {{"Pkg/Textures/Old.pcx", smallPcx()}, {"Pkg/Textures/New.bmp", tinyBmp()}},
         {{0, "New"}, {1, "Old"}},
         {},
         2},
        {"a file name in the script matching several spellings: none is guessed",
         "",
         {{"M.uc", "#exec TEXTURE IMPORT NAME=Skin FILE=Textures\\skin.pcx\n"
                   "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=Skin\n"}},
         {{"Textures/Skin.pcx", smallPcx()}, {"Textures/SKIN.PCX", smallPcx()}},
         {},
         {"M_a.3d: texture slot 0 is Skin, whose file Textures\\skin.pcx is not in the package"},
         0,
         true},
        {"a damaged file warns",
         "",
         {{"M.uc", "#exec TEXTURE IMPORT NAME=Skin FILE=Skin.pcx\n#exec MESHMAP SETTEXTURE MESHMAP=M NUM=1 TEXTURE=Skin\n"}},
         {{"Skin.pcx", cut}},
         {},
         {"M_a.3d: texture slot 1 is Skin, whose file Skin.pcx cannot be decoded: "}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.namesInEveryCase && usingRunner()) {
            continue; // Wine finds either file under any spelling, as Windows would its one
        }
        fs::remove_all(path("Pkg"));
        fs::remove_all(path("Textures"));
        for (const char* f : {"M.uc", "Skin.pcx", "New.bmp", "M_a.3d", "M_d.3d", "M.glb"}) {
            fs::remove(path(f));
        }
        mesh(c.meshFolder);
        for (const auto& [name, t] : c.scripts) {
            text(name, t);
        }
        for (const auto& [name, b] : c.textures) {
            file(name, b);
        }
        const std::string name = c.meshFolder + "M";

        // Without --uc, no package is looked for.
        ASSERT_EQ(run({"--to-gltf", name}).status, 0);
        const Glb plain = readGlb(get(name + ".glb"));
        EXPECT_FALSE(plain.json.contains("images"));
        EXPECT_FALSE(plain.json["materials"][0]["extras"]["meshfold"].contains("textureName"));

        const RunResult r = runDryThenReal({"--to-gltf", "--uc", name});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        for (const std::string& w : c.warnings) {
            EXPECT_NE(r.err.find("meshfold: warning: " + w), std::string::npos) << r.err;
        }
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), static_cast<long>(c.warnings.size())) << r.err;
        const Glb glb = readGlb(get(name + ".glb"));
        ASSERT_EQ(glb.error, "");
        EXPECT_EQ(glb.json.value("images", nlohmann::json::array()).size(), c.images);
        for (const nlohmann::json& m : glb.json["materials"]) {
            const int slot = m["extras"]["meshfold"]["texture"];
            const auto it = c.shown.find(slot);
            ASSERT_EQ(m["pbrMetallicRoughness"].contains("baseColorTexture"), it != c.shown.end()) << slot;
            if (it == c.shown.end()) {
                continue;
            }
            const std::size_t t = m["pbrMetallicRoughness"]["baseColorTexture"]["index"];
            const nlohmann::json& image = glb.json["images"][glb.json["textures"][t]["source"].get<std::size_t>()];
            EXPECT_EQ(image["name"], it->second);
            EXPECT_NE(r.out.find("\n  Texture slot " + std::to_string(slot) + ": " + it->second + " ("),
                      std::string::npos) << r.out;
            const nlohmann::json& view = glb.json["bufferViews"][image["bufferView"].get<std::size_t>()];
            const std::size_t at = view["byteOffset"];
            const ImageDecoded png = decodeImage(std::span<const std::uint8_t>(
                glb.bin.data() + at, view["byteLength"].get<std::size_t>()));
            ASSERT_EQ(png.failure, "");
            if (it->second == "New") {
                EXPECT_EQ(png.image.rgba, (Bytes{1, 2, 3, 255}));
                continue;
            }
            // Slot 1's polygons are masked: index 0 is transparent.
            ASSERT_EQ(png.image.rgba.size(), 16u);
            EXPECT_EQ(m.value("alphaMode", "OPAQUE"), slot == 1 ? "MASK" : "OPAQUE");
            for (std::size_t p = 0; p < 4; ++p) {
                const Bytes want = {kSmallPcxColours[p][0], kSmallPcxColours[p][1], kSmallPcxColours[p][2],
                                    static_cast<std::uint8_t>(slot == 1 && kSmallPcxIndices[p] == 0 ? 0 : 255)};
                EXPECT_EQ(Bytes(png.image.rgba.begin() + 4 * p, png.image.rgba.begin() + 4 * p + 4), want) << p;
            }
        }
    }
}

// One run over the meshes of two packages: each mesh shows its own
// package's texture, as its materials show it, though the run keeps the
// scripts it read last and the PNGs of its last mesh.
TEST_F(CliPackage, ARunOverSeveralPackagesGivesEachMeshItsOwnPackagesTextures) {
    mesh("P1/Models/");
    file("P1/Models/N_a.3d", get("P1/Models/M_a.3d"));
    file("P1/Models/N_d.3d", get("P1/Models/M_d.3d"));
    mesh("P2/Models/");
    text("P1/Classes/A.uc", "#exec TEXTURE IMPORT NAME=One FILE=Textures\\One.pcx\n"
                            "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=One\n"
                            "#exec MESHMAP SETTEXTURE MESHMAP=N NUM=0 TEXTURE=One\n"
                            "#exec MESHMAP SETTEXTURE MESHMAP=N NUM=1 TEXTURE=One\n");
    text("P2/Classes/B.uc", "#exec TEXTURE IMPORT NAME=Two FILE=Textures\\Two.bmp\n"
                            "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=Two\n");
    file("P1/Textures/One.pcx", smallPcx());
    file("P2/Textures/Two.bmp", tinyBmp());
    const RunResult r = run({"--to-gltf", "--uc", "P1/Models/M", "P1/Models/N", "P2/Models/M"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // Slot 1's polygons are masked: N shows One twice, the second time with
    // index 0 transparent.
    const std::vector<std::tuple<std::string, int, std::string, bool>> shown = {
        {"P1/Models/M", 0, "One", false}, {"P1/Models/N", 0, "One", false},
        {"P1/Models/N", 1, "One", true},  {"P2/Models/M", 0, "Two", false}};
    for (const auto& [name, slot, image, masked] : shown) {
        SCOPED_TRACE(name + " slot " + std::to_string(slot));
        const Glb glb = readGlb(get(name + ".glb"));
        ASSERT_EQ(glb.error, "");
        const nlohmann::json& m = glb.json["materials"][slot];
        ASSERT_EQ(m["extras"]["meshfold"]["texture"], slot);
        ASSERT_TRUE(m["pbrMetallicRoughness"].contains("baseColorTexture"));
        const std::size_t t = m["pbrMetallicRoughness"]["baseColorTexture"]["index"];
        const nlohmann::json& i = glb.json["images"][glb.json["textures"][t]["source"].get<std::size_t>()];
        EXPECT_EQ(i["name"], image);
        const nlohmann::json& view = glb.json["bufferViews"][i["bufferView"].get<std::size_t>()];
        const ImageDecoded png = decodeImage(std::span<const std::uint8_t>(
            glb.bin.data() + view["byteOffset"].get<std::size_t>(), view["byteLength"].get<std::size_t>()));
        ASSERT_EQ(png.failure, "");
        if (image == "One") {
            ASSERT_EQ(png.image.rgba.size(), 16u);
            for (std::size_t p = 0; p < 4; ++p) {
                EXPECT_EQ(png.image.rgba[4 * p + 3], masked && kSmallPcxIndices[p] == 0 ? 0 : 255) << p;
            }
        }
    }
}

// A 24-bit BMP of w x h pixels, bottom-up, each pixel's colour from `colour`
// of its position (red, green, blue), rows padded to 4 bytes.
Bytes bmp24(std::uint32_t w, std::uint32_t h, const std::function<std::array<std::uint8_t, 3>(std::uint32_t, std::uint32_t)>& colour) {
    const std::uint32_t row = (3 * w + 3) / 4 * 4;
    Bytes b = {'B', 'M'};
    put32(b, 54 + row * h);
    put32(b, 0);
    put32(b, 54);
    put32(b, 40);
    put32(b, w);
    put32(b, h);
    put16(b, 1);
    put16(b, 24);
    for (int i = 0; i < 6; ++i) {
        put32(b, 0);
    }
    for (std::uint32_t y = h; y-- > 0;) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const auto c = colour(x, y);
            b.insert(b.end(), {c[2], c[1], c[0]});
        }
        b.resize(b.size() + row - 3 * w, 0);
    }
    return b;
}

// Textures of a package's own, exported with --uc and brought back with --uc
// at the default cap of 256: an 8-bit PCX of 512 x 512 and one of 1024 x 256
// come back at their size with their indices and palette, and a skin
// imported from a 24-bit BMP with FLAGS=2 comes back as NAME.pcx under its
// name, group and flags, its colours exactly.
TEST_F(CliPackage, TexturesComeBackAtTheirSizeUnderTheirNames) {
    for (const auto& [w, h] : {std::pair<std::uint32_t, std::uint32_t>{512, 512}, {1024, 256}}) {
        SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
        fs::remove_all(path("Pkg"));
        mesh("Pkg/Models/");
        PalettedImage big{w, h, {}, {}, 256};
        for (std::uint32_t p = 0; p < w * h; ++p) {
            big.indices.push_back(static_cast<std::uint8_t>(p / 5 + p / w));
        }
        for (std::size_t i = 0; i < big.palette.size(); ++i) {
            big.palette[i] = static_cast<std::uint8_t>(i * 13);
        }
        file("Pkg/Textures/Big.pcx", encodePcx(big));
        file("Pkg/Textures/Tags/DogTags.bmp", bmp24(64, 32, [](std::uint32_t x, std::uint32_t y) {
                 return (x / 8 + y / 8) % 2 == 0 ? std::array<std::uint8_t, 3>{119, 119, 119}
                                                 : std::array<std::uint8_t, 3>{0, 0, 0};
             }));
        text("Pkg/Classes/A.uc", "#exec TEXTURE IMPORT NAME=BigSkin FILE=Textures\\Big.pcx GROUP=Skins\n"
                                 "#exec TEXTURE IMPORT NAME=DogTags FILE=Textures\\Tags\\DogTags.bmp GROUP=\"DogTags\" FLAGS=2\n"
                                 "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=BigSkin\n"
                                 "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=1 TEXTURE=DogTags\n");
        ASSERT_EQ(run({"--to-gltf", "--uc", "Pkg/Models/M"}).status, 0);
        fs::create_directories(path("back"));
        fs::copy_file(path("Pkg/Models/M.glb"), path("back/M.glb"), fs::copy_options::overwrite_existing);
        const RunResult r = run({"--uc", "back/M.glb"});
        ASSERT_EQ(r.status, 0) << r.out << r.err;
        EXPECT_NE(r.out.find("\n  texture 0: Big.pcx, " + std::to_string(w) + " x " + std::to_string(h) +
                             ", 256 colours\n  texture 1: DogTags.pcx, 64 x 32, 2 colours, masked\n"),
                  std::string::npos) << r.out;
        const ImageDecoded back = decodeImage(get("back/Big.pcx"));
        ASSERT_EQ(back.failure, "");
        EXPECT_EQ(back.image.width, w);
        EXPECT_EQ(back.image.height, h);
        EXPECT_EQ(back.image.indices, big.indices);
        EXPECT_TRUE(std::equal(big.palette.begin(), big.palette.end(), back.image.palette.begin()));
        const ImageDecoded tags = decodeImage(get("back/DogTags.pcx"));
        ASSERT_EQ(tags.failure, "");
        EXPECT_EQ(tags.image.rgba, decodeImage(get("Pkg/Textures/Tags/DogTags.bmp")).image.rgba);
        const Bytes script = get("back/M.uc");
        const std::string uc(script.begin(), script.end());
        EXPECT_NE(uc.find("\n#exec TEXTURE IMPORT NAME=BigSkin FILE=Textures\\Big.pcx GROUP=Skins\n"
                          "#exec TEXTURE IMPORT NAME=DogTags FILE=Textures\\Tags\\DogTags.pcx GROUP=DogTags FLAGS=2\n"
                          "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=0 TEXTURE=BigSkin\n"
                          "#exec MESHMAP SETTEXTURE MESHMAP=M NUM=1 TEXTURE=DogTags\n"),
                  std::string::npos) << uc;
    }
}

} // namespace
} // namespace meshfold::test
