// A compiled package's meshes and textures as the files of a package folder, the way modders keep
// their sources: `Classes/PKG.uc` with the import lines, `Models/NAME_a.3d` and `NAME_d.3d`,
// `Textures/TEX.pcx`. Pure: the reader's records in (package/inventory.h), bytes and text out;
// the driver reads the package file and writes what comes back through the commit.
//
// What is kept: every frame's vertices in the package's vertex order (which the triangles'
// corners index), every triangle with its texture coordinates, texture number and polygon type
// (the weapon triangle as a type-8 triangle), the mesh's origin, rotation, scale, sequences,
// notifies and LOD parameters, each texture slot, and each texture's palette and indices. What
// is not is said in a warning line (meshfold/common/messages.h) naming the package's object.
#pragma once

#include "meshfold/common/messages.h"
#include "meshfold/game/convert.h"
#include "meshfold/package/inventory.h"

#include <cstdint>
#include <string>
#include <vector>

namespace meshfold {

// The form asked for and how a conversion into it runs.
struct PackageExtractOptions {
    // -ms and -h, applied only where the vertices change form: a mesh already in the form asked
    // for has its vertex words copied as stored, and its triangles kept as they are.
    ConvertMode mode;
    bool unreal = false; // --to-unreal: the packed form; else the Deus Ex form
    // The meshes to take out, by name (ignoring case); empty for every mesh. With a selection,
    // only the textures that the selected meshes' slots name are written.
    std::vector<std::string> meshes;
};

// One file of the package folder. `path` is relative to the folder, parts separated by '/'.
struct PackageFile {
    std::string path;
    std::vector<std::uint8_t> bytes;
};

// A texture of the package as the folder holds it.
struct ExtractedTexture {
    std::size_t exportIndex = 0;
    std::string name;       // the export's name, as TEXTURE IMPORT NAME= gives it
    std::string fullName;   // `Pkg.Group.Name`
    std::string group;      // GROUP=, empty when none
    std::string scriptName; // what a SETTEXTURE line names it: `name`, or `fullName` when
                            // another texture of the package has the same name
    std::string fileName;   // "Textures/NAME.pcx", unique in the package ignoring case
    std::string scriptFile; // FILE= as the script writes it: "Textures\NAME.pcx"
    std::uint32_t flags = 0; // FLAGS= (2 when masked)
    bool masked = false;    // bMasked, or on a masked polygon of one of the package's meshes
    std::uint32_t width = 0, height = 0; // of the PCX written
    bool exact = false;     // the stored palette and indices, as they are
    bool madeEightBit = false; // decoded from another pixel format and quantised
    bool singleMip = false; // stored with no smaller mips: imported with MIPS=OFF
    std::vector<std::uint8_t> pcx; // empty: no file (the warnings say why)
    std::vector<std::string> warnings;
};

// Each texture of `contents` (in export order) with the file it becomes. Only P8 textures
// whose palette is in the package keep their colours exactly; a texture stored in another
// format (or only in the compressed copy bHasComp adds) is decoded and quantised; a side that
// is not a power of two (the engines' importers take no other) is resized. Masked textures
// keep palette index 0 for their transparent pixels.
std::vector<ExtractedTexture> extractTextures(const package::Package& p,
                                              const package::Contents& contents);

// A mesh of the package as its two files and its import lines.
struct ExtractedMesh {
    Failure failure; // Stop::None when the files can be written
    std::size_t exportIndex = 0;
    std::string name;       // the export's name
    std::string fullName;   // `Pkg.Group.Name`
    std::string scriptName; // MESH= and MESHMAP=
    std::string animFile;   // "Models/NAME_a.3d"
    std::string dataFile;   // "Models/NAME_d.3d"
    std::vector<std::uint8_t> anim; // empty after a failure
    std::vector<std::uint8_t> data;
    // Its `#exec` lines: the TEXTURE IMPORT of each of its textures that has a file, then the
    // mesh's own lines (mesh, origin, sequences, notifies, map, scale, LOD parameters, slots).
    std::string script;
    std::string meshLines; // the mesh's own lines alone, for a script that imports the
                           // package's textures once, before every mesh
    bool deusEx = false;   // the form written
    bool converted = false; // the vertices changed form
    std::uint32_t frames = 0, vertices = 0, triangles = 0;
    CoordRanges ranges;     // the coordinates written, in the form's units
    std::vector<std::string> warnings;
};

// The mesh in the form `o` asks for. Into the Deus Ex form, a packed mesh's words go through
// convertWords (the same bytes meshfold makes of its `_a.3d`); into the Unreal form, a Deus Ex
// mesh's vertices go through packVertices, and a vertex that does not fit fails the mesh as a
// file would (Stop::VerticesDoNotFit). The Deus Ex pad word is written 0. A mesh the files
// cannot hold (no frame or vertex, more than 65535 frames or triangles, a frame past 65535
// bytes, a texture number past 255) fails with Stop::PackageMeshTooLarge. `textures` is what
// extractTextures gave for the same contents: the slots' lines name their files.
ExtractedMesh extractMesh(const package::Package& p, const package::Mesh& m,
                          const std::vector<ExtractedTexture>& textures,
                          const PackageExtractOptions& o);

// How MESHMAP SCALE and MESH ORIGIN change with the form. The engine places a vertex v at
// R * ((v - origin) * scale), R the MESH ORIGIN rotation: `factor` is the written scale over
// the stored one on each axis, `sign` +1 or -1 as the conversion keeps or negates the axis.
// The written origin is sign * origin / factor, so that
//   (written v - written origin) * written scale = sign * (stored v - origin) * scale
// for every vertex the conversion keeps exactly, and to within one step of the written form
// otherwise. The two negated axes (X and Y) are a half turn about Z, which the written
// rotation takes back: yaw + 32768, pitch and roll negated. With -ms only Y is negated, a
// mirror no rotation undoes: that is the fix's purpose, and the rotation stays as stored.
struct FormChange {
    double factor[3] = {1, 1, 1};
    int sign[3] = {1, 1, 1};
    bool turned = false; // the half turn about Z
};
FormChange formChange(package::VertexForm stored, const PackageExtractOptions& o);

// The rotation written for a stored one under `change`.
package::Rotator writtenRotation(const package::Rotator& stored, const FormChange& change);

// The whole package folder: every selected mesh and texture, and `Classes/PKG.uc` (the
// textures' imports first, once each, then each mesh's lines), in `files`: the script, then
// each mesh's two files, then each texture's file. Meshes that fail are in `failures` (and
// have no files); every warning is in `warnings`, in the order of the objects.
struct PackageExtraction {
    std::vector<ExtractedMesh> meshes;
    std::vector<ExtractedTexture> textures;
    std::vector<PackageFile> files;
    std::vector<Failure> failures;
    std::vector<std::string> warnings;
    std::vector<std::string> unknownMeshes; // names of o.meshes that no mesh has
};
PackageExtraction extractPackage(const package::Package& p, const package::Contents& contents,
                                 const PackageExtractOptions& o);

// The script `Classes/PKG.uc` of the meshes and textures given.
std::string packageScript(const package::Package& p, const std::vector<ExtractedMesh>& meshes,
                          const std::vector<ExtractedTexture>& textures);

// The listing of a package (--list): a line for the package, then one for each mesh, each
// texture and each object the reader refused, each line starting with a newline.
std::string packageListing(const package::Package& p, const package::Contents& contents,
                           const std::vector<ExtractedTexture>& textures);

// The words that say why the reader refused an object ("it is a SkeletalMesh, not a vertex
// mesh"), for packageRefusalMessage.
std::string refusalReason(const package::Failure& f);

} // namespace meshfold
