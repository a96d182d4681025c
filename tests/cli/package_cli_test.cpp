// Compiled packages through the built binary: the folder a package becomes, what is there
// already, damaged packages, the listing, a selection, the export, folders of packages, and the
// real packages of ../shared/corpus-ue1.
#include "../package/package_builder.h"
#include "support.h"

#include "meshfold/package/package.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

namespace meshfold::test {
namespace {

namespace pk = meshfold::package::test;

const std::string kBannerOut = "\nUnreal to Deus Ex mesh converter, v1.2\nWritten by Tolvane\n";

using pk::smallPackage;

// Every file under `dir` (folders ending in '/') and its bytes.
std::map<std::string, Bytes> tree(const fs::path& dir) {
    std::map<std::string, Bytes> files;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string name = fs::relative(e.path(), dir).generic_string();
        files[e.is_directory() ? name + "/" : name] = e.is_directory() ? Bytes{} : readFile(e.path());
    }
    return files;
}

std::size_t count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++n;
    }
    return n;
}

class CliCompiled : public ::testing::Test {
protected:
    fs::path path(const std::string& name) const { return scratch.dir / name; }
    void put(const std::string& name, const Bytes& b) const {
        fs::create_directories(path(name).parent_path());
        writeFile(path(name), b);
    }
    RunResult run(const std::vector<std::string>& args, const std::vector<std::string>& wrapper = {}) const {
        return runTool(args, scratch.dir, wrapper);
    }
    Scratch scratch;
};

const char* const kThingFolder[] = {"Pkg/",
                                    "Pkg/Classes/",
                                    "Pkg/Classes/Pkg.uc",
                                    "Pkg/Models/",
                                    "Pkg/Models/Thing_a.3d",
                                    "Pkg/Models/Thing_d.3d",
                                    "Pkg/Textures/",
                                    "Pkg/Textures/Skin.pcx"};

TEST_F(CliCompiled, APackageBecomesItsFolderAndAgainChangesNothing) {
    const Bytes package = smallPackage();
    put("Pkg.u", package);
    const std::string lines = kBannerOut +
                              "\nPackage Pkg.u (version 69): 1 mesh, 1 texture"
                              "\n  Textures/Skin.pcx: 8 x 8"
                              "\n  Models/Thing_a.3d, Models/Thing_d.3d: 2 frames, 7 vertices, 3 triangles,"
                              " Deus Ex form (converted)"
                              "\n  Classes/Pkg.uc";
    const std::string out = lines + "\n\n  Wrote 4 files into Pkg\n\n*** Extraction complete ***\n";
    const RunResult dry = run({"--dry-run", "Pkg.u"});
    EXPECT_EQ(dry.out, asDryRun(out));
    EXPECT_EQ(dry.status, 0);
    EXPECT_EQ(listFolder(scratch.dir), std::vector<std::string>{"Pkg.u"});
    const RunResult r = run({"Pkg.u"});
    EXPECT_EQ(r.out, out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(dry.err, r.err);
    const std::map<std::string, Bytes> files = tree(path("Pkg"));
    std::vector<std::string> names;
    for (const auto& [name, bytes] : tree(scratch.dir)) {
        names.push_back(name);
    }
    std::vector<std::string> expected(std::begin(kThingFolder), std::end(kThingFolder));
    expected.push_back("Pkg.u");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names, expected);
    EXPECT_EQ(readFile(path("Pkg.u")), package) << "the package is only read";
    const std::string script(files.at("Classes/Pkg.uc").begin(), files.at("Classes/Pkg.uc").end());
    EXPECT_NE(script.find("#exec MESHMAP SETTEXTURE MESHMAP=Thing NUM=1 TEXTURE=Skin\n"), std::string::npos);

    // Again, named in another case: every file is there with its bytes, and
    // stays as it is. (Windows opens PKG.U as typed and takes that for the
    // package's name: there it is named as it is spelt.)
    const RunResult same = run({usingRunner() ? "Pkg.u" : "PKG.U"});
    const std::string sameOut0 = lines + "\n\n  Wrote 0 files into Pkg (4 there already, left as they were)"
                                  "\n\n*** Extraction complete ***\n";
    std::string sameOut = sameOut0;
    for (const char* file : {"Skin.pcx: 8 x 8", "3 triangles, Deus Ex form (converted)", "Classes/Pkg.uc"}) {
        const std::size_t at = sameOut.find(file);
        ASSERT_NE(at, std::string::npos);
        sameOut.insert(at + std::string(file).size(), " (there already, the same)");
    }
    EXPECT_EQ(same.out, sameOut);
    EXPECT_EQ(same.status, 0);
    EXPECT_EQ(tree(path("Pkg")), files);

    // The folder is a package folder like the modders': the export reads it as it is.
    const RunResult gltf = run({"--to-gltf", "--uc", "Pkg/Models/Thing"});
    EXPECT_EQ(gltf.status, 0) << gltf.out;
    EXPECT_NE(gltf.out.find("\n  Texture slot 1: Skin (Textures\\Skin.pcx, 8 x 8)"), std::string::npos) << gltf.out;
}

