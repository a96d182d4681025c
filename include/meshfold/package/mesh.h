// Mesh and LodMesh objects: every field of their native data, the vertices as stored (spans into
// the package), and the triangles rebuilt from them in the terms of a `_d.3d` file.
#pragma once

#include "meshfold/package/package.h"
#include "meshfold/package/polygon_flags.h"
#include "meshfold/package/properties.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace meshfold::package {

struct Vector3 {
    float x = 0, y = 0, z = 0;
};

// Pitch, yaw, roll; 65536 is a full turn.
struct Rotator {
    std::int32_t pitch = 0, yaw = 0, roll = 0;
};

struct Box {
    Vector3 min, max;
    std::uint8_t valid = 0;
};
inline constexpr std::uint64_t kBoxSize = 25;

// A sphere; up to version 61 it has no radius (0 here).
struct Sphere {
    Vector3 centre;
    float radius = 0;
};
inline constexpr std::uint16_t kSphereRadiusVersion = 62;

struct Notify {
    float time = 0; // 0 to 1 of the sequence
    std::int32_t function = 0; // name index
};

struct Sequence {
    std::int32_t name = 0;  // name index
    std::int32_t group = 0; // name index; `None` for none
    std::int32_t startFrame = 0;
    std::int32_t frameCount = 0;
    std::vector<Notify> notifies;
    float rate = 0;
};

// A plain Mesh's triangle as stored (20 bytes).
struct MeshTri {
    std::array<std::uint16_t, 3> vertex{};
    std::array<std::uint8_t, 3> u{}, v{};
    std::uint32_t polyFlags = 0;
    std::int32_t textureIndex = 0;
};
inline constexpr std::uint64_t kMeshTriSize = 20;

struct LodFace {
    std::array<std::uint16_t, 3> wedge{};
    std::uint16_t material = 0;
};
inline constexpr std::uint64_t kLodFaceSize = 8;

struct LodWedge {
    std::uint16_t vertex = 0; // a model vertex: add the special vertex count for the frame's index
    std::uint8_t u = 0, v = 0;
};
inline constexpr std::uint64_t kLodWedgeSize = 4;

struct LodMaterial {
    std::uint32_t polyFlags = 0;
    std::int32_t textureIndex = 0;
};
inline constexpr std::uint64_t kLodMaterialSize = 8;

// The weapon triangle: three special vertices. `fourth` is kept as stored; it is no usable
// material index, and the package holds no texture number and no coordinates for this face.
struct LodSpecialFace {
    std::array<std::uint16_t, 3> vertex{};
    std::uint16_t fourth = 0;
};
inline constexpr std::uint64_t kLodSpecialFaceSize = 8;

// `MESH ORIGIN ... YAW=-60` is stored as -15360; ROLL=0.59 as 151.
inline constexpr std::int32_t kExecRotationScale = 256;

// Vertices: packed 32-bit words (Unreal, UT99) or 8 bytes, int16 X, Y, Z and a pad (Deus Ex).
enum class VertexForm : std::uint8_t { Packed, Wide };
inline constexpr std::uint64_t kPackedVertexBytes = 4;
inline constexpr std::uint64_t kWideVertexBytes = 8;

// The LodMesh fields after the Mesh ones.
struct LodData {
    std::vector<std::uint16_t> collapsePoints;
    std::vector<std::uint16_t> faceLevels;
    std::vector<LodFace> faces;
    std::vector<std::uint16_t> collapseWedges;
    std::vector<LodWedge> wedges;
    std::vector<LodMaterial> materials;
    std::vector<LodSpecialFace> specialFaces;
    std::int32_t modelVerts = 0;
    std::int32_t specialVerts = 0;
    float maxScale = 0, lodHysteresis = 0, lodStrength = 0;
    std::int32_t lodMinVerts = 0;
    float lodMorph = 0, lodZDisp = 0;
    // Non-empty (one entry a vertex of a frame) in the LodMeshes of the 1999 builds. There the
    // faces' and special faces' corners index this table, which gives the stored vertex: corner
    // c is vertex remapAnimVerts[c] of each frame. The stored vertices are in the order of the
    // source `_a.3d` (checked on the 20 such meshes whose sources are known), so rebuildTriangles
    // maps the corners and the vertices stay as stored.
    std::vector<std::uint16_t> remapAnimVerts;
    std::int32_t oldFrameVerts = 0;
};

