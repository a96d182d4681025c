// What the user's folder may hold instead of two ordinary writable files:
// unreadable files, folders, pipes, links of every kind, names with paths.
// Permission cases run as the unprivileged user nobody, since root may read
// and write anything.
#include "reliability.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace meshfold::test {
namespace {

#ifndef _WIN32

class Files : public ::testing::Test {
protected:
    void SetUp() override {
        if (usingRunner()) {
            GTEST_SKIP() << "POSIX file-system behaviour of the native build only";
        }
    }
    fs::path path(const std::string& name) const { return scratch.dir / name; }
    // Runs and checks the exact output, status 1, and that nothing changed.
    void expectRefused(const std::vector<std::string>& args, const std::string& out,
                       const std::vector<std::string>& wrapper = {}) const {
        const Snapshot before = snapshot(scratch.dir);
        const RunResult r = runTool(args, scratch.dir, wrapper);
        EXPECT_EQ(r.out, out);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(snapshot(scratch.dir), before);
    }
    Scratch scratch;
};

class FilesAsNobody : public Files {
protected:
    void SetUp() override {
        Files::SetUp();
        if (IsSkipped()) {
            return;
        }
        if (!isRoot() || !haveCommand("setpriv")) {
            GTEST_SKIP() << "needs root and setpriv to run as an unprivileged user";
        }
    }
};

const Mesh kMesh = packedMesh("M", 2, 6, 3);
const std::string kBanner = "\nUnreal to Deus Ex mesh converter, v1.2\nWritten by Tolvane\n";

TEST_F(FilesAsNobody, UnreadableFilesAreReportedByName) {
    putMesh(scratch.dir, kMesh);
    giveToNobody(scratch.dir);
    fs::permissions(path("M_a.3d"), fs::perms::none);
    expectRefused({"M"}, kBanner + "\n\nCan't open file M_a.3d !\n", asNobody());

    fs::permissions(path("M_a.3d"), fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(path("M_d.3d"), fs::perms::owner_write);
    expectRefused({"-ms", "M"},
                  kBanner + "\nConverting M_a.3d...\n\n* MilkShape Fix Mode *\n"
                            "\n  2 animation frames\n\nCan't open file M_d.3d !\n",
                  asNobody());
}

TEST_F(Files, AFolderOrAPipeWhereAFileShouldBe) {
    const std::string frames = kBanner + "\nConverting M_a.3d...\n\n  2 animation frames";
    writeFile(path("M_a.3d"), kMesh.anim);
    fs::create_directory(path("M_d.3d"));
    expectRefused({"M"}, frames + "\n\nCan't open file M_d.3d !\n");
    fs::remove(path("M_d.3d"));

    // A pipe is never opened: reading it would wait for a writer forever.
    ASSERT_EQ(mkfifo(path("M_d.3d").c_str(), 0644), 0);
    expectRefused({"M"}, frames + "\n\nCan't open file M_d.3d !\n");
    fs::remove(path("M_a.3d"));
    ASSERT_EQ(mkfifo(path("M_a.3d").c_str(), 0644), 0);
    expectRefused({"M"}, kBanner + "\n\nCan't open file M_a.3d !\n");
}

TEST_F(Files, BrokenAndLoopingLinksAreMissingFiles) {
    const std::string& banner = kBanner;
    writeFile(path("M_d.3d"), kMesh.data);
    fs::create_symlink("nowhere_a.3d", path("M_a.3d"));
    expectRefused({"M"}, banner + "\n\nCan't open file M_a.3d !\n");
    fs::remove(path("M_a.3d"));
    fs::create_symlink("M_a.3d", path("M_a.3d"));
    expectRefused({"M"}, banner + "\n\nCan't open file M_a.3d !\n");
}

TEST_F(Files, LinkedFilesAreReplacedBehindTheirLinks) {
    // Both files reached through links, one of them through a chain of two:
    // the real files are converted, the links stay links.
    fs::create_directories(path("store"));
    putMesh(path("store"), kMesh);
    fs::create_symlink("store/M_a.3d", path("hop_a.3d"));
    fs::create_symlink("hop_a.3d", path("M_a.3d"));
    fs::create_symlink(path("store/M_d.3d"), path("M_d.3d"));
    const Prediction p = predict(kMesh, true);
    const RunResult r = runTool({"-ms", "M"}, scratch.dir);
    EXPECT_EQ(r.out, p.out);
    EXPECT_EQ(readFile(path("store/M_a.3d")), p.anim);
    EXPECT_EQ(readFile(path("store/M_d.3d")), p.data);
    EXPECT_TRUE(fs::is_symlink(path("M_a.3d")) && fs::is_symlink(path("hop_a.3d")) &&
                fs::is_symlink(path("M_d.3d")));
    EXPECT_EQ(listFolder(path("store")), (std::vector<std::string>{"M_a.3d", "M_d.3d"}));
}

TEST_F(Files, AnAbsolutePathWithSpacesAndNonAsciiLettersWorksWithMilkShapeFix) {
    fs::create_directories(path("\xD0\x9C\xD0\xB5\xD1\x88 \xE2\x98\x85"));
    Mesh m = kMesh;
    m.base = (path("\xD0\x9C\xD0\xB5\xD1\x88 \xE2\x98\x85") / "b \xC3\xA9").string();
    putMesh(scratch.dir, m);
    const Prediction p = predict(m, true);
    const RunResult r = runTool({"-ms", m.base}, "/");
    EXPECT_EQ(r.out, p.out);
    EXPECT_EQ(readFile(m.base + "_a.3d"), p.anim);
    EXPECT_EQ(readFile(m.base + "_d.3d"), p.data);
}

TEST_F(FilesAsNobody, ALinkFromAReadOnlyFolderToAWritableFile) {
    // The new file is made beside the real file, so a link in a folder the
    // user cannot write is no obstacle; a read-only real file is.
    fs::create_directories(path("mine"));
    fs::create_directories(path("links"));
    putMesh(path("mine"), kMesh);
    fs::create_symlink(path("mine/M_a.3d"), path("links/M_a.3d"));
    fs::create_symlink(path("mine/M_d.3d"), path("links/M_d.3d"));
    giveToNobody(scratch.dir);
    fs::permissions(path("links"), fs::perms::owner_read | fs::perms::owner_exec |
                                       fs::perms::others_read | fs::perms::others_exec);
    const Prediction p = predict(Mesh{"links/M", kMesh.anim, kMesh.data}, true);
    const RunResult r = runTool({"-ms", "links/M"}, scratch.dir, asNobody());
    EXPECT_EQ(r.out, p.out);
    EXPECT_EQ(readFile(path("mine/M_a.3d")), p.anim);
    EXPECT_EQ(readFile(path("mine/M_d.3d")), p.data);

    putMesh(path("mine"), kMesh);
    fs::permissions(path("mine/M_d.3d"), fs::perms::owner_read);
    const Snapshot before = snapshot(path("mine"));
    const RunResult refused = runTool({"-ms", "links/M"}, scratch.dir, asNobody());
    EXPECT_EQ(refused.out, p.head + "\n\nCan't open file links/M_d.3d for writing !\n");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(snapshot(path("mine")), before);
}

#endif

} // namespace
} // namespace meshfold::test
