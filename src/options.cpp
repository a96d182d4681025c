#include "meshfold/options.h"

#include "meshfold/ascii.h"

#include <cstddef>
#include <string_view>

namespace meshfold {

namespace {

constexpr std::size_t kSuffixLength = 5; // "_a.3d"

// "/ms" as a Windows user types "-ms"; any other argument is returned as it
// is. A "/" followed by a further separator starts a path, not a switch.
std::string dashForm(const std::string& arg, bool slashSwitches) {
    if (!slashSwitches || arg.size() < 2 || arg[0] != '/' ||
        arg.find_first_of("/\\", 1) != std::string::npos) {
        return arg;
    }
    std::string dashed = arg;
    dashed[0] = '-';
    return dashed;
}

} // namespace

Command parseCommandLine(const std::vector<std::string>& args, bool slashSwitches) {
    Command cmd;
    if (args.empty()) {
        cmd.action = CommandAction::Help;
        return cmd;
    }
    bool switchesEnded = false;
    bool answered = false; // --help or --version seen: it decides the action
    for (const std::string& typed : args) {
        const std::string arg = switchesEnded ? typed : dashForm(typed, slashSwitches);
        if (switchesEnded || arg.empty() || arg[0] != '-') {
            cmd.names.push_back(arg);
        } else if (arg == "--") {
            switchesEnded = true;
        } else if (equalsIgnoringAsciiCase(arg, "-ms")) {
            cmd.milkshapeFix = true;
        } else if (equalsIgnoringAsciiCase(arg, "-h")) {
            cmd.hiRes = true;
        } else if (equalsIgnoringAsciiCase(arg, "--to-unreal")) {
            cmd.toUnreal = true;
        } else if (equalsIgnoringAsciiCase(arg, "--dry-run")) {
            cmd.dryRun = true;
        } else if (arg == "-?" || equalsIgnoringAsciiCase(arg, "--help") ||
                   equalsIgnoringAsciiCase(arg, "--version")) {
            if (!answered) {
                cmd.action = equalsIgnoringAsciiCase(arg, "--version") ? CommandAction::Version
                                                                       : CommandAction::Help;
                answered = true;
            }
        } else {
            cmd.unknownSwitches.push_back(typed);
        }
    }
    if (!answered) {
        cmd.action = cmd.names.empty() || !cmd.unknownSwitches.empty() ? CommandAction::UsageError
                                                                       : CommandAction::Convert;
    }
    return cmd;
}

bool hasMeshFileSuffix(const std::string& name) {
    return endsWithIgnoringAsciiCase(name, kAnimSuffix) ||
           endsWithIgnoringAsciiCase(name, kDataSuffix);
}

bool hasShortMeshFileSuffix(const std::string& name) {
    return endsWithIgnoringAsciiCase(name, "_a") || endsWithIgnoringAsciiCase(name, "_d");
}

RunOptions meshOptions(const Command& command, const std::string& name, bool nameIsBaseName) {
    RunOptions o;
    o.milkshapeFix = command.milkshapeFix;
    o.hiRes = command.hiRes;
    o.toUnreal = command.toUnreal;
    o.baseName = name;
    if (!nameIsBaseName && hasMeshFileSuffix(name)) {
        o.baseName.resize(name.size() - kSuffixLength);
    }
    o.animFileName = o.baseName + kAnimSuffix;
    o.dataFileName = o.baseName + kDataSuffix;
    return o;
}

} // namespace meshfold
