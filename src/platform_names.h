// What the POSIX and Windows platform files share: the names they give the
// temporary and backup files they create beside a user's file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace meshfold {

// A name beside `target` that nobody uses yet: target.meshfold-XXXXXXXX<suffix>,
// where the suffix has kSiblingSuffixLength characters.
std::string siblingName(const std::string& target, const char* suffix);

// The parts of a sibling name after the target's own name.
inline constexpr std::string_view kSiblingMark = ".meshfold-";
inline constexpr std::size_t kSiblingDigits = 8;
inline constexpr std::size_t kSiblingSuffixLength = 4; // ".tmp", ".bak"

// How many characters siblingName() adds to the last part of the target's name.
inline constexpr std::size_t kSiblingNameGrowth =
    kSiblingMark.size() + kSiblingDigits + kSiblingSuffixLength;

// How many fresh names to try before giving up on creating a file beside another.
inline constexpr int kNameAttempts = 100;

} // namespace meshfold
