// A test server process that announces its loopback port as "PORT <n>" on its first output line:
// started with an argument vector, ended (TERM, then reaped) when the object goes.
#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

extern char** environ;

namespace testsupport {

class PortServer {
  public:
    // args[0] is the program; waits at most `wait` for the port line. port() is 0 when none came.
    explicit PortServer(std::vector<std::string> args, std::chrono::seconds wait = std::chrono::seconds(20)) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        std::string line;
        pollfd p{fds[0], POLLIN, 0};
        const auto deadline = std::chrono::steady_clock::now() + wait;
        while (pid_ > 0 && line.find('\n') == std::string::npos &&
               std::chrono::steady_clock::now() < deadline) {
            if (::poll(&p, 1, 200) <= 0) continue;
            char buf[64];
            ssize_t n = ::read(fds[0], buf, sizeof buf);
            if (n <= 0) break;
            line.append(buf, static_cast<size_t>(n));
        }
        ::close(fds[0]);
        if (line.rfind("PORT ", 0) == 0) port_ = std::stoi(line.substr(5));
    }
    ~PortServer() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    PortServer(const PortServer&) = delete;
    PortServer& operator=(const PortServer&) = delete;

    int port() const { return port_; }

  private:
    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace testsupport
