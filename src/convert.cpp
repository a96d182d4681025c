#include "meshfold/convert.h"

#include <cstdio>

namespace meshfold {

namespace {

// Sign-extends the low `bits` bits of v. The packed fields are two's
// complement: exporters write X and Y from -1024 to 1023 and Z from -512 to
// 511, so a top byte of 0x80 is the most negative value, never +128.
inline std::int32_t signExtend(std::uint32_t v, unsigned bits) {
    const std::uint32_t m = 1u << (bits - 1);
    v &= (1u << bits) - 1;
    return static_cast<std::int32_t>(v ^ m) - static_cast<std::int32_t>(m);
}

inline std::int16_t saturate16(std::int32_t v) {
    if (v > 32767) {
        return 32767;
    }
    if (v < -32768) {
        return -32768;
    }
    return static_cast<std::int16_t>(v);
}

// The field value of axis `shift`/`bits`, at the scale the mode writes.
// Normal mode keeps the field's eight most significant bits, hi-res all of
// them shifted up to fill 16 bits (X and Y by 5, Z by 6).
template <bool HiRes> inline std::int32_t axisValue(std::uint32_t word, unsigned shift, unsigned bits) {
    const std::int32_t field = signExtend(word >> shift, bits);
    if constexpr (HiRes) {
        return field * (1 << (16 - bits));
    } else {
        return field >> (bits - 8);
    }
}

template <bool HiRes, bool KeepXSign> inline WideVertex decode(std::uint32_t word) {
    const std::int32_t x = axisValue<HiRes>(word, kPackedXShift, kPackedXBits);
    const std::int32_t y = axisValue<HiRes>(word, kPackedYShift, kPackedYBits);
    const std::int32_t z = axisValue<HiRes>(word, kPackedZShift, kPackedZBits);
    WideVertex v;
    v.x = saturate16(KeepXSign ? x : -x);
    v.y = saturate16(-y);
    v.z = saturate16(z);
    return v;
}

template <bool HiRes, bool KeepXSign>
void convertLoop(const std::uint8_t* packed, std::size_t count, std::uint8_t* wide,
                 CoordRanges& ranges) {
    // Local copies let the compiler keep the ranges in registers.
    CoordRanges r = ranges;
    for (std::size_t i = 0; i < count; ++i) {
        const WideVertex v = decode<HiRes, KeepXSign>(readLe32(packed + i * kPackedVertexSize));
        encodeWideVertex(v, wide + i * kWideVertexSize);
        includeInRange(r.x, v.x);
        includeInRange(r.y, v.y);
        includeInRange(r.z, v.z);
    }
    ranges = r;
}

} // namespace

WideVertex decodePackedWord(std::uint32_t word, ConvertMode mode) {
    if (mode.hiRes) {
        return mode.keepXSign ? decode<true, true>(word) : decode<true, false>(word);
    }
    return mode.keepXSign ? decode<false, true>(word) : decode<false, false>(word);
}

void includeInRange(CoordRange& range, std::int16_t value) {
    // The first vertex is both ends of the range. The starting values 9999 /
    // -9999 only stand for "no vertex yet": hi-res values reach +-32767, and a
    // mesh lying wholly beyond 9999 on one axis must not report 9999 as an end.
    if (range.min > range.max) {
        range.min = value;
        range.max = value;
        return;
    }
    if (value < range.min) {
        range.min = value;
    }
    if (value > range.max) {
        range.max = value;
    }
}

void convertWords(const std::uint8_t* packed, std::size_t count, std::uint8_t* wide,
                  ConvertMode mode, CoordRanges& ranges) {
    if (mode.hiRes) {
        if (mode.keepXSign) {
            convertLoop<true, true>(packed, count, wide, ranges);
        } else {
            convertLoop<true, false>(packed, count, wide, ranges);
        }
    } else if (mode.keepXSign) {
        convertLoop<false, true>(packed, count, wide, ranges);
    } else {
        convertLoop<false, false>(packed, count, wide, ranges);
    }
}

std::string rangeReport(const CoordRanges& ranges) {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "\n  X coordinate range: %d to %d"
                  "\n  Y coordinate range: %d to %d"
                  "\n  Z coordinate range: %d to %d"
                  "\n\n*** Conversion complete ***\n",
                  ranges.x.min, ranges.x.max, ranges.y.min, ranges.y.max, ranges.z.min,
                  ranges.z.max);
    return buf;
}

} // namespace meshfold
