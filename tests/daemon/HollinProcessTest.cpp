// The daemon executable as a process: exit statuses as root and as an unprivileged user, and
// the -run job's start in a temporary root.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/TestFiles.h"
#include "tests/support/TempRoot.h"
#include "platform/ipc/NamedConnection.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kNobody = 65534;
using testsupport::readText;

class HollinProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        if (::getuid() != 0) GTEST_SKIP() << "the daemon's modes need root";
        logFile_ = root_ / "Library/Logs/RavAviza/v5/Logs/Hollin-Info-1.log";
    }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }

    // Starts Hollin with one argument (or none), optionally as an unprivileged user.
    pid_t start(const char* arg, uid_t uid = 0) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ::setenv("RAVAVIZA_ROOT", root_.c_str(), 1);
            if (uid != 0) {
                if (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0) _exit(120);
            }
            if (arg) {
                ::execl(HOLLIN_EXECUTABLE, HOLLIN_EXECUTABLE, arg, static_cast<char*>(nullptr));
            } else {
                ::execl(HOLLIN_EXECUTABLE, HOLLIN_EXECUTABLE, static_cast<char*>(nullptr));
            }
            _exit(121);
        }
        return pid;
    }

    // Exit status of a one-shot run, bounded to 20 s.
    int runToExit(const char* arg, uid_t uid = 0) {
        pid_t pid = start(arg, uid);
        for (int i = 0; i < 2000; ++i) {
            int status = 0;
            if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            std::this_thread::sleep_for(10ms);
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -2;
    }

    bool waitFor(const std::function<bool()>& cond, std::chrono::milliseconds limit = 10s) {
        auto end = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < end) {
            if (cond()) return true;
            std::this_thread::sleep_for(20ms);
        }
        return cond();
    }

    testsupport::TempFolder folder_{"rav-hollin", 0755};
    fs::path root_ = folder_.path(), logFile_;
    pid_t pid_ = -1;
};

TEST_F(HollinProcess, ExitStatusesByArgumentAndUser) {
    struct Case {
        const char* arg;
        uid_t uid;
        int status;
        const char* lastLine;  // the last line logged, when run as root
    } cases[] = {
        {nullptr, 0, 0, "main start"},         {"-version", 0, 1, "main start"},
        {"-VERSION", kNobody, 1, nullptr},     {nullptr, kNobody, 0, nullptr},
        {"-run", kNobody, 255, nullptr},       {"-bogus", kNobody, 255, nullptr},
        {"-bogus", 0, 0, "main start"},
        // Nothing installed: the installer's last step finds no -protect job file to load.
        {"-install", 0, 1, "com.velmora.Hollin.Daemon.plist is not existed."},
        {"-LAUNCH", 0, 1, "Hux.app is not existed."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.arg ? c.arg : "(none)") + " as uid " + std::to_string(c.uid));
        fs::remove_all(root_ / "Library");
        EXPECT_EQ(runToExit(c.arg, c.uid), c.status);
        if (c.lastLine) {
            std::string log = readText(logFile_);
            ASSERT_FALSE(log.empty());
            std::string last = log.substr(log.rfind('\n', log.size() - 2) + 1);
            EXPECT_NE(last.find(c.lastLine), std::string::npos) << log;
        }
    }
}

TEST_F(HollinProcess, NonRootRunLogsNotRootWhereItCanWrite) {
    // A world-writable root lets the unprivileged daemon write its log, so the line can be read.
    ::chmod(root_.c_str(), 01777);
    EXPECT_EQ(runToExit("-run", kNobody), 255);
    std::string log = readText(logFile_);
    EXPECT_NE(log.find("Hollin process is not root user"), std::string::npos) << log;
    EXPECT_EQ(log.find("Hollin run"), std::string::npos);
}

