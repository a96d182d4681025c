// What the user's folder may hold instead of two ordinary writable files:
// unreadable files, folders, pipes, links of every kind, names with paths.
// Permission cases run as the unprivileged user nobody, since root may read
// and write anything.
#include "reliability.h"

#include <gtest/gtest.h>

#include <algorithm>

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

// What a run cut short may leave beside a mesh (tag 0123abcd), laid out by
// hand, and what the next run does with it: the first line it writes to
// standard error, then either the run on the mesh as recovery leaves it (the
// files `seen`) or a refusal that changes nothing.
struct LeftoverCase {
    const char* name;
    std::vector<std::string> args;
    Snapshot before;
    std::string err;
    Snapshot seen;       // empty when recovery refuses
    std::string refusal; // the reason given then
};

std::vector<LeftoverCase> leftoverCases() {
    const Bytes& o = kMesh.anim;
    const Bytes& d = kMesh.data;
    const Bytes& a = predict(kMesh, true).anim;
    const Bytes& dd = predict(kMesh, true).data;
    const Bytes& ah = predict(kMesh, true, true).anim; // with -h
    const Bytes& dh = predict(kMesh, true, true).data;
    const Bytes partial(a.begin(), a.begin() + 5);
    const std::string at = "M_a.3d.meshfold-0123abcd.tmp";
    const std::string ab = "M_a.3d.meshfold-0123abcd.bak";
    const std::string dt = "M_d.3d.meshfold-0123abcd.tmp";
    const std::string db = "M_d.3d.meshfold-0123abcd.bak";
    const std::string found = "meshfold: found ";
    const std::string between =
        ", left by a run that was cut short between replacing M_a.3d and M_d.3d: ";
    const std::string dataFirst =
        ", left by a run that was cut short between replacing M_d.3d and M_a.3d: ";
    const std::string complete = ", left by a run that was cut short after its conversion was complete: ";
    // A mesh whose data file -ms leaves as it is: triangles of zeros after a
    // header tail of zeros.
    Mesh same = kMesh;
    std::fill(same.data.begin() + 4, same.data.end(), 0);
    const Prediction sameDone = predict(same, true);
    return {
        {"nothing replaced yet", {"-ms", "M"}, {{"M_a.3d", o}, {"M_d.3d", d}, {at, partial}, {ab, o}, {dt, dd}},
         found + at + ", " + ab + ", " + dt +
             ", left by a run that was cut short before it replaced anything: removed them\n",
         {{"M_a.3d", o}, {"M_d.3d", d}}, ""},
        {"a backup copy cut short by a power cut", {"-ms", "M"},
         {{"M_a.3d", o}, {"M_d.3d", d}, {at, partial}, {ab, Bytes(o.begin(), o.begin() + 7)}},
         found + at + ", " + ab + ", left by a run that was cut short before it replaced anything: removed them\n",
         {{"M_a.3d", o}, {"M_d.3d", d}}, ""},
        {"between the two moves, the next run without -ms", {"M"},
         {{"M_a.3d", a}, {"M_d.3d", d}, {ab, o}, {dt, dd}},
         found + ab + ", " + dt + between + "moved " + dt + " over M_d.3d and removed " + ab +
             ", which completes that conversion\n",
         {{"M_a.3d", a}, {"M_d.3d", dd}}, ""},
        {"between the two moves, left by a version without a shared tag", {"-ms", "M"},
         {{"M_a.3d", a}, {"M_d.3d", d}, {"M_a.3d.meshfold-1111aaaa.bak", o},
          {"M_d.3d.meshfold-2222bbbb.tmp", dd}},
         found + "M_a.3d.meshfold-1111aaaa.bak, M_d.3d.meshfold-2222bbbb.tmp" + between +
             "moved M_d.3d.meshfold-2222bbbb.tmp over M_d.3d and removed "
             "M_a.3d.meshfold-1111aaaa.bak, which completes that conversion\n",
         {{"M_a.3d", a}, {"M_d.3d", dd}}, ""},
        {"between the two moves of a -h run", {"-ms", "M"}, {{"M_a.3d", ah}, {"M_d.3d", d}, {ab, o}, {dt, dh}},
         found + ab + ", " + dt + between + "moved " + dt + " over M_d.3d and removed " + ab +
             ", which completes that conversion\n",
         {{"M_a.3d", ah}, {"M_d.3d", dh}}, ""},
        {"between the two moves, a dry run", {"--dry-run", "-ms", "M"},
         {{"M_a.3d", a}, {"M_d.3d", d}, {ab, o}, {dt, dd}},
         found + ab + ", " + dt + between + "would move " + dt + " over M_d.3d and remove " + ab +
             ", which completes that conversion\n",
         {{"M_a.3d", a}, {"M_d.3d", d}, {ab, o}, {dt, dd}}, ""},
        {"both moved, the backup left", {"-ms", "M"}, {{"M_a.3d", a}, {"M_d.3d", dd}, {ab, o}},
         found + ab + ", left by a run that was cut short after its conversion was complete: removed it\n",
         {{"M_a.3d", a}, {"M_d.3d", dd}}, ""},
        {"the data file's temporary file alone", {"M"}, {{"M_a.3d", o}, {"M_d.3d", d}, {dt, partial}},
         found + dt + ", left by a run that was cut short before it replaced anything: removed it\n",
         {{"M_a.3d", o}, {"M_d.3d", d}}, ""},
        {"a new data file that is not the conversion", {"-ms", "M"},
         {{"M_a.3d", a}, {"M_d.3d", d}, {ab, o}, {dt, partial}}, "", {},
         "its leftovers do not match the mesh's files, and were left as they are"},
        {"a backup that matches no file", {"-ms", "M"},
         {{"M_a.3d", a}, {"M_d.3d", dd}, {ab, Bytes(5, 0xEE)}}, "", {},
         "its leftovers do not match the mesh's files, and were left as they are"},
        {"the animation file changed after the crash", {"-ms", "M"},
         {{"M_a.3d", partial}, {"M_d.3d", d}, {at, partial}, {ab, o}}, "", {},
         "the animation file changed since, and the backup may be the only copy of its original"},
        // A file system that keeps folder updates in any order: the data
        // file's move on disk without the animation file's, and the
        // animation file's new content lost while the rest is there.
        {"the data file's move alone on disk", {"-ms", "M"},
         {{"M_a.3d", o}, {"M_d.3d", dd}, {at, a}, {ab, o}, {db, d}},
         found + at + ", " + ab + ", " + db + dataFirst + "moved " + at + " over M_a.3d and removed " +
             ab + " and " + db + ", which completes that conversion\n",
         {{"M_a.3d", a}, {"M_d.3d", dd}}, ""},
        {"the data file's move alone on disk, a dry run", {"--dry-run", "M"},
         {{"M_a.3d", o}, {"M_d.3d", dd}, {at, a}, {ab, o}, {db, d}},
         found + at + ", " + ab + ", " + db + dataFirst + "would move " + at +
             " over M_a.3d and remove " + ab + " and " + db + ", which completes that conversion\n",
         {{"M_a.3d", o}, {"M_d.3d", dd}, {at, a}, {ab, o}, {db, d}}, ""},
        {"the animation file's new content lost", {"-ms", "M"},
         {{"M_a.3d", o}, {"M_d.3d", d}, {ab, o}, {dt, dd}, {db, d}},
         found + ab + ", " + dt + ", " + db +
             ", left by a run that was cut short before it replaced anything: removed them\n",
         {{"M_a.3d", o}, {"M_d.3d", d}}, ""},
        {"the animation file's move alone on disk", {"-ms", "M"},
         {{"M_a.3d", a}, {"M_d.3d", d}, {ab, o}, {dt, dd}, {db, d}},
         found + ab + ", " + dt + ", " + db + between + "moved " + dt + " over M_d.3d and removed " +
             ab + " and " + db + ", which completes that conversion\n",
         {{"M_a.3d", a}, {"M_d.3d", dd}}, ""},
        {"both moved, both backups left", {"-ms", "M"}, {{"M_a.3d", a}, {"M_d.3d", dd}, {ab, o}, {db, d}},
         found + ab + ", " + db + complete + "removed them\n", {{"M_a.3d", a}, {"M_d.3d", dd}}, ""},
        {"both moved, the data file's backup left", {"-ms", "M"}, {{"M_a.3d", a}, {"M_d.3d", dd}, {db, d}},
         found + db + complete + "removed it\n", {{"M_a.3d", a}, {"M_d.3d", dd}}, ""},
        {"both moved, a data file that -ms leaves as it is", {"-ms", "M"},
         {{"M_a.3d", sameDone.anim}, {"M_d.3d", same.data}, {ab, same.anim}, {db, same.data}},
         found + ab + ", " + db + complete + "removed them\n",
         {{"M_a.3d", sameDone.anim}, {"M_d.3d", same.data}}, ""},
        {"the data file's move alone, its new content not the conversion", {"-ms", "M"},
         {{"M_a.3d", o}, {"M_d.3d", dd}, {at, partial}, {ab, o}, {db, d}}, "", {},
         "its leftovers do not match the mesh's files, and were left as they are"},
        {"the data file changed after the crash", {"-ms", "M"},
         {{"M_a.3d", a}, {"M_d.3d", partial}, {ab, o}, {dt, dd}, {db, d}}, "", {},
         "the data file changed since, and the backup may be the only copy of its original"},
    };
}

