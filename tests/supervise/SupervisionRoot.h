// A temporary filesystem root with our launchd running in it, stand-in programs copied to the
// places of the real ones, job files, a console user for logind, and processes started directly.
// Everything started for the root is ended with it.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "platform/archive/Plist.h"
#include "platform/launchd/Client.h"
#include "platform/paths/Paths.h"

namespace supervisetest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

inline bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 15s) {
    return testsupport::eventually(condition, limit);
}

class SupervisionRoot : public ::testing::Test {
  protected:
    void SetUp() override {
        ::umask(022);
        std::ofstream(root_ / "started.log").flush();
        ::chmod((root_ / "started.log").c_str(), 0666);
        fs::create_directories(paths::launchDaemonsFolder());
    }

    void TearDown() override {
        if (launchd_ > 0) {
            ::kill(launchd_, SIGTERM);
            if (!waitFor([&] { return ::waitpid(launchd_, nullptr, WNOHANG) == launchd_; }, 10s)) {
                ::kill(launchd_, SIGKILL);
                ::waitpid(launchd_, nullptr, 0);
            }
        }
        for (pid_t pid : children_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        for (pid_t pid : processesOfThisRoot()) ::kill(pid, SIGKILL);
        if (HasFailure()) std::cerr << "launchd log:\n" << testsupport::readText(root_ / "launchd.log");
    }

    // Our launchd for this root, by default without the boot-time load of the job folder.
    void startLaunchd(const std::string& program = LAUNCHD_EXECUTABLE, bool bootJobs = false) {
        launchd_ = ::fork();
        if (launchd_ == 0) {
            int log = ::open((root_ / "launchd.log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            ::dup2(log, 2);
            ::setenv("RAVAVIZA_LAUNCHD_THROTTLE", "0.2", 1);
            ::setenv("RAVAVIZA_LAUNCHD_EXIT_TIMEOUT", "2", 1);
            ::execl(program.c_str(), program.c_str(), bootJobs ? nullptr : "--no-boot-jobs", static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_TRUE(waitFor([] { return launchd::client::list().ok(); })) << "launchd did not come up";
    }

    // The machine path of a path under the root.
    std::string machinePath(const std::string& rooted) const { return rooted.substr(root_.string().size()); }

    // Copies the stand-in program to a path under the root.
    void placeStandIn(const std::string& rooted) {
        fs::create_directories(fs::path(rooted).parent_path());
        fs::copy_file(JOB_STANDIN_EXECUTABLE, rooted, fs::copy_options::overwrite_existing);
        ::chmod(rooted.c_str(), 0755);
    }

    // A job file: program arguments as machine paths, as the shipped job files have them.
    std::string writeJob(const std::string& label, const std::vector<std::string>& args, const fs::path& folder = {},
                         bool runAtLoad = true, bool keepAlive = false) {
        archive::Array argv;
        for (const std::string& a : args) argv.emplace_back(a);
        archive::Dictionary d{{"Label", label},
                              {"ProgramArguments", std::move(argv)},
                              {"RunAtLoad", runAtLoad},
                              {"KeepAlive", keepAlive}};
        fs::path dir = folder.empty() ? fs::path(paths::launchDaemonsFolder()) : folder;
        fs::create_directories(dir);
        std::string path = (dir / (label + ".plist")).string();
        EXPECT_TRUE(archive::writePlistFile(d, path));
        return path;
    }

    // Starts a program directly (not as a job); argv0 empty: the program's path.
    pid_t startProcess(const std::string& program, const std::vector<std::string>& args, const std::string& argv0 = {}) {
        pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<std::string> all{argv0.empty() ? program : argv0};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> v;
            for (auto& a : all) v.push_back(a.data());
            v.push_back(nullptr);
            ::execv(program.c_str(), v.data());
            _exit(127);
        }
        children_.push_back(pid);
        // Running its own program (not yet this test's copy) once /proc shows the executable.
        waitFor([&] {
            char buf[4096];
            ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf);
            return n > 0 && std::string(buf, static_cast<size_t>(n)) == fs::canonical(program).string();
        });
        return pid;
    }

    // Ended (reaped when it is our child, or gone / a zombie otherwise).
    static bool ended(pid_t pid) {
        ::waitpid(pid, nullptr, WNOHANG);
        return !testsupport::alive(pid);
    }

    // The running pid of a job, 0 when loaded and not running, -1 when not loaded.
    static pid_t jobPid(const std::string& label) {
        launchd::Reply r = launchd::client::list(label);
        if (!r.ok() || r.jobs.empty()) return -1;
        return r.jobs.front().pid;
    }

    // logind's seat data naming user as the one at the screen.
    void signInAtScreen(const std::string& user) {
        tempRoot_.signInAtScreen(user, "user", "c7", "TYPE=x11\nDISPLAY=:5\n");
    }

    std::string started() const { return testsupport::readText(root_ / "started.log"); }

    // Live processes (this one aside) whose environment carries this root.
    std::vector<pid_t> processesOfThisRoot() const {
        std::vector<pid_t> out;
        const std::string marker = "RAVAVIZA_ROOT=" + root_.string();
        std::error_code ec;
        for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
            pid_t pid = static_cast<pid_t>(std::strtol(it->path().filename().c_str(), nullptr, 10));
            if (pid <= 0 || pid == ::getpid()) continue;
            std::string env = testsupport::readText(it->path() / "environ");
            std::string needle = marker + '\0';
            if (env.starts_with(needle) || env.find('\0' + needle) != std::string::npos) out.push_back(pid);
        }
        return out;
    }

    // Mode 0755: the UI stand-in runs as the console user.
    testsupport::TempRoot tempRoot_{"supervision", 0755};
    fs::path root_ = tempRoot_.path();
    pid_t launchd_ = -1;
    std::vector<pid_t> children_;
};

}  // namespace supervisetest
