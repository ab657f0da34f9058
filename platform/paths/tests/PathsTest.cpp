#include <gtest/gtest.h>
#include <stdlib.h>

#include "platform/paths/Paths.h"

namespace {

class RootPrefix : public ::testing::Test {
  protected:
    void TearDown() override { unsetenv("RAVAVIZA_ROOT"); }
};

TEST_F(RootPrefix, ProductPathsLieUnderThePrefix) {
    struct Case {
        const char* root;
        std::string productRoot;
        std::string logs;
    } cases[] = {
        {nullptr, "/Users/.AllUsers/RavAviza/RavAviza.EXE$", "/Library/Logs/RavAviza/v5/Logs"},
        {"/", "/Users/.AllUsers/RavAviza/RavAviza.EXE$", "/Library/Logs/RavAviza/v5/Logs"},
        {"/tmp/r", "/tmp/r/Users/.AllUsers/RavAviza/RavAviza.EXE$", "/tmp/r/Library/Logs/RavAviza/v5/Logs"},
        {"/tmp/r//", "/tmp/r/Users/.AllUsers/RavAviza/RavAviza.EXE$", "/tmp/r/Library/Logs/RavAviza/v5/Logs"},
    };
    for (const auto& c : cases) {
        if (c.root)
            setenv("RAVAVIZA_ROOT", c.root, 1);
        else
            unsetenv("RAVAVIZA_ROOT");
        EXPECT_EQ(paths::productRoot(), c.productRoot) << (c.root ? c.root : "(unset)");
        EXPECT_EQ(paths::daemonLogsFolder(), c.logs);
    }
    setenv("RAVAVIZA_ROOT", "/tmp/r", 1);
    EXPECT_EQ(paths::upgradeAppExecutable(),
              "/tmp/r/Users/.AllUsers/RavAviza/RavAviza.EXE$/AppUpgrade/Perrow.app/Contents/MacOS/Marlet");
}

TEST_F(RootPrefix, HomeFolderComesFromPasswordDatabase) {
    setenv("RAVAVIZA_ROOT", "/tmp/r", 1);
    EXPECT_EQ(paths::homeFolder("root").value_or(""), "/tmp/r/root");
    EXPECT_FALSE(paths::homeFolder("no-such-user-here-xyz").has_value());
}

}  // namespace
