// The tool killed with SIGKILL at random moments while it converts a large
// mesh, and at each of its file-system calls in turn: afterwards each file is
// either exactly the original or exactly the full conversion (with -ms, a
// mesh half replaced keeps what finishes it), and the next run finishes the
// job and leaves nothing behind. Interrupted with SIGINT, SIGTERM or SIGHUP
// instead, it also leaves no file behind and never one file of the mesh
// converted without the other.
//
// MESHFOLD_KILL_TRIALS (default 200, half of them with -ms) and
// MESHFOLD_KILL_SEED make longer or different campaigns.
#include "reliability.h"

#include "../package/package_builder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>

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

        // Whatever a killed run left beside the mesh, the next run finishes
        // the job with it or removes it: it converts an untouched mesh
        // completely, completes a half-converted one, and refuses a converted
        // one; nothing is left beside the mesh.
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
        } else {
            ASSERT_EQ(next.status, 1);
            ASSERT_NE(next.out.find("\n\nMesh file has already been converted !\n"), std::string::npos);
        }
        ASSERT_EQ(readFile(animPath), p.anim);
        ASSERT_EQ(readFile(dataPath), p.data);
        ASSERT_EQ(listFolder(scratch.dir),
                  (std::vector<std::string>{mesh.base + "_a.3d", mesh.base + "_d.3d"}));
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
                "%d between the two files (-ms, finished by the next run), %d stale files left "
                "and cleaned up by the next run, 0 files damaged\n",
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

// A run of one command over some meshes, and what each of its files may be.
// The meshes lie in mesh/ below the scratch folder; with `dataElsewhere`
// each data file there is a link to the real one in data/.
struct CrashCase {
    const char* name;
    bool ms;
    bool dataElsewhere;
    std::vector<Mesh> meshes;
    std::vector<Prediction> predicted;
    std::vector<std::string> args;
};

// With toUnreal, the meshes are converted ones, taken back.
CrashCase crashCase(const char* name, bool ms, int meshCount, bool dataElsewhere = false,
                    bool toUnreal = false) {
    CrashCase c{name, ms, dataElsewhere, {}, {}, {}};
    if (toUnreal) {
        c.args.push_back("--to-unreal");
    }
    if (ms) {
        c.args.push_back("-ms");
    }
    for (int i = 0; i < meshCount; ++i) {
        std::string base = "C";
        base += std::to_string(i);
        Mesh mesh = packedMesh(base, 2, 6, 5, static_cast<std::uint32_t>(i + 7));
        if (toUnreal) {
            const Prediction converted = predict(mesh, ms);
            mesh.anim = converted.anim;
            mesh.data = converted.data;
        }
        c.meshes.push_back(mesh);
        c.predicted.push_back(predict(mesh, ms, false, toUnreal));
        c.args.push_back(base);
    }
    return c;
}

std::vector<CrashCase> crashCases() {
    return {crashCase("plain", false, 1), crashCase("-ms", true, 1),
            crashCase("-ms, three meshes", true, 3),
            crashCase("-ms, data file linked from another folder", true, 1, true),
            crashCase("--to-unreal -ms", true, 1, false, true)};
}

bool isLeftover(const std::string& name) {
    return name.find(".meshfold-") != std::string::npos;
}

// The names of both folders, as "mesh/NAME" and "data/NAME".
std::vector<std::string> namesBelow(const fs::path& root) {
    std::vector<std::string> names;
    for (const char* folder : {"mesh", "data"}) {
        for (const std::string& n : listFolder(root / folder)) {
            names.push_back(std::string(folder) + "/" + n);
        }
    }
    return names;
}

// After a crash: each file is its original or its conversion, and with -ms a
// mesh whose animation file alone is converted has the leftovers (both
// backups and the data file's new content) that let the next run finish it.
// With `eitherFirst` (a file system that may keep the second move and lose
// the first) the data file alone may be converted, with both backups and the
// animation file's new content beside it.
void expectCrashState(const fs::path& root, const CrashCase& c, const std::string& when,
                      bool eitherFirst = false) {
    const fs::path dir = root / "mesh";
    const std::vector<std::string> names = namesBelow(root);
    for (std::size_t m = 0; m < c.meshes.size(); ++m) {
        const Mesh& mesh = c.meshes[m];
        const State a = stateOf(readFile(dir / (mesh.base + "_a.3d")), mesh.anim, c.predicted[m].anim);
        const State d = stateOf(readFile(dir / (mesh.base + "_d.3d")), mesh.data, c.predicted[m].data);
        ASSERT_NE(a, State::Damaged) << mesh.base << " " << when;
        ASSERT_NE(d, State::Damaged) << mesh.base << " " << when;
        if (!c.ms || a == d) {
            continue;
        }
        if (!eitherFirst) {
            ASSERT_EQ(a, State::Converted) << "data file replaced first, " << mesh.base << " " << when;
        }
        const auto has = [&](const std::string& start, const std::string& end) {
            return std::any_of(names.begin(), names.end(), [&](const std::string& n) {
                return n.find("/" + start) != std::string::npos && endsWith(n, end);
            });
        };
        const std::string waiting = mesh.base + (a == State::Converted ? "_d.3d" : "_a.3d");
        ASSERT_TRUE(has(mesh.base + "_a.3d.meshfold-", ".bak") &&
                    has(mesh.base + "_d.3d.meshfold-", ".bak") && has(waiting + ".meshfold-", ".tmp"))
            << mesh.base << " half converted without what finishes it, " << when;
    }
}

// The run after a crash: every mesh is completely converted and nothing is
// left beside them.
void expectFinished(const fs::path& root, const CrashCase& c, const std::string& when) {
    for (std::size_t m = 0; m < c.meshes.size(); ++m) {
        const Mesh& mesh = c.meshes[m];
        const fs::path dir = root / "mesh";
        ASSERT_EQ(readFile(dir / (mesh.base + "_a.3d")), c.predicted[m].anim) << mesh.base << " " << when;
        ASSERT_EQ(readFile(dir / (mesh.base + "_d.3d")), c.predicted[m].data) << mesh.base << " " << when;
    }
    for (const std::string& name : namesBelow(root)) {
        ASSERT_FALSE(isLeftover(name)) << name << " left after the next run, " << when;
    }
}

