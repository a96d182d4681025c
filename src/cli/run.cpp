// The run driver: each mesh's kind chosen once from a table of steps, its
// steps called in order, the meshes in groups whose new files are committed
// together, and the one place that prints a failure and picks the exit
// status.
#include "meshfold/cli/run.h"

#include "commit/commit.h"
#include "cli/game_steps.h"
#include "cli/gltf_steps.h"
#include "meshfold/common/messages.h"
#include "cli/names.h"
#include "meshfold/cli/options.h"
#include "meshfold/platform/platform.h"
#include "cli/run_steps.h"

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace meshfold {

namespace {

// Meshes whose new files are flushed to disk together, at most.
constexpr std::size_t kGroupMeshes = 32;

// Files a run may hold open beside what its groups hold: the three standard
// streams, the files of the mesh being read, and the checks' and the commit's
// (a lock, a backup being copied).
constexpr std::size_t kOtherOpenFiles = 8;

// The most new files one mesh makes: a mesh made from a glTF file, both game
// files, its script and a texture for each of the 256 texture numbers. With
// the backups of its game files it always fits the files an interrupt
// removes, so only the limit on open files can refuse a mesh alone.
constexpr std::size_t kMostNewFiles = 3 + 256;
static_assert(kMostNewFiles + 2 <= std::size_t{kMaxInterruptFiles});

// What meshes hold until their group is done. Each new file is an open
// temporary file and a place among the files an interrupt removes. While
// the group is moved into place, each mesh also holds the folder of each
// file it replaces open (one, or two when it changes both game files and a
// link leads the data file elsewhere), and one that changes both game files
// keeps a backup of each original among the files an interrupt removes.
struct Held {
    std::size_t openFiles = 0;
    std::size_t interruptFiles = 0;
};

Held heldBy(std::span<const Conversion> meshes) {
    Held h;
    for (const Conversion& c : meshes) {
        if (c.failure.stop == Stop::None) {
            const bool both = changesBothFiles(c.options);
            h.openFiles += c.newFiles + (both ? 2 : 1);
            h.interruptFiles += c.newFiles + (both ? 2 : 0);
        }
    }
    return h;
}

// The files a group may hold open: this process's limit on open files
// (`ulimit -n 64`) less those a run needs besides.
std::size_t openFileRoom() {
    const std::size_t limit = openFileLimit();
    return limit > kOtherOpenFiles ? limit - kOtherOpenFiles : 0;
}

// True when what the meshes hold fits both this process's limit on open
// files and the files an interrupt removes, so that no mesh fails to open
// a file and an interrupt leaves none behind.
bool fits(const Held& h) {
    return h.openFiles <= openFileRoom() && h.interruptFiles <= std::size_t{kMaxInterruptFiles};
}

// Bytes written before a group is flushed even when it is not full, so that
// the disk never falls far behind and large meshes report as they finish.
constexpr std::uint64_t kGroupBytes = std::uint64_t{64} << 20;

const std::string& animFile(const RunOptions& o) {
    return o.animFileName;
}

const std::string& gltfSource(const RunOptions& o) {
    return o.gltfSource;
}

// The kinds of mesh a run takes, one row a kind, as ninja keeps its tools in
// one table: a mesh's kind is the first row that takes it, chosen once when
// the mesh is named, and the driver then calls only through that row. A new
// kind is a new row (before the last, which takes every mesh) and its steps
// in a file of their own beside gltf_steps.cpp.
const MeshKind kMeshKinds[] = {
    // A mesh made from a glTF file: the name of one.
    {[](const RunOptions& o) { return !o.gltfSource.empty(); }, gltfSource, prepareImport,
     writeImport, writeImport, rangesReport},
    // The game's own files shown as NAME.glb (--to-gltf).
    {[](const RunOptions& o) { return o.toGltf; }, animFile, prepareExport, writeExport,
     writeAgainFromHeader<writeExport>, exportDone},
    // The game's own files converted to the other form.
    {[](const RunOptions&) { return true; }, animFile, prepareConversion, writeConversion,
     writeAgainFromHeader<writeConversion>, rangesReport},
};

const MeshKind& kindOf(const RunOptions& o) {
    return *std::find_if(std::begin(kMeshKinds), std::end(kMeshKinds),
                         [&o](const MeshKind& k) { return k.takes(o); });
}

// Everything before the new files are written: recovery, then the kind's
// own preparation. What it keeps stays until release().
void prepare(Session& io, Conversion& c) {
    Failure f = c.named->failure; // a name that stands for no mesh
    if (f.stop == Stop::None) {
        f = recoverLeftovers(io, c);
    }
    if (f.stop == Stop::None) {
        f = c.kind->prepare(io, c);
    }
    c.failure = f;
}

// A mesh whose new files alone need more files open at once than this
// process may have, which no group can hold.
Failure checkOpenFiles(const Conversion& c) {
    const Held alone = heldBy(std::span(&c, 1));
    if (fits(alone)) {
        return {};
    }
    return Failure{Stop::TooManyOpenFiles, c.kind->source(c.options),
                   std::to_string(openFileLimit()), alone.openFiles + kOtherOpenFiles};
}

// The mesh's new files in temporary files (in a dry run, in memory only),
// unless it cannot hold them open.
void write(Session& io, Conversion& c) {
    if (c.failure.stop == Stop::None) {
        c.failure = checkOpenFiles(c);
    }
    if (c.failure.stop == Stop::None) {
        c.failure = c.kind->write(io, c);
    }
}

// Closes the animation file and drops what inspection read of the data file
// (or the mesh made from a glTF file), once the mesh's new files are written
// or it has failed.
void release(Conversion& c) {
    c.anim.reset();
    c.inspected.dataStart = {}; // up to 1 MiB per mesh; a group must not hold them all
    c.imported = {};
}

// Finishes a group: every mesh's files in place (or left alone; a dry run
// checks what it can of that), then each mesh's lines in order.
void finishGroup(Session& io, std::span<Conversion> group, Tally& tally) {
    std::vector<CommitTask> tasks;
    tasks.reserve(group.size());
    for (Conversion& c : group) {
        tasks.push_back({c.options, c.newAnim, c.newData, c.newScript, c.newTextures, c.animRead,
                         c.dataRead, c.failure});
    }
    commitGroup(tasks, io.dryRun);
    for (const Conversion& c : group) {
        say(io.out, c.lines);
        if (c.failure.stop != Stop::None) {
            say(io.out, failureMessage(c.failure));
            ++(alreadyInForm(c.failure.stop) ? tally.alreadyConverted : tally.failed);
        } else {
            say(io.out, c.kind->doneReport(io, c));
            ++tally.converted;
        }
    }
}

// True when the last mesh of the group found no room on its disk while the
// meshes before it held their new files, which a run on it alone would not
// have had to make room for.
bool crowdedOut(const std::vector<Conversion>& group) {
    const Conversion& last = group.back();
    const bool noRoom = last.newAnim.noRoom || last.newData.noRoom;
    return last.failure.stop != Stop::None && noRoom &&
           std::any_of(group.begin(), group.end() - 1,
                       [](const Conversion& c) { return c.failure.stop == Stop::None; });
}

// Finishes every mesh of the group but the last, which then starts a group
// of its own: its lines so far go out, and the rest as they come.
void finishAllButLast(Session& io, std::vector<Conversion>& group, Tally& tally) {
    finishGroup(io, std::span(group).first(group.size() - 1), tally);
    group.erase(group.begin(), group.end() - 1);
    Conversion& c = group.front();
    say(io.out, c.lines);
    c.lines.clear();
    c.live = true;
}

// The last mesh of the group written again on its own: the meshes before it
// are moved into place first, which frees their originals. It then prints
// and converts (or fails) as a run on it alone would.
void retryAlone(Session& io, std::vector<Conversion>& group, Tally& tally) {
    finishAllButLast(io, group, tally);
    Conversion& c = group.front();
    c.newAnim = {};
    c.newData = {};
    c.newScript = {};
    c.newTextures.clear();
    c.converted = {};
    c.bytesWritten = 0;
    c.failure = c.kind->writeAgain(io, c);
}

std::uint64_t bytesWritten(std::span<const Conversion> group) {
    std::uint64_t bytes = 0;
    for (const Conversion& c : group) {
        bytes += c.bytesWritten;
    }
    return bytes;
}

// Each mesh prepared, then written into its group; a group is finished when
// it is full, when it has written kGroupBytes, or before a mesh whose new
// files would take it past the files this process may hold (see fits()).
int convertAll(const Command& cmd, Session& io) {
    const std::vector<NamedMesh> meshes = resolveMeshes(cmd);
    Tally tally;
    std::vector<Conversion> group;
    group.reserve(kGroupMeshes);
    for (const NamedMesh& mesh : meshes) {
        Conversion& c = group.emplace_back();
        c.named = &mesh;
        c.kind = &kindOf(mesh.options);
        c.options = mesh.options;
        c.live = group.size() == 1;
        prepare(io, c);
        if (group.size() > 1 && !fits(heldBy(group))) {
            finishAllButLast(io, group, tally);
        }
        write(io, group.back());
        if (crowdedOut(group)) {
            retryAlone(io, group, tally);
        }
        release(group.back());
        if (group.size() == kGroupMeshes || bytesWritten(group) >= kGroupBytes) {
            finishGroup(io, group, tally);
            group.clear();
        }
    }
    finishGroup(io, group, tally);
    if (meshes.size() > 1) {
        say(io.out, summaryLine(tally, io.dryRun, cmd.toGltf));
    }
    return tally.converted == meshes.size() ? kExitSuccess : kExitFailure;
}

} // namespace

int runMeshfold(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
    say(out, kBanner);
    const Command cmd = parseCommandLine(args);
    for (const std::string& unknown : cmd.unknownSwitches) {
        say(err, unknownSwitchWarning(unknown));
    }
    if (!cmd.conflict.empty() && cmd.unknownSwitches.empty()) {
        say(err, switchConflictWarning(cmd.conflict));
    }
    switch (cmd.action) {
    case CommandAction::Help:
        say(out, kHelpText);
        if (!args.empty()) {
            say(out, kSwitchList);
        }
        return kExitSuccess;
    case CommandAction::Version:
        return kExitSuccess;
    case CommandAction::UsageError:
        say(out, kHelpText);
        return kExitUsage;
    case CommandAction::Convert:
        break;
    }
    Session session{out, err, cmd.dryRun, sameTerminal(out, err)};
    return convertAll(cmd, session);
}

bool keepWindowOpen(const ConsoleInfo& console) {
    // Under Wine a console of its own is the terminal Wine was started from,
    // which stays open, and whose Enter key Wine's console may not pass on.
    return console.processesAttached == 1 && console.inputIsConsole && console.outputIsConsole &&
           !console.underWine;
}

} // namespace meshfold
