// Checks made on a PNG or JPEG file before stb_image sees it, for the inputs
// that the copy of stb_image we build with (Debian's libstb-dev of 2022)
// mishandles: writing past a Huffman table, reading a table never filled in,
// allocating for a chunk the file does not hold, copying to a null pointer.
// Each was found by fuzzing the texture decoders.
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

} // namespace meshfold
