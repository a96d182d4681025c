// The run driver: the steps of a conversion in order, and the one place that
// prints a failure and picks the exit status.
#include "meshfold/cli/run.h"

#include "commit/commit.h"
#include "meshfold/game/convert.h"
#include "meshfold/game/format.h"
#include "meshfold/game/frames.h"
#include "cli/gltf_steps.h"
#include "meshfold/game/inspect.h"
#include "meshfold/common/messages.h"
#include "cli/names.h"
#include "meshfold/cli/options.h"
#include "meshfold/platform/platform.h"
#include "meshfold/game/reverse.h"
#include "cli/run_steps.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <utility>
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

// Reads up to `size` more bytes onto the end of `bytes`; stops early at end
// of file. False on a read error: a file that cannot be read is not a short one.
bool readUpTo(std::FILE* f, std::size_t size, std::vector<std::uint8_t>& bytes) {
    const std::size_t have = bytes.size();
    bytes.resize(have + size);
    bytes.resize(have + std::fread(bytes.data() + have, 1, size, f));
    return std::ferror(f) == 0;
}

// Reads the rest of the file onto the end of `bytes`. False on a read error.
bool readRest(std::FILE* f, std::vector<std::uint8_t>& bytes) {
    constexpr std::size_t kStep = 65536;
    while (readUpTo(f, kStep, bytes)) {
        if (std::feof(f)) {
            return true;
        }
    }
    return false;
}

// A file that cannot be opened for reading, and why. When several files match
// its name ignoring case, standard error lists them, since none was taken.
Failure cantOpen(Session& io, const std::string& file, const std::vector<std::string>& candidates) {
    if (!candidates.empty()) {
        note(io, caseCandidatesNote(file, candidates));
    }
    return fail(heldByAnotherProgram(file) ? Stop::InUse : Stop::CantOpen, file);
}

// Reads the start of the first frame, as far as inspection wants it, into the
// session's input buffer, then puts the file back right after its header for
// the conversion. False on a read error.
bool readFirstFrame(Session& io, Conversion& c, std::span<const std::uint8_t>& frame) {
    const std::size_t wanted = std::min(firstFrameBytesWanted(c.info, c.dataStart), io.in.size());
    if (wanted == 0) {
        return true;
    }
    frame = {io.in.data(), std::fread(io.in.data(), 1, wanted, c.anim.get())};
    return !std::ferror(c.anim.get()) &&
           std::fseek(c.anim.get(), static_cast<long>(kAnimHeaderSize), SEEK_SET) == 0;
}

Failure inspect(Session& io, Conversion& c) {
    const RunOptions& o = c.options;
    c.anim.reset(openForReading(o.animFileName));
    if (!c.anim) {
        return cantOpen(io, o.animFileName, c.named->animCandidates);
    }
    c.animRead = stampOf(c.anim.get());
    std::vector<std::uint8_t> animHead;
    if (!readUpTo(c.anim.get(), kAnimHeaderSize, animHead)) {
        return fail(Stop::ReadFailed, o.animFileName);
    }
    InspectStep step = inspectAnimHeader(o, animHead, c.info);
    emit(io, c, step.progress);
    if (step.failure.stop != Stop::None) {
        return step.failure;
    }

    InputFile data(openForReading(o.dataFileName));
    if (!data) {
        return cantOpen(io, o.dataFileName, c.named->dataCandidates);
    }
    c.dataRead = stampOf(data.get());
    // An export keeps every byte of the data file, those after its last
    // triangle too.
    if (!readUpTo(data.get(), kDataCountsSize, c.dataStart) ||
        !readUpTo(data.get(), dataBytesWanted(c.dataStart) - c.dataStart.size(), c.dataStart) ||
        (o.toGltf && !readRest(data.get(), c.dataStart))) {
        return fail(Stop::ReadFailed, o.dataFileName);
    }
    data.reset();
    std::span<const std::uint8_t> firstFrame;
    const bool readable = readFirstFrame(io, c, firstFrame);
    step = inspectDataHeader(o, c.dataStart, c.info, firstFrame);
    emit(io, c, step.progress);
    c.frames = step.frames;
    if (o.toUnreal && o.hiRes) {
        // The slots of the first frame, which inspection reads for every wide mesh.
        const std::size_t slots = std::size_t{c.info.vertexCount} * kWideVertexSize;
        c.smallScale = writtenWithoutHiRes(firstFrame.first(std::min(slots, firstFrame.size())),
                                           o.milkshapeFix);
    }
    return readable ? step.failure : fail(Stop::ReadFailed, o.animFileName);
}

// What the triangles say about a mesh that is going to be converted.
void warnAboutTriangles(Session& io, const Conversion& c) {
    const TriangleFindings t = checkTriangles(c.dataStart, c.info);
    const std::string& file = c.options.dataFileName;
    if (t.badIndex > 0) {
        note(io, triangleIndexWarning(file, t.badIndex, c.info.polygonCount, t.firstBad,
                                      t.firstBadIndex, c.info.vertexCount));
    }
    if (c.options.milkshapeFix && t.weapons > 0) {
        note(io, weaponTriangleWarning(file, t.weapons));
    }
}

