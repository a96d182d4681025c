// What the glTF writer (--to-gltf) and reader (a .glb or .gltf named on the
// command line) agree on: how a triangle's polygon type and texture number
// become a material name and back, and the record a written file keeps of
// everything glTF has no place for, so that the file comes back byte for byte.
//
// A file written by --to-gltf holds one node with one mesh, named after the
// mesh. Its vertex list: glTF vertex i < N (N = the data file's vertex count)
// is mesh vertex i, with the texture coordinates of the first corner that
// uses it in data-file order, each triangle's corners in stored order ((0, 0)
// when no triangle does; a triangle with a corner index not below N uses
// none); after them, one glTF vertex for each further distinct pair of mesh
// vertex and texture coordinates, in order of first use. One primitive per material, in order of
// first use; each primitive's triangles in data-file order, corners (v0, v2,
// v1). Frame 0 is the base POSITION, frame k morph target k - 1.
//
// mesh.extras.meshfold, an object (every string of bytes as lower-case hex):
//   "form"            "unreal" or "deusex": the animation file's form
//   "frameSize"       F, the frame size the animation file gave
//   "vertexCount"     N
//   "polygonCount"    P
//   "fps"             the frame rate the animation was written at
//   "dataHeaderTail"  the 44 bytes after the data file's two counts
//   "dataTrailer"     every byte after the data file's last triangle record
//   "triangles"       4 bytes per data-file triangle, in file order: the index
//                     of its primitive (uint16 LE), then record bytes 7 and 15
//                     (the ones no material carries); primitive 0xFFFF for a
//                     triangle with a corner index not below N, which glTF
//                     cannot hold
//   "looseTriangles"  the whole 16-byte records of those triangles, in order
//   "vertexOf"        2 bytes (uint16 LE) per glTF vertex from N on: the mesh
//                     vertex it stands for
//   "check"           16 hex digits: positionsAndTrianglesChecksum() of the
//                     file as written
// material.extras.meshfold: {"texture": record byte 14, "type": record byte 6},
// and with --uc, where a SETTEXTURE line sets the material's slot:
//   "textureName"     the texture's name: the TEXTURE IMPORT's NAME= (or its
//                     file's base name), or, for a texture the package does
//                     not import (the game's own), the name SETTEXTURE gives,
//                     qualified as it is there ("DeusExItems.WeaponHandsTex")
//   "textureFile"     FILE= as the script writes it ("Textures\X7PR2.pcx"),
//   "textureGroup"    GROUP= (only when given) and
//   "textureFlags"    FLAGS= (0 when not given), only for an imported texture;
//   "textureCheck"    where the material's image is an RGBA PNG (a texture
//                     file of more than 8 bits), 16 hex digits:
//                     gltfPixelsCheck() of its pixels as written, so that a
//                     reader can tell the image is still the texture's.
// A reader uses them only while "check" still matches the geometry it reads
// (an editor may have changed the geometry and kept the extras).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace meshfold {

inline constexpr std::string_view kGltfExtrasKey = "meshfold";
inline constexpr std::uint16_t kLooseTriangle = 0xFFFF;

// The low four bits of a triangle's polygon type byte (record byte 6), and the
// name each has in a material name.
inline constexpr std::uint8_t kPolyTypeMask = 0x0F;
inline constexpr std::uint8_t kPolyTypeTwoSided = 1;
inline constexpr std::uint8_t kPolyTypeTranslucent = 2;
inline constexpr std::uint8_t kPolyTypeMasked = 3;
inline constexpr std::uint8_t kPolyTypeWeapon = 8;
// Flag bits of the polygon type byte.
inline constexpr std::uint8_t kPolyFlagUnlit = 0x10;
inline constexpr std::uint8_t kPolyFlagNoSmooth = 0x80;
// The TEXTURE IMPORT flag (FLAGS=2) of a masked texture: palette index 0 is
// transparent.
inline constexpr std::uint32_t kTextureFlagMasked = 2;

// The material name of triangles with texture number `texture` (record byte
// 14) and polygon type byte `type` (record byte 6), as the community Blender
// add-on for these meshes names them: the texture number in three digits,
// then _NORMAL, _2SIDED, _TRANSLUCENT, _MASKED, _MODULATED, _ALPHABLEND or
// _WEAPONTRI for the low four bits 0-5 and 8 (any other value: _NORMAL), then
// _UNLIT, _FLAT, _ENVIRONMENT, _NOSMOOTH for bits 4-7 that are set, then "_"
// and the mesh name. "004_2SIDED_UNLIT_Cube".
std::string materialName(std::uint8_t texture, std::uint8_t type, std::string_view meshName);

// True for the polygon types (1 to 5) that the game draws from both sides.
bool isDoubleSided(std::uint8_t type);

// The texture number and polygon type byte a material name stands for: three
// leading digits (0-255), then any of the long or short flag names in any
// order and any case (_2SIDED _DD, _TRANSLUCENT _LU, _MASKED _CL, _MODULATED
// _MD, _ALPHABLEND _AB, _WEAPONTRI _PH, _UNLIT _UL, _FLAT _FL, _ENVIRONMENT
// _RF, _NOSMOOTH _NS; _NORMAL is type 0); parts that are none of them (the
// mesh name) are ignored. Empty when the name does not start with three
// digits of a number up to 255. Of several polygon types named, the last wins.
struct MaterialCode {
    std::uint8_t texture = 0;
    std::uint8_t type = 0;
};
std::optional<MaterialCode> parseMaterialName(std::string_view name);

// FNV-1a, 64 bits: the checksum a written file keeps of its geometry.
struct Fnv1a64 {
    std::uint64_t state = 0xcbf29ce484222325ull;
    void add(std::span<const std::uint8_t> bytes);
    void addLe32(std::uint32_t value);
};

// The checksum of the geometry that "check" describes: the base POSITION
// accessor's values (three float32 a vertex, little-endian, as stored), then
// every primitive's indices in primitive order, each as uint32 LE. Writer and
// reader feed the same values, in this order, through Fnv1a64.
std::string checksumHex(const Fnv1a64& sum);

// The checksum "textureCheck" keeps of an image of `width` x `height`
// pixels `rgba` (four bytes a pixel, rows from the top): Fnv1a64 of the
// width and the height (uint32 LE) and then the pixels, as checksumHex().
std::string gltfPixelsCheck(std::uint32_t width, std::uint32_t height, std::span<const std::uint8_t> rgba);

// Lower-case hex of `bytes`, and back. fromHex() is empty for an odd length
// or a character that is not a hex digit.
std::string toHex(std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> fromHex(std::string_view text);

} // namespace meshfold
