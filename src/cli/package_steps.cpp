// The package steps of a run: a compiled package read and checked whole by
// its first part, its folder's files written by the parts after it.
#include "cli/package_steps.h"

#include "bridge/gltf_export.h"
#include "bridge/package_folder.h"
#include "commit/recovery.h"
#include "common/paths.h"
#include "meshfold/bridge/package_extract.h"
#include "meshfold/common/ascii.h"
#include "meshfold/game/conversion.h"
#include "meshfold/package/inventory.h"
#include "meshfold/platform/platform.h"

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace meshfold {

// The files the first part made, at most this many bytes of them, are kept
// for the parts that write them; the rest are made again there.
inline constexpr std::size_t kKeptFileBytes = std::size_t{8} << 20;

// A package's offsets are 32 bits: no package is larger.
inline constexpr std::size_t kMaxPackageBytes = std::size_t{0xFFFFFFFF};

// The package's own subfolders, as the modders' source trees have them.
inline constexpr const char* kPackageFolders[] = {"Classes", "Models", "Textures"};

enum class PartKind { Read, Texture, Mesh, Script, Export, End };

// A part of the run that writes up to kPartFiles files: several textures,
// meshes or exports (indices into the plan's textures or meshes), or the
// script. A group of the run's meshes then holds the files of many objects,
// and flushes them with one wait for the disk.
struct PackagePart {
    PartKind kind = PartKind::Read;
    std::vector<std::size_t> objects;
};
inline constexpr std::size_t kPartFiles = 8;

// What a run holds of the package it is taking apart, from its first part to
// its last.
struct PackageRun {
    std::string file;       // the package file, as found
    std::string folder;     // its folder of files, beside it
    std::string folderPath; // the same, ending in a separator
    std::vector<std::uint8_t> bytes;
    package::Package package;
    package::Contents contents;
    PackageExtractOptions extract;
    PackagePlan plan;
    std::vector<ExtractedTexture> textures; // the plan's, their files made (pcx while kept)
    std::vector<ExtractedMesh> meshes;      // the plan's (anim and data while kept)
    std::vector<bool> textureSame;          // there already with these bytes
    std::vector<bool> animSame, dataSame, glbSame;
    std::string script;
    bool scriptSame = false;
    std::vector<PackagePart> parts;
    std::size_t keptBytes = 0;
    std::size_t partsDone = 0; // parts whose files are in place
    std::size_t written = 0;   // files written (or in a dry run to be written)
    std::size_t same = 0;      // files left as they were
    std::vector<std::string> madeFolders; // made by this run, deepest last
    bool foldersMade = false;
};

namespace {

// The reader's refusals that say the file is damaged, as against an object
// of a kind meshfold does not take (a SkeletalMesh, a mesh of the 227 patch,
// a pixel format of a patch it does not know, a running state), which is
// left out with a warning.
bool isDamage(package::FailureKind k) {
    using package::FailureKind;
    switch (k) {
    case FailureKind::NotAVertexMesh:
    case FailureKind::Licensee227Mesh:
    case FailureKind::UnsupportedFormat:
    case FailureKind::RunningState:
        return false;
    default:
        return true;
    }
}

Failure damaged(const PackageRun& run, const package::Failure& f) {
    const std::string reason = refusalReason(f);
    return Failure{Stop::PackageDamaged, run.file, f.object.empty() ? reason : f.object + ": " + reason};
}

// The package's name: its file's name without the folder and extension.
std::string packageName(const std::string& file) {
    const std::string name = nameOf(file);
    return name.substr(0, name.rfind('.'));
}

// A path of the folder (relative, '/' between its parts) as the system names it.
std::string onDisk(const PackageRun& run, const std::string& relative) {
    return run.folderPath + relative;
}

enum class OnDisk { Absent, Same, Differs };

// How the file the folder already holds at `path` stands to `bytes`.
OnDisk compareWithDisk(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    if (!pathExists(path)) {
        return OnDisk::Absent;
    }
    std::vector<std::uint8_t> there;
    const WholeFile read = readWholeFile(path, there, bytes.size() + 1);
    return read == WholeFile::Read && there == bytes ? OnDisk::Same : OnDisk::Differs;
}

Failure differs(const PackageRun& run, const std::string& relative) {
    return Failure{Stop::PackageFileExists, onDisk(run, relative), run.file + "\t" + run.folder};
}

// Checks `bytes` against the file there; `same` says whether it is the same.
Failure check(const PackageRun& run, const std::string& relative, const std::vector<std::uint8_t>& bytes,
              bool& same) {
    const OnDisk d = compareWithDisk(onDisk(run, relative), bytes);
    same = d == OnDisk::Same;
    return d == OnDisk::Differs ? differs(run, relative) : Failure{};
}

// Keeps `bytes` for the part that writes them while the run keeps few enough.
void keepOrDrop(PackageRun& run, std::vector<std::uint8_t>& bytes) {
    if (run.keptBytes + bytes.size() <= kKeptFileBytes) {
        run.keptBytes += bytes.size();
    } else {
        bytes = {};
    }
}

// The package file read whole, then its container and every object it holds.
// Objects of kinds meshfold does not take are left out with a warning each.
Failure readWhole(Session& io, PackageRun& run) {
    switch (readWholeFile(run.file, run.bytes, kMaxPackageBytes)) {
    case WholeFile::Read:
        break;
    case WholeFile::CantOpen:
        return fail(heldByAnotherProgram(run.file) ? Stop::InUse : Stop::CantOpen, run.file);
    case WholeFile::ReadError:
        return fail(Stop::ReadFailed, run.file);
    case WholeFile::TooLarge:
        run.bytes = {};
        return Failure{Stop::PackageDamaged, run.file, "it is larger than the 4 GiB a package's offsets can reach"};
    }
    package::PackageRead read = package::readPackage(run.bytes, packageName(run.file));
    if (read.failure) {
        return damaged(run, *read.failure);
    }
    run.package = std::move(*read.package);
    run.contents = package::readContents(run.package, false);
    for (const package::Failure& f : run.contents.failures) {
        if (isDamage(f.kind)) {
            return damaged(run, f);
        }
    }
    for (const package::Failure& f : run.contents.failures) {
        note(io, packageRefusalMessage(f.object, refusalReason(f)));
    }
    return {};
}

// Every file the folder may get, as the system names them: those a cut-short
// run may have left temporary files beside.
std::vector<std::string> folderFiles(const PackageRun& run, bool exported) {
    std::vector<std::string> files;
    if (!exported) {
        files.push_back(onDisk(run, run.plan.scriptFile));
        for (const ExtractedTexture& t : run.plan.planned) {
            files.push_back(onDisk(run, t.fileName));
        }
    }
    for (const std::string& stem : run.plan.stems) {
        if (exported) {
            files.push_back(onDisk(run, "Models/" + stem + ".glb"));
        } else {
            files.push_back(onDisk(run, "Models/" + stem + "_a.3d"));
            files.push_back(onDisk(run, "Models/" + stem + "_d.3d"));
        }
    }
    return files;
}

// The form a mesh is exported in: as stored.
PackageExtractOptions storedForm(const PackageRun& run, std::size_t k) {
    PackageExtractOptions o = run.extract;
    o.mode = {};
    o.unreal = run.contents.meshes[run.plan.meshes[k]].form == package::VertexForm::Packed;
    return o;
}

ExtractedMesh extractMesh(const PackageRun& run, std::size_t k, bool exported) {
    return extractPlannedMesh(run.package, run.contents, run.plan, k, run.textures,
                              exported ? storedForm(run, k) : run.extract);
}

ExtractedTexture makeTexture(const PackageRun& run, std::size_t k) {
    return textureWithFile(run.contents, run.contents.textures[run.plan.textures[k]], run.plan.planned[k]);
}


// The options of mesh k's export: NAME.glb beside where its animation file
// would be in the folder, so that it is named as the folder's export names it.
RunOptions exportOptions(const Conversion& c, const PackageRun& run, const ExtractedMesh& e) {
    RunOptions o = c.options;
    o.toGltf = true;
    o.importScript = false;
    o.baseName = onDisk(run, e.animFile.substr(0, e.animFile.size() - kMeshSuffixLength));
    o.animFileName = onDisk(run, e.animFile);
    o.dataFileName = onDisk(run, e.dataFile);
    return o;
}

// Mesh k exported as the folder's --to-gltf --uc would export it: its
// sequences and slots from its own lines, its textures' files made in
// memory. Into `memory` when given, else into `out` (in a dry run only sized).
GltfExportResult exportMesh(Session& io, const Conversion& c, const PackageRun& run, const ExtractedMesh& e,
                            std::vector<std::uint8_t>* memory, Replacement& out) {
    const RunOptions o = exportOptions(c, run, e);
    GltfExportResult r;
    MemoryMeshReader held(e.anim, e.data);
    MeshInspection mesh;
    InspectStep step = inspectAnimation(o, held, mesh);
    if (step.failure.stop == Stop::None) {
        step = inspectData(o, held, io.buffers.in, mesh);
    }
    if (step.failure.stop != Stop::None) {
        r.failure = step.failure;
        return r;
    }
    MeshPackage package = meshPackageOfScript(e.script, e.animFile, meshName(o), o.fps);
    TextureFiles files;
    for (PackageSlot& s : package.slots) {
        for (std::size_t k = 0; k < run.textures.size() && !s.path.empty(); ++k) {
            if (run.textures[k].hasFile && equalsIgnoringAsciiCase(run.textures[k].fileName, s.path)) {
                s.path = onDisk(run, run.textures[k].fileName);
                files[s.path] = run.textures[k].pcx.empty() ? makeTexture(run, k).pcx : run.textures[k].pcx;
                break;
            }
        }
    }
    const GltfExportJob job{o,          nullptr, mesh.info,       mesh.frames,       mesh.dataStart,
                            io.dryRun && memory == nullptr, io.buffers.in, io.packageScripts, io.texturePngs,
                            e.anim,     &package, &files,         memory};
    return exportGltf(job, out);
}

std::string glbOf(const ExtractedMesh& e) {
    return e.animFile.substr(0, e.animFile.size() - kMeshSuffixLength) + ".glb";
}

// Every texture's file made once: whether it has one, and (`onDisk`, when
// the folder gets it) how it stands to the file there.
Failure checkTextures(PackageRun& run, bool onDisk, std::vector<std::string>& warnings) {
    for (std::size_t k = 0; k < run.plan.textures.size(); ++k) {
        run.textures.push_back(makeTexture(run, k));
        ExtractedTexture& t = run.textures.back();
        warnings.insert(warnings.end(), t.warnings.begin(), t.warnings.end());
        bool same = false;
        if (t.hasFile && onDisk) {
            if (const Failure f = check(run, t.fileName, t.pcx, same); f.stop != Stop::None) {
                return f;
            }
            keepOrDrop(run, t.pcx);
        }
        run.textureSame.push_back(same);
    }
    return {};
}

// Every mesh extracted once: one that cannot be written fails the package
// (its line first, since some messages do not name it); its files checked
// against those there.
Failure checkMeshes(Session& io, Conversion& c, PackageRun& run, std::vector<std::string>& warnings) {
    const bool exported = c.options.toGltf;
    for (std::size_t k = 0; k < run.plan.meshes.size(); ++k) {
        ExtractedMesh e = extractMesh(run, k, exported);
        if (e.failure.stop != Stop::None) {
            emit(io, c, "\n  Mesh " + e.fullName + ":");
            return e.failure;
        }
        warnings.insert(warnings.end(), e.warnings.begin(), e.warnings.end());
        bool animSame = false, dataSame = false, glbSame = false;
        Failure f;
        if (exported) {
            if (pathExists(onDisk(run, glbOf(e)))) {
                std::vector<std::uint8_t> glb;
                Replacement unused;
                const GltfExportResult r = exportMesh(io, c, run, e, &glb, unused);
                f = r.failure.stop != Stop::None ? r.failure : check(run, glbOf(e), glb, glbSame);
            }
        } else {
            f = check(run, e.animFile, e.anim, animSame);
            if (f.stop == Stop::None) {
                f = check(run, e.dataFile, e.data, dataSame);
            }
        }
        if (f.stop != Stop::None) {
            return f;
        }
        keepOrDrop(run, e.anim);
        keepOrDrop(run, e.data);
        run.animSame.push_back(animSame);
        run.dataSame.push_back(dataSame);
        run.glbSame.push_back(glbSame);
        run.meshes.push_back(std::move(e));
    }
    return {};
}

// The package's script, made once every mesh has its lines.
Failure checkScript(PackageRun& run) {
    run.script = packageScript(run.package, run.meshes, run.textures);
    const std::vector<std::uint8_t> bytes(run.script.begin(), run.script.end());
    return check(run, run.plan.scriptFile, bytes, run.scriptSame);
}

// The deepest folder of `path`'s that exists, where the first missing one
// would be made.
std::string existingFolder(std::string folder) {
    while (!folder.empty() && !isFolder(folder)) {
        folder = folderOf(folder.substr(0, folder.size() - 1));
    }
    return folder;
}

// Whether this user can make the folder's files: a file can be made in the
// deepest of its folders that exists.
Failure checkWritable(const PackageRun& run, bool exported) {
    for (const char* sub : kPackageFolders) {
        if (exported && std::string(sub) != "Models") {
            continue;
        }
        const std::string where = existingFolder(run.folderPath + sub + "/");
        const std::string probe = where + nameOf(run.folder) + ".meshfold-probe";
        if (const Failure f = replaceable(probe, true); f.stop != Stop::None) {
            return Failure{f.stop, onDisk(run, std::string(sub) + "/")};
        }
    }
    return {};
}

// The files one object of a part writes.
std::size_t filesOf(const PackageRun& run, PartKind kind, std::size_t k) {
    switch (kind) {
    case PartKind::Read:
    case PartKind::End:
        return 0;
    case PartKind::Texture:
        return run.textureSame[k] ? 0 : 1;
    case PartKind::Mesh:
        return (run.animSame[k] ? 0 : 1) + (run.dataSame[k] ? 0 : 1);
    case PartKind::Script:
        return run.scriptSame ? 0 : 1;
    case PartKind::Export:
        return run.glbSame[k] ? 0 : 1;
    }
    return 0;
}

std::size_t filesOf(const PackageRun& run, const PackagePart& part) {
    std::size_t files = part.kind == PartKind::Script ? filesOf(run, part.kind, 0) : 0;
    for (const std::size_t k : part.objects) {
        files += filesOf(run, part.kind, k);
    }
    return files;
}

// Adds `object` to the last part when it is of `kind` and has room for its
// `files`, else to a new part.
void addToParts(PackageRun& run, PartKind kind, std::size_t object, std::size_t files) {
    PackagePart& last = run.parts.back();
    if (last.kind == kind && (last.objects.size() + 1) * files <= kPartFiles) {
        last.objects.push_back(object);
    } else {
        run.parts.push_back({kind, {object}});
    }
}

void planParts(PackageRun& run, bool exported) {
    run.parts.push_back({PartKind::Read, {}});
    if (run.plan.meshes.empty() && (exported || run.plan.textures.empty())) {
        return; // nothing to write
    }
    if (!exported) {
        for (std::size_t k = 0; k < run.textures.size(); ++k) {
            if (run.textures[k].hasFile) {
                addToParts(run, PartKind::Texture, k, 1);
            }
        }
    }
    for (std::size_t k = 0; k < run.meshes.size(); ++k) {
        addToParts(run, exported ? PartKind::Export : PartKind::Mesh, k, exported ? 1 : 2);
    }
    run.parts.push_back({exported ? PartKind::End : PartKind::Script, {}});
}

// The files the parts write and leave as they are, for the last line.
void countFiles(PackageRun& run) {
    std::size_t files = 0;
    for (const PackagePart& part : run.parts) {
        run.written += filesOf(run, part);
        files += part.kind == PartKind::Script ? 1 : part.objects.size() * (part.kind == PartKind::Mesh ? 2 : 1);
    }
    run.same = files - run.written;
}

// The listing of the package: its textures' files made one at a time, to
// say which would be written.
std::string listing(const PackageRun& run) {
    std::vector<ExtractedTexture> textures = planTextures(run.package, run.contents);
    for (std::size_t i = 0; i < textures.size(); ++i) {
        textures[i] = textureWithFile(run.contents, run.contents.textures[i], std::move(textures[i]));
        textures[i].pcx = {};
    }
    return packageListing(run.package, run.contents, textures);
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& n : names) {
        text += (text.empty() ? "" : ", ") + n;
    }
    return text;
}

// The first part: the package read and checked whole.
Failure prepareRead(Session& io, Conversion& c) {
    auto run = std::make_shared<PackageRun>();
    io.package = run;
    c.package = run;
    const RunOptions& o = c.options;
    run->file = o.packageFile;
    run->folder = o.baseName;
    run->folderPath = o.baseName + "/";
    run->extract.mode = ConvertMode{o.milkshapeFix, o.hiRes};
    run->extract.unreal = o.toUnreal;
    run->extract.meshes = o.packageMeshes;
    if (Failure f = readWhole(io, *run); f.stop != Stop::None) {
        return f;
    }
    if (o.listPackage) {
        emit(io, c, listing(*run));
        return {};
    }
    run->plan = planPackage(run->package, run->contents, run->extract);
    if (!run->plan.unknownMeshes.empty()) {
        return Failure{Stop::PackageUnknownMesh, run->file, joined(run->plan.unknownMeshes)};
    }
    emit(io, c, packageLine(run->file, run->package.header.version, run->plan.meshes.size(),
                            run->plan.textures.size()));
    const RecoveryReport r =
        removeNewFileLeftovers(o, run->file, folderFiles(*run, o.toGltf), io.dryRun, io.leftovers);
    note(io, r.notes);
    if (r.failure.stop != Stop::None) {
        return r.failure;
    }
    std::vector<std::string> warnings;
    Failure f = checkTextures(*run, !o.toGltf, warnings);
    std::vector<std::string> meshWarnings;
    if (f.stop == Stop::None) {
        f = checkMeshes(io, c, *run, meshWarnings);
    }
    if (f.stop == Stop::None && !o.toGltf && (!run->meshes.empty() || !run->textures.empty())) {
        f = checkScript(*run);
    }
    for (const std::string& w : meshWarnings) {
        note(io, w);
    }
    for (const std::string& w : warnings) {
        note(io, w);
    }
    if (f.stop == Stop::None) {
        planParts(*run, o.toGltf);
        f = run->parts.size() > 1 ? checkWritable(*run, o.toGltf) : Failure{};
        countFiles(*run);
    }
    if (f.stop == Stop::None && run->parts.size() == 1) {
        emit(io, c, packageEmptyLine(o.toGltf));
    }
    c.counted = f.stop != Stop::None || run->parts.size() <= 1;
    return f;
}

// The package's folder and every subfolder its parts write into, made
// where they are not yet, on the first file written; each made durable in
// its parent (the parents flushed once each) before any file is moved in.
Failure makeFolders(PackageRun& run, const std::string& relative) {
    if (run.foldersMade) {
        return {};
    }
    std::vector<std::string> folders = {run.folderPath.substr(0, run.folderPath.size() - 1)};
    for (const PackagePart& part : run.parts) {
        const char* sub = part.kind == PartKind::Texture                                  ? "Textures"
                          : part.kind == PartKind::Mesh || part.kind == PartKind::Export ? "Models"
                          : part.kind == PartKind::Script                                ? "Classes"
                                                                                         : nullptr;
        if (sub != nullptr && std::find(folders.begin(), folders.end(), run.folderPath + sub) == folders.end()) {
            folders.push_back(run.folderPath + sub);
        }
    }
    std::vector<std::string> parents;
    for (const std::string& path : folders) {
        if (isFolder(path)) {
            continue;
        }
        if (!makeFolder(path)) {
            return fail(Stop::FolderNotWritable, onDisk(run, relative));
        }
        run.madeFolders.push_back(path);
        if (std::find(parents.begin(), parents.end(), folderOf(path)) == parents.end()) {
            parents.push_back(folderOf(path));
        }
    }
    for (const std::string& parent : parents) {
        (void)flushFolder(parent);
    }
    run.foldersMade = true;
    return {};
}

// Writes one file of the folder into a temporary file beside it (in a dry
// run only counts it), or leaves it where the same bytes are there.
Failure writeFile(Session& io, Conversion& c, PackageRun& run, const std::string& relative,
                  const std::vector<std::uint8_t>& bytes, bool same) {
    if (same) {
        return {};
    }
    if (io.dryRun) {
        c.bytesWritten += bytes.size();
        return {};
    }
    if (const Failure f = makeFolders(run, relative); f.stop != Stop::None) {
        return f;
    }
    const std::string path = onDisk(run, relative);
    Replacement& r = c.newTextures.emplace_back();
    if (!beginReplacement(path, {}, r, true)) {
        return refusal(r.refused, path, Stop::CantOpenForWriting);
    }
    if (!writeAll(io, c, r, bytes.data(), bytes.size())) {
        return fail(Stop::WriteFailed, path);
    }
    // The disk starts on it while the next files are made; the commit waits for it.
    startFlush(r);
    return {};
}

Failure writeTexture(Session& io, Conversion& c, PackageRun& run, std::size_t k) {
    const ExtractedTexture& t = run.textures[k];
    const bool same = run.textureSame[k];
    std::string what = std::to_string(t.width) + " x " + std::to_string(t.height) + (t.madeEightBit ? ", made 8-bit" : "");
    emit(io, c, packageFileLine(t.fileName, what, same));
    const std::vector<std::uint8_t> made = t.pcx.empty() && !same ? makeTexture(run, k).pcx : std::vector<std::uint8_t>{};
    return writeFile(io, c, run, t.fileName, t.pcx.empty() ? made : t.pcx, same);
}

// The mesh's files, made again where they were not kept.
const ExtractedMesh& meshFiles(const PackageRun& run, std::size_t k, bool exported,
                               std::optional<ExtractedMesh>& made) {
    const ExtractedMesh& e = run.meshes[k];
    if (!e.anim.empty() && !e.data.empty()) {
        return e;
    }
    made = extractMesh(run, k, exported);
    return *made;
}

Failure writeMesh(Session& io, Conversion& c, PackageRun& run, std::size_t k) {
    const ExtractedMesh& listed = run.meshes[k];
    const bool animSame = run.animSame[k];
    const bool dataSame = run.dataSame[k];
    emit(io, c, packageFileLine(listed.animFile + ", " + listed.dataFile,
                                packageMeshText(listed.frames, listed.vertices, listed.triangles, listed.deusEx,
                                                listed.converted),
                                animSame && dataSame));
    std::optional<ExtractedMesh> made;
    const ExtractedMesh& e = animSame && dataSame ? listed : meshFiles(run, k, false, made);
    Failure f = writeFile(io, c, run, e.animFile, e.anim, animSame);
    if (f.stop == Stop::None) {
        f = writeFile(io, c, run, e.dataFile, e.data, dataSame);
    }
    return f;
}

Failure writeExportOf(Session& io, Conversion& c, PackageRun& run, std::size_t k) {
    std::optional<ExtractedMesh> made;
    const ExtractedMesh& e = meshFiles(run, k, true, made);
    const std::string glb = glbOf(e);
    if (run.glbSame[k]) {
        emit(io, c, packageFileLine(glb, "", true));
        return {};
    }
    if (!io.dryRun) {
        if (const Failure f = makeFolders(run, glb); f.stop != Stop::None) {
            return f;
        }
    }
    Replacement& out = c.newTextures.emplace_back();
    const GltfExportResult r = exportMesh(io, c, run, e, nullptr, out);
    for (const std::string& line : r.warnings) {
        note(io, line);
    }
    emit(io, c, r.lines + packageFileLine(glb, exportFiguresText(r.figures), false));
    c.bytesWritten += r.figures.bytes;
    if (io.dryRun) {
        c.newTextures.clear();
    }
    if (r.failure.stop == Stop::CantOpenForWriting) {
        return refusal(out.refused, r.failure.file, Stop::CantOpenForWriting);
    }
    return r.failure;
}

// What the last part no longer needs: the package's bytes and records.
void releasePackage(Session& io, const Conversion& c, PackageRun& run) {
    run.bytes = {};
    run.contents = {};
    run.textures = {};
    run.meshes = {};
    if (io.package == c.package) {
        io.package.reset();
    }
}

// The last part: the script once every other part's files are in place, or
// the package's failure when some are not (the folders this run made go
// again where they stayed empty).
Failure writeLast(Session& io, Conversion& c, PackageRun& run) {
    Failure f;
    if (run.partsDone + 1 < run.parts.size()) {
        for (auto folder = run.madeFolders.rbegin(); folder != run.madeFolders.rend(); ++folder) {
            (void)removeEmptyFolder(*folder);
        }
        f = fail(Stop::PackageIncomplete, run.file);
    } else if (!c.options.toGltf) {
        emit(io, c, packageFileLine(run.plan.scriptFile, "", run.scriptSame));
        const std::vector<std::uint8_t> bytes(run.script.begin(), run.script.end());
        f = writeFile(io, c, run, run.plan.scriptFile, bytes, run.scriptSame);
    }
    releasePackage(io, c, run);
    return f;
}

} // namespace

