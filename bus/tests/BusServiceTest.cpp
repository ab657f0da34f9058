// The service's own logic: the message port's answers, the timer's tick order and watchdog limits,
// the entry point's exit statuses, and the policy-state cache in a temporary root.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "tests/support/TempRoot.h"
#include "platform/archive/Plist.h"
#include "bus/BusMain.h"
#include "bus/CommonTimerHelp.h"
#include "bus/PolicyStateReportManager.h"
#include "bus/ZemDataReportManager.h"
#include "platform/dispatch/ManualTime.h"
#include "common/server/ZemServerConfig.h"

using common::ZemServerConfig;

namespace fs = std::filesystem;
using archive::Array;
using archive::Dictionary;

TEST(report_service, MessagePortAnswers) {
    struct Case {
        int32_t msgid;
        std::optional<std::string> data;
        const char* reply;
    } cases[] = {{2000, "x", "1"},
                 {2000, "", "-1"},
                 {2000, std::nullopt, "-3"},
                 {7, "x", "0"},
                 {0, std::nullopt, "0"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.msgid) + " " + c.data.value_or("<absent>"));
        EXPECT_EQ(bus::busPortReply(c.msgid, c.data), c.reply);
    }
}

TEST(report_service, WatchdogLimits) {
    struct Case {
        double memory;
        int32_t threads;
        bool exits;
    } cases[] = {
        {100.0, 10, false}, {100.1, 10, true}, {50.0, 49, false}, {50.0, 50, true},
        {50.0, -1, false},  {0.0, -1, false},  {200.0, -1, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.memory) + " MiB, " + std::to_string(c.threads) + " threads");
        EXPECT_EQ(CommonTimerHelp::overLimits(c.memory, c.threads), c.exits);
        std::vector<int> exits;
        CommonTimerHelp timer({.collectAccessLogs = {},
                               .scheduleRequest = {},
                               .resendCache = {},
                               .memoryMiB = [&] { return c.memory; },
                               .threadCount = [&] { return c.threads; },
                               .exit = [&](int status) { exits.push_back(status); }});
        timer.checkProcessMemUsage();
        EXPECT_EQ(exits, c.exits ? std::vector<int>{0} : std::vector<int>{});
    }
}

TEST(report_service, TicksRequestTheScheduleEveryThirdTickAndRunTheRestEveryTick) {
    std::vector<std::string> calls;
    std::mutex resendMutex;
    std::condition_variable resent;
    int resends = 0;
    int exits = 0;
    CommonTimerHelp timer({.collectAccessLogs = [&] { calls.push_back("collect"); },
                           .scheduleRequest = [&] { calls.push_back("schedule"); },
                           .resendCache =
                               [&] {
                                   std::lock_guard lock(resendMutex);
                                   ++resends;
                                   resent.notify_all();
                               },
                           .memoryMiB = [] { return 10.0; },
                           .threadCount = [] { return 5; },
                           .exit = [&](int) { ++exits; }});
    std::vector<int32_t> counts;
    for (int i = 0; i < 13; ++i) {
        timer.tick();
        counts.push_back(timer.timerCount());
    }
    EXPECT_EQ(counts, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 0, 1}));
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "collect"), 13);
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "schedule"), 4);  // ticks 3, 6, 9, 12
    // The collection of each tick comes before its schedule request.
    EXPECT_EQ((std::vector<std::string>(calls.begin(), calls.begin() + 4)),
              (std::vector<std::string>{"collect", "collect", "collect", "schedule"}));
    std::unique_lock lock(resendMutex);
    EXPECT_TRUE(resent.wait_for(lock, std::chrono::seconds(20), [&] { return resends == 13; }));
    EXPECT_EQ(exits, 0);
}