class Crashes : public Killed {
protected:
    void SetUp() override {
        Killed::SetUp();
        if (!IsSkipped() && faultShim().empty()) {
            GTEST_SKIP() << "the fault library is not built on this platform";
        }
        meshDir = scratch.dir / "mesh";
    }
    // Empties both folders and puts the links of the case back.
    void clearAll(const CrashCase& c) {
        for (const char* folder : {"mesh", "data"}) {
            fs::remove_all(scratch.dir / folder);
            fs::create_directory(scratch.dir / folder);
        }
        for (const Mesh& m : c.meshes) {
            if (c.dataElsewhere) {
                fs::create_symlink("../data/" + m.base + "_d.3d", meshDir / (m.base + "_d.3d"));
            }
        }
    }
    void putAll(const CrashCase& c) {
        clearAll(c);
        for (const Mesh& m : c.meshes) {
            writeFile(meshDir / (m.base + "_a.3d"), m.anim);
            writeFile(scratch.dir / (c.dataElsewhere ? "data" : "mesh") / (m.base + "_d.3d"), m.data);
        }
    }
    // Runs the case killed at its n-th call, checks what the kill left, and
    // that the next run finishes the job. False when the run made fewer
    // calls and ran to its end (with status 0 when it started from the
    // original files).
    bool killedThenFinished(const CrashCase& c, int n, const std::string& when, bool fromOriginals = true) {
        const RunResult r = runTool(c.args, meshDir, killedAtCall(n));
        if (r.status != -1) {
            EXPECT_TRUE(r.status == 0 || !fromOriginals) << when << r.out;
            expectFinished(scratch.dir, c, when);
            return false;
        }
        expectCrashState(scratch.dir, c, when);
        runTool(c.args, meshDir);
        expectFinished(scratch.dir, c, when);
        return true;
    }
    fs::path meshDir;
};

TEST_F(Crashes, KilledAtEveryFileSystemCallTheNextRunFinishesTheJob) {
    int points = 0;
    std::string perCase;
    for (const CrashCase& c : crashCases()) {
        const int before = points;
        for (int n = 1;; ++n) {
            putAll(c);
            if (!killedThenFinished(c, n, std::string(c.name) + ", killed at call " + std::to_string(n))) {
                break;
            }
            ++points;
            ASSERT_LT(n, 400) << "more calls than a run makes";
            if (HasFatalFailure()) {
                return;
            }
        }
        perCase += std::string(perCase.empty() ? "" : ", ") + c.name + ": " + std::to_string(points - before);
    }
    std::printf("[ figures  ] killed at each of %d file-system calls (%s): 0 meshes damaged or "
                "left half converted, every mesh finished and nothing left by the next run\n",
                points, perCase.c_str());
    RecordProperty("killPoints", points);
}

// An export killed at each of its file-system calls in turn: the mesh's
// files stay as they were, NAME.glb is the old file or the whole new one,
// and the next export leaves the new one and nothing else.
TEST_F(Crashes, AnExportKilledAtEveryCallLeavesTheOldFileOrTheNewOne) {
    const Mesh mesh = packedMesh("G", 3, 6, 5, 11);
    const Bytes old = {'o', 'l', 'd'};
    fs::create_directories(meshDir);
    putMesh(meshDir, mesh);
    ASSERT_EQ(runTool({"--to-gltf", "G"}, meshDir).status, 0);
    const Bytes exported = readFile(meshDir / "G.glb");
    int points = 0;
    for (int n = 1;; ++n) {
        const std::string when = "killed at call " + std::to_string(n);
        fs::remove_all(meshDir);
        fs::create_directories(meshDir);
        putMesh(meshDir, mesh);
        writeFile(meshDir / "G.glb", old);
        const RunResult r = runTool({"--to-gltf", "G"}, meshDir, killedAtCall(n));
        const Bytes now = readFile(meshDir / "G.glb");
        ASSERT_TRUE(now == old || now == exported) << when;
        ASSERT_EQ(readFile(meshDir / "G_a.3d"), mesh.anim) << when;
        ASSERT_EQ(readFile(meshDir / "G_d.3d"), mesh.data) << when;
        for (const std::string& name : listFolder(meshDir)) {
            ASSERT_TRUE(name == "G.glb" || name.starts_with("G_") ||
                        (name.starts_with("G.glb.meshfold-") && endsWith(name, ".tmp")))
                << name << ", " << when;
        }
        if (r.status != -1) {
            ASSERT_EQ(r.status, 0) << when;
            break;
        }
        ++points;
        ASSERT_EQ(runTool({"--to-gltf", "G"}, meshDir).status, 0) << when;
        ASSERT_EQ(readFile(meshDir / "G.glb"), exported) << when;
        ASSERT_EQ(listFolder(meshDir), (std::vector<std::string>{"G.glb", "G_a.3d", "G_d.3d"})) << when;
        ASSERT_LT(n, 400) << "more calls than a run makes";
    }
    std::printf("[ figures  ] an export killed at each of %d file-system calls: the old .glb or the"
                " whole new one, the mesh untouched, nothing left by the next run\n", points);
    EXPECT_GT(points, 3);
}

