// The glTF writer's own header, private to src/: the records and constants
// its files share and what each file offers, from the bytes out up to the
// steps. The writer's contract is meshfold/gltf/write/gltf_write.h; what is
// declared here lives in meshfold::glb and is for the writer's files alone.
//
//   gltf_write_output.cpp    bytes into a GltfOut, little-endian words, the
//                            pieces of JSON text (numbers, strings)
//   gltf_write_bin.cpp       the binary chunk's layout, the animations
//                            written, the accessors and buffer views
//   gltf_write_material.cpp  materials, textures, samplers, images; the
//                            pixels and PNG each textured material shows
//   gltf_write_json.cpp      writeJson(): the JSON chunk in order, the mesh
//                            with its extras, the animations
//   gltf_write.cpp           the steps: planGltf(), scanGltfFrame(),
//                            writeGltfHead(), writeGltfFrame(), flushGltf()
#pragma once

#include "meshfold/gltf/write/gltf_write.h"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace meshfold::glb {

// glTF enumerations.
constexpr unsigned kUnsignedShort = 5123;
constexpr unsigned kUnsignedInt = 5125;
constexpr unsigned kFloat = 5126;
constexpr unsigned kArrayBuffer = 34962;
constexpr unsigned kElementArrayBuffer = 34963;

constexpr std::size_t kPositionSize = 12; // three float32
constexpr std::size_t kTexcoordSize = 8;  // two float32

// The bits of a float32, as a little-endian word holds them. Defined here,
// not in a file of its own: it runs for every coordinate of every frame
// written.
inline std::uint32_t floatBits(float f) {
    return std::bit_cast<std::uint32_t>(f);
}

// `n` rounded up to a multiple of 4: the length of a padded chunk or part.
inline std::uint64_t padded4(std::uint64_t n) {
    return (n + 3) & ~std::uint64_t{3};
}

// --- output (gltf_write_output.cpp): bytes and JSON text into a GltfOut

// Appends `size` bytes: buffered for the sink (a large block handed on as
// it is), or only counted without one; nothing once the sink has refused.
void put(GltfOut& out, const void* bytes, std::size_t size);

// Appends the bytes of `text`.
void put(GltfOut& out, std::string_view text);

// A 32-bit word, little-endian.
void putLe32(GltfOut& out, std::uint32_t v);

// A float32's bits, little-endian.
void putFloat(GltfOut& out, float f);

// `count` zero bytes, at most 4: padding.
void putZeros(GltfOut& out, std::size_t count);

// A whole number in decimal.
void jsonUint(GltfOut& out, std::uint64_t v);

// The shortest text that reads back as the same float32.
void jsonNumber(GltfOut& out, float v);

// The shortest text that reads back as the same double (the frame rate).
void jsonNumber(GltfOut& out, double v);

// A quoted JSON string of `s`; a byte that starts no valid UTF-8 sequence
// becomes U+FFFD.
void jsonString(GltfOut& out, std::string_view s);

// A JSON array of three numbers.
void jsonVec3(GltfOut& out, const std::array<float, 3>& v);

// --- the binary chunk (gltf_write_bin.cpp): where each part lies, the
// animations written, the accessors and buffer views

// Where everything lies in the binary chunk.
struct BinLayout {
    unsigned indexType = kUnsignedShort;
    std::size_t indexSize = 2;
    std::vector<std::uint64_t> primitiveOffset;
    std::uint64_t indicesBytes = 0; // padded to 4
    std::uint64_t texcoordOffset = 0;
    std::uint64_t animationOffset = 0; // where the first animation's times start
    std::vector<std::uint64_t> imageOffset; // each image's PNG
    std::uint64_t positionOffset = 0;
    std::uint64_t frameBytes = 0; // positions of one frame
    std::uint64_t total = 0;
};

// Accessor indices, in the order the JSON lists them.
struct AccessorIds {
    std::uint64_t texcoord = 0;
    std::uint64_t firstPosition = 0;
    std::uint64_t times = 0;
    std::uint64_t weights = 0;
};

// The morph targets: one for each frame after frame 0.
std::uint32_t targetCount(const GltfPlan& plan);

// The animations written: the source's clips cut to its frames, else one of
// every frame; none for a mesh of one frame.
std::vector<MeshSequence> clipsOf(const GltfPlan& plan);

// The frames of clip `c` that weigh a target: all but frame 0.
std::uint32_t weighted(const MeshSequence& c);

// Where everything of `plan` lies in the binary chunk.
BinLayout binLayout(const GltfPlan& plan);

// The time of key `key` of `clip`: key / rate seconds, as a float32.
float keyTime(const MeshSequence& clip, std::uint32_t key);

// The index of the first accessor of each kind.
AccessorIds accessorIds(const GltfPlan& plan);

// The buffer view of animation `i`'s times; its sparse indices and values
// follow, and the images' views after the last animation's.
std::uint64_t clipView(std::size_t i);

// The "bufferViews" member: indices, texture coordinates, positions, each
// animation's three views, each image's.
void jsonBufferViews(const GltfPlan& plan, const BinLayout& b, GltfOut& out);

// The "accessors" member, in the order accessorIds() numbers them.
void jsonAccessors(const GltfPlan& plan, const BinLayout& b, GltfOut& out);

// --- materials (gltf_write_material.cpp): materials, textures, samplers and
// images; the pixels and PNGs are declared in meshfold/gltf/write/gltf_write.h

// Whether a textured material is unlit: the file then uses KHR_materials_unlit.
bool anyUnlitTexture(const GltfPlan& plan);

// The "materials" member, one a primitive; nothing without materials.
void jsonMaterials(const GltfPlan& plan, GltfOut& out);

// The "textures", "samplers" and "images" members; nothing without a texture.
void jsonTextures(const GltfPlan& plan, GltfOut& out);

// --- the JSON chunk (gltf_write_json.cpp)

// The JSON chunk's whole text, its padding excluded.
void writeJson(const GltfPlan& plan, GltfOut& out);

} // namespace meshfold::glb
