// How one fuzz input holds a whole run: a byte of mode switches, the length
// of the animation file, then the animation file and the data file.
//
//   byte 0      bit 0: -ms, bit 1: -h, bit 2: --to-unreal
//   bytes 1-2   animation file length, little-endian (cut to what follows)
//   then        the animation file, and the rest is the data file
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace meshfold::fuzz {

inline constexpr std::size_t kPrefixSize = 3;
inline constexpr std::uint8_t kMilkShapeBit = 1;
inline constexpr std::uint8_t kHiResBit = 2;
inline constexpr std::uint8_t kToUnrealBit = 4;
inline constexpr std::size_t kMaxAnimSize = 0xFFFF;

struct FuzzInput {
    bool milkshapeFix = false;
    bool hiRes = false;
    bool toUnreal = false;
    std::span<const std::uint8_t> anim;
    std::span<const std::uint8_t> data;
};

// Splits an input; false when it is too short to hold the prefix.
inline bool splitInput(std::span<const std::uint8_t> in, FuzzInput& out) {
    if (in.size() < kPrefixSize) {
        return false;
    }
    out.milkshapeFix = (in[0] & kMilkShapeBit) != 0;
    out.hiRes = (in[0] & kHiResBit) != 0;
    out.toUnreal = (in[0] & kToUnrealBit) != 0;
    const std::size_t rest = in.size() - kPrefixSize;
    const std::size_t animSize = std::min<std::size_t>(in[1] | (in[2] << 8), rest);
    out.anim = in.subspan(kPrefixSize, animSize);
    out.data = in.subspan(kPrefixSize + animSize);
    return true;
}

// The input that holds these files; false when the animation file is too long.
inline bool joinInput(bool milkshapeFix, bool hiRes, bool toUnreal,
                      std::span<const std::uint8_t> anim, std::span<const std::uint8_t> data,
                      std::vector<std::uint8_t>& out) {
    if (anim.size() > kMaxAnimSize) {
        return false;
    }
    out.clear();
    out.push_back(static_cast<std::uint8_t>((milkshapeFix ? kMilkShapeBit : 0) |
                                            (hiRes ? kHiResBit : 0) |
                                            (toUnreal ? kToUnrealBit : 0)));
    out.push_back(static_cast<std::uint8_t>(anim.size()));
    out.push_back(static_cast<std::uint8_t>(anim.size() >> 8));
    out.insert(out.end(), anim.begin(), anim.end());
    out.insert(out.end(), data.begin(), data.end());
    return true;
}

} // namespace meshfold::fuzz