// A mesh converted without -h and taken back with it comes out a few field
// steps across; converted again, a speck. The run still does what was asked.
void warnAboutScale(Session& io, const Conversion& c) {
    if (c.smallScale) {
        note(io, smallScaleWarning(c.options.animFileName));
    }
}

// A file with more or fewer vertex bytes than its frames need converts as it
// comes, but the game will show a garbled frame.
void warnAboutVertexBytes(Session& io, Conversion& c) {
    const std::uint64_t expected = std::uint64_t{c.info.frameCount} * c.info.frameSize;
    if (!std::exchange(c.vertexBytesChecked, true) && c.vertexBytes != expected) {
        note(io, vertexBytesWarning(c.options.animFileName, c.vertexBytes, c.info.frameCount,
                                    c.info.frameSize));
    }
}

// Checks, before anything is written (in a dry run too), that every file the
// run will replace (or, exporting, create) can be replaced by this user.
Failure checkWritable(const RunOptions& o) {
    if (o.toGltf) {
        return replaceable(gltfFileName(o), true);
    }
    const Failure f = replaceable(o.animFileName);
    if (f.stop != Stop::None || !o.milkshapeFix) {
        return f;
    }
    return replaceable(o.dataFileName);
}

// Converts `count` vertices gathered at `in` into `out` in the run's
// direction, and returns how many bytes they take there.
std::size_t convertVertices(Conversion& c, const std::uint8_t* in, std::size_t count,
                            std::uint8_t* out) {
    const ConvertMode mode{c.options.milkshapeFix, c.options.hiRes};
    if (c.options.toUnreal) {
        packVertices(in, count, out, mode, c.ranges, c.packing);
        return count * kPackedVertexSize;
    }
    convertWords(in, count, out, mode, c.ranges);
    return count * kWideVertexSize;
}

// Streams the vertices after the header that the frames' layout keeps into
// the new animation file: packed words as wide vertices (every whole word,
// or with room to spare the first N words of each frame), or taking a mesh
// back, the first N wide vertices of each frame as packed words. Bytes that
// make no whole vertex are dropped.
Failure writeVertices(Session& io, Conversion& c) {
    const FrameLayout layout = frameLayout(c.frames);
    std::vector<std::uint8_t>& in = io.in;
    std::vector<std::uint8_t>& wide = io.wide;
    std::size_t carried = 0; // bytes of an incomplete word or frame from the last read
    for (;;) {
        const std::size_t got = std::fread(in.data() + carried, 1, in.size() - carried, c.anim.get());
        c.vertexBytes += got;
        const std::size_t have = carried + got;
        const bool atEnd = got == 0 || std::feof(c.anim.get()) || std::ferror(c.anim.get());
        const std::size_t whole = atEnd ? have : have - have % layout.stride;
        const std::size_t vertices = gatherVertices({in.data(), whole}, layout);
        const std::size_t bytes = convertVertices(c, in.data(), vertices, wide.data());
        // Once a vertex cannot be taken back nothing more is written, but every
        // vertex is still looked at, so that the refusal can say how many.
        if (packingFits(c.packing) && !writeAll(io, c, c.newAnim, wide.data(), bytes)) {
            return fail(Stop::VertexWrite);
        }
        carried = have - whole;
        std::memmove(in.data(), in.data() + whole, carried);
        if (atEnd) {
            break;
        }
    }
    if (std::ferror(c.anim.get())) {
        return fail(Stop::ReadFailed, c.options.animFileName);
    }
    return packingFailure(c.packing);
}

Failure writeAnimation(Session& io, Conversion& c) {
    const RunOptions& o = c.options;
    if (!io.dryRun && !beginReplacement(o.animFileName, {}, c.newAnim)) {
        return refusal(c.newAnim.refused, o.animFileName, Stop::CantOpenForWriting);
    }
    std::uint8_t field[2];
    writeLe16(field, c.info.frameCount);
    if (!writeAll(io, c, c.newAnim, field, sizeof field)) {
        return fail(Stop::FrameCountWrite, o.animFileName);
    }
    writeLe16(field, newFrameSize(o, c.frames));
    if (!writeAll(io, c, c.newAnim, field, sizeof field)) {
        return fail(Stop::WriteFailed, o.animFileName);
    }
    return writeVertices(io, c);
}

Failure writeDataFile(Session& io, Conversion& c) {
    const RunOptions& o = c.options;
    if (!io.dryRun && !beginReplacement(o.dataFileName, c.newAnim.tag, c.newData)) {
        return refusal(c.newData.refused, o.dataFileName, Stop::CantOpenForWriting);
    }
    const std::vector<std::uint8_t> bytes = milkShapeDataFile(c.dataStart, c.info);
    if (!writeAll(io, c, c.newData, bytes.data(), bytes.size())) {
        return fail(Stop::WriteFailed, o.dataFileName);
    }
    return {};
}

