// Writing a mesh as binary glTF 2.0 (.glb), every frame of it, without
// holding the frames: the triangles decide the vertex list, materials and
// primitives; a first pass over the frames gathers each frame's bounds (and
// the checksum of frame 0); a second pass streams the positions. Pure: the
// bytes go to a sink the caller gives, nothing here prints or opens a file.
//
// What the file holds (see gltf_common.h for the vertex list and the extras):
//   - glTF (x, y, z) = (X, Z, Y) of the mesh's coordinates: packed vertices
//     as the signed 11-bit X and Y fields / 8 and the signed 10-bit Z field
//     / 4; wide vertices as the signed 16-bit values / 256;
//   - frame 0 as the base POSITION, frame k >= 1 as morph target k - 1
//     holding frame k minus frame 0 (exact: every value is a small multiple
//     of a power of two);
//   - with two frames or more, one animation with LINEAR weights: at time
//     k / fps target k - 1 has weight 1 and every other 0 (frame 0: all 0).
//     The weights are a sparse accessor of frames x targets values, only
//     the ones stored, so the file grows with frames x vertices alone.
//     With clips (the sequences of an import script), one such animation
//     per clip instead, over its own frames at its own rate.
//
//   - with textures (--uc, see bridge/package_folder.h), each material whose slot has
//     an image shows it as its baseColorTexture: a PNG in the binary chunk,
//     the file's colours as they are (see gltfTexturePixels for the alpha),
//     sampled nearest with the _NOSMOOTH flag, else linearly with mip maps;
//     unlit materials (_UNLIT) carry KHR_materials_unlit. Materials record
//     their slot's texture in their extras (see gltf_common.h).
//
// Binary chunk, in order: the indices of every primitive (uint16, or uint32
// when the vertex list reaches 65535), TEXCOORD_0, for each animation its
// key frame times, its sparse weights' indices (uint32) and values, each
// image's PNG (padded to 4 bytes), then the positions of frame 0, 1, ... (12
// bytes a glTF vertex). Everything before the positions depends on the
// triangles, the images and counts only.
#pragma once

#include "meshfold/game/sequence.h"
#include "meshfold/gltf/gltf_common.h"
#include "meshfold/image/image.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace meshfold {

// The texture a slot's import lines name, as a material's extras record it.
struct GltfSlotTexture {
    std::uint8_t slot = 0;
    std::string name;        // the imported texture's name, else the name SETTEXTURE gives
    std::string file;        // FILE= as the script writes it; empty: the package does not import it
    std::string group;       // GROUP=, empty when none
    std::uint32_t flags = 0; // FLAGS=
};

// The mesh besides its vertices.
struct GltfSource {
    std::string name;               // the mesh's name: node, mesh, material names
    bool deusEx = false;            // wide (8-byte) vertices, else packed words
    std::uint16_t frameSize = 0;    // as the animation file gives it
    std::uint32_t frames = 1;       // frames to write, 1 or more
    double fps = 30;                // above 0
    std::vector<MeshSequence> clips;    // empty: one animation of every frame at fps
    std::vector<GltfSlotTexture> textures; // the slots' textures, for the extras
    std::span<const std::uint8_t> data; // the whole data file; it must hold
                                        // the header and every triangle record
};

// How a material's texture covers what lies behind it.
enum class GltfAlpha : std::uint8_t {
    Opaque,
    Mask,  // alphaMode MASK: palette index 0 transparent
    Blend, // alphaMode BLEND: translucent polygons
};

struct GltfMaterial {
    std::uint8_t texture = 0; // record byte 14
    std::uint8_t type = 0;    // record byte 6
    std::int32_t image = -1;  // into GltfPlan::images; -1: a plain material
    GltfAlpha alpha = GltfAlpha::Opaque;
};

// An image embedded in the file.
struct GltfImage {
    std::string name;
    std::vector<std::uint8_t> png;
    // Of an RGBA PNG, gltfPixelsCheck() of its pixels, which the extras of
    // the materials showing it keep ("textureCheck"); empty for a paletted
    // one, whose palette is its own check.
    std::string pixelCheck;
};

// Whether a material of polygon type `type` shows its texture's palette
// index 0 as transparent: the texture is imported masked (FLAGS=2) or the
// polygons are of the masked type, and the file has a palette.
bool gltfMasksIndexZero(std::uint8_t type, std::uint32_t textureFlags, bool paletted);

// The alpha mode of a material of polygon type `type`: Blend for translucent
// polygons, else Mask where index 0 is transparent, else Opaque.
GltfAlpha gltfAlphaOf(std::uint8_t type, bool masksIndexZero);

