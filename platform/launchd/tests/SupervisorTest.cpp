#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "platform/ipc/Endpoint.h"
#include "platform/launchd/Supervisor.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace {

using launchd::LoadOutcome;
using launchd::Supervisor;
using launchd::UnloadOutcome;
using testsupport::readText;

using testsupport::alive;

template <typename Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class platform_launchd_Supervisor : public ::testing::Test {
  protected:
    void SetUp() override { unsetenv("RAVAVIZA_ROOT"); }
    void TearDown() override { unsetenv("RAVAVIZA_ROOT"); }

    static launchd::JobDescription job(const std::string& label, std::vector<std::string> args,
                                       bool runAtLoad, bool keepAlive) {
        launchd::JobDescription s;
        s.label = label;
        s.programArguments = std::move(args);
        s.runAtLoad = runAtLoad;
        s.keepAlive = keepAlive;
        return s;
    }
    static launchd::JobDescription shell(const std::string& label, const std::string& script,
                                         bool keepAlive = false) {
        return job(label, {"/bin/sh", "-c", script}, true, keepAlive);
    }

    // Reaps until the job's process has ended; the clock stays at `now`.
    static bool waitForExit(Supervisor& sup, const std::string& label, double now) {
        return waitUntil([&] {
            sup.reapChildren(now);
            auto j = sup.job(label);
            return !j || j->pid == 0;
        });
    }
    static pid_t pidOf(const Supervisor& sup, const std::string& label) {
        auto j = sup.job(label);
        return j ? j->pid : 0;
    }

    testsupport::TempFolder tmp_{"launchd-supervisor"};
    std::string dir_ = tmp_.path();
};

TEST_F(platform_launchd_Supervisor, StartsAtLoadOnlyWhenAskedAndLoadingAStoppedJobStartsIt) {
    Supervisor sup;
    auto idle = job("com.velmora.Idle", {"/bin/sleep", "30"}, false, false);
    EXPECT_EQ(sup.load(idle, {}, 0).outcome, LoadOutcome::Loaded);
    EXPECT_EQ(pidOf(sup, "com.velmora.Idle"), 0);

    auto again = sup.load(idle, {}, 1);
    EXPECT_EQ(again.outcome, LoadOutcome::Started);
    ASSERT_GT(again.pid, 0);
    EXPECT_TRUE(alive(again.pid));

    auto third = sup.load(idle, {}, 2);
    EXPECT_EQ(third.outcome, LoadOutcome::AlreadyRunning);
    EXPECT_EQ(third.pid, again.pid);

    auto atLoad = job("com.velmora.AtLoad", {"/bin/sleep", "30"}, true, false);
    EXPECT_EQ(sup.load(atLoad, {}, 3).outcome, LoadOutcome::Started);
    EXPECT_GT(pidOf(sup, "com.velmora.AtLoad"), 0);

    // A RunAtLoad job that ended stays loaded with its status, and a load starts it again.
    pid_t first = pidOf(sup, "com.velmora.AtLoad");
    ::kill(first, SIGTERM);
    ASSERT_TRUE(waitForExit(sup, "com.velmora.AtLoad", 4));
    EXPECT_EQ(sup.job("com.velmora.AtLoad")->lastExitStatus, -SIGTERM);
    sup.tick(100);
    EXPECT_EQ(pidOf(sup, "com.velmora.AtLoad"), 0) << "not KeepAlive: no restart";
    EXPECT_EQ(sup.load(atLoad, {}, 5).outcome, LoadOutcome::Started);
    EXPECT_NE(pidOf(sup, "com.velmora.AtLoad"), first);
}

TEST_F(platform_launchd_Supervisor, KeepAliveJobThatExitsQuicklyWaitsOutTheThrottle) {
    Supervisor sup({.throttleSeconds = 10, .exitTimeoutSeconds = 5});
    ASSERT_EQ(sup.load(shell("com.velmora.Quick", "exit 3", true), {}, 100).outcome, LoadOutcome::Started);
    ASSERT_TRUE(waitForExit(sup, "com.velmora.Quick", 100.5));
    EXPECT_EQ(sup.job("com.velmora.Quick")->lastExitStatus, 3);
    ASSERT_TRUE(sup.nextDeadline());
    EXPECT_DOUBLE_EQ(*sup.nextDeadline(), 110);

    sup.tick(109.9);
    EXPECT_EQ(pidOf(sup, "com.velmora.Quick"), 0);
    sup.tick(110);
    EXPECT_GT(pidOf(sup, "com.velmora.Quick"), 0);
}