TEST_F(CliCompiled, AFileThereAlreadyThatDiffersFailsThePackageWhole) {
    put("Pkg.u", smallPackage());
    ASSERT_EQ(run({"Pkg.u"}).status, 0);
    Bytes edited = readFile(path("Pkg/Models/Thing_d.3d"));
    edited.push_back(0);
    writeFile(path("Pkg/Models/Thing_d.3d"), edited);
    fs::remove(path("Pkg/Textures/Skin.pcx"));
    fs::remove(path("Pkg/Classes/Pkg.uc"));
    const std::map<std::string, Bytes> before = tree(scratch.dir);
    for (const char* dry : {"--dry-run", "--"}) {
        const RunResult r = run({dry, "Pkg.u"});
        EXPECT_EQ(r.out, kBannerOut + "\nPackage Pkg.u (version 69): 1 mesh, 1 texture"
                                      "\n\nFile Pkg/Models/Thing_d.3d is there already and is not what package"
                                      " Pkg.u gives it (edited since?): nothing of the package was written. To"
                                      " extract it again, move that file or the folder Pkg out of the way !\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(tree(scratch.dir), before) << "not even the missing files are written";
    }
    // A selection's script is another script: the one there stays, and the package fails.
    fs::remove_all(path("Pkg"));
    ASSERT_EQ(run({"Pkg.u"}).status, 0);
    const RunResult other = run({"--to-unreal", "Pkg.u"});
    EXPECT_NE(other.out.find("\n\nFile Pkg/Models/Thing_a.3d is there already"), std::string::npos) << other.out;
    EXPECT_EQ(other.status, 1);
}

// The damaged packages of one run, each named, each refused with its one message.
struct Damaged {
    std::string name;
    Bytes bytes;
    std::string detail; // the start of the message's detail, or empty for any
};

void setLe32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    }
}

std::vector<Damaged> damagedPackages() {
    const Bytes whole = smallPackage();
    std::vector<Damaged> cases;
    for (std::size_t n = 0; n < whole.size(); ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "cut%05zu.u", n);
        cases.push_back({name, Bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(n)), ""});
    }
    const package::PackageRead read = package::readPackage(whole, "Pkg");
    const package::Package& p = *read.package;
    const std::size_t mesh = p.exports.back().serialOffset;
    const std::size_t texture = p.exports[1].serialOffset;
    Bytes b = whole;
    b[0] ^= 1;
    cases.push_back({"tag.u", b, "it is not an Unreal package"});
    b = whole;
    b[4] = 59;
    cases.push_back({"old.u", b, "its version 59 is older than any game's (61)"});
    b = whole;
    setLe32(b, 12, 0x00FFFFFF); // the name count
    cases.push_back({"names.u", b, "its names table (16777215 entries) runs past the end of the file"});
    b = whole;
    setLe32(b, 24, static_cast<std::uint32_t>(whole.size() + 64)); // the export table's offset
    cases.push_back({"exports.u", b, ""});
    b = whole;
    // The triangle array follows the vertices, where the vertex array says they end.
    const std::size_t verts = mesh + 1 + 25 + 16;
    const std::size_t tris = b[verts] | b[verts + 1] << 8 | b[verts + 2] << 16 | std::size_t{b[verts + 3]} << 24;
    b[tris] ^= 4; // the end the triangle array states
    cases.push_back({"lazy.u", b, "lazy.Thing: an array at byte"});
    b = whole;
    b[mesh] = 0x3F; // the first property's name
    cases.push_back({"name.u", b, "name.Thing: it names name 63 of"});
    b = whole;
    b[texture + 1] = 0x55; // the palette property: an object whose size is the byte after
    b[texture + 2] = 0xFF;
    cases.push_back({"size.u", b, "size.Skin: a property of 255 bytes at byte"});
    return cases;
}

