// The command line: switches anywhere, and the names of the meshes to convert.
#pragma once

#include "meshfold/common/run_options.h"

#include <cstdint>
#include <string>
#include <vector>

namespace meshfold {

enum class CommandAction {
    Convert,    // convert every mesh named
    Help,       // print the help text and succeed
    Version,    // the banner alone is the answer
    UsageError, // no mesh, or an unknown switch: print the help text and fail
};

struct Command {
    CommandAction action = CommandAction::Help;
    bool milkshapeFix = false;
    bool hiRes = false;
    bool toUnreal = false;                    // "--to-unreal": the other direction
    bool dryRun = false;                      // "--dry-run": inspect and convert, write nothing
    bool toGltf = false;                      // "--to-gltf": export each mesh as NAME.glb
    double fps = 30;                          // "--fps N" (or "--fps=N")
    bool fit = false;                         // "--fit"
    double scale = 1;                         // "--scale S" (or "--scale=S")
    std::uint32_t textureSize = 256;          // "--texture-size N" (or "--texture-size=N")
    bool importScript = false;                // "--uc"
    bool list = false;                        // "--list": list each package named
    std::vector<std::string> meshes;          // "--mesh NAME[,NAME...]", repeatable
    std::string conflict; // why the switches given cannot go together (a usage error)
    std::vector<std::string> names;           // every argument that names a mesh, in order
    std::vector<std::string> unknownSwitches; // each is reported on standard error
};

// Whether switches may also be written with "/", as Windows programs take
// them. Elsewhere a name starting with "/" is a path from the root.
#ifdef _WIN32
inline constexpr bool kSlashSwitches = true;
#else
inline constexpr bool kSlashSwitches = false;
#endif

// Parses the arguments that follow the program name.
//
// An argument starting with '-' is a switch wherever it stands, compared
// whole and ignoring the case of ASCII letters: -ms, -h, --to-unreal,
// --dry-run, --to-gltf, --fps N (or --fps=N), --fit, --scale S (or
// --scale=S), --texture-size N (or --texture-size=N), --uc, --help (also -?), --version; "--" ends the switches, so that every later argument
// is a name even when it starts with '-'. With `slashSwitches`, /ms, /h and /?
// are -ms, -h and --help, and any other argument starting with "/" that holds
// no further "/" or "\" is a switch too (paths hold more than one
// separator). Every other argument, an empty one included, names a mesh.
//
// The first of --help, -? and --version wins over everything else. Otherwise
// an unknown switch (listed in unknownSwitches) is a usage error, since the
// user asked for something meshfold cannot do, and so are switches without
// a name. So is a frame rate that is not a number above 0 and up to 1000,
// a scale that is not one above 0 and up to 100000, a texture size that is
// not a power of two from 1 to 1024, --texture-size without --uc and a glTF file,
// --fps without --to-gltf or a glTF file, --to-gltf with -ms, -h or
// --to-unreal (an export shows the mesh as it is), -ms, -h or --to-gltf with
// the name of a glTF file (they concern the game's own files), --fit and
// --scale without one and --uc without one or --to-gltf, --mesh with an empty
// name, --list with --mesh, --to-gltf, --to-unreal, -ms or -h (a listing
// writes nothing), and --list or --mesh with the name of a glTF file (they
// concern compiled packages): `conflict` then says why. No arguments at all
// asks for help.
Command parseCommandLine(const std::vector<std::string>& args,
                         bool slashSwitches = kSlashSwitches);

// True when `name` ends in "_a.3d" or "_d.3d", ignoring the case of the
// suffix: the name of one of a mesh's files rather than its base name.
bool hasMeshFileSuffix(const std::string& name);

// True when `name` ends in ".glb" or ".gltf", ignoring case: a glTF file to
// make a mesh of.
bool isGltfName(const std::string& name);

// True when `name` ends in ".u" or ".utx", ignoring case: a compiled package
// of the games (code and meshes, or textures alone).
bool isPackageName(const std::string& name);

// True when `name` ends in "_a" or "_d", ignoring case: a mesh file's name as
// Explorer shows it with extensions hidden ("Cube_a" for Cube_a.3d).
bool hasShortMeshFileSuffix(const std::string& name);

// The options for the mesh that `name` stands for. A name is a base name
// unless it ends in a mesh file suffix and `nameIsBaseName` is false (the
// caller found no file `name` + "_a.3d"): then the suffix is cut off, so that
// "Cube_a.3d", "Cube_d.3d" and "Cube" all name the mesh of Cube_a.3d and
// Cube_d.3d. Any folder in front stays part of both file names. A glTF file's
// name (with `nameIsBaseName` false) gives the mesh beside it: "Cube.glb"
// makes Cube_a.3d and Cube_d.3d.
RunOptions meshOptions(const Command& command, const std::string& name, bool nameIsBaseName);

// The frame rate `text` gives: digits with at most one decimal point, a value
// above 0 and up to kMaxFps; 0 when it is not one.
inline constexpr double kMaxFps = 1000;
double parseFps(const std::string& text);

// The engine units to a glTF unit that `text` gives, as parseFps, above 0
// and up to kMaxScale; 0 when it is not one.
inline constexpr double kMaxScale = 100000;
double parseScale(const std::string& text);

// A texture size: a power of two from 1 to 1024; 0 when not.
double parseTextureSize(const std::string& text);

} // namespace meshfold
