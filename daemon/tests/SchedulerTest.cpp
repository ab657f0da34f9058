// The scheduler's wheel, re-slotting, memory guard and watchdog, driven by explicit ticks and an
// injected clock; the link is replaced by a core that records what it is asked to send.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/dispatch/MainLoop.h"
#include "daemon/endpoints/VendedObjects.h"
#include "platform/ipc/NamedConnection.h"
#include "daemon/link/ZemCore.h"
#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "daemon/scheduler/CommonTimerManager.h"
#include "common/server/ZemNetworkInfoModel.h"
#include "daemon/store/ZemConfigManager.h"
#include "tests/support/TempRoot.h"

using common::LogCoreHelper;
using common::ZemNetworkInfoModel;
using hollin::CommonTimerManager;
using hollin::ZemConfigManager;
using hollin::ZemCore;
using hollin::ZemTimerModel;

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr double kStart = 1'700'000'000.0;

class RecordingCore : public ZemCore {
  public:
    explicit RecordingCore(const dispatch::Clock& clock) : clock_(clock) {}
    void sendHeartBeat() override { record("heartbeat"); }
    void sendHeartBeatExt() override { record("heartbeatext"); }
    bool sendUpdateRequest(uint64_t uFrom) override {
        record("upgrade" + std::to_string(uFrom));
        return false;
    }
    void sendGetCommPoliceIDs(bool byCommand) override { record(byCommand ? "policyid-cmd" : "policyid"); }
    void sendGetConfig(bool) override { record("config"); }
    void sendGetPoliceContent(const std::vector<int64_t>& ids, std::function<void()>) override {
        std::string what = "policycontent";
        for (int64_t id : ids) what += ":" + std::to_string(id);
        record(what);
    }
    void startListenConfigInfo() override {}
    // The server stays silent until the test answers through answerUpgradeState.
    void sendUpdateRequestByUserWithBlock(UpgradeStateBlock block) override {
        std::lock_guard lock(m_);
        upgradeBlock_ = std::move(block);
        upgradeAsked_.notify_all();
    }
    bool waitForUpgradeQuery() {
        std::unique_lock lock(m_);
        return upgradeAsked_.wait_for(lock, 10s, [&] { return static_cast<bool>(upgradeBlock_); });
    }
    void answerUpgradeState(const std::vector<uint8_t>& json) {
        UpgradeStateBlock block;
        {
            std::lock_guard lock(m_);
            block = std::move(upgradeBlock_);
        }
        if (block) block(json);
    }

    // Seconds after start at which each request was asked for.
    std::map<std::string, std::vector<int>> times() {
        std::lock_guard lock(m_);
        return times_;
    }

  private:
    void record(const std::string& what) {
        std::lock_guard lock(m_);
        times_[what].push_back(static_cast<int>(clock_.now() - kStart));
    }
    const dispatch::Clock& clock_;
    std::mutex m_;
    std::condition_variable upgradeAsked_;
    UpgradeStateBlock upgradeBlock_;
    std::map<std::string, std::vector<int>> times_;
};

class Scheduler : public ::testing::Test {
  protected:
    void SetUp() override {
        config_ = std::make_unique<ZemConfigManager>((root_ / "config.archive").string());
        core_ = std::make_shared<RecordingCore>(clock_);
    }
    void TearDown() override {
        scheduler_.reset();
        // The shared logger may still be writing into the temporary root.
        LogCoreHelper::sharedInstance().flush();
    }

    CommonTimerManager& make(std::function<void()> bridge = nullptr) {
        CommonTimerManager::Environment env;
        env.clock = &clock_;
        env.mainCore = core_;
        env.config = config_.get();
        env.registerNotifications = false;
        env.monitorUserLogin = std::move(bridge);
        env.probeNetworkType = [this](std::function<void(int64_t)>) { ++probes_; };
        env.businessCheck = [this] { business_.push_back(int(clock_.now() - kStart)); };
        env.submit = [](const std::shared_ptr<dispatch::WorkQueue>&, dispatch::Task t) { t(); };
        env.exitProcess = [this] { ++exits_; };
        env.memoryUsage = [this] {
            memoryChecks_.push_back(int(clock_.now() - kStart));
            return 1.0;
        };
        env.threadCount = [] { return 1; };
        scheduler_ = std::make_unique<CommonTimerManager>(env);
        return *scheduler_;
    }

