#include "meshfold/options.h"

#include <gtest/gtest.h>

namespace meshfold {
namespace {

Command parse(std::vector<std::string> args) {
    return parseCommandLine(args);
}

TEST(CommandLine, NoArgumentsAsksForHelp) {
    EXPECT_EQ(parse({}).action, CommandAction::Help);
}

TEST(CommandLine, BaseNameGivesBothFileNamesUnchanged) {
    const Command c = parse({"dir/Bunny Droid"});
    ASSERT_EQ(c.action, CommandAction::Convert);
    EXPECT_EQ(c.options.baseName, "dir/Bunny Droid");
    EXPECT_EQ(c.options.animFileName, "dir/Bunny Droid_a.3d");
    EXPECT_EQ(c.options.dataFileName, "dir/Bunny Droid_d.3d");
    EXPECT_FALSE(c.options.milkshapeFix);
    EXPECT_FALSE(c.options.hiRes);
}

TEST(CommandLine, SwitchesIgnoreAsciiCase) {
    for (const char* ms : {"-ms", "-MS", "-Ms", "-mS"}) {
        for (const char* h : {"-h", "-H"}) {
            const Command c = parse({ms, h, "Mesh"});
            ASSERT_EQ(c.action, CommandAction::Convert);
            EXPECT_TRUE(c.options.milkshapeFix) << ms;
            EXPECT_TRUE(c.options.hiRes) << h;
        }
    }
}

TEST(CommandLine, SwitchesMatchOnlyAsAWhole) {
    const Command c = parse({"-msx", "-hh", "-m", "-", "Mesh"});
    ASSERT_EQ(c.action, CommandAction::Convert);
    EXPECT_FALSE(c.options.milkshapeFix);
    EXPECT_FALSE(c.options.hiRes);
}

TEST(CommandLine, EverythingAfterTheBaseNameIsIgnored) {
    const Command c = parse({"Bunny", "-ms", "Other", "--help"});
    ASSERT_EQ(c.action, CommandAction::Convert);
    EXPECT_EQ(c.options.baseName, "Bunny");
    EXPECT_FALSE(c.options.milkshapeFix);
}

TEST(CommandLine, AnEmptyArgumentIsABaseName) {
    const Command c = parse({"-ms", ""});
    ASSERT_EQ(c.action, CommandAction::Convert);
    EXPECT_EQ(c.options.animFileName, "_a.3d");
}

TEST(CommandLine, SwitchesAloneAreAUsageError) {
    EXPECT_EQ(parse({"-ms"}).action, CommandAction::UsageError);
    EXPECT_EQ(parse({"-ms", "-h", "-x"}).action, CommandAction::UsageError);
}

TEST(CommandLine, HelpAndVersionBeforeTheBaseName) {
    EXPECT_EQ(parse({"--HELP"}).action, CommandAction::Help);
    EXPECT_EQ(parse({"-ms", "--help", "Mesh"}).action, CommandAction::Help);
    EXPECT_EQ(parse({"--Version", "Mesh"}).action, CommandAction::Version);
    EXPECT_EQ(parse({"--version", "--help"}).action, CommandAction::Version);
}

} // namespace
} // namespace meshfold
