// What only the Windows build can get wrong, checked on meshfold.exe under
// Wine: binary file access (bytes 0x0A, 0x0D and 0x1A are what a text-mode
// stream would translate or stop at), the text-mode console output, names
// outside the ANSI code page, the read-only attribute, files held open by
// another program, and replacement by a move.
//
// Every conversion is run twice, by meshfold.exe and by the native build on
// an identical copy of the folder; exit status, standard output (CR LF mapped
// to LF) and every file's bytes must be the same.
//
// Environment: MESHFOLD_EXE (meshfold.exe), MESHFOLD_RUNNER (e.g. "wine";
// WINEPREFIX and WINEDEBUG as the caller sets them), MESHFOLD_HOLD_EXE (the
// hold_open.exe helper; default beside MESHFOLD_EXE in tests/windows/).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;
using Folder = std::map<std::string, Bytes>; // file name -> content

std::string env(const char* name) {
    const char* v = std::getenv(name);
    return v == nullptr ? std::string() : std::string(v);
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

Bytes readFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& p, const Bytes& b) {
    std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(b.data()),
                                             static_cast<std::streamsize>(b.size()));
}

// Every file under `dir`, by its path relative to `dir`.
Folder snapshot(const fs::path& dir) {
    Folder f;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file() && e.path().filename() != "stdout.txt") {
            f[fs::relative(e.path(), dir).string()] = readFile(e.path());
        }
    }
    return f;
}

// The last message printed: from the last blank line on.
std::string lastMessage(const std::string& out) {
    const std::size_t at = out.rfind("\n\n");
    return at == std::string::npos ? out : out.substr(at);
}

struct Result {
    int status = -1;
    std::string out;
};

// Long enough for a first Wine start; a hang must not stall the whole run.
constexpr const char* kTimeout = "120";

// Runs `command` in `dir` with standard output into a file (a pipe could be
// kept open by a lingering wineserver) and standard error dropped.
Result runIn(const fs::path& dir, const std::vector<std::string>& command) {
    std::vector<std::string> argv = {"timeout", "--kill-after=10", kTimeout};
    argv.insert(argv.end(), command.begin(), command.end());
    const fs::path outFile = dir / "stdout.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) {
            _exit(127);
        }
        const int out = open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(out, 1);
        dup2(null, 2);
        std::vector<char*> args;
        for (const std::string& a : argv) {
            args.push_back(const_cast<char*>(a.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    Result r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    const Bytes out = readFile(outFile);
    r.out.assign(out.begin(), out.end());
    fs::remove(outFile);
    return r;
}

// A Windows console program's output: every LF must come as CR LF, and no CR
// may stand anywhere else. Returns the text with CR LF mapped to LF.
std::string fromTextMode(const std::string& raw) {
    std::string text;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] == '\r') {
            EXPECT_TRUE(i + 1 < raw.size() && raw[i + 1] == '\n') << "lone CR at " << i;
            continue;
        }
        if (raw[i] == '\n') {
            EXPECT_TRUE(i > 0 && raw[i - 1] == '\r') << "bare LF at " << i;
        }
        text += raw[i];
    }
    return text;
}

// "Z:\..." for a Unix path: how Wine's default drive shows it to a program.
std::string windowsPath(const fs::path& p) {
    std::string s = "Z:" + fs::absolute(p).string();
    for (char& c : s) {
        c = c == '/' ? '\\' : c;
    }
    return s;
}

class WineTest : public ::testing::Test {
protected:
    void SetUp() override {
        exe_ = env("MESHFOLD_EXE");
        runner_ = words(env("MESHFOLD_RUNNER"));
        if (exe_.empty() || fs::path(exe_).extension() != ".exe" || !fs::exists(exe_)) {
            GTEST_SKIP() << "MESHFOLD_EXE does not name meshfold.exe (run: bash tools/test.sh)";
        }
        hold_ = env("MESHFOLD_HOLD_EXE");
        if (hold_.empty()) {
            hold_ = (fs::path(exe_).parent_path() / "tests/windows/hold_open.exe").string();
        }
        char pattern[] = "/tmp/meshfold-wine-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
    }
    void TearDown() override {
        if (!root_.empty()) {
            fs::remove_all(root_);
        }
    }

    // A fresh folder holding `files`.
    fs::path folder(const std::string& name, const Folder& files) {
        const fs::path dir = root_ / name;
        fs::create_directories(dir);
        for (const auto& [file, bytes] : files) {
            fs::create_directories((dir / file).parent_path());
            writeFile(dir / file, bytes);
        }
        return dir;
    }

