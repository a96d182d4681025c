// The glTF reader's own header, private to src/: the records its files share
// and what each file offers, in the order readGltf() (gltf_read.cpp) goes
// through them. Every refusal inside the reader is a ReadError thrown by
// refuse(); readGltf() alone catches it and returns it as a GltfFailure.
//
//   gltf_load.cpp       the file, its resources, tinygltf, checked accessors
//   gltf_scene.cpp      nodes, mesh instances, their geometry, skins, a pose
//   gltf_animation.cpp  samplers, sampling, the frames of an animation
//   gltf_restore.cpp    a file written by --to-gltf, restored from its extras
//   gltf_material.cpp   materials: each texture number's image, the texture
//                       coordinate set it uses, the polygon type a material gives
//   gltf_read.cpp       readGltf(): the steps in order, vertices merged
//   gltf_math.h         4x4 matrices and quaternions
#pragma once

#include "gltf/read/gltf_math.h"
#include "meshfold/gltf/gltf_common.h"
#include "meshfold/gltf/read/gltf_read.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

// tinygltf, without image decoding or a file system of its own; its
// implementation too in gltf_load.cpp, which defines TINYGLTF_IMPLEMENTATION
// before it includes this header.
#define TINYGLTF_NO_STB_IMAGE
#define TINYGLTF_NO_STB_IMAGE_WRITE
#define TINYGLTF_NO_EXTERNAL_IMAGE
#define TINYGLTF_NO_FS
#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wshadow"
#pragma GCC diagnostic ignored "-Wunused-parameter"
#pragma GCC diagnostic ignored "-Wpedantic"
#endif
#include <tiny_gltf.h>
#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

