#include "bridge/package_folder.h"

#include "meshfold/common/ascii.h"
#include "common/paths.h"

#include <cstdint>
#include <vector>

namespace meshfold {

namespace {

// The text of a script, up to kMaxScriptBytes of it; false (and no text)
// when it cannot be opened or read: a read error is not the end of a script.
bool readScript(const std::string& path, std::string& text) {
    std::vector<std::uint8_t> bytes;
    const WholeFile read = readWholeFile(path, bytes, kMaxScriptBytes);
    const bool whole = read == WholeFile::Read || read == WholeFile::TooLarge;
    text.assign(bytes.begin(), bytes.end());
    return whole;
}

// `folder` with a separator at its end ("" stays the current folder).
std::string asFolder(const std::string& folder) {
    return folder.empty() || folder.back() == '/' || folder.back() == '\\' ? folder : folder + "/";
}

// The first of the mesh's folder and the kPackageLevels above it that holds a
// folder Classes; its Classes folder in `classes`.
std::string packageFolder(const std::string& meshFolder, std::string& classes, FolderListings& listings) {
    std::string folder = meshFolder;
    for (int level = 0; level <= kPackageLevels; ++level, folder += "../") {
        classes = resolveScriptPath(folder, "Classes", listings);
        if (!classes.empty() && isFolder(classes)) {
            return folder;
        }
    }
    classes.clear();
    return {};
}

// The MESH IMPORT of `lines` whose ANIVFILE, under `base`, is the file
// `identity`; null when none is.
const MeshImportLine* importOf(const ExecLines& lines, const std::string& base, const std::string& identity,
                               FolderListings& listings) {
    for (const MeshImportLine& m : lines.meshImports) {
        const std::string path = resolveScriptPath(base, m.animFile, listings);
        if (!path.empty() && fileIdentity(path) == identity) {
            return &m;
        }
    }
    return nullptr;
}

// The lines of every .uc file in folder `classes`, from `read` when it
// holds them already.
const std::vector<PackageScripts::Script>& classScripts(const std::string& classes, double fps,
                                                        PackageScripts& read) {
    if (read.classes == classes && read.fps == fps) {
        return read.scripts;
    }
    read = PackageScripts{classes, fps, {}};
    std::vector<std::string> files;
    if (filesInFolder(classes, files)) {
        for (const std::string& file : files) {
            std::string script;
            if (endsWithIgnoringAsciiCase(file, ".uc") && readScript(file, script)) {
                PackageScripts::Script s{fileIdentity(file), {}};
                readExecLines(script, fps, s.lines);
                read.scripts.push_back(std::move(s));
            }
        }
    }
    return read.scripts;
}

template <typename T>
void append(std::vector<T>& to, const std::vector<T>& from) {
    to.insert(to.end(), from.begin(), from.end());
}

} // namespace

std::string resolveScriptPath(const std::string& base, std::string_view relative, FolderListings& listings) {
    std::string path = asFolder(base);
    const std::vector<std::string> parts = scriptPathParts(relative);
    for (std::size_t i = 0; i < parts.size(); ++i) {
        std::string next = path + parts[i];
        if (!pathExists(next)) {
            const std::vector<std::string> found = namesIgnoringCase(next, listings);
            if (found.size() != 1) {
                return {};
            }
            next = found.front();
        }
        path = i + 1 < parts.size() ? next + "/" : next;
    }
    return parts.empty() ? std::string() : path;
}

MeshPackage readMeshPackage(const std::string& animFile, const std::string& besideScript,
                            const std::string& fallbackName, double fps, PackageScripts& read) {
    MeshPackage p;
    FolderListings listings;
    std::string classes;
    p.folder = packageFolder(folderOf(animFile), classes, listings);
    const std::string base = p.folder.empty() ? folderOf(animFile) : p.folder;

    ExecLines beside;
    std::string text;
    const bool hasBeside = readScript(besideScript, text);
    readExecLines(text, fps, beside);

    ExecLines package;
    if (!classes.empty()) {
        const std::string besideIdentity = hasBeside ? fileIdentity(besideScript) : std::string();
        for (const PackageScripts::Script& s : classScripts(classes, fps, read)) {
            if (s.identity != besideIdentity) {
                append(package.meshImports, s.lines.meshImports);
                append(package.meshMaps, s.lines.meshMaps);
                append(package.setTextures, s.lines.setTextures);
                append(package.textureImports, s.lines.textureImports);
                append(package.sequences, s.lines.sequences);
            }
        }
    }

    const std::string identity = fileIdentity(animFile);
    const MeshImportLine* own = importOf(beside, base, identity, listings);
    if (own == nullptr && !beside.meshImports.empty()) {
        own = &beside.meshImports.front();
    }
    if (own == nullptr) {
        own = importOf(package, base, identity, listings);
    }
    p.mesh = own != nullptr ? own->mesh : fallbackName;

    if (beside.sequences.empty()) {
        p.clips = meshSequences(package, p.mesh);
    }
    for (const SequenceLine& s : beside.sequences) {
        p.clips.push_back(s.clip);
    }

    ExecLines all = std::move(beside);
    append(all.meshImports, package.meshImports);
    append(all.meshMaps, package.meshMaps);
    append(all.setTextures, package.setTextures);
    append(all.textureImports, package.textureImports);
    for (SlotTexture& t : meshSlotTextures(all, p.mesh)) {
        std::string path = t.import ? resolveScriptPath(base, t.import->file, listings) : std::string();
        p.slots.push_back({std::move(t), std::move(path)});
    }
    return p;
}

} // namespace meshfold
