#include "meshfold/options.h"

#include <cstddef>
#include <string_view>

namespace meshfold {

namespace {

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringAsciiCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lowerAscii(a[i]) != lowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

constexpr std::size_t kSuffixLength = 5; // "_a.3d"

} // namespace

Command parseCommandLine(const std::vector<std::string>& args) {
    Command cmd;
    if (args.empty()) {
        cmd.action = CommandAction::Help;
        return cmd;
    }
    bool switchesEnded = false;
    bool answered = false; // --help or --version seen: it decides the action
    for (const std::string& arg : args) {
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
        } else if (equalsIgnoringAsciiCase(arg, "--help") ||
                   equalsIgnoringAsciiCase(arg, "--version")) {
            if (!answered) {
                cmd.action = equalsIgnoringAsciiCase(arg, "--help") ? CommandAction::Help
                                                                    : CommandAction::Version;
                answered = true;
            }
        } else {
            cmd.unknownSwitches.push_back(arg);
        }
    }
    if (!answered) {
        cmd.action = cmd.names.empty() ? CommandAction::UsageError : CommandAction::Convert;
    }
    return cmd;
}

bool hasMeshFileSuffix(const std::string& name) {
    if (name.size() < kSuffixLength) {
        return false;
    }
    const std::string_view suffix = std::string_view(name).substr(name.size() - kSuffixLength);
    return equalsIgnoringAsciiCase(suffix, kAnimSuffix) ||
           equalsIgnoringAsciiCase(suffix, kDataSuffix);
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
