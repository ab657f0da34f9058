#include "process/TaskHelper.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

#include "encoding/Utf8.h"
#include "paths/Paths.h"
#include "process/ProcessList.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Each stream keeps at most this much; the rest is drained and dropped so the child never
// stalls, and the run counts as failed rather than returning cut text.
constexpr size_t kMaxStreamBytes = 16u << 20;
// How long a command that closed both streams may take to exit before the reaper takes it.
constexpr milliseconds kExitWait{100};
constexpr const char* kSearchPathAfterTools = ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

constexpr const char* kTimedOut = "command timed out";
constexpr const char* kTooLarge = "command output too large";
constexpr const char* kReadFailed = "reading command output failed";

class UniqueFd {
  public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

  private:
    int fd_ = -1;
};

// A null-terminated array of C strings over owned storage, for argv and envp.
class CStringArray {
  public:
    explicit CStringArray(std::vector<std::string> strings) : strings_(std::move(strings)) {
        pointers_.reserve(strings_.size() + 1);
        for (auto& s : strings_) pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    CStringArray(const CStringArray&) = delete;
    CStringArray& operator=(const CStringArray&) = delete;
    char* const* get() const { return pointers_.data(); }

  private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

// The caller's environment with the search path fixed (the product's tool stand-ins first) and
// a UTF-8 C locale, so a missing locale cannot put warnings on a command's error stream.
std::vector<std::string> childEnvironment() {
    std::vector<std::string> env;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        std::string_view name = text.substr(0, text.find('='));
        if (name == "PATH" || name == "LANG" || name == "LC_ALL") continue;
        env.emplace_back(text);
    }
    env.push_back("PATH=" + paths::toolFolder() + kSearchPathAfterTools);
    env.emplace_back("LANG=C.UTF-8");
    env.emplace_back("LC_ALL=C.UTF-8");
    return env;
}

std::vector<std::string> childArguments(const std::string& path, const std::vector<std::string>& argvs) {
    std::vector<std::string> argv;
    argv.reserve(argvs.size() + 1);
    argv.push_back(path);
    argv.insert(argv.end(), argvs.begin(), argvs.end());
    return argv;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// Both ends close-on-exec and numbered above the standard streams, so the child's dup2 onto
// 1 and 2 cannot overwrite the other pipe when the caller runs with a standard stream closed.
bool makePipe(UniqueFd& readEnd, UniqueFd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    UniqueFd ends[2] = {UniqueFd(fds[0]), UniqueFd(fds[1])};
    for (auto& end : ends) {
        if (end.get() > STDERR_FILENO) continue;
        int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
        if (moved < 0) return false;
        end.reset(moved);
    }
    readEnd.reset(ends[0].release());
    writeEnd.reset(ends[1].release());
    return true;
}

// Starts the child in its own process group (so a deadline can end everything it started),
// with default signal handling and an empty signal mask whatever the calling thread uses,
// and with no descriptor of ours beyond the standard streams. Returns 0 or an errno value.
int spawnChild(const std::string& path, const std::vector<std::string>& argvs, int outFd, int errFd,
               pid_t* pid) {
    CStringArray argv(childArguments(path, argvs));
    CStringArray envp(childEnvironment());

    posix_spawn_file_actions_t actions;
    if (int rc = ::posix_spawn_file_actions_init(&actions); rc != 0) return rc;
    posix_spawnattr_t attr;
    if (int rc = ::posix_spawnattr_init(&attr); rc != 0) {
        ::posix_spawn_file_actions_destroy(&actions);
        return rc;
    }

    int rc = 0;
    if (outFd >= 0 && rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
    if (errFd >= 0 && rc == 0) rc = ::posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    sigset_t noSignals;
    sigemptyset(&noSignals);
    sigset_t allSignals;
    sigfillset(&allSignals);
    sigdelset(&allSignals, SIGKILL);
    sigdelset(&allSignals, SIGSTOP);
    if (rc == 0) rc = ::posix_spawnattr_setpgroup(&attr, 0);
    if (rc == 0) rc = ::posix_spawnattr_setsigmask(&attr, &noSignals);
    if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&attr, &allSignals);
    if (rc == 0) {
        rc = ::posix_spawnattr_setflags(
            &attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    if (rc == 0) rc = ::posix_spawn(pid, path.c_str(), &actions, &attr, argv.get(), envp.get());

    ::posix_spawnattr_destroy(&attr);
    ::posix_spawn_file_actions_destroy(&actions);
    return rc;
}

// A descriptor that becomes readable when pid exits, or -1 where the kernel has none. Called
// through syscall(): this glibc declares pidfd_open without C linkage for C++.
int openPidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

int millisecondsUntil(Clock::time_point end) {
    auto left = std::chrono::ceil<milliseconds>(end - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
}

// Reaps pid if it has exited or exits within wait. True once it can no longer be a zombie.
bool reapWithin(pid_t pid, int pidfd, milliseconds wait) {
    auto end = Clock::now() + wait;
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno == ECHILD)) return true;
        if (r < 0 && errno == EINTR) continue;
        if (Clock::now() >= end) return false;
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, millisecondsUntil(end));
        } else {
            ::usleep(1000);
        }
    }
}

