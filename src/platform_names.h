// What the POSIX and Windows platform files share: the names they give the
// temporary and backup files they create beside a user's file.
#pragma once

#include <string>

namespace meshfold {

// A fresh random TAG: kTagLength lower-case hex digits.
std::string newTag();

// The name beside `target` for the file of commit `tag`:
// target.meshfold-TAG<suffix>.
std::string siblingName(const std::string& target, const std::string& tag, const char* suffix);

// How many fresh names to try before giving up on creating a file beside another.
inline constexpr int kNameAttempts = 100;

} // namespace meshfold
