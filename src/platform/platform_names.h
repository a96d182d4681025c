// What the POSIX and Windows platform files share: the names they give the
// temporary and backup files they create beside a user's file.
#pragma once

#include "meshfold/platform/platform.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace meshfold {

// A fresh random TAG: kTagLength lower-case hex digits.
std::string newTag();

// The name beside `target` for the file of commit `tag`:
// target.meshfold-TAG<suffix>.
std::string siblingName(const std::string& target, const std::string& tag, const char* suffix);

// How many characters siblingName() adds to the last part of the target's
// name, with its suffix (".tmp", ".bak").
inline constexpr std::size_t kSiblingSuffixLength = 4;
inline constexpr std::size_t kSiblingNameGrowth =
    kLeftoverMark.size() + kTagLength + kSiblingSuffixLength;

// How many fresh names to try before giving up on creating a file beside another.
inline constexpr int kNameAttempts = 100;

} // namespace meshfold
