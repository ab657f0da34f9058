// The -protect job's tick and the -run job's liveness reloads against our launchd in a temporary
// root, with stand-in programs in the places of the real ones. Ticks are called directly.
#include <signal.h>

#include <atomic>
#include <mutex>

#include "SupervisionRoot.h"
#include "daemon/supervise/LaunchJobs.h"
#include "daemon/supervise/ProcessHelper.h"
#include "platform/process/ProcessList.h"
#include "daemon/supervise/ProcessUtil.h"
#include "daemon/supervise/ZemBusinessManager.h"

using hollin::ProcessHelper;
using hollin::ProcessUtil;
using hollin::ZemBusinessManager;

namespace {

using namespace supervisetest;

class Watchdog : public SupervisionRoot {
  protected:
    // A watchdog whose outside calls are counted and whose delayed work is kept, not run.
    ProcessHelper::Environment environment() {
        ProcessHelper::Environment env;
        env.memoryUsage = [this] {
            memoryChecks_.fetch_add(1);
            return memory_.load();
        };
        env.threadCount = [this] { return threads_.load(); };
        env.exitProcess = [this] { exits_.fetch_add(1); };
        env.after = [this](std::chrono::milliseconds, std::function<void()>) { delayed_.fetch_add(1); };
        env.background = [](std::function<void()> work) { work(); };
        env.checkHeartbeatRunning = [this] {
            probes_.fetch_add(1);
            return true;
        };
        env.userName = [] { return std::string("unknown-user-of-no-account"); };
        env.createProtectCore = false;
        return env;
    }

    std::string daemonExe() const { return paths::daemonExecutable(); }

    std::atomic<int> memoryChecks_{0}, exits_{0}, delayed_{0}, probes_{0};
    std::atomic<double> memory_{10.0};
    std::atomic<int32_t> threads_{5};
};

TEST_F(Watchdog, TicksProbeEveryFourthAndCheckMemoryEveryTenthOfAnElevenTickCycle) {
    ProcessHelper helper(environment());
    std::vector<int32_t> counts;
    std::vector<int> probeTicks, memoryTicks;
    for (int minute = 0; minute < 23; ++minute) {
        const int probesBefore = probes_.load(), memoryBefore = memoryChecks_.load();
        counts.push_back(helper.timerCount());
        helper.tick();
        // The probe runs on its own queue: wait until it has run when it was due.
        const bool probeDue = counts.back() > 0 && counts.back() % 4 == 0;
        if (probeDue) {
            ASSERT_TRUE(waitFor([&] { return probes_.load() == probesBefore + 1; })) << minute;
        }
        if (probes_.load() > probesBefore) probeTicks.push_back(minute);
        if (memoryChecks_.load() > memoryBefore) memoryTicks.push_back(minute);
    }
    EXPECT_EQ(counts, (std::vector<int32_t>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0}));
    EXPECT_EQ(probeTicks, (std::vector<int>{4, 8, 15, 19}));
    EXPECT_EQ(memoryTicks, (std::vector<int>{10, 21}));
    EXPECT_EQ(exits_.load(), 0);
    EXPECT_EQ(delayed_.load(), 23) << "no UI app runs: every tick asks again 30 s later";
}

TEST_F(Watchdog, MemoryCheckEndsTheProcessOnlyOverItsLimits) {
    struct Case {
        double memory;
        int32_t threads;
        bool exits;
    } cases[] = {
        {100.0, 49, false},
        {100.0, 50, true},
        {100.01, 1, true},
        {99.0, 51, true},
        {0.0, -1, false},  // figures that could not be read
    };
    for (const Case& c : cases) {
        ProcessHelper helper(environment());
        memory_ = c.memory;
        threads_ = c.threads;
        exits_ = 0;
        helper.checkMemory();
        EXPECT_EQ(exits_.load(), c.exits ? 1 : 0) << c.memory << " MiB, " << c.threads << " threads";
    }
}