    std::vector<std::string> windowsCommand(const std::vector<std::string>& args) {
        std::vector<std::string> argv = runner_;
        argv.push_back(exe_);
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

    Result runWindows(const fs::path& dir, const std::vector<std::string>& args) {
        Result r = runIn(dir, windowsCommand(args));
        r.out = fromTextMode(r.out);
        return r;
    }

    // Runs meshfold.exe with `args` while hold_open.exe holds `file` with
    // `share` (see hold_open.cpp).
    Result runHolding(const fs::path& dir, const std::string& share, const std::string& file,
                      const std::vector<std::string>& args) {
        std::vector<std::string> argv = runner_;
        argv.insert(argv.end(), {hold_, share, file, windowsPath(exe_)});
        argv.insert(argv.end(), args.begin(), args.end());
        Result r = runIn(dir, argv);
        r.out = fromTextMode(r.out);
        return r;
    }

    // Runs both builds on copies of `files`; they must agree on everything.
    // Returns the Windows build's result and leaves its folder in `dir`.
    Result expectSameAsNative(const std::string& name, const Folder& files,
                              const std::vector<std::string>& args, fs::path* dir = nullptr) {
        const fs::path nativeDir = folder(name + "-native", files);
        const fs::path windowsDir = folder(name + "-windows", files);
        std::vector<std::string> native{MESHFOLD_NATIVE_EXE};
        native.insert(native.end(), args.begin(), args.end());
        const Result n = runIn(nativeDir, native);
        const Result w = runWindows(windowsDir, args);
        EXPECT_EQ(w.status, n.status) << name;
        EXPECT_EQ(w.out, n.out) << name;
        EXPECT_EQ(snapshot(windowsDir), snapshot(nativeDir)) << name;
        if (dir != nullptr) {
            *dir = windowsDir;
        }
        return w;
    }

    std::string exe_;
    std::string hold_;
    std::vector<std::string> runner_;
    fs::path root_;
};

// --- meshes full of the bytes a text-mode stream would change ---------------

void put16(Bytes& b, std::uint16_t v) {
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}

// Cycles through LF, CR, Ctrl-Z and CR LF pairs.
std::uint8_t controlByte(std::size_t i) {
    static const std::uint8_t kBytes[] = {0x0A, 0x0D, 0x1A, 0x0D, 0x0A, 0x1A, 0x1A, 0x0A};
    return kBytes[i % sizeof kBytes];
}

Bytes animFile(std::uint16_t frames, std::uint16_t frameSize, std::size_t wordCount,
               std::size_t trailing) {
    Bytes b;
    put16(b, frames);
    put16(b, frameSize);
    for (std::size_t i = 0; i < 4 * wordCount + trailing; ++i) {
        b.push_back(controlByte(i * 7 + i / 5));
    }
    return b;
}

Bytes dataFile(std::uint16_t polygons, std::uint16_t vertices, std::size_t trailing) {
    Bytes b;
    put16(b, polygons);
    put16(b, vertices);
    for (std::size_t i = 0; i < 44 + 16 * std::size_t{polygons} + trailing; ++i) {
        b.push_back(controlByte(i * 3 + i / 7));
    }
    return b;
}

Folder mesh(const std::string& base, const Bytes& anim, const Bytes& data) {
    return {{base + "_a.3d", anim}, {base + "_d.3d", data}};
}

TEST_F(WineTest, ControlBytesPassUnchangedInEveryMode) {
    // Counts whose own bytes are CR, LF and Ctrl-Z: 2573 frames (0D 0A),
    // frame size 6669 (0D 1A), 2586 polygons (1A 0A), 1667 vertices.
    const Folder small = mesh("ctl", animFile(4, 8, 8, 3), dataFile(3, 2, 5));
    const Folder counts = mesh("cnt", animFile(0x0A0D, 0x1A0D, 300, 2), dataFile(0x0A1A, 1667, 0));
    // Frames of 13 bytes (0D) for 2 vertices: 5 bytes of each are left out.
    const Folder spare = mesh("spare", animFile(3, 0x0D, 9, 3), dataFile(1, 2, 0));
    const std::vector<std::vector<std::string>> modes = {{}, {"-ms"}, {"-h"}, {"-MS", "-H"}};
    int n = 0;
    for (const auto& mode : modes) {
        for (const auto& [base, files] :
             {std::pair{"ctl", small}, std::pair{"cnt", counts}, std::pair{"spare", spare}}) {
            std::vector<std::string> args = mode;
            args.push_back(base);
            const Result r = expectSameAsNative("mode" + std::to_string(n++), files, args);
            EXPECT_EQ(r.status, 0);
            EXPECT_NE(r.out.find("*** Conversion complete ***"), std::string::npos);
            EXPECT_EQ(r.out.find("\n  5 unused bytes per frame left out\n") != std::string::npos,
                      base == std::string("spare"))
                << r.out;
        }
    }
}

// The file with the fourth 16-bit word of its first `slots` 8-byte vertices
// 0, as a converter writes it.
Bytes zeroFourthWords(Bytes anim, std::size_t slots) {
    for (std::size_t i = 0; i < slots; ++i) {
        anim[4 + 8 * i + 6] = 0;
        anim[4 + 8 * i + 7] = 0;
    }
    return anim;
}

TEST_F(WineTest, TextModeReadsWouldStopEarly) {
    struct Case {
        const char* name;
        Bytes anim;
        Bytes data;
        std::vector<std::string> args;
        int status;
    };
    Bytes ctrlzSize = {0x01, 0x00, 0x1A, 0x00}; // frame size 26: a text read ends at 0x1A
    for (int i = 0; i < 26; ++i) {
        ctrlzSize.push_back(controlByte(static_cast<std::size_t>(i)));
    }
    Bytes crlfCount = {0x0D, 0x0A}; // frame count 2573 alone: a text read gives one byte
    Bytes shortData = dataFile(2, 2, 0);
    shortData.pop_back(); // -ms needs every triangle byte
    const std::vector<Case> cases = {
        {"ctrlz-frame-size", ctrlzSize, dataFile(1, 6, 0), {"m"}, 0},
        {"crlf-frame-count-only", crlfCount, dataFile(1, 1, 0), {"m"}, 1},
        {"one-ctrlz-byte", {0x1A}, dataFile(1, 1, 0), {"m"}, 1},
        {"already-converted", zeroFourthWords(animFile(2, 16, 4, 0), 2), dataFile(1, 2, 0), {"m"}, 1},
        // Read as 8-byte vertices, the first frame has no zero fourth word.
        {"room-to-spare", animFile(2, 16, 4, 0), dataFile(1, 2, 0), {"m"}, 0},
        {"unknown-format", animFile(1, 0x0D0A, 2, 0), dataFile(1, 0x1A, 0), {"m"}, 1},
        {"short-triangles", animFile(1, 8, 2, 0), shortData, {"-ms", "m"}, 1},
        {"polygons-zero", animFile(1, 8, 2, 0), {0, 0, 0x0A, 0x0D}, {"m"}, 1},
    };
    for (const Case& c : cases) {
        const Result r = expectSameAsNative(c.name, mesh("m", c.anim, c.data), c.args);
        EXPECT_EQ(r.status, c.status) << c.name;
    }
    // A trailing partial word of CR LF Ctrl-Z is dropped the same way.
    expectSameAsNative("trailing", mesh("m", animFile(1, 8, 2, 3), dataFile(1, 2, 9)), {"m"});
}

TEST_F(WineTest, SecondRunSaysAlreadyConverted) {
    fs::path dir;
    expectSameAsNative("first", mesh("m", animFile(3, 16, 12, 0), dataFile(2, 4, 0)), {"-ms", "m"},
                       &dir);
    const Folder converted = snapshot(dir);
    const Result again = runWindows(dir, {"-ms", "m"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.out.find("\n\nMesh file has already been converted !\n"), std::string::npos);
    EXPECT_EQ(snapshot(dir), converted);
}

// Converted and taken back with the same switches, a mesh full of control
// bytes comes back byte for byte (hi-res keeps every bit), exactly as the
// native build takes it back; taking it back twice is refused.
TEST_F(WineTest, ToUnrealGivesTheMeshBack) {
    const Bytes anim = animFile(3, 16, 12, 0);
    const Bytes data = dataFile(2, 4, 0);
    fs::path dir;
    expectSameAsNative("forward", mesh("m", anim, data), {"-ms", "-h", "m"}, &dir);
    const Result back =
        expectSameAsNative("back", snapshot(dir), {"--to-unreal", "-MS", "-H", "m"}, &dir);
    EXPECT_EQ(back.status, 0);
    EXPECT_NE(back.out.find("\nConverting m_a.3d back to the Unreal form...\n"), std::string::npos);
    const Folder result = snapshot(dir);
    EXPECT_EQ(result.at("m_a.3d"), anim);
    // -ms twice: every triangle as it was, after a header tail of zeros.
    const Bytes& table = result.at("m_d.3d");
    ASSERT_EQ(table.size(), data.size());
    EXPECT_TRUE(std::equal(table.begin() + 48, table.end(), data.begin() + 48));
    const Result again = runWindows(dir, {"--to-unreal", "-ms", "-h", "m"});
    EXPECT_EQ(again.status, 1);
    EXPECT_NE(again.out.find("\n\nMesh file is already in the Unreal form !\n"), std::string::npos);
    EXPECT_EQ(snapshot(dir), result);
}

// glTF files made by Blender's exporter and a .gltf with its skins, morphs
// and keys in a data: URI: the Windows build reads the same files and
// writes the same bytes, in either form, with the import script.
TEST_F(WineTest, GltfFilesBecomeTheSameMeshes) {
    const fs::path src = MESHFOLD_SOURCE_DIR;
    const Folder files = {{"skinned.glb", readFile(src / "tests/data/gltf/skinned.glb")},
                          {"Keys.GLB", readFile(src / "tests/data/gltf/shapekeys.glb")},
                          {"seed.gltf", readFile(src / "fuzz/seed.gltf")},
                          {"textured.glb", readFile(src / "tests/data/gltf/textured.glb")}};
    fs::path dir;
    // The textures too: resized in floats and quantised in integers, the
    // same .pcx bytes on both systems.
    const Result deusEx =
        expectSameAsNative("gltf", files, {"--uc", "skinned.glb", "Keys.GLB", "seed.gltf", "textured.glb"}, &dir);
    EXPECT_EQ(deusEx.status, 0) << deusEx.out;
    EXPECT_EQ(snapshot(dir).count("skinned.uc"), 1u);
    EXPECT_EQ(snapshot(dir).count("texturedTex3.pcx"), 1u);
    const Result unreal =
        expectSameAsNative("gltf-unreal", files, {"--to-unreal", "--fit", "--fps", "24", "skinned.glb", "Keys.GLB"});
    EXPECT_EQ(unreal.status, 0) << unreal.out;
}

// --to-gltf writes the same bytes on both systems: a mesh of control bytes
// (whose triangles name vertices it does not have, with bytes after them),
// and real meshes of both forms, frames with room to spare among them. An
// existing .glb is replaced, and a killed export's leftover removed.
TEST_F(WineTest, GltfExportIsByteForByteTheNativeOne) {
    Folder files = mesh("m", animFile(3, 16, 12, 0), dataFile(2, 4, 3));
    files["m.glb"] = Bytes{'o', 'l', 'd'};
    files["m.glb.meshfold-0123abcd.tmp"] = Bytes(10, 0);
    const fs::path corpus = MESHFOLD_CORPUS_DIR;
    for (const char* name : {"box", "telepo", "C4", "Boss", "redbull"}) {
        for (const char* suffix : {"_a.3d", "_d.3d"}) {
            const fs::path p = corpus / (std::string(name) + suffix);
            if (fs::exists(p)) {
                files[p.filename().string()] = readFile(p);
            }
        }
    }
    std::vector<std::string> args = {"--to-gltf", "--fps", "25"};
    for (const auto& [name, bytes] : files) {
        if (name.ends_with("_a.3d")) {
            args.push_back(name.substr(0, name.size() - 5));
        }
    }
    fs::path dir;
    const Result r = expectSameAsNative("gltf", files, args, &dir);
    EXPECT_EQ(r.status, 0) << r.out;
    const Folder result = snapshot(dir);
    EXPECT_EQ(result.count("m.glb.meshfold-0123abcd.tmp"), 0u);
    ASSERT_EQ(result.count("m.glb"), 1u);
    EXPECT_GT(result.at("m.glb").size(), 1000u);
    for (const auto& [name, bytes] : files) {
        if (name.ends_with(".3d")) {
            EXPECT_EQ(result.at(name), bytes) << name;
        }
    }
}

// --to-gltf --uc finds a package's import lines and texture files the same
// way on both systems (paths in the scripts in another case, with `\\`), and
// embeds the same PNG bytes: real packages, copied whole.
TEST_F(WineTest, TexturedGltfExportIsByteForByteTheNativeOne) {
    const fs::path packages = MESHFOLD_PACKAGES_DIR;
    if (!fs::is_directory(packages)) {
        GTEST_SKIP() << "no packages at " << packages;
    }
    Folder files;
    for (const char* package : {"deusexhq_partystuff/PGAssets", "scraphammer_trashbag/trashbag"}) {
        for (const auto& e : fs::recursive_directory_iterator(packages / package)) {
            if (e.is_regular_file()) {
                files[fs::relative(e.path(), packages).string()] = readFile(e.path());
            }
        }
    }
    fs::path dir;
    const Result r = expectSameAsNative(
        "gltf-textures", files,
        {"--to-gltf", "--uc", "deusexhq_partystuff/PGAssets/Models/WEAP_x7PR_pov",
         "deusexhq_partystuff/PGAssets/Models/FLBasketball", "scraphammer_trashbag/trashbag/Models/Hamburger01"},
        &dir);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Texture slot 7: JBBun2 (MODELS\\burgerbunbottom.PCX, 128 x 128)"), std::string::npos)
        << r.out;
    const Folder result = snapshot(dir);
    ASSERT_EQ(result.count("scraphammer_trashbag/trashbag/Models/Hamburger01.glb"), 1u);
    EXPECT_GT(result.at("scraphammer_trashbag/trashbag/Models/Hamburger01.glb").size(), 50000u); // 15 KB without textures
}

// Compiled packages taken apart on Windows: the same folders, byte for byte, as the native
// build makes (the Deus Ex package's 53 meshes and 161 textures, a UT99 mesh into the Deus Ex
// form, the script's lines with their `\\` paths), the same second run that finds every file
// there already, and the same exports straight from the packages.
TEST_F(WineTest, APackageTakenApartIsByteForByteTheNativeOne) {
    const fs::path ue1 = MESHFOLD_CORPUS_UE1_DIR;
    if (!fs::is_directory(ue1)) {
        GTEST_SKIP() << "no packages at " << ue1;
    }
    Folder files = {{"Endemia.u", readFile(ue1 / "deusexhq_partystuff/System/Endemia.u")},
                    {"System/HeadHunter.u", readFile(ue1 / "1337GameDev_Ut99Mods/System/HeadHunter.u")}};
    fs::path dir;
    const Result r = expectSameAsNative("package", files, {"Endemia.u", "System/HeadHunter.u"}, &dir);
    EXPECT_EQ(r.status, 0) << r.out;
    const Folder result = snapshot(dir);
    EXPECT_EQ(result.count("Endemia/Models/Barrel2_a.3d"), 1u);
    EXPECT_EQ(result.count("System/HeadHunter/Classes/HeadHunter.uc"), 1u);
    for (const auto& [name, bytes] : result) {
        files[name] = bytes;
    }
    const Result again = expectSameAsNative("package-again", files, {"Endemia.u", "System/HeadHunter.u"});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_NE(again.out.find("(there already, the same)"), std::string::npos);
    const Result gltf = expectSameAsNative("package-gltf", {{"Endemia.u", files.at("Endemia.u")}},
                                           {"--to-gltf", "Endemia.u"});
    EXPECT_EQ(gltf.status, 0) << gltf.out;
}

// --- what a run cut short leaves ----------------------------------------------

// Every state a killed -ms run can leave beside a mesh (tag 0123abcd), laid
// out by hand: the next run of the Windows build finishes or undoes it just
// as the native one does, and leaves nothing behind (or, for leftovers that
// do not match the mesh, refuses and changes nothing).
TEST_F(WineTest, TheNextRunFinishesWhatAKilledRunLeft) {
    const Folder original = mesh("m", animFile(3, 16, 12, 0), dataFile(2, 4, 0));
    fs::path done;
    expectSameAsNative("converted", original, {"-ms", "m"}, &done);
    const Bytes& o = original.at("m_a.3d");
    const Bytes& d = original.at("m_d.3d");
    const Bytes a = readFile(done / "m_a.3d");
    const Bytes dd = readFile(done / "m_d.3d");
    const Bytes partial(a.begin(), a.begin() + 3);
    const std::string at = "m_a.3d.meshfold-0123abcd.tmp";
    const std::string ab = "m_a.3d.meshfold-0123abcd.bak";
    const std::string dt = "m_d.3d.meshfold-0123abcd.tmp";
    const std::string db = "m_d.3d.meshfold-0123abcd.bak";
    const struct {
        const char* name;
        Folder files;
        std::vector<std::string> args;
        std::size_t filesAfter;
    } cases[] = {
        {"killed while writing", {{"m_a.3d", o}, {"m_d.3d", d}, {at, partial}}, {"-ms", "m"}, 2},
        {"killed before the first move", {{"m_a.3d", o}, {"m_d.3d", d}, {at, a}, {ab, o}, {dt, dd}}, {"-ms", "m"}, 2},
        {"killed between the moves", {{"m_a.3d", a}, {"m_d.3d", d}, {ab, o}, {dt, dd}}, {"m"}, 2},
        {"killed between the moves, dry run", {{"m_a.3d", a}, {"m_d.3d", d}, {ab, o}, {dt, dd}}, {"--dry-run", "m"}, 4},
        {"killed before removing the backup", {{"m_a.3d", a}, {"m_d.3d", dd}, {ab, o}}, {"-ms", "m"}, 2},
        {"a data file's temporary file alone", {{"m_a.3d", o}, {"m_d.3d", d}, {dt, partial}}, {"m"}, 2},
        {"leftovers that do not match", {{"m_a.3d", a}, {"m_d.3d", d}, {ab, o}, {dt, partial}}, {"-ms", "m"}, 4},
        // Power cuts on a disk that keeps any of the moves of names it had
        // not flushed: the second move alone, or the first file's new
        // content lost before anything moved.
        {"the data file's move alone on disk", {{"m_a.3d", o}, {"m_d.3d", dd}, {at, a}, {ab, o}, {db, d}}, {"-ms", "m"}, 2},
        {"the data file's move alone, dry run", {{"m_a.3d", o}, {"m_d.3d", dd}, {at, a}, {ab, o}, {db, d}}, {"--dry-run", "m"}, 5},
        {"the animation file's new content lost", {{"m_a.3d", o}, {"m_d.3d", d}, {ab, o}, {dt, dd}, {db, d}}, {"-ms", "m"}, 2},
        {"both moved, both backups left", {{"m_a.3d", a}, {"m_d.3d", dd}, {ab, o}, {db, d}}, {"-ms", "m"}, 2},
        {"the data file changed since", {{"m_a.3d", a}, {"m_d.3d", partial}, {ab, o}, {dt, dd}, {db, d}}, {"-ms", "m"}, 5},
    };
    for (const auto& c : cases) {
        fs::path dir;
        expectSameAsNative(c.name, c.files, c.args, &dir);
        EXPECT_EQ(snapshot(dir).size(), c.filesAfter) << c.name;
    }
}

// Two runs of meshfold.exe on the same meshes at once: each ends with status
// 0 or 1, and afterwards every mesh is converted and nothing is left.
TEST_F(WineTest, TwoRunsAtOnceBothEndCleanly) {
    Folder files;
    std::vector<std::string> args = {"-ms"};
    for (int i = 0; i < 6; ++i) {
        const std::string base = "r" + std::to_string(i);
        const Folder m = mesh(base, animFile(3, 16, 12, 0), dataFile(2, 4, static_cast<std::size_t>(i)));
        files.insert(m.begin(), m.end());
        args.push_back(base);
    }
    fs::path done;
    expectSameAsNative("race-reference", files, args, &done);
    const Folder converted = snapshot(done);
    const fs::path side = root_ / "race-status";
    fs::create_directories(side);
    for (int round = 0; round < 3; ++round) {
        const fs::path dir = folder("race" + std::to_string(round), files);
        const std::string script = "\"$@\" >/dev/null & a=$!; \"$@\" >/dev/null & b=$!; wait $a; echo $? >" +
                                   (side / "s1").string() + "; wait $b; echo $? >" + (side / "s2").string();
        std::vector<std::string> command = {"sh", "-c", script, "sh"};
        const std::vector<std::string> windows = windowsCommand(args);
        command.insert(command.end(), windows.begin(), windows.end());
        runIn(dir, command);
        for (const char* s : {"s1", "s2"}) {
            const Bytes status = readFile(side / s);
            const bool clean = status == Bytes{'0', '\n'} || status == Bytes{'1', '\n'};
            EXPECT_TRUE(clean) << "round " << round << ", " << s;
        }
        EXPECT_EQ(snapshot(dir), converted) << "round " << round;
    }
}

// --- names -------------------------------------------------------------------

// Wine's ANSI code page here is 1252: "Ünïcødé" fits it, Greek and Japanese do
// not, so only a program that reads the wide command line finds these files.
TEST_F(WineTest, NonAsciiBaseNameWorksAndIsPrintedAsTyped) {
    int n = 0;
    for (const std::string base : {"Ünïcødé", "Ωμέγα 名前", "dír ñ/Ünï cødé"}) {
        const Folder files = mesh(base, animFile(2, 8, 4, 0), dataFile(1, 2, 0));
        const Result r = expectSameAsNative("name" + std::to_string(n++), files, {"-ms", base});
        EXPECT_EQ(r.status, 0) << base;
        EXPECT_NE(r.out.find("\nConverting " + base + "_a.3d...\n"), std::string::npos) << r.out;
    }
}

// Explorer hands each dropped file over as a full path with backslashes, and
// users type either separator or a wildcard (which no Windows shell expands
// for a program). Every form names the mesh, and a mesh named by both of its
// files converts once, as the native build converts it.
TEST_F(WineTest, FileNamesAsExplorerAndUsersGiveThem) {
    const std::string base = "dír ñ/Ωμέγα";
    const Folder files = mesh(base, animFile(2, 8, 4, 0), dataFile(1, 2, 0));
    const fs::path nativeDir = folder("forms-native", files);
    ASSERT_EQ(runIn(nativeDir, {MESHFOLD_NATIVE_EXE, "-ms", base}).status, 0);
    for (int form = 0; form < 4; ++form) {
        const fs::path dir = root_ / ("forms" + std::to_string(form));
        const std::vector<std::vector<std::string>> forms = {
            {"-ms", "dír ñ\\Ωμέγα_a.3d"},
            {"dír ñ/Ωμέγα_D.3D", "-ms"},
            {windowsPath(dir / (base + "_a.3d")), windowsPath(dir / (base + "_d.3d")), "-MS"},
            {"-ms", "dír ñ\\Ω*_?.3d", "nothing*here"},
        };
        folder("forms" + std::to_string(form), files);
        const Result w = runWindows(dir, forms[static_cast<std::size_t>(form)]);
        if (form == 3) {
            // The pattern that matches nothing stays a name, of a mesh that is not there.
            EXPECT_EQ(w.status, 1) << w.out;
            EXPECT_NE(w.out.find("\n\nCan't open file nothing*here_a.3d !\n"), std::string::npos);
            EXPECT_NE(w.out.find("\n\n2 meshes: 1 converted, 0 already converted, 1 failed\n"),
                      std::string::npos) << w.out;
        } else {
            EXPECT_EQ(w.status, 0) << form << w.out;
            EXPECT_EQ(w.out.find(" meshes: "), std::string::npos) << form << w.out;
        }
        EXPECT_EQ(snapshot(dir), snapshot(nativeDir)) << form;
    }
}

// Windows users type switches with "/", and "-?" asks for help everywhere; a
// switch that is not known converts nothing.
TEST_F(WineTest, SwitchesAsWindowsUsersTypeThem) {
    const Folder files = mesh("m", animFile(2, 8, 4, 0), dataFile(1, 2, 0));
    const fs::path nativeDir = folder("slash-native", files);
    const Result n = runIn(nativeDir, {MESHFOLD_NATIVE_EXE, "-ms", "-h", "m"});
    const fs::path dir = folder("slash", files);
    const Result w = runWindows(dir, {"/MS", "/h", "m"});
    EXPECT_EQ(w.status, 0);
    EXPECT_EQ(w.out, n.out);
    EXPECT_EQ(snapshot(dir), snapshot(nativeDir));

    const fs::path untouched = folder("slash-help", files);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"/?"}, {"m", "-?"}, {"/sm", "m"}, {"-sm", "m"}}) {
        const Result r = runWindows(untouched, args);
        const bool help = args.back().ends_with("?");
        EXPECT_EQ(r.status, help ? 0 : 2) << args[0];
        EXPECT_NE(r.out.find("\nUsage: meshfold"), std::string::npos) << args[0];
        EXPECT_EQ(r.out.find("\n  -ms ") != std::string::npos, help) << args[0];
        EXPECT_EQ(snapshot(untouched), files) << args[0];
    }
}

