// A mesh's package on disk: the folder its scripts are in, the lines they give
// the mesh, and where the files they name really are. Reads files through the
// platform layer; game/script.h reads the lines.
#pragma once

#include "meshfold/game/script.h"
#include "meshfold/platform/platform.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace meshfold {

// A folder's scripts are read up to this many bytes each.
inline constexpr std::size_t kMaxScriptBytes = std::size_t{4} << 20;

// How many folders up from the mesh's folder a package folder is looked for.
inline constexpr int kPackageLevels = 3;

// A slot's texture with its file as found on disk.
struct PackageSlot {
    SlotTexture texture;
    std::string path; // the import's FILE= resolved; empty when no such file (or no import)
};

struct MeshPackage {
    std::string folder; // the package folder (ends in a separator), empty when none was found
    std::string mesh;   // the name its lines use for the mesh
    std::vector<MeshSequence> clips;
    std::vector<PackageSlot> slots; // in slot order
};

// The scripts of the Classes folder a run read last, kept for the run's next
// mesh: the meshes of a package come one after another, and each would read
// and parse the same files again. One folder is held at a time, so memory
// does not grow with the packages a run visits; a run starts with it empty.
struct PackageScripts {
    struct Script {
        std::string identity; // fileIdentity() of the .uc file
        ExecLines lines;
    };
    std::string classes; // the folder's path as found, empty before any
    double fps = 0;      // the rate its sequence lines were read with
    std::vector<Script> scripts; // every .uc that could be read, in name order
};

// The file that `relative`, a path as a script writes it (`\` or `/`), names
// under `base` ("" for the current folder, else ending in a separator): each
// part as written where that exists, else the one name in its folder that
// differs from it only in case. Empty when there is none, or more than one.
std::string resolveScriptPath(const std::string& base, std::string_view relative, FolderListings& listings);

// The package of the mesh whose animation file is `animFile`, and the script
// `besideScript` (NAME.uc beside the mesh, which --uc writes on import):
//   - the package folder is the first of the mesh's folder and the three
//     above it that holds a folder `Classes` (any case); every `.uc` file in
//     it is read, in name order, after `besideScript`, whose lines count
//     first (a later SETTEXTURE of a slot wins);
//   - the paths of every script are relative to the package folder, or,
//     where there is none, to the mesh's folder;
//   - the mesh's name is MESH= of the MESH IMPORT line whose ANIVFILE is this
//     very file (of `besideScript`, else of the package; `besideScript`'s
//     first MESH IMPORT otherwise), else the file's base name `fallbackName`;
//   - the clips are every SEQUENCE line of `besideScript` where it has any
//     (as before a package was looked for), else the package's lines of the
//     mesh.
// The Classes scripts are taken from `read` when it holds that folder (same
// path, same rate), else read and left there.
MeshPackage readMeshPackage(const std::string& animFile, const std::string& besideScript,
                            const std::string& fallbackName, double fps, PackageScripts& read);

} // namespace meshfold
