// Our stand-ins for the platform's tools answer --help with their usage and --version with the
// product version, each with status 0, whatever they would make of other arguments.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <string>

#include "platform/spawn/Spawn.h"

namespace {

struct Tool {
    const char* name;
    const char* path;
};

const Tool kTools[] = {
    {"launchd", LAUNCHD_EXECUTABLE},
    {"launchctl", LAUNCHCTL_EXECUTABLE},
    {"profiles", PROFILES_EXECUTABLE},
    {"dsconfigad", DSCONFIGAD_EXECUTABLE},
    {"scutil", SCUTIL_EXECUTABLE},
    {"dscl", DSCL_EXECUTABLE},
    {"createmobileaccount", CREATEMOBILEACCOUNT_EXECUTABLE},
    {"networksetup", NETWORKSETUP_EXECUTABLE},
    {"installer", INSTALLER_EXECUTABLE},
    {"blesshelper", BLESSHELPER_EXECUTABLE},
};

spawn::RunResult run(const Tool& tool, const std::string& argument) {
    spawn::Options options;
    options.program = tool.path;
    options.argv = {tool.path, argument};
    spawn::RunLimits limits;
    limits.deadline = std::chrono::seconds(20);
    return spawn::run(options, limits);
}

TEST(ToolAnswers, HelpPrintsUsageAndVersionPrintsTheProductVersion) {
    for (const Tool& tool : kTools) {
        SCOPED_TRACE(tool.name);
        const spawn::RunResult help = run(tool, "--help");
        ASSERT_TRUE(help.waitStatus);
        EXPECT_TRUE(WIFEXITED(*help.waitStatus) && WEXITSTATUS(*help.waitStatus) == 0) << *help.waitStatus;
        EXPECT_EQ(help.output.rfind(std::string("usage: ") + tool.name + " ", 0), 0u) << help.output;
        EXPECT_EQ(help.error, "");

        const spawn::RunResult version = run(tool, "--version");
        ASSERT_TRUE(version.waitStatus);
        EXPECT_TRUE(WIFEXITED(*version.waitStatus) && WEXITSTATUS(*version.waitStatus) == 0);
        EXPECT_EQ(version.output, std::string(tool.name) + " " RAVAVIZA_VERSION "\n");
        EXPECT_EQ(version.error, "");
    }
}

}  // namespace
