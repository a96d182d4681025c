#include "cli/names.h"

#include "meshfold/common/ascii.h"
#include "meshfold/platform/platform.h"

#include <algorithm>
#include <set>

namespace meshfold {

namespace {

// Where the names of one run are resolved, folders read once.
struct Resolver {
    const Command& command;
    FolderListings listings;
    std::set<std::string> seen; // the meshes resolved so far, by their files' identities
    std::vector<NamedMesh> meshes;
};

// A file as it is really called: `path` itself when it exists, else its one
// spelling in another case, or of several the one `preferred` names (the file
// the user named). Otherwise `path` stays and the spellings are the
// candidates.
std::string realName(Resolver& r, const std::string& path, const std::string& preferred,
                     std::vector<std::string>& candidates) {
    if (pathExists(path)) {
        return path;
    }
    std::vector<std::string> same = namesIgnoringCase(path, r.listings);
    if (same.size() == 1) {
        return same.front();
    }
    if (std::find(same.begin(), same.end(), preferred) != same.end()) {
        return preferred;
    }
    candidates = std::move(same);
    return path;
}

bool existsInAnyCase(Resolver& r, const std::string& path) {
    return pathExists(path) || !namesIgnoringCase(path, r.listings).empty();
}

void add(Resolver& r, NamedMesh mesh, const std::string& identity) {
    if (r.seen.insert(identity).second) {
        r.meshes.push_back(std::move(mesh));
    }
}

// `suffix` as typed, in any case ("_A.3D"), with its letter a or d in the
// same case.
std::string suffixFor(std::string suffix, char letter) {
    const bool upper = suffix[1] >= 'A' && suffix[1] <= 'Z';
    suffix[1] = upper ? static_cast<char>(letter - 'a' + 'A') : letter;
    return suffix;
}

// The mesh of `baseName`; `typedSuffix` is the suffix of the file name it was
// named by, whose spelling is preferred when several files match in case.
void addMesh(Resolver& r, const std::string& baseName, const std::string& typedSuffix = kAnimSuffix) {
    NamedMesh m;
    m.options = meshOptions(r.command, baseName, true);
    m.options.animFileName = realName(r, m.options.animFileName,
                                      baseName + suffixFor(typedSuffix, 'a'), m.animCandidates);
    m.options.dataFileName = realName(r, m.options.dataFileName,
                                      baseName + suffixFor(typedSuffix, 'd'), m.dataCandidates);
    const std::string identity =
        fileIdentity(m.options.animFileName) + " " + fileIdentity(m.options.dataFileName);
    add(r, std::move(m), identity);
}

void addFailure(Resolver& r, Stop stop, const std::string& name) {
    NamedMesh m;
    m.options = meshOptions(r.command, name, true);
    if (stop == Stop::NotAPackage || stop == Stop::NoPackageInFolder) {
        m.options.packageFile = name; // what was taken for a package, and is counted as one
    }
    m.failure = Failure{stop, name};
    add(r, std::move(m), "no mesh " + fileIdentity(name));
}

void addName(Resolver& r, const std::string& name);

// True when the run only takes compiled packages: --list and --mesh concern
// nothing else.
bool packagesOnly(const Command& command) {
    return command.list || !command.meshes.empty();
}

void addFolder(Resolver& r, const std::string& folder) {
    std::vector<std::string> files;
    if (!filesInFolder(folder, files)) {
        addFailure(r, Stop::CantOpenFolder, folder);
        return;
    }
    const bool meshes = !packagesOnly(r.command);
    bool any = false;
    for (const std::string& file : files) {
        if ((meshes && endsWithIgnoringAsciiCase(file, kAnimSuffix)) || isPackageName(file)) {
            addName(r, file);
            any = true;
        }
    }
    if (!any) {
        addFailure(r, meshes ? Stop::NoMeshInFolder : Stop::NoPackageInFolder, folder);
    }
}

// A compiled package: its folder of files goes beside it, under its name
// without the extension. It must exist, under this name or in another case.
void addPackage(Resolver& r, const std::string& name) {
    NamedMesh m;
    std::vector<std::string> candidates;
    const std::string file = realName(r, name, name, candidates);
    m.options = meshOptions(r.command, file.substr(0, file.rfind('.')), true);
    m.options.packageFile = file;
    if (!pathExists(file)) {
        m.failure = Failure{Stop::CantOpen, name};
        m.animCandidates = std::move(candidates);
    }
    add(r, std::move(m), "package " + fileIdentity(file) + " " + file);
}

// A glTF file: the mesh it makes lies beside it, under its name without the
// extension. Its files need not exist yet.
void addGltf(Resolver& r, const std::string& name) {
    NamedMesh m;
    std::vector<std::string> candidates;
    const std::string file = realName(r, name, name, candidates);
    m.options = meshOptions(r.command, file, false);
    if (!pathExists(file)) {
        m.failure = Failure{Stop::CantOpen, name};
    } else if (isFolder(file)) {
        m.failure = Failure{Stop::NotGltf, name};
    }
    add(r, std::move(m), "gltf " + fileIdentity(file) + " " + file);
}

void addName(Resolver& r, const std::string& name) {
    constexpr std::size_t kShortSuffixLength = 2; // "_a", as in "Cube_a.3d"
    if (isGltfName(name)) {
        addGltf(r, name);
    } else if (isPackageName(name) && !isFolder(name)) {
        addPackage(r, name);
    } else if (packagesOnly(r.command) && !isFolder(name)) {
        addFailure(r, Stop::NotAPackage, name);
    } else if (existsInAnyCase(r, name + kAnimSuffix)) {
        addMesh(r, name);
    } else if (isFolder(name)) {
        addFolder(r, name);
    } else if (hasMeshFileSuffix(name)) {
        const std::string base = meshOptions(r.command, name, false).baseName;
        addMesh(r, base, name.substr(base.size()));
    } else if (hasShortMeshFileSuffix(name) && existsInAnyCase(r, name + ".3d")) {
        addMesh(r, name.substr(0, name.size() - kShortSuffixLength));
    } else if (pathExists(name)) {
        addFailure(r, Stop::NotAMesh, name);
    } else {
        addMesh(r, name);
    }
}

} // namespace

std::vector<NamedMesh> resolveMeshes(const Command& command) {
    Resolver r{command, {}, {}, {}};
    for (const std::string& name : command.names) {
        addName(r, name);
    }
    return std::move(r.meshes);
}

} // namespace meshfold