TEST_F(CliCompiled, DamagedPackagesAreRefusedByNameWithNothingWritten) {
    const std::vector<Damaged> cases = damagedPackages();
    std::vector<std::string> names;
    for (const Damaged& d : cases) {
        put(d.name, d.bytes);
        names.push_back(d.name);
    }
    const RunResult r = run(names);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(count(r.out, "\n\nCan't read package "), cases.size());
    EXPECT_EQ(count(r.out, ": nothing of it was written !\n"), cases.size());
    EXPECT_TRUE(endsWith(r.out, "\n\n" + std::to_string(cases.size()) + " packages: 0 extracted, " +
                                    std::to_string(cases.size()) + " failed\n"));
    for (const Damaged& d : cases) {
        const std::string head = "\n\nCan't read package " + d.name + ": ";
        const std::size_t at = r.out.find(head);
        ASSERT_NE(at, std::string::npos) << d.name;
        const std::string detail = r.out.substr(at + head.size(), r.out.find('\n', at + head.size()) - at - head.size());
        EXPECT_EQ(detail.rfind(d.detail, 0), 0u) << d.name << ": " << detail;
        // An object's damage names the object, by the package's own name.
        const std::string stem = d.name.substr(0, d.name.size() - 2);
        if (detail.rfind("it ", 0) != 0 && detail.rfind("its ", 0) != 0 && detail.rfind("a name", 0) != 0) {
            EXPECT_EQ(detail.rfind(stem + ".", 0), 0u) << d.name << ": " << detail;
        }
    }
    EXPECT_EQ(listFolder(scratch.dir).size(), cases.size()) << "no folder, no file";
}

TEST_F(CliCompiled, AListingASelectionAndAnExport) {
    put("Pkg.u", smallPackage(1));
    const RunResult list = run({"--list", "Pkg.u"});
    EXPECT_EQ(list.out, kBannerOut +
                            "\nPackage Pkg (version 69): 1 mesh, 2 textures"
                            "\nMesh Thing: LodMesh, Unreal form, 2 frames, 7 vertices, 3 triangles (1 weapon"
                            " triangle); sequences: All (frames 0-1, 30 fps), Wave (frames 1-1, 15 fps, group"
                            " Gestures); texture slots: 0 none, 1 Skin"
                            "\nTexture Skin: 0 x 0, P8, masked; as Textures/Skin.pcx" // no USize, VSize: 0
                            "\nTexture Tex0: 0 x 0, P8; as Textures/Tex0.pcx\n");
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(listFolder(scratch.dir), std::vector<std::string>{"Pkg.u"});

    // A selection: the mesh by its name in any case, with the textures of its slots alone.
    const RunResult unknown = run({"--mesh", "thing,Nope", "Pkg.u"});
    EXPECT_EQ(unknown.out, kBannerOut + "\n\nPackage Pkg.u has no mesh named Nope (--list shows its meshes):"
                                        " nothing of it was written !\n");
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(run({"--mesh=THING", "Pkg.u"}).status, 0);
    EXPECT_TRUE(fs::exists(path("Pkg/Textures/Skin.pcx")));
    EXPECT_FALSE(fs::exists(path("Pkg/Textures/Tex0.pcx")));
    fs::remove_all(path("Pkg"));

    // The export: each mesh's .glb alone, as the export of the folder in the stored form gives it.
    const RunResult gltf = run({"--to-gltf", "Pkg.u"});
    EXPECT_EQ(gltf.status, 0) << gltf.out;
    EXPECT_TRUE(endsWith(gltf.out, "\n\n  Wrote 1 file into Pkg\n\n*** Export complete ***\n")) << gltf.out;
    EXPECT_EQ(tree(path("Pkg")).size(), 2u);
    const Bytes direct = readFile(path("Pkg/Models/Thing.glb"));
    EXPECT_EQ(run({"--to-gltf", "Pkg.u"}).status, 0) << "the same file again";
    fs::remove_all(path("Pkg"));
    ASSERT_EQ(run({"--to-unreal", "Pkg.u"}).status, 0);
    ASSERT_EQ(run({"--to-gltf", "--uc", "Pkg/Models/Thing"}).status, 0);
    EXPECT_EQ(readFile(path("Pkg/Models/Thing.glb")), direct);
}

