// Runs the test peer (ipc_peer) as a child, optionally as another user, with its stdin and stdout
// on pipes, so a test can read its event lines and send it commands, each with a time limit.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace ipctest {

class PeerProcess {
  public:
    // asUser: the child switches to that user (and its group of the same number) before exec.
    explicit PeerProcess(const std::vector<std::string>& args, std::optional<uid_t> asUser = std::nullopt) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> all{IPC_PEER_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0) ::_exit(126);
            if (asUser &&
                (::setgroups(0, nullptr) != 0 || ::setgid(*asUser) != 0 || ::setuid(*asUser) != 0)) {
                ::_exit(126);
            }
            ::execve(IPC_PEER_PATH, argv.data(), environ);
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        stdin_ = in[1];
        stdout_ = out[0];
    }
    ~PeerProcess() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            wait(5);
        }
        closeStdin();
        if (stdout_ >= 0) ::close(stdout_);
    }
    PeerProcess(const PeerProcess&) = delete;
    PeerProcess& operator=(const PeerProcess&) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // The next line the peer writes; nothing when it writes none within the time.
    std::optional<std::string> readLine(double seconds = 10) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            auto nl = buffer_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buffer_.substr(0, nl);
                buffer_.erase(0, nl + 1);
                return line;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            pollfd p{stdout_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char chunk[512];
            ssize_t r = ::read(stdout_, chunk, sizeof chunk);
            if (r <= 0) return std::nullopt;
            buffer_.append(chunk, static_cast<size_t>(r));
        }
    }

    // Skips lines until one equals `line`.
    bool expectLine(const std::string& line, double seconds = 10) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            double left = std::chrono::duration<double>(deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0) return false;
            auto got = readLine(left);
            if (!got) return false;
            if (*got == line) return true;
        }
    }

    void writeLine(const std::string& line) {
        std::string l = line + "\n";
        [[maybe_unused]] ssize_t w = ::write(stdin_, l.data(), l.size());
    }

    void closeStdin() {
        if (stdin_ >= 0) ::close(stdin_);
        stdin_ = -1;
    }

    void kill(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }

    // The exit status (or 128 + signal) once the peer has ended; nothing at the time-out.
    std::optional<int> wait(double seconds) {
        if (pid_ <= 0) return std::nullopt;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        for (;;) {
            int status = 0;
            pid_t r = ::waitpid(pid_, &status, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int stdout_ = -1;
    std::string buffer_;
};

}  // namespace ipctest