TEST_F(HollinProcess, RunCreatesProductRootAndStartsUpgradeAppOnce) {
    const fs::path marlet =
        root_ / "Users/.AllUsers/RavAviza/RavAviza.EXE$/AppUpgrade/Perrow.app/Contents/MacOS/Marlet";
    fs::create_directories(marlet.parent_path());
    std::ofstream(marlet) << "#!/bin/sh\necho \"$# $*\" >> \"$RAVAVIZA_ROOT/marlet.calls\"\n";
    fs::permissions(marlet, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);

    pid_ = start("-run");
    ASSERT_TRUE(waitFor([&] { return readText(root_ / "marlet.calls") == "1 -upgrade\n"; }))
        << readText(root_ / "marlet.calls");
    EXPECT_TRUE(fs::is_directory(root_ / "Users/.AllUsers/RavAviza/RavAviza.EXE$"));
    ASSERT_TRUE(waitFor([&] { return readText(logFile_).find("Hollin run") != std::string::npos; }));

    // The three connections of the -run job answer.
    ::setenv("RAVAVIZA_ROOT", root_.c_str(), 1);
    for (const char* name : {"com.velmora.ravaviza.heartbeat.protect", "com.velmora.ravaviza.upgrade.proxy",
                             "com.velmora.ravaviza.client.config.proxy"}) {
        std::shared_ptr<ipc::ConnectionProxy> proxy;
        waitFor([&] { return (proxy = ipc::ConnectionProxy::lookup(name)) != nullptr; });
        EXPECT_TRUE(proxy) << name;
    }
    ::unsetenv("RAVAVIZA_ROOT");

    // Still running, and the upgrade app was started exactly once.
    std::this_thread::sleep_for(1500ms);
    int status = 0;
    EXPECT_EQ(::waitpid(pid_, &status, WNOHANG), 0);
    EXPECT_EQ(readText(root_ / "marlet.calls"), "1 -upgrade\n");
}

TEST_F(HollinProcess, RunWithoutUpgradeAppKeepsRunning) {
    pid_ = start("-run");
    ASSERT_TRUE(waitFor([&] { return readText(logFile_).find("Hollin run") != std::string::npos; }));
    std::this_thread::sleep_for(1s);
    int status = 0;
    EXPECT_EQ(::waitpid(pid_, &status, WNOHANG), 0);
    EXPECT_FALSE(fs::exists(root_ / "marlet.calls"));
    EXPECT_TRUE(fs::exists(root_ / "Users/.AllUsers/RavAviza/RavAviza.EXE$/HollinLogInfo.data"));

    // Code shared with the other programs logs into the daemon's files, and into no others.
    EXPECT_TRUE(waitFor([&] {
        return readText(logFile_).find("[ZemSocketManager] AllMulSvrs:") != std::string::npos;
    })) << readText(logFile_);
    for (const auto& entry : fs::directory_iterator(logFile_.parent_path()))
        EXPECT_TRUE(entry.path().filename().string().starts_with("Hollin")) << entry.path();
}

// A temporary copy of a state file as a writer killed before its rename leaves it: last
// modified a minute ago.
void plantLeftover(const fs::path& path) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "half a state file";
    const timespec old[2] = {{::time(nullptr) - 60, 0}, {::time(nullptr) - 60, 0}};
    ::utimensat(AT_FDCWD, path.c_str(), old, 0);
}

