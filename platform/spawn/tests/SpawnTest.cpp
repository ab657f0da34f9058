// The spawn primitive with real children: argument vectors, environment and folder, handed-over
// descriptors, standard input, capped streams, deadlines and another user.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

#include "tests/support/TestFiles.h"
#include "platform/spawn/Spawn.h"
#include "tests/support/TempRoot.h"

namespace {

using namespace std::chrono_literals;
using testsupport::alive;
using testsupport::readText;

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    return testsupport::eventually(condition, limit);
}

spawn::RunLimits limits(std::chrono::milliseconds deadline, std::chrono::milliseconds grace = 2s,
                        bool waitForExit = true, size_t cap = 16u << 20) {
    spawn::RunLimits l;
    l.deadline = deadline;
    l.killGrace = grace;
    l.waitForExit = waitForExit;
    l.maxStreamBytes = cap;
    return l;
}

spawn::Options shell(const std::string& script, std::vector<std::string> extra = {}) {
    spawn::Options o;
    o.program = "/bin/sh";
    o.argv = {"sh", "-c", script, "sh"};
    o.argv.insert(o.argv.end(), extra.begin(), extra.end());
    return o;
}

class platform_spawn : public ::testing::Test {
  protected:
    testsupport::TempFolder tmp_{"spawn-test"};
    std::string dir_ = tmp_.path();
};

TEST_F(platform_spawn, ArgumentsEnvironmentAndFolderReachTheChildAsGiven) {
    spawn::Options o = shell("printf '%s|%s|%s|%s' \"$1\" \"$FOO\" \"${HOME-unset}\" \"$(pwd)\"",
                             {"a b; $(touch " + dir_ + "/injected)"});
    o.program = "sh";  // looked up on the child's PATH
    o.environment = std::vector<std::string>{"FOO=bar", "PATH=/nowhere:/usr/bin:/bin"};
    o.workingDirectory = dir_;
    spawn::RunResult r = spawn::run(o, {});
    ASSERT_TRUE(r.started()) << std::strerror(r.spawnError);
    EXPECT_EQ(r.output, "a b; $(touch " + dir_ + "/injected)|bar|unset|" + dir_);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/injected"));
    ASSERT_TRUE(r.waitStatus);
    EXPECT_EQ(spawn::exitStatusFromWait(*r.waitStatus), 0);
}

TEST_F(platform_spawn, ChildrenThatCannotStartReportWhy) {
    std::string plain = dir_ + "/plain";
    std::ofstream(plain) << "echo hi\n";
    struct Case {
        const char* what;
        std::function<void(spawn::Options&)> change;
        int error;
    } cases[] = {
        {"missing program", [&](spawn::Options& o) { o.program = dir_ + "/missing"; }, ENOENT},
        {"name not on the search path",
         [](spawn::Options& o) {
             o.program = "no-such-program-anywhere";
             o.environment = std::vector<std::string>{"PATH=/usr/bin:/bin"};
         },
         ENOENT},
        {"not executable", [&](spawn::Options& o) { o.program = plain; }, EACCES},
        {"missing working folder", [&](spawn::Options& o) { o.workingDirectory = dir_ + "/none"; }, ENOENT},
        {"handed-over descriptor on a standard number",
         [](spawn::Options& o) {
             o.passFds = {{STDOUT_FILENO, 2}};
         },
         EBADF},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        spawn::Options o = shell("exit 0");
        c.change(o);
        int error = 0;
        EXPECT_FALSE(spawn::start(o, &error));
        EXPECT_EQ(error, c.error) << std::strerror(error);
        EXPECT_EQ(spawn::run(o, {}).spawnError, c.error);
    }
    EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1) << "no child left behind";
}

