// The installed tree in a temporary root, in real time: our launchd with the shipped job files,
// `Hollin -install` replacing an old installation, the jobs coming up, the -protect job bringing
// back a killed -run job, and `Hollin -launch` opening the UI app.
#include <signal.h>

#include "SupervisionRoot.h"
#include "daemon/supervise/LaunchJobs.h"
#include "platform/process/ProcessList.h"

namespace {

using namespace supervisetest;

struct Outcome {
    int status = -1;
    std::string output;
};

// Runs argv with env to its end (output and error together), killed after limit.
Outcome runProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   std::chrono::milliseconds limit = 120s) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(fds[1], 1);
        ::dup2(fds[1], 2);
        std::vector<char*> a, e;
        for (const auto& s : argv) a.push_back(const_cast<char*>(s.c_str()));
        for (const auto& s : env) e.push_back(const_cast<char*>(s.c_str()));
        a.push_back(nullptr);
        e.push_back(nullptr);
        ::execve(a[0], a.data(), e.data());
        _exit(127);
    }
    ::close(fds[1]);
    ::fcntl(fds[0], F_SETFL, O_NONBLOCK);
    Outcome out;
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (bool exited = false;;) {
        char buf[4096];
        ssize_t n;
        while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.output.append(buf, static_cast<size_t>(n));
        if (exited) break;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            exited = true;
            continue;
        }
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            ::close(fds[0]);
            out.status = -2;
            return out;
        }
        std::this_thread::sleep_for(10ms);
    }
    ::close(fds[0]);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return out;
}

class InstalledJobs : public SupervisionRoot {
  protected:
    std::vector<std::string> environment() const {
        std::vector<std::string> env{"PATH=/usr/bin:/bin", "RAVAVIZA_ROOT=" + root_.string()};
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"}) {
            if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
        }
        return env;
    }

    Outcome hollin(const std::string& mode) { return runProgram({paths::daemonExecutable(), mode}, environment()); }

    std::string supervisionLog() const {
        return testsupport::readText(paths::daemonLogsFolder() + "/HollinExt-Info-1.log");
    }
    std::string daemonLog() const {
        return testsupport::readText(paths::daemonLogsFolder() + "/Hollin-Info-1.log");
    }

    static bool daemonRuns(const std::string& mode) {
        for (const auto& p : proclist::processesOf(paths::daemonExecutable())) {
            if (p.lastArgumentIs(mode)) return true;
        }
        return false;
    }
};

