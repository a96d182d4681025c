#include "meshfold/package_files.h"

#include "meshfold/ascii.h"
#include "meshfold/paths.h"

#include <cstdio>

namespace meshfold {

namespace {

// The text of a script, up to kMaxScriptBytes; false when it cannot be opened.
bool readScript(const std::string& path, std::string& text) {
    std::FILE* f = openForReading(path);
    if (f == nullptr) {
        return false;
    }
    char buffer[4096];
    for (std::size_t n; text.size() < kMaxScriptBytes && (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
        text.append(buffer, n);
    }
    std::fclose(f);
    return true;
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
                            const std::string& fallbackName, double fps) {
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
    std::vector<std::string> files;
    if (!classes.empty() && filesInFolder(classes, files)) {
        const std::string besideIdentity = hasBeside ? fileIdentity(besideScript) : std::string();
        for (const std::string& file : files) {
            std::string script;
            if (endsWithIgnoringAsciiCase(file, ".uc") && fileIdentity(file) != besideIdentity &&
                readScript(file, script)) {
                readExecLines(script, fps, package);
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
    const auto append = [](auto& to, auto& from) { to.insert(to.end(), from.begin(), from.end()); };
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