TEST_F(HollinProcess, OneRunPerRootAndOnlyTheHolderClearsLeftovers) {
    const fs::path product = root_ / "Users/.AllUsers/RavAviza/RavAviza.EXE$";
    const fs::path support = root_ / "Library/Application Support/RavAviza";
    const fs::path stale[] = {product / "cmd.archive.tmp.Ab12Cd", support / ".ZemConfig.tmp.Qw12Er"};
    for (const auto& p : stale) plantLeftover(p);
    plantLeftover(product / "notes.tmp");  // not our pattern
    fs::create_directories(root_ / "elsewhere");
    std::ofstream(root_ / "elsewhere/target") << "keep";
    fs::create_symlink(root_ / "elsewhere/target", product / "link.tmp.Zz99Zz");
    // An upgrade app that outlives the daemon must not keep the daemon's lock.
    const fs::path marlet = product / "AppUpgrade/Perrow.app/Contents/MacOS/Marlet";
    fs::create_directories(marlet.parent_path());
    std::ofstream(marlet)
        << "#!/bin/sh\necho $$ >> \"$RAVAVIZA_ROOT/marlet.pid\"\nexec sleep 60 >/dev/null 2>&1\n";
    fs::permissions(marlet, fs::perms::owner_all);

    pid_ = start("-run");
    ASSERT_TRUE(waitFor([&] { return !fs::exists(stale[0]) && !fs::exists(stale[1]); }))
        << readText(logFile_);
    EXPECT_TRUE(fs::exists(product / "notes.tmp"));
    EXPECT_TRUE(fs::is_symlink(product / "link.tmp.Zz99Zz"));
    EXPECT_EQ(readText(root_ / "elsewhere/target"), "keep");
    struct stat st {};
    ASSERT_EQ(::stat((root_ / "var/run/ravaviza/Hollin.run.lock").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);

    // A second copy logs why and ends; it leaves alone what may be the first one's work.
    const fs::path inUse = product / "config.archive.tmp.Zx98Yw";
    plantLeftover(inUse);
    EXPECT_EQ(runToExit("-run"), 1);
    EXPECT_NE(readText(logFile_).find("another Hollin -run holds"), std::string::npos) << readText(logFile_);
    EXPECT_TRUE(fs::exists(inUse));
    int status = 0;
    EXPECT_EQ(::waitpid(pid_, &status, WNOHANG), 0) << "the first copy must go on";

    // Killed outright while its upgrade app lives on, the first copy releases the lock: the
    // next one runs and clears up.
    ASSERT_TRUE(waitFor([&] { return !readText(root_ / "marlet.pid").empty(); }));
    const pid_t upgradeApp = std::stoi(readText(root_ / "marlet.pid"));
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
    EXPECT_TRUE(testsupport::alive(upgradeApp));
    pid_ = start("-run");
    EXPECT_TRUE(waitFor([&] { return !fs::exists(inUse); })) << readText(logFile_);
    EXPECT_EQ(::waitpid(pid_, &status, WNOHANG), 0);
    ASSERT_TRUE(waitFor([&] { return readText(root_ / "marlet.pid") != std::to_string(upgradeApp) + "\n"; }));
    std::istringstream pids(readText(root_ / "marlet.pid"));
    for (pid_t pid; pids >> pid;) ::kill(pid, SIGKILL);
}

// The daemon starts with the unused TLS library's load-time start-up turned off, and what it
// starts gets the environment its starter gave: its own setting is not passed on, one given by
// the starter is.
TEST_F(HollinProcess, RunTurnsOffUnusedTlsStartWithoutPassingItOn) {
    struct Row {
        const char* given;  // the variable as the starter sets it; nullptr: unset
        const char* childSees;
    };
    const Row rows[] = {{nullptr, ""}, {"1", "GNUTLS_NO_IMPLICIT_INIT=1\n"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.given ? row.given : "unset");
        testsupport::TempFolder folder{"rav-hollin-env", 0755};
        root_ = folder.path();
        const fs::path marlet =
            root_ / "Users/.AllUsers/RavAviza/RavAviza.EXE$/AppUpgrade/Perrow.app/Contents/MacOS/Marlet";
        fs::create_directories(marlet.parent_path());
        std::ofstream(marlet) << "#!/bin/sh\nenv | grep -E '^(GNUTLS_NO_IMPLICIT_INIT|RAVAVIZA_HOLLIN_REEXEC)=' "
                                 "> \"$RAVAVIZA_ROOT/marlet.env.tmp\"\n"
                                 "mv \"$RAVAVIZA_ROOT/marlet.env.tmp\" \"$RAVAVIZA_ROOT/marlet.env\"\n";
        fs::permissions(marlet, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);

        if (row.given) ::setenv("GNUTLS_NO_IMPLICIT_INIT", row.given, 1);
        pid_ = start("-run");
        ::unsetenv("GNUTLS_NO_IMPLICIT_INIT");
        ASSERT_TRUE(waitFor([&] { return fs::exists(root_ / "marlet.env"); }));
        EXPECT_EQ(readText(root_ / "marlet.env"), row.childSees);

        // The running image was started with the setting on (its initial environment).
        std::string environ = readText("/proc/" + std::to_string(pid_) + "/environ");
        EXPECT_NE(environ.find(std::string("GNUTLS_NO_IMPLICIT_INIT=") + (row.given ? row.given : "1")),
                  std::string::npos);
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

}  // namespace