// A crash during the recovery itself is recovered the same way: the run
// that finds a half-converted mesh is killed at each of its calls in turn,
// and the run after it still finishes the job.
TEST_F(Crashes, KilledWhileFinishingAnInterruptedRunTheNextRunStillFinishes) {
    int points = 0;
    for (const CrashCase& c : crashCases()) {
        if (!c.ms) {
            continue;
        }
        for (int n = 1; n < 400; ++n) {
            putAll(c);
            if (runTool(c.args, meshDir, killedAtCall(n)).status != -1) {
                break;
            }
            const Mesh& first = c.meshes[0];
            if (readFile(meshDir / (first.base + "_a.3d")) == first.anim ||
                readFile(meshDir / (first.base + "_d.3d")) != first.data) {
                continue; // not half converted: nothing to finish
            }
            Scratch saved;
            fs::copy(scratch.dir, saved.dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
            for (int m = 1;; ++m) {
                const std::string when = std::string(c.name) + ", killed at call " + std::to_string(n) +
                                         ", then the next run at call " + std::to_string(m);
                fs::remove_all(scratch.dir);
                fs::copy(saved.dir, scratch.dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
                if (!killedThenFinished(c, m, when, false)) {
                    break;
                }
                ++points;
                if (HasFatalFailure()) {
                    return;
                }
            }
        }
    }
    EXPECT_GT(points, 0);
    std::printf("[ figures  ] killed at each of %d calls of runs finishing a half-converted mesh: "
                "every mesh finished by the run after\n", points);
}

// Two runs on the same meshes at once, some of them left half converted by
// a killed run before: each run converts a mesh, finds it already converted,
// or finds it changed by the other run; neither removes what the other is
// writing; afterwards every mesh is converted and nothing is left.
TEST_F(Crashes, TwoRunsSideBySideBothEndCleanly) {
    CrashCase c = crashCase("-ms, six meshes", true, 6);
    const int rounds = envNumber("MESHFOLD_RACE_ROUNDS", 30);
    std::mt19937 rng(static_cast<std::uint32_t>(envNumber("MESHFOLD_KILL_SEED", 20261208)));
    std::uniform_int_distribution<int> killAt(1, 150);
    Scratch side;
    const std::string o = side.dir.string() + "/";
    const std::string script = "\"$@\" >" + o + "o1 2>" + o + "e1 & a=$!; \"$@\" >" + o + "o2 2>" + o +
                               "e2 & b=$!; wait $a; echo $? >" + o + "s1; wait $b; echo $? >" + o + "s2";
    int converted = 0;
    int already = 0;
    int changed = 0;
    for (int round = 0; round < rounds && !HasFatalFailure(); ++round) {
        putAll(c);
        runTool(c.args, meshDir, killedAtCall(killAt(rng)));
        runTool(c.args, meshDir, {"sh", "-c", script, "sh"});
        for (const char* run : {"1", "2"}) {
            const Bytes status = readFile(side.dir / (std::string("s") + run));
            const bool clean = status == Bytes{'0', '\n'} || status == Bytes{'1', '\n'};
            ASSERT_TRUE(clean) << "round " << round;
            const Bytes out = readFile(side.dir / (std::string("o") + run));
            const std::string text(out.begin(), out.end());
            for (const Mesh& m : c.meshes) {
                const std::size_t at = text.find("Converting " + m.base + "_a.3d");
                const std::size_t next = text.find("Converting ", at + 1);
                const std::string block = text.substr(at, next - at);
                if (block.find("Conversion complete") != std::string::npos) {
                    ++converted;
                } else if (block.find("already been converted") != std::string::npos) {
                    ++already;
                } else {
                    ASSERT_NE(block.find("changed while it was being converted"), std::string::npos)
                        << "round " << round << ", run " << run << ":" << block;
                    ++changed;
                }
            }
        }
        expectFinished(scratch.dir, c, "round " + std::to_string(round));
    }
    std::printf("[ figures  ] %d rounds of two runs side by side on %zu meshes: %d conversions, "
                "%d found already converted, %d found changed by the other run; every mesh "
                "converted, nothing left\n",
                rounds, c.meshes.size(), converted, already, changed);
}

// One traced call of a run, as the power-cut models see it.
struct Op {
    std::string call; // create, write, fsync, fsyncdir, rename, link, unlink
    std::string a;    // paths below the scratch folder
    std::string b;
    Bytes content; // for fsync: what the file held
};

// The calls of a run traced by the fault library, below `root`.
std::vector<Op> tracedOps(const fs::path& trace, const fs::path& root) {
    const std::string prefix = fs::canonical(root).string() + "/";
    std::vector<Op> ops;
    std::ifstream in(trace);
    std::string line;
    for (int n = 1; std::getline(in, line); ++n) {
        std::istringstream words(line);
        Op op;
        words >> op.call >> op.a >> op.b;
        const auto inside = [&](std::string& p) {
            if (p.rfind(prefix, 0) != 0) {
                return false;
            }
            p = p.substr(prefix.size());
            return true;
        };
        if (op.call == "open" || !inside(op.a) || (!op.b.empty() && !inside(op.b))) {
            continue;
        }
        if (op.call == "fsync") {
            op.content = readFile(trace.string() + "." + std::to_string(n));
        }
        ops.push_back(std::move(op));
    }
    return ops;
}

// The folder a name is in (a package's files are in folders below the mesh folder).
std::string folderPart(const std::string& path) {
    return path.substr(0, path.rfind('/'));
}

// True when call `i` changes a name in its folder and a flush of that folder
// follows it among the first `k` calls.
bool flushedBefore(const std::vector<Op>& ops, std::size_t i, std::size_t k) {
    for (std::size_t j = i + 1; j < k; ++j) {
        if (ops[j].call == "fsyncdir" && ops[j].a == folderPart(ops[i].a)) {
            return true;
        }
    }
    return false;
}

// What a power cut after the first `k` calls leaves when of the folder
// operations (create, rename, link, unlink) exactly those for which
// `survives(i)` holds reached the disk. Every file holds what it held when
// last flushed, or nothing when written since.
std::map<std::string, Bytes> folderAfter(const std::vector<Op>& ops, std::size_t k,
                                         const std::function<bool(std::size_t)>& survives,
                                         const std::map<std::string, Bytes>& start) {
    struct Inode {
        Bytes durable;
        bool dirty = false;
    };
    std::vector<Inode> inodes;
    std::map<std::string, std::size_t> names; // every operation
    for (const auto& [name, bytes] : start) {
        names[name] = inodes.size();
        inodes.push_back({bytes, false});
    }
    std::map<std::string, std::size_t> kept = names; // the operations that survive
    for (std::size_t i = 0; i < k; ++i) {
        const Op& op = ops[i];
        if (op.call == "create" && names.count(op.a) == 0) {
            names[op.a] = inodes.size();
            inodes.push_back({});
            if (survives(i)) {
                kept[op.a] = names[op.a];
            }
        } else if (op.call == "write") {
            inodes[names.at(op.a)].dirty = true;
        } else if (op.call == "fsync") {
            inodes[names.at(op.a)] = {op.content, false};
        } else if ((op.call == "rename" || op.call == "link") && survives(i)) {
            kept[op.b] = names.at(op.a);
            if (op.call == "rename") {
                kept.erase(op.a);
            }
        } else if (op.call == "unlink" && survives(i)) {
            kept.erase(op.a);
        }
        if (op.call == "rename" || op.call == "link") {
            names[op.b] = names.at(op.a);
        }
        if (op.call == "rename" || op.call == "unlink") {
            names.erase(op.a);
        }
    }
    std::map<std::string, Bytes> folder;
    for (const auto& [name, inode] : kept) {
        folder[name] = inodes[inode].dirty ? Bytes{} : inodes[inode].durable;
    }
    return folder;
}

// What a power cut after the first `k` calls leaves. The folder operations
// survive in order up to k; in the strict model only those followed, before
// k, by a flush of their folder.
std::map<std::string, Bytes> afterPowerCut(const std::vector<Op>& ops, std::size_t k, bool strict,
                                           const std::map<std::string, Bytes>& start) {
    return folderAfter(ops, k, [&](std::size_t i) { return !strict || flushedBefore(ops, i, k); },
                       start);
}

// The combinations of the folder operations left open by a cut that are
// tried: every one while there are at most this many (10 open operations);
// beyond it, a seeded sample of this many, with all kept and none kept among
// them.
constexpr std::size_t kMostCombinations = 1024;

// Every state a power cut after the first `k` calls may leave on a file
// system that writes folder updates out of order (FAT32, exFAT, a
// copy-on-write system between its commits): each folder operation up to
// the last flush of its folder is kept, and each later one independently
// may or may not have reached the disk. Each distinct state once; `most`
// combinations at most (a power of two).
std::vector<std::map<std::string, Bytes>> afterReorderedPowerCut(const std::vector<Op>& ops, std::size_t k,
                                                                 const std::map<std::string, Bytes>& start,
                                                                 std::uint64_t most) {
    std::vector<std::size_t> open; // the calls whose folder update may be lost
    std::set<std::string> existing;
    for (const auto& [name, bytes] : start) {
        existing.insert(name);
    }
    for (std::size_t i = 0; i < k; ++i) {
        const Op& op = ops[i];
        const bool folderOp = (op.call == "create" && existing.count(op.a) == 0) ||
                              op.call == "rename" || op.call == "link" || op.call == "unlink";
        if (folderOp && !flushedBefore(ops, i, k)) {
            open.push_back(i);
        }
        if (op.call == "create" || op.call == "rename" || op.call == "link") {
            existing.insert(op.call == "create" ? op.a : op.b);
        }
        if (op.call == "rename" || op.call == "unlink") {
            existing.erase(op.a);
        }
    }
    const std::uint64_t all = std::uint64_t{1} << open.size();
    std::vector<std::uint64_t> masks;
    if (all <= most) {
        for (std::uint64_t m = 0; m < all; ++m) {
            masks.push_back(m);
        }
    } else {
        std::mt19937_64 rng(k);
        masks = {0, all - 1};
        while (masks.size() < most) {
            masks.push_back(rng() & (all - 1));
        }
    }
    std::set<std::map<std::string, Bytes>> states;
    for (const std::uint64_t mask : masks) {
        states.insert(folderAfter(
            ops, k,
            [&](std::size_t i) {
                const auto at = std::find(open.begin(), open.end(), i);
                return at == open.end() ||
                       ((mask >> static_cast<std::size_t>(at - open.begin())) & 1) != 0;
            },
            start));
    }
    return {states.begin(), states.end()};
}

// The power-cut models, in the order crashStates() gives their states.
enum Model { kOrderedNames, kStrictNames, kReorderedNames, kModels };

// A crash state of one model after the first `k` calls, with what it is
// called in a message.
struct CrashState {
    Model model;
    std::string detail;
    std::map<std::string, Bytes> files;
};

std::vector<CrashState> crashStates(const std::vector<Op>& ops, std::size_t k,
                                    const std::map<std::string, Bytes>& start, std::uint64_t combinations) {
    std::vector<CrashState> states = {
        {kOrderedNames, "", afterPowerCut(ops, k, false, start)},
        {kStrictNames, ", unflushed names lost", afterPowerCut(ops, k, true, start)}};
    const std::vector<std::map<std::string, Bytes>> reordered = afterReorderedPowerCut(ops, k, start, combinations);
    for (std::size_t i = 0; i < reordered.size(); ++i) {
        states.push_back({kReorderedNames,
                          ", unflushed names kept in any combination (" + std::to_string(i + 1) + " of " +
                              std::to_string(reordered.size()) + ")",
                          reordered[i]});
    }
    return states;
}

// A run traced by the fault library: the files below the scratch folder
// before it (links left out: the crash states lay out files only), what it
// printed, and its calls.
struct TracedRun {
    std::map<std::string, Bytes> start;
    RunResult result;
    std::vector<Op> ops;
};

TracedRun traceRun(const fs::path& root, const fs::path& cwd, const std::vector<std::string>& args) {
    TracedRun t;
    for (const std::string& name : namesBelow(root)) {
        if (!fs::is_symlink(root / name)) {
            t.start[name] = readFile(root / name);
        }
    }
    Scratch traceDir;
    const fs::path trace = traceDir.dir / "trace";
    t.result = runTool(args, cwd, withShim({"MESHFOLD_TRACE=" + trace.string()}));
    t.ops = tracedOps(trace, root);
    return t;
}

// What the replay of a traced run checks, and how.
struct PowerCutReplay {
    std::string name;               // of the run, in messages and figures
    std::vector<std::string> args;  // the next run's command line
    std::function<void()> clear;    // empties the folders (and puts back their links)
    // What the cut itself left; `eitherFirst` when a later move may have
    // survived an earlier one.
    std::function<void(const std::string& when, bool eitherFirst)> expectState;
    // What the next run left.
    std::function<void(const RunResult& next, const std::string& when)> expectNext;
    // Of the unflushed folder operations of a cut, at most this many
    // combinations (a power of two).
    std::uint64_t combinations = kMostCombinations;
};

using ModelCounts = std::array<int, kModels>;

// Every crash state of the three models after each call of `traced`: laid
// out below `root`, checked, then the next run made in `cwd` and what it
// left checked. Stops at the first fatal failure; counts the states by model.
ModelCounts replayPowerCuts(const fs::path& root, const fs::path& cwd, const TracedRun& traced,
                            const PowerCutReplay& r) {
    ModelCounts counts{};
    for (std::size_t k = 0; k <= traced.ops.size(); ++k) {
        for (const CrashState& state : crashStates(traced.ops, k, traced.start, r.combinations)) {
            const std::string when = r.name + ", power cut after call " + std::to_string(k) + state.detail;
            r.clear();
            for (const auto& [name, bytes] : state.files) {
                fs::create_directories((root / name).parent_path());
                writeFile(root / name, bytes);
            }
            ++counts[state.model];
            r.expectState(when, state.model == kReorderedNames);
            if (!::testing::Test::HasFatalFailure()) {
                r.expectNext(runTool(r.args, cwd), when);
            }
            if (::testing::Test::HasFatalFailure()) {
                return counts;
            }
        }
    }
    return counts;
}

// Per-run figures, "NAME: ordered + strict + reordered", and their totals.
struct PowerCutFigures {
    ModelCounts total{};
    std::string perRun;

    void add(const std::string& name, const ModelCounts& c) {
        for (int m = 0; m < kModels; ++m) {
            total[m] += c[m];
        }
        perRun += (perRun.empty() ? "" : ", ") + name + ": " + std::to_string(c[kOrderedNames]) + " + " +
                  std::to_string(c[kStrictNames]) + " + " + std::to_string(c[kReorderedNames]);
    }
    void print(const char* what) const {
        std::printf("[ figures  ] %d crash states of power cuts %s (ordered names %d, unflushed names "
                    "lost %d, unflushed names kept in any combination %d; by run: %s): 0 violations\n",
                    total[0] + total[1] + total[2], what, total[kOrderedNames], total[kStrictNames],
                    total[kReorderedNames], perRun.c_str());
    }
};

// The replay of a converting or recovering run of a crash case: each file
// its original or its conversion (a half-converted mesh with what finishes
// it), and after the next run every mesh converted with nothing left.
PowerCutReplay caseReplay(const CrashCase& c, const fs::path& root, const std::string& name,
                          const std::function<void()>& clear) {
    return {name, c.args, clear,
            [&c, root](const std::string& when, bool eitherFirst) { expectCrashState(root, c, when, eitherFirst); },
            [&c, root](const RunResult&, const std::string& when) { expectFinished(root, c, when); }};
}

// Of the unflushed folder operations of a cut, how many combinations at
// most (MESHFOLD_POWER_CUT_SAMPLES, a power of two, default 1024): the
// sanitizer build, where each run is several times slower, samples fewer.
TEST_F(Crashes, APowerCutAfterAnyCallLeavesWhatTheNextRunFinishes) {
    const auto combinations =
        static_cast<std::uint64_t>(envNumber("MESHFOLD_POWER_CUT_SAMPLES", kMostCombinations));
    ASSERT_TRUE(combinations > 0 && (combinations & (combinations - 1)) == 0) << "not a power of two";
    PowerCutFigures figures;
    for (const CrashCase& c : crashCases()) {
        putAll(c);
        const TracedRun traced = traceRun(scratch.dir, meshDir, c.args);
        ASSERT_EQ(traced.result.status, 0) << c.name;
        PowerCutReplay replay = caseReplay(c, scratch.dir, c.name, [&] { clearAll(c); });
        replay.combinations = combinations;
        figures.add(c.name, replayPowerCuts(scratch.dir, meshDir, traced, replay));
        if (HasFatalFailure()) {
            return;
        }
    }
    figures.print("during converting runs");
    RecordProperty("crashStates", figures.total[0] + figures.total[1] + figures.total[2]);
}

// Finishing a half-converted mesh is as durable as a commit: the run that
// does it flushes the data file's folder between moving the new data file
// into place and removing the backup, and a power cut after any of its calls
// leaves what the run after it finishes.
//
// Such a run over three meshes also undoes the other meshes' commits and
// makes them again: up to 18 folder operations are open at once, and the
// combinations tried of them are sampled more thinly than a converting
// run's (MESHFOLD_RECOVERY_CUT_SAMPLES, a power of two, default 32; at 1024
// the replay takes minutes).
TEST_F(Crashes, APowerCutWhileFinishingAnInterruptedRunLeavesWhatTheNextRunFinishes) {
    const auto combinations = static_cast<std::uint64_t>(envNumber("MESHFOLD_RECOVERY_CUT_SAMPLES", 32));
    ASSERT_TRUE(combinations > 0 && (combinations & (combinations - 1)) == 0) << "not a power of two";
    PowerCutFigures figures;
    for (const CrashCase& c : crashCases()) {
        if (!c.ms) {
            continue;
        }
        // The first kill that leaves the first mesh half converted.
        const Mesh& first = c.meshes[0];
        bool half = false;
        for (int n = 1; n < 400 && !half; ++n) {
            putAll(c);
            ASSERT_EQ(runTool(c.args, meshDir, killedAtCall(n)).status, -1) << c.name << ", never half converted";
            half = readFile(meshDir / (first.base + "_a.3d")) != first.anim &&
                   readFile(meshDir / (first.base + "_d.3d")) == first.data;
        }
        const TracedRun traced = traceRun(scratch.dir, meshDir, c.args);
        const std::string name = std::string(c.name) + ", finishing";
        expectFinished(scratch.dir, c, name);
        const std::vector<Op>& ops = traced.ops;
        const std::string data = (c.dataElsewhere ? "data/" : "mesh/") + first.base + "_d.3d";
        const auto moved = std::find_if(ops.begin(), ops.end(), [&](const Op& op) {
            return op.call == "rename" && op.b == data;
        });
        const auto dropped = std::find_if(moved, ops.end(), [&](const Op& op) {
            return op.call == "unlink" && op.a.find("/" + first.base + "_a.3d.meshfold-") != std::string::npos;
        });
        ASSERT_NE(dropped, ops.end()) << c.name << ": the new data file moved, then the backup removed";
        EXPECT_TRUE(std::any_of(moved, dropped, [&](const Op& op) {
            return op.call == "fsyncdir" && op.a == folderPart(data);
        })) << c.name << ": the data file's folder is not flushed before the backup goes";
        PowerCutReplay replay = caseReplay(c, scratch.dir, name, [&] { clearAll(c); });
        replay.combinations = combinations;
        figures.add(name, replayPowerCuts(scratch.dir, meshDir, traced, replay));
        if (HasFatalFailure()) {
            return;
        }
    }
    figures.print("during runs finishing a half-converted mesh");
    RecordProperty("crashStates", figures.total[0] + figures.total[1] + figures.total[2]);
}

// A mesh made from a glTF file: G.glb (a small mesh with shape keys) in
// mesh/, what importing it makes, and an existing mesh it may replace.
struct ImportCase {
    Bytes glb;
    Bytes newAnim;
    Bytes newData;
    Mesh old = packedMesh("G", 2, 6, 5, 3);
};

ImportCase importCase(const fs::path& dir) {
    ImportCase c;
    c.glb = readFile(sourceDir() / "tests" / "data" / "gltf" / "shapekeys.glb");
    fs::create_directories(dir);
    writeFile(dir / "G.glb", c.glb);
    EXPECT_EQ(runTool({"G.glb"}, dir).status, 0);
    c.newAnim = readFile(dir / "G_a.3d");
    c.newData = readFile(dir / "G_d.3d");
    fs::remove_all(dir);
    return c;
}

// One game file of an import into `dir`: Original when it is as it was
// (absent, for new files), Converted when it is the new one.
State importedState(const fs::path& dir, const std::string& file, bool fresh, const Bytes& was,
                    const Bytes& now) {
    if (!fs::exists(dir / file)) {
        return fresh ? State::Original : State::Damaged;
    }
    const Bytes b = readFile(dir / file);
    return b == now ? State::Converted : !fresh && b == was ? State::Original : State::Damaged;
}

// True when a file of `dir` is named `start`...`end`.
bool hasFile(const fs::path& dir, const std::string& start, const std::string& end) {
    const std::vector<std::string> names = listFolder(dir);
    return std::any_of(names.begin(), names.end(),
                       [&](const std::string& x) { return x.starts_with(start) && endsWith(x, end); });
}

// Both game files of the import are the new ones, and nothing else is
// left beside them and the glTF file.
void expectImported(const fs::path& dir, const ImportCase& c, const std::string& when) {
    ASSERT_EQ(readFile(dir / "G_a.3d"), c.newAnim) << when;
    ASSERT_EQ(readFile(dir / "G_d.3d"), c.newData) << when;
    ASSERT_EQ(listFolder(dir), (std::vector<std::string>{"G.glb", "G_a.3d", "G_d.3d"})) << when;
}

// A mesh made from a glTF file, both files committed together, new or over
// an existing mesh: after a power cut at any call each game file is as it
// was (or still absent) or the new one, and the same import run again
// leaves both new files and nothing else. A mesh with one file new has what
// finishes it beside it, and a run that is no import (recovery alone, then
// "already converted") finishes it too.
TEST_F(Crashes, APowerCutDuringAGltfImportLeavesBothFilesOldOrBothNewAfterTheNextRun) {
    const ImportCase ic = importCase(meshDir);
    const std::vector<std::string> args = {"G.glb"};
    const auto clear = [&] {
        fs::remove_all(scratch.dir);
        fs::create_directories(meshDir);
        fs::create_directory(scratch.dir / "data");
    };
    PowerCutFigures figures;
    int halfDone = 0;
    int finishedAlone = 0;
    for (const bool fresh : {true, false}) {
        clear();
        writeFile(meshDir / "G.glb", ic.glb);
        if (!fresh) {
            putMesh(meshDir, ic.old);
        }
        const TracedRun traced = traceRun(scratch.dir, meshDir, args);
        ASSERT_EQ(traced.result.status, 0) << traced.result.out << traced.result.err;
        const auto expectState = [&](const std::string& when, bool eitherFirst) {
            const State a = importedState(meshDir, "G_a.3d", fresh, ic.old.anim, ic.newAnim);
            const State d = importedState(meshDir, "G_d.3d", fresh, ic.old.data, ic.newData);
            ASSERT_NE(a, State::Damaged) << when;
            ASSERT_NE(d, State::Damaged) << when;
            if (a == d) {
                return;
            }
            ++halfDone;
            ASSERT_TRUE(eitherFirst || a == State::Converted) << "data file first, " << when;
            const std::string waiting = a == State::Converted ? "G_d.3d" : "G_a.3d";
            ASSERT_TRUE(hasFile(meshDir, "G_a.3d.meshfold-", ".bak") && hasFile(meshDir, "G_d.3d.meshfold-", ".bak") &&
                        hasFile(meshDir, waiting + ".meshfold-", ".tmp"))
                << "one file new without what finishes it, " << when;
            // A run on G needs its animation file: the leftovers of a first
            // import whose animation file is not there yet wait for the next
            // run on the glTF file.
            if (fs::exists(meshDir / "G_a.3d")) {
                Scratch copy;
                fs::copy(meshDir, copy.dir);
                const RunResult alone = runTool({"G"}, copy.dir);
                ASSERT_EQ(alone.status, 1) << when << alone.out << alone.err;
                expectImported(copy.dir, ic, when + ", then a run on G");
                ++finishedAlone;
            }
        };
        const auto expectNext = [&](const RunResult& next, const std::string& when) {
            ASSERT_EQ(next.status, 0) << when << next.out << next.err;
            expectImported(meshDir, ic, when);
            ASSERT_EQ(listFolder(scratch.dir / "data"), std::vector<std::string>{}) << when;
        };
        const std::string name = fresh ? "new files" : "over a mesh";
        figures.add(name, replayPowerCuts(scratch.dir, meshDir, traced, {name, args, clear, expectState, expectNext}));
        if (HasFatalFailure()) {
            return;
        }
    }
    figures.print("during a glTF import");
    std::printf("[ figures  ] %d of them with one game file new, %d of those (all with an animation "
                "file) finished by a run on the mesh alone too\n",
                halfDone, finishedAlone);
    EXPECT_GT(finishedAlone, 0);
    RecordProperty("crashStates", figures.total[0] + figures.total[1] + figures.total[2]);
}

// A mesh made from a glTF file, killed at each of its file-system calls in
// turn: each game file is its original (or still absent) or the new one, a
// new animation file beside an old data file always has what finishes the
// job beside it, and the next run leaves both new files and nothing else.
TEST_F(Crashes, AGltfImportKilledAtEveryCallLeavesBothFilesOldOrBothFinishedByTheNextRun) {
    const ImportCase ic = importCase(meshDir);
    const fs::path& dir = meshDir;
    int points = 0;
    for (const bool fresh : {true, false}) {
        for (int n = 1;; ++n) {
            const std::string when = std::string(fresh ? "new files" : "over a mesh") + ", killed at call " +
                                     std::to_string(n);
            fs::remove_all(dir);
            fs::create_directories(dir);
            writeFile(dir / "G.glb", ic.glb);
            if (!fresh) {
                putMesh(dir, ic.old);
            }
            const RunResult r = runTool({"G.glb"}, dir, killedAtCall(n));
            const State a = importedState(dir, "G_a.3d", fresh, ic.old.anim, ic.newAnim);
            const State d = importedState(dir, "G_d.3d", fresh, ic.old.data, ic.newData);
            ASSERT_NE(a, State::Damaged) << when;
            ASSERT_NE(d, State::Damaged) << when;
            if (r.status != -1) {
                ASSERT_EQ(r.status, 0) << when << r.out;
                ASSERT_EQ(a, State::Converted) << when;
                break;
            }
            ++points;
            ASSERT_FALSE(d == State::Converted && a != State::Converted) << "data file first, " << when;
            if (a == State::Converted && d != State::Converted) {
                ASSERT_TRUE(hasFile(dir, "G_a.3d.meshfold-", ".bak") && hasFile(dir, "G_d.3d.meshfold-", ".tmp"))
                    << when;
            }
            // Once the new animation file is in place, recovery alone finishes
            // the job: the next run may be any run on the mesh (here one that
            // then finds it converted already and changes nothing).
            const bool recoveryAlone = a == State::Converted;
            const RunResult next = runTool({recoveryAlone ? "G" : "G.glb"}, dir);
            ASSERT_EQ(next.status, recoveryAlone ? 1 : 0) << when << next.out << next.err;
            expectImported(dir, ic, when);
            ASSERT_LT(n, 400) << "more calls than a run makes";
        }
    }
    std::printf("[ figures  ] a glTF import killed at each of %d file-system calls: both game files "
                "old or both new after the next run, nothing left behind\n",
                points);
}


// The bundled cube exported with --to-gltf --uc: the .glb bytes.
Bytes texturedCubeGlb(const fs::path& dir) {
    const fs::path examples = sourceDir() / "examples";
    fs::create_directories(dir / "Classes");
    fs::create_directories(dir / "Textures");
    for (const char* f : {"Cube_a.3d", "Cube_d.3d", "Classes/Cube.uc", "Textures/CubeTex.pcx"}) {
        writeFile(dir / f, readFile(examples / f));
    }
    EXPECT_EQ(runTool({"--to-gltf", "--uc", "Cube"}, dir).status, 0);
    const Bytes glb = readFile(dir / "Cube.glb");
    fs::remove_all(dir);
    return glb;
}

// A textured import with --uc (the bundled cube, exported with its texture),
// new or over an older texture and script of the same names: after a power
// cut at any call the texture is the old file (or absent) or the whole new
// one, the script is never the new one without the new texture beside it,
// and the same import run again leaves every new file and no temporary
// file. Of the unflushed folder operations of a cut, at most
// MESHFOLD_TEXTURED_CUT_SAMPLES combinations (a power of two, default 32:
// the run creates and moves five files).
TEST_F(Crashes, APowerCutDuringATexturedImportLeavesEachTextureOldOrWhole) {
    const auto combinations = static_cast<std::uint64_t>(envNumber("MESHFOLD_TEXTURED_CUT_SAMPLES", 32));
    ASSERT_TRUE(combinations > 0 && (combinations & (combinations - 1)) == 0) << "not a power of two";
    const Bytes glb = texturedCubeGlb(meshDir);
    const auto clear = [&] {
        fs::remove_all(scratch.dir);
        fs::create_directories(meshDir);
        fs::create_directory(scratch.dir / "data");
    };
    clear();
    writeFile(meshDir / "Cube.glb", glb);
    ASSERT_EQ(runTool({"--uc", "Cube.glb"}, meshDir).status, 0);
    const Bytes texture = readFile(meshDir / "CubeTex.pcx");
    const Bytes script = readFile(meshDir / "Cube.uc");
    const std::string oldText = "an older texture";
    const Bytes oldTexture(oldText.begin(), oldText.end());
    const Bytes oldScript = {'/', '/', '\n'};
    const std::vector<std::string> all = {"Cube.glb", "Cube.uc", "CubeTex.pcx", "Cube_a.3d", "Cube_d.3d"};
    const std::vector<std::string> args = {"--uc", "Cube.glb"};
    PowerCutFigures figures;
    for (const bool fresh : {true, false}) {
        clear();
        writeFile(meshDir / "Cube.glb", glb);
        if (!fresh) {
            writeFile(meshDir / "CubeTex.pcx", oldTexture);
            writeFile(meshDir / "Cube.uc", oldScript);
        }
        const TracedRun traced = traceRun(scratch.dir, meshDir, args);
        ASSERT_EQ(traced.result.status, 0) << traced.result.out << traced.result.err;
        const auto expectState = [&](const std::string& when, bool) {
            const bool hasTexture = fs::exists(meshDir / "CubeTex.pcx");
            const Bytes got = hasTexture ? readFile(meshDir / "CubeTex.pcx") : Bytes{};
            ASSERT_TRUE(hasTexture ? got == texture || (!fresh && got == oldTexture) : fresh)
                << "the texture neither old nor whole, " << when;
            if (fs::exists(meshDir / "Cube.uc")) {
                const Bytes uc = readFile(meshDir / "Cube.uc");
                ASSERT_TRUE(uc == script || (!fresh && uc == oldScript)) << when;
                ASSERT_TRUE(uc != script || got == texture) << "the script names a texture not there, " << when;
            }
        };
        const auto expectNext = [&](const RunResult& next, const std::string& when) {
            ASSERT_EQ(next.status, 0) << when << next.out << next.err;
            ASSERT_EQ(readFile(meshDir / "CubeTex.pcx"), texture) << when;
            ASSERT_EQ(readFile(meshDir / "Cube.uc"), script) << when;
            ASSERT_EQ(listFolder(meshDir), all) << when;
        };
        const std::string name = fresh ? "new files" : "over a texture and script";
        PowerCutReplay replay = {name, args, clear, expectState, expectNext};
        replay.combinations = combinations;
        figures.add(name, replayPowerCuts(scratch.dir, meshDir, traced, replay));
        if (HasFatalFailure()) {
            return;
        }
    }
    figures.print("during a textured import");
    RecordProperty("crashStates", figures.total[0] + figures.total[1] + figures.total[2]);
}

// A textured import with --uc (the bundled cube, exported with its texture)
// killed at each of its file-system calls in turn: the texture is absent or
// the whole new file, the script is never there without it, and the next
// run on the glTF file leaves every new file and nothing else.
TEST_F(Crashes, ATexturedImportKilledAtEveryCallLeavesEachTextureWholeOrAbsent) {
    const Bytes glb = texturedCubeGlb(meshDir);
    fs::create_directories(meshDir);
    writeFile(meshDir / "Cube.glb", glb);
    ASSERT_EQ(runTool({"--uc", "Cube.glb"}, meshDir).status, 0);
    const Bytes texture = readFile(meshDir / "CubeTex.pcx");
    const Bytes script = readFile(meshDir / "Cube.uc");
    const std::vector<std::string> all = {"Cube.glb", "Cube.uc", "CubeTex.pcx", "Cube_a.3d", "Cube_d.3d"};
    int points = 0;
    for (int n = 1;; ++n) {
        const std::string when = "killed at call " + std::to_string(n);
        fs::remove_all(meshDir);
        fs::create_directories(meshDir);
        writeFile(meshDir / "Cube.glb", glb);
        const RunResult r = runTool({"--uc", "Cube.glb"}, meshDir, killedAtCall(n));
        const bool hasTexture = fs::exists(meshDir / "CubeTex.pcx");
        ASSERT_TRUE(!hasTexture || readFile(meshDir / "CubeTex.pcx") == texture) << when;
        if (fs::exists(meshDir / "Cube.uc")) {
            ASSERT_EQ(readFile(meshDir / "Cube.uc"), script) << when;
            ASSERT_TRUE(hasTexture) << "the script before its texture, " << when;
        }
        if (r.status != -1) {
            ASSERT_EQ(r.status, 0) << when << r.out;
            ASSERT_EQ(listFolder(meshDir), all) << when;
            break;
        }
        ++points;
        ASSERT_EQ(runTool({"--uc", "Cube.glb"}, meshDir).status, 0) << when;
        ASSERT_EQ(readFile(meshDir / "CubeTex.pcx"), texture) << when;
        ASSERT_EQ(listFolder(meshDir), all) << when;
        ASSERT_LT(n, 400) << "more calls than a run makes";
    }
    std::printf("[ figures  ] a textured import killed at each of %d file-system calls: the texture absent or"
                " whole, never named before it is there, nothing left by the next run\n", points);
    EXPECT_GT(points, 3);
}

// What an undisturbed run makes of the small package: the package folder's files.
Snapshot packageFolderOf(const Bytes& package) {
    Scratch clean;
    writeFile(clean.dir / "Pkg.u", package);
    EXPECT_EQ(runTool({"Pkg.u"}, clean.dir).status, 0);
    return treeOf(clean.dir / "Pkg");
}

// A compiled package taken apart, killed at each of its file-system calls in
// turn: every file of the folder is whole or absent, the script never before
// the rest, and the next run removes what the kill left and finishes the
// folder. MESHFOLD_PACKAGE_KILL_STEP kills at every such call (default 1).
TEST_F(Crashes, APackageKilledAtEveryCallLeavesEachFileWholeOrAbsent) {
    const Bytes package = package::test::smallPackage(2);
    const Snapshot made = packageFolderOf(package);
    const int step = std::max(1, envNumber("MESHFOLD_PACKAGE_KILL_STEP", 1));
    int points = 0;
    for (int n = 1;; n += step) {
        const std::string when = "killed at call " + std::to_string(n);
        fs::remove_all(meshDir);
        fs::create_directories(meshDir);
        writeFile(meshDir / "Pkg.u", package);
        const RunResult r = runTool({"Pkg.u"}, meshDir, killedAtCall(n));
        if (r.status != -1) {
            ASSERT_EQ(r.status, 0) << when << r.out;
            ASSERT_EQ(treeOf(meshDir / "Pkg"), made) << when;
            break;
        }
        ++points;
        expectPackageFilesWholeOrAbsent(treeOf(meshDir / "Pkg"), made, "Classes/Pkg.uc", true, when);
        const RunResult next = runTool({"Pkg.u"}, meshDir);
        ASSERT_EQ(next.status, 0) << when << next.out << next.err;
        ASSERT_EQ(treeOf(meshDir / "Pkg"), made) << when;
        ASSERT_EQ(readFile(meshDir / "Pkg.u"), package) << when;
        ASSERT_LT(n, 400) << "more calls than a run makes";
        if (HasFailure()) {
            return;
        }
    }
    std::printf("[ figures  ] a package taken apart, killed at each of %d file-system calls: each file whole or"
                " absent, the script last, the next run finished the folder\n",
                points);
    EXPECT_GT(points, 10);
}

// A package taken apart into a new folder: after a power cut at any call
// each file is absent or whole, the script never there before the rest,
// and the next run finishes the folder and leaves nothing else. Of the
// unflushed folder operations of a cut, at most
// MESHFOLD_TEXTURED_CUT_SAMPLES combinations (default 32). The folders the
// run makes are taken to be there: their own entries are flushed before any
// file is moved into them.
TEST_F(Crashes, APowerCutWhileAPackageIsTakenApartLeavesEachFileAbsentOrWhole) {
    const auto combinations = static_cast<std::uint64_t>(envNumber("MESHFOLD_TEXTURED_CUT_SAMPLES", 32));
    ASSERT_TRUE(combinations > 0 && (combinations & (combinations - 1)) == 0) << "not a power of two";
    const Bytes package = package::test::smallPackage(1);
    const Snapshot made = packageFolderOf(package);
    const auto clear = [&] {
        fs::remove_all(scratch.dir);
        fs::create_directories(meshDir);
        fs::create_directory(scratch.dir / "data");
    };
    clear();
    writeFile(meshDir / "Pkg.u", package);
    const std::vector<std::string> args = {"Pkg.u"};
    const TracedRun traced = traceRun(scratch.dir, meshDir, args);
    ASSERT_EQ(traced.result.status, 0) << traced.result.out << traced.result.err;
    const auto expectState = [&](const std::string& when, bool) {
        expectPackageFilesWholeOrAbsent(treeOf(meshDir / "Pkg"), made, "Classes/Pkg.uc", true, when);
        ASSERT_FALSE(HasFailure()) << when;
    };
    const auto expectNext = [&](const RunResult& next, const std::string& when) {
        ASSERT_EQ(next.status, 0) << when << next.out << next.err;
        ASSERT_EQ(treeOf(meshDir / "Pkg"), made) << when;
        ASSERT_EQ(readFile(meshDir / "Pkg.u"), package) << when;
    };
    PowerCutReplay replay = {"a package", args, clear, expectState, expectNext};
    replay.combinations = combinations;
    PowerCutFigures figures;
    figures.add("new folder", replayPowerCuts(scratch.dir, meshDir, traced, replay));
    if (HasFatalFailure()) {
        return;
    }
    figures.print("while a package is taken apart");
}

#endif

} // namespace
} // namespace meshfold::test
