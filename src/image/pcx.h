// Byte layout of a PCX image (ZSoft, version 5), shared by the decoder and the
// texture writer:
//
//   a 128-byte header; the run-length stream of every line (each line holds
//   `bytes per line` bytes of each plane in turn); for 8 bits in one plane, a
//   0x0C byte and 256 RGB colours at the very end.
//
// Multi-byte header fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>

namespace meshfold {

inline constexpr std::size_t kPcxHeaderSize = 128;
inline constexpr std::size_t kPcxManufacturerAt = 0; // always kPcxManufacturer
inline constexpr std::size_t kPcxVersionAt = 1;
inline constexpr std::size_t kPcxEncodingAt = 2; // kPcxRle: run-length
inline constexpr std::size_t kPcxBitsAt = 3;     // bits per pixel in a plane
inline constexpr std::size_t kPcxXMinAt = 4;     // the window, inclusive: 4 x 16 bits
inline constexpr std::size_t kPcxYMinAt = 6;
inline constexpr std::size_t kPcxXMaxAt = 8;
inline constexpr std::size_t kPcxYMaxAt = 10;
inline constexpr std::size_t kPcxHorizontalDpiAt = 12;
inline constexpr std::size_t kPcxVerticalDpiAt = 14;
inline constexpr std::size_t kPcxPlanesAt = 65;
inline constexpr std::size_t kPcxBytesPerLineAt = 66;
inline constexpr std::size_t kPcxPaletteInfoAt = 68; // 1: colour
static_assert(kPcxYMaxAt + 2 <= kPcxHorizontalDpiAt);
static_assert(kPcxPaletteInfoAt + 2 <= kPcxHeaderSize);

inline constexpr std::uint8_t kPcxManufacturer = 0x0A;
inline constexpr std::uint8_t kPcxVersion = 5;
inline constexpr std::uint8_t kPcxRle = 1;

// The stream: a byte with both top bits set counts (in its low six bits, up to
// 63) the repeats of the byte after it; any other byte stands for itself.
inline constexpr std::uint8_t kPcxRunFlags = 0xC0;
inline constexpr std::uint8_t kPcxRunCountMask = 0x3F;
inline constexpr std::size_t kPcxMaxRun = kPcxRunCountMask;

// After the pixels of an 8-bit image: a marker byte and 256 RGB colours.
inline constexpr std::uint8_t kPcxPaletteMarker = 0x0C;
inline constexpr std::size_t kPcxPaletteSize = 768;
inline constexpr std::size_t kPcxPaletteTail = kPcxPaletteSize + 1; // marker and colours

} // namespace meshfold
