// The scheduler's wheel, re-slotting, memory guard and watchdog, driven by explicit ticks and an
// injected clock; the link is replaced by a core that records what it is asked to send.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "endpoints/VendedObjects.h"
#include "ipc/NamedConnection.h"
#include "link/ZemCore.h"
#include "logger/RotatingLogger.h"
#include "scheduler/CommonTimerManager.h"
#include "store/ZemConfigManager.h"

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
    void startListenConfigInfo() override {}

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
    std::map<std::string, std::vector<int>> times_;
};

class Scheduler : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/rav-sched-XXXXXX";
        root_ = mkdtemp(tmpl);
        setenv("RAVAVIZA_ROOT", root_.c_str(), 1);
        config_ = std::make_unique<ZemConfigManager>((root_ / "config.archive").string());
        core_ = std::make_shared<RecordingCore>(clock_);
    }
    void TearDown() override {
        scheduler_.reset();
        unsetenv("RAVAVIZA_ROOT");
        // The shared logger may still be writing into the temporary root.
        LogCoreHelper::sharedInstance().flush();
        std::error_code ec;
        fs::remove_all(root_, ec);
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

    fs::path root_;
    dispatch::ManualClock clock_{kStart};
    std::unique_ptr<ZemConfigManager> config_;
    std::shared_ptr<RecordingCore> core_;
    std::unique_ptr<CommonTimerManager> scheduler_;
    std::atomic<int> probes_{0};
    std::atomic<int> exits_{0};
    std::vector<int> business_;
};

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

}  // namespace