    // Runs `seconds` ticks, one per simulated second, the first at second 0.
    void run(CommonTimerManager& s, int seconds) {
        for (int i = 0; i < seconds; ++i) {
            clock_.set(kStart + i);
            s.startRunloopTimer();
        }
    }

    static std::vector<int> every(int first, int period, int limit) {
        std::vector<int> v;
        for (int t = first; t < limit; t += period) v.push_back(t);
        return v;
    }

    testsupport::TempRoot tempRoot_{"rav-sched"};
    fs::path root_ = tempRoot_.path();
    dispatch::ManualClock clock_{kStart};
    std::unique_ptr<ZemConfigManager> config_;
    std::shared_ptr<RecordingCore> core_;
    std::unique_ptr<CommonTimerManager> scheduler_;
    std::atomic<int> probes_{0};
    std::atomic<int> exits_{0};
    std::vector<int> business_;
    std::vector<int> memoryChecks_;
};

// Runs the main queue until what was queued on it so far has run.
void drainMainQueue() {
    auto& loop = dispatch::MainLoop::shared();
    dispatch::WorkQueue::main()->dispatch([&loop] { loop.stop(); });
    loop.run();
}

// The task of a type and the slot list that holds it.
std::pair<int, ZemTimerModel> findTask(const CommonTimerManager& s, uint64_t type) {
    auto wheel = s.wheel();
    for (int i = 0; i < 60; ++i) {
        for (const auto& t : wheel[static_cast<size_t>(i)]) {
            if (t.timerType == type) return {i, t};
        }
    }
    return {-1, {}};
}

TEST_F(Scheduler, DefaultIntervalsGiveTheTimelineOfADay) {
    int bridgeRuns = 0;
    auto& s = make([&] { ++bridgeRuns; });
    const int day = 86400;
    auto begin = std::chrono::steady_clock::now();
    run(s, day);
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 1s);

    auto t = core_->times();
    EXPECT_EQ(t["heartbeat"], every(60, 120, day));
    EXPECT_EQ(t["heartbeatext"], every(124, 180, day));
    EXPECT_EQ(t["policyid"], every(302, 360, day));
    EXPECT_EQ(t["upgrade0"], every(305, 360, day));
    EXPECT_EQ(business_, every(71, 120, day));
    EXPECT_EQ(memoryChecks_, every(321, 360, day));
    EXPECT_EQ(bridgeRuns, day);
}

TEST_F(Scheduler, ServerIntervalsAtStartIncludingOnesUnderAMinute) {
    struct Case {
        int64_t type;
        const char* value;
        const char* request;
        std::vector<int> expected;
    } cases[] = {
        {7, "30", "heartbeat", every(30, 60, 400)},     {7, "1", "heartbeat", every(1, 60, 400)},
        {8, "90", "heartbeatext", every(90, 120, 400)}, {6, "59", "policyid", every(59, 60, 400)},
        {7, "-5", "heartbeat", every(60, 120, 400)},  // unusable: the default
        {7, "1e12", "heartbeat", every(60, 120, 400)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.request) + "=" + c.value);
        config_->updateMemoryConfig({c.type, c.value}, false);
        core_ = std::make_shared<RecordingCore>(clock_);
        auto& s = make();
        run(s, 400);
        EXPECT_EQ(core_->times()[c.request], c.expected);
        config_ = std::make_unique<ZemConfigManager>((root_ / "none.archive").string());
    }
}

TEST_F(Scheduler, NetworkProbeEveryTwentyTicksAndBridgeFirstInEachTick) {
    std::vector<std::string> order;
    auto& s = make([&] { order.push_back("bridge"); });
    run(s, 61);
    // The probe goes to the global queue: wait for its 4 calls (ticks 0, 20, 40, 60).
    for (int i = 0; i < 200 && probes_.load() < 4; ++i) std::this_thread::sleep_for(10ms);
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(probes_.load(), 4);
    EXPECT_EQ(order.size(), 61u);
    EXPECT_EQ(s.timercount(), 1);
}

