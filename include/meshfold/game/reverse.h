// Wide vertex -> packed word: a Deus Ex mesh taken back to the Unreal form,
// the exact inverse of the conversion in convert.h made with the same mode.
#pragma once

#include "meshfold/game/convert.h"
#include "meshfold/game/format.h"
#include "meshfold/common/messages.h"

#include <cstddef>
#include <cstdint>
#include <span>

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

// How the vertices taken back so far fit the Unreal form.
struct PackingTally {
    std::uint64_t vertices = 0;  // whole vertices taken
    std::uint64_t notDeusEx = 0; // of them, with a non-zero fourth word
    std::uint64_t tooLarge = 0;  // of them, with a coordinate the mode cannot pack
};

// Packs `count` wide vertices at `wide` (8 bytes each, file byte order) into
// `count` packed words at `packed` (4 bytes each, little-endian), widens
// `ranges` by their field values and counts them in `tally`. The words of
// vertices that do not fit are not to be used: see packingFailure().
void packVertices(const std::uint8_t* wide, std::size_t count, std::uint8_t* packed,
                  ConvertMode mode, CoordRanges& ranges, PackingTally& tally);

// True when `vertices` (wide vertices, 8 bytes each; a partial one at the
// end is ignored) hold at least one vertex and each is what a conversion
// without -h writes, in the sign convention of `keepXSign`: every
// coordinate within -128..128 and the fourth word 0. Taken back with -h,
// such a mesh spans a few field steps.
bool writtenWithoutHiRes(std::span<const std::uint8_t> vertices, bool keepXSign);

// True when every vertex taken so far can be written.
inline bool packingFits(const PackingTally& t) {
    return t.notDeusEx == 0 && t.tooLarge == 0;
}

// The stop for vertices that cannot be written (a non-zero fourth word before
// coordinates that do not fit: -h cannot help with it), naming how many;
// Stop::None when every vertex fits.
Failure packingFailure(const PackingTally& t);

} // namespace meshfold
