// The tool killed with SIGKILL at random moments while it converts a large
// mesh: afterwards each file is either exactly the original or exactly the
// full conversion, whatever stale temporary file the killed run left never
// replaces or damages anything, and the next run still works. Interrupted
// with SIGINT, SIGTERM or SIGHUP instead, it also leaves no file behind and
// never one file of the mesh converted without the other.
//
// MESHFOLD_KILL_TRIALS (default 200, half of them with -ms) and
// MESHFOLD_KILL_SEED make longer or different campaigns.
#include "reliability.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>

namespace meshfold::test {
namespace {

#ifndef _WIN32

double secondsOf(const std::function<void()>& f) {
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

enum class State { Original, Converted, Damaged };

State stateOf(const Bytes& now, const Bytes& original, const Bytes& converted) {
    if (now == original) {
        return State::Original;
    }
    return now == converted ? State::Converted : State::Damaged;
}

struct Tally {
    int trials = 0;
    int untouched = 0;  // both files as they were
    int converted = 0;  // both files converted
    int between = 0;    // -ms killed between the two replacements
    int staleFiles = 0; // temporary or backup files left by a killed run
};

class Killed : public ::testing::Test {
protected:
    void SetUp() override {
        if (usingRunner()) {
            GTEST_SKIP() << "kills the native build only";
        }
        if (!haveCommand("timeout")) {
            GTEST_SKIP() << "timeout is not installed";
        }
    }

    // One trial: convert from the original files, killed after `delay`
    // seconds; check both files, then that the next run does its job.
    void trial(const Mesh& mesh, bool ms, const Prediction& p, double delay, const char* signal,
               Tally& t) {
        const std::vector<std::string> args =
            ms ? std::vector<std::string>{"-ms", mesh.base} : std::vector<std::string>{mesh.base};
        putMesh(scratch.dir, mesh);
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.4f", delay);
        const RunResult r = runTool(args, scratch.dir, {"timeout", "-s", signal, seconds});
        ++t.trials;

        const fs::path animPath = scratch.dir / (mesh.base + "_a.3d");
        const fs::path dataPath = scratch.dir / (mesh.base + "_d.3d");
        const State a = stateOf(readFile(animPath), mesh.anim, p.anim);
        const State d = stateOf(readFile(dataPath), mesh.data, p.data);
        ASSERT_NE(a, State::Damaged) << "animation file damaged, killed after " << seconds;
        ASSERT_NE(d, State::Damaged) << "data file damaged, killed after " << seconds;
        // Without -ms the data file is never written: it is both the
        // original and the conversion.
        const bool dataDone = d == State::Converted || (!ms && d == State::Original);
        if (r.status == 0) {
            ASSERT_EQ(r.out, p.out);
            ASSERT_TRUE(a == State::Converted && dataDone);
        }
        if (a == State::Original) {
            ASSERT_EQ(d, State::Original) << "the data file was replaced before the animation file";
            ++t.untouched;
        } else if (!dataDone) {
            ++t.between;
        } else {
            ++t.converted;
        }

        // Whatever a killed run left beside the mesh stays untouched by the
        // next run, which converts an untouched mesh completely and refuses a
        // converted one.
        std::vector<std::string> stale = listFolder(scratch.dir);
        t.staleFiles += static_cast<int>(stale.size()) - 2;
        for (const std::string& name : stale) {
            if (name != mesh.base + "_a.3d" && name != mesh.base + "_d.3d") {
                ASSERT_NE(name.find(".meshfold-"), std::string::npos) << name;
                EXPECT_EQ(std::string(signal), "KILL")
                    << name << " left behind, SIG" << signal << " after " << seconds << " s";
            }
        }
        const RunResult next = runTool(args, scratch.dir);
        if (a == State::Original) {
            ASSERT_EQ(next.out, p.out);
            ASSERT_EQ(readFile(animPath), p.anim);
            ASSERT_EQ(readFile(dataPath), p.data);
        } else {
            ASSERT_EQ(next.status, 1);
            ASSERT_NE(next.out.find("\n\nMesh file has already been converted !\n"), std::string::npos);
        }
        ASSERT_EQ(listFolder(scratch.dir), stale);
        for (const std::string& name : stale) {
            fs::remove(scratch.dir / name);
        }
    }

    Scratch scratch;
};

// 160 frames of 8000 vertices: 5 MiB in, 10 MiB out; 65535 triangles.
const Mesh& largeMesh() {
    static const Mesh mesh = packedMesh("K", 160, 8000, 65535);
    return mesh;
}

TEST_F(Killed, AtRandomMomentsEachFileIsTheOriginalOrTheConversion) {
    const Mesh& mesh = largeMesh();
    double longest = 0;
    for (bool ms : {false, true}) {
        putMesh(scratch.dir, mesh);
        longest = std::max(longest, secondsOf([&] {
            ASSERT_EQ(runTool(ms ? std::vector<std::string>{"-ms", "K"} : std::vector<std::string>{"K"},
                              scratch.dir)
                          .status,
                      0);
        }));
    }
    const int trials = envNumber("MESHFOLD_KILL_TRIALS", 200);
    std::mt19937 rng(static_cast<std::uint32_t>(envNumber("MESHFOLD_KILL_SEED", 20261208)));
    // From before the tool starts to a little after it would have finished.
    std::uniform_real_distribution<double> moment(0.0, longest * 1.2);
    const Prediction predicted[2] = {predict(mesh, false), predict(mesh, true)};
    Tally t;
    for (int i = 0; i < trials && !HasFatalFailure(); ++i) {
        trial(mesh, i % 2 == 1, predicted[i % 2], moment(rng), "KILL", t);
    }
    std::printf("[ figures  ] %d kills within %.3f s runs: %d untouched, %d converted, "
                "%d between the two files (-ms), %d stale files left and ignored, 0 files damaged\n",
                t.trials, longest, t.untouched, t.converted, t.between, t.staleFiles);
    RecordProperty("kills", t.trials);
    EXPECT_GT(t.untouched, 0);
    EXPECT_GT(t.converted, 0);
}

TEST_F(Killed, AnInterruptLeavesNoFileBehindAndBothFilesAlike) {
    const Mesh& mesh = largeMesh();
    putMesh(scratch.dir, mesh);
    const double longest = secondsOf([&] { ASSERT_EQ(runTool({"-ms", "K"}, scratch.dir).status, 0); });
    const int trials = envNumber("MESHFOLD_KILL_TRIALS", 200) / 2;
    std::mt19937 rng(static_cast<std::uint32_t>(envNumber("MESHFOLD_KILL_SEED", 20261208)));
    std::uniform_real_distribution<double> moment(0.0, longest * 1.2);
    const char* signals[] = {"INT", "TERM", "HUP"};
    const Prediction predicted[2] = {predict(mesh, false), predict(mesh, true)};
    Tally t;
    for (int i = 0; i < trials && !HasFatalFailure(); ++i) {
        trial(mesh, i % 2 == 1, predicted[i % 2], moment(rng), signals[i % 3], t);
    }
    std::printf("[ figures  ] %d interrupts within %.3f s runs: %d untouched, %d converted, "
                "%d between the two files, %d files left behind\n",
                t.trials, longest, t.untouched, t.converted, t.between, t.staleFiles);
    EXPECT_EQ(t.between, 0);
    EXPECT_EQ(t.staleFiles, 0);
    EXPECT_GT(t.untouched, 0);
}

TEST_F(Killed, AnInterruptedRunOverManyMeshesLeavesEachWholeOrUntouched) {
    // 48 meshes of 512 KiB out each: more than one group, so interrupts fall
    // before, within and between the groups' moves.
    std::vector<Mesh> meshes;
    std::vector<Prediction> predicted;
    std::vector<std::string> args = {"-ms"};
    for (std::uint32_t i = 0; i < 48; ++i) {
        std::string base = "M";
        base += std::to_string(i);
        meshes.push_back(packedMesh(base, 8, 8000, 100, i + 1));
        predicted.push_back(predict(meshes.back(), true));
        args.push_back(meshes.back().base);
    }
    const auto putAll = [&] {
        for (const Mesh& m : meshes) {
            putMesh(scratch.dir, m);
        }
    };
    putAll();
    const double longest = secondsOf([&] { ASSERT_EQ(runTool(args, scratch.dir).status, 0); });
    const int trials = std::max(1, envNumber("MESHFOLD_KILL_TRIALS", 200) / 10);
    std::mt19937 rng(static_cast<std::uint32_t>(envNumber("MESHFOLD_KILL_SEED", 20261208)));
    std::uniform_real_distribution<double> moment(0.0, longest * 1.2);
    const char* signals[] = {"INT", "TERM", "HUP"};
    int converted = 0;
    int untouched = 0;
    for (int i = 0; i < trials && !HasFatalFailure(); ++i) {
        putAll();
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.4f", moment(rng));
        runTool(args, scratch.dir, {"timeout", "-s", signals[i % 3], seconds});
        for (std::size_t m = 0; m < meshes.size(); ++m) {
            const Bytes anim = readFile(scratch.dir / (meshes[m].base + "_a.3d"));
            const Bytes data = readFile(scratch.dir / (meshes[m].base + "_d.3d"));
            const bool was = anim == meshes[m].anim && data == meshes[m].data;
            const bool done = anim == predicted[m].anim && data == predicted[m].data;
            ASSERT_TRUE(was || done) << meshes[m].base << " after SIG" << signals[i % 3] << " at "
                                     << seconds << " s";
            ++(was ? untouched : converted);
        }
        ASSERT_EQ(listFolder(scratch.dir).size(), 2 * meshes.size()) << "files left behind";
    }
    std::printf("[ figures  ] %d interrupts of %zu-mesh runs within %.3f s: %d meshes untouched, "
                "%d converted, none half done, no file left behind\n",
                trials, meshes.size(), longest, untouched, converted);
}

TEST_F(Killed, OutputIntoAPipeThatClosesEarlyLeavesNoFileBehind) {
    if (faultShim().empty()) {
        GTEST_SKIP() << "the fault library is not built on this platform";
    }
    // As `meshfold -ms *_a.3d 2>&1 | head -n 3`, but the reader goes once it
    // has the first mesh's lines (its warning last, on line 11). The first
    // write of the new file waits long enough for that, and the next line (a
    // warning about the second mesh, printed as soon as it is read) then
    // ends the run while the first mesh's new file exists.
    std::vector<std::string> args = {"-ms"};
    for (std::uint32_t i = 0; i < 3; ++i) {
        std::string base = "P";
        base += std::to_string(i);
        Mesh m = packedMesh(base, 4, 800, 100, i + 1);
        m.data[48] = 0xFF; // the first triangle's first corner: no such vertex
        m.data[49] = 0xFF;
        for (std::size_t at = 48 + 6; at < m.data.size(); at += 16) {
            m.data[at] &= 0xF7; // no weapon triangle, whose warning would come first
        }
        putMesh(scratch.dir, m);
        args.push_back(m.base);
    }
    const Snapshot before = snapshot(scratch.dir);
    std::vector<std::string> intoHead = {"sh", "-c", "\"$@\" 2>&1 | head -n 11", "sh"};
    const std::vector<std::string> slowWrite = failingCalls("write:1:PAUSE", scratch.dir / ".log");
    intoHead.insert(intoHead.end(), slowWrite.begin(), slowWrite.end());
    const int tries = 20;
    for (int i = 0; i < tries; ++i) {
        const RunResult r = runTool(args, scratch.dir, intoHead);
        ASSERT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 11) << r.out;
        ASSERT_TRUE(endsWith(r.out, "the data file is broken\n")) << r.out;
        fs::remove(scratch.dir / ".log");
        ASSERT_TRUE(snapshot(scratch.dir) == before) << "files changed or left behind, try " << i + 1;
    }
    std::printf("[ figures  ] %d runs cut short by a closed pipe, no file left behind or changed\n",
                tries);
}

#endif

} // namespace
} // namespace meshfold::test
