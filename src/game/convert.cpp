#include "meshfold/game/convert.h"

#include "meshfold/common/messages.h"

#include <algorithm>
#include <cstdio>

// Every x86-64 processor has SSE2; elsewhere the conversion runs one word at
// a time. Defining MESHFOLD_CONVERT_SSE2=0 forces the word-at-a-time loop.
#ifndef MESHFOLD_CONVERT_SSE2
#if defined(__SSE2__) || defined(_M_X64) || (defined(_M_IX86_FP) && _M_IX86_FP >= 2)
#define MESHFOLD_CONVERT_SSE2 1
#else
#define MESHFOLD_CONVERT_SSE2 0
#endif
#endif
#if MESHFOLD_CONVERT_SSE2
#include <emmintrin.h>
#endif

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

// One word at a time: the reference form of the conversion, used for the few
// words a vector step leaves over and on targets without SSE2.
template <bool HiRes, bool KeepXSign>
void convertScalar(const std::uint8_t* packed, std::size_t count, std::uint8_t* wide,
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

#if MESHFOLD_CONVERT_SSE2

constexpr std::size_t kWordsPerVector = 4;

// The field of every 32-bit lane at the scale the mode writes (see
// axisValue): shifting the field's top bit up to bit 31 and back down with
// sign extension gives the two's complement value; normal mode shifts down to
// the top 8 bits, hi-res to 16 bits and clears the bits below the field.
template <bool HiRes, unsigned Shift, unsigned Bits> inline __m128i axisLanes(__m128i words) {
    constexpr int kUp = 32 - static_cast<int>(Shift + Bits);
    const __m128i top = kUp > 0 ? _mm_slli_epi32(words, kUp) : words;
    if constexpr (HiRes) {
        constexpr int kBelowField = (1 << (16 - Bits)) - 1;
        return _mm_andnot_si128(_mm_set1_epi32(kBelowField), _mm_srai_epi32(top, 16));
    } else {
        return _mm_srai_epi32(top, 24);
    }
}

// Widens a range by one lane's minimum and maximum, both values of real
// vertices (every lane sees a vertex in each step).
inline void foldLane(CoordRange& range, std::int16_t laneMin, std::int16_t laneMax) {
    includeInRange(range, laneMin);
    includeInRange(range, laneMax);
}

constexpr std::int16_t kLaneMinStart = INT16_MAX;
constexpr std::int16_t kLaneMaxStart = INT16_MIN;

// Four words a step: the axes are computed in 32-bit lanes, narrowed to int16
// with signed saturation (which is exactly saturate16), interleaved into
// X Y Z 0 groups and stored; the ranges are kept per lane and folded at the
// end. Byte-identical to convertScalar: x86 is little-endian, as the files.
template <bool HiRes, bool KeepXSign>
void convertSse2(const std::uint8_t* packed, std::size_t count, std::uint8_t* wide,
                 CoordRanges& ranges) {
    const __m128i zero = _mm_setzero_si128();
    // Lanes 0-3 hold X, lanes 4-7 Z; a separate pair of vectors holds Y. They
    // start from the widest values, not from the ranges' starting values
    // (9999 / -9999 mean "no vertex yet" and are not bounds of hi-res values).
    __m128i minXZ = _mm_set1_epi16(kLaneMinStart);
    __m128i maxXZ = _mm_set1_epi16(kLaneMaxStart);
    __m128i minY = minXZ;
    __m128i maxY = maxXZ;
    const std::size_t vectorWords = count - count % kWordsPerVector;
    for (std::size_t i = 0; i < vectorWords; i += kWordsPerVector) {
        const __m128i words =
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(packed + i * kPackedVertexSize));
        __m128i x = axisLanes<HiRes, kPackedXShift, kPackedXBits>(words);
        const __m128i y = _mm_sub_epi32(zero, axisLanes<HiRes, kPackedYShift, kPackedYBits>(words));
        const __m128i z = axisLanes<HiRes, kPackedZShift, kPackedZBits>(words);
        if constexpr (!KeepXSign) {
            x = _mm_sub_epi32(zero, x);
        }
        const __m128i xz = _mm_packs_epi32(x, z);    // X0..X3 Z0..Z3
        const __m128i y0 = _mm_packs_epi32(y, zero); // Y0..Y3 0 0 0 0
        const __m128i xyPairs = _mm_unpacklo_epi16(xz, y0); // X0 Y0 X1 Y1 ..
        const __m128i z0Pairs = _mm_unpackhi_epi16(xz, y0); // Z0 0 Z1 0 ..
        const __m128i vertices01 = _mm_unpacklo_epi32(xyPairs, z0Pairs); // X0 Y0 Z0 0 X1 Y1 Z1 0
        const __m128i vertices23 = _mm_unpackhi_epi32(xyPairs, z0Pairs);
        std::uint8_t* out = wide + i * kWideVertexSize;
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out), vertices01);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * kWideVertexSize), vertices23);
        minXZ = _mm_min_epi16(minXZ, xz);
        maxXZ = _mm_max_epi16(maxXZ, xz);
        const __m128i yy = _mm_unpacklo_epi64(y0, y0);
        minY = _mm_min_epi16(minY, yy);
        maxY = _mm_max_epi16(maxY, yy);
    }
    alignas(16) std::int16_t lanes[4][8];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[0]), minXZ);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[1]), maxXZ);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[2]), minY);
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes[3]), maxY);
    for (std::size_t k = 0; k < kWordsPerVector && vectorWords > 0; ++k) {
        foldLane(ranges.x, lanes[0][k], lanes[1][k]);
        foldLane(ranges.z, lanes[0][k + 4], lanes[1][k + 4]);
        foldLane(ranges.y, lanes[2][k], lanes[3][k]);
    }
    convertScalar<HiRes, KeepXSign>(packed + vectorWords * kPackedVertexSize, count - vectorWords,
                                    wide + vectorWords * kWideVertexSize, ranges);
}

#endif

template <bool HiRes, bool KeepXSign>
void convertLoop(const std::uint8_t* packed, std::size_t count, std::uint8_t* wide,
                 CoordRanges& ranges) {
#if MESHFOLD_CONVERT_SSE2
    convertSse2<HiRes, KeepXSign>(packed, count, wide, ranges);
#else
    convertScalar<HiRes, KeepXSign>(packed, count, wide, ranges);
#endif
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

namespace {

std::string rangeLines(const CoordRanges& ranges) {
    char buf[200];
    std::snprintf(buf, sizeof buf,
                  "\n  X coordinate range: %d to %d"
                  "\n  Y coordinate range: %d to %d"
                  "\n  Z coordinate range: %d to %d",
                  ranges.x.min, ranges.x.max, ranges.y.min, ranges.y.max, ranges.z.min,
                  ranges.z.max);
    return buf;
}

} // namespace

std::string rangeReport(const CoordRanges& ranges) {
    return rangeLines(ranges) + "\n\n*** Conversion complete ***\n";
}

std::string dryRunReport(const CoordRanges& ranges) {
    return rangeLines(ranges) + std::string(kDryRunDone);
}

} // namespace meshfold
