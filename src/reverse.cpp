#include "meshfold/reverse.h"

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

void writeLe32(std::uint8_t* p, std::uint32_t v) {
    writeLe16(p, static_cast<std::uint16_t>(v));
    writeLe16(p + 2, static_cast<std::uint16_t>(v >> 16));
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

template <bool HiRes, bool KeepXSign>
void takeVerticesIn(UnrealPacking& p, const std::uint8_t* wide, std::size_t count,
                    std::uint8_t* out) {
    LaneRange x, y, z;
    std::uint64_t notDeusEx = 0;
    std::uint64_t tooLarge = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const PackedVertex v = packIn<HiRes, KeepXSign>(wide + i * kWideVertexSize);
        writeLe32(out + i * kPackedVertexSize, v.word);
        notDeusEx += v.padOk ? 0 : 1;
        tooLarge += v.fits ? 0 : 1;
        x.include(v.x);
        y.include(v.y);
        z.include(v.z);
    }
    if (count > 0) {
        for (const auto& [range, lane] :
             {std::pair{&p.ranges.x, x}, std::pair{&p.ranges.y, y}, std::pair{&p.ranges.z, z}}) {
            includeInRange(*range, lane.min);
            includeInRange(*range, lane.max);
        }
    }
    p.vertices += count;
    p.notDeusEx += notDeusEx;
    p.tooLarge += tooLarge;
}

// Takes `count` whole vertices: writes their words at `out`, counts them and
// widens the ranges.
void takeVertices(UnrealPacking& p, const std::uint8_t* wide, std::size_t count,
                  std::uint8_t* out) {
    if (p.mode.hiRes) {
        p.mode.keepXSign ? takeVerticesIn<true, true>(p, wide, count, out)
                         : takeVerticesIn<true, false>(p, wide, count, out);
    } else {
        p.mode.keepXSign ? takeVerticesIn<false, true>(p, wide, count, out)
                         : takeVerticesIn<false, false>(p, wide, count, out);
    }
}

void advance(UnrealPacking& p, std::size_t bytes) {
    p.atInFrame += static_cast<std::uint32_t>(bytes);
    if (p.atInFrame == p.frameSize) {
        p.atInFrame = 0;
    }
}

} // namespace

PackedVertex packWideVertex(const std::uint8_t* wide, ConvertMode mode) {
    if (mode.hiRes) {
        return mode.keepXSign ? packIn<true, true>(wide) : packIn<true, false>(wide);
    }
    return mode.keepXSign ? packIn<false, true>(wide) : packIn<false, false>(wide);
}

UnrealPacking startPacking(ConvertMode mode, std::uint16_t frameSize, std::uint16_t vertexCount) {
    UnrealPacking p;
    p.mode = mode;
    p.usedSize = static_cast<std::uint32_t>(vertexCount) * kWideVertexSize;
    // A shorter frame would never end where a vertex does; inspection never
    // accepts one, and taking it as whole vertices at least ends each frame.
    p.frameSize = std::max<std::uint32_t>(frameSize, p.usedSize);
    return p;
}

std::size_t packVertexBytes(UnrealPacking& p, const std::uint8_t* in, std::size_t size,
                            std::uint8_t* out) {
    std::size_t words = 0;
    while (size > 0) {
        std::size_t step = 0;
        if (p.atInFrame >= p.usedSize) {
            // The rest of the frame holds no vertex of it.
            step = std::min<std::size_t>(size, p.frameSize - p.atInFrame);
        } else if (p.partialSize > 0 || size < kWideVertexSize) {
            step = std::min(size, kWideVertexSize - p.partialSize);
            std::copy(in, in + step, p.partial + p.partialSize);
            p.partialSize += step;
            if (p.partialSize == kWideVertexSize) {
                takeVertices(p, p.partial, 1, out + kPackedVertexSize * words++);
                p.partialSize = 0;
            }
        } else {
            const std::size_t whole =
                std::min<std::size_t>(size, p.usedSize - p.atInFrame) / kWideVertexSize;
            takeVertices(p, in, whole, out + kPackedVertexSize * words);
            words += whole;
            step = whole * kWideVertexSize;
        }
        advance(p, step);
        in += step;
        size -= step;
    }
    return words;
}

Failure packingFailure(const UnrealPacking& p) {
    Failure f;
    if (p.notDeusEx > 0) {
        f.stop = Stop::NotDeusExVertices;
        f.count = p.notDeusEx;
    } else if (p.tooLarge > 0) {
        f.stop = Stop::VerticesDoNotFit;
        f.count = p.tooLarge;
    }
    return f;
}

} // namespace meshfold
