// The command line: switches, then one base name.
#pragma once

#include <string>
#include <vector>

namespace meshfold {

// What one run works on, filled once from the command line.
struct RunOptions {
    bool milkshapeFix = false; // "-ms": keep the sign of X, reverse every triangle
    bool hiRes = false;        // "-h": write the packed fields at full precision
    std::string baseName;
    std::string animFileName; // baseName + "_a.3d"
    std::string dataFileName; // baseName + "_d.3d"
};

enum class CommandAction {
    Convert,    // options are filled; convert the mesh
    Help,       // print the help text and succeed
    Version,    // the banner alone is the answer
    UsageError, // switches but no base name: print the help text and fail
};

struct Command {
    CommandAction action = CommandAction::Help;
    RunOptions options;
};

inline constexpr const char* kAnimSuffix = "_a.3d";
inline constexpr const char* kDataSuffix = "_d.3d";

// Parses the arguments that follow the program name.
//
// Arguments starting with '-' are switches, compared whole and ignoring the
// case of ASCII letters: -ms, -h, --help, --version; any other switch is
// ignored. The first argument that is not a switch (an empty one included) is
// the base name and ends the scan: whatever follows it is ignored. No
// arguments at all asks for help; switches alone are a usage error, since
// there is no mesh to work on.
Command parseCommandLine(const std::vector<std::string>& args);

} // namespace meshfold
