// A glTF 2.0 file (.glb, or .gltf with its resources) read into the flat
// record a game mesh is written from. Pure: the bytes come in, the record or
// a failure goes out; every other file the glTF file names is asked of the
// caller by name (see GltfResources).
//
// What is read, in the mesh's own axes (X, Y, Z) = (x, z, y) of glTF and in
// glTF units:
//   - every triangle primitive of every mesh instance in the scene (the
//     default scene, else the first; with none, every root node), with its
//     node's world transform; strips and fans as triangles; points and lines
//     skipped with a warning;
//   - frames: one (the rest pose, morph weights as the file sets them)
//     without animations; else every animation in file order, sampled from
//     its first to its last key at `fps` frames a second (the last key always
//     a frame), one after another. Sampling evaluates node translation,
//     rotation (spherical) and scale, LINEAR, STEP and CUBICSPLINE, skins and
//     morph target weights. Each vertex's skin weights are divided by their
//     sum (all zero: wholly its first joint), and an influence of weight
//     zero is ignored whatever joint it names, each counted in a warning;
//   - vertices: glTF vertices with the same position in every frame are one
//     vertex, in the order they first appear;
//   - triangles: glTF corners (a, b, c) as (a, c, b), each corner with its
//     texture coordinate bytes, each triangle with the texture number and
//     polygon type of its material's name (or its material's index).
// A file written by --to-gltf whose extras still describe its geometry (see
// gltf_common.h) comes back exactly as it was written: every byte of the
// data file and the animation file's form and frame size.
//
// Nothing the file claims is trusted: every accessor is checked against the
// real size of its buffer before it is read, nothing is allocated from a
// count that the file's bytes do not back, and node graphs with cycles are
// refused. A file that requires Draco or meshopt compression is refused by
// that name before anything else is checked, since its compressed meshes
// break the format's other rules on purpose.
#pragma once

#include "meshfold/image/image.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace meshfold {

// Fetches a file the glTF file refers to, by its path relative to the glTF
// file's folder (already checked: no scheme, not absolute, no ".."; percent
// escapes decoded). False when it cannot be had.
using GltfResources = std::function<bool(const std::string& path, std::vector<std::uint8_t>& bytes)>;

// Why a glTF file cannot be read. The detail says where.
enum class GltfProblem {
    None,
    NotGltf,          // neither a .glb nor glTF JSON, or not version 2.0
    Damaged,          // parses, but breaks a rule of the format (detail says which)
    Extension,        // needs an extension that changes geometry (detail names it)
    Compressed,       // needs a mesh compression extension (detail names it)
    OutsideFolder,    // refers to a file outside its folder (detail names the reference)
    MissingResource,  // refers to a file that is not there (detail names it)
    NoTriangles,      // the scene holds no triangle
    TooManyFrames,    // more than 65535
    TooManyTriangles, // more than 65535
    TooLarge,         // more vertex data than any frame could hold
};

struct GltfFailure {
    GltfProblem problem = GltfProblem::None;
    std::string detail;
};

// One triangle as the data file stores it, but for the vertex indices, which
// are game vertices. `attr` holds record bytes 6, 7, 14 and 15.
struct GltfTriangle {
    std::uint32_t vertex[3] = {0, 0, 0};
    std::uint8_t u[3] = {0, 0, 0};
    std::uint8_t v[3] = {0, 0, 0};
    std::uint8_t attr[4] = {0, 0, 0, 0};
};

// An animation of the file and the frames it became.
struct GltfSequence {
    std::string name;
    std::uint32_t firstFrame = 0;
    std::uint32_t frameCount = 0;
    double rate = 30; // frames a second
};

// Everything a file written by --to-gltf kept that glTF has no place for,
// taken over only while its checksum matches the geometry read.
struct GltfRestored {
    bool deusEx = false;          // the form the animation file had
    std::uint16_t frameSize = 0;  // and its frame size
    std::vector<std::uint8_t> dataFile; // the whole data file, byte for byte
};

// The image a texture number's material shows (see gltf_material.cpp): the
// baseColorTexture of the first material on that number that has one,
// decoded, times its baseColorFactor. A texture number whose image cannot be
// decoded has none (and a warning says why).
struct GltfTexture {
    std::uint8_t number = 0;  // the texture number (record byte 14)
    std::string material;     // the material's name, for messages
    Image image;              // RGBA; an 8-bit image a --to-gltf file embedded
                              // keeps its palette and indices (see gltf_material.cpp)
    bool masked = false;      // alphaMode MASK, or BLEND with pixels below half alpha
    double alphaCutoff = 0.5; // with `masked`: what alpha hides
    // From the material's extras when the file was written by --to-gltf --uc
    // and its image is the one written (a paletted PNG whose palette still
    // gives its pixels, or an RGBA one whose pixels match the extras'
    // textureCheck): the texture's own name, file (as the script wrote it),
    // group and flags. Empty name: none.
    std::string name;
    std::string file;
    std::string group;        // GROUP=, empty when the script gave none
    std::uint32_t flags = 0;
};

struct GltfRead {
    GltfFailure failure;
    std::uint32_t vertexCount = 0;
    // frames x vertexCount x 3 values: X, Y, Z of each vertex, frame after frame.
    std::vector<float> positions;
    std::uint32_t frameCount = 0;
    std::vector<GltfTriangle> triangles;
    std::vector<GltfSequence> sequences; // empty without animations; of a file
                                         // written by --to-gltf, its animations
    std::optional<GltfRestored> restored;
    std::vector<GltfTexture> textures;   // by ascending texture number
    std::vector<std::string> warnings;   // one line each, without newlines
};

// Reads a .glb or .gltf (told apart by its first bytes). `fps` (above 0; a
// value that is not is taken as 30) is the sampling rate of animations.
GltfRead readGltf(std::span<const std::uint8_t> file, const GltfResources& resources, double fps);

// The reference `uri` (as the file writes it) as a path relative to the
// glTF file's folder, percent escapes decoded; empty when it has a scheme, is
// absolute or leaves the folder. "data:" URIs are not paths and give empty.
std::string gltfResourcePath(const std::string& uri);

} // namespace meshfold
