#include "meshfold/cli/options.h"

#include "meshfold/common/ascii.h"
#include "meshfold/image/image.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <string_view>

namespace meshfold {

namespace {


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

// A switch that takes a number: "--fps N" or "--fps=N".
struct NumberSwitch {
    std::string_view name;
    double (*parse)(const std::string&); // 0 for a text that is no valid value
    double value;
    bool given = false;
    bool next = false; // the argument after the switch is its value
    std::string bad = {}; // the first value given that is not one, quoted, or "nothing"

    // Takes `typed` as this switch's value when it follows the switch, or
    // `arg` when it is "--name=value": true when it took it.
    bool takeValue(const std::string& typed, const std::string& arg, bool switchesEnded) {
        const bool joined = !switchesEnded && arg.size() > name.size() && arg[name.size()] == '=' &&
                            equalsIgnoringAsciiCase(arg.substr(0, name.size()), name);
        if (!next && !joined) {
            return false;
        }
        const std::string text = next ? typed : arg.substr(name.size() + 1);
        const double v = parse(text);
        if (v == 0 && bad.empty()) {
            bad = text.empty() ? "\"\"" : "\"" + text + "\"";
        }
        value = v == 0 ? value : v;
        given = true;
        next = false;
        return true;
    }
    // True when `arg` is the switch itself, its value to follow.
    bool takeSwitch(const std::string& arg) {
        if (!equalsIgnoringAsciiCase(arg, name)) {
            return false;
        }
        next = true;
        return true;
    }
    void end() {
        if (next && bad.empty()) {
            bad = "nothing"; // last, with no value
        }
    }
};

// "--mesh NAME" or "--mesh=NAME": names of a package's meshes, separated by
// commas, added to `names`; `bad` is set by an empty one.
struct NamesSwitch {
    std::string_view name;
    std::vector<std::string>& names;
    bool next = false;
    std::string bad = {};

    void add(const std::string& text) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t comma = text.find(',', start);
            const std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
            if (item.empty() && bad.empty()) {
                bad = text.empty() ? "\"\"" : "\"" + text + "\"";
            } else if (!item.empty()) {
                names.push_back(item);
            }
            if (comma == std::string::npos) {
                return;
            }
            start = comma + 1;
        }
    }
    // As NumberSwitch::takeValue.
    bool takeValue(const std::string& typed, const std::string& arg, bool switchesEnded) {
        const bool joined = !switchesEnded && arg.size() > name.size() && arg[name.size()] == '=' &&
                            equalsIgnoringAsciiCase(arg.substr(0, name.size()), name);
        if (!next && !joined) {
            return false;
        }
        add(next ? typed : arg.substr(name.size() + 1));
        next = false;
        return true;
    }
    bool takeSwitch(const std::string& arg) {
        next = equalsIgnoringAsciiCase(arg, name);
        return next;
    }
    void end() {
        if (next && bad.empty()) {
            bad = "nothing";
        }
    }
};

// Usage errors of the package switches, or "" when they go together.
std::string packageConflictOf(const Command& cmd, const NamesSwitch& meshes, bool gltfNamed) {
    if (!meshes.bad.empty()) {
        return "--mesh takes the names of meshes of a package, not " + meshes.bad;
    }
    if (cmd.list && (!cmd.meshes.empty() || cmd.toGltf || cmd.toUnreal || cmd.milkshapeFix || cmd.hiRes)) {
        return std::string(!cmd.meshes.empty() ? "--mesh"
                           : cmd.toGltf        ? "--to-gltf"
                           : cmd.toUnreal      ? "--to-unreal"
                           : cmd.milkshapeFix  ? "-ms"
                                               : "-h") +
               " does not go with --list, which lists each package whole and writes nothing";
    }
    if ((cmd.list || !cmd.meshes.empty()) && gltfNamed) {
        return std::string(cmd.list ? "--list" : "--mesh") + " does not apply to a glTF file";
    }
    return {};
}

// Usage errors of switches that do not go together, or "" when they do.
// -ms and -h concern the game's own files, which a glTF file is not; --fit,
// --scale and --uc only the game files made from one.
std::string conflictOf(const Command& cmd, const NumberSwitch& fps, const NumberSwitch& scale,
                       const NumberSwitch& textureSize, const NamesSwitch& meshes) {
    const bool gltfNamed =
        std::any_of(cmd.names.begin(), cmd.names.end(), [](const std::string& n) { return isGltfName(n); });
    if (!fps.bad.empty()) {
        return "--fps takes a number of frames a second above 0 and up to 1000, not " + fps.bad;
    }
    if (!scale.bad.empty()) {
        return "--scale takes a number of engine units to a glTF unit above 0 and up to 100000, not " +
               scale.bad;
    }
    if (!textureSize.bad.empty()) {
        return "--texture-size takes a power of two from 1 to 1024, not " + textureSize.bad;
    }
    if (fps.given && !cmd.toGltf && !gltfNamed) {
        return "--fps only applies to --to-gltf and to glTF files";
    }
    if (gltfNamed && (cmd.milkshapeFix || cmd.hiRes || cmd.toGltf)) {
        return std::string(cmd.toGltf ? "--to-gltf" : cmd.milkshapeFix ? "-ms" : "-h") +
               " does not apply to a glTF file";
    }
    if ((cmd.fit || scale.given) && !gltfNamed) {
        return std::string(cmd.fit ? "--fit" : "--scale") + " only applies to glTF files";
    }
    if (textureSize.given && (!gltfNamed || !cmd.importScript)) {
        return "--texture-size only applies to glTF files with --uc, which writes their textures";
    }
    if (cmd.importScript && !gltfNamed && !cmd.toGltf) {
        return "--uc only applies to glTF files and to --to-gltf";
    }
    if (cmd.toGltf && (cmd.milkshapeFix || cmd.hiRes || cmd.toUnreal)) {
        return std::string(cmd.toUnreal ? "--to-unreal" : cmd.milkshapeFix ? "-ms" : "-h") +
               " does not go with --to-gltf, which shows each mesh as it is";
    }
    return packageConflictOf(cmd, meshes, gltfNamed);
}

