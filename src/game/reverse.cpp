#include "meshfold/game/reverse.h"

#include <algorithm>

namespace meshfold {

namespace {

// Offset of the fourth 16-bit word of a wide vertex, always 0 in the form.
constexpr std::size_t kWidePadOffset = 6;

// Normal mode holds the field's top 8 bits: a signed byte.
constexpr std::int32_t kByteMin = -128;
constexpr std::int32_t kByteMax = 127;

// n / 2^shift rounded to the nearest integer, halves away from zero: the
// magnitude is rounded and the sign put back, without a branch (the signs of
// real coordinates are as good as random).
inline std::int32_t roundedQuotient(std::int32_t n, unsigned shift) {
    const std::int32_t sign = n < 0 ? -1 : 0;
    const std::int32_t magnitude = (n ^ sign) - sign;
    const std::int32_t rounded = (magnitude + (1 << (shift - 1))) >> shift;
    return (rounded ^ sign) - sign;
}

struct AxisField {
    std::int32_t value = 0; // the signed field value
    bool fits = true;
};

// The field of `bits` bits that the forward conversion turns into `t` (the
// coordinate with its sign change undone).
inline AxisField axisField(std::int32_t t, unsigned bits, bool hiRes) {
    const std::int32_t fieldMin = -(1 << (bits - 1));
    const std::int32_t fieldMax = (1 << (bits - 1)) - 1;
    AxisField f;
    if (hiRes) {
        // Only values at the top can round past the field's end (32767 / 32
        // is 1023.97), and only by one step: they get the field's last value.
        // The 32767 that the forward conversion saturated from the field
        // -1024 needs no clamp: negated back, it rounds to -1024.
        f.value = std::clamp(roundedQuotient(t, 16 - bits), fieldMin, fieldMax);
        return f;
    }
    // What is written for a value that does not fit is never used: the mesh
    // is refused.
    f.fits = static_cast<std::uint32_t>(t - kByteMin) <= static_cast<std::uint32_t>(kByteMax - kByteMin);
    f.value = t * (1 << (bits - 8));
    return f;
}

std::uint32_t fieldBits(std::int32_t value, unsigned shift, unsigned bits) {
    return (static_cast<std::uint32_t>(value) & ((1u << bits) - 1)) << shift;
}

// One vertex packed back, in a mode known when compiling.
template <bool HiRes, bool KeepXSign> inline PackedVertex packIn(const std::uint8_t* wide) {
    const std::int32_t x = static_cast<std::int16_t>(readLe16(wide));
    const std::int32_t y = static_cast<std::int16_t>(readLe16(wide + 2));
    const std::int32_t z = static_cast<std::int16_t>(readLe16(wide + 4));
    const AxisField fx = axisField(KeepXSign ? x : -x, kPackedXBits, HiRes);
    const AxisField fy = axisField(-y, kPackedYBits, HiRes);
    const AxisField fz = axisField(z, kPackedZBits, HiRes);
    PackedVertex v;
    v.word = fieldBits(fx.value, kPackedXShift, kPackedXBits) |
             fieldBits(fy.value, kPackedYShift, kPackedYBits) |
             fieldBits(fz.value, kPackedZShift, kPackedZBits);
    v.x = static_cast<std::int16_t>(fx.value);
    v.y = static_cast<std::int16_t>(fy.value);
    v.z = static_cast<std::int16_t>(fz.value);
    v.fits = fx.fits && fy.fits && fz.fits;
    v.padOk = readLe16(wide + kWidePadOffset) == 0;
    return v;
}

// The minimum and maximum of one axis over a run of vertices, from the
// widest values, folded into a CoordRange once the run is done.
struct LaneRange {
    std::int16_t min = INT16_MAX;
    std::int16_t max = INT16_MIN;
    void include(std::int16_t v) {
        min = std::min(min, v);
        max = std::max(max, v);
    }
};

// Every vertex of a run, its ranges and counts kept in locals that the
// compiler can hold in registers.
template <bool HiRes, bool KeepXSign>
void packLoop(const std::uint8_t* wide, std::size_t count, std::uint8_t* packed,
              CoordRanges& ranges, PackingTally& tally) {
    LaneRange x, y, z;
    std::uint64_t notDeusEx = 0;
    std::uint64_t tooLarge = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const PackedVertex v = packIn<HiRes, KeepXSign>(wide + i * kWideVertexSize);
        writeLe32(packed + i * kPackedVertexSize, v.word);
        notDeusEx += v.padOk ? 0 : 1;
        tooLarge += v.fits ? 0 : 1;
        x.include(v.x);
        y.include(v.y);
        z.include(v.z);
    }
    if (count > 0) {
        for (const auto& [range, lane] :
             {std::pair{&ranges.x, x}, std::pair{&ranges.y, y}, std::pair{&ranges.z, z}}) {
            includeInRange(*range, lane.min);
            includeInRange(*range, lane.max);
        }
    }
    tally.vertices += count;
    tally.notDeusEx += notDeusEx;
    tally.tooLarge += tooLarge;
}

} // namespace

PackedVertex packWideVertex(const std::uint8_t* wide, ConvertMode mode) {
    if (mode.hiRes) {
        return mode.keepXSign ? packIn<true, true>(wide) : packIn<true, false>(wide);
    }
    return mode.keepXSign ? packIn<false, true>(wide) : packIn<false, false>(wide);
}

void packVertices(const std::uint8_t* wide, std::size_t count, std::uint8_t* packed,
                  ConvertMode mode, CoordRanges& ranges, PackingTally& tally) {
    if (mode.hiRes) {
        mode.keepXSign ? packLoop<true, true>(wide, count, packed, ranges, tally)
                       : packLoop<true, false>(wide, count, packed, ranges, tally);
    } else {
        mode.keepXSign ? packLoop<false, true>(wide, count, packed, ranges, tally)
                       : packLoop<false, false>(wide, count, packed, ranges, tally);
    }
}

bool writtenWithoutHiRes(std::span<const std::uint8_t> vertices, bool keepXSign) {
    const std::size_t count = vertices.size() / kWideVertexSize;
    for (std::size_t i = 0; i < count; ++i) {
        const PackedVertex v = packWideVertex(vertices.data() + i * kWideVertexSize, {keepXSign, false});
        if (!v.fits || !v.padOk) {
            return false;
        }
    }
    return count > 0;
}

Failure packingFailure(const PackingTally& t) {
    Failure f;
    if (t.notDeusEx > 0) {
        f.stop = Stop::NotDeusExVertices;
        f.count = t.notDeusEx;
    } else if (t.tooLarge > 0) {
        f.stop = Stop::VerticesDoNotFit;
        f.count = t.tooLarge;
    }
    return f;
}

} // namespace meshfold
