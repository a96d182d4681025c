// The part of the platform layer that is the same on every system.
#include "platform_names.h"

#include <cstdint>
#include <random>

namespace meshfold {

std::string siblingName(const std::string& target, const char* suffix) {
    static std::mt19937 rng{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string name = target + std::string(kSiblingMark);
    std::uint32_t r = rng();
    for (std::size_t i = 0; i < kSiblingDigits; ++i, r >>= 4) {
        name += digits[r & 0xF];
    }
    return name + suffix;
}

} // namespace meshfold
