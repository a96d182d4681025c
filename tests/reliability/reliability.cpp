#include "reliability.h"

#include "meshfold/game/memory_run.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#ifndef _WIN32
#include <sys/statvfs.h>
#include <unistd.h>
#endif

namespace meshfold::test {

namespace {

const std::string kBannerOut = "\nUnreal to Deus Ex mesh converter, v1.2\nWritten by Tolvane\n";

} // namespace

Prediction predict(const Mesh& mesh, bool milkshapeFix, bool hiRes, bool toUnreal) {
    RunOptions o;
    o.milkshapeFix = milkshapeFix;
    o.hiRes = hiRes;
    o.toUnreal = toUnreal;
    o.baseName = mesh.base;
    o.animFileName = mesh.base + "_a.3d";
    o.dataFileName = mesh.base + "_d.3d";
    const MemoryRun r = runInMemory(o, mesh.anim, mesh.data);
    Prediction p;
    p.out = kBannerOut + r.output;
    const std::string end = r.failure.stop == Stop::None ? rangeReport(r.ranges)
                                                          : failureMessage(r.failure);
    p.progress = r.output.substr(0, r.output.size() - end.size());
    p.head = kBannerOut + p.progress;
    p.status = r.failure.stop == Stop::None ? 0 : 1;
    p.anim = r.failure.stop == Stop::None ? r.anim : mesh.anim;
    p.data = milkshapeFix && r.failure.stop == Stop::None ? r.data : mesh.data;
    return p;
}

void putMesh(const fs::path& dir, const Mesh& mesh) {
    writeFile(dir / (mesh.base + "_a.3d"), mesh.anim);
    writeFile(dir / (mesh.base + "_d.3d"), mesh.data);
}

Mesh packedMesh(const std::string& base, std::uint16_t frames, std::uint16_t verts,
                std::uint16_t polys, std::uint32_t seed) {
    const std::size_t words = std::size_t{frames} * verts;
    std::vector<std::uint32_t> w(words);
    std::uint32_t x = 0x9E3779B9u ^ seed;
    for (auto& v : w) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = x;
    }
    return Mesh{base, animFile(frames, static_cast<std::uint16_t>(4 * verts), w),
                dataFile(polys, verts)};
}

Snapshot snapshot(const fs::path& dir) {
    Snapshot m;
    for (const std::string& n : listFolder(dir)) {
        if (n.rfind(kFillerName, 0) == 0) {
            continue;
        }
        const fs::path p = dir / n;
        // Anything but a regular file by its kind only (reading a pipe would wait).
        const fs::file_status st = fs::symlink_status(p);
        m[n] = fs::is_regular_file(st) ? readFile(p) : Bytes{static_cast<std::uint8_t>(st.type())};
    }
    return m;
}

Snapshot treeOf(const fs::path& dir) {
    Snapshot m;
    if (!fs::exists(dir)) {
        return m;
    }
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        if (e.is_regular_file()) {
            m[fs::relative(e.path(), dir).generic_string()] = readFile(e.path());
        }
    }
    return m;
}

void expectPackageFilesWholeOrAbsent(const Snapshot& now, const Snapshot& made, const std::string& script,
                                     bool leftoversAllowed, const std::string& when) {
    for (const auto& [name, bytes] : now) {
        const auto it = made.find(name);
        if (it == made.end()) {
            EXPECT_TRUE(leftoversAllowed && name.find(".meshfold-") != std::string::npos)
                << name << " should not be there, " << when;
        } else {
            EXPECT_EQ(bytes, it->second) << name << " is not whole, " << when;
        }
    }
    if (now.count(script) != 0) {
        for (const auto& [name, bytes] : made) {
            EXPECT_EQ(now.count(name), 1u) << "the script before " << name << ", " << when;
        }
    }
}

std::vector<std::string> writeFailureMessages(const std::string& base) {
    std::vector<std::string> m{"\n\nCould not write vertex !\n"};
    for (const std::string& f : {base + "_a.3d", base + "_d.3d"}) {
        m.push_back("\n\nCan't open file " + f + " for writing !\n");
        m.push_back("\n\nProblem writing to file " + f + " !\n");
        m.push_back("\n\nProblem reading file " + f + " !\n");
        // A file that cannot be created (EACCES) beside one that could be
        // written: the folder refused it.
        m.push_back("\n\nCan't replace file " + f + ": no new file can be created in its folder !\n");
        m.push_back("\n\nCan't flush the folder of file " + f + " to disk: nothing was replaced !\n");
    }
    m.push_back("\n\nProblem writing to file " + base + "_a.3d !");
    return m;
}

