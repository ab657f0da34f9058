// blesshelper facing a helper whose job list holds text that is not one line: nothing of it is
// installed, as the job file would be XML that other readers refuse and launchd keeps its label
// in a line-based record.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"
#include "tests/support/TempRoot.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kLabel = "com.velmora.HostileJobTest";

struct BlessRun {
    int status = -1;
    std::string error;
};

BlessRun bless(const std::string& root, const std::string& helper) {
    spawn::Options o;
    o.program = BLESSHELPER_EXECUTABLE;
    o.argv = {BLESSHELPER_EXECUTABLE, "--root", root, kLabel, helper};
    spawn::RunLimits limits;
    limits.deadline = std::chrono::seconds(30);
    spawn::RunResult run = spawn::run(std::move(o), limits);
    BlessRun result;
    if (run.waitStatus) result.status = spawn::exitStatusFromWait(*run.waitStatus);
    result.error = run.error;
    return result;
}

TEST(BlessHelper, JobListWithControlCharactersIsNotInstalled) {
    struct Case {
        const char* name;
        const char* helper;
        const char* rootSuffix;
    } cases[] = {
        {"a control character in an environment value", HOSTILE_JOB_HELPER_1, ""},
        {"a line break in a path", HOSTILE_JOB_HELPER_2, ""},
        {"DEL in a service name", HOSTILE_JOB_HELPER_3, ""},
        {"a line break in the root, which the program path takes", HOSTILE_JOB_HELPER_0, "/a\nb"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempRoot root{"bless-hostile"};
        const std::string prefix = root.path() + c.rootSuffix;
        BlessRun run = bless(prefix, c.helper);
        EXPECT_EQ(run.status, 4);
        EXPECT_NE(run.error.find("holds text that is not one line"), std::string::npos) << run.error;
        ::setenv("RAVAVIZA_ROOT", prefix.c_str(), 1);
        EXPECT_FALSE(fs::exists(paths::installedHelper(kLabel)));
        EXPECT_FALSE(fs::exists(paths::helperJobFile(kLabel)));
    }
}

TEST(BlessHelper, OrdinaryJobListIsWritten) {
    // No launchd runs here, so loading fails after the job file is written.
    testsupport::TempRoot root{"bless-plain"};
    BlessRun run = bless(root.path(), HOSTILE_JOB_HELPER_0);
    EXPECT_EQ(run.status, 6) << run.error;
    EXPECT_TRUE(fs::exists(paths::installedHelper(kLabel)));
    EXPECT_TRUE(fs::exists(paths::helperJobFile(kLabel)));
}

}  // namespace