TEST_F(Scheduler, RestartNotificationChangesTheTaskButNotItsSlot) {
    auto& s = make();
    auto slotOf = [&](uint64_t type) -> std::pair<int, ZemTimerModel> {
        auto wheel = s.wheel();
        for (int i = 0; i < 60; ++i) {
            for (const auto& t : wheel[static_cast<size_t>(i)]) {
                if (t.timerType == type) return {i, t};
            }
        }
        return {-1, {}};
    };
    ASSERT_EQ(slotOf(0).first, 0);
    config_->updateMemoryConfig({7, "150"}, false);

    struct Case {
        archive::Value previous;
        int interval;  // the task's interval afterwards
    } cases[] = {
        {archive::Null{}, 60},        // first server value: nothing until the next start
        {archive::Value("150"), 60},  // slot 30 holds no heartbeat
        {archive::Value("-30"), 60},  // slot -30: outside the wheel
        {archive::Value("60"), 150},
    };
    for (const auto& c : cases) {
        s.restartHeartBeat(dispatch::Notification{"heartbeat_restart_notification", c.previous, {}});
        auto [slot, task] = slotOf(0);
        EXPECT_EQ(slot, 0);
        EXPECT_EQ(task.timeInterval, c.interval);
    }
    auto [slot, task] = slotOf(0);
    EXPECT_EQ(task.runCycle, 2);
    EXPECT_EQ(task.perTimeInterval, 30);

    // The task still runs from slot 0, now every (150/60 + 1) minutes.
    run(s, 400);
    EXPECT_EQ(core_->times()["heartbeat"], (std::vector<int>{120, 300}));
}

TEST_F(Scheduler, MemoryGuardThresholds) {
    struct Case {
        double memory;
        int32_t threads;
        bool exits;
    } cases[] = {{100.0, 10, false}, {100.01, 10, true}, {20.0, 49, false}, {20.0, 50, true}};
    for (const auto& c : cases) {
        CommonTimerManager::Environment env;
        env.clock = &clock_;
        env.mainCore = core_;
        env.config = config_.get();
        env.registerNotifications = false;
        env.memoryUsage = [&] { return c.memory; };
        env.threadCount = [&] { return c.threads; };
        env.exitProcess = [this] { ++exits_; };
        CommonTimerManager s(env);
        exits_ = 0;
        s.checkProcessMemUsage();
        EXPECT_EQ(exits_.load(), c.exits ? 1 : 0) << c.memory << " MiB, " << c.threads << " threads";
    }
}

TEST_F(Scheduler, MemoryGuardReadsTheRealFiguresOfThisProcess) {
    CommonTimerManager::Environment env;
    env.clock = &clock_;
    env.mainCore = core_;
    env.config = config_.get();
    env.registerNotifications = false;
    env.exitProcess = [this] { ++exits_; };
    env.maxThreads = 1;  // this test process has more than one thread
    CommonTimerManager s(env);
    s.checkProcessMemUsage();
    EXPECT_EQ(exits_.load(), 1);
}

TEST_F(Scheduler, StallRestartFromTheProtectConnectionAndTheMainLoopLeavesOneTimer) {
    std::atomic<int> ticks{0};
    auto& s = make([&] { ++ticks; });
    s.registerClientConnection();
    s.createCommonTimer();
    auto proxy = ipc::ConnectionProxy::lookup(endpoints::kHeartbeatProtectConnection);
    ASSERT_TRUE(proxy);

    // Not stalled yet: the liveness call changes nothing.
    ASSERT_TRUE(proxy->call("checkValidOfHearbeat").ok());
    EXPECT_EQ(s.timerGeneration(), 1);

    clock_.advance(601);
    std::thread mainLoopSide([&] { s.checkRunloopTimerIsRunning(); });
    auto result = proxy->call("checkValidOfHearbeat");
    mainLoopSide.join();
    EXPECT_TRUE(result.ok());
    EXPECT_GE(s.timerGeneration(), 2);
    EXPECT_TRUE(s.hasLiveTimer());

    // One live source ticks about once a second; two would double the count.
    ticks = 0;
    std::this_thread::sleep_for(2500ms);
    EXPECT_GE(ticks.load(), 2);
    EXPECT_LE(ticks.load(), 4);
}

