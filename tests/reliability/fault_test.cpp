// Faults of the disk and of every file-system call, injected into the built
// tool: a full disk at each write, a file size limit stepped through the
// output, and each system call of the file layer failing in turn. After every
// fault the mesh is exactly as it was (or, where the fault is harmless,
// completely converted), a message was printed and no temporary file is left.
#include "reliability.h"

#include "../package/package_builder.h"
#include "glb_reader.h"
#include "meshfold/image/image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#ifndef _WIN32
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace meshfold::test {
namespace {

#ifndef _WIN32

constexpr std::uintmax_t kPage = 4096;

std::uintmax_t pagesFor(std::uintmax_t bytes) {
    return (bytes + kPage - 1) / kPage * kPage;
}

std::string anim(const std::string& base) {
    return base + "_a.3d";
}

std::string data(const std::string& base) {
    return base + "_d.3d";
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override {
        if (usingRunner()) {
            GTEST_SKIP() << "faults are injected into the native build only";
        }
    }
    void needRoot() {
        if (!isRoot()) {
            GTEST_SKIP() << "needs root to mount a small tmpfs";
        }
    }
    Scratch scratch;
};

// Where the disk fills up, and what the tool must say.
struct DiskCase {
    const char* name;
    Mesh mesh;
    bool ms;
    std::uintmax_t freeBytes;
    std::string message;
};

std::vector<DiskCase> diskCases() {
    // 2 x 5120 words: the output is 4 + 8 x 10240 = 20 pages + 4 bytes, so
    // with 20 pages free exactly the last vertex does not fit.
    const Mesh lastVertex = packedMesh("L", 2, 5120, 1);
    // 1022 triangles: 48 + 16 x 1022 = 4 pages + 16 bytes, the last
    // triangle's record alone past the space left.
    Mesh lastTriangle = packedMesh("T", 1, 4, 1022);
    const std::uintmax_t smallAnim = pagesFor(4 + 8 * 4);
    // 3 frames x 8000 words: more than one 128 KiB chunk of output.
    const Mesh chunks = packedMesh("C", 3, 8000, 1);
    return {
        {"frame count", packedMesh("H", 1, 4, 1), false, 0,
         "\n\nProblem writing to file H_a.3d !"},
        {"second chunk of vertices", chunks, false, 40 * kPage, "\n\nCould not write vertex !\n"},
        {"last vertex", lastVertex, false, 20 * kPage, "\n\nCould not write vertex !\n"},
        {"data file header", packedMesh("D", 1, 4, 2), true, smallAnim,
         "\n\nProblem writing to file D_d.3d !\n"},
        {"last triangle", lastTriangle, true, smallAnim + 4 * kPage,
         "\n\nProblem writing to file T_d.3d !\n"},
    };
}

TEST_F(Faults, AFullDiskAtEachWriteLeavesTheMeshAsItWas) {
    needRoot();
    for (const DiskCase& c : diskCases()) {
        SCOPED_TRACE(c.name);
        SmallDisk disk(scratch.dir / "disk", "size=1m");
        if (!disk.mounted()) {
            GTEST_SKIP() << "tmpfs cannot be mounted here";
        }
        putMesh(disk.dir(), c.mesh);
        ASSERT_TRUE(disk.leaveFree(c.freeBytes)) << disk.freeBytes();
        const Snapshot before = snapshot(disk.dir());
        const std::vector<std::string> args =
            c.ms ? std::vector<std::string>{"-ms", c.mesh.base} : std::vector<std::string>{c.mesh.base};
        const RunResult r = runTool(args, disk.dir());
        const Prediction p = predict(c.mesh, c.ms);
        EXPECT_EQ(r.out, p.head + c.message);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(snapshot(disk.dir()), before);

        // With room again, the same mesh converts completely.
        fs::remove(disk.dir() / kFillerName);
        const RunResult again = runTool(args, disk.dir());
        EXPECT_EQ(again.out, p.out);
        EXPECT_EQ(readFile(disk.dir() / anim(c.mesh.base)), p.anim);
        EXPECT_EQ(readFile(disk.dir() / data(c.mesh.base)), p.data);
        EXPECT_EQ(listFolder(disk.dir()).size(), 2u);
    }
}

// Creates empty files until the disk has no inode left; returns how many.
int useUpInodes(const fs::path& dir) {
    for (int i = 0;; ++i) {
        std::ofstream f(dir / (std::string(kFillerName) + std::to_string(i)));
        if (!f) {
            return i;
        }
    }
}

TEST_F(Faults, NoRoomForATemporaryFileLeavesTheMeshAsItWas) {
    needRoot();
    SmallDisk disk(scratch.dir / "disk", "size=1m,nr_inodes=16");
    if (!disk.mounted()) {
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    }
    const Mesh mesh = packedMesh("I", 1, 4, 2);
    putMesh(disk.dir(), mesh);
    const int fillers = useUpInodes(disk.dir());
    ASSERT_GT(fillers, 0);
    const Snapshot before = snapshot(disk.dir());

    RunResult r = runTool({"I"}, disk.dir());
    EXPECT_EQ(r.out, predict(mesh, false).head + "\n\nCan't open file I_a.3d for writing !\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(snapshot(disk.dir()), before);

    // Room for the new animation file but not for the new data file.
    fs::remove(disk.dir() / (std::string(kFillerName) + "0"));
    r = runTool({"-ms", "I"}, disk.dir());
    EXPECT_EQ(r.out, predict(mesh, true).head + "\n\nCan't open file I_d.3d for writing !\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(snapshot(disk.dir()), before);
}

// Forty small -ms meshes (the corpus's telepo, 8.6 KB, or one of its shape:
// 17 KB once converted), as a user would name them all on a nearly full disk.
std::vector<Mesh> fortySmallMeshes() {
    const fs::path corpus = corpusDir();
    const bool real = !corpus.empty() && fs::exists(corpus / "telepo_a.3d");
    const Mesh telepo = real ? Mesh{"", readFile(corpus / "telepo_a.3d"), readFile(corpus / "telepo_d.3d")}
                             : packedMesh("", 30, 72, 24);
    // Two bytes past its last frame: a warning on standard error, after the
    // new animation file is written, that a mesh tried again must not repeat.
    Mesh padded = telepo;
    padded.anim.resize(padded.anim.size() + 2, 0);
    std::vector<Mesh> meshes;
    for (int i = 1; i <= 40; ++i) {
        char base[8];
        std::snprintf(base, sizeof base, "m%02d", i);
        meshes.push_back(Mesh{base, padded.anim, padded.data});
    }
    return meshes;
}

// One call over all the meshes against a loop of one call per mesh, each
// from the same disk with `freeBytes` left: the call converts the same
// meshes, prints what the single calls print in turn (and the summary), and
// leaves every other mesh as it was and nothing beside them. Returns how
// many meshes converted.
int batchAgainstLoop(SmallDisk& disk, const std::vector<Mesh>& meshes, std::uintmax_t freeBytes) {
    const auto fresh = [&] {
        for (const std::string& name : listFolder(disk.dir())) {
            fs::remove(disk.dir() / name);
        }
        for (const Mesh& m : meshes) {
            putMesh(disk.dir(), m);
        }
        EXPECT_TRUE(disk.leaveFree(freeBytes)) << disk.freeBytes();
    };
    fresh();
    const Snapshot before = snapshot(disk.dir());
    std::vector<std::string> args = {"-ms"};
    std::string out;
    std::string err;
    int converted = 0;
    for (const Mesh& m : meshes) {
        args.push_back(anim(m.base));
        const RunResult r = runTool({"-ms", anim(m.base)}, disk.dir());
        out += r.out.substr(r.out.find("\nConverting "));
        err += r.err;
        converted += r.status == 0 ? 1 : 0;
    }
    const int failed = static_cast<int>(meshes.size()) - converted;
    char summary[96];
    std::snprintf(summary, sizeof summary, "\n\n%zu meshes: %d converted, 0 already converted, %d failed\n",
                  meshes.size(), converted, failed);
    const Snapshot afterLoop = snapshot(disk.dir());
    fresh();
    const RunResult batch = runTool(args, disk.dir());
    EXPECT_EQ(batch.out.substr(batch.out.find("\nConverting ")), out + summary);
    EXPECT_EQ(batch.err, err);
    EXPECT_EQ(batch.status, failed == 0 ? 0 : 1);
    const Snapshot after = snapshot(disk.dir());
    EXPECT_EQ(after, afterLoop);
    EXPECT_EQ(after.size(), before.size()) << "files left beside the meshes";
    const Prediction p = predict(meshes[0], true);
    for (const Mesh& m : meshes) {
        const bool was = after.at(anim(m.base)) == m.anim && after.at(data(m.base)) == m.data;
        const bool done = after.at(anim(m.base)) == p.anim && after.at(data(m.base)) == p.data;
        EXPECT_TRUE(was || done) << m.base;
    }
    return converted;
}

// Exports hold their new files until their group is moved into place too:
// the last one, finding no room where a run on it alone would have none
// either, is written again on its own (its animation file read once more)
// and fails as that run does, the export before it in place.
void exportsAgainstLoop(SmallDisk& disk, const fs::path& roomy) {
    const Mesh small = packedMesh("S", 2, 8, 4);
    const Mesh large = packedMesh("L", 200, 200, 40);
    putMesh(roomy, small);
    putMesh(roomy, large);
    ASSERT_EQ(runTool({"--to-gltf", "S", "L"}, roomy).status, 0);
    const Bytes smallExport = readFile(roomy / "S.glb");
    ASSERT_GT(fs::file_size(roomy / "L.glb"), 4 * kPage);
    const auto fresh = [&] {
        for (const std::string& name : listFolder(disk.dir())) {
            fs::remove(disk.dir() / name);
        }
        putMesh(disk.dir(), small);
        putMesh(disk.dir(), large);
        EXPECT_TRUE(disk.leaveFree(pagesFor(smallExport.size()) + kPage)) << disk.freeBytes();
    };
    const auto blocks = [](const RunResult& r) { return r.out.substr(r.out.find("\nExporting ")); };
    fresh();
    const Snapshot before = snapshot(disk.dir());
    const RunResult alone = runTool({"--to-gltf", "S"}, disk.dir());
    const RunResult then = runTool({"--to-gltf", "L"}, disk.dir());
    EXPECT_EQ(alone.status, 0);
    EXPECT_EQ(then.status, 1);
    fresh();
    const RunResult batch = runTool({"--to-gltf", "S", "L"}, disk.dir());
    EXPECT_EQ(batch.status, 1);
    EXPECT_EQ(blocks(batch), blocks(alone) + blocks(then) + "\n\n2 meshes: 1 exported, 1 failed\n");
    EXPECT_EQ(batch.err, alone.err + then.err);
    Snapshot expected = before;
    expected["S.glb"] = smallExport;
    EXPECT_EQ(snapshot(disk.dir()), expected);
}

// A group of meshes holds all its new files until it moves them into place;
// a mesh that then finds the disk full is tried again on its own once the
// meshes before it are in place and their originals gone.
TEST_F(Faults, ABatchOnANearlyFullDiskDoesWhatSingleRunsWould) {
    needRoot();
    SmallDisk disk(scratch.dir / "disk", "size=2m");
    if (!disk.mounted()) {
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    }
    const std::vector<Mesh> meshes = fortySmallMeshes();
    const int some = batchAgainstLoop(disk, meshes, 180 * 1024);
    EXPECT_GT(some, 1);
    EXPECT_LT(some, 40);
    // Too little room for even one mesh: every one fails, nothing changes.
    EXPECT_EQ(batchAgainstLoop(disk, meshes, 2 * kPage), 0);
    exportsAgainstLoop(disk, scratch.dir);
    std::printf("[ figures  ] 40 -ms meshes on a 2 MiB disk with 180 KiB free: %d converted in one "
                "call, as by one call each; with 8 KiB free: 0, nothing changed\n",
                some);
}

// The output limit at which each write fails, for a mesh converted with or
// without the data file: the frame count, the frame size, the vertices, then
// the data file; at or past the size of both outputs the run succeeds.
std::string limitMessage(std::uintmax_t limit, const Mesh& m, bool ms, const Prediction& p) {
    if (limit < 2) {
        return "\n\nProblem writing to file " + anim(m.base) + " !";
    }
    if (limit < 4) {
        return "\n\nProblem writing to file " + anim(m.base) + " !\n";
    }
    if (limit < p.anim.size()) {
        return "\n\nCould not write vertex !\n";
    }
    if (ms && limit < p.data.size()) {
        return "\n\nProblem writing to file " + data(m.base) + " !\n";
    }
    return {};
}

void stepFileSizeLimit(const fs::path& dir, const Mesh& mesh, bool ms,
                       const std::vector<std::uintmax_t>& limits, int& runs) {
    const Prediction p = predict(mesh, ms);
    const std::vector<std::string> args =
        ms ? std::vector<std::string>{"-ms", mesh.base} : std::vector<std::string>{mesh.base};
    const std::string& head = p.head;
    for (std::uintmax_t limit : limits) {
        SCOPED_TRACE("limit " + std::to_string(limit) + (ms ? " -ms" : ""));
        putMesh(dir, mesh);
        const RunResult r = runTool(args, dir, fileSizeLimit(limit));
        ++runs;
        const std::string message = limitMessage(limit, mesh, ms, p);
        if (message.empty()) {
            EXPECT_EQ(r.out, p.out);
            EXPECT_EQ(r.status, 0);
        } else {
            EXPECT_EQ(r.out, head + message);
            EXPECT_EQ(r.status, 1);
        }
        EXPECT_EQ(readFile(dir / anim(mesh.base)), message.empty() ? p.anim : mesh.anim);
        EXPECT_EQ(readFile(dir / data(mesh.base)), message.empty() ? p.data : mesh.data);
        ASSERT_EQ(listFolder(dir).size(), 2u);
    }
    fs::remove(dir / anim(mesh.base));
    fs::remove(dir / data(mesh.base));
}

TEST_F(Faults, AFileSizeLimitAtEveryByteOfTheOutput) {
    if (!haveCommand("prlimit")) {
        GTEST_SKIP() << "prlimit is not installed";
    }
    // 24 words (196 bytes out) and 20 triangles (368 bytes out): every byte.
    const Mesh small = packedMesh("S", 2, 12, 20);
    std::vector<std::uintmax_t> every;
    for (std::uintmax_t l = 0; l <= 370; ++l) {
        every.push_back(l);
    }
    int runs = 0;
    stepFileSizeLimit(scratch.dir, small, false, every, runs);
    stepFileSizeLimit(scratch.dir, small, true, every, runs);

    // 40000 words (320004 bytes out, three chunks): around the chunk ends.
    const Mesh large = packedMesh("B", 8, 5000, 3000);
    std::vector<std::uintmax_t> around;
    for (std::uintmax_t end : {std::uintmax_t{4}, std::uintmax_t{4 + 131072}, std::uintmax_t{4 + 262144},
                               std::uintmax_t{320004}}) {
        for (std::uintmax_t l = end - 3; l <= end + 3; ++l) {
            around.push_back(l);
        }
    }
    around.push_back(48000);
    stepFileSizeLimit(scratch.dir, large, true, around, runs);
    RecordProperty("runs", runs);
}

TEST_F(Faults, KilledForPassingTheFileSizeLimitHarmsNothing) {
    if (!haveCommand("prlimit")) {
        GTEST_SKIP() << "prlimit is not installed";
    }
    // SIGXFSZ not ignored: the tool dies in the middle of the vertices.
    const Mesh mesh = packedMesh("K", 2, 12, 20);
    putMesh(scratch.dir, mesh);
    const RunResult r = runTool({"-ms", "K"}, scratch.dir, {"prlimit", "--fsize=100", "--"});
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(readFile(scratch.dir / "K_a.3d"), mesh.anim);
    EXPECT_EQ(readFile(scratch.dir / "K_d.3d"), mesh.data);
    const auto stale = listFolder(scratch.dir);
    EXPECT_EQ(stale.size(), 3u); // the temporary file of the killed run

    // The next run removes it, then converts.
    const Prediction p = predict(mesh, true);
    const RunResult next = runTool({"-ms", "K"}, scratch.dir);
    EXPECT_EQ(next.out, p.out);
    EXPECT_EQ(next.err.substr(0, next.err.find('\n') + 1),
              "meshfold: found " + stale[1] +
                  ", left by a run that was cut short before it replaced anything: removed it\n");
    EXPECT_EQ(readFile(scratch.dir / "K_a.3d"), p.anim);
    EXPECT_EQ(readFile(scratch.dir / "K_d.3d"), p.data);
    EXPECT_EQ(listFolder(scratch.dir), (std::vector<std::string>{"K_a.3d", "K_d.3d"}));
}

TEST_F(Faults, AHundredMeshesWithinSixtyFourOpenFiles) {
    if (!haveCommand("prlimit")) {
        GTEST_SKIP() << "prlimit is not installed";
    }
    // With -ms each mesh of a group holds two new files open until the group
    // is done, and its folder while the group is moved into place: a low
    // limit must make smaller groups, and no check may leak.
    std::vector<Mesh> meshes;
    for (std::uint32_t i = 0; i < 100; ++i) {
        std::string base = "N";
        base += std::to_string(i);
        meshes.push_back(packedMesh(base, 1, 4, 1, i + 1));
    }
    for (const bool ms : {false, true}) {
        SCOPED_TRACE(ms ? "-ms" : "without -ms");
        std::vector<std::string> args;
        if (ms) {
            args.push_back("-ms");
        }
        for (const Mesh& m : meshes) {
            putMesh(scratch.dir, m);
            args.push_back(m.base);
        }
        const RunResult r = runTool(args, scratch.dir, {"prlimit", "--nofile=64", "--"});
        EXPECT_TRUE(endsWith(r.out, "\n\n100 meshes: 100 converted, 0 already converted, 0 failed\n"))
            << r.out.substr(r.out.size() - std::min<std::size_t>(r.out.size(), 400));
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(listFolder(scratch.dir).size(), 200u);
    }
    // Each mesh in a folder of its own: while a group is moved into place,
    // the folder of every mesh in it is held open too.
    std::vector<std::string> args = {"-ms"};
    for (const Mesh& m : meshes) {
        const fs::path folder = scratch.dir / ("in" + m.base);
        fs::create_directories(folder);
        putMesh(folder, m);
        args.push_back("in" + m.base + "/" + m.base);
    }
    const RunResult r = runTool(args, scratch.dir, {"prlimit", "--nofile=64", "--"});
    EXPECT_TRUE(endsWith(r.out, "\n\n100 meshes: 100 converted, 0 already converted, 0 failed\n"))
        << r.out.substr(r.out.size() - std::min<std::size_t>(r.out.size(), 400));
}

// NAME.gltf, with NAME.bin and NAME_N.png beside it: one triangle drawn once
// for each of `textures` texture numbers, each with a material of its own
// 4 x 4 image, coloured after `seed`. With --uc every texture is a file of
// its own, open until the mesh's group is done.
void putTexturedGltf(const fs::path& dir, const std::string& name, int textures, std::uint32_t seed) {
    Bytes bin;
    for (const float f : {0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 0.f, 1.f, 0.f, 0.f, 1.f}) {
        put32(bin, std::bit_cast<std::uint32_t>(f));
    }
    for (const std::uint16_t i : {0, 1, 2, 0}) {
        put16(bin, i);
    }
    std::string primitives;
    std::string materials;
    std::string images;
    for (int t = 0; t < textures; ++t) {
        const std::string n = std::to_string(t);
        const std::string sep = t == 0 ? "" : ",";
        primitives += sep + R"({"attributes":{"POSITION":0,"TEXCOORD_0":1},"indices":2,"material":)" + n + "}";
        char number[12]; // room for any int: g++ checks the format against the type
        std::snprintf(number, sizeof number, "%03d", t);
        materials += sep + R"({"name":")" + number + R"(","pbrMetallicRoughness":{"baseColorTexture":{"index":)" +
                     n + "}}}";
        images += sep + R"({"uri":")" + name + "_" + n + R"(.png"})";
        Image image;
        image.width = 4;
        image.height = 4;
        for (std::uint32_t p = 0; p < 16; ++p) {
            for (const std::uint32_t c : {seed * 37 + p * 11, static_cast<std::uint32_t>(t) * 53 + p, seed + p * 29}) {
                image.rgba.push_back(static_cast<std::uint8_t>(c));
            }
            image.rgba.push_back(255);
        }
        writeFile(dir / (name + "_" + n + ".png"), encodePng(image));
    }
    std::string textureList;
    for (int t = 0; t < textures; ++t) {
        textureList += std::string(t == 0 ? "" : ",") + R"({"source":)" + std::to_string(t) + "}";
    }
    const std::string json =
        R"({"asset":{"version":"2.0"},"scene":0,"scenes":[{"nodes":[0]}],"nodes":[{"mesh":0}],)"
        R"("meshes":[{"primitives":[)" + primitives + R"(]}],"materials":[)" + materials +
        R"(],"textures":[)" + textureList + R"(],"images":[)" + images +
        R"(],"buffers":[{"byteLength":68,"uri":")" + name + R"(.bin"}],)"
        R"("bufferViews":[{"buffer":0,"byteOffset":0,"byteLength":36},{"buffer":0,"byteOffset":36,"byteLength":24},)"
        R"({"buffer":0,"byteOffset":60,"byteLength":6}],)"
        R"("accessors":[{"bufferView":0,"componentType":5126,"count":3,"type":"VEC3","min":[0,0,0],"max":[1,1,0]},)"
        R"({"bufferView":1,"componentType":5126,"count":3,"type":"VEC2"},)"
        R"({"bufferView":2,"componentType":5123,"count":3,"type":"SCALAR"}]})";
    writeFile(dir / (name + ".gltf"), Bytes(json.begin(), json.end()));
    writeFile(dir / (name + ".bin"), bin);
}

// The files of `count` glTF files of four textures each, G0.gltf to G(count-1).gltf,
// in `dir`, and the --uc command line that imports them all.
std::vector<std::string> putTexturedImports(const fs::path& dir, int count) {
    fs::create_directories(dir);
    std::vector<std::string> args = {"--uc"};
    for (int i = 0; i < count; ++i) {
        std::string name = "G"; // not "G" + string: a false -Wrestrict of g++ 12 at -O3
        name += std::to_string(i);
        putTexturedGltf(dir, name, 4, static_cast<std::uint32_t>(i) + 1);
        args.push_back(name + ".gltf");
    }
    return args;
}

// The names of the files that are not the same in both, for a short message.
std::vector<std::string> namesDiffering(const Snapshot& a, const Snapshot& b) {
    std::vector<std::string> names;
    for (const auto& [name, bytes] : a) {
        if (b.count(name) == 0 || b.at(name) != bytes) {
            names.push_back(name);
        }
    }
    for (const auto& [name, bytes] : b) {
        if (a.count(name) == 0) {
            names.push_back(name);
        }
    }
    return names;
}

// What each of those imports makes in a run of its own, in `dir`.
Snapshot eachImportedAlone(const fs::path& dir, int count) {
    const std::vector<std::string> args = putTexturedImports(dir, count);
    for (std::size_t i = 1; i < args.size(); ++i) {
        EXPECT_EQ(runTool({"--uc", args[i]}, dir).status, 0) << args[i];
    }
    return snapshot(dir);
}

TEST_F(Faults, TexturedImportsWithinFortyOpenFiles) {
    if (!haveCommand("prlimit")) {
        GTEST_SKIP() << "prlimit is not installed";
    }
    // With --uc each import holds seven new files open until its group is
    // done (both game files, the script, four textures): the groups must
    // count them, not the meshes.
    const fs::path all = scratch.dir / "all";
    const std::vector<std::string> args = putTexturedImports(all, 24);
    const Snapshot alone = eachImportedAlone(scratch.dir / "alone", 24);
    const std::vector<std::string> limit40 = {"prlimit", "--nofile=40", "--"};
    const RunResult r = runTool(args, all, limit40);
    EXPECT_TRUE(endsWith(r.out, "\n\n24 meshes: 24 converted, 0 already converted, 0 failed\n"))
        << r.out.substr(r.out.size() - std::min<std::size_t>(r.out.size(), 400));
    EXPECT_EQ(r.status, 0);
    // Every game file, script and texture whole, and nothing else.
    EXPECT_EQ(namesDiffering(snapshot(all), alone), std::vector<std::string>{});

    // A mesh whose 40 textures alone pass the limit fails before it writes
    // anything, with the figure to raise it to; the meshes around it convert
    // (again, to the same bytes).
    putTexturedGltf(all, "Wide", 40, 99);
    const Snapshot before = snapshot(all);
    const RunResult wide = runTool({"--uc", "G0.gltf", "Wide.gltf", "G1.gltf"}, all, limit40);
    EXPECT_NE(wide.out.find("\n\nCan't write the new files of Wide.gltf: they need 53 files open at once,"
                            " and this process may open 40 (ulimit -n) !\n"),
              std::string::npos)
        << wide.out;
    EXPECT_TRUE(endsWith(wide.out, "\n\n3 meshes: 2 converted, 0 already converted, 1 failed\n")) << wide.out;
    EXPECT_EQ(wide.status, 1);
    EXPECT_EQ(namesDiffering(snapshot(all), before), std::vector<std::string>{});
    const RunResult raised = runTool({"--uc", "Wide.gltf"}, all, {"prlimit", "--nofile=53", "--"});
    EXPECT_EQ(raised.status, 0) << raised.out;
    EXPECT_EQ(listFolder(all).size(), before.size() + 43); // the game files, the script, 40 textures
}

// Fails each call of the file layer in turn (the first open, the second...),
// until a run meets no such call.
class FailingCalls : public Faults {
protected:
    void SetUp() override {
        Faults::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (faultShim().empty()) {
            GTEST_SKIP() << "the fault library is not built on this platform";
        }
        meshDir = scratch.dir / "mesh";
        fs::create_directories(meshDir);
    }
    // Runs with `plan` failing; returns the faults that were injected.
    std::string runFailing(const std::vector<std::string>& args, const std::string& plan,
                           RunResult& r) {
        const fs::path log = scratch.dir / "faults.log";
        std::error_code ec;
        fs::remove(log, ec);
        r = runTool(args, meshDir, failingCalls(plan, log));
        std::ifstream in(log);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Runs with the call `pause` ("rename:1") waiting while the shell
    // commands `meanwhile` run in the mesh folder, then lets it go on. In
    // them "$@" runs the tool again, with the same arguments and without the
    // fault library.
    RunResult runPausedWhile(const std::vector<std::string>& args, const std::string& pause,
                             const std::string& meanwhile) {
        const fs::path log = scratch.dir / "faults.log";
        const fs::path go = scratch.dir / "go";
        std::error_code ec;
        fs::remove(log, ec);
        fs::remove(go, ec);
        std::string paused;
        for (const std::string& w : failingCalls(pause + ":PAUSE", log)) {
            paused += "'" + w + "' ";
        }
        const std::string script =
            paused + "'MESHFOLD_RESUME=" + go.string() + "' \"$@\" & run=$!; while [ ! -e '" +
            log.string() + "' ] && kill -0 $run 2>/dev/null; do sleep 0.01; done; " + meanwhile +
            "; touch '" + go.string() + "'; wait $run; status=$?; wait; exit $status";
        return runTool(args, meshDir, {"sh", "-c", script, "sh"});
    }
    fs::path meshDir;
};

TEST_F(FailingCalls, EveryFailingCallIsCaughtOrHarmless) {
    const Mesh packed = packedMesh("F", 3, 40, 30);
    const Prediction converted = predict(packed, true);
    const Mesh wide{"F", converted.anim, converted.data};
    struct Round {
        std::vector<std::string> args;
        const Mesh& mesh;
        bool ms;
        bool toUnreal;
    };
    const Round rounds[] = {{{"F"}, packed, false, false},
                            {{"-ms", "F"}, packed, true, false},
                            {{"--to-unreal", "-ms", "F"}, wide, true, true}};
    int injected = 0;
    int failed = 0;
    for (const Round& round : rounds) {
        const std::vector<std::string>& args = round.args;
        const Mesh& mesh = round.mesh;
        const bool ms = round.ms;
        for (const char* call : {"open", "write", "fsync", "close", "rename", "link", "fchmod",
                                 "unlink", "fchown", "flock"}) {
            for (int n = 1;; ++n) {
                const std::string plan = std::string(call) + ":" + std::to_string(n);
                SCOPED_TRACE(plan + " " + args.front());
                putMesh(meshDir, mesh);
                const Snapshot before = snapshot(meshDir);
                RunResult r;
                const std::string faults = runFailing(args, plan, r);
                if (faults.empty()) {
                    // No such call left: the run is an ordinary one.
                    EXPECT_EQ(r.status, 0) << r.out;
                    break;
                }
                ++injected;
                if (std::string(call) == "unlink" && r.status == 0) {
                    // The backup of a completed conversion could not be
                    // removed: the next run on the mesh removes it.
                    runTool(args, meshDir);
                }
                failed += expectUnchangedOrConverted(meshDir, before, mesh, ms, r, round.toUnreal) ? 1 : 0;
                ASSERT_LT(n, 50) << "more calls than a run makes";
            }
        }
    }
    EXPECT_GT(failed, 10);
    RecordProperty("faults", injected);
    std::printf("[ figures  ] %d call failures injected, %d stopped the run, 0 files lost\n",
                injected, failed);
}

TEST_F(FailingCalls, EachFileFailureNamesItsFile) {
    const Mesh mesh = packedMesh("N", 1, 8, 4);
    const Prediction p = predict(mesh, true);
    const std::string& head = p.head;
    const struct {
        const char* plan;
        std::string message;
    } cases[] = {
        // A failed flush to disk is a failed write of that file.
        {"fsync:1", "\n\nProblem writing to file N_a.3d !\n"},
        {"fsync:2", "\n\nProblem writing to file N_d.3d !\n"},
        // Replacing the animation file fails: nothing was replaced.
        {"rename:1", "\n\nProblem writing to file N_a.3d !\n"},
        // Replacing the data file fails: the animation file is put back.
        {"rename:2", "\n\nProblem writing to file N_d.3d !\n"},
        {"fchmod:1", "\n\nCan't open file N_a.3d for writing !\n"},
        {"fchmod:2", "\n\nCan't open file N_d.3d for writing !\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plan);
        putMesh(meshDir, mesh);
        const Snapshot before = snapshot(meshDir);
        RunResult r;
        EXPECT_EQ(runFailing({"-ms", "N"}, c.plan, r), std::string(c.plan) + "\n");
        EXPECT_EQ(r.out, head + c.message);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(snapshot(meshDir), before);
    }
}

TEST_F(FailingCalls, AFailingReadIsAReadErrorWhereverItFalls) {
    // 300 triangles: the table reaches past the stream's first 4 KiB, so
    // that reading it asks the system again.
    const Mesh mesh = packedMesh("R", 2, 40, 300);
    const Prediction p = predict(mesh, true);
    const std::string banner = "\nUnreal to Deus Ex mesh converter, v1.2\nWritten by Tolvane\n";
    const std::string frames = p.head.substr(0, p.head.find("\n  300 polygons"));
    const std::string animFailed = "\n\nProblem reading file R_a.3d !\n";
    const std::string dataFailed = "\n\nProblem reading file R_d.3d !\n";
    const struct {
        const char* plan;
        const char* what;
        std::string out;
    } cases[] = {
        {"fread:1", "animation header", banner + animFailed},
        {"fread:2", "data file counts", frames + dataFailed},
        {"fread:3", "triangle table", frames + dataFailed},
        {"fread:4", "vertices", p.head + animFailed},
    };
    for (const auto& c : cases) {
        for (const bool dry : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (dry ? ", dry run" : ""));
            putMesh(meshDir, mesh);
            const Snapshot before = snapshot(meshDir);
            std::vector<std::string> args = {"-ms", "R"};
            if (dry) {
                args.push_back("--dry-run");
            }
            RunResult r;
            EXPECT_EQ(runFailing(args, c.plan, r), std::string(c.plan) + "\n");
            EXPECT_EQ(r.out, c.out);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(snapshot(meshDir), before);
        }
    }
}

// A package script whose reading fails part way is left out whole, as one
// that cannot be opened is, and never taken for a shorter script: its first
// sequence (in the first read) and its last (past 64 KiB of comment, in a
// later read) come into the export together or not at all.
TEST_F(FailingCalls, APackageScriptThatFailsPartWayIsLeftOutWhole) {
    const fs::path models = meshDir / "Pkg" / "Models";
    fs::create_directories(models);
    fs::create_directories(meshDir / "Pkg" / "Classes");
    putMesh(models, packedMesh("P", 2, 6, 5));
    std::string script =
        "#exec MESH IMPORT MESH=P ANIVFILE=Models\\P_a.3d DATAFILE=Models\\P_d.3d\n"
        "#exec MESH SEQUENCE MESH=P SEQ=Walk STARTFRAME=0 NUMFRAMES=1\n";
    while (script.size() < 200000) {
        script += "// a comment that makes the script longer than one read of it\n";
    }
    script += "#exec MESH SEQUENCE MESH=P SEQ=Run STARTFRAME=1 NUMFRAMES=1\n";
    writeFile(meshDir / "Pkg" / "Classes" / "P.uc", Bytes(script.begin(), script.end()));
    const std::vector<std::string> args = {"--to-gltf", "--uc", "Pkg/Models/P"};
    int whole = 0;
    int leftOut = 0;
    for (int n = 1;; ++n) {
        const std::string plan = "fread:" + std::to_string(n);
        SCOPED_TRACE(plan);
        fs::remove(models / "P.glb");
        RunResult r;
        const bool injected = !runFailing(args, plan, r).empty();
        if (r.status != 0) {
            EXPECT_TRUE(injected) << r.out; // a read of the mesh's own files
            continue;
        }
        const Glb glb = readGlb(readFile(models / "P.glb"));
        ASSERT_EQ(glb.error, "");
        std::vector<std::string> clips;
        for (const auto& a : glb.json.value("animations", nlohmann::json::array())) {
            clips.push_back(a.value("name", ""));
        }
        const bool walk = std::find(clips.begin(), clips.end(), "Walk") != clips.end();
        const bool run = std::find(clips.begin(), clips.end(), "Run") != clips.end();
        EXPECT_EQ(walk, run);
        ++(walk ? whole : leftOut);
        if (!injected) {
            EXPECT_TRUE(walk && run);
            break;
        }
    }
    // Every read of the script, the first and the later ones, was made to fail.
    EXPECT_GE(leftOut, 3);
    EXPECT_GE(whole, 1);
}

TEST_F(FailingCalls, InterruptedCallsAreRetriedOrEndTheRunCleanly) {
    const Mesh mesh = packedMesh("E", 3, 40, 30);
    const std::vector<std::string> sigintIgnored = {"sh", "-c", "trap '' INT; exec \"$@\"", "sh"};
    const struct {
        const char* setting;
        bool ignoreSigint;
        bool converts; // else interrupted, with the folder as it was
    } cases[] = {
        // A write that a signal interrupted before it wrote anything is tried again.
        {"MESHFOLD_FAIL=write:1:EINTR", false, true},
        {"MESHFOLD_FAIL=write:2:EINTR", false, true},
        // Ctrl-C while the new file is being written removes it.
        {"MESHFOLD_INTERRUPT_AFTER=write:1", false, false},
        // A run started with SIGINT ignored (a background job) keeps ignoring it.
        {"MESHFOLD_INTERRUPT_AFTER=write:1", true, true},
        {"MESHFOLD_INTERRUPT_AFTER=rename:1", true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.setting) + (c.ignoreSigint ? ", SIGINT ignored" : ""));
        putMesh(meshDir, mesh);
        const Snapshot before = snapshot(meshDir);
        std::vector<std::string> wrapper = c.ignoreSigint ? sigintIgnored : std::vector<std::string>{};
        const std::vector<std::string> shim = withShim({c.setting});
        wrapper.insert(wrapper.end(), shim.begin(), shim.end());
        const RunResult r = runTool({"E"}, meshDir, wrapper);
        if (c.converts) {
            EXPECT_EQ(r.status, 0);
            EXPECT_FALSE(expectUnchangedOrConverted(meshDir, before, mesh, false, r));
        } else {
            EXPECT_EQ(r.status, -1); // ended by the signal
            EXPECT_EQ(snapshot(meshDir), before);
        }
    }
}

TEST_F(FailingCalls, AnInterruptedRunOfTexturedImportsLeavesNoFileBehind) {
    // 24 imports of seven new files each (more than fit the list of files an
    // interrupt removes, were the group counted in meshes): SIGINT after
    // every 24th flush, from the first, while the whole group's new files are
    // open, past the backups of its game files and the moves.
    const Snapshot alone = eachImportedAlone(scratch.dir / "alone", 24);
    int interrupts = 0;
    for (int n = 1;; n += 24) {
        SCOPED_TRACE("SIGINT after fsync " + std::to_string(n));
        fs::remove_all(meshDir);
        const std::vector<std::string> args = putTexturedImports(meshDir, 24);
        const RunResult r =
            runTool(args, meshDir, withShim({"MESHFOLD_INTERRUPT_AFTER=fsync:" + std::to_string(n)}));
        for (const auto& [name, bytes] : snapshot(meshDir)) {
            ASSERT_EQ(name.find(".meshfold-"), std::string::npos) << name << " left behind";
            ASSERT_TRUE(alone.count(name) == 1 && alone.at(name) == bytes) << name << " is not whole";
        }
        if (r.status == 0) {
            break;
        }
        ASSERT_EQ(r.status, -1) << r.out; // ended by the signal
        ++interrupts;
    }
    EXPECT_GT(interrupts, 8);
    std::printf("[ figures  ] %d interrupts of a run of 24 textured imports: nothing left behind\n",
                interrupts);
}

TEST_F(FailingCalls, AFailedPutBackKeepsTheOriginalAnimationFile) {
    // The data file cannot replace its original, and then the animation file
    // cannot be put back either: the new animation file stays, the old one is
    // kept beside it, never deleted, and so are the new data file, with which
    // the next run finishes the conversion, and the data file's backup.
    const Mesh mesh = packedMesh("P", 1, 8, 4);
    putMesh(meshDir, mesh);
    const Prediction p = predict(mesh, true);
    RunResult r;
    EXPECT_EQ(runFailing({"-ms", "P"}, "rename:2,rename:3", r), "rename:2\nrename:3\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.substr(r.out.size() - 35), "\n\nProblem writing to file P_d.3d !\n");
    EXPECT_EQ(readFile(meshDir / "P_d.3d"), mesh.data);
    const Snapshot after = snapshot(meshDir);
    bool kept = false;
    for (const auto& [name, bytes] : after) {
        kept = kept || bytes == mesh.anim;
    }
    EXPECT_TRUE(kept) << "the original animation file is gone";
    EXPECT_EQ(after.size(), 5u);

    const RunResult next = runTool({"-ms", "P"}, meshDir);
    EXPECT_EQ(next.out, p.head + "\n\nMesh file has already been converted !\n");
    EXPECT_EQ(snapshot(meshDir), (Snapshot{{"P_a.3d", p.anim}, {"P_d.3d", p.data}}));
}

// A file of the mesh changed by another program while the tool converts it:
// after the new files are flushed, or (-ms) between the two moves. Nothing of
// the mesh is replaced, and the changed file keeps its change.
TEST_F(FailingCalls, AFileChangedDuringTheRunIsNotReplaced) {
    const Mesh mesh = packedMesh("E", 1, 8, 4);
    const struct {
        const char* name;
        bool ms;
        const char* after;
        const char* file;
        const char* how;
    } cases[] = {
        {"animation file appended to", false, "fsync:1", "E_a.3d", "append"},
        {"animation file saved anew", false, "fsync:1", "E_a.3d", "replace"},
        {"data file appended to", true, "fsync:2", "E_d.3d", "append"},
        {"data file saved anew", true, "fsync:2", "E_d.3d", "replace"},
        {"data file changed between the moves", true, "rename:1", "E_d.3d", "append"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        putMesh(meshDir, mesh);
        const std::vector<std::string> args =
            c.ms ? std::vector<std::string>{"-ms", "E"} : std::vector<std::string>{"E"};
        const RunResult r = runTool(args, meshDir,
                                    withShim({std::string("MESHFOLD_CHANGE_AFTER=") + c.after,
                                              "MESHFOLD_CHANGE_FILE=" + (meshDir / c.file).string(),
                                              std::string("MESHFOLD_CHANGE_HOW=") + c.how}));
        EXPECT_EQ(r.out, predict(mesh, c.ms).head + "\n\nFile " + c.file +
                             " changed while it was being converted: nothing was replaced !\n");
        EXPECT_EQ(r.status, 1);
        Snapshot expected{{"E_a.3d", mesh.anim}, {"E_d.3d", mesh.data}};
        if (std::string(c.how) == "append") {
            expected[c.file].push_back('!');
        }
        EXPECT_EQ(snapshot(meshDir), expected);
    }
}

// Changes that keep part of the file's stamp, made while the run waits
// before its moves: the same size and time in a new file, a byte more under
// the old time, a byte overwritten within the same second. Each is noticed.
TEST_F(FailingCalls, AChangeThatKeepsPartOfTheStampIsNoticed) {
    const Mesh mesh = packedMesh("E", 1, 8, 4);
    ASSERT_NE(mesh.anim[5], 'X');
    const auto poked = [](const std::string& file) {
        return "printf X | dd of=" + file + " bs=1 seek=5 conv=notrunc 2>/dev/null";
    };
    Bytes pokedAnim = mesh.anim;
    pokedAnim[5] = 'X';
    Bytes longerAnim = mesh.anim;
    longerAnim.push_back('X');
    const struct {
        const char* name;
        std::string meanwhile;
        Bytes after;
    } cases[] = {
        {"another file of the same size and time",
         "cp E_a.3d new && " + poked("new") + " && touch -r E_a.3d new && mv new E_a.3d", pokedAnim},
        {"a byte more, the time put back",
         "touch -r E_a.3d ../time && printf X >>E_a.3d && touch -r ../time E_a.3d", longerAnim},
        {"a byte overwritten within the same second",
         poked("E_a.3d") + " && touch -d @1700000000.5 E_a.3d", pokedAnim},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        putMesh(meshDir, mesh);
        const timespec wholeSecond[2] = {{1700000000, 0}, {1700000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (meshDir / "E_a.3d").c_str(), wholeSecond, 0), 0);
        const RunResult r = runPausedWhile({"E"}, "fsync:1", c.meanwhile);
        EXPECT_EQ(r.out, predict(mesh, false).head +
                             "\n\nFile E_a.3d changed while it was being converted: nothing was "
                             "replaced !\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(snapshot(meshDir), (Snapshot{{"E_a.3d", c.after}, {"E_d.3d", mesh.data}}));
    }
}

// Two runs on one -ms mesh: the first, paused at its first move, holds the
// mesh until both moves are done; the second, started meanwhile, waits for
// it, finds the files changed and replaces nothing. The mesh ends converted.
TEST_F(FailingCalls, TheCommitLockIsHeldThroughBothMoves) {
    const Mesh mesh = packedMesh("L", 1, 8, 4);
    putMesh(meshDir, mesh);
    const fs::path second = scratch.dir / "second";
    // The second run is given a second to end on its own, which it can only
    // if the first does not hold the mesh.
    const RunResult r = runPausedWhile(
        {"-ms", "L"}, "rename:1",
        "\"$@\" >'" + second.string() + "' 2>/dev/null & b=$!; i=0; while [ $i -lt 50 ] && kill -0 "
        "$b 2>/dev/null; do sleep 0.02; i=$((i+1)); done");
    const Prediction p = predict(mesh, true);
    EXPECT_EQ(r.out, p.out);
    EXPECT_EQ(r.status, 0);
    const Bytes out = readFile(second);
    EXPECT_EQ(std::string(out.begin(), out.end()),
              p.head + "\n\nFile L_a.3d changed while it was being converted: nothing was replaced !\n");
    EXPECT_EQ(snapshot(meshDir), (Snapshot{{"L_a.3d", p.anim}, {"L_d.3d", p.data}}));
}

// The moves of the new files are made durable: each folder in which a name
// changed is flushed after its last move, and with -ms the backup and the
// new files are on disk, folder entries included, before the first move.
TEST_F(FailingCalls, EveryFolderWithAMovedFileIsFlushed) {
    const Mesh mesh = packedMesh("S", 1, 8, 4);
    fs::create_directories(scratch.dir / "other");
    const std::string meshFolder = fs::canonical(meshDir).string();
    const std::string otherFolder = fs::canonical(scratch.dir / "other").string();
    for (bool ms : {false, true}) {
        SCOPED_TRACE(ms ? "-ms" : "plain");
        putMesh(meshDir, mesh);
        fs::remove(meshDir / "S_d.3d");
        writeFile(scratch.dir / "other" / "S_d.3d", mesh.data);
        fs::create_symlink("../other/S_d.3d", meshDir / "S_d.3d");
        const fs::path trace = scratch.dir / "trace";
        fs::remove(trace);
        const std::vector<std::string> args =
            ms ? std::vector<std::string>{"-ms", "S"} : std::vector<std::string>{"S"};
        ASSERT_EQ(runTool(args, meshDir, withShim({"MESHFOLD_TRACE=" + trace.string()})).status, 0);
        std::ifstream in(trace);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        // For each folder: where its last move was, and its flushes.
        const auto lastIndex = [&](const std::string& start) {
            std::ptrdiff_t at = -1;
            for (std::size_t i = 0; i < lines.size(); ++i) {
                at = lines[i].rfind(start, 0) == 0 ? static_cast<std::ptrdiff_t>(i) : at;
            }
            return at;
        };
        const std::ptrdiff_t animMove = lastIndex("rename " + meshFolder + "/S_a.3d.");
        ASSERT_GE(animMove, 0);
        EXPECT_GT(lastIndex("fsyncdir " + meshFolder), animMove);
        if (ms) {
            const std::ptrdiff_t dataMove = lastIndex("rename " + otherFolder + "/S_d.3d.");
            ASSERT_GE(dataMove, 0);
            EXPECT_GT(lastIndex("fsyncdir " + otherFolder), dataMove);
            // Before the first move: both folders flushed after the backup was made.
            const std::ptrdiff_t backup = lastIndex("link ");
            int before = 0;
            for (std::ptrdiff_t i = backup; i >= 0 && i < animMove; ++i) {
                before += lines[static_cast<std::size_t>(i)].rfind("fsyncdir ", 0) == 0;
            }
            EXPECT_EQ(before, 2);
        }
        fs::remove(meshDir / "S_d.3d");
    }
}

// A backup made by copying (the file system refuses the hard link) is
// flushed to disk before the first move.
TEST_F(FailingCalls, ABackupCopyIsFlushedBeforeTheFirstMove) {
    const Mesh mesh = packedMesh("B", 1, 8, 4);
    putMesh(meshDir, mesh);
    const fs::path trace = scratch.dir / "trace";
    std::vector<std::string> shim = failingCalls("link:1", scratch.dir / "faults.log");
    shim.push_back("MESHFOLD_TRACE=" + trace.string());
    ASSERT_EQ(runTool({"-ms", "B"}, meshDir, shim).status, 0);
    std::ifstream in(trace);
    bool flushed = false;
    for (std::string line; std::getline(in, line) && line.rfind("rename ", 0) != 0;) {
        flushed = flushed || (line.rfind("fsync ", 0) == 0 && endsWith(line, ".bak"));
    }
    EXPECT_TRUE(flushed);
}

// SIGINT right after the animation file is moved into place: the interrupt
// waits until the data file is in place too, then ends the run.
TEST_F(FailingCalls, AnInterruptBetweenTheTwoMovesWaitsForTheSecond) {
    const Mesh mesh = packedMesh("I", 1, 8, 4);
    putMesh(meshDir, mesh);
    const RunResult r = runTool({"-ms", "I"}, meshDir, withShim({"MESHFOLD_INTERRUPT_AFTER=rename:1"}));
    EXPECT_EQ(r.status, -1);
    const Prediction p = predict(mesh, true);
    EXPECT_EQ(snapshot(meshDir), (Snapshot{{"I_a.3d", p.anim}, {"I_d.3d", p.data}}));
}

#endif

} // namespace
} // namespace meshfold::test

namespace meshfold::test {
namespace {

// A mesh made from a glTF file, over an existing mesh and as new files, with
// each call failing in turn: the run either fails and leaves the folder as
// it was, or succeeds with both new files (and the script) and nothing else.
TEST_F(FailingCalls, AGltfImportWithAFailingCallLeavesTheFolderOrFinishes) {
    const Bytes glb = readFile(sourceDir() / "tests" / "data" / "gltf" / "skinned.glb");
    const std::vector<std::string> args = {"--uc", "G.glb"};
    // What an undisturbed run makes.
    writeFile(meshDir / "G.glb", glb);
    ASSERT_EQ(runTool(args, meshDir).status, 0);
    const Snapshot made = snapshot(meshDir);
    const Mesh old = packedMesh("G", 2, 6, 5, 9);
    int injected = 0;
    int failed = 0;
    int scriptOnly = 0;
    for (const bool fresh : {true, false}) {
        for (const char* call : {"open", "write", "fsync", "close", "rename", "link", "fchmod", "unlink", "flock"}) {
            for (int n = 1;; ++n) {
                const std::string plan = std::string(call) + ":" + std::to_string(n);
                SCOPED_TRACE(plan + (fresh ? ", new files" : ", over a mesh"));
                fs::remove_all(meshDir);
                fs::create_directories(meshDir);
                writeFile(meshDir / "G.glb", glb);
                if (!fresh) {
                    putMesh(meshDir, old);
                }
                const Snapshot before = snapshot(meshDir);
                RunResult r;
                if (runFailing(args, plan, r).empty()) {
                    EXPECT_EQ(r.status, 0) << r.out;
                    break;
                }
                ++injected;
                const Snapshot after = snapshot(meshDir);
                if (r.status != 0 && after != before) {
                    // Past the game files' move, only the script's own move
                    // can fail: the game files are new, the script is not,
                    // and the message names the script.
                    ++scriptOnly;
                    EXPECT_NE(r.out.find("G.uc"), std::string::npos) << r.out;
                    Snapshot expected = made;
                    expected.erase("G.uc");
                    if (before.count("G.uc") != 0) {
                        expected["G.uc"] = before.at("G.uc");
                    }
                    EXPECT_EQ(after, expected) << r.out;
                } else if (r.status != 0) {
                    ++failed;
                } else if (std::string(call) != "unlink") {
                    EXPECT_EQ(snapshot(meshDir), made) << r.out;
                }
                ASSERT_LT(n, 60) << "more calls than a run makes";
            }
        }
    }
    EXPECT_GT(failed, 10);
    EXPECT_LE(scriptOnly, 4);
    std::printf("[ figures  ] glTF import: %d call failures injected, %d stopped the run with every file as "
                "it was, %d after the game files moved with the script alone not moved\n",
                injected, failed, scriptOnly);
}


#ifndef _WIN32

// A compiled package taken apart with each call failing in turn, into an
// empty folder and into one that holds some of its files already: every
// file of the package folder is whole or absent, the script never before
// the rest, and nothing is left beside them but what the next run, which
// then finishes the folder, removes (a temporary file whose name could not
// be removed once linked into place).
TEST_F(FailingCalls, APackageWithAFailingCallLeavesEachFileWholeOrAbsent) {
    const Bytes package = package::test::smallPackage(2);
    writeFile(meshDir / "Pkg.u", package);
    ASSERT_EQ(runTool({"Pkg.u"}, meshDir).status, 0);
    const Snapshot made = treeOf(meshDir / "Pkg");
    const std::string script = "Classes/Pkg.uc";
    int injected = 0;
    int failed = 0;
    for (const bool fresh : {true, false}) {
        for (const char* call : {"open", "write", "fsync", "close", "rename", "link", "fchmod", "unlink", "flock"}) {
            for (int n = 1;; ++n) {
                const std::string plan = std::string(call) + ":" + std::to_string(n);
                const std::string when = plan + (fresh ? ", new folder" : ", half of it there");
                fs::remove_all(meshDir / "Pkg");
                if (!fresh) {
                    for (const char* f : {"Textures/Skin.pcx", "Models/Thing_d.3d"}) {
                        fs::create_directories((meshDir / "Pkg" / f).parent_path());
                        writeFile(meshDir / "Pkg" / f, made.at(f));
                    }
                }
                RunResult r;
                if (runFailing({"Pkg.u"}, plan, r).empty()) {
                    EXPECT_EQ(r.status, 0) << r.out;
                    break;
                }
                ++injected;
                failed += r.status != 0 ? 1 : 0;
                expectPackageFilesWholeOrAbsent(treeOf(meshDir / "Pkg"), made, script, std::string(call) == "unlink",
                                                when);
                EXPECT_EQ(readFile(meshDir / "Pkg.u"), package) << when;
                const RunResult next = runTool({"Pkg.u"}, meshDir);
                EXPECT_EQ(next.status, 0) << when << next.out << next.err;
                EXPECT_EQ(treeOf(meshDir / "Pkg"), made) << when;
                ASSERT_LT(n, 80) << "more calls than a run makes";
                if (HasFailure()) {
                    return;
                }
            }
        }
    }
    EXPECT_GT(failed, 10);
    std::printf("[ figures  ] a package taken apart: %d call failures injected, %d stopped the run, each file"
                " whole or absent, the next run finished every one\n",
                injected, failed);
}

// A package on a disk that fills up part way: the files that fit are whole,
// the rest absent with nothing left beside them, the package says it is not
// whole, and with room again the same run finishes it.
TEST_F(Faults, APackageOnAFullDiskIsWholeOnceThereIsRoom) {
    needRoot();
    const Bytes package = package::test::smallPackage(40);
    Snapshot made;
    {
        Scratch clean;
        writeFile(clean.dir / "Pkg.u", package);
        ASSERT_EQ(runTool({"Pkg.u"}, clean.dir).status, 0);
        made = treeOf(clean.dir / "Pkg");
    }
    for (const std::uintmax_t pages : {std::uintmax_t{0}, std::uintmax_t{4}, std::uintmax_t{20}}) {
        const std::string when = std::to_string(pages) + " pages free";
        SmallDisk disk(scratch.dir / "disk", "size=2m");
        if (!disk.mounted()) {
            GTEST_SKIP() << "tmpfs cannot be mounted here";
        }
        writeFile(disk.dir() / "Pkg.u", package);
        ASSERT_TRUE(disk.leaveFree(pages * kPage)) << disk.freeBytes();
        const RunResult r = runTool({"Pkg.u"}, disk.dir());
        EXPECT_EQ(r.status, 1) << when;
        EXPECT_NE(r.out.find("\n\nProblem writing to file "), std::string::npos) << when << r.out;
        EXPECT_TRUE(endsWith(r.out, "\n\nPackage Pkg.u was not extracted whole: the files whose failures are"
                                    " above are missing; run meshfold on it again !\n"))
            << when << r.out;
        expectPackageFilesWholeOrAbsent(treeOf(disk.dir() / "Pkg"), made, "Classes/Pkg.uc", false, when);
        fs::remove(disk.dir() / kFillerName);
        const RunResult again = runTool({"Pkg.u"}, disk.dir());
        EXPECT_EQ(again.status, 0) << when << again.out;
        EXPECT_EQ(treeOf(disk.dir() / "Pkg"), made) << when;
    }
}

#endif

// The textures of a mesh made from a glTF file are moved into place before
// its game files: a texture whose move fails fails the mesh while both game
// files (and the script) are still as they were.
TEST_F(FailingCalls, ATextureThatCannotBeMovedLeavesTheGameFilesAsTheyWere) {
    const std::vector<std::string> args = {"--uc", "G.gltf"};
    const Mesh old = packedMesh("G", 2, 6, 5, 9);
    const auto fresh = [&] {
        fs::remove_all(meshDir);
        fs::create_directories(meshDir);
        putTexturedGltf(meshDir, "G", 2, 3);
        putMesh(meshDir, old);
    };
    // Which renames move the textures into place, from a traced run.
    fresh();
    const fs::path trace = scratch.dir / "trace.log";
    ASSERT_EQ(runTool(args, meshDir, withShim({"MESHFOLD_TRACE=" + trace.string()})).status, 0);
    std::vector<int> textureRenames;
    std::ifstream in(trace);
    int renames = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("rename ", 0) == 0) {
            ++renames;
            if (line.size() > 4 && line.compare(line.size() - 4, 4, ".pcx") == 0) {
                textureRenames.push_back(renames);
            }
        }
    }
    ASSERT_EQ(textureRenames.size(), 2u);
    for (const int n : textureRenames) {
        SCOPED_TRACE("rename " + std::to_string(n) + " fails");
        fresh();
        const Snapshot before = snapshot(meshDir);
        RunResult r;
        ASSERT_NE(runFailing(args, "rename:" + std::to_string(n), r), "");
        EXPECT_EQ(r.status, 1) << r.out;
        EXPECT_NE(r.out.find("GTex"), std::string::npos) << r.out; // the message names the texture
        const Snapshot after = snapshot(meshDir);
        EXPECT_EQ(after.at("G_a.3d"), old.anim);
        EXPECT_EQ(after.at("G_d.3d"), old.data);
        EXPECT_EQ(after.count("G.uc"), 0u);
        for (const auto& [name, bytes] : after) {
            EXPECT_EQ(name.find(".meshfold-"), std::string::npos) << name << " left behind";
            EXPECT_TRUE(before.count(name) == 1 || name.find("GTex") == 0) << name;
        }
    }
}

} // namespace
} // namespace meshfold::test
