// The ticket service's client and the app's 15-second watchdog against the real ticket service
// stand-in, run as an unprivileged user and started on demand by our launchd. Time is manual:
// the 30 s start, the 15 s ticks and the 10 s wait for the service are stepped, never slept.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/SessionTestSupport.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "common/account/AccountModel.h"
#include "platform/archive/Plist.h"
#include "platform/dispatch/MainLoop.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/dispatch/WorkQueue.h"
#include "platform/launchd/Client.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui/session/login/UserStateFolder.h"
#include "platform/paths/Paths.h"
#include "ui/session/ticket/HollinProcessListener.h"
#include "ui/session/ticket/RavAvizaTicketHelper.h"

using common::AccountModel;

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using hux::HollinProcessListener;
using hux::RavAvizaLoginHelper;
using hux::RavAvizaTicketHelper;
using testsupport::capturedLog;

namespace {

constexpr uid_t kNobody = 65534;
constexpr const char* kServiceName = "com.velmora.ZemClound.Ticket";
constexpr const char* kMarker = "userpolicy.archive";

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    return testsupport::eventually(condition, limit);
}

// Runs the main queue until done() holds or the limit passes. Run-loop timers follow the manual
// timeline here, so the loop is stopped from another thread between looks at the condition.
bool runMainUntil(const std::function<bool()>& done, std::chrono::seconds limit) {
    auto& loop = dispatch::MainLoop::shared();
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < end) {
        std::thread stopper([] {
            std::this_thread::sleep_for(20ms);
            dispatch::WorkQueue::main()->dispatch([] { dispatch::MainLoop::shared().stop(); });
        });
        loop.run();
        stopper.join();
    }
    return done();
}

// Runs the main queue until every task queued so far (the expiries an advance delivered among
// them) has run.
void settleMain() {
    auto ran = std::make_shared<std::atomic<bool>>(false);
    dispatch::WorkQueue::main()->dispatch([ran] {
        *ran = true;
        dispatch::MainLoop::shared().stop();
    });
    ASSERT_TRUE(runMainUntil([ran] { return ran->load(); }, 10s));
}

void advance(std::chrono::nanoseconds by) {
    dispatch::ManualTime::advance(by);
    settleMain();
}

pid_t spawnProgram(const std::vector<std::string>& argv, const std::string& errFile = {}) {
    pid_t pid = ::fork();
    if (pid == 0) {
        if (!errFile.empty()) {
            int fd = ::open(errFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd >= 0) ::dup2(fd, 2);
        }
        ::setpgid(0, 0);
        // The supervisor starts a job anew 0.2 s after its last start, not 10 s.
        ::setenv("RAVAVIZA_LAUNCHD_THROTTLE", "0.2", 1);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void stopProgram(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    if (!waitFor([pid] { return ::waitpid(pid, nullptr, WNOHANG) == pid; })) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
}

class TicketWatchdog : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the ticket service as another user";
        capturedLog().clear();
        // The console user is root, whose support folder gets the policy-request marker.
        root_.signInAtScreen("root");
        root_.makeFolder("root");

        launchd_ = spawnProgram({LAUNCHD_EXECUTABLE}, root_.file("launchd.log"));
        ASSERT_TRUE(waitFor([] { return launchd::client::list().ok(); })) << "launchd did not come up";

        RavAvizaTicketHelper::setOptions({ipc::Scope::ofUser(kNobody), 10s});
        hux::SessionPeers peers;
        peers.requestAccess = [](std::function<void(int64_t)> done) { done(0); };
        peers.stopAgent = [this](std::function<void(int64_t, hux::Reply, hux::Error)>) { ++agentStops_; };
        RavAvizaLoginHelper::sharedInstance().setPeers(peers);
        RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(false);

        HollinProcessListener::Steps steps;
        steps.Get_network_type = [this] { ++networkRefreshes_; };
        HollinProcessListener::sharedInstance().setSteps(steps);
        time_.emplace();
    }

    void TearDown() override {
        if (::geteuid() != 0) return;
        RavAvizaTicketHelper::sharedInstance().closeQznServerXpc();
        stopProgram(agent_);
        stopProgram(launchd_);
        // Settle what the main queue still holds before the manual timeline goes.
        settleMain();
        time_.reset();
        if (HasFailure()) {
            std::cerr << "launchd log:\n"
                      << testsupport::readText(root_.file("launchd.log")) << "ticket log:\n"
                      << testsupport::readText(root_.file("ticket.log"));
        }
    }

    // The ticket service's job, run as nobody and started when a client connects.
    void loadTicketService(bool silent) {
        archive::Dictionary d{{"Label", std::string(kServiceName)},
                              {"UserName", std::string("nobody")},
                              {"ProgramArguments", archive::Array{std::string(TICKET_STANDIN_EXECUTABLE)}},
                              {"StandardErrorPath", root_.file("ticket.log")},
                              {"MachServices", archive::Dictionary{{kServiceName, true}}}};
        if (silent)
            d["EnvironmentVariables"] = archive::Dictionary{{"RAVAVIZA_TICKET_SILENT", std::string("1")}};
        // The job opens its log as the user it runs as: the file is that user's.
        std::ofstream(root_.file("ticket.log")).flush();
        ASSERT_EQ(::chown(root_.file("ticket.log").c_str(), kNobody, kNobody), 0);
        const std::string path = root_.file("ticket.plist");
        ASSERT_TRUE(archive::writePlistFile(d, path, archive::PlistFormat::Xml));
        launchd::Reply reply = launchd::client::load(path);
        ASSERT_TRUE(reply.ok()) << reply.message;
    }

    void signIn() {
        AccountModel record;
        record.userid = "u7";
        record.username = "User Seven";
        record.setTicket("T-1");
        record.loginType = 1;
        ASSERT_TRUE(record.save());
        ASSERT_TRUE(RavAvizaLoginHelper::iflogin());
        RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(true);
    }

    // A process whose executable is the bundle's VPN agent.
    void startAgent() {
        const std::string path = paths::uiAppBundle() + "/Contents/RQL/Nimbrel";
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file("/bin/sleep", path);
        agent_ = spawnProgram({path, "600"});
        ASSERT_TRUE(waitFor([] { return !hux::nimbrelAgentProcesses().empty(); }));
    }

    bool markerWritten() const {
        return hux::UserStateFolder::readString(kMarker) == std::optional<std::string>("userPolicyRequest");
    }

    // One tick on the main queue; done is set once the tick and its VPN check are over.
    std::shared_ptr<std::atomic<bool>> tick() {
        auto done = std::make_shared<std::atomic<bool>>(false);
        dispatch::WorkQueue::main()->dispatch([done] {
            HollinProcessListener::sharedInstance().checkQznServerAndLoad([done] { *done = true; });
        });
        settleMain();
        return done;
    }

    testsupport::TempRoot root_{"ticket-watchdog", 0755};
    std::optional<dispatch::ManualTime> time_;
    pid_t launchd_ = -1;
    pid_t agent_ = -1;
    std::atomic<int> agentStops_{0};
    std::atomic<int> networkRefreshes_{0};
};