// A folder, a wildcard and names in another case, as Explorer and cmd give
// them: meshes come in Explorer's order (case ignored), a file that is no
// mesh says so, and each mesh converts as the native build converts it.
TEST_F(WineTest, FoldersWildcardsAndNamesInAnyCase) {
    Folder files;
    for (const std::string base : {"b", "A", "C"}) {
        files.merge(mesh(base, animFile(2, 8, 4, 0), dataFile(1, 2, 0)));
    }
    files["Skin1.pcx"] = {1, 2, 3};
    const std::vector<std::string> ordered = {"A_a.3d",    "A_d.3d", "b_a.3d",    "b_d.3d",
                                              "C_a.3d",    "C_d.3d", "Skin1.pcx", "stdout.txt"};
    const fs::path nativeDir = folder("any-native", files);
    std::vector<std::string> native{MESHFOLD_NATIVE_EXE};
    native.insert(native.end(), ordered.begin(), ordered.end());
    const Result n = runIn(nativeDir, native);
    EXPECT_NE(n.out.find("\n\nSkin1.pcx is not a mesh file"), std::string::npos) << n.out;
    EXPECT_NE(n.out.find("\n\n5 meshes: 3 converted, 0 already converted, 2 failed\n"),
              std::string::npos) << n.out;
    const fs::path dir = folder("any", files);
    const Result w = runWindows(dir, {"*.*"});
    EXPECT_EQ(w.status, n.status);
    EXPECT_EQ(w.out, n.out);
    EXPECT_EQ(snapshot(dir), snapshot(nativeDir));

    // The same meshes in a folder of their own, in capitals on disk, named
    // by the folder and by their names in lower case.
    Folder caps;
    for (const auto& [file, bytes] : mesh("BOSS", animFile(2, 8, 4, 0), dataFile(1, 2, 0))) {
        caps["Models/" + file.substr(0, 4) + "_" + (file[5] == 'a' ? "A" : "D") + ".3D"] = bytes;
    }
    for (const auto& [file, bytes] : files) {
        if (file.ends_with(".3d")) {
            caps["Models/" + file] = bytes;
        }
    }
    const fs::path capsNative = folder("caps-native", caps);
    const Result cn = runIn(capsNative, {MESHFOLD_NATIVE_EXE, "-ms", "Models"});
    const fs::path capsDir = folder("caps", caps);
    Result cw = runWindows(capsDir, {"-ms", "Models"});
    std::replace(cw.out.begin(), cw.out.end(), '\\', '/');
    EXPECT_EQ(cw.status, 0);
    // Windows names a mesh's files by its base name and the suffixes as
    // meshfold writes them, which open whatever the case on disk.
    std::string expected = cn.out;
    expected.replace(expected.find("BOSS_A.3D"), 9, "BOSS_a.3d");
    EXPECT_EQ(cw.out, expected);
    EXPECT_EQ(snapshot(capsDir), snapshot(capsNative));
    const fs::path lower = folder("lower", caps);
    EXPECT_EQ(runWindows(lower, {"-ms", "Models\\boss"}).status, 0);
    EXPECT_EQ(snapshot(lower).at("Models/BOSS_A.3D"), snapshot(capsNative).at("Models/BOSS_A.3D"));
    EXPECT_EQ(snapshot(lower).at("Models/BOSS_D.3D"), snapshot(capsNative).at("Models/BOSS_D.3D"));
}

