#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>
#include <vector>

#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "platform/archive/KeyedArchive.h"
#include "ui/session/log/ZemLogHelper.h"

namespace fs = std::filesystem;

namespace {

constexpr double k0800Utc20240101 = 1704096000.0;  // 16:00:00 in UTC+8

class UiLog : public ::testing::Test {
  protected:
    void SetUp() override {
        home_ = root_ / "home/alice";
        fs::create_directories(home_);
    }

    ZemLogHelper::Options options() {
        ZemLogHelper::Options o;
        o.home = home_.string();
        o.clock = &clock_;
        o.systemLog = [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mu_);
            echoed_.push_back(line);
        };
        return o;
    }

    testsupport::TempRoot tempRoot_{"rav-uilog"};
    fs::path root_ = tempRoot_.path(), home_;
    dispatch::ManualClock clock_{k0800Utc20240101};
    std::mutex mu_;
    std::vector<std::string> echoed_;
};

TEST_F(UiLog, FreshAccountWritesExactLinesIntoFileOneOfTheUsersFolders) {
    const fs::path logs = home_ / "Library/Logs/RavAviza/Logs";
    const fs::path state = home_ / ".AppData/RavAviza/RavAviza.EXE$/RavAvizaLogInfo.data";
    ZemLogHelper log(options());
    EXPECT_EQ(log.rootDirectory(), logs.string());
    EXPECT_EQ(log.rootPath(), (home_ / "Library/Logs/RavAviza").string());
    EXPECT_EQ(log.logInfoPath(), state.string());
    EXPECT_EQ(log.desktopDirectory(), (home_ / "Desktop").string());
    for (const char* name : {"RavAviza-Info-1.log", "RavAviza-Info-2.log", "RavAviza-Info-3.log"}) {
        EXPECT_TRUE(fs::is_regular_file(logs / name)) << name;
    }

    log.writeLog("first");
    log.writeLog("第二 line", 8);
    log.flush();
    struct stat before {};
    ASSERT_EQ(::stat(state.c_str(), &before), 0);

    const std::string expected =
        "2024-01-01 16:00:00 : -[ZemLogHelper writeLog:type:]_block_invoke:[148] : first \n"
        "2024-01-01 16:00:00 : -[ZemLogHelper writeLog:type:]_block_invoke:[148] : 第二 line \n";
    EXPECT_EQ(testsupport::readText(logs / "RavAviza-Info-1.log"), expected);
    EXPECT_EQ(testsupport::readText(logs / "RavAviza-Info-2.log"), "");
    {
        std::lock_guard<std::mutex> lock(mu_);
        EXPECT_EQ(echoed_, (std::vector<std::string>{
                               "-[ZemLogHelper writeLog:type:]_block_invoke [Line 150] first",
                               "-[ZemLogHelper writeLog:type:]_block_invoke [Line 150] 第二 line"}));
    }

    auto decoded = archive::unarchiveObjectWithFile(state.string());
    ASSERT_TRUE(decoded) << decoded.error;
    const archive::Value* current = decoded.value->find("currentLogName");
    ASSERT_TRUE(current && current->string());
    EXPECT_EQ(*current->string(), "RavAviza-Info-1.log");
    const archive::Value* info = decoded.value->find("info");
    ASSERT_TRUE(info && info->find("RavAviza-Info-1.log"));
    EXPECT_EQ(info->find("RavAviza-Info-1.log")->integer(), static_cast<int64_t>(expected.size()));
    EXPECT_EQ(info->find("RavAviza-Info-3.log")->integer(), 0);

    // The state archive is replaced as a whole (a new file renamed over the old), never rewritten
    // in place, so a crash mid-write leaves the previous state.
    log.writeLog("third");
    log.flush();
    struct stat after {};
    ASSERT_EQ(::stat(state.c_str(), &after), 0);
    EXPECT_NE(before.st_ino, after.st_ino);
    for (const auto& entry : fs::directory_iterator(state.parent_path())) {
        EXPECT_EQ(entry.path().filename(), "RavAvizaLogInfo.data");
    }
}

TEST_F(UiLog, RestartContinuesInTheRecordedFile) {
    {
        ZemLogHelper log(options());
        log.writeLog("before");
    }
    ZemLogHelper log(options());
    EXPECT_EQ(log.currentLogName(), "RavAviza-Info-1.log");
    log.writeLog("after");
    log.flush();
    const std::string text = testsupport::readText(home_ / "Library/Logs/RavAviza/Logs/RavAviza-Info-1.log");
    EXPECT_NE(text.find("before \n"), std::string::npos);
    EXPECT_TRUE(text.ends_with(": after \n"));
}

}  // namespace