TEST(report_service, EntryExitStatuses) {
    struct Case {
        std::vector<std::string> args;
        uid_t uid;
        int status;
    } cases[] = {
        {{"Tamber"}, 0, 0},
        {{"Tamber"}, 501, 0},
        {{"Tamber", "-run"}, 501, -1},
        {{"Tamber", "-other"}, 501, -1},
        {{"Tamber", "-other"}, 0, 0},
        {{"Tamber", "run"}, 0, 0},
    };
    for (const auto& c : cases) {
        std::vector<char*> argv;
        for (const auto& a : c.args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        SCOPED_TRACE(c.args.back() + " uid " + std::to_string(c.uid));
        EXPECT_EQ(busMain(static_cast<int>(c.args.size()), argv.data(), c.uid), c.status);
    }
}

namespace {

// A temporary root with no server configured: every report fails at once and is cached.
class report_cache : public ::testing::Test {
  protected:
    void SetUp() override {
        temp_.emplace("report-cache");
        root_ = temp_->path();
    }
    void TearDown() override { temp_.reset(); }

    static Array states(int first, int count) {
        Array out;
        for (int i = first; i < first + count; ++i)
            out.push_back(Dictionary{{"policyId", i}, {"runState", "2"}});
        return out;
    }
    static std::vector<std::string> files() {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(PolicyStateReportManager::cacheFolder(), ec))
            names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
    static Array cached() {
        Array all;
        for (const auto& name : files()) {
            auto value = archive::readPlistFile(PolicyStateReportManager::cacheFolder() + "/" + name);
            if (value && value->array())
                all.insert(all.end(), value->array()->begin(), value->array()->end());
        }
        return all;
    }
    void writeCacheFile(const std::string& name, const Array& items) {
        fs::create_directories(PolicyStateReportManager::cacheFolder());
        ASSERT_TRUE(archive::writePlistFile(archive::Value(items),
                                            PolicyStateReportManager::cacheFolder() + "/" + name));
    }

    std::optional<testsupport::TempRoot> temp_;
    std::string root_;
};

}  // namespace

TEST_F(report_cache, ReadStopsAtTwentyOneAndRemovesWhatItRead) {
    for (int f = 0; f < 4; ++f)
        writeCacheFile("policystate-2026010100000" + std::to_string(f), states(f * 10, 10));
    writeCacheFile(".hidden", states(100, 1));
    const auto read = PolicyStateReportManager::getUploadedPolicyStateFromDisk();
    ASSERT_TRUE(read.has_value());
    ASSERT_EQ(read->size(), 30u);
    EXPECT_EQ(read->front(), (Dictionary{{"policyId", 0}, {"runState", "2"}}));
    EXPECT_EQ(files(), (std::vector<std::string>{".hidden", "policystate-20260101000003"}));
}

TEST_F(report_cache, UnreadableFilesAreRemovedAndMissingFolderGivesNothing) {
    EXPECT_FALSE(PolicyStateReportManager::getUploadedPolicyStateFromDisk().has_value());
    fs::create_directories(PolicyStateReportManager::cacheFolder());
    EXPECT_FALSE(PolicyStateReportManager::getUploadedPolicyStateFromDisk().has_value());
    std::ofstream(PolicyStateReportManager::cacheFolder() + "/policystate-1") << "not a plist";
    writeCacheFile("policystate-2", states(1, 2));
    const auto read = PolicyStateReportManager::getUploadedPolicyStateFromDisk();
    ASSERT_TRUE(read.has_value());
    EXPECT_EQ(read->size(), 2u);
    EXPECT_TRUE(files().empty());
}

TEST_F(report_cache, TwoSavesInOneSecondKeepBoth) {
    ASSERT_TRUE(PolicyStateReportManager::saveUploadedPolicyState(states(0, 1)));
    ASSERT_TRUE(PolicyStateReportManager::saveUploadedPolicyState(states(1, 1)));
    ASSERT_TRUE(PolicyStateReportManager::saveUploadedPolicyState(states(2, 1)));
    EXPECT_EQ(cached().size(), 3u);
    for (const auto& name : files()) EXPECT_EQ(name.rfind("policystate-", 0), 0u) << name;
}

TEST_F(report_cache, FailedReportCachesMergedListOrOnlyTheIncomingOnes) {
    struct Case {
        int incoming, cachedBefore;
        size_t cachedAfter;
    } cases[] = {{25, 10, 25}, {20, 9, 29}, {0, 0, 0}, {3, 0, 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.incoming) + " incoming, " + std::to_string(c.cachedBefore) + " cached");
        std::error_code ec;
        fs::remove_all(PolicyStateReportManager::cacheFolder(), ec);
        if (c.cachedBefore) writeCacheFile("policystate-20200101000000", states(1000, c.cachedBefore));
        ZemServerConfig noServer;
        ZemDataReportManager manager(
            std::make_shared<ZemBusCore>(&noServer, bus::HeadFacts{"5.0.0.1", {}, {}}));
        std::optional<bool> outcome;
        manager.reportGetPolicyState(states(0, c.incoming), [&](bool ok) { outcome = ok; });
        ASSERT_EQ(outcome, false);  // without a server the report fails at once
        const Array after = cached();
        EXPECT_EQ(after.size(), c.cachedAfter);
        if (c.incoming) {
            EXPECT_EQ(after.front(), states(0, 1).front());
        }
    }
}

TEST(report_service, TimerRequestsScheduleAtStartAndEveryFifteenMinutes) {
    dispatch::ManualTime time;
    std::atomic<int> collects{0}, schedules{0}, resends{0};
    CommonTimerHelp timer({.collectAccessLogs = [&] { ++collects; },
                           .scheduleRequest = [&] { ++schedules; },
                           .resendCache = [&] { ++resends; },
                           .memoryMiB = [] { return 10.0; },
                           .threadCount = [] { return 5; },
                           .exit = [](int) {}});
    timer.startTimer();
    auto drain = [&] { timer.queue()->dispatchSync([] {}); };
    drain();
    EXPECT_EQ(schedules, 1);  // at start, before any tick

    time.advance(std::chrono::seconds(299));
    drain();
    EXPECT_EQ(collects, 0);
    for (int tick = 1; tick <= 3; ++tick) {
        time.advance(tick == 1 ? std::chrono::seconds(1) : std::chrono::seconds(300));
        drain();
        EXPECT_EQ(collects, tick);
    }
    // 15 minutes: the schedule at start and at the third tick; three cache re-sends.
    EXPECT_EQ(schedules, 2);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (resends < 3 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(resends, 3);
}

TEST_F(report_cache, JsonReportsPassOnlyArrays) {
    struct Case {
        const char* json;
        size_t cachedAfter;
    } cases[] = {
        {R"([{"policyId": 5, "runState": "1"}, {"policyId": "6"}])", 2},
        {R"({"policyId": 5})", 0},
        {"[not json", 0},
        {"", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.json);
        std::error_code ec;
        fs::remove_all(PolicyStateReportManager::cacheFolder(), ec);
        ZemServerConfig noServer;
        ZemDataReportManager manager(
            std::make_shared<ZemBusCore>(&noServer, bus::HeadFacts{"5.0.0.1", {}, {}}));
        manager.reportPolicyStates(c.json);
        EXPECT_EQ(cached().size(), c.cachedAfter);
    }
}