TEST_F(Files, TheNextRunFinishesOrUndoesWhatARunCutShortLeft) {
    for (const LeftoverCase& c : leftoverCases()) {
        SCOPED_TRACE(c.name);
        for (const std::string& n : listFolder(scratch.dir)) {
            fs::remove(path(n));
        }
        for (const auto& [name, bytes] : c.before) {
            writeFile(path(name), bytes);
        }
        const bool ms = std::find(c.args.begin(), c.args.end(), "-ms") != c.args.end();
        const bool dry = c.args[0] == "--dry-run";
        const RunResult r = runTool(c.args, scratch.dir);
        EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1), c.err);
        if (c.seen.empty()) {
            EXPECT_EQ(r.out, kBanner + "\n\nCan't clean up after an interrupted run on file M_a.3d: " +
                                 c.refusal + " !\n");
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(snapshot(scratch.dir), c.before);
            continue;
        }
        const Mesh seen{"M", c.seen.at("M_a.3d"), c.seen.at("M_d.3d")};
        const Prediction p = predict(seen, ms);
        EXPECT_EQ(r.status, p.status);
        if (dry) {
            EXPECT_EQ(snapshot(scratch.dir), c.seen);
            continue;
        }
        EXPECT_EQ(r.out, p.out);
        EXPECT_EQ(snapshot(scratch.dir), (Snapshot{{"M_a.3d", p.anim}, {"M_d.3d", p.data}}));
    }
}

