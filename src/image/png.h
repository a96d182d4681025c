// Byte layout of a PNG file, shared by the checks made before stb decodes
// one, the reader of a paletted PNG's own indices and the writers:
//
//   an 8-byte signature, then chunks to the end of the file, each a 32-bit
//   length, a four-letter type, `length` bytes of data and the CRC-32 of type
//   and data. IHDR comes first (its 13 bytes below); PLTE holds up to 256 RGB
//   colours and tRNS the alpha of the first of them; the IDAT chunks together
//   hold one zlib stream of the rows, each a filter byte and then the row;
//   IEND ends the file.
//
// Multi-byte fields are big-endian, the one format here that stores them so.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace meshfold {

inline constexpr std::array<std::uint8_t, 8> kPngSignature = {0x89, 'P', 'N', 'G',
                                                              0x0D, 0x0A, 0x1A, 0x0A};

// A chunk: length, type, data, CRC.
inline constexpr std::size_t kPngChunkLengthAt = 0;
inline constexpr std::size_t kPngChunkTypeAt = 4;
inline constexpr std::size_t kPngChunkTypeSize = 4;
inline constexpr std::size_t kPngChunkHeaderSize = 8; // length and type
inline constexpr std::size_t kPngChunkCrcSize = 4;
inline constexpr std::size_t kPngChunkOverhead = kPngChunkHeaderSize + kPngChunkCrcSize;
static_assert(kPngChunkTypeAt + kPngChunkTypeSize == kPngChunkHeaderSize);

// IHDR's data.
inline constexpr std::size_t kPngHeaderSize = 13;
inline constexpr std::size_t kPngHeaderWidthAt = 0;
inline constexpr std::size_t kPngHeaderHeightAt = 4;
inline constexpr std::size_t kPngHeaderDepthAt = 8; // bits a sample, or a palette index
inline constexpr std::size_t kPngHeaderColourTypeAt = 9;
inline constexpr std::size_t kPngHeaderCompressionAt = 10;  // 0: deflate
inline constexpr std::size_t kPngHeaderFilterMethodAt = 11; // 0: the five filters below
inline constexpr std::size_t kPngHeaderInterlaceAt = 12;    // 0: none
static_assert(kPngHeaderInterlaceAt + 1 == kPngHeaderSize);

inline constexpr std::uint8_t kPngColourTypePalette = 3;
inline constexpr std::size_t kPngMostPaletteColours = 256;

// The filter a row's first byte names: each byte is sent as its difference
// from a prediction made from the byte to its left (a), above (b) and above
// left (c), all 0 outside the image.
inline constexpr std::uint8_t kPngFilterNone = 0;
inline constexpr std::uint8_t kPngFilterSub = 1;     // a
inline constexpr std::uint8_t kPngFilterUp = 2;      // b
inline constexpr std::uint8_t kPngFilterAverage = 3; // (a + b) / 2
inline constexpr std::uint8_t kPngFilterPaeth = 4;   // whichever of a, b, c is nearest a + b - c

inline std::uint32_t readBe32(const std::uint8_t* p) {
    return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

inline void writeBe32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v >> 24);
    p[1] = static_cast<std::uint8_t>(v >> 16);
    p[2] = static_cast<std::uint8_t>(v >> 8);
    p[3] = static_cast<std::uint8_t>(v);
}

// True when `file` starts with the PNG signature.
bool hasPngSignature(std::span<const std::uint8_t> file);

// A chunk as the file holds it: where it starts, the length it declares, its
// type, and as much of its data as the file holds.
struct PngChunk {
    std::size_t at = 0;                 // where its length field is
    std::uint32_t length = 0;           // its data's length, as declared
    std::string_view type;              // four bytes, not checked to be letters
    std::span<const std::uint8_t> data; // `length` bytes, or fewer when the file ends first
    bool crcHeld = false;               // the file holds the whole data and the CRC after it

    // Where the chunk after this one starts; meaningful when crcHeld.
    std::size_t next() const { return at + kPngChunkOverhead + length; }
};

// The chunk whose length field is at `at` of `png` (the first after the
// signature is at kPngSignature.size()); none when fewer than
// kPngChunkHeaderSize bytes are left there. Reads nothing past the end of
// `png` whatever the length says; the CRC is not checked.
std::optional<PngChunk> pngChunkAt(std::span<const std::uint8_t> png, std::size_t at);

// Appends a chunk of `type` (four letters) and `data` to `out`, its CRC
// computed. `data` must be shorter than 2^31 bytes.
void appendPngChunk(std::vector<std::uint8_t>& out, std::string_view type,
                    std::span<const std::uint8_t> data);

// The CRC-32 of PNG chunks (ISO 3309, as zlib's crc32) of `bytes`.
std::uint32_t pngCrc32(std::span<const std::uint8_t> bytes);

} // namespace meshfold
