// One run of meshfold, from the arguments to the exit status.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace meshfold {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1; // a failure message was printed; files unchanged
inline constexpr int kExitUsage = 2;   // no base name given

// Runs meshfold with `args` (the arguments after the program name, UTF-8),
// printing everything to `out`, and returns the exit status.
//
// Either both files of the mesh are left exactly as they were, or the
// animation file (and with -ms the data file) is completely replaced by its
// converted form; new content is written beside the original and moved over
// it only once it is complete and on disk.
int runMeshfold(const std::vector<std::string>& args, std::FILE* out);

} // namespace meshfold
