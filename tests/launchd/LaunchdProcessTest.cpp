// Our launchd and launchctl as real processes in a temporary root: loading, listing, unloading,
// KeepAlive restarts, refused clients and job files, launch on demand, the supervisor's own stop
// and its restart after kill -9.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TestFiles.h"
#include "tests/support/TempRoot.h"
#include "platform/archive/Plist.h"
#include "platform/ipc/Endpoint.h"
#include "platform/ipc/XpcConnection.h"
#include "platform/launchd/Client.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kNobody = 65534;
using testsupport::readText;

using testsupport::alive;

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    return testsupport::eventually(condition, limit);
}

struct Outcome {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program to its end (at most 30 s) and collects its output.
Outcome runProgram(const std::vector<std::string>& argv) {
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        std::vector<char*> args;
        for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execv(args[0], args.data());
        _exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    Outcome r;
    auto end = std::chrono::steady_clock::now() + 30s;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0 && std::chrono::steady_clock::now() < end) {
        if (::poll(fds, 2, 100) <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (pollfd& p : fds) {
        if (p.fd >= 0) ::close(p.fd);
    }
    if (open > 0) ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
}

// The list line of a label split at tabs, as `launchctl list | grep LABEL | awk` reads it.
std::optional<std::vector<std::string>> listEntry(const std::string& listing, const std::string& label) {
    for (const std::string& line : lines(listing)) {
        std::vector<std::string> cols;
        std::istringstream in(line);
        for (std::string c; std::getline(in, c, '\t');) cols.push_back(c);
        if (cols.size() == 3 && cols[2] == label) return cols;
    }
    return std::nullopt;
}

class launchd_Process : public ::testing::Test {
  protected:
    void SetUp() override {
        ::umask(022);
        fs::create_directories(root_ / "jobs");
    }
    void TearDown() override {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            if (!waitFor([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }, 10s)) {
                ::kill(pid_, SIGKILL);
                ::waitpid(pid_, nullptr, 0);
            }
        }
        if (HasFailure()) std::cerr << "launchd log:\n" << readText(root_ / "launchd.log");
        // Whatever still runs for this root (a failed test's orphans) goes with it.
        for (pid_t pid : processesOfThisRoot()) ::kill(pid, SIGKILL);
    }

    pid_t spawnLaunchd() {
        pid_t pid = ::fork();
        if (pid == 0) {
            int log = ::open((root_ / "launchd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(log, 2);
            ::setenv("RAVAVIZA_LAUNCHD_THROTTLE", "0.2", 1);
            ::setenv("RAVAVIZA_LAUNCHD_EXIT_TIMEOUT", "2", 1);
            ::execl(LAUNCHD_EXECUTABLE, LAUNCHD_EXECUTABLE, static_cast<char*>(nullptr));
            _exit(127);
        }
        return pid;
    }

    void startLaunchd() {
        pid_ = spawnLaunchd();
        ASSERT_TRUE(waitFor([&] { return launchctl({"list"}).status == 0; })) << "launchd did not come up";
    }

    Outcome launchctl(std::vector<std::string> args) {
        args.insert(args.begin(), LAUNCHCTL_EXECUTABLE);
        return runProgram(args);
    }

    std::string writeJob(const std::string& label, std::vector<std::string> args, bool runAtLoad,
                         bool keepAlive, archive::PlistFormat format = archive::PlistFormat::Xml,
                         fs::path folder = {}) {
        archive::Array argv;
        for (const std::string& a : args) argv.emplace_back(a);
        archive::Dictionary d{{"Label", label},
                              {"ProgramArguments", std::move(argv)},
                              {"RunAtLoad", runAtLoad},
                              {"KeepAlive", keepAlive}};
        std::string path = ((folder.empty() ? root_ / "jobs" : folder) / (label + ".plist")).string();
        EXPECT_TRUE(archive::writePlistFile(d, path, format));
        return path;
    }

    // Live processes (this test process aside) started for this root: their environment holds it.
    std::vector<pid_t> processesOfThisRoot(const std::string& cmdline = {}) const {
        std::vector<pid_t> out;
        const std::string marker = "RAVAVIZA_ROOT=" + root_.string();
        for (const auto& entry : fs::directory_iterator("/proc")) {
            pid_t pid = static_cast<pid_t>(std::strtol(entry.path().filename().c_str(), nullptr, 10));
            if (pid <= 0 || pid == ::getpid() || !alive(pid)) continue;
            if (!cmdline.empty() && readText(entry.path() / "cmdline") != cmdline) continue;
            std::string env = readText(entry.path() / "environ");
            for (size_t at = 0; at < env.size();) {
                size_t end = env.find('\0', at);
                if (env.compare(at, end - at, marker) == 0 && end - at == marker.size()) {
                    out.push_back(pid);
                    break;
                }
                at = end == std::string::npos ? env.size() : end + 1;
            }
        }
        return out;
    }

    // A shell that ignores SIGTERM (its child sleep too) and then creates the ready file.
    std::vector<std::string> stubbornScript(const std::string& ready) {
        return {"/bin/sh", "-c", "trap '' TERM; sleep 60 & touch " + (root_ / ready).string() + "; wait"};
    }

    // The running pid of a job from `launchctl list`, or 0.
    pid_t listedPid(const std::string& label) {
        auto entry = listEntry(launchctl({"list"}).out, label);
        return entry && (*entry)[0] != "-" ? std::stoi((*entry)[0]) : 0;
    }

    testsupport::TempRoot tempRoot_{"launchd-process", 0755};
    fs::path root_ = tempRoot_.path();
    pid_t pid_ = -1;
};

TEST_F(launchd_Process, LoadListAndUnloadAJob) {
    startLaunchd();
    std::string sleeper = writeJob("com.velmora.Sleeper", {"/bin/sleep", "60"}, true, true);
    std::string idle =
        writeJob("com.velmora.Idle", {"/bin/sleep", "60"}, false, false, archive::PlistFormat::Binary);

    Outcome load = launchctl({"load", "-wF", sleeper});
    EXPECT_EQ(load.status, 0);
    EXPECT_EQ(load.out + load.err, "") << "a good load prints nothing";
    EXPECT_EQ(launchctl({"load", idle}).status, 0);

    Outcome list = launchctl({"list"});
    ASSERT_EQ(list.status, 0);
    ASSERT_FALSE(list.out.empty());
    EXPECT_EQ(lines(list.out).front(), "PID\tStatus\tLabel");
    auto entry = listEntry(list.out, "com.velmora.Sleeper");
    ASSERT_TRUE(entry) << list.out;
    pid_t pid = std::stoi((*entry)[0]);
    EXPECT_TRUE(alive(pid));
    EXPECT_EQ((*entry)[1], "0");
    EXPECT_EQ(listEntry(list.out, "com.velmora.Idle"),
              (std::vector<std::string>{"-", "0", "com.velmora.Idle"}));

    Outcome one = launchctl({"list", "com.velmora.Sleeper"});
    EXPECT_EQ(one.status, 0);
    EXPECT_NE(one.out.find("\"PID\" = " + std::to_string(pid) + ";"), std::string::npos) << one.out;
    EXPECT_NE(one.out.find("\"Label\" = \"com.velmora.Sleeper\";"), std::string::npos) << one.out;

    Outcome again = launchctl({"load", sleeper});
    EXPECT_EQ(again.status, 0);
    EXPECT_NE(again.err.find("service already loaded"), std::string::npos) << again.err;
    EXPECT_EQ(listedPid("com.velmora.Sleeper"), pid);

    Outcome unload = launchctl({"unload", sleeper});
    EXPECT_EQ(unload.status, 0) << unload.err;
    EXPECT_FALSE(fs::exists("/proc/" + std::to_string(pid))) << "ended and reaped when unload returns";
    EXPECT_FALSE(listEntry(launchctl({"list"}).out, "com.velmora.Sleeper"));

    Outcome gone = launchctl({"list", "com.velmora.Sleeper"});
    EXPECT_NE(gone.status, 0);
    EXPECT_EQ(gone.out, "");
    EXPECT_NE(gone.err.find("Could not find service \"com.velmora.Sleeper\""), std::string::npos) << gone.err;

    Outcome unloadAgain = launchctl({"unload", sleeper});
    EXPECT_NE(unloadAgain.status, 0);
    EXPECT_NE(unloadAgain.err.find("Could not find specified service"), std::string::npos) << unloadAgain.err;
}

TEST_F(launchd_Process, KeepAliveJobComesBackAfterKill9) {
    startLaunchd();
    std::string job = writeJob("com.velmora.Stoven.Daemon", {"/bin/sleep", "60"}, true, true);
    ASSERT_EQ(launchctl({"load", job}).status, 0);
    pid_t first = listedPid("com.velmora.Stoven.Daemon");
    ASSERT_GT(first, 0);
    ::kill(first, SIGKILL);
    pid_t second = 0;
    ASSERT_TRUE(waitFor(
        [&] {
            second = listedPid("com.velmora.Stoven.Daemon");
            return second > 0 && second != first;
        },
        5s));
    EXPECT_TRUE(alive(second));
    EXPECT_EQ(listEntry(launchctl({"list"}).out, "com.velmora.Stoven.Daemon"),
              (std::vector<std::string>{std::to_string(second), "-9", "com.velmora.Stoven.Daemon"}));
}

TEST_F(launchd_Process, LoadingALoadedJobThatStoppedStartsIt) {
    startLaunchd();
    std::string job = writeJob("com.velmora.Once", {"/bin/sleep", "60"}, true, false);
    ASSERT_EQ(launchctl({"load", job}).status, 0);
    pid_t first = listedPid("com.velmora.Once");
    ASSERT_GT(first, 0);
    ::kill(first, SIGTERM);
    ASSERT_TRUE(waitFor([&] {
        return listEntry(launchctl({"list"}).out, "com.velmora.Once") ==
               std::vector<std::string>{"-", "-15", "com.velmora.Once"};
    }));

    Outcome load = launchctl({"load", job});
    EXPECT_EQ(load.status, 0);
    EXPECT_EQ(load.err, "");
    pid_t second = listedPid("com.velmora.Once");
    EXPECT_GT(second, 0);
    EXPECT_NE(second, first);
}

TEST_F(launchd_Process, UnloadOfAJobIgnoringSigtermReturnsAfterTheKill) {
    startLaunchd();
    std::string job = writeJob("com.velmora.Stubborn", stubbornScript("stubborn.ready"), true, true);
    ASSERT_EQ(launchctl({"load", job}).status, 0);
    pid_t pid = listedPid("com.velmora.Stubborn");
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(waitFor([&] { return fs::exists(root_ / "stubborn.ready"); })) << "the trap is set";
    auto started = std::chrono::steady_clock::now();
    Outcome unload = launchctl({"unload", job});
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(unload.status, 0) << unload.err;
    EXPECT_GE(took, 1500ms) << "SIGKILL only after the 2 s grace";
    EXPECT_FALSE(alive(pid));
    EXPECT_FALSE(listEntry(launchctl({"list"}).out, "com.velmora.Stubborn"));
}

TEST_F(launchd_Process, BrokenJobFileIsRefusedAndTheSupervisorKeepsRunning) {
    startLaunchd();
    struct Case {
        const char* name;
        std::string text;
        const char* reason;
    };
    const Case cases[] = {
        {"truncated", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>Label</key>",
         "Invalid property list"},
        {"no program",
         "<?xml version=\"1.0\"?><plist "
         "version=\"1.0\"><dict><key>Label</key><string>x</string></dict></plist>",
         "neither Program nor ProgramArguments"},
    };
    for (const Case& c : cases) {
        std::string path = (root_ / "jobs" / "broken.plist").string();
        std::ofstream(path) << c.text;
        Outcome load = launchctl({"load", "-w", path});
        EXPECT_NE(load.status, 0) << c.name;
        EXPECT_NE(load.err.find(path), std::string::npos) << c.name << ": " << load.err;
        EXPECT_NE(load.err.find(c.reason), std::string::npos) << c.name << ": " << load.err;
    }
    Outcome missing = launchctl({"load", (root_ / "jobs" / "missing.plist").string()});
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;
    EXPECT_EQ(launchctl({"load", "-x", "whatever"}).status, 64);

    EXPECT_EQ(::waitpid(pid_, nullptr, WNOHANG), 0) << "launchd still runs";
    EXPECT_EQ(launchctl({"list"}).status, 0);
    std::string good = writeJob("com.velmora.After", {"/bin/sleep", "60"}, true, false);
    EXPECT_EQ(launchctl({"load", good}).status, 0);
    EXPECT_GT(listedPid("com.velmora.After"), 0);
}

TEST_F(launchd_Process, ClientOfAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to switch to an unprivileged user";
    startLaunchd();
    std::string socket = launchd::socketPath();
    struct stat st {};
    ASSERT_EQ(::stat(socket.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // In a child that drops to nobody: the reply status and message of `list`.
    auto listAsNobody = [] {
        int p[2];
        EXPECT_EQ(::pipe(p), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(p[0]);
            if (::setgroups(0, nullptr) != 0 || ::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) _exit(120);
            launchd::Reply reply = launchd::client::list();
            std::string text = std::to_string(static_cast<int>(reply.status)) + " " + reply.message;
            ssize_t w = ::write(p[1], text.data(), text.size());
            _exit(w < 0 ? 1 : 0);
        }
        ::close(p[1]);
        std::string text;
        char buf[512];
        for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) text.append(buf, static_cast<size_t>(n));
        ::close(p[0]);
        ::waitpid(pid, nullptr, 0);
        return text;
    };
    std::string byMode = listAsNobody();
    EXPECT_EQ(byMode.rfind(std::to_string(static_cast<int>(launchd::ReplyStatus::Unreachable)), 0), 0u)
        << byMode;
    EXPECT_NE(byMode.find("Permission denied"), std::string::npos) << byMode;

    // Even when the socket's mode lets it connect, the peer check refuses the user.
    ASSERT_EQ(::chmod(socket.c_str(), 0666), 0);
    std::string byPeer = listAsNobody();
    EXPECT_EQ(byPeer,
              std::to_string(static_cast<int>(launchd::ReplyStatus::Failed)) + " Operation not permitted");
    EXPECT_EQ(launchctl({"list"}).status, 0) << "root is still served";
}

TEST_F(launchd_Process, SigtermStopsEveryJobAndTheSupervisor) {
    startLaunchd();
    std::string plain = writeJob("com.velmora.Plain", {"/bin/sleep", "60"}, true, true);
    std::string stubborn = writeJob("com.velmora.Stubborn", stubbornScript("stubborn.ready"), true, true);
    ASSERT_EQ(launchctl({"load", plain, stubborn}).status, 0);
    pid_t a = listedPid("com.velmora.Plain");
    pid_t b = listedPid("com.velmora.Stubborn");
    ASSERT_GT(a, 0);
    ASSERT_GT(b, 0);
    ASSERT_TRUE(waitFor([&] { return fs::exists(root_ / "stubborn.ready"); })) << "the trap is set";

    ::kill(pid_, SIGTERM);
    int status = -1;
    ASSERT_TRUE(waitFor([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, 10s));
    pid_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_FALSE(alive(a));
    EXPECT_FALSE(alive(b));
    EXPECT_FALSE(fs::exists(launchd::socketPath()));

    Outcome unreachable = launchctl({"list"});
    EXPECT_EQ(unreachable.status, 1);
    EXPECT_NE(unreachable.err.find("cannot reach launchd"), std::string::npos) << unreachable.err;
}

TEST_F(launchd_Process, ProcessesJobsLeaveBehindAreReaped) {
    startLaunchd();
    std::string pids = (root_ / "background.pids").string();
    std::string job = writeJob(
        "com.velmora.Forker",
        {"/bin/sh", "-c", "sleep 0.2 & echo $! >> " + pids + "; sleep 30 & echo $! >> " + pids + "; exit 0"},
        true, false);
    ASSERT_EQ(launchctl({"load", job}).status, 0);
    ASSERT_TRUE(waitFor([&] {
        auto e = listEntry(launchctl({"list"}).out, "com.velmora.Forker");
        return e && (*e)[0] == "-";
    }));
    std::vector<pid_t> background;
    for (const std::string& line : lines(readText(pids))) background.push_back(std::stoi(line));
    ASSERT_EQ(background.size(), 2u);
    // What outlives the job's process ends with it and is reaped by the supervisor: not even a
    // zombie is left.
    for (pid_t pid : background) {
        EXPECT_TRUE(waitFor([&] { return !fs::exists("/proc/" + std::to_string(pid)); })) << pid;
    }
}

TEST_F(launchd_Process, JobFilesOfTheLaunchDaemonsFolderLoadAtStart) {
    fs::path daemons = root_ / "Library/LaunchDaemons";
    fs::create_directories(daemons);
    writeJob("com.velmora.Boot", {"/bin/sleep", "60"}, true, true, archive::PlistFormat::Xml, daemons);
    std::ofstream(daemons / "com.velmora.Broken.plist") << "not a plist";
    std::string foreign =
        writeJob("com.velmora.Foreign", {"/usr/bin/touch", (root_ / "foreign.ran").string()}, true, false,
                 archive::PlistFormat::Xml, daemons);
    ASSERT_EQ(::chown(foreign.c_str(), kNobody, kNobody), 0);
    startLaunchd();
    EXPECT_GT(listedPid("com.velmora.Boot"), 0);
    EXPECT_FALSE(listEntry(launchctl({"list"}).out, "com.velmora.Broken"));
    EXPECT_FALSE(listEntry(launchctl({"list"}).out, "com.velmora.Foreign"));
    EXPECT_FALSE(fs::exists(root_ / "foreign.ran"));
    EXPECT_NE(readText(root_ / "launchd.log").find("not owned by root"), std::string::npos);

    // A second supervisor for the same root does not start.
    pid_t second = spawnLaunchd();
    int status = -1;
    ASSERT_TRUE(waitFor([&] { return ::waitpid(second, &status, WNOHANG) == second; }, 5s));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1);
    EXPECT_EQ(launchctl({"list"}).status, 0) << "the first one still serves";
}

TEST_F(launchd_Process, JobFilesOthersCouldHaveWrittenAreRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files away";
    startLaunchd();
    std::string marker = (root_ / "ran").string();
    std::string good = writeJob("com.velmora.Good", {"/usr/bin/touch", marker}, true, false);
    std::string link = (root_ / "jobs" / "link.plist").string();
    fs::create_symlink(good, link);
    struct Case {
        const char* what;
        std::string path;
        uid_t owner;
        mode_t mode;
        const char* reason;
    } cases[] = {
        {"owned by nobody", good, kNobody, 0644, "job file is not owned by root"},
        {"owned by nobody, writable by all", good, kNobody, 0666, "job file is not owned by root"},
        {"writable by others", good, 0, 0646, "job file is writable by group or others"},
        {"writable by the group", good, 0, 0664, "job file is writable by group or others"},
        {"symbolic link to a good file", link, 0, 0644, "job file is a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(::chown(good.c_str(), c.owner, c.owner), 0);
        ASSERT_EQ(::chmod(good.c_str(), c.mode), 0);
        Outcome load = launchctl({"load", "-w", c.path});
        EXPECT_NE(load.status, 0);
        EXPECT_NE(load.err.find(c.reason), std::string::npos) << load.err;
        EXPECT_FALSE(listEntry(launchctl({"list"}).out, "com.velmora.Good"));
    }
    EXPECT_FALSE(fs::exists(marker)) << "nothing ran";

    ASSERT_EQ(::chown(good.c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(good.c_str(), 0644), 0);
    EXPECT_EQ(launchctl({"load", good}).status, 0);
    EXPECT_TRUE(waitFor([&] { return fs::exists(marker); }));
}

// One request to a service name: connects, sends a line, reads the reply to its end.
std::string askService(const std::string& name, const std::string& line) {
    ipc::ConnectError error = ipc::ConnectError::None;
    ipc::UniqueFd fd = ipc::connectToService(ipc::ServiceKind::Xpc, name, ipc::deadlineAfter(5), &error);
    if (!fd.valid()) return "connect failed " + std::to_string(static_cast<int>(error));
    std::string text = line + "\n";
    if (::write(fd.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return "write failed";
    std::string reply;
    pollfd p{fd.get(), POLLIN, 0};
    char buf[512];
    while (::poll(&p, 1, 10'000) > 0) {
        ssize_t n = ::read(fd.get(), buf, sizeof buf);
        if (n <= 0) break;
        reply.append(buf, static_cast<size_t>(n));
    }
    return reply;
}

TEST_F(launchd_Process, JobWithServiceNamesStartsAtEachClientAfterItQuit) {
    startLaunchd();
    const std::string first = "com.velmora.test.Echo";
    const std::string second = "com.velmora.test.Echo.second";
    archive::Dictionary d{{"Label", std::string("com.velmora.Echo")},
                          {"ProgramArguments", archive::Array{std::string(ACTIVATED_ECHO_EXECUTABLE)}},
                          {"MachServices", archive::Dictionary{{second, true}, {first, true}}}};
    std::string path = (root_ / "jobs" / "echo.plist").string();
    ASSERT_TRUE(archive::writePlistFile(d, path, archive::PlistFormat::Xml));
    ASSERT_EQ(launchctl({"load", path}).status, 0);
    EXPECT_EQ(listEntry(launchctl({"list"}).out, "com.velmora.Echo"),
              (std::vector<std::string>{"-", "0", "com.velmora.Echo"}))
        << "not started before a client comes";
    struct stat st {};
    ASSERT_EQ(::stat(ipc::socketPath(ipc::ServiceKind::Xpc, first).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << "the job runs as root: root's clients only";

    const std::string names = ipc::socketFileName(ipc::ServiceKind::Xpc, first) + ":" +
                              ipc::socketFileName(ipc::ServiceKind::Xpc, second);
    std::string reply = askService(first, "ping");
    std::istringstream in(reply);
    pid_t pid = 0;
    std::string index, listed, line;
    in >> pid >> index >> listed >> line;
    EXPECT_GT(pid, 0) << reply;
    EXPECT_EQ(index, "0") << reply;
    EXPECT_EQ(listed, names);
    EXPECT_EQ(line, "ping");

    // The instance answered and quit; the next client starts a new one, here on the second name.
    ASSERT_TRUE(waitFor([&] {
        return listEntry(launchctl({"list"}).out, "com.velmora.Echo") ==
               std::vector<std::string>{"-", "0", "com.velmora.Echo"};
    }));
    std::string again = askService(second, "pong");
    std::istringstream in2(again);
    pid_t pid2 = 0;
    in2 >> pid2 >> index >> listed >> line;
    EXPECT_GT(pid2, 0) << again;
    EXPECT_NE(pid2, pid);
    EXPECT_EQ(index, "1") << again;
    EXPECT_EQ(line, "pong");

    ASSERT_TRUE(waitFor([&] {
        auto e = listEntry(launchctl({"list"}).out, "com.velmora.Echo");
        return e && (*e)[0] == "-";
    }));
    EXPECT_EQ(launchctl({"unload", path}).status, 0);
    EXPECT_FALSE(fs::exists(ipc::socketPath(ipc::ServiceKind::Xpc, first))) << "the names are given up";
    EXPECT_EQ(askService(first, "x").rfind("connect failed", 0), 0u);
}

// Asks the on-demand service to add two numbers; the reply names the instance that answered.
struct Answer {
    int64_t sum = -1;
    int64_t pid = -1;
    int64_t uid = -1;
};

std::optional<Answer> addOverXpc(const std::string& name, int64_t a, int64_t b,
                                 const ipc::Scope& scope = {}) {
    ipc::XpcOptions options;
    options.scope = scope;
    auto c = ipc::XpcConnection::create(name, options);
    std::mutex m;
    std::condition_variable cv;
    std::optional<ipc::XpcMessage> answer;
    bool done = false;
    c->resume();
    c->send({{"a", a}, {"b", b}}, [&](std::optional<ipc::XpcMessage> reply) {
        std::lock_guard<std::mutex> l(m);
        answer = std::move(reply);
        done = true;
        cv.notify_all();
    });
    {
        std::unique_lock<std::mutex> l(m);
        cv.wait_for(l, 10s, [&] { return done; });
    }
    c->invalidate();
    if (!answer) return std::nullopt;
    auto field = [&](const char* key) {
        auto it = answer->find(key);
        return it == answer->end() ? int64_t{-1} : it->second.integer().value_or(-1);
    };
    return Answer{field("sum"), field("pid"), field("uid")};
}

TEST_F(launchd_Process, OnDemandXpcServiceServesOnTheHandedOverSocketAndComesBackForTheNextClient) {
    startLaunchd();
    const std::string name = "com.velmora.test.Adder";
    archive::Dictionary d{
        {"Label", name},
        {"ProgramArguments", archive::Array{std::string(ON_DEMAND_XPC_EXECUTABLE), name}},
        {"MachServices", archive::Dictionary{{name, true}}}};
    std::string path = (root_ / "jobs" / "adder.plist").string();
    ASSERT_TRUE(archive::writePlistFile(d, path, archive::PlistFormat::Xml));
    ASSERT_EQ(launchctl({"load", path}).status, 0);

    auto first = addOverXpc(name, 2, 3);
    ASSERT_TRUE(first) << "no answer from the service started on demand";
    EXPECT_EQ(first->sum, 5);
    // The instance quits after its last client; the name stays the supervisor's, so the next
    // client starts a new instance instead of finding nothing.
    ASSERT_TRUE(waitFor([&] {
        auto e = listEntry(launchctl({"list"}).out, name);
        return e && (*e)[0] == "-";
    }));
    auto second = addOverXpc(name, 40, 2);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->sum, 42);
    EXPECT_NE(second->pid, first->pid);
    EXPECT_EQ(launchctl({"unload", path}).status, 0);
}

TEST_F(launchd_Process, KillNineOfTheSupervisorNeverLeavesASecondInstance) {
    // A long-running job with a child in its group, loaded at every start from the boot folder.
    fs::path daemons = root_ / "Library/LaunchDaemons";
    fs::create_directories(daemons);
    const std::string label = "com.velmora.Long";
    writeJob(label, {"/bin/sh", "-c", "/bin/sleep 86397 & exec /bin/sleep 86398"}, true, true,
             archive::PlistFormat::Xml, daemons);
    auto instances = [&](const std::string& seconds) {
        return processesOfThisRoot(std::string("/bin/sleep\0", 11) + seconds + '\0').size();
    };

    std::mt19937 random(std::random_device{}());
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        pid_t pid = spawnLaunchd();
        if (random() % 2 == 0) {
            // Killed while it may be anywhere: ending old jobs, loading, starting the job.
            std::this_thread::sleep_for(std::chrono::milliseconds(random() % 40));
        } else {
            ASSERT_TRUE(waitFor([&] { return listedPid(label) > 0; })) << readText(root_ / "launchd.log");
        }
        ::kill(pid, SIGKILL);
        ASSERT_EQ(::waitpid(pid, nullptr, 0), pid);
    }
    startLaunchd();
    pid_t running = 0;
    ASSERT_TRUE(waitFor([&] { return (running = listedPid(label)) > 0; }));
    EXPECT_EQ(instances("86398"), 1u);
    EXPECT_EQ(instances("86397"), 1u) << "the old instances' children are gone too";
    EXPECT_EQ(readText("/proc/" + std::to_string(running) + "/cmdline"),
              std::string("/bin/sleep\0", 11) + "86398" + '\0');

    // The supervisor's own stop leaves nothing behind.
    ::kill(pid_, SIGTERM);
    ASSERT_TRUE(waitFor([&] { return ::waitpid(pid_, nullptr, WNOHANG) == pid_; }));
    pid_ = -1;
    EXPECT_TRUE(waitFor([&] { return instances("86398") == 0u && instances("86397") == 0u; }));
}

}  // namespace

TEST_F(launchd_Process, UserJobServesInTheUsersFolderAsTheUserAndComesBackForTheNextClient) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a job as another user";
    startLaunchd();
    const ipc::Scope user = ipc::Scope::ofUser(kNobody);
    ipc::UniqueFd folder = ipc::openUserRuntimeFolder(kNobody, true);
    ASSERT_TRUE(folder.valid());
    const fs::path victim = root_ / "roots-file";
    std::ofstream(victim) << "root's";
    ::chmod(victim.c_str(), 0600);

    // The user comes from the job file, or from the load (one job file for whoever signs in).
    struct Case {
        const char* name;
        bool userInFile;
    };
    for (const Case& c :
         {Case{"com.velmora.test.UserAdder", true}, Case{"com.velmora.test.LoadedForUser", false}}) {
        SCOPED_TRACE(c.name);
        const std::string name = c.name;
        // The user planted a link where the socket goes, pointing at a file of root's.
        const std::string socketFile = ipc::socketFileName(ipc::ServiceKind::Xpc, name);
        ASSERT_EQ(::symlinkat(victim.c_str(), folder.get(), socketFile.c_str()), 0);

        archive::Dictionary d{
            {"Label", name},
            {"ProgramArguments", archive::Array{std::string(ON_DEMAND_XPC_EXECUTABLE), name}},
            {"MachServices", archive::Dictionary{{name, true}}}};
        if (c.userInFile) d["UserName"] = std::string("nobody");
        std::string path = (root_ / "jobs" / (name + ".plist")).string();
        ASSERT_TRUE(archive::writePlistFile(d, path, archive::PlistFormat::Xml));
        if (c.userInFile) {
            ASSERT_EQ(launchctl({"load", path}).status, 0);
        } else {
            ASSERT_EQ(launchctl({"load", "-u", "nobody", path}).status, 0);
        }

        // The name is the user's: a socket born the user's in the user's folder, none in root's.
        struct stat st {};
        ASSERT_EQ(::fstatat(folder.get(), socketFile.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
        EXPECT_TRUE(S_ISSOCK(st.st_mode));
        EXPECT_EQ(st.st_uid, kNobody);
        EXPECT_FALSE(fs::exists(ipc::socketPath(ipc::ServiceKind::Xpc, name))) << "no root name was made";
        EXPECT_EQ(readText(victim), "root's");
        ASSERT_EQ(::stat(victim.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, 0u);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        EXPECT_EQ(listedPid(name), 0) << "nothing runs before a client comes";
        // Root's callers asking for root's name find nothing.
        EXPECT_FALSE(addOverXpc(name, 1, 1));

        auto first = addOverXpc(name, 2, 3, user);
        ASSERT_TRUE(first) << "no answer from the user's service started on demand";
        EXPECT_EQ(first->sum, 5);
        EXPECT_EQ(first->uid, static_cast<int64_t>(kNobody)) << "the job runs as its user";
        ASSERT_TRUE(waitFor([&] {
            auto e = listEntry(launchctl({"list"}).out, name);
            return e && (*e)[0] == "-";
        }));
        auto second = addOverXpc(name, 40, 2, user);
        ASSERT_TRUE(second) << "no new instance after the first quit";
        EXPECT_EQ(second->sum, 42);
        EXPECT_NE(second->pid, first->pid);
        EXPECT_EQ(second->uid, static_cast<int64_t>(kNobody));
        EXPECT_EQ(launchctl({"unload", path}).status, 0);
    }
}

TEST_F(launchd_Process, UserJobNamingNoUserIsRefused) {
    startLaunchd();
    archive::Dictionary d{{"Label", std::string("com.velmora.test.Nobody")},
                          {"UserName", std::string("no-such-user-here")},
                          {"ProgramArguments", archive::Array{std::string("/bin/sleep"), std::string("60")}},
                          {"RunAtLoad", true}};
    std::string path = (root_ / "jobs" / "nobody.plist").string();
    ASSERT_TRUE(archive::writePlistFile(d, path, archive::PlistFormat::Xml));
    Outcome load = launchctl({"load", path});
    EXPECT_NE(load.status, 0);
    EXPECT_NE(load.err.find("unknown user \"no-such-user-here\""), std::string::npos) << load.err;
    EXPECT_FALSE(listEntry(launchctl({"list"}).out, "com.velmora.test.Nobody"));
    // The user given on the load is checked the same way; -u needs its user.
    d.erase("UserName");
    ASSERT_TRUE(archive::writePlistFile(d, path, archive::PlistFormat::Xml));
    EXPECT_NE(launchctl({"load", "-u", "no-such-user-here", path}).err.find("unknown user"),
              std::string::npos);
    EXPECT_EQ(launchctl({"load", "-u"}).status, 64);
    EXPECT_EQ(launchctl({"load", "-wu", "nobody", path}).status, 64);
    EXPECT_FALSE(listEntry(launchctl({"list"}).out, "com.velmora.test.Nobody"));
}
