#include "meshfold/options.h"

#include <cstddef>

namespace meshfold {

namespace {

bool equalsIgnoringAsciiCase(const std::string& a, const char* b) {
    std::size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
        if (c != b[i]) {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

} // namespace

Command parseCommandLine(const std::vector<std::string>& args) {
    Command cmd;
    if (args.empty()) {
        cmd.action = CommandAction::Help;
        return cmd;
    }
    for (const std::string& arg : args) {
        if (arg.empty() || arg[0] != '-') {
            cmd.action = CommandAction::Convert;
            cmd.options.baseName = arg;
            cmd.options.animFileName = arg + kAnimSuffix;
            cmd.options.dataFileName = arg + kDataSuffix;
            return cmd;
        }
        if (equalsIgnoringAsciiCase(arg, "-ms")) {
            cmd.options.milkshapeFix = true;
        } else if (equalsIgnoringAsciiCase(arg, "-h")) {
            cmd.options.hiRes = true;
        } else if (equalsIgnoringAsciiCase(arg, "--help")) {
            cmd.action = CommandAction::Help;
            return cmd;
        } else if (equalsIgnoringAsciiCase(arg, "--version")) {
            cmd.action = CommandAction::Version;
            return cmd;
        }
    }
    cmd.action = CommandAction::UsageError;
    return cmd;
}

} // namespace meshfold