// Digits with at most one decimal point, above 0 and up to `max`; 0 when not.
double parseDecimal(const std::string& text, double max) {
    std::size_t digits = 0;
    std::size_t points = 0;
    for (const char c : text) {
        digits += c >= '0' && c <= '9' ? 1 : 0;
        points += c == '.' ? 1 : 0;
    }
    if (text.empty() || digits == 0 || points > 1 || digits + points != text.size() ||
        text.size() > 32) {
        return 0;
    }
    const double value = std::strtod(text.c_str(), nullptr);
    return value > 0 && value <= max ? value : 0;
}

} // namespace

double parseFps(const std::string& text) {
    return parseDecimal(text, kMaxFps);
}

double parseScale(const std::string& text) {
    return parseDecimal(text, kMaxScale);
}

double parseTextureSize(const std::string& text) {
    const double side = parseDecimal(text, kMaxTextureSideCap);
    return side == std::floor(side) && isTextureSideCap(static_cast<std::uint32_t>(side)) ? side : 0;
}

Command parseCommandLine(const std::vector<std::string>& args, bool slashSwitches) {
    Command cmd;
    if (args.empty()) {
        cmd.action = CommandAction::Help;
        return cmd;
    }
    bool switchesEnded = false;
    bool answered = false; // --help or --version seen: it decides the action
    NumberSwitch fps{"--fps", &parseFps, cmd.fps};
    NumberSwitch scale{"--scale", &parseScale, cmd.scale};
    NumberSwitch textureSize{"--texture-size", &parseTextureSize, static_cast<double>(cmd.textureSize)};
    NamesSwitch meshes{"--mesh", cmd.meshes};
    for (const std::string& typed : args) {
        const std::string arg = switchesEnded ? typed : dashForm(typed, slashSwitches);
        // The switch waiting for its value takes the argument, whatever it is.
        NumberSwitch* waiting = fps.next ? &fps : scale.next ? &scale : textureSize.next ? &textureSize : nullptr;
        const bool taken = waiting != nullptr ? waiting->takeValue(typed, arg, switchesEnded)
                           : meshes.next      ? meshes.takeValue(typed, arg, switchesEnded)
                                              : fps.takeValue(typed, arg, switchesEnded) ||
                                                    scale.takeValue(typed, arg, switchesEnded) ||
                                                    textureSize.takeValue(typed, arg, switchesEnded) ||
                                                    meshes.takeValue(typed, arg, switchesEnded);
        if (taken) {
            continue;
        }
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
        } else if (equalsIgnoringAsciiCase(arg, "--to-gltf")) {
            cmd.toGltf = true;
        } else if (equalsIgnoringAsciiCase(arg, "--fit")) {
            cmd.fit = true;
        } else if (equalsIgnoringAsciiCase(arg, "--uc")) {
            cmd.importScript = true;
        } else if (equalsIgnoringAsciiCase(arg, "--list")) {
            cmd.list = true;
        } else if (fps.takeSwitch(arg) || scale.takeSwitch(arg) || textureSize.takeSwitch(arg) ||
                   meshes.takeSwitch(arg)) {
            // its value comes next
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
    fps.end();
    scale.end();
    textureSize.end();
    meshes.end();
    cmd.fps = fps.value;
    cmd.scale = scale.value;
    cmd.textureSize = static_cast<std::uint32_t>(textureSize.value);
    cmd.conflict = conflictOf(cmd, fps, scale, textureSize, meshes);
    if (!answered) {
        cmd.action = cmd.names.empty() || !cmd.unknownSwitches.empty() || !cmd.conflict.empty()
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

bool isPackageName(const std::string& name) {
    return endsWithIgnoringAsciiCase(name, ".u") || endsWithIgnoringAsciiCase(name, ".utx");
}

bool hasShortMeshFileSuffix(const std::string& name) {
    return endsWithIgnoringAsciiCase(name, "_a") || endsWithIgnoringAsciiCase(name, "_d");
}

RunOptions meshOptions(const Command& command, const std::string& name, bool nameIsBaseName) {
    RunOptions o;
    o.milkshapeFix = command.milkshapeFix;
    o.hiRes = command.hiRes;
    o.toUnreal = command.toUnreal;
    o.toGltf = command.toGltf;
    o.fps = command.fps;
    o.fit = command.fit;
    o.scale = command.scale;
    o.textureSize = command.textureSize;
    o.importScript = command.importScript;
    o.listPackage = command.list;
    o.packageMeshes = command.meshes;
    o.baseName = name;
    if (!nameIsBaseName && isGltfName(name)) {
        o.gltfSource = name;
        o.baseName.resize(name.rfind('.'));
    } else if (!nameIsBaseName && hasMeshFileSuffix(name)) {
        o.baseName.resize(name.size() - kMeshSuffixLength);
    }
    o.animFileName = o.baseName + kAnimSuffix;
    o.dataFileName = o.baseName + kDataSuffix;
    return o;
}

} // namespace meshfold