TEST_F(Scheduler, ThreeConnectionsAreVendedWithTheirMethods) {
    auto& s = make();
    s.registerClientConnection();
    for (const char* name : {endpoints::kHeartbeatProtectConnection, endpoints::kUpgradeProxyConnection,
                             endpoints::kClientConfigConnection}) {
        EXPECT_TRUE(ipc::ConnectionProxy::lookup(name)) << name;
    }
    auto client = ipc::ConnectionProxy::lookup(endpoints::kClientConfigConnection);
    auto url = client->call("fetchServersUrl");
    ASSERT_TRUE(url.ok());
    EXPECT_EQ(url.value->string()->rfind("http://", 0), 0u);
}

TEST_F(Scheduler, EachIntervalHandlerReslotsOnlyItsOwnTask) {
    using Handler = void (CommonTimerManager::*)(const dispatch::Notification&);
    struct Case {
        const char* name;
        Handler handler;
        uint64_t task;
        int64_t configType;
        const char* previous;  // the default, whose slot holds the task
    } cases[] = {
        {"upgrade", &CommonTimerManager::restartUpgradeTimer, 3, 3, "305"},
        {"policy", &CommonTimerManager::restartPolicyTimer, 2, 6, "302"},
        {"heartbeat", &CommonTimerManager::restartHeartBeat, 0, 7, "60"},
        {"extended heartbeat", &CommonTimerManager::restartHeartBeatExt, 1, 8, "124"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        scheduler_.reset();
        config_ = std::make_unique<ZemConfigManager>((root_ / (std::string(c.name) + ".archive")).string());
        auto& s = make();
        const auto before = s.wheel();
        config_->updateMemoryConfig({c.configType, "425"}, false);

        // A previous value whose slot does not hold the task changes nothing.
        (s.*c.handler)(dispatch::Notification{"", archive::Value("7"), {}});
        EXPECT_EQ(findTask(s, c.task).second.timeInterval, std::stoi(c.previous));

        (s.*c.handler)(dispatch::Notification{"", archive::Value(c.previous), {}});
        auto [slot, task] = findTask(s, c.task);
        EXPECT_EQ(slot, std::stoi(c.previous) % 60);
        EXPECT_EQ(task.timeInterval, 425);
        EXPECT_EQ(task.runCycle, 7);
        EXPECT_EQ(task.perTimeInterval, 5);
        // No other task moved or changed.
        auto after = s.wheel();
        for (size_t i = 0; i < after.size(); ++i) {
            for (size_t j = 0; j < after[i].size(); ++j) {
                if (after[i][j].timerType == c.task) continue;
                EXPECT_EQ(after[i][j].timeInterval, before[i][j].timeInterval);
                EXPECT_EQ(after[i][j].runCycle, before[i][j].runCycle);
            }
        }
    }
    drainMainQueue();  // the store's own announcements
}

TEST_F(Scheduler, ProbeResultIsStoredAndAChangeAnnounced) {
    std::mutex m;
    std::vector<std::string> announced;
    auto observer = dispatch::NotificationCenter::defaultCenter().addObserver(
        "changed_networktype_notification", nullptr, [&](const dispatch::Notification& n) {
            std::lock_guard lock(m);
            announced.push_back(std::to_string(n.object.integer().value_or(-1)));
        });
    struct Case {
        const char* what;
        std::optional<int64_t> stored;  // the record before the probe; none: no record
        int64_t probed;
        int64_t storedAfter;
        std::vector<std::string> announced;
    } cases[] = {
        {"no record: a new one, nothing announced", std::nullopt, 1, 1, {}},
        {"intranet to extranet", 0, 1, 1, {"1"}},
        {"unchanged", 1, 1, 1, {}},
        {"any other value maps to 2", 1, 7, 2, {"7"}},
        {"2 stays 2", 2, 5, 2, {}},
        {"back to intranet", 2, 0, 0, {"0"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ZemNetworkInfoModel::deleteCurrentNetModelRecord();
        if (c.stored) {
            ZemNetworkInfoModel record;
            record.networkType = *c.stored;
            record.record_server = "10.0.0.1";
            ASSERT_TRUE(record.saveModelRecord());
        }
        std::atomic<bool> handled{false};
        CommonTimerManager::Environment env;
        env.clock = &clock_;
        env.mainCore = core_;
        env.config = config_.get();
        env.registerNotifications = false;
        env.probeNetworkType = [&](std::function<void(int64_t)> result) {
            result(c.probed);
            handled = true;
        };
        CommonTimerManager s(env);
        s.Get_network_type();
        auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!handled && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(5ms);
        ASSERT_TRUE(handled);
        drainMainQueue();
        auto record = ZemNetworkInfoModel::currentNetRecord();
        ASSERT_TRUE(record);
        EXPECT_EQ(record->networkType, c.storedAfter);
        std::lock_guard lock(m);
        EXPECT_EQ(std::exchange(announced, {}), c.announced);
    }
    dispatch::NotificationCenter::defaultCenter().removeObserver(observer);
}

TEST_F(Scheduler, TheEightObserversReachTheirHandlersOnTheMainQueue) {
    CommonTimerManager::Environment env;
    env.clock = &clock_;
    env.mainCore = core_;
    env.config = config_.get();
    env.submit = [](const std::shared_ptr<dispatch::WorkQueue>&, dispatch::Task t) { t(); };
    scheduler_ = std::make_unique<CommonTimerManager>(env);
    CommonTimerManager& s = *scheduler_;
    drainMainQueue();  // the observers are added on the main queue
    for (auto [type, value] : {std::pair{3, "400"}, {6, "500"}, {7, "90"}, {8, "200"}})
        config_->updateMemoryConfig({type, value}, false);

    auto& center = dispatch::NotificationCenter::defaultCenter();
    struct Case {
        const char* name;
        archive::Value object;
        std::function<void()> check;
    } cases[] = {
        {"upgrade_restart_notification", archive::Value("305"),
         [&] { EXPECT_EQ(findTask(s, 3).second.timeInterval, 400); }},
        {"get_config_restart_notification", archive::Value("302"),
         [&] { EXPECT_EQ(findTask(s, 2).second.timeInterval, 500); }},
        {"heartbeat_restart_notification", archive::Value("60"),
         [&] { EXPECT_EQ(findTask(s, 0).second.timeInterval, 90); }},
        {"heartbeat_ext_restart_notification", archive::Value("124"),
         [&] { EXPECT_EQ(findTask(s, 1).second.timeInterval, 200); }},
        {"start_getpolicycontent_notification",
         archive::Value(archive::Array{archive::Value(int64_t{4}), archive::Value(int64_t{9})}),
         [&] { EXPECT_EQ(core_->times()["policycontent:4:9"].size(), 1u); }},
        {"start_getupgrade_fromheart_notification", archive::Null{},
         [&] { EXPECT_EQ(core_->times()["upgrade1"].size(), 1u); }},
        {"start_getpolicy_fromheart_notification", archive::Null{},
         [&] { EXPECT_EQ(core_->times()["policyid-cmd"].size(), 1u); }},
        {"start_getconfig_fromheart_notification", archive::Null{},
         [&] { EXPECT_EQ(core_->times()["config"].size(), 1u); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        center.post(c.name, c.object);
        drainMainQueue();
        c.check();
    }
    // A policy-content notification without a list of ids sends nothing.
    center.post("start_getpolicycontent_notification", archive::Value("not a list"));
    drainMainQueue();
    EXPECT_EQ(core_->times().count("policycontent"), 0u);

    // Once the scheduler is gone its observers are too.
    scheduler_.reset();
    center.post("start_getconfig_fromheart_notification", archive::Null{});
    drainMainQueue();
    EXPECT_EQ(core_->times()["config"].size(), 1u);
}

TEST_F(Scheduler, ObserversQueuedForADestroyedSchedulerAreNeverAdded) {
    CommonTimerManager::Environment env;
    env.clock = &clock_;
    env.mainCore = core_;
    env.config = config_.get();
    { CommonTimerManager gone(env); }  // destroyed before the main queue ran its task
    drainMainQueue();
    dispatch::NotificationCenter::defaultCenter().post("start_getconfig_fromheart_notification",
                                                       archive::Null{});
    drainMainQueue();
    EXPECT_EQ(core_->times().count("config"), 0u);
}

TEST_F(Scheduler, UserAppPresenceFollowsAProcessRunningTheAppExecutable) {
    const std::string app = paths::uiAppExecutable();
    fs::create_directories(fs::path(app).parent_path());
    fs::copy_file("/bin/sleep", app);
    EXPECT_FALSE(CommonTimerManager::isUserAppExist());
    pid_t pid = ::fork();
    if (pid == 0) {
        ::execl(app.c_str(), app.c_str(), "30", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ASSERT_GT(pid, 0);
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!CommonTimerManager::isUserAppExist() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(10ms);
    EXPECT_TRUE(CommonTimerManager::isUserAppExist());
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    EXPECT_FALSE(CommonTimerManager::isUserAppExist());
}

// Each connection has its own thread: the upgrade app's wait for the server does not hold up the
// liveness call of the -protect job or the client's server query.
TEST_F(Scheduler, AWaitingUpgradeQueryDoesNotBlockTheOtherConnections) {
    CommonTimerManager::Environment env;
    env.clock = &clock_;
    env.mainCore = core_;
    env.config = config_.get();
    env.registerNotifications = false;
    scheduler_ = std::make_unique<CommonTimerManager>(env);
    scheduler_->registerClientConnection();
    auto upgrade = ipc::ConnectionProxy::lookup(endpoints::kUpgradeProxyConnection);
    auto protect = ipc::ConnectionProxy::lookup(endpoints::kHeartbeatProtectConnection);
    auto client = ipc::ConnectionProxy::lookup(endpoints::kClientConfigConnection);
    ASSERT_TRUE(upgrade && protect && client);

    std::optional<ipc::CallResult> upgradeResult;
    std::thread app([&] { upgradeResult = upgrade->call("getUpgradeStateFromServer", {}, 30); });
    // The query is in the link's hands and unanswered: the other two are served meanwhile.
    const bool asked = core_->waitForUpgradeQuery();
    EXPECT_TRUE(asked);
    EXPECT_TRUE(protect->call("checkValidOfHearbeat", {}, 5).ok());
    EXPECT_TRUE(client->call("fetchServersUrl", {}, 5).ok());
    const std::string json = R"({"type":0})";
    core_->answerUpgradeState(std::vector<uint8_t>(json.begin(), json.end()));
    app.join();
    ASSERT_TRUE(upgradeResult && upgradeResult->ok());
    const archive::Data* data = upgradeResult->value->data();
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data->begin(), data->end()), json);
}

}  // namespace

// A configuration reply that changes an interval re-slots the running task through the store's
// own notification, with no other help.
TEST_F(Scheduler, AConfigurationReplyReslotsTheRunningHeartbeat) {
    config_->updateMemoryConfig({7, "60"}, false);
    drainMainQueue();
    CommonTimerManager::Environment env;
    env.clock = &clock_;
    env.mainCore = core_;
    env.config = config_.get();
    env.submit = [](const std::shared_ptr<dispatch::WorkQueue>&, dispatch::Task t) { t(); };
    scheduler_ = std::make_unique<CommonTimerManager>(env);
    CommonTimerManager& s = *scheduler_;
    drainMainQueue();  // the observers are added on the main queue
    ASSERT_EQ(findTask(s, 0).second.timeInterval, 60);
    config_->updateMemoryConfigs({{7, "90"}});
    drainMainQueue();  // the store's post
    drainMainQueue();  // the observer's delivery
    EXPECT_EQ(findTask(s, 0).second.timeInterval, 90);
}
