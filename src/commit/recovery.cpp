// Finishing or undoing, on the next run, a commit that a crash cut short.
#include "commit/recovery.h"

#include "meshfold/game/format.h"
#include "meshfold/game/memory_run.h"
#include "common/paths.h"
#include "meshfold/platform/platform.h"

#include <algorithm>
#include <memory>

namespace meshfold {

RecoveryAction recoveryAction(const LeftoverSet& found, FileNow anim, FileNow data) {
    if (anim == FileNow::Neither || data == FileNow::Neither) {
        return RecoveryAction::Refuse;
    }
    const bool animDone = anim == FileNow::Converted;
    const bool dataDone = data == FileNow::Converted;
    if (animDone == dataDone) {
        return animDone ? RecoveryAction::DropBackups : RecoveryAction::Discard;
    }
    // One file replaced. The other, when it has no backup, was replaced too
    // (its backup went once both moves were on disk) unless its new content
    // is still there to finish with.
    const bool otherTemp = animDone ? found.dataTemp : found.animTemp;
    const FileNow other = animDone ? data : anim;
    if (otherTemp) {
        return animDone ? RecoveryAction::FinishData : RecoveryAction::FinishAnim;
    }
    return other == FileNow::NoBackup ? RecoveryAction::DropBackups : RecoveryAction::Refuse;
}

FileNow fileNow(std::span<const std::uint8_t> file, std::span<const std::uint8_t> backup,
                const std::vector<std::vector<std::uint8_t>>& converted) {
    // A copy cut short by a power cut holds the start of the file, and it
    // was made before anything was replaced.
    if (backup.size() <= file.size() && std::equal(backup.begin(), backup.end(), file.begin())) {
        return FileNow::Original;
    }
    for (const std::vector<std::uint8_t>& c : converted) {
        if (std::equal(file.begin(), file.end(), c.begin(), c.end())) {
            return FileNow::Converted;
        }
    }
    return FileNow::Neither;
}

std::vector<MemoryRun> conversionsOf(std::span<const std::uint8_t> anim,
                                     std::span<const std::uint8_t> data) {
    std::vector<MemoryRun> found;
    // Either direction: a run taking a mesh back to the Unreal form with -ms
    // commits its two files the same way.
    for (bool toUnreal : {false, true}) {
        for (bool hiRes : {false, true}) {
            RunOptions o;
            o.milkshapeFix = true;
            o.hiRes = hiRes;
            o.toUnreal = toUnreal;
            MemoryRun r = runInMemory(o, anim, data);
            if (r.failure.stop == Stop::None) {
                found.push_back(std::move(r));
            }
        }
    }
    return found;
}

bool isMeshPair(std::span<const std::uint8_t> anim, std::span<const std::uint8_t> data) {
    if (anim.size() < kAnimHeaderSize || data.size() < kDataHeaderSize) {
        return false;
    }
    const std::uint32_t polygons = readLe16(data.data());
    const std::uint32_t vertices = readLe16(data.data() + 2);
    const std::uint32_t frames = readLe16(anim.data());
    const std::uint32_t frameSize = readLe16(anim.data() + 2);
    if (polygons == 0 || vertices == 0 || frames == 0 || frameSize < kPackedVertexSize * vertices ||
        anim.size() != kAnimHeaderSize + std::size_t{frames} * frameSize ||
        data.size() < kDataHeaderSize + std::size_t{polygons} * kTriangleRecordSize) {
        return false;
    }
    for (std::size_t t = 0; t < polygons; ++t) {
        const std::uint8_t* r = data.data() + kDataHeaderSize + t * kTriangleRecordSize;
        for (std::size_t k = 0; k < 3; ++k) {
            if (readLe16(r + 2 * k) >= vertices) {
                return false;
            }
        }
    }
    return true;
}

const std::vector<std::string>& LeftoverIndex::namesIn(const std::string& folder) {
    auto [it, fresh] = folders_.try_emplace(folder);
    if (fresh) {
        it->second = namesContaining(folder, kLeftoverMark);
    }
    return it->second;
}

namespace {

bool isTag(const std::string& s) {
    if (s.size() != kTagLength) {
        return false;
    }
    for (char c : s) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

// The leftover `name` beside `base` as the user would name it: in the
// folder of `named` (the file as the user named it) when that is the folder
// it lies in, else by its full path.
std::string shown(const std::string& named, const std::string& base, const std::string& name) {
    const std::string folder = folderOf(named);
    const bool same = folder == folderOf(base) ||
                      fileIdentity(folder.empty() ? "." : folder) == fileIdentity(folderOf(base));
    return (same ? folder : folderOf(base)) + name;
}

// The files of one commit (one TAG) beside a mesh; empty where absent.
struct Leftovers {
    std::string animTemp;
    std::string animBackup;
    std::string dataTemp;
    std::string dataBackup;
};

// Adds the leftovers named after `base`, the real file behind `named`
// (FILE.meshfold-TAG.tmp and FILE.meshfold-TAG.bak), to `found`, by TAG.
void collect(LeftoverIndex& index, const std::string& named, const std::string& base, bool anim,
             std::map<std::string, Leftovers>& found) {
    const std::string folder = folderOf(base);
    const std::string prefix = nameOf(base) + std::string(kLeftoverMark);
    for (const std::string& name : index.namesIn(folder)) {
        if (name.size() != prefix.size() + kTagLength + 4 ||
            name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        const std::string tag = name.substr(prefix.size(), kTagLength);
        const std::string suffix = name.substr(prefix.size() + kTagLength);
        if (!isTag(tag)) {
            continue;
        }
        Leftovers& l = found[tag];
        if (suffix == ".tmp") {
            (anim ? l.animTemp : l.dataTemp) = shown(named, base, name);
        } else if (suffix == ".bak") {
            (anim ? l.animBackup : l.dataBackup) = shown(named, base, name);
        }
    }
}

struct ClaimRelease {
    void operator()(ClaimedFile* f) const {
        releaseClaim(*f);
        delete f;
    }
};
using Held = std::unique_ptr<ClaimedFile, ClaimRelease>;

using Bytes = std::vector<std::uint8_t>;

// One commit's leftovers, claimed, and what is being done with them.
struct Job {
    const RunOptions& options;
    bool dryRun;
    std::string animFile; // the real files the leftovers belong to
    std::string dataFile;
    std::string owner;    // an existing file whose owner the leftovers must have
    Leftovers paths;
    Held animTemp, animBackup, dataTemp, dataBackup;
    RecoveryReport& report;
};

// Every leftover path of a commit, in the order they are listed.
std::vector<const std::string*> everyPath(const Job& j) {
    return {&j.paths.animTemp, &j.paths.animBackup, &j.paths.dataTemp, &j.paths.dataBackup};
}

std::string listed(const std::vector<const std::string*>& paths, const char* between) {
    std::string s;
    for (const std::string* p : paths) {
        if (!p->empty()) {
            s += (s.empty() ? "" : between) + *p;
        }
    }
    return s;
}

int countOf(const Job& j) {
    int n = 0;
    for (const std::string* p : everyPath(j)) {
        n += p->empty() ? 0 : 1;
    }
    return n;
}

// Claims one leftover. False when the whole commit must be left alone.
bool claim(Job& j, std::string& path, const std::string& owner, Held& held) {
    if (path.empty()) {
        return true;
    }
    auto f = Held(new ClaimedFile);
    switch (claimLeftover(path, owner, *f)) {
    case Claim::Ours:
        held = std::move(f);
        return true;
    case Claim::Gone: // resolved by another run meanwhile
        path.clear();
        return true;
    case Claim::InUse: // a run at work on this mesh right now
        return false;
    case Claim::NotOurs:
        j.report.notes += leftoverNotOursWarning(path);
        return false;
    }
    return false;
}

// The whole of one of the mesh's files; false when it cannot be read.
bool readFile(const std::string& path, Bytes& bytes) {
    return readWholeFile(path, bytes) == WholeFile::Read;
}

// A claimed leftover's bytes; an absent one reads as empty.
bool readHeld(const Held& held, Bytes& bytes) {
    return held == nullptr || readClaimed(*held, bytes);
}

Failure refuse(const Job& j, const char* why) {
    return Failure{Stop::RecoveryFailed, j.options.animFileName, why};
}

constexpr const char* kMismatch =
    "its leftovers do not match the mesh's files, and were left as they are";
constexpr const char* kUnreadable = "a leftover cannot be read, and was left as it is";
constexpr const char* kStuck = "a leftover cannot be moved or removed";

// What a commit's leftovers and the mesh's files hold, and how the files
// stand to their backups.
struct Contents {
    Bytes anim, data, animTemp, animBackup, dataTemp, dataBackup;
    bool animAbsent = false; // the file is not there (a mesh made from a glTF file)
    bool dataAbsent = false;
    bool imported = false;   // the commit made the mesh from a glTF file
    std::vector<MemoryRun> conversions; // of the originals
    FileNow animNow = FileNow::NoBackup;
    FileNow dataNow = FileNow::NoBackup;
};

// Reads what the decision needs: with a backup, both mesh files and every
// leftover. A commit without backups left temporary files alone, which
// only ever go, unread.
bool readContents(const Job& j, Contents& c) {
    if (!j.animBackup && !j.dataBackup) {
        return true;
    }
    // A file not there reads as absent: a mesh made from a glTF file for the
    // first time, before (or, undone, after) its move.
    c.animAbsent = !pathExists(j.animFile);
    c.dataAbsent = !pathExists(j.dataFile);
    return (c.animAbsent || readFile(j.animFile, c.anim)) && (c.dataAbsent || readFile(j.dataFile, c.data)) &&
           readHeld(j.animBackup, c.animBackup) && readHeld(j.dataBackup, c.dataBackup) &&
           readHeld(j.animTemp, c.animTemp) && readHeld(j.dataTemp, c.dataTemp);
}

// How each mesh file stands to its backup. The originals are the backups,
// or the files themselves where they are the originals (or have no backup).
void classify(const Job& j, Contents& c) {
    const bool animKept = j.animBackup && fileNow(c.anim, c.animBackup, {}) == FileNow::Original;
    const bool dataKept = j.dataBackup && fileNow(c.data, c.dataBackup, {}) == FileNow::Original;
    c.animNow = animKept ? FileNow::Original : FileNow::NoBackup;
    c.dataNow = dataKept ? FileNow::Original : FileNow::NoBackup;
    if ((!j.animBackup || animKept) && (!j.dataBackup || dataKept)) {
        return; // nothing replaced: no conversion to compare with
    }
    c.conversions = conversionsOf(j.animBackup && !animKept ? c.animBackup : c.anim,
                                  j.dataBackup && !dataKept ? c.dataBackup : c.data);
    std::vector<Bytes> anims;
    std::vector<Bytes> datas;
    for (const MemoryRun& r : c.conversions) {
        anims.push_back(r.anim);
        datas.push_back(r.data);
    }
    if (j.animBackup) {
        c.animNow = fileNow(c.anim, c.animBackup, anims);
    }
    if (j.dataBackup) {
        c.dataNow = fileNow(c.data, c.dataBackup, datas);
    }
    // A data file whose conversion is the same bytes is either: it is what
    // the animation file is.
    if (c.dataNow == FileNow::Original && c.animNow == FileNow::Converted &&
        std::find(datas.begin(), datas.end(), c.data) != datas.end()) {
        c.dataNow = FileNow::Converted;
    }
}

// How one file of a mesh made from a glTF file stands to its backup: an
// empty backup is a file that did not exist; a file that is not its
// original is the new one when it makes one mesh with `partner`.
FileNow importedNow(bool hasBackup, const Bytes& file, bool absent, const Bytes& backup, bool isAnim,
                    const Bytes& partner) {
    if (!hasBackup) {
        return FileNow::NoBackup;
    }
    if (backup.empty() ? absent : !absent && fileNow(file, backup, {}) == FileNow::Original) {
        return FileNow::Original;
    }
    const bool pair = !absent && (isAnim ? isMeshPair(file, partner) : isMeshPair(partner, file));
    return pair ? FileNow::Converted : FileNow::Neither;
}

// Whether the commit may have made the mesh from a glTF file: a backup is
// empty (its file did not exist), or a glTF file of the mesh's name lies
// beside it.
bool madeFromGltf(const Job& j, const Contents& c) {
    if ((j.animBackup && c.animBackup.empty()) || (j.dataBackup && c.dataBackup.empty())) {
        return true;
    }
    for (const char* ext : {".glb", ".gltf", ".GLB", ".GLTF"}) {
        if (pathExists(j.options.baseName + ext)) {
            return true;
        }
    }
    return false;
}

// A commit no conversion explains, classified as an import: each file
// against its backup, and the new files against each other.
void classifyImport(const Job& j, Contents& c) {
    const bool animOld = j.animBackup && (c.animBackup.empty() ? c.animAbsent
                                                                : fileNow(c.anim, c.animBackup, {}) == FileNow::Original);
    const bool dataOld = j.dataBackup && (c.dataBackup.empty() ? c.dataAbsent
                                                                : fileNow(c.data, c.dataBackup, {}) == FileNow::Original);
    const Bytes& animNew = animOld ? c.animTemp : c.anim;
    const Bytes& dataNew = dataOld ? c.dataTemp : c.data;
    c.animNow = importedNow(j.animBackup != nullptr, c.anim, c.animAbsent, c.animBackup, true, dataNew);
    c.dataNow = importedNow(j.dataBackup != nullptr, c.data, c.dataAbsent, c.dataBackup, false, animNew);
    c.imported = true;
}

// True when one conversion of the originals gives both `anim` and `data`,
// or, for a mesh made from a glTF file, when they are one mesh.
bool oneConversion(const Contents& c, const Bytes& anim, const Bytes& data) {
    if (c.imported) {
        return isMeshPair(anim, data);
    }
    return std::any_of(c.conversions.begin(), c.conversions.end(),
                       [&](const MemoryRun& r) { return r.anim == anim && r.data == data; });
}

// Removes every leftover of the commit that is still there, the backups
// first: what a run cut short here leaves resolves the same way.
Failure removeAll(Job& j) {
    for (const std::string* p : {&j.paths.animBackup, &j.paths.dataBackup, &j.paths.animTemp,
                                 &j.paths.dataTemp}) {
        if (!p->empty() && !removeFile(*p)) {
            return refuse(j, kStuck);
        }
    }
    return {};
}

// Nothing was replaced: every leftover goes.
Failure discard(Job& j) {
    j.report.notes += discardNote(listed(everyPath(j), ", "), countOf(j) > 1, j.dryRun);
    return j.dryRun ? Failure{} : removeAll(j);
}

// Both files were replaced: the backups (and anything else left) go.
Failure dropBackups(Job& j) {
    j.report.notes += dropBackupNote(listed(everyPath(j), ", "), countOf(j) > 1, j.dryRun);
    return j.dryRun ? Failure{} : removeAll(j);
}

// One file was replaced: the other's new content (checked to be the same
// conversion) is moved over it and made durable, then the rest goes.
Failure finish(Job& j, const Contents& c, bool data) {
    const bool matches = data ? oneConversion(c, c.anim, c.dataTemp)
                              : oneConversion(c, c.animTemp, c.data);
    if (!matches) {
        return refuse(j, kMismatch);
    }
    const std::string& temp = data ? j.paths.dataTemp : j.paths.animTemp;
    const std::string& target = data ? j.dataFile : j.animFile;
    const std::string& replaced = data ? j.options.animFileName : j.options.dataFileName;
    const std::string& other = data ? j.options.dataFileName : j.options.animFileName;
    j.report.notes += finishNote(listed(everyPath(j), ", "), replaced, other, temp,
                                 listed({&j.paths.animBackup, &j.paths.dataBackup}, " and "),
                                 j.dryRun);
    if (j.dryRun) {
        return {};
    }
    const bool moved = moveOver(temp, target);
    const bool durable = moved && flushFolder(folderOf(target));
    if (!durable) {
        return refuse(j, moved ? (data ? "the data file's folder cannot be flushed to disk"
                                       : "the animation file's folder cannot be flushed to disk")
                               : kStuck);
    }
    (data ? j.paths.dataTemp : j.paths.animTemp).clear();
    return removeAll(j);
}

// Why the files are not what the leftovers say.
const char* mismatch(const Contents& c) {
    if (c.conversions.empty() || c.imported) {
        return kMismatch; // the backups are no mesh, or the new files none
    }
    if (c.animNow == FileNow::Neither) {
        return "the animation file changed since, and the backup may be the only copy of its"
               " original";
    }
    if (c.dataNow == FileNow::Neither) {
        return "the data file changed since, and the backup may be the only copy of its original";
    }
    return kMismatch;
}

Failure resolve(Job& j) {
    const std::string& anim = j.owner;
    const std::string& dataOwner = pathExists(j.dataFile) ? j.dataFile : anim;
    if (!claim(j, j.paths.animTemp, anim, j.animTemp) ||
        !claim(j, j.paths.animBackup, anim, j.animBackup) ||
        !claim(j, j.paths.dataTemp, dataOwner, j.dataTemp) ||
        !claim(j, j.paths.dataBackup, dataOwner, j.dataBackup)) {
        return {};
    }
    const LeftoverSet set{!j.paths.animTemp.empty(), !j.paths.animBackup.empty(),
                          !j.paths.dataTemp.empty(), !j.paths.dataBackup.empty()};
    if (countOf(j) == 0) {
        return {};
    }
    Contents c;
    if (!readContents(j, c)) {
        return refuse(j, kUnreadable);
    }
    // An empty backup is no original to convert: such a commit, and one no
    // conversion explains beside a glTF file of the mesh's name, made the
    // mesh from that file.
    const bool emptyBackup = (j.animBackup && c.animBackup.empty()) || (j.dataBackup && c.dataBackup.empty());
    if (!emptyBackup) {
        classify(j, c);
    }
    if (emptyBackup || (recoveryAction(set, c.animNow, c.dataNow) == RecoveryAction::Refuse && madeFromGltf(j, c))) {
        classifyImport(j, c);
    }
    switch (recoveryAction(set, c.animNow, c.dataNow)) {
    case RecoveryAction::Discard:
        return discard(j);
    case RecoveryAction::FinishData:
        return finish(j, c, true);
    case RecoveryAction::FinishAnim:
        return finish(j, c, false);
    case RecoveryAction::DropBackups:
        return dropBackups(j);
    case RecoveryAction::Refuse:
        break;
    }
    return refuse(j, mismatch(c));
}

// Earlier versions gave each file of a commit a TAG of its own. Killed
// between its two moves, such a run left a backup alone under one TAG and
// the data file's temporary file alone under another: taken one by one,
// the backup would go and the mesh stay half converted. That one shape is
// paired here, and resolved (after the same checks) as one commit.
void pairUntaggedCommit(std::map<std::string, Leftovers>& found) {
    std::string backupTag;
    std::string dataTag;
    for (const auto& [tag, l] : found) {
        const bool others = !l.animTemp.empty() || !l.dataBackup.empty();
        const bool backupAlone = !others && !l.animBackup.empty() && l.dataTemp.empty();
        const bool dataAlone = !others && l.animBackup.empty() && !l.dataTemp.empty();
        std::string* slot = backupAlone ? &backupTag : dataAlone ? &dataTag : nullptr;
        if (slot != nullptr && !slot->empty()) {
            return; // more than one of a kind: nothing says which belong together
        }
        if (slot != nullptr) {
            *slot = tag;
        }
    }
    if (!backupTag.empty() && !dataTag.empty()) {
        found[backupTag].dataTemp = found[dataTag].dataTemp;
        found.erase(dataTag);
    }
}

// The temporary file of a file replaced without a backup (an export's
// NAME.glb, an import's textures, FILE.meshfold-TAG.tmp under a TAG of its
// own) never replaced anything: it goes, whatever else is found.
Failure removeTempLeftovers(const RunOptions& o, bool dryRun, LeftoverIndex& index, const std::string& file,
                            const std::string& anim, const std::string& owner, RecoveryReport& report) {
    const std::string base = leftoverBase(file);
    std::map<std::string, Leftovers> found;
    collect(index, file, base.empty() ? file : base, true, found);
    for (auto& [tag, paths] : found) {
        paths.animBackup.clear(); // an export makes no backup: nothing of ours
        Job j{o, dryRun, anim, {}, owner, paths, nullptr, nullptr, nullptr, nullptr, report};
        if (!claim(j, j.paths.animTemp, owner, j.animTemp)) {
            continue;
        }
        if (countOf(j) > 0) {
            if (const Failure f = discard(j); f.stop != Stop::None) {
                return f;
            }
        }
    }
    return {};
}

} // namespace

RecoveryReport recoverMesh(const RunOptions& o, bool dryRun, LeftoverIndex& index) {
    RecoveryReport report;
    const std::string existingAnim = leftoverBase(o.animFileName);
    // A mesh made from a glTF file for the first time: a run cut short before
    // its animation file appeared left its leftovers beside that name, owned
    // as the glTF file is.
    const bool firstImport = existingAnim.empty() && !o.gltfSource.empty() && pathExists(o.gltfSource);
    const std::string anim = firstImport ? o.animFileName : existingAnim;
    if (anim.empty()) {
        return report;
    }
    const std::string owner = firstImport ? o.gltfSource : anim;
    // A data file not made yet has its leftovers beside its name all the same.
    const std::string existingData = leftoverBase(o.dataFileName);
    const std::string data = existingData.empty() ? o.dataFileName : existingData;
    std::map<std::string, Leftovers> found;
    collect(index, o.animFileName, anim, true, found);
    collect(index, o.dataFileName, data, false, found);
    pairUntaggedCommit(found);
    for (auto& [tag, paths] : found) {
        Job j{o, dryRun, anim, data, owner, paths, nullptr, nullptr, nullptr, nullptr, report};
        report.failure = resolve(j);
        if (report.failure.stop != Stop::None) {
            return report;
        }
    }
    report.failure = removeTempLeftovers(o, dryRun, index, gltfFileName(o), anim, owner, report);
    return report;
}

RecoveryReport removeImportLeftovers(const RunOptions& o, const std::vector<std::string>& files, bool dryRun,
                                     LeftoverIndex& index) {
    RecoveryReport report;
    for (const std::string& file : files) {
        report.failure = removeTempLeftovers(o, dryRun, index, file, o.gltfSource, o.gltfSource, report);
        if (report.failure.stop != Stop::None) {
            break;
        }
    }
    return report;
}

} // namespace meshfold
