// Wide vertex -> packed word: a Deus Ex mesh taken back to the Unreal form,
// the exact inverse of the conversion in convert.h made with the same mode.
#pragma once

#include "meshfold/convert.h"
#include "meshfold/format.h"
#include "meshfold/messages.h"

#include <cstddef>
#include <cstdint>

namespace meshfold {

// One wide vertex packed back into a word, and whether it fitted.
//
// The sign changes of the forward conversion are undone first (X and Y
// negated, X left alone with keepXSign), giving the field value t at the
// mode's scale. Normal mode: t must lie in -128..127, the values a normal
// conversion can produce; the field is t in its top 8 bits, the low bits 0.
// Hi-res mode: the field is t / 32 (X, Y) or t / 64 (Z) rounded to the
// nearest integer, ties away from zero. Every 16-bit value fits: a value
// that rounds one step past the field's last value (1024 for X and Y, 512
// for Z) is clamped to it, so 32767 and -32768 from saturated fields come
// back as the fields they came from. A vertex whose fourth word is not 0 is
// not a Deus Ex vertex: padOk is false.
struct PackedVertex {
    std::uint32_t word = 0;
    std::int16_t x = 0; // the three field values as signed numbers
    std::int16_t y = 0;
    std::int16_t z = 0;
    bool fits = true;   // every coordinate fits its field in this mode
    bool padOk = true;  // the fourth 16-bit word is 0
};

// Packs the 8 bytes of one wide vertex (file byte order).
PackedVertex packWideVertex(const std::uint8_t* wide, ConvertMode mode);

// A Deus Ex animation file's vertex area taken back frame by frame: the first
// `vertexCount` 8-byte vertices of every frame of `frameSize` bytes become
// packed words; whatever follows them in a frame is left out, and so is a
// vertex cut short by the end of the file. Frames run on to the end of the
// file, whatever the frame count, as the forward conversion converts every
// word it finds.
struct UnrealPacking {
    ConvertMode mode;
    std::uint32_t frameSize = 0; // bytes per frame of the Deus Ex file, at least usedSize
    std::uint32_t usedSize = 0;  // bytes of a frame that hold its vertices: 8 x vertex count
    std::uint32_t atInFrame = 0; // offset in its frame of the next byte to come
    std::uint8_t partial[kWideVertexSize] = {};
    std::size_t partialSize = 0; // bytes of a vertex split between two chunks
    std::uint64_t vertices = 0;   // whole vertices taken
    std::uint64_t notDeusEx = 0;  // of them, with a non-zero fourth word
    std::uint64_t tooLarge = 0;   // of them, with a coordinate the mode cannot pack
    CoordRanges ranges;           // of the field values written
};

// The packing of a mesh whose frames hold `frameSize` bytes and whose data
// file names `vertexCount` vertices. frameSize must be at least 8 x
// vertexCount and vertexCount at least 1.
UnrealPacking startPacking(ConvertMode mode, std::uint16_t frameSize, std::uint16_t vertexCount);

// Takes the next `size` bytes of the vertex area and writes one packed word
// (4 bytes, little-endian) to `out` for every vertex completed, returning how
// many. `out` must have room for size / 8 + 1 words. Vertices that do not
// fit are counted; the words written for them are not to be used.
std::size_t packVertexBytes(UnrealPacking& p, const std::uint8_t* in, std::size_t size,
                            std::uint8_t* out);

// True when every vertex taken so far can be written.
inline bool packingFits(const UnrealPacking& p) {
    return p.notDeusEx == 0 && p.tooLarge == 0;
}

// The stop for a packing with vertices that cannot be written (a non-zero
// fourth word before coordinates that do not fit: -h cannot help with it),
// naming how many; Stop::None when every vertex fits.
Failure packingFailure(const UnrealPacking& p);

} // namespace meshfold
