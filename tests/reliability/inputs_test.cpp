// Damaged input: every truncation of a mesh pair at every byte, and random
// byte flips in real meshes. Each run must print exactly what the core
// predicts for those bytes, with its documented message and exit status,
// and change the files exactly as predicted; never crash, never hang.
//
// MESHFOLD_FLIP_TRIALS (default 8 a mesh) and MESHFOLD_FLIP_SEED make longer
// or different campaigns.
#include "reliability.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>

namespace meshfold::test {
namespace {

const std::string kBanner = "\nUnreal to Deus Ex mesh converter, v1.2\nWritten by Tolvane\n";

// Ends a run that hangs; a hang then shows as a run killed by a signal.
const std::vector<std::string> kWatchdog = {"timeout", "-s", "KILL", "60"};

class Inputs : public ::testing::Test {
public:
    void SetUp() override {
        if (usingRunner()) {
            GTEST_SKIP() << "runs the native build only";
        }
        if (!haveCommand("timeout")) {
            GTEST_SKIP() << "timeout is not installed";
        }
    }
    // Runs on `mesh` and checks output, status and files against the
    // prediction; returns the output.
    std::string runPredicted(const Mesh& mesh, bool ms, bool hi) {
        putMesh(scratch.dir, mesh);
        std::vector<std::string> args;
        if (ms) {
            args.push_back("-ms");
        }
        if (hi) {
            args.push_back("-h");
        }
        args.push_back(mesh.base);
        const RunResult r = runTool(args, scratch.dir, kWatchdog);
        const Prediction p = predict(mesh, ms, hi);
        EXPECT_EQ(r.out, p.out);
        EXPECT_EQ(r.status, p.status);
        EXPECT_EQ(readFile(scratch.dir / (mesh.base + "_a.3d")), p.anim);
        EXPECT_EQ(readFile(scratch.dir / (mesh.base + "_d.3d")), p.data);
        EXPECT_EQ(listFolder(scratch.dir).size(), 2u);
        ++runs;
        return r.out;
    }
    Scratch scratch;
    int runs = 0;
};

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The message a truncated file must stop with, worked out from the lengths
// alone; empty when the mesh still converts.
std::string truncationMessage(std::size_t animSize, std::size_t dataSize, std::size_t tableEnd,
                              bool ms) {
    if (animSize < 2) {
        return "\n\nProblem reading data file: could not read number of frames !\n";
    }
    if (animSize < 4) {
        return "\n\nProblem reading data file: could not read frame size !\n";
    }
    if (dataSize < 2) {
        return "\n\nProblem reading data file: could not read number of polygons !\n";
    }
    if (dataSize < 4) {
        return "\n\nProblem reading data file: could not read number of vertices !\n";
    }
    if (ms && dataSize < tableEnd) {
        return "\n\nProblem reading data file: could not read triangles !\n";
    }
    return {};
}

void truncationSweep(Inputs& t, const Mesh& mesh) {
    const std::size_t tableEnd = 48 + 16 * std::size_t{static_cast<std::uint16_t>(
                                              mesh.data[0] | (mesh.data[1] << 8))};
    for (bool ms : {false, true}) {
        for (int file = 0; file < 2; ++file) {
            const Bytes& whole = file == 0 ? mesh.anim : mesh.data;
            for (std::size_t size = 0; size <= whole.size(); ++size) {
                SCOPED_TRACE((file == 0 ? "animation file cut to " : "data file cut to ") +
                             std::to_string(size) + (ms ? " -ms" : ""));
                Mesh cut = mesh;
                (file == 0 ? cut.anim : cut.data).resize(size);
                const std::string out = t.runPredicted(cut, ms, false);
                const std::string m =
                    truncationMessage(cut.anim.size(), cut.data.size(), tableEnd, ms);
                EXPECT_TRUE(endsWith(out, m.empty() ? "\n\n*** Conversion complete ***\n" : m));
            }
        }
    }
    fs::remove(t.scratch.dir / (mesh.base + "_a.3d"));
    fs::remove(t.scratch.dir / (mesh.base + "_d.3d"));
}

TEST_F(Inputs, EveryTruncationOfAMeshPair) {
    truncationSweep(*this, packedMesh("T", 3, 4, 2));
    // Frames of 24 bytes for 4 vertices: room to spare, cut in every frame.
    Mesh spare = packedMesh("S", 3, 6, 2);
    spare.data[2] = 4;
    truncationSweep(*this, spare);
    const fs::path corpus = corpusDir();
    if (!corpus.empty() && fs::exists(corpus / "Decal_a.3d")) {
        // The smallest real mesh, 20 + 80 bytes.
        truncationSweep(*this, Mesh{"Decal", readFile(corpus / "Decal_a.3d"), readFile(corpus / "Decal_d.3d")});
    }
    RecordProperty("runs", runs);
    std::printf("[ figures  ] %d truncated mesh pairs run\n", runs);
}

// Flips 1 to 4 bytes of one of the files, most often in the headers where
// every byte decides something.
void flipBytes(Mesh& m, std::mt19937& rng) {
    Bytes& f = rng() % 2 == 0 ? m.anim : m.data;
    if (f.empty()) {
        return;
    }
    const int flips = 1 + static_cast<int>(rng() % 4);
    for (int i = 0; i < flips; ++i) {
        const std::size_t reach = rng() % 2 == 0 ? std::min<std::size_t>(f.size(), 64) : f.size();
        f[rng() % reach] ^= static_cast<std::uint8_t>(1 + rng() % 255);
    }
}

std::vector<Mesh> meshesToDamage() {
    std::vector<Mesh> meshes{packedMesh("G1", 4, 30, 20, 7), packedMesh("G2", 1, 200, 300, 8)};
    const fs::path corpus = corpusDir();
    if (corpus.empty()) {
        return meshes;
    }
    for (const std::string& f : listFolder(corpus)) {
        const std::string suffix = "_a.3d";
        if (f.size() <= suffix.size() || f.substr(f.size() - suffix.size()) != suffix) {
            continue;
        }
        const std::string base = f.substr(0, f.size() - suffix.size());
        if (fs::exists(corpus / (base + "_d.3d"))) {
            meshes.push_back(Mesh{base, readFile(corpus / f), readFile(corpus / (base + "_d.3d"))});
        }
    }
    return meshes;
}

TEST_F(Inputs, RandomByteFlipsInRealMeshes) {
    if (corpusDir().empty()) {
        std::printf("[ note     ] no corpus at ../shared/corpus: generated meshes only\n");
    }
    const int trials = envNumber("MESHFOLD_FLIP_TRIALS", 8);
    std::mt19937 rng(static_cast<std::uint32_t>(envNumber("MESHFOLD_FLIP_SEED", 3)));
    int meshes = 0;
    int stops = 0;
    for (const Mesh& original : meshesToDamage()) {
        ++meshes;
        for (int i = 0; i < trials; ++i) {
            Mesh m = original;
            flipBytes(m, rng);
            const bool ms = rng() % 2 == 0;
            const bool hi = rng() % 3 == 0;
            SCOPED_TRACE(m.base + " trial " + std::to_string(i));
            const std::string out = runPredicted(m, ms, hi);
            stops += endsWith(out, "*** Conversion complete ***\n") ? 0 : 1;
            if (HasFailure()) {
                return;
            }
        }
        fs::remove(scratch.dir / (original.base + "_a.3d"));
        fs::remove(scratch.dir / (original.base + "_d.3d"));
    }
    RecordProperty("runs", runs);
    std::printf("[ figures  ] %d damaged copies of %d meshes run, %d refused, 0 crashes or hangs\n",
                runs, meshes, stops);
}

} // namespace
} // namespace meshfold::test