TEST_F(platform_launchd_Supervisor, KeepAliveJobKilledBySignal9AfterLongRunRestartsAtOnce) {
    Supervisor sup({.throttleSeconds = 10, .exitTimeoutSeconds = 5});
    sup.load(job("com.velmora.Long", {"/bin/sleep", "30"}, false, true), {}, 0);
    pid_t first = pidOf(sup, "com.velmora.Long");
    ASSERT_GT(first, 0);
    ::kill(first, SIGKILL);
    ASSERT_TRUE(waitForExit(sup, "com.velmora.Long", 50));
    EXPECT_EQ(sup.job("com.velmora.Long")->lastExitStatus, -9);
    EXPECT_DOUBLE_EQ(sup.nextDeadline().value_or(-1), 50);
    sup.tick(50);
    pid_t second = pidOf(sup, "com.velmora.Long");
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
}

TEST_F(platform_launchd_Supervisor, UnloadStopsWithSigtermAndForgetsTheJob) {
    Supervisor sup;
    sup.load(job("com.velmora.Stop", {"/bin/sleep", "30"}, true, true), {}, 0);
    pid_t pid = pidOf(sup, "com.velmora.Stop");
    EXPECT_EQ(sup.unload("com.velmora.Stop", 1), UnloadOutcome::Stopping);
    EXPECT_TRUE(sup.isStopping("com.velmora.Stop"));
    ASSERT_TRUE(waitUntil([&] {
        sup.reapChildren(1.1);
        return !sup.job("com.velmora.Stop");
    }));
    EXPECT_FALSE(alive(pid));
    sup.tick(1000);
    EXPECT_TRUE(sup.empty()) << "a stopped KeepAlive job must not come back";
    EXPECT_EQ(sup.unload("com.velmora.Stop", 2), UnloadOutcome::NotLoaded);

    sup.load(job("com.velmora.Idle", {"/bin/true"}, false, false), {}, 3);
    EXPECT_EQ(sup.unload("com.velmora.Idle", 3), UnloadOutcome::Removed);
    EXPECT_TRUE(sup.empty());
}

TEST_F(platform_launchd_Supervisor, JobIgnoringSigtermIsKilledWithItsGroupAfterTheGrace) {
    Supervisor sup({.throttleSeconds = 10, .exitTimeoutSeconds = 5});
    std::string childPid = dir_ + "/child.pid";
    sup.load(shell("com.velmora.Stubborn", "trap '' TERM; sleep 30 & echo $! > " + childPid + "; wait"), {},
             0);
    pid_t pid = pidOf(sup, "com.velmora.Stubborn");
    ASSERT_TRUE(waitUntil([&] { return !readText(childPid).empty(); }));
    pid_t child = std::stoi(readText(childPid));

    // A load while it stops waits for the old process, so two instances never overlap.
    ASSERT_EQ(sup.unload("com.velmora.Stubborn", 10), UnloadOutcome::Stopping);
    auto reload = shell("com.velmora.Stubborn", "exec sleep 30");
    EXPECT_EQ(sup.load(reload, {}, 11).outcome, LoadOutcome::Loaded);
    sup.reapChildren(14.9);
    sup.tick(14.9);
    EXPECT_EQ(pidOf(sup, "com.velmora.Stubborn"), pid);
    EXPECT_TRUE(alive(pid));
    EXPECT_DOUBLE_EQ(sup.nextDeadline().value_or(-1), 15);

    sup.tick(15);
    ASSERT_TRUE(waitUntil([&] {
        sup.reapChildren(15.1);
        return pidOf(sup, "com.velmora.Stubborn") != pid;
    }));
    EXPECT_EQ(sup.job("com.velmora.Stubborn")->lastExitStatus, -9);
    EXPECT_FALSE(sup.isStopping("com.velmora.Stubborn"));
    EXPECT_GT(pidOf(sup, "com.velmora.Stubborn"), 0) << "the deferred load started the new instance";
    EXPECT_EQ(sup.job("com.velmora.Stubborn")->desc.argv(), reload.argv());
    EXPECT_TRUE(waitUntil([&] { return !alive(child); })) << "the job's group goes with it";
}

