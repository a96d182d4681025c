// A game mesh made from a glTF file named on the command line: the file and
// the resources it refers to read from its folder, then the two game files
// (and with --uc the import script and the textures, see game_texture.h)
// built in memory. The driver writes them.
#pragma once

#include "meshfold/bridge/game_mesh.h"
#include "meshfold/gltf/read/gltf_read.h"
#include "meshfold/common/run_options.h"
#include "meshfold/platform/platform.h"

#include <string>
#include <vector>

namespace meshfold {

struct ImportedMesh {
    Failure failure;
    GltfRead read;
    GameMesh mesh;
    std::string script;   // NAME.uc, with --uc
    std::string scriptFileName;
    std::vector<GameTexture> textures; // with --uc: written beside the glTF file
    std::vector<std::string> notes; // lines for standard error
};

// Reads o.gltfFileName and builds the mesh the options ask for. Files it
// refers to are read only from its own folder (or below); nothing is written.
ImportedMesh importGltf(const RunOptions& o);

// The failure a problem of the reader stands for, named after `file`.
Failure gltfFailure(const GltfFailure& problem, const std::string& file);

// The progress lines of an import: the file, what it gave, the factor --fit
// scaled by, each texture it writes.
std::string importProgress(const RunOptions& o, const ImportedMesh& m);

} // namespace meshfold
