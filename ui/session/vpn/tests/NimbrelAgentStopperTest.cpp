#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "platform/dispatch/ManualTime.h"
#include "platform/spawn/Spawn.h"
#include "ui/session/vpn/NimbrelAgentStopper.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/TempRoot.h"


namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Outcome = NimbrelAgentStopper::Outcome;

namespace {

using RecordingLog = testsupport::CapturingLog;

// A client of the VPN component as a granting one would behave: answers on a thread of its own.
class ScriptedClient : public FenwickClient {
  public:
    ScriptedClient(int accessCode, std::optional<archive::Value> stopReply, bool answers = true)
        : accessCode_(accessCode), stopReply_(std::move(stopReply)), answers_(answers) {}
    void startRequestAccess(AccessCompletion completion) override {
        if (!answers_) {
            held_ = std::move(completion);  // never called, as a hung client would do
            return;
        }
        std::thread([completion = std::move(completion), code = accessCode_] {
            completion(code, std::nullopt);
        }).detach();
    }
    void stopVantleAgent(StopCompletion completion) override {
        ++stopCalls;
        std::thread([completion = std::move(completion), reply = stopReply_.value_or(archive::Null{})] {
            completion(0, reply, std::nullopt);
        }).detach();
    }
    std::atomic<int> stopCalls{0};

  private:
    int accessCode_;
    std::optional<archive::Value> stopReply_;
    bool answers_;
    AccessCompletion held_;
};

struct StopResult {
    std::optional<Outcome> outcome;
    int calls = 0;
};

// Runs one stop and waits for its completion on the test's queue.
StopResult stop(RecordingLog& log, NimbrelAgentStopper::Options options,
                const std::function<void()>& afterStart = {}) {
    auto queue = dispatch::WorkQueue::create("test.vpn.completions");
    options.completionQueue = queue;
    auto run = std::make_shared<StopResult>();
    auto done = std::make_shared<std::promise<void>>();
    NimbrelAgentStopper::existNimbrel(
        "[appdelegate]", log,
        [run, done](Outcome o) {
            run->outcome = o;
            if (++run->calls == 1) done->set_value();
        },
        options);
    if (afterStart) afterStart();
    EXPECT_EQ(done->get_future().wait_for(30s), std::future_status::ready);
    queue->dispatchSync([] {});
    return *run;
}

TEST(NimbrelAgentStopper, StopsOnlyWithAccessAndReadsTheReplysCode) {
    struct Case {
        const char* name;
        int accessCode;
        std::optional<archive::Value> reply;
        Outcome outcome;
        const char* line;
        int stopCalls;
    } cases[] = {
        {"granted, code 0", 0, archive::Dictionary{{"code", 0}}, Outcome::Stopped,
         "[appdelegate] RavAviza Fenwick Stop Success!!!", 1},
        {"granted, no reply", 0, std::nullopt, Outcome::Stopped,
         "[appdelegate] RavAviza Fenwick Stop Success!!!", 1},
        {"granted, no code", 0, archive::Dictionary{}, Outcome::Stopped,
         "[appdelegate] RavAviza Fenwick Stop Success!!!", 1},
        {"granted, code 3", 0, archive::Dictionary{{"code", 3}}, Outcome::StopFailed,
         "[appdelegate] RavAviza Fenwick Stop Fail:code = 3", 1},
        {"granted, code as text", 0, archive::Dictionary{{"code", "-2"}}, Outcome::StopFailed,
         "[appdelegate] RavAviza Fenwick Stop Fail:code = -2", 1},
        {"refused", 7, archive::Dictionary{{"code", 0}}, Outcome::AccessRefused,
         "[appdelegate] RavAviza Fenwick Access Fail!!!", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RecordingLog log;
        auto client = std::make_shared<ScriptedClient>(c.accessCode, c.reply);
        NimbrelAgentStopper::Options options;
        options.agentRunning = [] { return true; };
        options.makeClient = [client] { return client; };
        StopResult run = stop(log, options);
        EXPECT_EQ(run.outcome, c.outcome);
        EXPECT_EQ(run.calls, 1);
        EXPECT_EQ(log.lines(), std::vector<std::string>{c.line});
        EXPECT_EQ(client->stopCalls.load(), c.stopCalls);
    }
}

TEST(NimbrelAgentStopper, TheStandInRefusesAndAlwaysAnswers) {
    RecordingLog log;
    NimbrelAgentStopper::Options options;
    options.agentRunning = [] { return true; };
    StopResult run = stop(log, options);
    EXPECT_EQ(run.outcome, Outcome::AccessRefused);
    EXPECT_EQ(run.calls, 1);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"[appdelegate] RavAviza Fenwick Access Fail!!!"});
}

TEST(NimbrelAgentStopper, WithoutAnAgentNoClientIsMade) {
    RecordingLog log;
    int made = 0;
    NimbrelAgentStopper::Options options;
    options.agentRunning = [] { return false; };
    options.makeClient = [&made] {
        ++made;
        return FenwickClient::init();
    };
    StopResult run = stop(log, options);
    EXPECT_EQ(run.outcome, Outcome::NoAgent);
    EXPECT_EQ(made, 0);
    EXPECT_TRUE(log.lines().empty());
}

TEST(NimbrelAgentStopper, AClientThatNeverAnswersEndsAfterTheWait) {
    dispatch::ManualTime time;
    RecordingLog log;
    auto client = std::make_shared<ScriptedClient>(0, std::nullopt, false);
    NimbrelAgentStopper::Options options;
    options.agentRunning = [] { return true; };
    options.makeClient = [client] { return client; };
    StopResult run = stop(log, options, [] {
        dispatch::ManualTime::advance(NimbrelAgentStopper::kAnswerWait - 1s);
        dispatch::ManualTime::advance(1s);
    });
    EXPECT_EQ(run.outcome, Outcome::NoAnswer);
    EXPECT_EQ(run.calls, 1);
}

// The agent is found by the program it runs, not by a process that only names its path.
TEST(NimbrelAgentStopper, FindsTheAgentByItsExecutable) {
    const testsupport::TempRoot temp("rav-nimbrel");
    const fs::path root = temp.path();
    const fs::path agent = NimbrelAgentStopper::agentExecutable();
    EXPECT_EQ(agent, root / "Applications/Hux/Hux.app/Contents/RQL/Nimbrel");
    fs::create_directories(agent.parent_path());
    fs::copy_file("/bin/sleep", agent);

    auto startChild = [](std::vector<std::string> argv) {
        spawn::Options o;
        o.program = argv[0];
        o.argv = std::move(argv);
        auto child = spawn::start(o);
        EXPECT_TRUE(child);
        return child ? child->pid : -1;
    };
    const pid_t decoy = startChild({"/bin/sh", "-c", "sleep 30", agent.string()});
    EXPECT_TRUE(NimbrelAgentStopper::agentProcesses().empty());

    const pid_t real = startChild({agent.string(), "30"});
    std::vector<pid_t> found;
    for (int i = 0; i < 500 && found.empty(); ++i) {
        found = NimbrelAgentStopper::agentProcesses();
        if (found.empty()) std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(found, std::vector<pid_t>{real});

    for (pid_t pid : {decoy, real}) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    EXPECT_TRUE(NimbrelAgentStopper::agentProcesses().empty());
}

}  // namespace