TEST_F(platform_launchd_Supervisor, JobGetsItsOutputFilesEnvironmentAndWorkingFolder) {
    setenv("RAVAVIZA_ROOT", dir_.c_str(), 1);
    std::filesystem::create_directories(dir_ + "/work");
    auto s = shell("com.velmora.Env", "echo \"$RAVAVIZA_ROOT|$FOO|$(pwd)\"; echo oops >&2");
    s.standardOutPath = dir_ + "/out.log";
    s.standardErrorPath = "/err.log";  // a machine path: lands under the root prefix
    s.workingDirectory = dir_ + "/work";
    s.environmentVariables = {{"FOO", "bar"}, {"RAVAVIZA_ROOT", "/elsewhere"}};
    Supervisor sup;
    ASSERT_EQ(sup.load(s, {}, 0).outcome, LoadOutcome::Started);
    ASSERT_TRUE(waitForExit(sup, "com.velmora.Env", 1));
    EXPECT_EQ(readText(dir_ + "/out.log"), dir_ + "|bar|" + dir_ + "/work\n");
    EXPECT_EQ(readText(dir_ + "/err.log"), "oops\n");
}

// Without output files, both streams reach the supervisor's sink line by line with the job's
// label in front; an overlong line is cut, an unended last line still arrives.
TEST_F(platform_launchd_Supervisor, OutputWithoutFilesIsRelayedLineByLineWithTheLabel) {
    setenv("RAVAVIZA_ROOT", dir_.c_str(), 1);
    int sink[2];
    ASSERT_EQ(::pipe2(sink, O_CLOEXEC | O_NONBLOCK), 0);
    const std::string longLine(launchd::OutputRelay::kMaxLine + 10, 'x');
    Supervisor sup({.throttleSeconds = 10, .exitTimeoutSeconds = 5, .outputSink = sink[1]});
    ASSERT_EQ(
        sup.load(shell("com.velmora.Talk", "echo one; echo two >&2; echo " + longLine + "; printf last"), {},
                 0)
            .outcome,
        LoadOutcome::Started);
    ASSERT_TRUE(waitForExit(sup, "com.velmora.Talk", 1));
    ASSERT_TRUE(waitUntil([&] {
        for (int fd : sup.outputFds()) sup.relayOutput(fd);
        return sup.outputFds().empty();
    }));
    char buf[16384];
    const ssize_t n = ::read(sink[0], buf, sizeof buf);
    ::close(sink[0]);
    ::close(sink[1]);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)),
              "com.velmora.Talk: one\ncom.velmora.Talk: two\ncom.velmora.Talk: " + longLine.substr(0, 4096) +
                  "\ncom.velmora.Talk: xxxxxxxxxx\ncom.velmora.Talk: last\n");
}

