// Every mesh, texture and palette of a package, read at once; every other object is skipped by
// its size. One object's refusal does not stop the others.
#pragma once

#include "meshfold/package/mesh.h"
#include "meshfold/package/package.h"
#include "meshfold/package/texture.h"

#include <vector>

namespace meshfold::package {

struct Contents {
    std::vector<Mesh> meshes;
    std::vector<Texture> textures;
    std::vector<Palette> palettes;
    std::vector<Failure> failures; // one for each object refused, in export order
    std::vector<Warning> warnings; // the objects' warnings, then the triangles'
};

// What kind of object export i is for this reader.
enum class ObjectKind : std::uint8_t { Other, Mesh, Texture, Palette, NotAVertexMesh };
ObjectKind objectKindOf(const Package& p, std::size_t exportIndex);

// Reads every Mesh, LodMesh, Texture (and fractal or scripted texture) and Palette, and refuses
// the meshes that are not vertex meshes by name. With `withTriangles`, the warnings of each
// mesh's rebuilt triangles are added (the triangles themselves are rebuilt again by whoever
// needs them).
Contents readContents(const Package& p, bool withTriangles = true);

// The palette export a texture names, among `contents.palettes`, or null (none, an import, or a
// palette that was refused).
const Palette* paletteOf(const Contents& contents, const Texture& t);

} // namespace meshfold::package