TEST_F(Files, ALinkNamedLikeALeftoverIsLeftAlone) {
    putMesh(scratch.dir, kMesh);
    fs::create_symlink("M_d.3d", path("M_a.3d.meshfold-0123abcd.tmp"));
    fs::create_directory(path("M_d.3d.meshfold-0123abcd.tmp"));
    const RunResult r = runTool({"M"}, scratch.dir);
    EXPECT_EQ(r.out, predict(kMesh, false).out);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "meshfold: warning: M_a.3d.meshfold-0123abcd.tmp is named like a file meshfold leaves "
              "behind, but it is a link, not a regular file, or another user's: left alone\n");
    EXPECT_TRUE(fs::is_symlink(path("M_a.3d.meshfold-0123abcd.tmp")));
    EXPECT_TRUE(fs::is_directory(path("M_d.3d.meshfold-0123abcd.tmp")));
}

// A backup swapped for a link between the look at it and its opening: the
// link is not followed, so the file it points to is neither read nor
// removed, and the commit it would finish is left as it is.
TEST_F(Files, ALeftoverSwappedForALinkAsItIsOpenedIsLeftAlone) {
    if (faultShim().empty()) {
        GTEST_SKIP() << "the fault library is not built on this platform";
    }
    const Prediction p = predict(kMesh, true);
    const std::string ab = "M_a.3d.meshfold-0123abcd.bak";
    const std::string dt = "M_d.3d.meshfold-0123abcd.tmp";
    fs::create_directories(path("other"));
    writeFile(path("other/original"), kMesh.anim);
    writeFile(path("M_a.3d"), p.anim);
    writeFile(path("M_d.3d"), kMesh.data);
    writeFile(path(ab), kMesh.anim);
    writeFile(path(dt), p.data);
    const RunResult r = runTool({"-ms", "M"}, scratch.dir,
                                withShim({"MESHFOLD_CHANGE_BEFORE=open",
                                          "MESHFOLD_CHANGE_FILE=" + fs::canonical(path(ab)).string(),
                                          "MESHFOLD_CHANGE_HOW=link:other/original"}));
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "meshfold: warning: " + ab + " is named like a file meshfold leaves behind, but it is "
              "a link, not a regular file, or another user's: left alone\n");
    EXPECT_TRUE(endsWith(r.out, "\n\nMesh file has already been converted !\n")) << r.out;
    EXPECT_TRUE(fs::is_symlink(path(ab)));
    EXPECT_EQ(readFile(path("other/original")), kMesh.anim);
    EXPECT_EQ(readFile(path("M_d.3d")), kMesh.data);
    EXPECT_EQ(readFile(path(dt)), p.data);
}

