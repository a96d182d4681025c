// Byte layout of the two files of an Unreal vertex mesh.
//
//   NAME_a.3d  animation file: uint16 frame count, uint16 frame size, then the
//              vertices of every frame. Packed (Unreal) form: one 32-bit word a
//              vertex. Wide (Deus Ex) form: 8 bytes a vertex.
//   NAME_d.3d  data file: uint16 polygon count, uint16 vertex count, a 44-byte
//              tail nobody interprets, then 16-byte triangle records.
//
// All multi-byte fields are little-endian; nothing carries a magic number.
#pragma once

#include "meshfold/common/bytes.h"

#include <array>
#include <cstddef>
#include <cstdint>

namespace meshfold {

// Animation file.
inline constexpr std::size_t kAnimHeaderSize = 4;
inline constexpr std::size_t kPackedVertexSize = 4;
inline constexpr std::size_t kWideVertexSize = 8;
// The frame size is a 16-bit field in both forms: only frame sizes up to
// 32767 can be doubled, and frames with room to spare only shrink to 8 bytes
// a vertex for up to 8191 vertices.
inline constexpr std::uint32_t kMaxFrameSize = 65535;

// Data file.
inline constexpr std::size_t kDataCountsSize = 4;
inline constexpr std::size_t kDataHeaderSize = 48;
inline constexpr std::size_t kDataHeaderTailSize = kDataHeaderSize - kDataCountsSize;
inline constexpr std::size_t kTriangleRecordSize = 16;
static_assert(kDataHeaderTailSize == 11 * 4, "the header tail is eleven 32-bit words");

// Bit fields of a packed vertex word: X in bits 0-10, Y in 11-21, Z in 22-31.
inline constexpr unsigned kPackedXShift = 0;
inline constexpr unsigned kPackedYShift = 11;
inline constexpr unsigned kPackedZShift = 22;
inline constexpr unsigned kPackedXBits = 11;
inline constexpr unsigned kPackedYBits = 11;
inline constexpr unsigned kPackedZBits = 10;
static_assert(kPackedXBits + kPackedYBits + kPackedZBits == 32);
static_assert(kPackedZShift + kPackedZBits == 32);

// Animation file header, identical in both forms.
struct AnimHeader {
    std::uint16_t frameCount = 0;
    std::uint16_t frameSize = 0;
};

// One vertex of the wide form. The fourth 16-bit word is always written as 0.
struct WideVertex {
    std::int16_t x = 0;
    std::int16_t y = 0;
    std::int16_t z = 0;
};

// Encodes v as the 8 bytes the wide form stores: x, y, z as int16, then 0.
inline void encodeWideVertex(const WideVertex& v, std::uint8_t* out) {
    writeLe16(out + 0, static_cast<std::uint16_t>(v.x));
    writeLe16(out + 2, static_cast<std::uint16_t>(v.y));
    writeLe16(out + 4, static_cast<std::uint16_t>(v.z));
    out[6] = 0;
    out[7] = 0;
}

// One triangle of the data file, field for field as stored. The attribute
// bytes (polygon type, texture number and the like) are carried through
// untouched; nothing here interprets them.
struct TriangleRecord {
    std::array<std::uint16_t, 3> vertex{};
    std::uint8_t attr0 = 0;
    std::uint8_t attr1 = 0;
    std::array<std::uint8_t, 3> u{};
    std::array<std::uint8_t, 3> v{};
    std::uint8_t attr2 = 0;
    std::uint8_t attr3 = 0;
};

// Offsets inside a 16-byte triangle record.
inline constexpr std::size_t kTriVertexOffset = 0;  // three uint16
inline constexpr std::size_t kTriAttr0Offset = 6;
inline constexpr std::size_t kTriAttr1Offset = 7;
inline constexpr std::size_t kTriUvOffset = 8;  // U, V of each corner in turn
inline constexpr std::size_t kTriAttr2Offset = 14;
inline constexpr std::size_t kTriAttr3Offset = 15;

// Decodes one record from exactly kTriangleRecordSize bytes.
TriangleRecord decodeTriangle(const std::uint8_t* p);

// Encodes t into exactly kTriangleRecordSize bytes.
void encodeTriangle(const TriangleRecord& t, std::uint8_t* out);

// The same triangle with its corners in reverse order (2, 1, 0). Every corner
// keeps its own texture coordinates, so only the winding flips. Applying it
// twice gives back the original record.
TriangleRecord reverseWinding(const TriangleRecord& t);

} // namespace meshfold
