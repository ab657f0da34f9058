#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/archive/KeyedArchive.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/NotificationCenter.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/store/ZemConfigManager.h"
#include "tests/support/TempRoot.h"

using common::LogCoreHelper;
using hollin::ZemConfigManager;
using hollin::ZemConfigModel;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

class ConfigStore : public ::testing::Test {
  protected:
    void SetUp() override {
        path_ = (root_ / "config.archive").string();
        for (const char* name : {"heartbeat_restart_notification", "heartbeat_ext_restart_notification",
                                 "upgrade_restart_notification", "get_config_restart_notification"}) {
            observers_.push_back(dispatch::NotificationCenter::defaultCenter().addObserver(
                name, nullptr, [this](const dispatch::Notification& n) {
                    std::lock_guard lock(mutex_);
                    posted_.push_back(n.name + "=" + (n.object.string() ? *n.object.string() : "(none)"));
                }));
        }
    }
    void TearDown() override {
        for (auto id : observers_) dispatch::NotificationCenter::defaultCenter().removeObserver(id);
        // The shared logger may still be writing into the temporary root.
        LogCoreHelper::sharedInstance().flush();
    }

    // Runs the main queue until the announcements made so far are delivered.
    std::vector<std::string> drainPosted() {
        auto& loop = dispatch::MainLoop::shared();
        dispatch::WorkQueue::main()->dispatch([&loop] { loop.stop(); });
        loop.run();
        std::lock_guard lock(mutex_);
        return std::exchange(posted_, {});
    }

    testsupport::TempFolder folder_{"rav-config"};
    fs::path root_ = folder_.path();
    std::string path_;
    std::vector<dispatch::NotificationCenter::ObserverId> observers_;
    std::mutex mutex_;
    std::vector<std::string> posted_;
};

TEST_F(ConfigStore, MergeAnnouncesIntervalChangesWithThePreviousValue) {
    ZemConfigManager store(path_);
    struct Step {
        ZemConfigModel item;
        std::vector<std::string> posted;
        double heartbeat;
    } steps[] = {
        {{7, "90"}, {"heartbeat_restart_notification=(none)"}, 90},
        {{7, "120"}, {"heartbeat_restart_notification=90"}, 120},
        {{7, "120"}, {"heartbeat_restart_notification=(none)"}, 120},
        {{5, "anything"}, {}, 120},
        {{8, "200"}, {"heartbeat_ext_restart_notification=(none)"}, 120},
        {{3, "400"}, {"upgrade_restart_notification=(none)"}, 120},
        {{6, "500"}, {"get_config_restart_notification=(none)"}, 120},
        {{7, "0"}, {"heartbeat_restart_notification=120"}, 60},
        {{7, "abc"}, {"heartbeat_restart_notification=0"}, 60},
    };
    for (const auto& s : steps) {
        store.updateMemoryConfigs({s.item});
        EXPECT_EQ(drainPosted(), s.posted) << s.item.configType << "=" << s.item.configValue;
        EXPECT_EQ(store.intervalOfType(7, 60), s.heartbeat);
    }
    auto items = store.currentMemoryConfigs();
    EXPECT_EQ(items.size(), 5u);  // one item per type
    EXPECT_EQ(ZemConfigManager::localConfigs(path_), items);
    EXPECT_EQ(store.intervalOfType(8, 124), 200);
    EXPECT_EQ(store.intervalOfType(3, 305), 400);
    EXPECT_EQ(store.intervalOfType(6, 302), 500);

    ZemConfigManager restarted(path_);
    EXPECT_EQ(restarted.currentMemoryConfigs(), items);
}

TEST_F(ConfigStore, UnusableIntervalsFallBackToTheDefault) {
    ZemConfigManager store(path_);
    struct Case {
        const char* text;
        double expected;
    } cases[] = {{"90", 90},
                 {"30", 30},
                 {"0", 60},
                 {"abc", 60},
                 {"-5", 60},
                 {"0.5", 60},
                 {"inf", 60},
                 {"nan", 60},
                 {"1e300", 60},
                 {"2147483648", 60},
                 {"2147483647", 2147483647},
                 {"  75", 75},
                 {"1", 1}};
    for (const auto& c : cases) {
        store.updateMemoryConfig({7, c.text}, false);
        EXPECT_EQ(store.intervalOfType(7, 60), c.expected) << c.text;
    }
    drainPosted();
}

TEST_F(ConfigStore, DamagedArchiveGivesDefaultsAndIsReplacedAtTheNextWrite) {
    struct Case {
        const char* what;
        std::function<void()> write;
    } cases[] = {
        {"garbage", [&] { std::ofstream(path_) << "not an archive"; }},
        {"truncated",
         [&] {
             auto bytes = archive::archivedData(archive::Array{ZemConfigModel{7, "90"}.encode()}).value();
             bytes.resize(bytes.size() - 9);
             std::ofstream(path_, std::ios::binary)
                 .write(reinterpret_cast<const char*>(bytes.data()),
                        static_cast<std::streamsize>(bytes.size()));
         }},
        {"not an array",
         [&] { ASSERT_TRUE(archive::archiveRootObjectToFile(archive::Value("text"), path_)); }},
        {"item of another class",
         [&] {
             ASSERT_TRUE(
                 archive::archiveRootObjectToFile(archive::Array{archive::Object{"Other", {}}}, path_));
         }},
        {"type not a number",
         [&] {
             ASSERT_TRUE(archive::archiveRootObjectToFile(
                 archive::Array{
                     archive::Object{"ZemConfigModel", {{"configType", "7"}, {"configValue", "90"}}}},
                 path_));
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        c.write();
        ZemConfigManager store(path_);
        EXPECT_TRUE(store.currentMemoryConfigs().empty());
        EXPECT_EQ(store.intervalOfType(7, 60), 60);
        store.updateMemoryConfigs({{7, "90"}});
        EXPECT_EQ(ZemConfigManager::localConfigs(path_), (std::vector<ZemConfigModel>{{7, "90"}}));
        drainPosted();
    }
}

TEST_F(ConfigStore, MergesSavedFromTwoThreadsAllReachTheFile) {
    ZemConfigManager store(path_);
    int stale = 0;
    for (int round = 0; round < 300; ++round) {
        std::atomic<int> ready{0};
        auto merge = [&](int64_t type) {
            ++ready;
            while (ready.load() < 2) {
            }
            store.updateMemoryConfig({type, std::to_string(round)}, true);
        };
        std::thread a(merge, 20);
        std::thread b(merge, 21);
        a.join();
        b.join();
        if (ZemConfigManager::localConfigs(path_) != store.currentMemoryConfigs()) ++stale;
    }
    EXPECT_EQ(stale, 0) << "rounds whose file missed a merge";
    auto stored = ZemConfigManager::localConfigs(path_);
    std::sort(stored.begin(), stored.end(),
              [](const ZemConfigModel& a, const ZemConfigModel& b) { return a.configType < b.configType; });
    EXPECT_EQ(stored, (std::vector<ZemConfigModel>{{20, "299"}, {21, "299"}}));
}

}  // namespace
