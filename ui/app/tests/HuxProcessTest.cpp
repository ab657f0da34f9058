// Hux as a real process, offscreen, in a temporary root: it starts and serves its port, a second
// start brings the first forward and ends with 1 (with any argument), SIGTERM ends it with 0, and
// an unknown first argument is only logged.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "messaging/TesselClient.h"
#include "platform/spawn/Spawn.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "ui/screens/bridge/ZemUITesselManager.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

class HuxProcessTest : public ::testing::Test {
  protected:
    void SetUp() override {
        root_.signInAtScreen("root");
        fs::create_directories(root_.at("/root"));
        fs::create_directories(root_.at("/Library/Application Support/RavAviza"));
    }
    std::vector<std::string> environment() const {
        std::vector<std::string> env{"RAVAVIZA_ROOT=" + root_.path(), "HOME=/root",
                                     "QT_QPA_PLATFORM=offscreen", "PATH=/usr/bin:/bin"};
        if (const char* asan = ::getenv("ASAN_OPTIONS")) env.push_back(std::string("ASAN_OPTIONS=") + asan);
        return env;
    }
    spawn::Options options(std::vector<std::string> args) const {
        spawn::Options o;
        o.program = HUX_EXECUTABLE;
        o.argv = {HUX_EXECUTABLE};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        o.environment = environment();
        return o;
    }
    int run(std::vector<std::string> args) {
        spawn::RunLimits limits;
        limits.deadline = 60s;
        spawn::RunResult result = spawn::run(options(std::move(args)), limits);
        return result.waitStatus ? spawn::exitStatusFromWait(*result.waitStatus) : -1000;
    }
    bool portAnswers() {
        tessel::TesselClient client;
        client.setUserScope(::geteuid());
        client.setSendTimeout(2);
        client.setReceiveTimeout(2);
        auto reply = client.sendMessageWithName(hux::ZemUITesselManager::kListeningKey, {}, 1);
        return reply == std::optional<std::vector<uint8_t>>(std::vector<uint8_t>{'0'});
    }
    std::string logText() const {
        std::string all;
        const fs::path folder = root_.at("/root/Library/Logs/RavAviza/Logs");
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(folder, ec))
            all += testsupport::readText(entry.path());
        return all;
    }
    int waitExit(pid_t pid) {
        int status = 0;
        bool ended = testsupport::eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 30s);
        return ended ? spawn::exitStatusFromWait(status) : -1000;
    }

    testsupport::TempRoot root_;
};

TEST_F(HuxProcessTest, OneCopyRunsASecondBringsItForwardAndTermEndsIt) {
    auto first = spawn::start(options({"-agent"}));
    ASSERT_TRUE(first);
    ASSERT_TRUE(testsupport::eventually([&] { return portAnswers(); }, 30s)) << logText();
    EXPECT_NE(logText().find("----------start Hux-----------"), std::string::npos);

    EXPECT_EQ(run({}), 1);
    EXPECT_EQ(run({"-x"}), 1) << "the single-instance rule comes before the arguments";
    EXPECT_TRUE(testsupport::alive(first->pid));
    EXPECT_TRUE(testsupport::eventually(
        [&] { return logText().find("activated by another copy") != std::string::npos; }, 30s));

    ASSERT_EQ(::kill(first->pid, SIGTERM), 0);
    EXPECT_EQ(waitExit(first->pid), 0);
    EXPECT_NE(logText().find("applicationShouldTerminate isCanTerminated : -1"), std::string::npos);

    // With no copy running, an unknown first argument is logged and ends with 0.
    EXPECT_EQ(run({"-x"}), 0);
    EXPECT_NE(logText().find(" run app argv -x"), std::string::npos);
}

// Two starts close together, the second at 0, 10 and 100 ms after the first: whichever copy takes
// the lock keeps running and serves its port, the other ends with 1; the one that finds the lock
// never ends the one that holds it, however early in its start that one is.
TEST_F(HuxProcessTest, TwoStartsCloseTogetherLeaveExactlyOneCopyRunning) {
    for (const auto delay : {0ms, 10ms, 100ms}) {
        SCOPED_TRACE(std::to_string(delay.count()) + " ms");
        auto first = spawn::start(options({"-agent"}));
        ASSERT_TRUE(first);
        // The stagger is the case under test, not a wait: every outcome below is waited for.
        std::this_thread::sleep_for(delay);
        auto second = spawn::start(options({"-agent"}));
        ASSERT_TRUE(second);
        const pid_t pids[] = {first->pid, second->pid};

        int status = 0;
        std::optional<size_t> ended;
        ASSERT_TRUE(testsupport::eventually(
            [&] {
                for (size_t i = 0; i < 2; ++i) {
                    if (::waitpid(pids[i], &status, WNOHANG) == pids[i]) ended = i;
                }
                return ended.has_value();
            },
            30s));
        EXPECT_TRUE(WIFEXITED(status)) << "ended by signal " << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
        EXPECT_EQ(spawn::exitStatusFromWait(status), 1);
        const pid_t survivor = pids[1 - *ended];
        EXPECT_TRUE(testsupport::eventually([&] { return portAnswers(); }, 30s)) << logText();
        EXPECT_TRUE(testsupport::alive(survivor));

        ASSERT_EQ(::kill(survivor, SIGTERM), 0);
        EXPECT_EQ(waitExit(survivor), 0);
    }
}

}  // namespace