TEST_F(Watchdog, KilledRunJobIsStartedAgainOnTheNextTick) {
    startLaunchd();
    placeStandIn(daemonExe());
    writeJob(supervise::kRunJobLabel, {machinePath(daemonExe()), "-run"});
    ASSERT_TRUE(supervise::loadJob(supervise::jobFile(supervise::kRunJobLabel)).ok);
    ASSERT_TRUE(waitFor([] { return ProcessUtil::isZemClientExist(); }));
    const pid_t first = jobPid(supervise::kRunJobLabel);
    ASSERT_GT(first, 0);

    ProcessHelper helper(environment());
    helper.tick();
    EXPECT_EQ(jobPid(supervise::kRunJobLabel), first) << "a running job is left alone";

    ASSERT_EQ(::kill(first, SIGKILL), 0);
    ASSERT_TRUE(waitFor([] { return jobPid(supervise::kRunJobLabel) == 0; })) << "still loaded, not running";
    EXPECT_FALSE(ProcessUtil::isZemClientExist());

    helper.tick();
    ASSERT_TRUE(waitFor([] { return jobPid(supervise::kRunJobLabel) > 0 && ProcessUtil::isZemClientExist(); }));
    EXPECT_NE(jobPid(supervise::kRunJobLabel), first);

    // Unloaded altogether: the tick loads its job file again.
    ASSERT_TRUE(supervise::unloadJob(supervise::jobFile(supervise::kRunJobLabel)).ok);
    EXPECT_EQ(jobPid(supervise::kRunJobLabel), -1);
    helper.tick();
    EXPECT_TRUE(waitFor([] { return jobPid(supervise::kRunJobLabel) > 0; }));
}

TEST_F(Watchdog, RunProcessIsKnownByItsExecutableAndItsLastArgument) {
    placeStandIn(daemonExe());
    const std::string other = (root_ / "bin/other").string();
    placeStandIn(other);
    struct Case {
        std::string program;
        std::vector<std::string> args;
        std::string argv0;
        bool counts;
    } cases[] = {
        {daemonExe(), {"-run"}, "", true},
        {daemonExe(), {"-run", "-verbose"}, "", false},
        {daemonExe(), {"-protect"}, "", false},
        // Another program that names itself after the daemon is not the daemon.
        {other, {"-run"}, daemonExe(), false},
        {other, {daemonExe(), "-run"}, "", false},
    };
    for (const Case& c : cases) {
        pid_t pid = startProcess(c.program, c.args, c.argv0);
        EXPECT_EQ(ProcessUtil::isZemClientExist(), c.counts) << c.program << " " << c.args.back();
        ::kill(pid, SIGKILL);
        ASSERT_TRUE(waitFor([&] { return ended(pid); }));
    }
}

TEST_F(Watchdog, LabelIsFoundAsPartOfALongerLabel) {
    startLaunchd();
    writeJob("com.velmora.Stoven.Daemon.Extra", {"/bin/sleep", "60"});
    ASSERT_TRUE(supervise::loadJob(supervise::jobFile("com.velmora.Stoven.Daemon.Extra")).ok);
    EXPECT_TRUE(ProcessUtil::checkHeartBeatService("com.velmora.Stoven.Daemon"));
    EXPECT_FALSE(ProcessUtil::checkHeartBeatService("com.velmora.Hollin.Daemon"));
    EXPECT_FALSE(ProcessUtil::checkHeartBeatService(""));
}

TEST_F(Watchdog, MissingRunJobFileIsOnlyLogged) {
    startLaunchd();
    ProcessHelper helper(environment());
    helper.tick();
    EXPECT_EQ(jobPid(supervise::kRunJobLabel), -1);
}

TEST_F(Watchdog, VpnAgentFollowsTheLoginRecordAndTheUiApp) {
    const std::string agent = paths::uiAppBundle() + "/Contents/RQL/Nimbrel";
    placeStandIn(agent);
    placeStandIn(paths::uiAppExecutable());
    auto home = paths::homeFolder("nobody");
    ASSERT_TRUE(home);
    const std::string record = *home + "/Library/Application Support/RavAvizaL/login.archive";
    struct Case {
        bool record, agentRuns, uiRuns;
        int stops, starts;
    } cases[] = {
        {false, true, true, 1, 0}, {false, false, true, 0, 0}, {true, true, false, 1, 0},
        {true, true, true, 0, 0},  {true, false, true, 0, 1},  {true, false, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "record " << c.record << ", agent " << c.agentRuns << ", UI " << c.uiRuns);
        std::filesystem::remove_all(*home);
        if (c.record) {
            std::filesystem::create_directories(std::filesystem::path(record).parent_path());
            std::ofstream(record) << "x";
        }
        std::vector<pid_t> running;
        if (c.agentRuns) running.push_back(startProcess(agent, {}));
        if (c.uiRuns) running.push_back(startProcess(paths::uiAppExecutable(), {}));
        int stops = 0;
        std::vector<std::vector<std::string>> starts;
        ProcessHelper::Environment env = environment();
        env.userName = [] { return std::string("nobody"); };
        env.existNimbrel = [&] { ++stops; };
        env.startApp = [&](const std::string& program, const std::vector<std::string>& args) {
            EXPECT_EQ(program, agent);
            starts.push_back(args);
        };
        ProcessHelper helper(env);
        helper.CheckRQLExistAndLoad();
        EXPECT_EQ(stops, c.stops);
        EXPECT_EQ(starts.size(), static_cast<size_t>(c.starts));
        for (const auto& args : starts) EXPECT_EQ(args, std::vector<std::string>{""});
        for (pid_t pid : running) {
            ::kill(pid, SIGKILL);
            ASSERT_TRUE(waitFor([&] { return ended(pid); }));
        }
    }
}

