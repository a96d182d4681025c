#include "meshfold/cli/options.h"
#include "meshfold/cli/run.h"

#include <gtest/gtest.h>

#include <tuple>

namespace meshfold {
namespace {

Command parse(std::vector<std::string> args) {
    return parseCommandLine(args);
}

TEST(CommandLine, NoArgumentsAsksForHelp) {
    EXPECT_EQ(parse({}).action, CommandAction::Help);
}

TEST(CommandLine, ANameGivesBothFileNames) {
    struct Case {
        const char* name;
        bool nameIsBaseName; // whether NAME_a.3d itself exists
        const char* base;
    };
    const Case cases[] = {
        {"dir/Bunny Droid", false, "dir/Bunny Droid"},
        {"dir/Bunny Droid_a.3d", false, "dir/Bunny Droid"},
        {"./Cube_d.3d", false, "./Cube"},
        {"C:\\Mods\\Cube_A.3D", false, "C:\\Mods\\Cube"},
        {"/abs/Cube_D.3d", false, "/abs/Cube"},
        {"Cube_a.3d", true, "Cube_a.3d"}, // Cube_a.3d_a.3d exists: the name is a base name
        {"_a.3d", false, ""},
        {"a.3d", false, "a.3d"},
        {"Cube_b.3d", false, "Cube_b.3d"},
        {"Cube_a.3ds", false, "Cube_a.3ds"},
    };
    Command cmd;
    cmd.milkshapeFix = true;
    for (const Case& c : cases) {
        const RunOptions o = meshOptions(cmd, c.name, c.nameIsBaseName);
        EXPECT_EQ(o.baseName, c.base) << c.name;
        EXPECT_EQ(o.animFileName, std::string(c.base) + "_a.3d") << c.name;
        EXPECT_EQ(o.dataFileName, std::string(c.base) + "_d.3d") << c.name;
        EXPECT_TRUE(o.milkshapeFix);
        EXPECT_FALSE(o.hiRes);
    }
}

TEST(CommandLine, SwitchesIgnoreAsciiCase) {
    for (const char* ms : {"-ms", "-MS", "-Ms", "-mS"}) {
        for (const char* h : {"-h", "-H"}) {
            const Command c = parse({ms, h, "Mesh", "--DRY-run", "--To-Unreal"});
            ASSERT_EQ(c.action, CommandAction::Convert);
            EXPECT_TRUE(c.milkshapeFix) << ms;
            EXPECT_TRUE(c.hiRes) << h;
            EXPECT_TRUE(c.dryRun);
            EXPECT_TRUE(c.toUnreal);
            EXPECT_TRUE(meshOptions(c, "Mesh", true).toUnreal);
        }
    }
}

// A switch that is not known, a typo among them, converts nothing: the user
// asked for something that could not be done.
TEST(CommandLine, SwitchesMatchOnlyAsAWholeAndAnUnknownOneIsAUsageError) {
    const Command c =
        parse({"-msx", "-hh", "-m", "-", "Mesh", "--dry", "---", "--to-unreal=1", "-to-unreal"});
    ASSERT_EQ(c.action, CommandAction::UsageError);
    EXPECT_FALSE(c.milkshapeFix);
    EXPECT_FALSE(c.hiRes);
    EXPECT_FALSE(c.dryRun);
    EXPECT_FALSE(c.toUnreal);
    EXPECT_FALSE(meshOptions(c, "Mesh", true).toUnreal);
    EXPECT_EQ(c.unknownSwitches, (std::vector<std::string>{"-msx", "-hh", "-m", "-", "--dry", "---",
                                                           "--to-unreal=1", "-to-unreal"}));
}

// --to-gltf takes a frame rate; switches that mean nothing for an export,
// and a frame rate that is no number, are usage errors that say why.
TEST(CommandLine, ExportSwitchesAndTheirFrameRate) {
    struct Case {
        std::vector<std::string> args;
        double fps;           // when accepted
        const char* conflict; // the start of the reason, or "" when accepted
    };
    const Case cases[] = {
        {{"--to-gltf", "M"}, 30, ""},
        {{"M", "--TO-GLTF", "--fps", "24"}, 24, ""},
        {{"--fps=12.5", "--to-gltf", "M"}, 12.5, ""},
        {{"--to-gltf", "--FPS", "1000", "M"}, 1000, ""},
        {{"--to-gltf", "--fps", "0.01", "M"}, 0.01, ""},
        {{"--to-gltf", "--fps", "-5", "M"}, 0, "--fps takes a number"},
        {{"--to-gltf", "--fps", "0", "M"}, 0, "--fps takes a number"},
        {{"--to-gltf", "--fps", "1000.5", "M"}, 0, "--fps takes a number"},
        {{"--to-gltf", "--fps", "2e3", "M"}, 0, "--fps takes a number"},
        {{"--to-gltf", "--fps", "1.2.3", "M"}, 0, "--fps takes a number"},
        {{"--to-gltf", "--fps=", "M"}, 0, "--fps takes a number"},
        {{"--to-gltf", "M", "--fps"}, 0, "--fps takes a number of frames a second above 0 and up to 1000, not nothing"},
        {{"--fps", "24", "M"}, 0, "--fps only applies to --to-gltf"},
        {{"--to-gltf", "-ms", "M"}, 0, "-ms does not go with --to-gltf"},
        {{"-H", "--to-gltf", "M"}, 0, "-h does not go with --to-gltf"},
        {{"--to-gltf", "--to-unreal", "M"}, 0, "--to-unreal does not go with --to-gltf"},
    };
    for (const Case& c : cases) {
        const Command cmd = parse(c.args);
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_EQ(cmd.conflict.rfind(c.conflict, 0), 0u) << cmd.conflict;
        if (*c.conflict == '\0') {
            ASSERT_EQ(cmd.action, CommandAction::Convert);
            EXPECT_EQ(cmd.names, std::vector<std::string>{"M"});
            const RunOptions o = meshOptions(cmd, "M", true);
            EXPECT_TRUE(o.toGltf);
            EXPECT_EQ(o.fps, c.fps);
        } else {
            EXPECT_EQ(cmd.action, CommandAction::UsageError);
        }
    }
    // The value after --fps is never a name, even one that looks like a switch.
    EXPECT_EQ(parse({"--to-gltf", "--fps", "-ms", "M"}).conflict.rfind("--fps takes", 0), 0u);
}

// --list and --mesh concern compiled packages: --mesh takes names, one or
// several to a switch, repeatable; what cannot go with them says why.
TEST(CommandLine, PackageSwitches) {
    struct Case {
        std::vector<std::string> args;
        std::vector<std::string> meshes; // when accepted
        bool list;
        const char* conflict; // the start of the reason, or "" when accepted
    };
    const Case cases[] = {
        {{"P.u", "--list"}, {}, true, ""},
        {{"--LIST", "P.U", "--dry-run"}, {}, true, ""},
        {{"--mesh", "Skull", "P.u"}, {"Skull"}, false, ""},
        {{"--mesh=a,B", "P.u", "--MESH", "c"}, {"a", "B", "c"}, false, ""},
        {{"--mesh", "--list", "P.u"}, {"--list"}, false, ""}, // the value, whatever it looks like
        {{"--mesh", "a,,b", "P.u"}, {}, false, "--mesh takes the names of meshes of a package, not \"a,,b\""},
        {{"--mesh=", "P.u"}, {}, false, "--mesh takes the names of meshes of a package, not \"\""},
        {{"P.u", "--mesh"}, {}, false, "--mesh takes the names of meshes of a package, not nothing"},
        {{"--list", "--mesh", "a", "P.u"}, {}, false, "--mesh does not go with --list"},
        {{"--list", "--to-gltf", "P.u"}, {}, false, "--to-gltf does not go with --list"},
        {{"--list", "--to-unreal", "P.u"}, {}, false, "--to-unreal does not go with --list"},
        {{"--list", "-ms", "P.u"}, {}, false, "-ms does not go with --list"},
        {{"--list", "M.glb"}, {}, false, "--list does not apply to a glTF file"},
        {{"--mesh", "a", "M.gltf"}, {}, false, "--mesh does not apply to a glTF file"},
    };
    for (const Case& c : cases) {
        const Command cmd = parse(c.args);
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_EQ(cmd.conflict.rfind(c.conflict, 0), 0u) << cmd.conflict;
        if (*c.conflict == '\0') {
            ASSERT_EQ(cmd.action, CommandAction::Convert);
            EXPECT_EQ(cmd.meshes, c.meshes);
            EXPECT_EQ(cmd.list, c.list);
            const RunOptions o = meshOptions(cmd, "P", true);
            EXPECT_EQ(o.packageMeshes, c.meshes);
            EXPECT_EQ(o.listPackage, c.list);
        } else {
            EXPECT_EQ(cmd.action, CommandAction::UsageError);
        }
    }
    for (const char* name : {"A.u", "dir/B.UTX", "C.uTx", "D.U"}) {
        EXPECT_TRUE(isPackageName(name)) << name;
    }
    for (const char* name : {"A.uc", "B.utx2", "u", "C_a.3d", "D.upkg"}) {
        EXPECT_FALSE(isPackageName(name)) << name;
    }
}

TEST(CommandLine, TheGltfFileLiesBesideTheAnimationFileUnderItsRealName) {
    RunOptions o;
    for (const auto& [anim, glb, name] : {std::tuple{"Cube_a.3d", "Cube.glb", "Cube"},
                                          {"dir/sub/BOSS_A.3D", "dir/sub/BOSS.glb", "BOSS"},
                                          {"C:\\Mods\\x_a.3d", "C:\\Mods\\x.glb", "x"}}) {
        o.animFileName = anim;
        EXPECT_EQ(gltfFileName(o), glb);
        EXPECT_EQ(meshName(o), name);
    }
}

TEST(CommandLine, SwitchesApplyWhereverTheyStandAndEveryNameCounts) {
    const Command c = parse({"Bunny", "-ms", "", "Other_a.3d", "-h", "Bunny"});
    ASSERT_EQ(c.action, CommandAction::Convert);
    EXPECT_EQ(c.names, (std::vector<std::string>{"Bunny", "", "Other_a.3d", "Bunny"}));
    EXPECT_TRUE(c.milkshapeFix);
    EXPECT_TRUE(c.hiRes);
    EXPECT_TRUE(c.unknownSwitches.empty());
}

TEST(CommandLine, DoubleDashEndsTheSwitches) {
    const Command c = parse({"-ms", "--", "-odd", "--help", "--", "-h"});
    ASSERT_EQ(c.action, CommandAction::Convert);
    EXPECT_EQ(c.names, (std::vector<std::string>{"-odd", "--help", "--", "-h"}));
    EXPECT_TRUE(c.milkshapeFix);
    EXPECT_FALSE(c.hiRes);
    EXPECT_EQ(parse({"-ms", "--"}).action, CommandAction::UsageError);
}

TEST(CommandLine, SwitchesAloneAreAUsageError) {
    EXPECT_EQ(parse({"-ms"}).action, CommandAction::UsageError);
    EXPECT_EQ(parse({"-ms", "-h", "-x"}).action, CommandAction::UsageError);
}

TEST(CommandLine, HelpAndVersionAnywhereTheFirstWins) {
    EXPECT_EQ(parse({"--HELP"}).action, CommandAction::Help);
    EXPECT_EQ(parse({"-sm", "Mesh", "-?"}).action, CommandAction::Help);
    EXPECT_EQ(parse({"-x", "--version"}).action, CommandAction::Version);
    EXPECT_EQ(parse({"-?", "--version"}).action, CommandAction::Help);
    EXPECT_EQ(parse({"-ms", "--help", "Mesh"}).action, CommandAction::Help);
    EXPECT_EQ(parse({"--Version", "Mesh"}).action, CommandAction::Version);
    EXPECT_EQ(parse({"--version", "--help"}).action, CommandAction::Version);
    EXPECT_EQ(parse({"Mesh", "-ms", "--help", "--version"}).action, CommandAction::Help);
    EXPECT_TRUE(parse({"--help", "--HELP", "--version"}).unknownSwitches.empty());
}

// On Windows "/ms" is "-ms"; elsewhere it is a path from the root.
TEST(CommandLine, SlashSwitchesOnlyWhereTheSystemTakesThem) {
    struct Case {
        std::vector<std::string> args;
        bool slashSwitches;
        CommandAction action;
        bool milkshapeFix;
        bool hiRes;
        std::vector<std::string> names;
    };
    using A = CommandAction;
    const Case cases[] = {
        {{"/ms", "/H", "box"}, true, A::Convert, true, true, {"box"}},
        {{"/MS", "box"}, false, A::Convert, false, false, {"/MS", "box"}},
        {{"/?"}, true, A::Help, false, false, {}},
        {{"box", "/?"}, false, A::Convert, false, false, {"box", "/?"}},
        {{"-?"}, false, A::Help, false, false, {}},
        {{"/sm", "box"}, true, A::UsageError, false, false, {"box"}},
        {{"/Models/box", "\\\\server\\box"}, true, A::Convert, false, false,
         {"/Models/box", "\\\\server\\box"}},
        {{"/Models\\box", "/"}, true, A::Convert, false, false, {"/Models\\box", "/"}},
        {{"--", "/ms"}, true, A::Convert, false, false, {"/ms"}},
    };
    for (const Case& c : cases) {
        const Command cmd = parseCommandLine(c.args, c.slashSwitches);
        SCOPED_TRACE(c.args[0] + (c.slashSwitches ? " with /" : " without /"));
        EXPECT_EQ(cmd.action, c.action);
        EXPECT_EQ(cmd.milkshapeFix, c.milkshapeFix);
        EXPECT_EQ(cmd.hiRes, c.hiRes);
        EXPECT_EQ(cmd.names, c.names);
    }
    EXPECT_EQ(parseCommandLine({"/sm", "box"}, true).unknownSwitches,
              std::vector<std::string>{"/sm"});
}

// Explorer gives a program started by a double-click or a drop a console of
// its own, which closes with it; a shell shares its console with the program.
TEST(ExplorerWindow, WaitsOnlyInAConsoleOfItsOwn) {
    struct Case {
        ConsoleInfo console;
        bool wait;
    };
    const Case cases[] = {
        {{1, true, true, false}, true},    // double-click or drop
        {{2, true, true, false}, false},   // cmd or PowerShell
        {{3, true, true, false}, false},   // a batch file run from a shell
        {{1, false, true, false}, false},  // input redirected
        {{1, true, false, false}, false},  // output redirected
        {{0, false, false, false}, false}, // no console at all (POSIX, or a GUI parent)
        {{1, true, true, true}, false},    // Wine, in the terminal it was started from
    };
    for (const Case& c : cases) {
        EXPECT_EQ(keepWindowOpen(c.console), c.wait)
            << c.console.processesAttached << c.console.inputIsConsole << c.console.outputIsConsole
            << c.console.underWine;
    }
}

TEST(CommandLine, GltfSwitchesAndNames) {
    const Command c = parseCommandLine({"--fit", "--uc", "--fps", "24", "Bot.GLB", "--scale=52.5"});
    EXPECT_EQ(c.action, CommandAction::Convert);
    EXPECT_EQ(c.scale, 52.5);
    EXPECT_EQ(meshOptions(c, "Bot.GLB", false).scale, 52.5);
    EXPECT_EQ(parseCommandLine({"--SCALE", "0.0254", "Bot.glb"}).scale, 0.0254);
    EXPECT_TRUE(c.fit);
    EXPECT_TRUE(c.importScript);
    EXPECT_EQ(c.fps, 24u);
    const RunOptions o = meshOptions(c, "models/Bot.GLB", false);
    EXPECT_EQ(o.gltfSource, "models/Bot.GLB");
    EXPECT_EQ(o.animFileName, "models/Bot_a.3d");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-ms", "Bot.glb"}, {"Bot.gltf", "-H"}, {"--fps", "0", "Bot.glb"}, {"--fps", "x", "Bot.glb"},
             {"Bot.glb", "--fps"}, {"--scale", "0", "Bot.glb"}, {"--scale", "-2", "Bot.glb"},
             {"--scale", "1e3", "Bot.glb"}, {"Bot.glb", "--scale"}, {"--scale", "2", "Bot"},
             {"--scale=", "Bot.glb"}, {"--scale", "--fps=24", "52.5", "Bot.glb"}}) {
        EXPECT_EQ(parseCommandLine(args).action, CommandAction::UsageError) << args[0] << " " << args[1];
    }
    EXPECT_EQ(parseCommandLine({"-ms", "Bot"}).action, CommandAction::Convert);
    // --texture-size: a power of two from 1 to 1024, with --uc and a glTF file.
    EXPECT_EQ(parseCommandLine({"--uc", "--texture-size", "512", "Bot.glb"}).textureSize, 512u);
    EXPECT_EQ(meshOptions(parseCommandLine({"--uc", "--texture-size=1", "Bot.glb"}), "Bot.glb", false).textureSize, 1u);
    EXPECT_EQ(parseCommandLine({"--uc", "Bot.glb"}).textureSize, 256u);
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"--uc", "--texture-size", "300", "Bot.glb"}, {"--uc", "--texture-size", "2048", "Bot.glb"},
             {"--uc", "--texture-size", "0", "Bot.glb"}, {"--uc", "--texture-size", "64.5", "Bot.glb"},
             {"--uc", "Bot.glb", "--texture-size"}, {"--texture-size", "64", "Bot.glb"},
             {"--uc", "--texture-size", "64", "Bot"}}) {
        EXPECT_EQ(parseCommandLine(args).action, CommandAction::UsageError) << args[1] << " " << args[2];
    }
}

} // namespace
} // namespace meshfold