TEST_F(platform_spawn, HandedOverDescriptorsSitAtTheirNumbersAndNothingElseLeaks) {
    int leaky = ::open("/dev/null", O_RDONLY);  // without O_CLOEXEC on purpose
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    int file = ::open((dir_ + "/five").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(file, 0);
    // The pipe's write end goes to 3 and the file to 5: a source may sit on another's number.
    int atThree = ::fcntl(fds[1], F_DUPFD_CLOEXEC, 20);
    ::close(fds[1]);
    spawn::Options o = shell(
        "echo \"$LISTEN_PID $$\" >&3; echo five >&5; for n in 3 4 5 6 7 8 9 10 11 12 20 21 22 23 24; do "
        "[ -e /proc/$$/fd/$n ] && printf '%s ' $n; done; true");
    o.passFds = {{atThree, 3}, {file, 5}};
    o.setListenPid = true;
    o.environment = std::vector<std::string>{"LISTEN_PID=1", "PATH=/usr/bin:/bin"};
    spawn::RunResult r = spawn::run(o, {});
    ::close(atThree);
    ::close(file);
    ::close(leaky);
    ASSERT_TRUE(r.started());
    EXPECT_EQ(r.output, "3 5 ");
    char buf[64] = {};
    ASSERT_GT(::read(fds[0], buf, sizeof buf - 1), 0);
    ::close(fds[0]);
    EXPECT_EQ(std::string(buf), std::to_string(r.pid) + " " + std::to_string(r.pid) + "\n");
    EXPECT_EQ(readText(dir_ + "/five"), "five\n");
}

TEST_F(platform_spawn, StandardInputCarriesDataLargerThanAPipe) {
    std::string secret(1 << 20, 's');
    secret += "end";
    spawn::RunLimits withInput;
    withInput.input = secret;
    spawn::RunResult echoed = spawn::run(shell("cat"), withInput);
    EXPECT_EQ(echoed.output, secret) << "written and read together, neither side stalls";

    // A child that never reads its input: the run ends and the caller survives the broken pipe.
    spawn::RunResult ignored = spawn::run(shell("echo done"), withInput);
    EXPECT_EQ(ignored.output, "done\n");
    ASSERT_TRUE(ignored.waitStatus);
    EXPECT_EQ(spawn::exitStatusFromWait(*ignored.waitStatus), 0);
}

TEST_F(platform_spawn, StreamsAreCappedAndDrainedToTheEnd) {
    // 17 MiB on the output and some error text beside it: the output keeps 16 MiB, the child
    // runs to its end instead of stalling on a full pipe.
    spawn::RunResult r =
        spawn::run(shell("head -c 17825792 /dev/zero | tr '\\0' o; echo tail >&2"), limits(60s));
    EXPECT_EQ(r.output.size(), 16u << 20);
    EXPECT_TRUE(r.outputTruncated);
    EXPECT_EQ(r.error, "tail\n");
    EXPECT_FALSE(r.errorTruncated);
    EXPECT_FALSE(r.timedOut);
    ASSERT_TRUE(r.waitStatus);
    EXPECT_EQ(spawn::exitStatusFromWait(*r.waitStatus), 0);

    spawn::RunResult small = spawn::run(shell("printf 0123456789 >&2"), limits(30s, 2s, true, 4));
    EXPECT_EQ(small.error, "0123");
    EXPECT_TRUE(small.errorTruncated);
}

TEST_F(platform_spawn, DeadlineSendsTermThenKillToTheGroup) {
    struct Case {
        const char* what;
        std::string script;
        int signal;
        std::chrono::milliseconds atLeast;
    } cases[] = {
        {"terminate suffices", "sleep 30 & sleep 30", SIGTERM, 300ms},
        {"terminate ignored", "trap '' TERM; sleep 30 & sleep 30", SIGKILL, 800ms},
        // Closed streams do not end the wait: the child still gets TERM first.
        {"streams closed early", "exec >&- 2>&-; sleep 30", SIGTERM, 300ms},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        auto begin = std::chrono::steady_clock::now();
        spawn::RunResult r = spawn::run(shell(c.script), limits(300ms, 500ms));
        auto took = std::chrono::steady_clock::now() - begin;
        EXPECT_TRUE(r.timedOut);
        ASSERT_TRUE(r.waitStatus);
        EXPECT_EQ(spawn::exitStatusFromWait(*r.waitStatus), -c.signal);
        EXPECT_GE(took, c.atLeast);
        EXPECT_LT(took, c.atLeast + 5s);
        EXPECT_TRUE(waitFor([&] { return ::kill(-r.pid, 0) != 0; })) << "the whole group has ended";
    }
}

TEST_F(platform_spawn, ChildThatClosedItsStreamsGetsTermAtTheDeadlineInTheBackground) {
    // The run returns when the streams close; the background reaper still ends the child at the
    // deadline, and with SIGTERM first, so it can clean up.
    std::string marker = dir_ + "/terminated";
    auto begin = std::chrono::steady_clock::now();
    spawn::RunResult r =
        spawn::run(shell("trap 'echo term > " + marker + "; exit 0' TERM; exec >&- 2>&-; sleep 30 & wait"),
                   limits(500ms, 2s, false));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, 450ms);
    EXPECT_FALSE(r.timedOut);
    EXPECT_FALSE(r.waitStatus);
    EXPECT_TRUE(waitFor([&] { return readText(marker) == "term\n"; }));
    EXPECT_TRUE(waitFor([&] { return ::waitpid(r.pid, nullptr, WNOHANG) == -1 && errno == ECHILD; }))
        << "reaped by the background reaper";
    EXPECT_TRUE(waitFor([&] { return ::kill(-r.pid, 0) != 0; }));
}