// In a folder that others may write to (sticky, like /tmp), leftovers that
// another user planted beside a user's mesh are never moved over it.
TEST_F(FilesAsNobody, AnotherUsersLeftoversAreNeverUsed) {
    const Prediction p = predict(kMesh, true);
    putMesh(scratch.dir, kMesh);
    giveToNobody(scratch.dir);
    fs::permissions(scratch.dir, fs::perms::all | fs::perms::sticky_bit);
    // What would finish a commit, made by root (another user than nobody).
    writeFile(path("M_a.3d.meshfold-0123abcd.bak"), p.anim);
    writeFile(path("M_d.3d.meshfold-0123abcd.tmp"), kMesh.anim);
    const Snapshot planted = snapshot(scratch.dir);
    const RunResult r = runTool({"-ms", "M"}, scratch.dir, asNobody());
    EXPECT_EQ(r.out, p.out);
    EXPECT_EQ(r.err.substr(0, r.err.find('\n') + 1),
              "meshfold: warning: M_a.3d.meshfold-0123abcd.bak is named like a file meshfold leaves "
              "behind, but it is a link, not a regular file, or another user's: left alone\n");
    Snapshot expected = planted;
    expected["M_a.3d"] = p.anim;
    expected["M_d.3d"] = p.data;
    EXPECT_EQ(snapshot(scratch.dir), expected);
}

// A folder that this user may write to but not read cannot be flushed to
// disk: the mesh fails before anything is replaced, and a dry run says so.
TEST_F(FilesAsNobody, AFolderThatCannotBeFlushedFailsTheMesh) {
    for (const bool ms : {false, true}) {
        for (const bool dry : {false, true}) {
            putMesh(scratch.dir, kMesh);
            giveToNobody(scratch.dir);
            fs::permissions(scratch.dir, fs::perms::owner_write | fs::perms::owner_exec);
            const Prediction p = predict(kMesh, ms);
            std::vector<std::string> args = {"M"};
            if (ms) {
                args.insert(args.begin(), "-ms");
            }
            if (dry) {
                args.insert(args.begin(), "--dry-run");
            }
            const RunResult r = runTool(args, scratch.dir, asNobody());
            fs::permissions(scratch.dir, fs::perms::owner_all);
            EXPECT_EQ(r.out, p.head + "\n\nCan't flush the folder of file M_a.3d to disk: nothing "
                                      "was replaced !\n");
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(snapshot(scratch.dir),
                      (Snapshot{{"M_a.3d", kMesh.anim}, {"M_d.3d", kMesh.data}}));
        }
    }
}

#endif

} // namespace
} // namespace meshfold::test