// The new files of a mesh that inspection accepted, in temporary files (in
// a dry run, in memory only).
Failure writeNewFiles(Session& io, Conversion& c) {
    Failure f = c.options.toGltf ? writeGltf(io, c) : writeAnimation(io, c);
    if (f.stop == Stop::None) {
        warnAboutVertexBytes(io, c);
        if (c.options.milkshapeFix) {
            f = writeDataFile(io, c);
        }
    }
    if (f.stop != Stop::None) {
        abandon(c);
    }
    return f;
}

// A mesh's own files converted, or exported: inspection, the checks and the
// warnings; its new file, or two with -ms, are counted.
Failure prepareConversion(Session& io, Conversion& c) {
    Failure f = inspect(io, c);
    if (f.stop == Stop::None) {
        warnAboutTriangles(io, c);
        warnAboutScale(io, c);
        f = checkWritable(c.options);
    }
    c.newFiles = c.options.milkshapeFix ? 2 : 1;
    return f;
}

// Everything before the new files are written: recovery, then the conversion,
// the export or the import with its checks and warnings. The animation file
// stays open, and what inspection read of the data file (or the mesh made from
// a glTF file) kept, until release().
void prepare(Session& io, Conversion& c) {
    Failure f = c.named->failure; // a name that stands for no mesh
    if (f.stop == Stop::None) {
        f = recoverLeftovers(io, c);
    }
    if (f.stop == Stop::None) {
        f = c.options.gltfSource.empty() ? prepareConversion(io, c) : prepareImport(io, c);
    }
    c.failure = f;
}

// The mesh's new files written anew from what prepare() kept: the animation
// file read again from right after its header, or the mesh made from a glTF
// file.
Failure writeAgain(Session& io, Conversion& c) {
    if (!c.options.gltfSource.empty()) {
        return writeImport(io, c);
    }
    std::clearerr(c.anim.get());
    return std::fseek(c.anim.get(), static_cast<long>(kAnimHeaderSize), SEEK_SET) == 0
               ? writeNewFiles(io, c)
               : fail(Stop::ReadFailed, c.options.animFileName);
}

// A mesh whose new files alone need more files open at once than this
// process may have, which no group can hold.
Failure checkOpenFiles(const Conversion& c) {
    const Held alone = heldBy(std::span(&c, 1));
    if (fits(alone)) {
        return {};
    }
    const RunOptions& o = c.options;
    return Failure{Stop::TooManyOpenFiles, o.gltfSource.empty() ? o.animFileName : o.gltfSource,
                   std::to_string(openFileLimit()), alone.openFiles + kOtherOpenFiles};
}

// The mesh's new files in temporary files (in a dry run, in memory only),
// unless it cannot hold them open.
void write(Session& io, Conversion& c) {
    if (c.failure.stop == Stop::None) {
        c.failure = checkOpenFiles(c);
    }
    if (c.failure.stop == Stop::None) {
        c.failure = c.options.gltfSource.empty() ? writeNewFiles(io, c) : writeImport(io, c);
    }
}

// Closes the animation file and drops what inspection read of the data file
// (or the mesh made from a glTF file), once the mesh's new files are written
// or it has failed.
void release(Conversion& c) {
    c.anim.reset();
    c.dataStart = {}; // up to 1 MiB per mesh; a group must not hold them all
    c.imported = {};
}

// Moves every finished mesh of the group into place, durably; a dry run
// checks what it can of that.
void commitGroup(std::span<Conversion> group, bool dryRun) {
    std::vector<CommitTask> tasks;
    tasks.reserve(group.size());
    for (Conversion& c : group) {
        tasks.push_back({c.options, c.newAnim, c.newData, c.animRead, c.dataRead, c.failure});
    }
    if (dryRun) {
        checkGroupFolders(tasks);
    } else {
        meshfold::commitGroup(tasks);
    }
}

// The lines that end a mesh's block.
std::string doneReport(const Session& io, const Conversion& c) {
    if (c.options.toGltf) {
        return exportReport(c.exported, io.dryRun);
    }
    return io.dryRun ? dryRunReport(c.ranges) : rangeReport(c.ranges);
}

// Finishes a group: every mesh's files in place (or left alone), then each
// mesh's lines in order.
void finishGroup(Session& io, std::span<Conversion> group, Tally& tally) {
    if (!io.dryRun) {
        flushScripts(group);
        commitTextures(group);
    }

    commitGroup(group, io.dryRun);
    for (Conversion& c : group) {
        commitScript(c);
        say(io.out, c.lines);
        if (c.failure.stop != Stop::None) {
            say(io.out, failureMessage(c.failure));
            ++(alreadyInForm(c.failure.stop) ? tally.alreadyConverted : tally.failed);
        } else {
            say(io.out, doneReport(io, c));
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
    c.ranges = {};
    c.packing = {};
    c.vertexBytes = 0;
    c.bytesWritten = 0;
    c.failure = writeAgain(io, c);
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
