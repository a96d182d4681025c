// Helpers of the fault-injection tests: meshes with their predicted results,
// checks that a run either changed nothing or converted completely, a small
// file system of its own, and ways to run the tool under faults.
#pragma once

#include "support.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace meshfold::test {

// The two files of a mesh, named base + "_a.3d" and base + "_d.3d".
struct Mesh {
    std::string base;
    Bytes anim;
    Bytes data;
};

// What a run of the tool on a mesh must give when no fault interferes.
struct Prediction {
    std::string progress; // after the banner, up to the failure message or the ranges
    std::string head;     // the banner and the progress: what precedes a failure message
    std::string out;      // everything printed
    int status = 1;
    Bytes anim; // the files after the run
    Bytes data;
};

// With toUnreal, of taking the mesh back to the Unreal form.
Prediction predict(const Mesh& mesh, bool milkshapeFix, bool hiRes = false, bool toUnreal = false);

// Writes both files of the mesh into `dir` (anything of the same names replaced).
void putMesh(const fs::path& dir, const Mesh& mesh);

// A pseudo-random packed mesh: `frames` frames of `verts` vertices, `polys` triangles.
Mesh packedMesh(const std::string& base, std::uint16_t frames, std::uint16_t verts,
                std::uint16_t polys, std::uint32_t seed = 1);

// Every file of a folder (not recursive) and its bytes; files whose names
// start with kFillerName (space and inode fillers of a test) are left out.
using Snapshot = std::map<std::string, Bytes>;
Snapshot snapshot(const fs::path& dir);

// Every file below `dir` (recursive, '/' between the parts of a name) and its
// bytes; folders are left out.
Snapshot treeOf(const fs::path& dir);

// A package folder after a run that was cut short or failed, against
// `made`, the folder an undisturbed run makes: each file there is one of
// `made` with its bytes (or, with `leftoversAllowed`, a temporary file the
// next run removes), and the script `script` is there only once every other
// file of `made` is.
void expectPackageFilesWholeOrAbsent(const Snapshot& now, const Snapshot& made, const std::string& script,
                                     bool leftoversAllowed, const std::string& when);

// The messages a failure of the file layer may end with, for this base name.
std::vector<std::string> writeFailureMessages(const std::string& base);

// Checks the result of a run that met a fault: either the run failed with
// the predicted progress and one write-failure message and left the folder
// exactly as `before`, or it succeeded and the files are the full conversion
// (and nothing else was added). Returns true when it failed.
bool expectUnchangedOrConverted(const fs::path& dir, const Snapshot& before, const Mesh& mesh,
                                bool milkshapeFix, const RunResult& r, bool toUnreal = false);

bool isRoot();
bool haveCommand(const std::string& name);

// The number in environment variable `name`, or `fallback` when it is unset:
// lets a longer campaign run with the same tests.
int envNumber(const char* name, int fallback);

// A tmpfs mounted over a fresh folder for the life of the object (root only).
class SmallDisk {
public:
    SmallDisk(const fs::path& where, const std::string& options);
    ~SmallDisk();
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;
    bool mounted() const { return mounted_; }
    const fs::path& dir() const { return dir_; }
    // Fills the disk with a file of its own (kFillerName) until exactly
    // `bytes` stay free.
    // False when the disk cannot be filled that precisely.
    bool leaveFree(std::uintmax_t bytes);
    std::uintmax_t freeBytes() const;

private:
    fs::path dir_;
    bool mounted_ = false;
};

inline constexpr const char* kFillerName = ".filler";

// The preload library that makes chosen system calls fail (empty when not built).
std::string faultShim();

// Wrapper that runs the tool with the calls in `plan` failing, logging each
// injected fault to `log`.
std::vector<std::string> failingCalls(const std::string& plan, const fs::path& log);

// Wrapper that runs the tool killed (SIGKILL) just before its n-th file-system
// call, with every call traced to `trace` when it is given (see fault_shim.cpp).
std::vector<std::string> killedAtCall(int n, const fs::path& trace = {});

// Wrapper that runs the tool with the preload library and extra settings of
// it ("NAME=value").
std::vector<std::string> withShim(const std::vector<std::string>& settings);

// Wrapper that runs the tool with its file size limited to `bytes` and
// SIGXFSZ ignored, so that a write past the limit fails instead of killing.
std::vector<std::string> fileSizeLimit(std::uintmax_t bytes);

// Wrapper that runs the tool as the unprivileged user nobody.
std::vector<std::string> asNobody();

// Gives every file below `dir` (and `dir`) to nobody.
void giveToNobody(const fs::path& dir);

} // namespace meshfold::test
