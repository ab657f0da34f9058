// Finding a program's processes by the program they run, and signalling them only while they
// still run it: copies, links, replaced files, scripts, other users and decoys that name the path.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/process/ProcessList.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;

using testsupport::exeOf;

class ProcessesOfProgram : public ::testing::Test {
  protected:
    void TearDown() override {
        for (pid_t pid : children_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }

    // A copy of sleep at path.
    std::string program(const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        fs::copy_file("/bin/sleep", path, fs::copy_options::overwrite_existing);
        fs::permissions(path, fs::perms(0755));
        return path;
    }

    // Runs file with argv, optionally as another user, once it has left the test's own program.
    pid_t start(const std::string& file, std::vector<std::string> argv, std::optional<uid_t> asUser = {}) {
        const pid_t pid = testsupport::startProgram(file, std::move(argv), asUser);
        if (pid > 0) children_.push_back(pid);
        EXPECT_GT(pid, 0);
        return pid;
    }

    static bool contains(const std::vector<pid_t>& pids, pid_t pid) {
        return std::find(pids.begin(), pids.end(), pid) != pids.end();
    }

    testsupport::TempFolder dir_{"proclist", 0755};
    std::vector<pid_t> children_;
};

TEST_F(ProcessesOfProgram, CountsTheProgramWhereverItWasStartedFromButNotWhatMerelyNamesIt) {
    const std::string prog = program(dir_.path() + "/Product.app/Contents/MacOS/Product");
    const std::string copy = program(dir_.path() + "/elsewhere/Product");
    fs::create_symlink(prog, dir_.path() + "/link-to-product");
    fs::create_directories(dir_.path() + "/decoys");
    fs::create_symlink("/bin/sleep", dir_.path() + "/decoys/Product");

    struct Case {
        const char* what;
        std::string file;
        std::vector<std::string> argv;
        bool counts;
    };
    const std::vector<Case> cases{
        {"the program", prog, {prog, "30"}, true},
        {"started through a link to it", dir_.path() + "/link-to-product", {"Product", "30"}, true},
        {"a copy elsewhere", copy, {copy, "30"}, false},
        {"sleep through a link named like it", dir_.path() + "/decoys/Product", {prog, "30"}, false},
        {"sleep named with its path", "/bin/sleep", {prog, "30"}, false},
        {"tail of the program file", "/usr/bin/tail", {"tail", "-f", prog}, false},
    };
    std::vector<pid_t> pids;
    for (const Case& c : cases) pids.push_back(start(c.file, c.argv));
    const std::vector<pid_t> found = proclist::processesRunning(prog);
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(contains(found, pids[i]), cases[i].counts) << cases[i].what;
    EXPECT_TRUE(proclist::processesRunning("Product").empty()) << "only absolute paths name a program";
}

TEST_F(ProcessesOfProgram, AReplacedOrDeletedProgramFileStillCounts) {
    const std::string prog = program(dir_.path() + "/RQL/Agent");
    const pid_t running = start(prog, {prog, "30"});
    // Replaced as an installer does it: a new copy moved over the old one.
    program(dir_.path() + "/RQL/Agent.new");
    fs::rename(dir_.path() + "/RQL/Agent.new", prog);
    ASSERT_TRUE(exeOf(running).ends_with(" (deleted)"));
    EXPECT_EQ(proclist::processesRunning(prog), std::vector<pid_t>{running});
    const pid_t fresh = start(prog, {prog, "30"});
    EXPECT_EQ(proclist::processesRunning(prog).size(), 2u);

    fs::remove(prog);
    const std::vector<pid_t> found = proclist::processesRunning(prog);
    EXPECT_TRUE(contains(found, running) && contains(found, fresh));

    std::vector<pid_t> signalled = proclist::signalProcessesOf(prog, SIGKILL);
    std::sort(signalled.begin(), signalled.end());
    std::vector<pid_t> both{running, fresh};
    std::sort(both.begin(), both.end());
    EXPECT_EQ(signalled, both);
    EXPECT_TRUE(testsupport::eventually([&] { return proclist::processesRunning(prog).empty(); }))
        << "ended processes (zombies until reaped) no longer count";
}

TEST_F(ProcessesOfProgram, AScriptCountsThroughItsInterpreter) {
    const std::string script = dir_.path() + "/Tools/Joiner";
    testsupport::writeFile(script, "#!/bin/sh\nexec sleep 30\n", 0755);
    testsupport::writeFile(dir_.path() + "/Tools/Waiter", "#!/bin/sh -e\nwhile :; do sleep 1; done\n", 0755);
    const std::string waiter = dir_.path() + "/Tools/Waiter";
    const pid_t waiting = start(waiter, {waiter});
    // Another interpreter given the script's path is not the script running.
    const pid_t other = start("/usr/bin/tail", {"tail", "-f", waiter});

    const std::vector<pid_t> found = proclist::processesRunning(waiter);
    EXPECT_TRUE(contains(found, waiting));
    EXPECT_FALSE(contains(found, other));
    EXPECT_TRUE(proclist::processesRunning(script).empty());
}

TEST_F(ProcessesOfProgram, UsersAreTellApartAndOnlyTheChosenOnesAreSignalled) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
    const std::string prog = program(dir_.path() + "/bin/Product");
    const pid_t mine = start(prog, {prog, "30"});
    // sleep adds up its arguments: a last argument of 0 tells the two apart.
    const pid_t theirs = start(prog, {prog, "30", "0"}, kNobody);