TEST_F(TicketWatchdog, TicksEvery15sFromTheStart30sAfterLaunchAndOnlyRefreshWhileNobodyIsSignedIn) {
    // The app's start-up: the listener's timer is paused until startListening, 30 s after launch.
    HollinProcessListener::sharedInstance();
    dispatch::WorkQueue::main()->dispatchAfter(
        30s, [] { HollinProcessListener::sharedInstance().startListening(); });
    advance(29s);
    EXPECT_EQ(networkRefreshes_, 0) << "the paused timer never ticked";
    advance(1s);
    advance(0s);
    EXPECT_EQ(networkRefreshes_, 1) << "the first tick comes at once";
    advance(14s);
    EXPECT_EQ(networkRefreshes_, 1);
    advance(1s);
    EXPECT_EQ(networkRefreshes_, 2);
    advance(15s);
    EXPECT_EQ(networkRefreshes_, 3);
    EXPECT_FALSE(capturedLog().contains("QZN Server")) << "nobody is signed in: no service check";
    EXPECT_FALSE(markerWritten());
}

TEST_F(TicketWatchdog, WithoutASignedInUserConfirmedInThisRunATickOnlyRefreshes) {
    loadTicketService(/*silent=*/false);
    struct Case {
        const char* what;
        bool signedIn;
        bool checkedInThisRun;
    };
    for (const Case& c :
         {Case{"signed in from an earlier run", true, false}, Case{"no stored account", false, true}}) {
        SCOPED_TRACE(c.what);
        capturedLog().clear();
        networkRefreshes_ = 0;
        if (c.signedIn) {
            signIn();
        } else {
            AccountModel::deleteCurrentModel();
        }
        RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(c.checkedInThisRun);
        auto done = tick();
        ASSERT_TRUE(runMainUntil([&] { return done->load(); }, 10s));
        EXPECT_EQ(networkRefreshes_, 1);
        EXPECT_FALSE(capturedLog().contains("QZN Server"));
        EXPECT_FALSE(capturedLog().contains("start check nimbrel"));
        EXPECT_FALSE(markerWritten());
        EXPECT_EQ(testsupport::readText(root_.file("ticket.log")).find("checkIsNewConnection"),
                  std::string::npos)
            << "the service is not asked";
    }
}