// The pixels a material shows of `image`: its colours as they are, with
// alpha 0 where `masksIndexZero` and the palette index is 0; else, for
// Blend, the largest of the pixel's red, green and blue (the engine adds a
// translucent texture to what lies behind it, which glTF cannot: this
// alpha lets black show nothing and bright colours cover, as there); else
// 255.
std::vector<std::uint8_t> gltfTexturePixels(const Image& image, GltfAlpha alpha, bool masksIndexZero);

// Those pixels as a PNG file: from an image with a palette, a paletted PNG
// (a quarter of the bytes to compress, and a smaller file), its colours and
// alpha those of the pixels, holding the image's whole palette (used entries
// or not) where the pixels show it, so that the texture can be brought back
// with every entry; else an RGBA one, with its pixelCheck. No name; an empty
// png when it cannot be made.
GltfImage gltfTextureImage(const Image& image, GltfAlpha alpha, bool masksIndexZero);

// Everything the triangles decide.
struct GltfLayout {
    std::uint16_t vertexCount = 0;  // N
    std::uint16_t polygonCount = 0; // P
    std::vector<std::uint16_t> vertexOf;            // the mesh vertex of each glTF vertex
    std::vector<std::array<std::uint8_t, 2>> uv;    // the U, V bytes of each glTF vertex
    std::vector<GltfMaterial> materials;            // one primitive each, in order of first use
    std::vector<std::vector<std::uint32_t>> indices; // of each primitive: corners v0, v2, v1
    std::vector<std::uint8_t> triangleExtras;       // 4 bytes a triangle (see gltf_common.h)
    std::vector<std::uint8_t> looseTriangles;       // whole records of triangles glTF cannot hold
};

// The bounds of one accessor of positions.
struct GltfBounds {
    std::array<float, 3> min{};
    std::array<float, 3> max{};
};

// The writer's whole state: the layout, then what the first pass gathered.
// Its size grows with the triangles and 24 bytes a frame, never with frames
// x vertices.
struct GltfPlan {
    GltfSource source;
    GltfLayout layout;
    std::vector<float> base;          // frame 0, three floats a mesh vertex
    std::vector<GltfBounds> bounds;   // of frame 0, then of each target
    Fnv1a64 check;                    // complete once frame 0 has been scanned
    std::vector<GltfImage> images;    // the materials' textures (layout.materials[i].image),
                                      // each distinct PNG once
};

// The layout of `source`. The data file must hold its header and P records
// (the caller checks); corner indices not below N make loose triangles.
GltfPlan planGltf(const GltfSource& source);

// Bytes one frame's vertices take: N vertices of 4 or 8 bytes.
std::size_t gltfFrameVertexBytes(const GltfPlan& plan);

// Decodes `count` vertices at `bytes` (4 or 8 bytes each) into glTF (x, y,
// z) floats, three a vertex.
void gltfPositions(bool deusEx, const std::uint8_t* bytes, std::size_t count, float* xyz);

// The first pass: the frames' vertices in order, gltfFrameVertexBytes() each.
void scanGltfFrame(GltfPlan& plan, std::span<const std::uint8_t> vertices);

// The size of the whole .glb once every frame has been scanned. A .glb
// counts its length in 32 bits: above kGltfMaxSize it cannot be written.
std::uint64_t gltfFileSize(const GltfPlan& plan);
inline constexpr std::uint64_t kGltfMaxSize = 0xFFFFFFFFu;

// Where the written bytes go, in order, in pieces; false stops the writing.
using GltfSink = std::function<bool(const std::uint8_t* bytes, std::size_t size)>;

// Buffers the writer's output for a sink (or, without one, only counts it).
struct GltfOut {
    GltfSink sink;
    std::vector<std::uint8_t> pending;
    std::uint64_t written = 0; // bytes handed on, or counted
    bool ok = true;            // false once the sink has refused
};

// The second pass: writeGltfHead() once (the GLB header, the JSON chunk, the
// binary chunk up to the positions), then writeGltfFrame() for each frame in
// order, then flushGltf(). Each returns false once the sink has refused.
bool writeGltfHead(const GltfPlan& plan, GltfOut& out);
bool writeGltfFrame(const GltfPlan& plan, std::span<const std::uint8_t> vertices,
                    std::uint32_t frame, GltfOut& out);
bool flushGltf(GltfOut& out);

// The length of the JSON chunk's text, padding excluded.
std::uint64_t gltfJsonLength(const GltfPlan& plan);

} // namespace meshfold
