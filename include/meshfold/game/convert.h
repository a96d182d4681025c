// Packed vertex word -> wide vertex, and the coordinate ranges of a conversion.
#pragma once

#include "meshfold/game/format.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace meshfold {

// How a packed word becomes a wide vertex.
//
// Normal mode writes the top 8 bits of each field as a signed byte:
//   X = -int8(bits 3-10), Y = -int8(bits 14-21), Z = int8(bits 24-31),
// so X and Y lie in -127..128 and Z in -128..127.
// Hi-res mode writes every bit of the field at 256 times that scale:
//   X = -(int11 X field * 32), Y = -(int11 Y field * 32), Z = int10 Z field * 64,
// saturating the one value that does not fit (+32768 becomes 32767).
// keepXSign (the MilkShape fix) leaves X un-negated in either mode.
struct ConvertMode {
    bool keepXSign = false;
    bool hiRes = false;
};

// Running minimum and maximum of one axis. The starting values are what the
// report shows for a file with no whole vertex word ("9999 to -9999"); users'
// scripts compare against that line, so they stay as they always were.
struct CoordRange {
    std::int16_t min = 9999;
    std::int16_t max = -9999;
};

struct CoordRanges {
    CoordRange x;
    CoordRange y;
    CoordRange z;
};

// Decodes one packed vertex word (as read little-endian from the file).
WideVertex decodePackedWord(std::uint32_t word, ConvertMode mode);

// Widens one value into a range.
void includeInRange(CoordRange& range, std::int16_t value);

// Converts `count` packed words starting at `packed` (4 bytes each, file byte
// order) into `count` wide vertices at `wide` (8 bytes each) and widens
// `ranges` by every vertex written. `wide` must have room for 8 * count bytes.
void convertWords(const std::uint8_t* packed, std::size_t count, std::uint8_t* wide,
                  ConvertMode mode, CoordRanges& ranges);

// The three range lines and the completion line that end a successful run.
std::string rangeReport(const CoordRanges& ranges);

// The same range lines ending a dry run, whose last line says that nothing
// was written.
std::string dryRunReport(const CoordRanges& ranges);

} // namespace meshfold