// Reaps children whose caller no longer waits for them: commands that closed their streams
// but keep running, and programs started without waiting. Its one thread exists only while
// such children do. A command still running at its deadline has its process group killed.
class Reaper {
  public:
    // Never destroyed: the detached thread may still run while static objects are torn down.
    static Reaper& instance() {
        static Reaper* reaper = new Reaper;
        return *reaper;
    }

    void adopt(pid_t pid, int pidfd, std::optional<Clock::time_point> deadline) {
        std::lock_guard lock(mutex_);
        children_.push_back(Child{pid, pidfd, deadline, false});
        if (running_) return;
        try {
            std::thread([this] { run(); }).detach();
            running_ = true;
        } catch (const std::system_error&) {
            // No thread now: the next adoption tries again and reaps this child too.
        }
    }

  private:
    struct Child {
        pid_t pid;
        int pidfd;
        std::optional<Clock::time_point> deadline;
        bool killed;
    };

    void run() {
        std::vector<pollfd> waitOn;
        for (;;) {
            int timeout = 1000;
            waitOn.clear();
            {
                std::lock_guard lock(mutex_);
                auto now = Clock::now();
                std::erase_if(children_, [](const Child& c) {
                    if (!reapWithin(c.pid, -1, milliseconds(0))) return false;
                    if (c.pidfd >= 0) ::close(c.pidfd);
                    return true;
                });
                if (children_.empty()) {
                    running_ = false;
                    return;
                }
                for (auto& c : children_) {
                    if (c.deadline && !c.killed) {
                        if (now >= *c.deadline) {
                            // Unreaped, so the group id cannot have been reused.
                            ::kill(-c.pid, SIGKILL);
                            c.killed = true;
                        } else {
                            timeout = std::min(timeout, millisecondsUntil(*c.deadline));
                        }
                    }
                    if (c.pidfd >= 0) {
                        waitOn.push_back(pollfd{c.pidfd, POLLIN, 0});
                    } else {
                        timeout = std::min(timeout, 50);
                    }
                }
            }
            ::poll(waitOn.data(), waitOn.size(), timeout);
        }
    }

    std::mutex mutex_;
    std::vector<Child> children_;
    bool running_ = false;
};

struct Collected {
    std::string out;
    std::string err;
    std::optional<std::string> failure;  // set when the streams do not hold the whole result
};

void appendCapped(std::string& to, const char* data, size_t size, bool& overflow) {
    if (to.size() + size > kMaxStreamBytes) {
        overflow = true;
        size = kMaxStreamBytes - to.size();
    }
    to.append(data, size);
}

// Reads both streams as data arrives so neither pipe can fill and stall the child. At the
// deadline the group gets SIGTERM, after the grace SIGKILL, and after a second grace the
// streams are abandoned (something outside the group holds them open).
Collected drain(int outFd, int errFd, pid_t group, Clock::time_point deadline) {
    Collected c;
    bool overflow = false;
    pollfd fds[2] = {{outFd, POLLIN, 0}, {errFd, POLLIN, 0}};
    std::string* sinks[2] = {&c.out, &c.err};
    int open = 2;
    enum class Phase { Running, Terminating, Killing } phase = Phase::Running;
    Clock::time_point phaseEnd = deadline;
    std::vector<char> buffer(64 * 1024);

    while (open > 0) {
        if (Clock::now() >= phaseEnd) {
            c.failure = kTimedOut;
            if (phase == Phase::Running) {
                ::kill(-group, SIGTERM);
                phase = Phase::Terminating;
            } else if (phase == Phase::Terminating) {
                ::kill(-group, SIGKILL);
                phase = Phase::Killing;
            } else {
                break;
            }
            phaseEnd = Clock::now() + TaskHelper::kKillGrace;
            continue;
        }
        int ready = ::poll(fds, 2, millisecondsUntil(phaseEnd));
        if (ready < 0) {
            if (errno == EINTR) continue;
            c.failure = kReadFailed;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
            if (n > 0) {
                appendCapped(*sinks[i], buffer.data(), static_cast<size_t>(n), overflow);
            } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                fds[i].fd = -1;
                --open;
            }
        }
    }
    if (overflow && !c.failure) c.failure = kTooLarge;
    return c;
}