class Liveness : public Watchdog {
  protected:
    void SetUp() override {
        Watchdog::SetUp();
        startLaunchd();
        for (const char* name : {"Tamber", "Marlet"}) {
            std::string exe = (root_ / "Applications/Hux/Hux.app/Contents/Resources" / (std::string(name) + ".app") /
                               "Contents/MacOS" / name)
                                  .string();
            placeStandIn(exe);
            writeJob(std::string("com.velmora.") + name + ".Daemon", {machinePath(exe), "-run"});
        }
        placeStandIn(daemonExe());
        writeJob(supervise::kProtectJobLabel, {machinePath(daemonExe()), "-protect"});
        for (const char* label : {supervise::kReportJobLabel, supervise::kRunnerJobLabel, supervise::kProtectJobLabel}) {
            ASSERT_TRUE(supervise::loadJob(supervise::jobFile(label)).ok);
            ASSERT_TRUE(waitFor([&] { return jobPid(label) > 0; }));
        }
    }

    ZemBusinessManager::Peers peers(bool busLive, bool runnerLive) {
        ZemBusinessManager::Peers p;
        p.sendBusOnlive = [busLive] { return busLive; };
        p.sendBizLongOnlive = [runnerLive] { return runnerLive; };
        p.sleep = [this](std::chrono::milliseconds d) {
            std::lock_guard lock(sleepsMutex_);
            sleeps_.push_back(d);
        };
        return p;
    }

    std::mutex sleepsMutex_;
    std::vector<std::chrono::milliseconds> sleeps_;
};

TEST_F(Liveness, PeersThatDoNotAnswerAreReloaded) {
    struct Case {
        bool busLive;
        bool runnerLive;
    } cases[] = {{true, true}, {false, true}, {true, false}, {false, false}};
    for (const Case& c : cases) {
        const pid_t report = jobPid(supervise::kReportJobLabel), runner = jobPid(supervise::kRunnerJobLabel);
        const pid_t protect = jobPid(supervise::kProtectJobLabel);
        sleeps_.clear();
        ZemBusinessManager::checkBusinessValidation(peers(c.busLive, c.runnerLive));
        SCOPED_TRACE(::testing::Message() << "bus " << c.busLive << ", runner " << c.runnerLive);
        ASSERT_TRUE(waitFor([] {
            return jobPid(supervise::kReportJobLabel) > 0 && jobPid(supervise::kRunnerJobLabel) > 0;
        }));
        EXPECT_EQ(jobPid(supervise::kReportJobLabel) != report, !c.busLive);
        EXPECT_EQ(jobPid(supervise::kRunnerJobLabel) != runner, !c.runnerLive);
        EXPECT_EQ(jobPid(supervise::kProtectJobLabel), protect) << "a running -protect job is left alone";
        EXPECT_EQ(sleeps_.size(), static_cast<size_t>(!c.busLive + !c.runnerLive));
        for (auto d : sleeps_) EXPECT_EQ(d, std::chrono::seconds(1));
        if (!c.busLive) {
            EXPECT_TRUE(ended(report));
        }
    }
}

