// Finishing or undoing, on the next run, a commit that a crash cut short.
#include "meshfold/recovery.h"

#include "meshfold/format.h"
#include "meshfold/memory_run.h"
#include "meshfold/paths.h"
#include "meshfold/platform.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace meshfold {

RecoveryAction recoveryAction(const LeftoverSet& found) {
    if (found.animTemp) {
        return RecoveryAction::Discard;
    }
    if (found.animBackup) {
        return found.dataTemp ? RecoveryAction::FinishData : RecoveryAction::DropBackup;
    }
    return RecoveryAction::Discard;
}

bool madeFromBackup(std::span<const std::uint8_t> backup, std::span<const std::uint8_t> data,
                    std::span<const std::uint8_t> anim, const std::vector<std::uint8_t>* newData) {
    // Either direction: a run taking a mesh back to the Unreal form with -ms
    // commits its two files the same way.
    for (bool toUnreal : {false, true}) {
        for (bool hiRes : {false, true}) {
            RunOptions o;
            o.milkshapeFix = true;
            o.hiRes = hiRes;
            o.toUnreal = toUnreal;
            const MemoryRun r = runInMemory(o, backup, data);
            const bool sameAnim = std::equal(anim.begin(), anim.end(), r.anim.begin(), r.anim.end());
            if (r.failure.stop == Stop::None && sameAnim && (newData == nullptr || *newData == r.data)) {
                return true;
            }
        }
    }
    return false;
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
    std::string gltfTemp; // of an export, which replaces nothing of the mesh
};

// Which of a mesh's files leftovers are named after.
enum class LeftoverOf { Anim, Data, Gltf };