    EXPECT_EQ(proclist::processesRunning(prog, kNobody), std::vector<pid_t>{theirs});
    EXPECT_EQ(proclist::processesRunning(prog, 0u), std::vector<pid_t>{mine});
    const auto all = proclist::processesOf(prog);
    ASSERT_EQ(all.size(), 2u);
    for (const auto& p : all) {
        EXPECT_EQ(p.effectiveUser, p.pid == theirs ? kNobody : 0u);
        EXPECT_EQ(p.lastArgumentIs("0"), p.pid == theirs);
    }

    const auto endsInZero = [](const proclist::RunningProcess& p) { return p.lastArgumentIs("0"); };
    EXPECT_TRUE(proclist::signalProcessesOf(prog, SIGKILL, 0u, endsInZero).empty());
    EXPECT_EQ(proclist::signalProcessesOf(prog, SIGKILL, std::nullopt, endsInZero),
              std::vector<pid_t>{theirs});
    EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::alive(theirs); }));
    EXPECT_TRUE(testsupport::alive(mine));
}

TEST_F(ProcessesOfProgram, APidRunningAnotherProgramIsNeverSignalled) {
    const std::string prog = program(dir_.path() + "/bin/Product");
    const pid_t stranger = start("/bin/sleep", {prog, "30"});  // as a recycled pid would be
    EXPECT_FALSE(proclist::signalIfRunning(stranger, prog, SIGKILL));
    EXPECT_TRUE(testsupport::alive(stranger));

    const pid_t real = start(prog, {prog, "30"});
    EXPECT_TRUE(proclist::signalIfRunning(real, prog, SIGKILL));
    EXPECT_TRUE(testsupport::eventually([&] { return !testsupport::alive(real); }));
    EXPECT_FALSE(proclist::signalIfRunning(real, prog, SIGKILL)) << "an ended process is not signalled";
}

TEST_F(ProcessesOfProgram, AnUnprivilegedCallerSeesRootsProgramByItsCommandLineButCannotSignalIt) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to look as another user";
    const std::string prog = program(dir_.path() + "/bin/Product");
    const pid_t rootCopy = start(prog, {prog, "30"});
    // Asked from a process of nobody, which may not read root's executable records.
    const pid_t asker = ::fork();
    if (asker == 0) {
        if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(2);
        const bool seen = proclist::processesRunning(prog) == std::vector<pid_t>{rootCopy};
        const bool signalled = proclist::signalIfRunning(rootCopy, prog, SIGKILL);
        ::_exit(seen && !signalled ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(asker, &status, 0), asker);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_TRUE(testsupport::alive(rootCopy));
}

}  // namespace
