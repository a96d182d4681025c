// The tests' own decoder of the two texture formats real packages use most:
// 8-bit PCX (version 5, RLE, one plane, palette at the end) and 24-bit BMP
// (uncompressed, 40-byte or longer info header, either row order). Written
// plainly and apart from the program's decoder, so that comparing the two on
// every pixel can catch a fault in either. It trusts only what it checks and
// gives up (ok false) on anything else.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace meshfold::test {

struct ReferenceImage {
    bool ok = false;
    std::string why; // when not ok
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint8_t> rgba;    // rows from the top, alpha 255
    std::vector<std::uint8_t> indices; // PCX only: a palette index a pixel
    std::vector<std::uint8_t> palette; // PCX only: 256 colours, RGB
};

ReferenceImage referenceDecode(const std::vector<std::uint8_t>& file);

} // namespace meshfold::test
