// Shared pieces of the policy tests: a temporary filesystem root for the whole test process, a
// fresh folder per test, and a child process run to its end with its output captured.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/TempRootEnvironment.h"

extern char** environ;

namespace policytest {

// The unprivileged peer must reach the runtime folder.
inline const ::testing::Environment* const kTestRoot = testsupport::tempRootEnvironment("policy_test", 0755);

// A folder of its own for each call, inside the test root.
inline std::string freshFolder() {
    static std::atomic<int> n{0};
    std::string dir = testsupport::TempRootEnvironment::path() + "/case-" + std::to_string(n++);
    std::filesystem::create_directories(dir);
    return dir;
}

inline std::string uniqueName(const std::string& stem) {
    static std::atomic<int> n{0};
    return stem + "-" + std::to_string(::getpid()) + "-" + std::to_string(n++);
}

struct ProcessResult {
    int exitStatus = -1;  // -1: did not end normally in time
    std::string out;
};

// Runs the program with the arguments (as another user when given) and waits up to `seconds`.
inline ProcessResult runProcess(const std::string& program, const std::vector<std::string>& args,
                                std::optional<uid_t> asUser = std::nullopt, double seconds = 60) {
    ProcessResult result;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) return result;
    std::vector<std::string> all{program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::dup2(out[1], 1) < 0) ::_exit(126);
        if (asUser && (::setgroups(0, nullptr) != 0 || ::setgid(*asUser) != 0 || ::setuid(*asUser) != 0)) {
            ::_exit(125);
        }
        ::execve(program.c_str(), argv.data(), environ);
        ::_exit(127);
    }
    ::close(out[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{out[0], POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0) continue;
        ssize_t r = ::read(out[0], buf, sizeof buf);
        if (r <= 0) break;
        result.out.append(buf, size_t(r));
    }
    ::close(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return result;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    return result;
}

// Polls the condition until it holds or the time is up.
template <class F>
bool waitFor(F condition, double seconds = 30) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace policytest