struct RunOutcome {
    std::optional<TaskHandle> handle;  // empty when the program could not be started
    int spawnError = 0;
    Collected collected;
};

RunOutcome runCollecting(const std::string& path, const std::vector<std::string>& argvs,
                         milliseconds deadline, const std::function<void(TaskHandle)>& started) {
    RunOutcome outcome;
    UniqueFd outRead, outWrite, errRead, errWrite;
    if (!makePipe(outRead, outWrite) || !makePipe(errRead, errWrite)) {
        outcome.spawnError = errno != 0 ? errno : EMFILE;
        return outcome;
    }
    pid_t pid = -1;
    auto deadlineAt = Clock::now() + deadline;
    outcome.spawnError = spawnChild(path, argvs, outWrite.get(), errWrite.get(), &pid);
    // Our copies of the write ends must go, or the streams would never reach end of file.
    outWrite.reset();
    errWrite.reset();
    if (outcome.spawnError != 0) return outcome;

    outcome.handle = TaskHandle{pid};
    UniqueFd pidfd(openPidfd(pid));
    if (started) {
        try {
            started(*outcome.handle);
        } catch (...) {
            // The child must still be drained and reaped; the callback's failure is its own.
        }
    }
    outcome.collected = drain(outRead.get(), errRead.get(), pid, deadlineAt);
    outRead.reset();
    errRead.reset();
    if (!reapWithin(pid, pidfd.get(), kExitWait)) {
        Reaper::instance().adopt(pid, pidfd.release(), deadlineAt);
    }
    return outcome;
}

ErrorValue commandError(std::string reason) {
    return ErrorValue{"", -1, std::move(reason)};
}

ErrorValue errorFromStream(const std::string& err) {
    return commandError(utf8::isValid(err) ? err : std::string("unknown error"));
}

}  // namespace

TaskHelper& TaskHelper::sharedInstance() {
    static TaskHelper instance;
    return instance;
}

std::optional<TaskHandle> TaskHelper::excuteTaskPath(const std::string& path,
                                                     const std::vector<std::string>& argvs,
                                                     std::string* result, ErrorValue* error) {
    return excuteTaskPath(path, argvs, kDefaultDeadline, result, error);
}

std::optional<TaskHandle> TaskHelper::excuteTaskPath(const std::string& path,
                                                     const std::vector<std::string>& argvs,
                                                     milliseconds deadline, std::string* result,
                                                     ErrorValue* error) {
    if (!fileExists(path)) return std::nullopt;
    RunOutcome run = runCollecting(path, argvs, deadline, nullptr);
    if (!run.handle) {
        if (error) *error = commandError(std::strerror(run.spawnError));
        return std::nullopt;
    }
    const Collected& c = run.collected;
    if (c.failure) {
        if (error) *error = commandError(*c.failure);
    } else if (!c.out.empty() && c.err.empty()) {
        if (result) {
            if (utf8::isValid(c.out)) {
                *result = c.out;
            } else {
                result->clear();
            }
        }
    } else if (!c.err.empty() && error) {
        *error = errorFromStream(c.err);
    }
    return run.handle;
}

void TaskHelper::excuteTaskPath(
    const std::string& path, const std::vector<std::string>& argvs, std::function<void(TaskHandle)> isRunning,
    std::function<void(std::optional<std::string>, std::optional<ErrorValue>)> complete) {
    RunOutcome run = runCollecting(path, argvs, kDefaultDeadline, isRunning);
    std::optional<std::string> text;
    std::optional<ErrorValue> error;
    if (run.handle) {
        const Collected& c = run.collected;
        if (c.failure) {
            error = commandError(*c.failure);
        } else {
            if (!c.out.empty() && utf8::isValid(c.out)) text = c.out;
            if (!c.err.empty()) error = errorFromStream(c.err);
        }
    }
    if (complete) complete(std::move(text), std::move(error));
}

void TaskHelper::startCMDApp(const std::string& path, const std::vector<std::string>& argvs) {
    if (!fileExists(path)) return;
    pid_t pid = -1;
    if (spawnChild(path, argvs, -1, -1, &pid) != 0) return;
    UniqueFd pidfd(openPidfd(pid));
    if (!reapWithin(pid, pidfd.get(), milliseconds(0))) {
        Reaper::instance().adopt(pid, pidfd.release(), std::nullopt);
    }
}

bool TaskHelper::processRunning(const std::string& name) {
    return !proclist::processesNamed(name).empty();
}
