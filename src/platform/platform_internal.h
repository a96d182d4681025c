// What the POSIX and Windows platform files share, for the platform layer
// alone: the names they give the temporary and backup files they create
// beside a user's file, and the list of files an interrupt removes, which
// each system keeps in its own way.
#pragma once

#include "meshfold/platform/platform.h"

#include <cstddef>
#include <functional>
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

// Makes an interrupt remove the temporary files before the process ends
// (once a process; later calls do nothing).
void catchInterrupts();

// Puts `path` on the list of files an interrupt removes, and returns its
// place there; -1 when there is no room (the file is then only left behind,
// as after a hard kill).
int registerTemporary(const std::string& path);

// Takes the file at `slot` off that list, if it is on it; `slot` is -1 after.
void unregisterTemporary(int& slot);

// Makes the backup b.path with `make` (true when it made it), with
// interrupts held, so that no interrupt comes between making it and listing
// it for removal; forgets b.path when it was not made.
bool makeListedBackup(Backup& b, const std::function<bool()>& make);

} // namespace meshfold
