// The importer's mapping between a `_d.3d` polygon type byte and the polygon flags it stores.
#include "meshfold/package/polygon_flags.h"

#include <bit>

namespace meshfold::package {

namespace {

struct FlagRow {
    std::uint8_t typeBits;
    std::uint32_t flagBits;
};

// The low four bits of the type byte: one combination of flags each.
inline constexpr std::uint8_t kBaseTypeMask = 0x0F;
inline constexpr FlagRow kBaseRows[] = {
    {0x00, 0x000},         // normal
    {0x01, 0x100},         // two-sided
    {0x02, 0x100 | 0x004}, // translucent
    {0x03, 0x100 | 0x002}, // masked
    {0x04, 0x100 | 0x040}, // modulated
    {kWeaponTypeByte, 0x100 | 0x001}, // weapon triangle
};
inline constexpr std::uint32_t kBaseFlagMask = 0x100 | 0x004 | 0x002 | 0x040 | 0x001;

// The high four bits: one flag each.
inline constexpr FlagRow kModifierRows[] = {
    {0x10, 0x400000}, // unlit
    {0x20, 0x004000}, // flat
    {0x40, 0x000010}, // environment
    {0x80, 0x000800}, // no smoothing
};

} // namespace

PolygonType polygonTypeOf(std::uint32_t flags) {
    PolygonType t;
    const std::uint32_t base = flags & kBaseFlagMask;
    const FlagRow* best = nullptr;
    for (const FlagRow& row : kBaseRows) {
        const bool subset = (row.flagBits & ~base) == 0;
        if (subset && (best == nullptr || std::popcount(row.flagBits) > std::popcount(best->flagBits))) {
            best = &row;
        }
    }
    t.typeByte = best->typeBits; // the normal row (no bits) is a subset of any flags
    std::uint32_t left = flags & ~best->flagBits;
    for (const FlagRow& row : kModifierRows) {
        if ((flags & row.flagBits) != 0) {
            t.typeByte |= row.typeBits;
            left &= ~row.flagBits;
        }
    }
    t.unmappedBits = left;
    return t;
}

std::uint32_t polygonFlagsOf(std::uint8_t typeByte) {
    std::uint32_t flags = 0;
    for (const FlagRow& row : kBaseRows) {
        if (row.typeBits == (typeByte & kBaseTypeMask)) {
            flags = row.flagBits;
        }
    }
    for (const FlagRow& row : kModifierRows) {
        if ((typeByte & row.typeBits) != 0) {
            flags |= row.flagBits;
        }
    }
    return flags;
}

} // namespace meshfold::package
