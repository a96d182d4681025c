// One run of meshfold, from the arguments to the exit status.
#pragma once

#include "meshfold/platform/platform.h"

#include <cstdio>
#include <string>
#include <vector>

namespace meshfold {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1; // some mesh did not convert; its files are unchanged
inline constexpr int kExitUsage = 2;   // no mesh named, or a switch meshfold does not know

// Runs meshfold with `args` (the arguments after the program name, UTF-8),
// printing the banner, every mesh's lines and the summary to `out` and the
// warnings to `err`, and returns the exit status: 0 when every mesh named
// converted, 1 when any did not.
//
// Each mesh is either left exactly as it was, or its animation file (and with
// -ms its data file) is completely replaced by the converted form; new content
// is written beside the original and moved over it only once it is complete
// and on disk. Meshes are converted in groups whose new files are flushed to
// disk together, so that a folder of meshes takes one wait for the disk per
// group rather than two per mesh; each mesh's lines are printed once its files
// are in place and their folder is synced.
int runMeshfold(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

// True when the program should wait for Enter before it ends: it has a
// console window of its own (Explorer started it, for a double-click or files
// dropped onto it), which would close before its output could be read. Never
// when it runs in a shell's console or with input or output redirected.
bool keepWindowOpen(const ConsoleInfo& console);

} // namespace meshfold
