// What the conversion of one mesh works on: the switches as they apply to it,
// and the names of its files. The command line fills it (cli/options.h); every
// step of the mesh's run reads it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace meshfold {

inline constexpr const char* kAnimSuffix = "_a.3d";
inline constexpr const char* kDataSuffix = "_d.3d";
inline constexpr std::size_t kMeshSuffixLength = 5;

struct RunOptions {
    bool milkshapeFix = false; // "-ms": keep the sign of X, reverse every triangle
    bool hiRes = false;        // "-h": write the packed fields at full precision
    bool toUnreal = false;     // "--to-unreal": take a Deus Ex mesh back to the Unreal form
    bool toGltf = false;       // "--to-gltf": write NAME.glb, change nothing of the mesh
    double fps = 30;           // "--fps N": the frame rate of the glTF animation, written or sampled
    bool fit = false;          // "--fit": scale a glTF file's mesh to the form's full range
    double scale = 1;          // "--scale S": engine units per glTF unit, in the import script
    std::uint32_t textureSize = 256; // "--texture-size N": the largest side of a texture --uc writes
    bool importScript = false; // "--uc": also write NAME.uc
    std::string gltfSource = {}; // set when the mesh is made from this glTF file
    std::string packageFile = {}; // set when the name is a compiled package (.u, .utx)
    bool listPackage = false;     // "--list": list each package, write nothing
    std::vector<std::string> packageMeshes = {}; // "--mesh NAME": the meshes taken out of it
    std::string baseName;
    std::string animFileName; // baseName + "_a.3d"
    std::string dataFileName; // baseName + "_d.3d"
};

// NAME.glb beside the animation file NAME_a.3d (its real name, whatever case
// the user typed), and the mesh's name NAME without its folder.
inline std::string gltfFileName(const RunOptions& options) {
    const std::string& anim = options.animFileName;
    return anim.substr(0, anim.size() - kMeshSuffixLength) + ".glb";
}

inline std::string meshName(const RunOptions& options) {
    const std::string& anim = options.animFileName;
    const std::size_t slash = anim.find_last_of("/\\");
    const std::size_t start = slash == std::string::npos ? 0 : slash + 1;
    return anim.substr(start, anim.size() - kMeshSuffixLength - start);
}

} // namespace meshfold