// Adds the leftovers named after `base`, the real file behind `named`
// (FILE.meshfold-TAG.tmp, and for the animation file FILE.meshfold-TAG.bak),
// to `found`, by TAG.
void collect(LeftoverIndex& index, const std::string& named, const std::string& base,
             LeftoverOf of, std::map<std::string, Leftovers>& found) {
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
            (of == LeftoverOf::Anim ? l.animTemp : of == LeftoverOf::Data ? l.dataTemp : l.gltfTemp) =
                shown(named, base, name);
        } else if (suffix == ".bak" && of == LeftoverOf::Anim) {
            l.animBackup = shown(named, base, name);
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

// One commit's leftovers, claimed, and what is being done with them.
struct Job {
    const RunOptions& options;
    bool dryRun;
    std::string animFile; // the real files the leftovers belong to
    std::string dataFile;
    std::string owner;    // an existing file whose owner the leftovers must have
    Leftovers paths;
    Held animTemp, animBackup, dataTemp, gltfTemp;
    RecoveryReport& report;
};

std::string listed(const Job& j) {
    std::string s;
    for (const std::string* p :
         {&j.paths.animTemp, &j.paths.animBackup, &j.paths.dataTemp, &j.paths.gltfTemp}) {
        if (!p->empty()) {
            s += (s.empty() ? "" : ", ") + *p;
        }
    }
    return s;
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

bool readFile(const std::string& path, std::vector<std::uint8_t>& bytes) {
    std::FILE* f = openForReading(path);
    if (f == nullptr) {
        return false;
    }
    bytes.clear();
    std::uint8_t buffer[65536];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

Failure refuse(const Job& j, const char* why) {
    return Failure{Stop::RecoveryFailed, j.options.animFileName, why};
}

// Whether the commit may have made the mesh from a glTF file, which leaves
// no original to convert again: the animation file did not exist before it
// (its backup is empty), or a glTF file of the mesh's name lies beside it.
bool madeFromGltf(const Job& j, const std::vector<std::uint8_t>& backup) {
    if (backup.empty()) {
        return true;
    }
    const std::string base = j.options.baseName;
    for (const char* ext : {".glb", ".gltf", ".GLB", ".GLTF"}) {
        if (pathExists(base + ext)) {
            return true;
        }
    }
    return false;
}

constexpr const char* kMismatch =
    "its leftovers do not match the mesh's files, and were left as they are";
constexpr const char* kUnreadable = "a leftover cannot be read, and was left as it is";
constexpr const char* kStuck = "a leftover cannot be moved or removed";

// Nothing was replaced: the backup (while it still equals the animation
// file), then the animation file's temporary file, then the data file's.
Failure discard(Job& j) {
    if (j.animBackup) {
        std::vector<std::uint8_t> backup;
        std::vector<std::uint8_t> anim;
        // An empty backup stands for an animation file that did not exist
        // (a mesh made from a glTF file for the first time).
        const bool absent = !pathExists(j.animFile);
        if (!readClaimed(*j.animBackup, backup) || (absent && !backup.empty()) ||
            (!absent && !readFile(j.animFile, anim))) {
            return refuse(j, kUnreadable);
        }
        // A copy cut short by a power cut holds the start of the file; any
        // other difference may be the only copy of an earlier original.
        if (backup.size() > anim.size() ||
            !std::equal(backup.begin(), backup.end(), anim.begin())) {
            return refuse(j, "the animation file changed since, and the backup may be the only copy"
                             " of its original");
        }
    }
    const int count = !j.paths.animBackup.empty() + !j.paths.animTemp.empty() +
                      !j.paths.dataTemp.empty() + !j.paths.gltfTemp.empty();
    j.report.notes += discardNote(listed(j), count > 1, j.dryRun);
    for (const std::string* p :
         {&j.paths.animBackup, &j.paths.animTemp, &j.paths.dataTemp, &j.paths.gltfTemp}) {
        if (!j.dryRun && !p->empty() && !removeFile(*p)) {
            return refuse(j, kStuck);
        }
    }
    return {};
}

// The animation file was replaced (or both were): check that the leftovers
// are that commit's, then move the data file's new content into place,
// make that durable, and drop the backup.
Failure finish(Job& j, bool moveData) {
    std::vector<std::uint8_t> backup, data, anim, newData;
    if (!pathExists(j.animFile) && readClaimed(*j.animBackup, backup) && backup.empty()) {
        return discard(j); // the new animation file was already taken back out
    }
    const bool haveData = readFile(j.dataFile, data);
    if (!readClaimed(*j.animBackup, backup) || (!haveData && (!moveData || pathExists(j.dataFile))) ||
        !readFile(j.animFile, anim) || (moveData && !readClaimed(*j.dataTemp, newData))) {
        return refuse(j, kUnreadable);
    }
    const bool converted = haveData && madeFromBackup(backup, data, anim, moveData ? &newData : nullptr);
    if (!converted && !(madeFromGltf(j, backup) && isMeshPair(anim, moveData ? newData : data))) {
        return refuse(j, kMismatch);
    }
    j.report.notes += moveData ? finishNote(listed(j), j.options.animFileName,
                                            j.options.dataFileName, j.paths.dataTemp,
                                            j.paths.animBackup, j.dryRun)
                               : dropBackupNote(j.paths.animBackup, j.dryRun);
    if (j.dryRun) {
        return {};
    }
    if (moveData) {
        Folder folder;
        const bool moved = moveOver(j.paths.dataTemp, j.dataFile);
        const bool durable =
            moved && openFolder(folderOf(j.dataFile), folder) && syncFolder(folder);
        closeFolder(folder);
        if (!durable) {
            return refuse(j, moved ? "the data file's folder cannot be flushed to disk" : kStuck);
        }
    }
    return removeFile(j.paths.animBackup) ? Failure{} : refuse(j, kStuck);
}

Failure resolve(Job& j) {
    const std::string dataOwner = pathExists(j.dataFile) ? j.dataFile : j.owner;
    if (!claim(j, j.paths.animTemp, j.owner, j.animTemp) ||
        !claim(j, j.paths.animBackup, j.owner, j.animBackup) ||
        !claim(j, j.paths.dataTemp, dataOwner, j.dataTemp) ||
        !claim(j, j.paths.gltfTemp, j.owner, j.gltfTemp)) {
        return {};
    }
    const LeftoverSet set{!j.paths.animTemp.empty(), !j.paths.animBackup.empty(),
                          !j.paths.dataTemp.empty()};
    if (!set.animTemp && !set.animBackup && !set.dataTemp) {
        // An export's temporary file alone: it never replaced anything.
        return j.paths.gltfTemp.empty() ? Failure{} : discard(j);
    }
    switch (recoveryAction(set)) {
    case RecoveryAction::Discard:
        return discard(j);
    case RecoveryAction::FinishData:
        return finish(j, true);
    case RecoveryAction::DropBackup:
        return finish(j, false);
    }
    return {};
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
        if (!l.gltfTemp.empty()) {
            continue; // an export's, under a TAG of its own
        }
        const bool backupAlone = !l.animBackup.empty() && l.animTemp.empty() && l.dataTemp.empty();
        const bool dataAlone = l.animBackup.empty() && l.animTemp.empty() && !l.dataTemp.empty();
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
    // A data file not made yet (a mesh from a glTF file, cut short between
    // its two moves) has its temporary file beside its name all the same.
    const std::string existingData = leftoverBase(o.dataFileName);
    const std::string data = existingData.empty() ? o.dataFileName : existingData;
    std::map<std::string, Leftovers> found;
    collect(index, o.animFileName, anim, LeftoverOf::Anim, found);
    collect(index, o.dataFileName, data, LeftoverOf::Data, found);
    // NAME.glb need not exist for an export's leftovers to lie beside it.
    const std::string gltf = gltfFileName(o);
    const std::string gltfBase = leftoverBase(gltf);
    collect(index, gltf, gltfBase.empty() ? gltf : gltfBase, LeftoverOf::Gltf, found);
    pairUntaggedCommit(found);
    for (auto& [tag, paths] : found) {
        Job j{o,     dryRun,  anim,    data,    firstImport ? o.gltfSource : anim,
              paths, nullptr, nullptr, nullptr, nullptr,
              report};
        report.failure = resolve(j);
        if (report.failure.stop != Stop::None) {
            break;
        }
    }
    return report;
}

} // namespace meshfold
