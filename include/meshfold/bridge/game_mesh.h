// The two game files (and the import script) made from a glTF file read by
// readGltf(): quantisation to either form, the limits of the formats, and
// --fit. Pure: bytes out, or a failure naming why nothing can be written.
#pragma once

#include "meshfold/game/convert.h"
#include "meshfold/bridge/game_texture.h"
#include "meshfold/gltf/read/gltf_read.h"
#include "meshfold/gltf/write/gltf_write.h"
#include "meshfold/common/messages.h"

#include <cstdint>
#include <string>
#include <vector>

namespace meshfold {

// How a mesh read from glTF becomes the game's files.
struct GameMeshOptions {
    bool unreal = false; // the Unreal (packed) form; else the Deus Ex form
    bool fit = false;    // scale uniformly to the form's full range
};

// The largest and smallest coordinate each axis takes in a form, in glTF
// units: Deus Ex -128 to 32767/256 on every axis; Unreal -128 to 1023/8 for
// X and Y and -128 to 511/4 for Z.
struct FormLimits {
    double low[3];
    double high[3];
};
FormLimits formLimits(bool unreal);

// One coordinate in a form's units, halves away from zero: Deus Ex
// round(256 v); Unreal round(8 v) for X and Y (axis 0, 1), round(4 v) for Z.
long quantiseCoordinate(double v, int axis, bool unreal);

// The factor --fit scales by: the largest that keeps every coordinate of
// every frame inside the form's range (1 for a mesh with no extent).
double fitFactor(const GltfRead& read, bool unreal);

struct GameMesh {
    Failure failure;                // Stop::None when the files can be written
    std::vector<std::uint8_t> anim; // NAME_a.3d
    std::vector<std::uint8_t> data; // NAME_d.3d
    double factor = 1;              // what --fit scaled by
    CoordRanges ranges;             // the coordinates written, in the form's units
    std::uint32_t frames = 0;
    std::uint32_t vertices = 0;
    std::uint32_t polygons = 0;
};

// Both files of the mesh, or the failure (named after `fileName`, the glTF
// file) of the first limit it breaks: too many vertices for a frame, too many
// triangles or frames, or a coordinate outside the form's range (the detail
// names the axis and the extent; --fit helps).
GameMesh buildGameMesh(const GltfRead& read, const GameMeshOptions& o, const std::string& fileName);

// `name` as an UnrealScript identifier: every character but an ASCII
// letter or digit becomes "_", and a "_" goes in front of a leading digit
// (and stands for an empty name): never empty, never starting with a digit.
std::string scriptIdentifier(const std::string& name);

// The import script NAME.uc: the lines that bring NAME_a.3d and NAME_d.3d
// into the engine, a sequence All of every frame and one per animation (at
// its own rate), and for each texture number the triangles use: the
// TEXTURE IMPORT and an active SETTEXTURE line of its texture in `textures`,
// else a commented placeholder.
// Its MESHMAP SCALE makes one glTF unit `scale` engine units, undoing --fit.
std::string importScript(const std::string& meshName, const GltfRead& read, const GameMesh& mesh,
                         bool unreal, double scale,
                         const std::vector<GameTexture>& textures = {});

// The animations an import script's `#exec MESH SEQUENCE` lines name, in
// order: SEQ (its name), STARTFRAME (0 when not given), NUMFRAMES (at least
// 1) and RATE (`fps` when not given). Keys are matched ignoring case; lines
// commented out, and lines without a name or a frame count, are left out.
std::vector<MeshSequence> scriptSequences(std::string_view text, double fps);

} // namespace meshfold