// On a console, the name must show as typed even though the console's code
// page (437 here) has no such letters: the text goes out as UTF-16.
TEST_F(WineTest, ConsoleShowsNonAsciiName) {
    if (runner_.empty() || std::system("command -v script >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs a runner and script(1) for a terminal";
    }
    const std::string base = "Ünïcødé_Ωμέγα";
    const fs::path dir = folder("console", mesh(base, animFile(1, 8, 2, 0), dataFile(1, 2, 0)));
    std::string command;
    for (const std::string& a : windowsCommand({base})) {
        command += "'" + a + "' ";
    }
    const Result r = runIn(dir, {"script", "-qfec", command, "/dev/null"});
    // Wine draws the console with escape sequences; the letters are what counts.
    // Spaces may be drawn as cursor moves, so they are left out of the match.
    std::string shown = std::regex_replace(r.out, std::regex("\x1b\\[[0-9;?]*[A-Za-z]"), "");
    std::erase(shown, ' ');
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(shown.find("Converting" + base + "_a.3d..."), std::string::npos) << shown;
    EXPECT_NE(shown.find("***Conversioncomplete***"), std::string::npos) << shown;
    // Wine's console is the terminal it runs in, which stays: no waiting for Enter.
    EXPECT_EQ(shown.find("PressEnter"), std::string::npos) << shown;
}

// --- files other programs hold ------------------------------------------------

TEST_F(WineTest, FileHeldOpenByAnotherProgramIsLeftAlone) {
    if (!fs::exists(hold_)) {
        GTEST_SKIP() << "no hold_open.exe at " << hold_;
    }
    struct Case {
        const char* share;     // what the holder lets others do
        const char* held;      // which file it holds
        bool milkshape;
        bool dryRunSees;       // the check before writing finds it (else only the move)
    };
    const std::vector<Case> cases = {
        {"-", "m_a.3d", false, true},
        {"r", "m_a.3d", false, true},
        {"rw", "m_a.3d", false, true},
        // Sharing deletion lets the check pass; the final move is refused
        // (an open file cannot be replaced) and nothing changes.
        {"rwd", "m_a.3d", false, false},
        {"-", "m_d.3d", true, true},
        {"r", "m_d.3d", true, true},
        // The animation file is already replaced when the data file's move
        // fails: it must be put back.
        {"rwd", "m_d.3d", true, false},
    };
    const Folder files = mesh("m", animFile(2, 8, 4, 1), dataFile(2, 2, 0));
    int n = 0;
    for (const Case& c : cases) {
        const fs::path dir = folder("held" + std::to_string(n++), files);
        std::vector<std::string> args = {"m"};
        if (c.milkshape) {
            args.insert(args.begin(), "-ms");
        }
        // Whoever holds it, the message says the file is in use, not that
        // it cannot be opened or that the disk failed.
        const std::string message =
            std::string("\n\nCan't open file ") + c.held + ": it is in use by another program !\n";
        const Result r = runHolding(dir, c.share, c.held, args);
        const std::string where = std::string(c.share) + " " + c.held;
        EXPECT_EQ(r.status, 1) << where;
        EXPECT_EQ(lastMessage(r.out), message) << where;
        EXPECT_EQ(snapshot(dir), files) << where;
        args.insert(args.begin(), "--dry-run");
        const Result dry = runHolding(dir, c.share, c.held, args);
        EXPECT_EQ(dry.status, c.dryRunSees ? 1 : 0) << where;
        EXPECT_EQ(dry.out == r.out, c.dryRunSees) << where;
    }
}

// Ctrl-C (Wine makes one of a SIGINT) while the new files are flushed to
// disk: the control handler removes them and the mesh stays as it was. The
// fault library sends the SIGINT right after the system call of the flush.
TEST_F(WineTest, CtrlCLeavesNoTemporaryFileBehind) {
    const std::string shim = MESHFOLD_FAULT_SHIM;
    if (shim.empty()) {
        GTEST_SKIP() << "the fault library is not built on this platform";
    }
    const Folder files = mesh("m", animFile(2, 8, 4, 0), dataFile(2, 2, 0));
    for (const char* after : {"fsync:1", "fsync:2"}) {
        const fs::path dir = folder(std::string("ctrl-c-") + after[6], files);
        // A Wine server runs already, so that the library is loaded by the
        // program alone.
        runWindows(dir, {"--dry-run", "m"});
        std::vector<std::string> argv = {"env", "LD_PRELOAD=" + shim,
                                         std::string("MESHFOLD_INTERRUPT_AFTER=") + after};
        const std::vector<std::string> command = windowsCommand({"-ms", "m"});
        argv.insert(argv.end(), command.begin(), command.end());
        const Result r = runIn(dir, argv);
        EXPECT_EQ(r.status, 0x3A) << after; // STATUS_CONTROL_C_EXIT's low byte
        EXPECT_EQ(snapshot(dir), files) << after;
    }
}

// Folders nested past 260 characters work as any other.
TEST_F(WineTest, LongPathsWork) {
    std::string deep;
    for (int i = 0; i < 5; ++i) {
        deep += std::string(60, static_cast<char>('a' + i)) + "/";
    }
    const Folder files = {{deep + "m_a.3d", animFile(2, 8, 4, 0)}, {deep + "m_d.3d", dataFile(2, 2, 0)}};
    const Result dry = expectSameAsNative("long-dry", files, {"--dry-run", "-ms", deep + "m"});
    EXPECT_EQ(dry.status, 0) << dry.out;
    const Result r = expectSameAsNative("long", files, {"-ms", deep + "m"});
    EXPECT_EQ(r.status, 0) << r.out;
}

// The converted file is a new file moved over the old name, not the old file
// rewritten: another name for the old file still shows the old bytes.
TEST_F(WineTest, ReplacementIsANewFileMovedIntoPlace) {
    const Folder files = mesh("m", animFile(2, 8, 4, 0), dataFile(2, 2, 0));
    const fs::path dir = folder("moved", files);
    fs::create_hard_link(dir / "m_a.3d", dir / "old_a.link");
    fs::create_hard_link(dir / "m_d.3d", dir / "old_d.link");
    const Result r = runWindows(dir, {"-ms", "m"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(dir / "old_a.link"), files.at("m_a.3d"));
    EXPECT_EQ(readFile(dir / "old_d.link"), files.at("m_d.3d"));
    EXPECT_NE(readFile(dir / "m_a.3d"), files.at("m_a.3d"));
    EXPECT_EQ(snapshot(dir).size(), 4u) << "a temporary or backup file was left behind";
}

// Root ignores the read-only attribute under Wine, so as root the check runs
// as the unprivileged user nobody, with a Wine prefix and copies of the
// programs of its own in a folder it owns.
TEST_F(WineTest, ReadOnlyAttributeIsReported) {
    if (!fs::exists(hold_)) {
        GTEST_SKIP() << "no hold_open.exe at " << hold_;
    }
    std::vector<std::string> prefix;
    if (geteuid() == 0) {
        const passwd* nobody = getpwnam("nobody");
        if (nobody == nullptr || std::system("command -v setpriv >/dev/null 2>&1") != 0) {
            GTEST_SKIP() << "running as root without setpriv or a user nobody";
        }
        fs::permissions(root_, fs::perms::all);
        const fs::path home = root_ / "home";
        fs::create_directories(home);
        fs::copy_file(exe_, home / "meshfold.exe");
        fs::copy_file(hold_, home / "hold_open.exe");
        exe_ = (home / "meshfold.exe").string();
        hold_ = (home / "hold_open.exe").string();
        prefix = {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "env",
                  "HOME=" + home.string(), "WINEPREFIX=" + (home / "wineprefix").string()};
        runner_.insert(runner_.begin(), prefix.begin(), prefix.end());
    }
    const Folder files = mesh("m", animFile(2, 8, 4, 0), dataFile(2, 2, 0));
    for (const char* readOnly : {"m_a.3d", "m_d.3d"}) {
        const fs::path dir = folder(std::string("ro-") + readOnly, files);
        if (geteuid() == 0) {
            for (const auto& p : fs::recursive_directory_iterator(root_)) {
                lchown(p.path().c_str(), getpwnam("nobody")->pw_uid, getgrnam("nogroup")->gr_gid);
            }
            lchown(root_.c_str(), getpwnam("nobody")->pw_uid, getgrnam("nogroup")->gr_gid);
        }
        const Result r = runHolding(dir, "+r", readOnly, {"-ms", "m"});
        EXPECT_EQ(r.status, 1) << readOnly;
        EXPECT_EQ(lastMessage(r.out),
                  std::string("\n\nCan't open file ") + readOnly + " for writing !\n");
        EXPECT_EQ(snapshot(dir), files) << readOnly;
    }
    if (geteuid() == 0) {
        // A folder that takes no new file, though its files may be written,
        // is named as the cause. (Wine does not tell the check before
        // writing, so only the real run is asked here.)
        const fs::path dir = folder("ro-folder", files);
        for (const auto& p : fs::recursive_directory_iterator(dir)) {
            lchown(p.path().c_str(), getpwnam("nobody")->pw_uid, getgrnam("nogroup")->gr_gid);
        }
        fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::others_read |
                                 fs::perms::others_exec);
        const Result r = runWindows(dir, {"-ms", "m"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(lastMessage(r.out),
                  "\n\nCan't replace file m_a.3d: no new file can be created in its folder !\n");
        EXPECT_EQ(snapshot(dir), files);
        fs::permissions(dir, fs::perms::owner_all);
    }
    if (!prefix.empty()) {
        std::vector<std::string> kill = prefix;
        kill.insert(kill.end(), {"wineserver", "-k"});
        runIn(root_, kill);
    }
}

} // namespace
