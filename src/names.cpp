#include "meshfold/names.h"

#include "meshfold/ascii.h"
#include "meshfold/platform.h"

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
// spelling in another case. With several such spellings, `path` stays and
// they are the candidates.
std::string realName(Resolver& r, const std::string& path, std::vector<std::string>& candidates) {
    if (pathExists(path)) {
        return path;
    }
    std::vector<std::string> same = namesIgnoringCase(path, r.listings);
    if (same.size() == 1) {
        return same.front();
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

void addMesh(Resolver& r, const std::string& baseName) {
    NamedMesh m;
    m.options = meshOptions(r.command, baseName, true);
    m.options.animFileName = realName(r, m.options.animFileName, m.animCandidates);
    m.options.dataFileName = realName(r, m.options.dataFileName, m.dataCandidates);
    const std::string identity =
        fileIdentity(m.options.animFileName) + " " + fileIdentity(m.options.dataFileName);
    add(r, std::move(m), identity);
}

void addFailure(Resolver& r, Stop stop, const std::string& name) {
    NamedMesh m;
    m.options = meshOptions(r.command, name, true);
    m.failure = Failure{stop, name};
    add(r, std::move(m), "no mesh " + fileIdentity(name));
}

void addName(Resolver& r, const std::string& name);

void addFolder(Resolver& r, const std::string& folder) {
    bool any = false;
    for (const std::string& file : filesInFolder(folder)) {
        if (endsWithIgnoringAsciiCase(file, kAnimSuffix)) {
            addName(r, file);
            any = true;
        }
    }
    if (!any) {
        addFailure(r, Stop::NoMeshInFolder, folder);
    }
}

void addName(Resolver& r, const std::string& name) {
    constexpr std::size_t kShortSuffixLength = 2; // "_a", as in "Cube_a.3d"
    if (existsInAnyCase(r, name + kAnimSuffix)) {
        addMesh(r, name);
    } else if (isFolder(name)) {
        addFolder(r, name);
    } else if (hasMeshFileSuffix(name)) {
        addMesh(r, meshOptions(r.command, name, false).baseName);
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
