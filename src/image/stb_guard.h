// Checks made on a PNG, JPEG or TGA file before stb_image sees it, for the
// inputs that the copy of stb_image we build with (Debian's libstb-dev of
// 2022) mishandles: writing past a Huffman table, reading a table never
// filled in, allocating for a chunk the file does not hold, copying to a null
// pointer (each found by fuzzing the texture decoders), and a TGA cut short,
// whose missing pixels stb leaves as its buffer held them.
// A file refused here is damaged or of a form no real writer produces.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace meshfold {

// Where a JPEG's segments start when stb would take `file` for a JPEG (0xFF
// bytes, then SOI), else 0.
std::size_t jpegSegmentsStart(std::span<const std::uint8_t> file);

// Empty when stb may be given the JPEG `file` whose segments start at `at`,
// else why not ("damaged: a JPEG Huffman table of more than 256 codes").
std::string jpegHazard(std::span<const std::uint8_t> file, std::size_t at);

// Empty when stb may be given the PNG `file` (signature checked), else why not.
std::string pngHazard(std::span<const std::uint8_t> file);

// Empty when the TGA `file`, whose header stbi_info accepted, holds every
// byte stb reads of it (its colour map and every pixel, packet by packet
// when run-length coded), else why not.
std::string tgaHazard(std::span<const std::uint8_t> file);

} // namespace meshfold
