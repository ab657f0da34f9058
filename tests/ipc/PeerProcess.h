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

// Listening sockets handed to the peer as a supervisor launching on demand does: at fds 3, 4, …
// with LISTEN_PID, LISTEN_FDS and LISTEN_FDNAMES set.
struct Handover {
    std::vector<int> fds;
    std::string names;      // joined with ':'
    bool wrongPid = false;  // LISTEN_PID names another process
};

class PeerProcess {
  public:
    // asUser: the child switches to that user (and its group of the same number) before exec.
    explicit PeerProcess(const std::vector<std::string>& args, std::optional<uid_t> asUser = std::nullopt,
                         const Handover* handover = nullptr) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<std::string> all{IPC_PEER_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        // The environment is made before fork; the child only writes its pid into its place.
        std::vector<std::string> env;
        for (char** e = environ; *e; ++e) {
            std::string entry(*e);
            if (entry.rfind("LISTEN_", 0) != 0) env.push_back(entry);
        }
        size_t pidSlot = 0;
        if (handover) {
            env.push_back("LISTEN_FDS=" + std::to_string(handover->fds.size()));
            env.push_back("LISTEN_FDNAMES=" + handover->names);
            pidSlot = env.size();
            env.push_back("LISTEN_PID=" + std::string(20, '\0'));
        }
        std::vector<char*> envp;
        for (auto& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            // Only async-signal-safe calls between fork and exec.
            if (::dup2(in[0], 0) < 0 || ::dup2(out[1], 1) < 0) ::_exit(126);
            if (handover) {
                std::vector<int>& fds = const_cast<Handover*>(handover)->fds;
                for (int& fd : fds) fd = ::fcntl(fd, F_DUPFD, 100);  // out of the way of 3, 4, …
                for (size_t i = 0; i < fds.size(); ++i)
                    if (fds[i] < 0 || ::dup2(fds[i], 3 + static_cast<int>(i)) < 0) ::_exit(126);
                char* digits = envp[pidSlot] + 11;  // after "LISTEN_PID="
                long pid = handover->wrongPid ? 1 : static_cast<long>(::getpid());
                char tmp[20];
                int n = 0;
                do {
                    tmp[n++] = static_cast<char>('0' + pid % 10);
                    pid /= 10;
                } while (pid > 0);
                for (int i = 0; i < n; ++i) digits[i] = tmp[n - 1 - i];
                digits[n] = '\0';
            }
            if (asUser &&
                (::setgroups(0, nullptr) != 0 || ::setgid(*asUser) != 0 || ::setuid(*asUser) != 0)) {
                ::_exit(126);
            }
            ::execve(IPC_PEER_PATH, argv.data(), envp.data());
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