TEST_F(InstalledJobs, InstallBringsTheJobsUpAndTheyGuardEachOther) {
    if (::getuid() != 0) GTEST_SKIP() << "the daemon and its launchd run as root";
    std::vector<std::string> env = environment();
    env.push_back("DESTDIR=" + root_.string());
    Outcome installed = runProgram({CMAKE_COMMAND, "--install", RAVAVIZA_TEST_BINARY_DIR, "--prefix", "/"}, env);
    ASSERT_EQ(installed.status, 0) << installed.output;

    // Outside the system: the UI app and the policy runner are stand-ins; a test upgrade app.
    placeStandIn(paths::uiAppExecutable());
    placeStandIn(paths::uiAppResources() + "/Marlet.app/Contents/MacOS/Marlet");
    if (!fs::exists(paths::uiAppResources() + "/Perrow.app")) {
        fs::create_directories(paths::uiAppResources() + "/Perrow.app/Contents/MacOS");
        std::ofstream(paths::uiAppResources() + "/Perrow.app/Contents/MacOS/marker") << "upgrade app";
    }
    signInAtScreen("nobody");
    // An old installation that launchd loads at its start, and the old user agent.
    const std::string oldRun = writeJob(supervise::kRunJobLabel, {"/bin/sleep", "600"});
    const std::string agent = paths::localLibraryFolder() + "/LaunchAgents/com.velmora.RavAviza.Agent.plist";
    writeJob("com.velmora.RavAviza.Agent", {"/bin/true"}, fs::path(agent).parent_path());
    startLaunchd(paths::toolFolder() + "/launchd", true);
    ASSERT_TRUE(waitFor([] { return jobPid(supervise::kRunJobLabel) > 0; }));
    const pid_t oldPid = jobPid(supervise::kRunJobLabel);

    Outcome install = hollin("-install");
    EXPECT_EQ(install.status, 1) << install.output;
    EXPECT_TRUE(ended(oldPid));
    EXPECT_FALSE(fs::exists(agent));
    EXPECT_TRUE(fs::exists(paths::appUpgradeFolder() + "/Perrow.app/Contents/MacOS"));
    for (const char* label : {supervise::kRunJobLabel, supervise::kProtectJobLabel, supervise::kReportJobLabel,
                              supervise::kRunnerJobLabel}) {
        EXPECT_TRUE(waitFor([&] { return jobPid(label) > 0; })) << label;
        EXPECT_EQ(testsupport::readText(supervise::jobFile(label)),
                  testsupport::readText(paths::uiAppResources() + "/" + label + ".plist"));
    }
    EXPECT_TRUE(waitFor([] { return daemonRuns("-run") && daemonRuns("-protect"); }));
    EXPECT_TRUE(waitFor([&] { return started().find(paths::uiAppExecutable() + " uid=65534 display=:5\n") !=
                                     std::string::npos; }))
        << started();

    // The UI app is opened before the loads, which come in their order, the -run job's from the bundle.
    const std::string log = daemonLog();
    std::vector<std::string> steps{
        "[ZemInstall] Workspace open Zem Success",
        "[ZemInstall] Launchclt load " + supervise::jobFile(supervise::kRunnerJobLabel),
        "[ZemInstall] Launchclt load " + supervise::jobFile(supervise::kReportJobLabel),
        "[ZemInstall] Launchclt load " + paths::uiAppResources() + "/com.velmora.Stoven.Daemon.plist",
        "[ZemInstall] Launchclt load " + supervise::jobFile(supervise::kProtectJobLabel),
    };
    size_t at = 0;
    for (const std::string& step : steps) {
        size_t found = log.find(step, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: " << step << "\n" << log;
        if (found != std::string::npos) at = found + step.size();
    }

    // The -protect job's lines go to the supervision log in its own line form.
    EXPECT_TRUE(waitFor([&] {
        return supervisionLog().find(": -[LogExtCoreHelper writeLog:type:]_block_invoke:[135] : "
                                     "[checkHeartBeatTimer] ZemClient Protect start check Heart beat....") !=
               std::string::npos;
    })) << supervisionLog();
    EXPECT_EQ(daemonLog().find("[checkHeartBeatTimer]"), std::string::npos);

    // The -run job killed: the -protect job's tick loads it again (the job file has no KeepAlive).
    // A -protect job started afresh ticks at once, so the test need not wait out a minute; its
    // running tick may also come first, so the stopped state is not waited for.
    const pid_t run = jobPid(supervise::kRunJobLabel);
    ASSERT_EQ(::kill(run, SIGKILL), 0);
    ASSERT_TRUE(waitFor([&] { return ended(run); }));
    ASSERT_TRUE(supervise::unloadJob(supervise::jobFile(supervise::kProtectJobLabel)).ok);
    ASSERT_TRUE(supervise::loadJob(supervise::jobFile(supervise::kProtectJobLabel)).ok);
    EXPECT_TRUE(waitFor([&] { return jobPid(supervise::kRunJobLabel) > 0 && daemonRuns("-run"); }, 30s))
        << daemonLog();
    EXPECT_NE(jobPid(supervise::kRunJobLabel), run);

    // -launch opens the UI app again.
    for (pid_t pid : proclist::signalProcessesOf(paths::uiAppExecutable(), SIGKILL)) {
        ASSERT_TRUE(waitFor([&] { return ended(pid); }));
    }
    std::ofstream(root_ / "started.log", std::ios::trunc).flush();
    EXPECT_EQ(hollin("-launch").status, 1);
    EXPECT_TRUE(waitFor([&] { return started() == paths::uiAppExecutable() + " uid=65534 display=:5\n"; }))
        << started();
}

}  // namespace