namespace meshfold::gltf {

// The most frames, vertices or triangles a game mesh holds.
constexpr std::uint32_t kMaxCount = 65535;

using Model = tinygltf::Model;

// --- failures: thrown inside the reader only, caught in readGltf()

struct ReadError {
    GltfFailure failure;
};

[[noreturn]] inline void refuse(GltfProblem problem, std::string detail) {
    throw ReadError{{problem, std::move(detail)}};
}

[[noreturn]] inline void damaged(std::string detail) {
    refuse(GltfProblem::Damaged, std::move(detail));
}

inline std::string num(std::size_t n) {
    return std::to_string(n);
}

// --- loading (gltf_load.cpp): the file and its resources, and accessors
// checked against the bytes really there

// The parsed file, its version and required extensions checked; resources
// fetched through `resources`.
Model loadModel(std::span<const std::uint8_t> file, const GltfResources& resources);

struct Values {
    std::size_t count = 0;      // elements
    std::size_t components = 0; // values an element
    std::vector<double> data;   // count x components
    int componentType = 0;
};

// Every value of accessor `index`, sparse substitutions applied. `types`
// lists the element types it may have.
Values readAccessor(const Model& m, int index, std::initializer_list<int> types,
                    const std::string& what);

// Reads `count` elements of `components` values each from a buffer view at
// `offset`, into `out` (appending), checking every byte is there.
void readElements(const Model& m, int viewIndex, std::size_t offset, std::size_t count,
                  std::size_t components, int componentType, bool normalize,
                  const std::string& what, std::vector<double>& out);

// The component types an index may have: unsigned integers.
bool isIndexType(int type);

// --- the scene (gltf_scene.cpp): nodes, the mesh instances in them and
// their geometry, skins, the positions of every vertex in one pose

struct Instance {
    int node = -1;
    int mesh = -1;
};

// Parents of every node (-1 for roots), refusing a node that is the child
// of two nodes or of itself through others.
std::vector<int> parentsOf(const Model& m);

// Every node, parents before children: the order world transforms are built in.
std::vector<int> topologicalOrder(const Model& m, const std::vector<int>& parent);

// The mesh instances of the scene, in depth-first order of its nodes.
std::vector<Instance> sceneInstances(const Model& m, const std::vector<int>& parent);

// The vertices one primitive (or several sharing them) draws from.
struct VertexSource {
    int instance = -1;
    std::size_t count = 0;
    std::vector<double> base;                 // count x 3
    std::vector<std::vector<double>> targets; // per morph target: count x 3 deltas
    std::vector<std::uint32_t> joints;        // count x influences
    std::vector<double> weights;              // count x influences
    std::size_t influences = 0;
    std::size_t firstVertex = 0; // its first vertex among all glTF vertices
};

struct Primitive {
    std::size_t source = 0;
    std::vector<std::uint32_t> corners; // 3 per triangle, indices into its source
    std::vector<double> uv;             // per source vertex: u, v (empty: none)
    int material = -1;
};

struct Geometry {
    std::vector<Instance> instances;
    std::vector<VertexSource> sources;
    std::vector<Primitive> primitives;
    std::size_t vertices = 0; // over every source
};

// The triangle primitives of the instances, points and lines skipped (with
// a warning).
Geometry readGeometry(const Model& m, const std::vector<Instance>& instances, std::vector<std::string>& warnings);

// The corners primitive `p` draws, each checked against `vertexCount`.
std::vector<std::uint32_t> readIndices(const Model& m, const tinygltf::Primitive& p,
                                       std::size_t vertexCount, const std::string& what);

struct Pose {
    std::vector<Vec3> translation;
    std::vector<Quat> rotation;
    std::vector<Vec3> scale;
    std::vector<std::vector<double>> weights; // per node
};

struct Scene {
    const Model& model;
    std::vector<int> order; // parents first
    std::vector<int> parent;
    std::vector<std::vector<Mat4>> inverseBind; // per skin, per joint
};

// Every node's own transform and morph weights, as the file sets them.
Pose restPose(const Model& m);

// Every node's world transform in pose `p`.
std::vector<Mat4> worldMatrices(const Scene& sc, const Pose& p);

// The positions of every glTF vertex, in the mesh's axes, appended to `out`.
void evaluate(const Scene& sc, const Geometry& g, const Pose& p, std::vector<float>& out);

// Per skin, per joint: its inverse bind matrix (identity where none is given).
std::vector<std::vector<Mat4>> inverseBindMatrices(const Model& m);

// --- animation (gltf_animation.cpp): samplers, sampling, the frames of an
// animation

struct Sampler {
    std::vector<double> times;
    std::vector<double> values; // keys x (3 for cubic) x width
    std::size_t width = 0;
    bool rotation = false; // quaternions: LINEAR turns at an even rate (slerp)
    enum { Linear, Step, Cubic } interpolation = Linear;
};

struct Channel {
    std::size_t sampler = 0;
    int node = -1;
    enum { Translation, Rotation, Scale, Weights } path = Translation;
};

struct Animation {
    std::string name;
    std::vector<Sampler> samplers;
    std::vector<Channel> channels;
    double start = 0;
    double end = 0;
    std::uint64_t frames = 0;
};

// The samplers and channels of animation `index` and its frames at `fps`.
Animation readAnimation(const Model& m, std::size_t index, double fps);

// Pose `p` with every channel of `a` sampled at time `t`.
void applyAnimation(const Animation& a, double t, Pose& p);

// The most morph targets a primitive of node `node`'s mesh has.
std::size_t morphTargetCount(const Model& m, int node);

// --- restoring (gltf_restore.cpp): a file written by --to-gltf, from the
// record in its mesh's extras

// Whether a mesh of the scene keeps a meshfold record.
bool hasExtras(const Model& m, const Geometry& g);

// The member `key` of the JSON object `v`, or null.
const tinygltf::Value* member(const tinygltf::Value& v, const char* key);

// The whole number from 0 to 2^32 - 1 that member `key` holds, if it does.
std::optional<std::uint64_t> numberMember(const tinygltf::Value& v, const char* key);

// The texture number and polygon type the material keeps in its extras,
// where given, else those of its name (materialCode()).
MaterialCode writtenMaterial(const Model& m, int material);

// Restores a file written by --to-gltf from its record. Returns why the
// record cannot be used, or empty when it was.
std::string restore(const Model& m, const Geometry& g, double fps, GltfRead& out);

// --- the triangles (gltf_read.cpp), whose bytes a restored file shares

// A texture coordinate as a byte; one outside 0 to 1 wraps into it and
// counts in `wrapped`.
std::uint8_t uvByte(double c, std::size_t& wrapped);

// The texture number and polygon type of material `material`: its name's,
// else its index as the texture number.
MaterialCode materialCode(const Model& m, int material);

// --- materials (gltf_material.cpp): the image each texture number shows, the
// texture coordinates it is sampled with, the polygon type a material gives

// The texture coordinate set (TEXCOORD_n) that material `material`'s
// baseColorTexture names; 0 without one.
int texCoordSet(const Model& m, int material);

struct MaterialImages {
    std::vector<GltfTexture> textures; // by ascending texture number
    std::vector<bool> masked;          // per material: its polygons are masked
};

// The image of every texture number the primitives draw with whose material
// has a baseColorTexture (see GltfTexture). An image that cannot be had or
// decoded gives a warning and no texture; a texture number whose materials
// show different images keeps the first, with one warning.
MaterialImages readMaterialImages(const Model& m, const Geometry& g, const GltfResources& resources,
                                  std::vector<std::string>& warnings);

// The texture number and polygon type of `material`'s triangles: those of
// its name where it names a polygon type; else its name's texture number (or
// its index) with the masked type for a masked material, two-sided for a
// doubleSided one, else normal.
MaterialCode polygonCode(const Model& m, int material, const std::vector<bool>& masked);

} // namespace meshfold::gltf
