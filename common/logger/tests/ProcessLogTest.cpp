// Which files a program's shared code logs into: the log the program set at start, or the
// logger named after the program, never the daemon's.
#include <errno.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "tests/support/TestFiles.h"
#include "platform/archive/KeyedArchive.h"
#include "common/command/ZemCMDManager.h"
#include "common/logger/LogSink.h"
#include "common/logger/RotatingLogger.h"
#include "tests/support/TempRoot.h"

using common::LogBusHelper;
using common::LogCoreHelper;
using common::LogUpgradeErrorHelper;
using common::RotatingLogger;
using common::RotatingLoggerConfig;
using common::ZemCMDManager;
using common::flushProcessLog;
using common::processLog;
using common::setProcessLog;

namespace fs = std::filesystem;

namespace {

using testsupport::readText;

// Each case runs in its own process under ctest, so the process log starts unset.
class ProcessLog : public ::testing::Test {
  protected:
    void SetUp() override {
        logs_ = root_ / "Library/Logs/RavAviza/v5/Logs";
        state_ = root_ / "Users/.AllUsers/RavAviza/RavAviza.EXE$";
    }
    void TearDown() override {
        flushProcessLog();
    }

    // Shared code that logs: the command store finds an unreadable archive.
    void runSharedCode() {
        const fs::path archive = root_ / "cmd.archive";
        std::ofstream(archive) << "not an archive";
        ZemCMDManager manager(archive.string());
        processLog().flush();
    }

    void expectNoDaemonFiles() {
        for (const char* name :
             {"Hollin-Info-1.log", "Hollin-Info-2.log", "Hollin-Info-3.log", "HollinExt-Info-1.log"})
            EXPECT_FALSE(fs::exists(logs_ / name)) << name;
        EXPECT_FALSE(fs::exists(state_ / "HollinLogInfo.data"));
    }

    static constexpr const char* kSharedLine =
        "[ZemCMDManager] cmd.archive unreadable, starting with fresh commands \n";
    testsupport::TempRoot tempRoot_{"rav-processlog"};
    fs::path root_ = tempRoot_.path(), logs_, state_;
};

TEST_F(ProcessLog, SharedCodeWritesIntoTheLogTheProgramSet) {
    // A process log lives to the end of the process, as in a program's main.
    static dispatch::ManualClock clock(1704096000.0);
    auto config = LogBusHelper::defaultConfig();
    config.clock = &clock;
    static LogBusHelper* bus = new LogBusHelper(config);
    setProcessLog(*bus);

    runSharedCode();
    EXPECT_EQ(readText(logs_ / "Tamber-Info-1.log"), std::string("2024-01-01 16:00:00: ") + kSharedLine);
    EXPECT_TRUE(fs::exists(state_ / "TamberLogInfo.data"));
    expectNoDaemonFiles();
}

TEST_F(ProcessLog, WithoutASetLogSharedCodeWritesIntoFilesNamedAfterTheProgram) {
    runSharedCode();
    const std::string program = program_invocation_short_name;
    EXPECT_TRUE(readText(logs_ / (program + "-Info-1.log")).ends_with(kSharedLine));
    EXPECT_TRUE(fs::exists(state_ / (program + "LogInfo.data")));
    expectNoDaemonFiles();
}

TEST_F(ProcessLog, EachProgramLogsIntoItsOwnFiles) {
    const fs::path home = root_ / "home/alice";
    struct Case {
        RotatingLoggerConfig config;
        fs::path file1, stateArchive;
        std::string line;
    } cases[] = {
        {LogCoreHelper::defaultConfig(), logs_ / "Hollin-Info-1.log", state_ / "HollinLogInfo.data",
         "2024-01-01 16:00:00: m \n"},
        {LogBusHelper::defaultConfig(), logs_ / "Tamber-Info-1.log", state_ / "TamberLogInfo.data",
         "2024-01-01 16:00:00: m \n"},
        {LogUpgradeErrorHelper::defaultConfig(), logs_ / "Perrow-Info-1.log", state_ / "PerrowLogInfo.data",
         "2024-01-01 16:00:00: m \n"},
        {RotatingLogger::uiAppConfig(home.string()), home / "Library/Logs/RavAviza/Logs/RavAviza-Info-1.log",
         home / ".AppData/RavAviza/RavAviza.EXE$/RavAvizaLogInfo.data",
         "2024-01-01 16:00:00 : -[ZemLogHelper writeLog:type:]_block_invoke:[148] : m \n"},
    };
    dispatch::ManualClock clock(1704096000.0);
    for (auto& c : cases) {
        SCOPED_TRACE(c.file1.string());
        c.config.clock = &clock;
        {
            RotatingLogger logger(c.config);
            logger.writeLog("m");
        }
        EXPECT_EQ(readText(c.file1), c.line);
        auto decoded = archive::unarchiveObjectWithFile(c.stateArchive.string());
        ASSERT_TRUE(decoded) << decoded.error;
        const archive::Value* current = decoded.value->find("currentLogName");
        ASSERT_TRUE(current && current->string());
        EXPECT_EQ(*current->string(), c.file1.filename().string());
    }
}

}  // namespace