TEST_F(Liveness, RestartOfAnUnknownNameDoesNothing) {
    const pid_t report = jobPid(supervise::kReportJobLabel), runner = jobPid(supervise::kRunnerJobLabel);
    for (const char* name : {"", "tamber", "Report", "xMarlet"}) {
        ZemBusinessManager::restartBusiness(name, peers(true, true));
    }
    EXPECT_TRUE(sleeps_.empty());
    EXPECT_EQ(jobPid(supervise::kReportJobLabel), report);
    EXPECT_EQ(jobPid(supervise::kRunnerJobLabel), runner);
}

TEST_F(Liveness, DeadOrUnloadedProtectJobIsLoadedAgain) {
    const pid_t protect = jobPid(supervise::kProtectJobLabel);
    ASSERT_TRUE(ZemBusinessManager::isZemClientExist());
    ::kill(protect, SIGKILL);
    ASSERT_TRUE(waitFor([] { return jobPid(supervise::kProtectJobLabel) == 0; }));
    EXPECT_FALSE(ZemBusinessManager::isZemClientExist());
    ZemBusinessManager::checkBusinessValidation(peers(true, true));
    ASSERT_TRUE(waitFor([] { return jobPid(supervise::kProtectJobLabel) > 0; }));

    ASSERT_TRUE(supervise::unloadJob(supervise::jobFile(supervise::kProtectJobLabel)).ok);
    ZemBusinessManager::startProtectService();
    EXPECT_TRUE(waitFor([] { return jobPid(supervise::kProtectJobLabel) > 0; }));

    // Without the daemon executable the -protect job counts as gone.
    std::filesystem::remove(daemonExe());
    EXPECT_FALSE(ZemBusinessManager::isZemClientExist());
}

class Watermark : public Watchdog {
  protected:
    void SetUp() override {
        Watchdog::SetUp();
        watermark_ = paths::uiAppResources() + "/Pellin.app/Contents/MacOS/Pellin";
        other_ = paths::under("/opt/other/bin/other");
        placeStandIn(watermark_);
        placeStandIn(other_);
    }
    std::string watermark_;
    std::string other_;
};

TEST_F(Watermark, EveryWatermarkProcessIsKilledOnceAtStartAndImpostorsAreLeftAlone) {
    writeJob(supervise::kWatermarkJobLabel, {machinePath(watermark_)}, {}, false, false);
    const pid_t a = startProcess(watermark_, {});
    const pid_t b = startProcess(watermark_, {"-x"});
    const pid_t impostor = startProcess(other_, {watermark_}, watermark_);

    ProcessHelper helper(environment());
    helper.CheckWaterMarkLoad();
    EXPECT_TRUE(waitFor([&] { return ended(a) && ended(b); })) << "each pid is killed, not only the first";
    EXPECT_EQ(helper.watermarkKills(), 1);

    const pid_t later = startProcess(watermark_, {});
    helper.CheckWaterMarkLoad();
    EXPECT_TRUE(testsupport::alive(later)) << "later ticks only log";
    EXPECT_TRUE(testsupport::alive(impostor));
}

TEST_F(Watermark, ConsoleUserKillRequiresSomeoneOtherThanRoot) {
    struct Case {
        std::string user;  // empty: nobody signed in
        bool kills;
    } cases[] = {{"", false}, {"root", false}, {"nobody", true}};
    for (const Case& c : cases) {
        std::filesystem::remove_all(root_ / "run");
        if (!c.user.empty()) signInAtScreen(c.user);
        const pid_t pid = startProcess(watermark_, {});
        ProcessHelper helper(environment());
        helper.launchZem(2);
        EXPECT_EQ(waitFor([&] { return ended(pid); }, c.kills ? 10s : 300ms), c.kills) << "user " << c.user;
        ::kill(pid, SIGKILL);
    }
}

TEST_F(Watermark, StoppedWatermarkIsLoadedOnlyWhenItsSwitchExists) {
    startLaunchd();
    writeJob(supervise::kWatermarkJobLabel, {machinePath(watermark_)}, {}, true, false);
    ProcessHelper helper(environment());
    helper.CheckWaterMarkLoad();
    EXPECT_EQ(jobPid(supervise::kWatermarkJobLabel), -1) << "no switch file: not loaded";

    std::filesystem::create_directories(paths::machineSupportFolder());
    std::ofstream(paths::machineSupportFolder() + "/watermark.archive") << "x";
    helper.CheckWaterMarkLoad();
    EXPECT_TRUE(waitFor([] { return jobPid(supervise::kWatermarkJobLabel) > 0; }));
}

}  // namespace