TEST_F(TicketWatchdog, SilentServiceCountsAsRunningAfter10sWithoutBlockingTheMainLoop) {
    loadTicketService(/*silent=*/true);
    signIn();
    RavAvizaTicketHelper::sharedInstance().initialConnection();
    auto done = tick();
    // The question reached the service, which the client's connection started.
    ASSERT_TRUE(waitFor([&] {
        return testsupport::readText(root_.file("ticket.log")).find("checkIsNewConnection:block: (silent)") !=
               std::string::npos;
    }));
    advance(9s);
    EXPECT_FALSE(done->load());
    EXPECT_FALSE(capturedLog().contains("QZN Server is existed"))
        << "no answer yet, and the main loop ran on";
    advance(1s);
    ASSERT_TRUE(runMainUntil([&] { return done->load(); }, 10s));
    EXPECT_TRUE(capturedLog().contains("QZN Server is existed"));
    EXPECT_FALSE(capturedLog().contains("QZN Server reload"));
    // Then the VPN check: no agent runs, so the policy is asked for again.
    EXPECT_TRUE(capturedLog().contains("start check nimbrel ...."));
    EXPECT_TRUE(capturedLog().contains("end check nimbrel ifload ....result:(null)"));
    EXPECT_TRUE(capturedLog().contains("nimbrel exit reload nimbrel....."));
    EXPECT_TRUE(markerWritten());
}

TEST_F(TicketWatchdog, FreshServiceAsksForARestartAndOnceRunningTheAgentIsChecked) {
    loadTicketService(/*silent=*/false);
    signIn();
    startAgent();
    RavAvizaTicketHelper::sharedInstance().initialConnection();

    // A new instance has not been started: it answers YES.
    auto first = tick();
    ASSERT_TRUE(runMainUntil([&] { return first->load(); }, 10s));
    EXPECT_TRUE(capturedLog().contains("QZN Server reload ........................"));
    EXPECT_EQ(agentStops_, 1) << "the running agent is asked to stop";
    EXPECT_TRUE(markerWritten());
    EXPECT_TRUE(waitFor(
        [] { return capturedLog().contains("[RavAvizaTicketHelper] RavAviza Service run Success"); }));
    EXPECT_FALSE(capturedLog().contains("start check nimbrel")) << "a restart ends the tick";

    // Started now, it answers NO; the agent runs, so only the log lines follow.
    ASSERT_TRUE(hux::UserStateFolder::remove(kMarker));
    capturedLog().clear();
    auto second = tick();
    ASSERT_TRUE(runMainUntil([&] { return second->load(); }, 10s));
    EXPECT_TRUE(capturedLog().contains("QZN Server is existed"));
    EXPECT_TRUE(capturedLog().contains("Zem Nimbrel existed...."));
    EXPECT_TRUE(capturedLog().contains("end check nimbrel ifload ....result:" + std::to_string(agent_)));
    EXPECT_FALSE(capturedLog().contains("nimbrel exit reload nimbrel"));
    EXPECT_FALSE(markerWritten());
}

TEST_F(TicketWatchdog, AfterLogoutClosedTheConnectionATickOpensANewOneAndRestartsTheService) {
    loadTicketService(/*silent=*/false);
    signIn();
    auto& helper = RavAvizaTicketHelper::sharedInstance();
    helper.runTicketXPC();
    ASSERT_TRUE(waitFor([] { return capturedLog().contains("RavAviza Service run Success"); }));
    helper.closeQznServerXpc();
    EXPECT_EQ(helper.XPCConnection(), nullptr);
    capturedLog().clear();

    auto done = tick();
    ASSERT_TRUE(runMainUntil([&] { return done->load(); }, 10s));
    EXPECT_TRUE(capturedLog().contains("QZN Server reload"));
    EXPECT_TRUE(markerWritten());
    ASSERT_NE(helper.XPCConnection(), nullptr);
    // The service the tick started runs: the next check finds it running.
    EXPECT_TRUE(waitFor([] { return capturedLog().contains("RavAviza Service run Success"); }));
    std::optional<bool> answer;
    helper.checkXPCServiceIsReInital([&](bool v) { answer = v; });
    ASSERT_TRUE(runMainUntil([&] { return answer.has_value(); }, 10s));
    EXPECT_FALSE(*answer);
}

TEST_F(TicketWatchdog, UnreachableServiceAnswersNoWithoutWaitingAndTheNextUseConnectsAgain) {
    // No job is loaded: nothing serves the name.
    auto& helper = RavAvizaTicketHelper::sharedInstance();
    helper.initialConnection();
    std::optional<bool> answer;
    helper.checkXPCServiceIsReInital([&](bool v) { answer = v; });
    ASSERT_TRUE(runMainUntil([&] { return answer.has_value(); }, 10s));
    EXPECT_FALSE(*answer);
    helper.runTicketXPC();
    EXPECT_FALSE(capturedLog().contains("RavAviza Service run"))
        << "nothing is logged for an unreachable service";

    loadTicketService(/*silent=*/false);
    helper.runTicketXPC();
    EXPECT_TRUE(waitFor([] { return capturedLog().contains("RavAviza Service run Success"); }))
        << "the ended connection was replaced";
}

}  // namespace
