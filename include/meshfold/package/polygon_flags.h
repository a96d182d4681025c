// The polygon flags a package stores for a triangle, and the `_d.3d` polygon type byte they come
// from. One table (polygon_flags.cpp) is the only place that knows the mapping.
#pragma once

#include <cstdint>

namespace meshfold::package {

// The weapon triangle's type byte; a LodMesh keeps such triangles apart, as SpecialFaces.
inline constexpr std::uint8_t kWeaponTypeByte = 0x08;

struct PolygonType {
    std::uint8_t typeByte = 0;      // the `_d.3d` polygon type
    std::uint32_t unmappedBits = 0; // stored bits no row holds (0 when the flags map whole)
};

// The type byte that the stored `flags` come from. Bits no row holds (0x1000 in one real mesh)
// are left out of the byte and given in unmappedBits, for a warning. Where the base bits
// (two-sided, translucent, masked, modulated, weapon) form no row's combination, the row with the
// most of them is taken and the rest are unmapped.
PolygonType polygonTypeOf(std::uint32_t flags);

// The stored flags of a type byte (the importer's direction); 0 bits of a type byte no row holds.
std::uint32_t polygonFlagsOf(std::uint8_t typeByte);

} // namespace meshfold::package