const std::string& packageSource(const RunOptions& o) {
    return o.packageFile;
}

Failure preparePackagePart(Session& io, Conversion& c) {
    if (c.part == 0) {
        c.counted = true; // until more parts follow
        return prepareRead(io, c);
    }
    c.package = io.package;
    const PackageRun& run = *c.package;
    c.counted = c.part + 1 == run.parts.size();
    c.afterOthers = c.counted;
    c.newFiles = filesOf(run, run.parts[c.part]);
    return {};
}

Failure writePackagePart(Session& io, Conversion& c) {
    if (c.part == 0) {
        return {};
    }
    PackageRun& run = *c.package;
    const PackagePart& part = run.parts[c.part];
    Failure f;
    for (std::size_t i = 0; i < part.objects.size() && f.stop == Stop::None; ++i) {
        const std::size_t k = part.objects[i];
        f = part.kind == PartKind::Texture ? writeTexture(io, c, run, k)
            : part.kind == PartKind::Mesh  ? writeMesh(io, c, run, k)
                                           : writeExportOf(io, c, run, k);
    }
    if (part.kind == PartKind::Script || part.kind == PartKind::End) {
        f = writeLast(io, c, run);
    }
    if (f.stop != Stop::None) {
        abandon(c);
        c.newTextures.clear();
    }
    return f;
}

std::string packagePartDone(const Session& io, const Conversion& c) {
    if (!c.package) {
        return {};
    }
    PackageRun& run = *c.package;
    ++run.partsDone;
    if (!c.counted) {
        return {};
    }
    if (c.options.listPackage) {
        return "\n";
    }
    if (run.parts.size() <= 1) {
        return {};
    }
    return packageDoneReport(run.folder, run.written, run.same, io.dryRun, c.options.toGltf);
}

std::size_t packageParts(const Session&, const Conversion& first) {
    if (first.failure.stop != Stop::None || !first.package || first.options.listPackage) {
        return 1;
    }
    const std::size_t parts = first.package->parts.size();
    return parts == 0 ? 1 : parts;
}

} // namespace meshfold