TEST_F(platform_spawn, ChildStartsWithDefaultSignalsWhateverTheCallerUses) {
    // A daemon thread blocks and ignores signals; its children must still stop on SIGTERM.
    sigset_t block, old;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGUSR1);
    ASSERT_EQ(::pthread_sigmask(SIG_BLOCK, &block, &old), 0);
    struct sigaction ignore {
    }, previous{};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(::sigaction(SIGINT, &ignore, &previous), 0);
    spawn::RunResult r = spawn::run(shell("grep -E '^Sig(Blk|Ign):' /proc/self/status"), {});
    ::sigaction(SIGINT, &previous, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    EXPECT_EQ(r.output, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
}

TEST_F(platform_spawn, BeforeExecRunsWhileTheProgramWaits) {
    std::string ran = dir_ + "/ran";
    spawn::Options o = shell("touch " + ran + "; exec sleep 30");
    o.grouping = spawn::Grouping::OwnSession;
    pid_t seen = 0;
    bool ranBeforeUs = true;
    o.beforeExec = [&](pid_t pid) {
        seen = pid;
        ranBeforeUs = std::filesystem::exists(ran);
    };
    int error = 0;
    std::optional<spawn::Child> child = spawn::start(o, &error);
    ASSERT_TRUE(child) << std::strerror(error);
    EXPECT_EQ(seen, child->pid);
    EXPECT_FALSE(ranBeforeUs);
    EXPECT_TRUE(waitFor([&] { return std::filesystem::exists(ran); }));
    EXPECT_EQ(::getsid(child->pid), child->pid);
    EXPECT_EQ(::getpgid(child->pid), child->pid);
    ::kill(child->pid, SIGKILL);
    ::waitpid(child->pid, nullptr, 0);
}

TEST_F(platform_spawn, RunsAsAnotherUserWithItsGroups) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch users";
    spawn::Options o = shell("grep -E '^(Uid|Gid|Groups):' /proc/self/status | tr -s '\\t ' ' '; id -u");
    o.user = spawn::User{65534, 65534, {65534, 100}};
    spawn::RunResult r = spawn::run(o, {});
    EXPECT_EQ(r.output,
              "Uid: 65534 65534 65534 65534\nGid: 65534 65534 65534 65534\nGroups: 100 65534 \n65534\n");

    // A working folder the user may not enter is an error of the start, not of the program.
    ::chmod(dir_.c_str(), 0700);
    o.workingDirectory = dir_;
    EXPECT_EQ(spawn::run(o, {}).spawnError, EACCES);
}

}  // namespace
