#include "meshfold/options.h"

#include "meshfold/ascii.h"

#include <algorithm>
#include <cstddef>
#include <optional>
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

// A frame rate as typed: digits only, 1 to kMaxFps.
std::optional<unsigned> fpsValue(const std::string& text) {
    if (text.empty() || text.size() > 4 ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return std::nullopt;
    }
    const unsigned fps = static_cast<unsigned>(std::stoul(text));
    return fps >= 1 && fps <= kMaxFps ? std::optional<unsigned>(fps) : std::nullopt;
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
    bool badValue = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& typed = args[i];
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
        } else if (equalsIgnoringAsciiCase(arg, "--fit")) {
            cmd.fit = true;
        } else if (equalsIgnoringAsciiCase(arg, "--uc")) {
            cmd.importScript = true;
        } else if (equalsIgnoringAsciiCase(arg, "--fps")) {
            const std::optional<unsigned> fps = i + 1 < args.size() ? fpsValue(args[i + 1]) : std::nullopt;
            badValue = badValue || !fps;
            cmd.fps = fps.value_or(kDefaultFps);
            i += fps ? 1 : 0;
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
    const bool gameSwitchOnGltf =
        (cmd.milkshapeFix || cmd.hiRes) &&
        std::any_of(cmd.names.begin(), cmd.names.end(), [](const std::string& n) { return isGltfName(n); });
    if (!answered) {
        cmd.action = cmd.names.empty() || !cmd.unknownSwitches.empty() || badValue || gameSwitchOnGltf
                         ? CommandAction::UsageError
                         : CommandAction::Convert;
    }
    return cmd;
}

bool hasMeshFileSuffix(const std::string& name) {
    return endsWithIgnoringAsciiCase(name, kAnimSuffix) ||
           endsWithIgnoringAsciiCase(name, kDataSuffix);
}

bool isGltfName(const std::string& name) {
    return endsWithIgnoringAsciiCase(name, ".glb") || endsWithIgnoringAsciiCase(name, ".gltf");
}

bool hasShortMeshFileSuffix(const std::string& name) {
    return endsWithIgnoringAsciiCase(name, "_a") || endsWithIgnoringAsciiCase(name, "_d");
}

RunOptions meshOptions(const Command& command, const std::string& name, bool nameIsBaseName) {
    RunOptions o;
    o.milkshapeFix = command.milkshapeFix;
    o.hiRes = command.hiRes;
    o.toUnreal = command.toUnreal;
    o.fit = command.fit;
    o.importScript = command.importScript;
    o.fps = command.fps;
    o.baseName = name;
    if (!nameIsBaseName && isGltfName(name)) {
        o.gltfFileName = name;
        o.baseName.resize(name.rfind('.'));
    } else if (!nameIsBaseName && hasMeshFileSuffix(name)) {
        o.baseName.resize(name.size() - kSuffixLength);
    }
    o.animFileName = o.baseName + kAnimSuffix;
    o.dataFileName = o.baseName + kDataSuffix;
    return o;
}

} // namespace meshfold