// A file named by the job is opened as the job's user, with the user's rights and mode 0600; a
// link in a folder a user can change, or as the file itself, is refused and the stream relayed.
TEST_F(platform_launchd_Supervisor, OutputFileIsOpenedAsTheJobsUserAndNeverThroughALink) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to run a job as another user";
    ::chmod(dir_.c_str(), 0755);
    setenv("RAVAVIZA_ROOT", dir_.c_str(), 1);
    passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    const std::string userDir = dir_ + "/user";
    std::filesystem::create_directories(userDir);
    ASSERT_EQ(::chown(userDir.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
    const std::string rootFile = dir_ + "/root-only.log";
    testsupport::writeFile(rootFile, "root's\n", 0644);
    std::filesystem::create_symlink(dir_, userDir + "/via");             // a folder link in the user's folder
    std::filesystem::create_symlink(rootFile, userDir + "/linked.log");  // the file itself a link

    struct Case {
        const char* label;
        const char* userName;
        std::string path;
        bool written;
    };
    const Case cases[] = {
        {"com.velmora.UserOwn", "nobody", userDir + "/own.log", true},
        {"com.velmora.UserRootFile", "nobody", rootFile, false},
        {"com.velmora.RootThroughFolderLink", "", userDir + "/via/root-only.log", false},
        {"com.velmora.RootThroughFileLink", "", userDir + "/linked.log", false},
        {"com.velmora.RootOwn", "", dir_ + "/root-job.log", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        auto s = shell(c.label, "echo written");
        s.userName = c.userName;
        s.standardOutPath = c.path;
        Supervisor sup;
        ASSERT_EQ(sup.load(s, {}, 0).outcome, LoadOutcome::Started);
        ASSERT_TRUE(waitForExit(sup, c.label, 1));
        EXPECT_EQ(readText(rootFile), "root's\n");
        if (c.written) {
            EXPECT_EQ(readText(c.path), "written\n");
            struct stat st {};
            ASSERT_EQ(::stat(c.path.c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, *c.userName ? nobody->pw_uid : 0u);
            EXPECT_EQ(st.st_mode & 07777, *c.userName ? 0600u : 0640u);
        }
    }
}

TEST_F(platform_launchd_Supervisor, ProductProgramsRunFromUnderTheRootAndSystemToolsFromTheMachine) {
    setenv("RAVAVIZA_ROOT", dir_.c_str(), 1);
    std::filesystem::create_directories(dir_ + "/opt/product");
    std::string tool = dir_ + "/opt/product/tool";
    std::ofstream(tool) << "#!/bin/sh\necho product tool\n";
    ::chmod(tool.c_str(), 0755);

    Supervisor sup;
    auto product = job("com.velmora.Product", {"/opt/product/tool"}, true, false);
    product.standardOutPath = "/product.log";
    auto system = shell("com.velmora.System", "echo system shell");
    system.standardOutPath = "/system.log";
    ASSERT_EQ(sup.load(product, {}, 0).outcome, LoadOutcome::Started);
    ASSERT_EQ(sup.load(system, {}, 0).outcome, LoadOutcome::Started);
    ASSERT_TRUE(waitForExit(sup, "com.velmora.Product", 1));
    ASSERT_TRUE(waitForExit(sup, "com.velmora.System", 1));
    EXPECT_EQ(readText(dir_ + "/product.log"), "product tool\n");
    EXPECT_EQ(readText(dir_ + "/system.log"), "system shell\n");
}

TEST_F(platform_launchd_Supervisor, ProgramThatCannotStartIsReportedAndKeepAliveRetriesAfterThrottle) {
    Supervisor sup({.throttleSeconds = 10, .exitTimeoutSeconds = 5});
    auto result = sup.load(job("com.velmora.Missing", {dir_ + "/no-such-program"}, false, true), {}, 20);
    EXPECT_EQ(result.outcome, LoadOutcome::StartFailed);
    EXPECT_NE(result.error.find("No such file"), std::string::npos) << result.error;
    ASSERT_TRUE(sup.job("com.velmora.Missing")) << "the job stays loaded";
    EXPECT_EQ(sup.job("com.velmora.Missing")->lastExitStatus, 127);
    EXPECT_DOUBLE_EQ(sup.nextDeadline().value_or(-1), 30);

    std::ofstream(dir_ + "/no-such-program") << "#!/bin/sh\nexec sleep 30\n";
    ::chmod((dir_ + "/no-such-program").c_str(), 0755);
    sup.tick(30);
    EXPECT_GT(pidOf(sup, "com.velmora.Missing"), 0);
}

TEST_F(platform_launchd_Supervisor, DisabledJobLoadsOnlyWithWriteOrForce) {
    Supervisor sup;
    auto s = job("com.velmora.Off", {"/bin/sleep", "30"}, true, false);
    s.disabled = true;
    EXPECT_EQ(sup.load(s, {}, 0).outcome, LoadOutcome::Disabled);
    EXPECT_FALSE(sup.job("com.velmora.Off"));
    EXPECT_EQ(sup.load(s, {.write = true, .force = false}, 0).outcome, LoadOutcome::Started);
    sup.unload("com.velmora.Off", 0);
    EXPECT_TRUE(waitUntil([&] {
        sup.reapChildren(0.1);
        return sup.empty();
    }));
    EXPECT_EQ(sup.load(s, {.write = false, .force = true}, 1).outcome, LoadOutcome::Started);
}

TEST_F(platform_launchd_Supervisor, DestroyingTheSupervisorKillsAndReapsItsJobs) {
    pid_t pid = 0;
    {
        Supervisor sup;
        sup.load(job("com.velmora.Left", {"/bin/sleep", "30"}, true, true), {}, 0);
        pid = pidOf(sup, "com.velmora.Left");
        ASSERT_GT(pid, 0);
    }
    EXPECT_FALSE(alive(pid));
    EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(pid))) << "reaped, not a zombie";
}

TEST_F(platform_launchd_Supervisor, KeepAliveRestartFollowsTheEndOfTheOldGroup) {
    // The job's process dies by SIGKILL and leaves a child in its group; the new instance must
    // not run beside it.
    std::string pids = dir_ + "/children";
    Supervisor sup({.throttleSeconds = 0.1, .exitTimeoutSeconds = 5});
    sup.load(shell("com.velmora.Parent", "sleep 30 & echo $! >> " + pids + "; wait", true), {}, 0);
    pid_t first = pidOf(sup, "com.velmora.Parent");
    ASSERT_TRUE(waitUntil([&] { return !readText(pids).empty(); }));
    pid_t child = std::stoi(readText(pids));
    ::kill(first, SIGKILL);
    ASSERT_TRUE(waitForExit(sup, "com.velmora.Parent", 10));
    sup.tick(10);
    ASSERT_GT(pidOf(sup, "com.velmora.Parent"), 0);
    EXPECT_NE(pidOf(sup, "com.velmora.Parent"), first);
    EXPECT_TRUE(waitUntil([&] { return !alive(child); })) << "the old group's child was left running";
}

TEST_F(platform_launchd_Supervisor, OnDemandJobIsWatchedOnlyWhileIdleAndOutsideTheThrottle) {
    setenv("RAVAVIZA_ROOT", dir_.c_str(), 1);
    Supervisor sup({.throttleSeconds = 10, .exitTimeoutSeconds = 5});
    auto desc = job("com.velmora.OnDemand", {"/bin/sh", "-c", "exit 0"}, false, false);
    desc.machServices = {"com.velmora.test.OnDemand"};
    ASSERT_EQ(sup.load(desc, {}, 100).outcome, LoadOutcome::Loaded);
    EXPECT_EQ(pidOf(sup, "com.velmora.OnDemand"), 0);
    auto watched = sup.demandSockets(100);
    ASSERT_EQ(watched.size(), 1u);
    EXPECT_EQ(watched[0].label, "com.velmora.OnDemand");
    EXPECT_TRUE(std::filesystem::exists(ipc::socketPath(ipc::ServiceKind::Xpc, "com.velmora.test.OnDemand")));

    // A second job cannot take a name that is held.
    auto rival = job("com.velmora.Rival", {"/bin/true"}, false, false);
    rival.machServices = {"com.velmora.test.OnDemand"};
    auto refused = sup.load(rival, {}, 100);
    EXPECT_EQ(refused.outcome, LoadOutcome::NotLoaded);
    EXPECT_NE(refused.error.find("com.velmora.test.OnDemand"), std::string::npos) << refused.error;
    EXPECT_FALSE(sup.job("com.velmora.Rival"));

    ASSERT_TRUE(sup.demand("com.velmora.OnDemand", 101));
    EXPECT_TRUE(sup.demandSockets(101).empty()) << "a running job accepts its own clients";
    ASSERT_TRUE(waitForExit(sup, "com.velmora.OnDemand", 102));
    // A job that quits at once must not be restarted in a tight loop by a waiting client.
    EXPECT_TRUE(sup.demandSockets(102).empty());
    EXPECT_DOUBLE_EQ(sup.nextDemandWatch(102).value_or(-1), 111);
    EXPECT_EQ(sup.demandSockets(111).size(), 1u);

    EXPECT_EQ(sup.unload("com.velmora.OnDemand", 112), UnloadOutcome::Removed);
    EXPECT_FALSE(
        std::filesystem::exists(ipc::socketPath(ipc::ServiceKind::Xpc, "com.velmora.test.OnDemand")));
}

}  // namespace