struct Mesh {
    std::size_t exportIndex = 0;
    std::string name;     // the export's name
    std::string fullName; // `Pkg.Group.Name`
    bool lod = false;     // a LodMesh
    PropertyList properties;

    Box bounds;
    Sphere sphere;
    VertexForm form = VertexForm::Packed;
    Bytes verts;               // every frame's vertices as stored, frame after frame
    std::uint32_t vertCount = 0; // items in `verts` (frames x vertices per frame)
    std::vector<MeshTri> tris; // a plain Mesh's triangles; empty in a LodMesh
    std::vector<Sequence> sequences;
    Bytes connects;            // 8-byte items, as stored
    std::uint32_t connectCount = 0;
    Box bounds2;
    Sphere sphere2;
    Bytes vertLinks;           // int32 items, as stored
    std::uint32_t vertLinkCount = 0;
    std::vector<ObjectLink> textures; // slot n = texture number n
    std::vector<Box> frameBoxes;
    std::vector<Sphere> frameSpheres;
    std::int32_t frameVerts = 0;
    std::int32_t frameCount = 0;
    std::uint32_t andFlags = 0, orFlags = 0;
    Vector3 scale;
    Vector3 origin;
    Rotator rotation; // `MESH ORIGIN PITCH YAW ROLL` x kExecRotationScale, truncated
    std::int32_t currentPoly = 0, currentVertex = 0;
    std::vector<float> textureLod; // one value at version 65; none below

    std::optional<LodData> lodData;
};

struct MeshRead {
    std::optional<Mesh> mesh; // set exactly when failure is not
    std::optional<Failure> failure;
    std::vector<Warning> warnings;
};

// Reads export i as a Mesh or LodMesh (by its class): every field, to exactly the object's end.
// Refuses (by the export's full name) a SkeletalMesh and other meshes that are no vertex meshes,
// meshes of licensee-227 packages, running states, fields that end before or after the object,
// counts that disagree (vertices against frames, model and special vertices), wedges, faces and
// materials out of range, and a vertex form that cannot be told.
MeshRead readMesh(const Package& p, std::size_t exportIndex);

// The kind of mesh a class name means, for exports whose class is an import.
enum class MeshClass : std::uint8_t { NotAMesh, Mesh, LodMesh, NotAVertexMesh };
MeshClass meshClassOf(std::string_view className);

// Stored vertex k of a frame (k < frameVerts, frame < frameCount), the vertex that a Triangle's
// corner k means: the item's bytes (4 or 8), and decoded.
Bytes vertexBytes(const Mesh& m, std::uint32_t frame, std::uint32_t k);

struct VertexValues {
    std::int32_t x = 0, y = 0, z = 0;
    std::uint32_t word = 0; // the packed word, or the pad word of a wide vertex
};
VertexValues vertexValues(const Mesh& m, std::uint32_t frame, std::uint32_t k);

// Packed word layout: X in bits 0-10, Y in 11-21, Z in 22-31, each signed.
inline constexpr unsigned kPackedXBitCount = 11;
inline constexpr unsigned kPackedYBitCount = 11;
inline constexpr unsigned kPackedZBitCount = 10;

// A triangle as a `_d.3d` holds it. Corners index the stored vertices of a frame. A weapon
// triangle of a LodMesh's SpecialFaces has corners only (hasCoordinates false; u, v and
// textureNumber 0; polyFlags those of the weapon row, kWeaponTypeByte): the package keeps no more.
struct Triangle {
    std::array<std::uint32_t, 3> corner{};
    std::array<std::uint8_t, 3> u{}, v{};
    std::int32_t textureNumber = 0;
    std::uint32_t polyFlags = 0; // as stored
    std::uint8_t typeByte = 0;   // the `_d.3d` polygon type
    bool hasCoordinates = true;
};

struct TrianglesRead {
    std::vector<Triangle> triangles; // faces (or Tris) first, then the weapon triangles
    std::vector<Warning> warnings;   // flags no row of the table holds
};

// The mesh's triangles: a plain Mesh's Tris, or a LodMesh's faces through wedges and materials
// (all levels: the whole mesh) followed by its SpecialFaces as weapon triangles, corners through
// the remap of animation vertices where there is one. Indices were checked by readMesh.
TrianglesRead rebuildTriangles(const Mesh& m);

} // namespace meshfold::package