TEST_F(CliCompiled, AFolderGivesItsMeshesAndItsPackages) {
    put("Mods/Pkg.u", smallPackage());
    put("Mods/Code.u", pk::PackageBuilder{}.build()); // no mesh, no texture
    put("Mods/M_a.3d", animFile(1, 16, {1, 2, 3, 4}));
    put("Mods/M_d.3d", dataFile(1, 4));
    const RunResult r = run({"Mods"});
    EXPECT_EQ(r.status, 0) << r.out;
    const std::string sep = usingRunner() ? "\\" : "/"; // a folder's files as Windows joins them
    EXPECT_NE(r.out.find("\nPackage Mods" + sep + "Code.u (version 69): 0 meshes, 0 textures"
                         "\n  No mesh or texture in it: nothing was written\n"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(endsWith(r.out, "\n\n3 meshes and packages: 3 converted or extracted, 0 already converted,"
                                " 0 failed\n"))
        << r.out;
    EXPECT_TRUE(fs::exists(path("Mods/Pkg/Classes/Pkg.uc")));
    EXPECT_FALSE(fs::exists(path("Mods/Code")));
    // --list and --mesh take packages alone.
    const RunResult list = run({"--list", "Mods", "Mods/M_a.3d"});
    EXPECT_EQ(count(list.out, "\nPackage Mods/"), 0u);
    EXPECT_EQ(count(list.out, "\nPackage "), 2u);
    EXPECT_TRUE(endsWith(list.out, "\n\nMods/M_a.3d is not a package: --list and --mesh take the games' compiled"
                                   " packages, NAME.u or NAME.utx !\n\n\n3 packages: 2 listed, 1 failed\n"))
        << list.out;
    EXPECT_EQ(list.status, 1);
    fs::create_directories(path("Empty"));
    EXPECT_EQ(run({"--list", "Empty"}).out,
              kBannerOut + "\n\nNo package in folder Empty: a package is a file NAME.u or NAME.utx !\n");
    EXPECT_EQ(run({"Missing.u"}).out, kBannerOut + "\n\nCan't open file Missing.u !\n");
}

#ifndef _WIN32
// A package of more files than the process may hold open at once comes out whole: its parts go
// into groups that hold few enough.
TEST_F(CliCompiled, MoreFilesThanMayBeOpenAtOnce) {
    if (usingRunner() || std::system("command -v prlimit >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "needs prlimit, natively";
    }
    put("Pkg.u", smallPackage(100));
    const RunResult r = run({"Pkg.u"}, {"prlimit", "--nofile=24:24", "--"});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(endsWith(r.out, "\n\n  Wrote 104 files into Pkg\n\n*** Extraction complete ***\n")) << r.out;
    EXPECT_EQ(listFolder(path("Pkg/Textures")).size(), 101u);
}
#endif

// ---------------------------------------------------------------------------------------------
// The real packages.

class CliCompiledCorpus : public CliCompiled {
protected:
    void SetUp() override {
        if (corpusUe1Dir().empty()) {
            GTEST_SKIP() << "no real packages at ../shared/corpus-ue1 beside the repository";
        }
    }
    void copy(const std::string& relative) const {
        put(fs::path(relative).filename().string(), readFile(corpusUe1Dir() / relative));
    }
};

// Every mesh of the Deus Ex package comes out, and its export straight from the package is the
// export of the folder it becomes; so is a UT99 mesh's, taken out in its own (Unreal) form.
TEST_F(CliCompiledCorpus, EveryMeshExtractsAndExportsAsItsFolderDoes) {
    copy("deusexhq_partystuff/System/Endemia.u");
    copy("1337GameDev_Ut99Mods/System/HeadHunter.u");
    const RunResult exported = run({"--to-gltf", "Endemia.u", "HeadHunter.u"});
    ASSERT_EQ(exported.status, 0) << exported.out;
    std::map<std::string, Bytes> direct = tree(scratch.dir);
    fs::remove_all(path("Endemia"));
    fs::remove_all(path("HeadHunter"));
    const RunResult deusEx = run({"Endemia.u"});
    ASSERT_EQ(deusEx.status, 0) << deusEx.out;
    EXPECT_EQ(listFolder(path("Endemia/Models")).size(), 2u * 53);
    ASSERT_EQ(run({"--to-unreal", "HeadHunter.u"}).status, 0);
    const RunResult folders = run({"--to-gltf", "--uc", "Endemia/Models", "HeadHunter/Models"});
    ASSERT_EQ(folders.status, 0) << folders.out;
    std::size_t glbs = 0;
    for (const auto& [name, bytes] : direct) {
        if (name.size() > 4 && name.substr(name.size() - 4) == ".glb") {
            EXPECT_EQ(readFile(path(name)), bytes) << name;
            ++glbs;
        }
    }
    EXPECT_EQ(glbs, 54u);
}

} // namespace
} // namespace meshfold::test
