#include "meshfold/reverse.h"

#include <algorithm>

namespace meshfold {

namespace {

// Offset of the fourth 16-bit word of a wide vertex, always 0 in the form.
constexpr std::size_t kWidePadOffset = 6;

// Normal mode holds the field's top 8 bits: a signed byte.
constexpr std::int32_t kByteMin = -128;
constexpr std::int32_t kByteMax = 127;

// n / d rounded to the nearest integer, halves away from zero (d > 0).
std::int32_t roundedQuotient(std::int32_t n, std::int32_t d) {
    return n >= 0 ? (n + d / 2) / d : -((-n + d / 2) / d);
}

struct AxisField {
    std::int32_t value = 0; // the signed field value
    bool fits = true;
};

// The field of `bits` bits that the forward conversion turns into `t` (the
// coordinate with its sign change undone).
AxisField axisField(std::int32_t t, unsigned bits, bool hiRes) {
    const std::int32_t fieldMin = -(1 << (bits - 1));
    const std::int32_t fieldMax = (1 << (bits - 1)) - 1;
    AxisField f;
    if (hiRes) {
        // Only the top value can round past the field's end (32767 / 32 is
        // 1023.97), and only by one step: clamping gives back the field the
        // forward conversion saturated.
        f.value = std::clamp(roundedQuotient(t, 1 << (16 - bits)), fieldMin, fieldMax);
        return f;
    }
    f.fits = t >= kByteMin && t <= kByteMax;
    f.value = std::clamp(t, kByteMin, kByteMax) * (1 << (bits - 8));
    return f;
}

std::uint32_t fieldBits(std::int32_t value, unsigned shift, unsigned bits) {
    return (static_cast<std::uint32_t>(value) & ((1u << bits) - 1)) << shift;
}

void writeLe32(std::uint8_t* p, std::uint32_t v) {
    writeLe16(p, static_cast<std::uint16_t>(v));
    writeLe16(p + 2, static_cast<std::uint16_t>(v >> 16));
}

// Takes one whole vertex: writes its word at `out`, counts it and widens the
// ranges.
void takeVertex(UnrealPacking& p, const std::uint8_t* wide, std::uint8_t* out) {
    const PackedVertex v = packWideVertex(wide, p.mode);
    writeLe32(out, v.word);
    ++p.vertices;
    p.notDeusEx += v.padOk ? 0 : 1;
    p.tooLarge += v.fits ? 0 : 1;
    includeInRange(p.ranges.x, v.x);
    includeInRange(p.ranges.y, v.y);
    includeInRange(p.ranges.z, v.z);
}

void advance(UnrealPacking& p, std::size_t bytes) {
    p.atInFrame += static_cast<std::uint32_t>(bytes);
    if (p.atInFrame == p.frameSize) {
        p.atInFrame = 0;
    }
}

} // namespace

PackedVertex packWideVertex(const std::uint8_t* wide, ConvertMode mode) {
    const std::int32_t x = static_cast<std::int16_t>(readLe16(wide));
    const std::int32_t y = static_cast<std::int16_t>(readLe16(wide + 2));
    const std::int32_t z = static_cast<std::int16_t>(readLe16(wide + 4));
    const AxisField fx = axisField(mode.keepXSign ? x : -x, kPackedXBits, mode.hiRes);
    const AxisField fy = axisField(-y, kPackedYBits, mode.hiRes);
    const AxisField fz = axisField(z, kPackedZBits, mode.hiRes);
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
                takeVertex(p, p.partial, out + kPackedVertexSize * words++);
                p.partialSize = 0;
            }
        } else {
            const std::size_t whole =
                std::min<std::size_t>(size, p.usedSize - p.atInFrame) / kWideVertexSize;
            for (std::size_t i = 0; i < whole; ++i) {
                takeVertex(p, in + i * kWideVertexSize, out + kPackedVertexSize * words++);
            }
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