bool expectUnchangedOrConverted(const fs::path& dir, const Snapshot& before, const Mesh& mesh,
                                bool milkshapeFix, const RunResult& r, bool toUnreal) {
    const Prediction p = predict(mesh, milkshapeFix, false, toUnreal);
    if (r.status == 0) {
        EXPECT_EQ(r.out, p.out);
        Snapshot after = before;
        after[mesh.base + "_a.3d"] = p.anim;
        after[mesh.base + "_d.3d"] = p.data;
        EXPECT_EQ(snapshot(dir), after);
        return false;
    }
    EXPECT_EQ(r.status, 1) << r.out;
    bool known = false;
    for (const std::string& m : writeFailureMessages(mesh.base)) {
        known = known || r.out == p.head + m;
    }
    EXPECT_TRUE(known) << "unexpected output:" << r.out;
    EXPECT_EQ(snapshot(dir), before);
    return true;
}

#ifndef _WIN32

bool isRoot() {
    return geteuid() == 0;
}

int envNumber(const char* name, int fallback) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::atoi(v) : fallback;
}

bool haveCommand(const std::string& name) {
    return std::system(("command -v " + name + " >/dev/null 2>&1").c_str()) == 0;
}

SmallDisk::SmallDisk(const fs::path& where, const std::string& options) : dir_(where) {
    fs::create_directories(dir_);
    const std::string cmd = "mount -t tmpfs -o " + options + " meshfold-test '" + dir_.string() +
                            "' 2>/dev/null";
    mounted_ = std::system(cmd.c_str()) == 0;
}

SmallDisk::~SmallDisk() {
    if (mounted_) {
        const std::string cmd = "umount '" + dir_.string() + "'";
        EXPECT_EQ(std::system(cmd.c_str()), 0);
    }
}

std::uintmax_t SmallDisk::freeBytes() const {
    struct statvfs st {};
    if (statvfs(dir_.c_str(), &st) != 0) {
        return 0;
    }
    return std::uintmax_t{st.f_bavail} * st.f_frsize;
}

bool SmallDisk::leaveFree(std::uintmax_t bytes) {
    const fs::path filler = dir_ / kFillerName;
    std::error_code ec;
    fs::remove(filler, ec);
    const std::uintmax_t available = freeBytes();
    if (available < bytes) {
        return false;
    }
    {
        std::ofstream out(filler, std::ios::binary);
        const std::vector<char> zeros(1 << 16, 0);
        for (std::uintmax_t left = available - bytes; left > 0;) {
            const std::size_t n = static_cast<std::size_t>(std::min<std::uintmax_t>(left, zeros.size()));
            out.write(zeros.data(), static_cast<std::streamsize>(n));
            left -= n;
        }
    }
    return freeBytes() == bytes;
}

std::string faultShim() {
#ifdef MESHFOLD_FAULT_SHIM
    return MESHFOLD_FAULT_SHIM;
#else
    return {};
#endif
}

std::vector<std::string> failingCalls(const std::string& plan, const fs::path& log) {
    // A sanitizer runtime that wants to be loaded first is told that the
    // preloaded library is expected.
    return {"env",
            "LD_PRELOAD=" + faultShim(),
            "MESHFOLD_FAIL=" + plan,
            "MESHFOLD_FAIL_LOG=" + log.string(),
            "ASAN_OPTIONS=verify_asan_link_order=0"};
}

std::vector<std::string> withShim(const std::vector<std::string>& settings) {
    std::vector<std::string> w = {"env", "LD_PRELOAD=" + faultShim(),
                                  "ASAN_OPTIONS=verify_asan_link_order=0"};
    w.insert(w.end(), settings.begin(), settings.end());
    return w;
}

std::vector<std::string> killedAtCall(int n, const fs::path& trace) {
    std::vector<std::string> settings = {"MESHFOLD_KILL_AT=" + std::to_string(n)};
    if (!trace.empty()) {
        settings.push_back("MESHFOLD_TRACE=" + trace.string());
    }
    return withShim(settings);
}

std::vector<std::string> fileSizeLimit(std::uintmax_t bytes) {
    const std::string n = std::to_string(bytes);
    return {"sh", "-c", "trap '' XFSZ; exec prlimit --fsize=" + n + ":" + n + " -- \"$@\"", "sh"};
}

std::vector<std::string> asNobody() {
    return {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
}

void giveToNobody(const fs::path& dir) {
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        ASSERT_EQ(lchown(e.path().c_str(), 65534, 65534), 0);
    }
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
}

#endif

} // namespace meshfold::test
