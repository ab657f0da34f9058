#include "Spawn.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <string_view>
#include <system_error>
#include <thread>

extern char** environ;

namespace spawn {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kListenPid = "LISTEN_PID=";
constexpr const char* kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";

// A null-terminated array of C strings over owned storage, for argv and envp.
class CStringArray {
  public:
    explicit CStringArray(std::vector<std::string> strings) : strings_(std::move(strings)) {
        pointers_.reserve(strings_.size() + 1);
        for (auto& s : strings_) pointers_.push_back(s.data());
        pointers_.push_back(nullptr);
    }
    char* const* get() const { return pointers_.data(); }
    // The storage of entry i, writable in the forked child before exec.
    char* entry(size_t i) { return strings_[i].data(); }

  private:
    std::vector<std::string> strings_;
    std::vector<char*> pointers_;
};

std::string_view variableName(std::string_view entry) {
    return entry.substr(0, entry.find('='));
}

std::vector<std::string> environmentOf(const Options& options) {
    if (options.environment) return *options.environment;
    std::vector<std::string> env;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) env.emplace_back(*e);
    return env;
}

bool isExecutableFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

// The program's path: as given when it names a path, else the first executable of that name on
// the child's search path. Empty (with errno set) when there is none.
std::string resolveProgram(const std::string& program, const std::vector<std::string>& env) {
    if (program.empty()) {
        errno = ENOENT;
        return {};
    }
    if (program.find('/') != std::string::npos) return program;
    std::string searchPath = kDefaultSearchPath;
    for (const std::string& e : env) {
        if (variableName(e) == "PATH") searchPath = e.substr(5);
    }
    size_t begin = 0;
    for (;;) {
        size_t end = searchPath.find(':', begin);
        std::string folder =
            searchPath.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        std::string candidate = (folder.empty() ? std::string(".") : folder) + "/" + program;
        if (isExecutableFile(candidate)) return candidate;
        if (end == std::string::npos) break;
        begin = end + 1;
    }
    errno = ENOENT;
    return {};
}

// Writes all of data, ignoring a reader that has gone: SIGPIPE is held back in this thread and
// any that the write raised is taken from the pending set.
ssize_t writeWithoutSigpipe(int fd, const void* data, size_t size) {
    sigset_t pipeOnly, old;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    ::sigpending(&pending);
    bool alreadyPending = sigismember(&pending, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipeOnly, &old);
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    int saved = errno;
    if (n < 0 && errno == EPIPE && !alreadyPending) {
        timespec zero{0, 0};
        ::sigtimedwait(&pipeOnly, nullptr, &zero);
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = saved;
    return n;
}

int openPidfd(pid_t pid) {
    // Through syscall(): this glibc declares pidfd_open without C linkage for C++.
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

bool makePipe(Fd& readEnd, Fd& writeEnd) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    readEnd.reset(fds[0]);
    writeEnd.reset(fds[1]);
    return true;
}

// The child side, between fork and exec: only async-signal-safe calls, no allocation.
[[noreturn]] void childFail(int reportFd, int err) {
    ssize_t ignored = ::write(reportFd, &err, sizeof err);
    (void)ignored;
    ::_exit(127);
}

struct ChildPlan {
    const char* path;
    char* const* argv;
    char* const* envp;
    char* listenPidEntry;  // "LISTEN_PID=" and room for the digits, or null
    const char* workingDirectory;
    Grouping grouping;
    const User* user;
    // Descriptors to place: sources[i] goes to targets[i]; -1 sources open /dev/null.
    int sources[64];
    int targets[64];
    int readWrite[64];  // for /dev/null: the open flags
    size_t count;
    int highest;  // above every descriptor named here
    int reportFd;
    int gateFd;  // -1: no gate
};

[[noreturn]] void runChild(ChildPlan& plan) {
    // Default handling of every signal and an empty mask, whatever the caller had.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig) {
        if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
    }
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);

    if (plan.grouping == Grouping::OwnSession) {
        if (::setsid() < 0) childFail(plan.reportFd, errno);
    } else if (plan.grouping == Grouping::OwnGroup) {
        if (::setpgid(0, 0) != 0) childFail(plan.reportFd, errno);
    }

    // Move the report and gate pipes and every source above all numbers in play, then place the
    // sources; a source may sit at another one's target number.
    int high = plan.highest;
    int report = high;
    if (::dup3(plan.reportFd, report, O_CLOEXEC) < 0) childFail(plan.reportFd, errno);
    int gate = -1;
    if (plan.gateFd >= 0) {
        gate = high + 1;
        if (::dup3(plan.gateFd, gate, O_CLOEXEC) < 0) childFail(report, errno);
    }
    int staging = high + 2;
    for (size_t i = 0; i < plan.count; ++i) {
        int src = plan.sources[i];
        if (src < 0) {
            src = ::open("/dev/null", plan.readWrite[i] | O_CLOEXEC);
            if (src < 0) childFail(report, errno);
        }
        // A freshly opened /dev/null may land on its own staging number already.
        if (src != staging + static_cast<int>(i) &&
            ::dup3(src, staging + static_cast<int>(i), O_CLOEXEC) < 0) {
            childFail(report, errno);
        }
    }
    int maxTarget = STDERR_FILENO;
    for (size_t i = 0; i < plan.count; ++i) {
        if (::dup2(staging + static_cast<int>(i), plan.targets[i]) < 0) childFail(report, errno);
        maxTarget = std::max(maxTarget, plan.targets[i]);
    }
    // Nothing else of the caller's reaches the program, not even between the numbers given.
    for (int fd = STDERR_FILENO + 1; fd < maxTarget; ++fd) {
        bool wanted = false;
        for (size_t i = 0; i < plan.count; ++i) wanted = wanted || plan.targets[i] == fd;
        if (!wanted) ::close(fd);
    }
    if (maxTarget + 1 <= high - 1) ::syscall(SYS_close_range, maxTarget + 1, high - 1, 0);
    ::syscall(SYS_close_range, staging, ~0U, 0);
    if (gate < 0) ::syscall(SYS_close_range, high + 1, high + 1, 0);

    if (plan.user) {
        const User& u = *plan.user;
        if (::setgroups(u.groups.size(), u.groups.data()) != 0) childFail(report, errno);
        if (::setgid(u.gid) != 0) childFail(report, errno);
        if (::setuid(u.uid) != 0) childFail(report, errno);
    }
    if (plan.workingDirectory && ::chdir(plan.workingDirectory) != 0) childFail(report, errno);

    if (plan.listenPidEntry) {
        char digits[24];
        int n = 0;
        for (unsigned long v = static_cast<unsigned long>(::getpid()); v != 0 || n == 0; v /= 10) {
            digits[n++] = static_cast<char>('0' + v % 10);
        }
        char* out = plan.listenPidEntry + std::strlen(kListenPid);
        while (n > 0) *out++ = digits[--n];
        *out = '\0';
    }

    if (gate >= 0) {
        char go = 0;
        ssize_t r;
        do {
            r = ::read(gate, &go, 1);
        } while (r < 0 && errno == EINTR);
        if (r != 1) ::_exit(127);
    }
    ::execve(plan.path, plan.argv, plan.envp);
    childFail(report, errno);
}

}  // namespace

void Fd::reset(int fd) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
}

int exitStatusFromWait(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return -WTERMSIG(waitStatus);
    return 0;
}

std::optional<Child> start(const Options& options, int* error) {
    auto fail = [error](int err) -> std::optional<Child> {
        if (error) *error = err;
        return std::nullopt;
    };

    std::vector<std::string> env = environmentOf(options);
    std::string path = resolveProgram(options.program, env);
    if (path.empty()) return fail(errno);

    std::optional<size_t> listenPidIndex;
    if (options.setListenPid) {
        std::erase_if(env, [](const std::string& e) { return variableName(e) == "LISTEN_PID"; });
        listenPidIndex = env.size();
        env.push_back(std::string(kListenPid) + std::string(24, '\0'));
    }
    std::vector<std::string> args =
        options.argv.empty() ? std::vector<std::string>{options.program} : options.argv;
    CStringArray argv(std::move(args));
    CStringArray envp(std::move(env));

    ChildPlan plan{};
    plan.path = path.c_str();
    plan.argv = argv.get();
    plan.envp = envp.get();
    plan.listenPidEntry = listenPidIndex ? envp.entry(*listenPidIndex) : nullptr;
    plan.workingDirectory = options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str();
    plan.grouping = options.grouping;
    plan.user = options.user ? &*options.user : nullptr;

    if (options.passFds.size() > 60) return fail(EINVAL);
    Child child;
    Fd childEnds[3];
    const Stream* streams[3] = {&options.input, &options.output, &options.error};
    Fd* parentEnds[3] = {&child.input, &child.output, &child.error};
    int highest = STDERR_FILENO;
    for (int i = 0; i < 3; ++i) {
        const Stream& s = *streams[i];
        int source = -1;
        switch (s.kind) {
            case Stream::Kind::Inherit:
                continue;
            case Stream::Kind::Null:
                source = -1;
                break;
            case Stream::Kind::File:
                if (s.fd < 0) return fail(EBADF);
                source = s.fd;
                break;
            case Stream::Kind::Pipe: {
                Fd readEnd, writeEnd;
                if (!makePipe(readEnd, writeEnd)) return fail(errno);
                if (i == 0) {
                    childEnds[i] = std::move(readEnd);
                    *parentEnds[i] = std::move(writeEnd);
                } else {
                    childEnds[i] = std::move(writeEnd);
                    *parentEnds[i] = std::move(readEnd);
                }
                source = childEnds[i].get();
                break;
            }
        }
        plan.sources[plan.count] = source;
        plan.targets[plan.count] = i;
        plan.readWrite[plan.count] = i == 0 ? O_RDONLY : O_WRONLY;
        highest = std::max(highest, source);
        ++plan.count;
    }
    for (const PassedFd& p : options.passFds) {
        if (p.fd < 0 || p.childFd <= STDERR_FILENO) return fail(EBADF);
        for (size_t i = 0; i < plan.count; ++i) {
            if (plan.targets[i] == p.childFd) return fail(EINVAL);
        }
        plan.sources[plan.count] = p.fd;
        plan.targets[plan.count] = p.childFd;
        plan.readWrite[plan.count] = O_RDWR;
        highest = std::max({highest, p.fd, p.childFd});
        ++plan.count;
    }

    Fd reportRead, reportWrite, gateRead, gateWrite;
    if (!makePipe(reportRead, reportWrite)) return fail(errno);
    if (options.beforeExec && !makePipe(gateRead, gateWrite)) return fail(errno);
    plan.reportFd = reportWrite.get();
    plan.gateFd = gateRead.get();
    highest = std::max({highest, reportWrite.get(), gateRead.get()});
    plan.highest = highest + 1;

    // No handler of ours may run in the child between fork and exec.
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    pid_t pid = ::fork();
    if (pid == 0) runChild(plan);
    int forkError = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) return fail(forkError);

    for (Fd& end : childEnds) end.reset();
    reportWrite.reset();
    gateRead.reset();
    child.pid = pid;
    child.pidfd.reset(openPidfd(pid));

    if (options.beforeExec) {
        try {
            options.beforeExec(pid);
        } catch (...) {
            // The child still runs; what the caller failed to do is its own concern.
        }
        char go = 1;
        writeWithoutSigpipe(gateWrite.get(), &go, 1);
        gateWrite.reset();
    }

    int childError = 0;
    ssize_t n;
    do {
        n = ::read(reportRead.get(), &childError, sizeof childError);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        ::waitpid(pid, nullptr, 0);
        return fail(childError != 0 ? childError : ECHILD);
    }
    return child;
}

namespace {

int millisecondsUntil(Clock::time_point end) {
    auto left = std::chrono::ceil<milliseconds>(end - Clock::now()).count();
    return static_cast<int>(std::clamp<decltype(left)>(left, 0, 60'000));
}

// Whether pid has ended, without reaping it (its pid, and so its group id, stay reserved).
bool hasExited(pid_t pid) {
    siginfo_t info{};
    int r;
    do {
        r = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
    } while (r < 0 && errno == EINTR);
    return r < 0 || info.si_pid == pid;
}

std::optional<int> reap(pid_t pid, int options) {
    int status = 0;
    pid_t r;
    do {
        r = ::waitpid(pid, &status, options);
    } while (r < 0 && errno == EINTR);
    if (r == pid) return status;
    return std::nullopt;
}

// Reaps pid if it has exited or exits within wait.
std::optional<int> reapWithin(pid_t pid, int pidfd, milliseconds wait) {
    auto end = Clock::now() + wait;
    for (;;) {
        if (std::optional<int> status = reap(pid, WNOHANG)) return status;
        if (Clock::now() >= end) return std::nullopt;
        if (pidfd >= 0) {
            pollfd p{pidfd, POLLIN, 0};
            ::poll(&p, 1, millisecondsUntil(end));
        } else {
            ::usleep(1000);
        }
    }
}

// Reaps children whose caller no longer waits for them. Its one thread exists only while such
// children do. A child still running at its deadline has its process group sent SIGTERM, and
// SIGKILL after the grace.
class Reaper {
  public:
    // Never destroyed: the detached thread may still run while static objects are torn down.
    static Reaper& instance() {
        static Reaper* reaper = new Reaper;
        return *reaper;
    }

    void adopt(pid_t pid, int pidfd, std::optional<Clock::time_point> deadline, milliseconds grace) {
        std::lock_guard lock(mutex_);
        children_.push_back(Entry{pid, pidfd, deadline, grace, Stage::Running});
        if (running_) {
            // The thread may be waiting without this child's deadline or pidfd.
            uint64_t one = 1;
            if (wake_ >= 0 && ::write(wake_, &one, sizeof one) < 0) {
                // A full counter wakes the thread just the same.
            }
            return;
        }
        try {
            std::thread([this] { loop(); }).detach();
            running_ = true;
        } catch (const std::system_error&) {
            // No thread now: the next adoption tries again and reaps this child too.
        }
    }

  private:
    enum class Stage { Running, Terminated, Killed };
    struct Entry {
        pid_t pid;
        int pidfd;
        std::optional<Clock::time_point> deadline;
        milliseconds grace;
        Stage stage;
    };

    Reaper() : wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    void loop() {
        std::vector<pollfd> waitOn;
        for (;;) {
            int timeout = 1000;
            waitOn.clear();
            if (wake_ >= 0) {
                uint64_t count = 0;
                if (::read(wake_, &count, sizeof count) < 0) {
                    // Nothing was pending.
                }
                waitOn.push_back(pollfd{wake_, POLLIN, 0});
            }
            {
                std::lock_guard lock(mutex_);
                auto now = Clock::now();
                std::erase_if(children_, [](const Entry& c) {
                    if (!reap(c.pid, WNOHANG)) return false;
                    if (c.pidfd >= 0) ::close(c.pidfd);
                    return true;
                });
                if (children_.empty()) {
                    running_ = false;
                    return;
                }
                for (Entry& c : children_) {
                    if (c.deadline && c.stage != Stage::Killed) {
                        if (now >= *c.deadline) {
                            // Unreaped, so the group id cannot have been reused.
                            if (c.stage == Stage::Running) {
                                ::kill(-c.pid, SIGTERM);
                                c.stage = Stage::Terminated;
                                c.deadline = now + c.grace;
                            } else {
                                ::kill(-c.pid, SIGKILL);
                                c.stage = Stage::Killed;
                            }
                        }
                        if (c.stage != Stage::Killed)
                            timeout = std::min(timeout, millisecondsUntil(*c.deadline));
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
    std::vector<Entry> children_;
    bool running_ = false;
    int wake_ = -1;
};

void appendCapped(std::string& to, const char* data, size_t size, size_t cap, bool& truncated) {
    if (to.size() + size > cap) {
        truncated = true;
        size = cap > to.size() ? cap - to.size() : 0;
    }
    to.append(data, size);
}

}  // namespace

void reapInBackground(pid_t pid, Fd pidfd, std::optional<Clock::time_point> deadline,
                      milliseconds killGrace) {
    if (pid <= 0) return;
    if (reap(pid, WNOHANG)) return;
    Reaper::instance().adopt(pid, pidfd.release(), deadline, killGrace);
}

RunResult run(Options options, const RunLimits& limits) {
    RunResult result;
    if (!limits.input.empty()) options.input = Stream::pipe();
    options.output = Stream::pipe();
    options.error = Stream::pipe();
    auto deadline = Clock::now() + limits.deadline;
    int err = 0;
    std::optional<Child> child = start(options, &err);
    if (!child) {
        result.spawnError = err != 0 ? err : ECHILD;
        return result;
    }
    result.pid = child->pid;
    if (limits.started) {
        try {
            limits.started(child->pid);
        } catch (...) {
            // The child must still be drained and reaped.
        }
    }

    std::string_view pendingInput = limits.input;
    if (child->input.valid()) {
        ::fcntl(child->input.get(), F_SETFL, ::fcntl(child->input.get(), F_GETFL) | O_NONBLOCK);
    }
    enum class Phase { Running, Terminating, Killing, GivingUp } phase = Phase::Running;
    Clock::time_point phaseEnd = deadline;
    std::vector<char> buffer(64 * 1024);
    std::string* sinks[2] = {&result.output, &result.error};
    bool* truncated[2] = {&result.outputTruncated, &result.errorTruncated};
    Fd* streams[2] = {&child->output, &child->error};
    bool exited = false;

    for (;;) {
        bool streamsOpen = streams[0]->valid() || streams[1]->valid();
        if (!exited && (limits.waitForExit || !streamsOpen)) exited = hasExited(child->pid);
        if (!streamsOpen && (exited || !limits.waitForExit)) break;
        if (Clock::now() >= phaseEnd) {
            result.timedOut = true;
            if (phase == Phase::Running) {
                ::kill(-child->pid, SIGTERM);
                phase = Phase::Terminating;
            } else if (phase == Phase::Terminating) {
                ::kill(-child->pid, SIGKILL);
                phase = Phase::Killing;
            } else {
                // Something outside the group holds the streams open, or the child cannot die.
                break;
            }
            phaseEnd = Clock::now() + limits.killGrace;
            continue;
        }

        pollfd fds[4];
        int slots[4];
        nfds_t n = 0;
        for (int i = 0; i < 2; ++i) {
            if (streams[i]->valid()) {
                fds[n] = {streams[i]->get(), POLLIN, 0};
                slots[n++] = i;
            }
        }
        if (child->input.valid()) {
            fds[n] = {child->input.get(), POLLOUT, 0};
            slots[n++] = 2;
        }
        bool watchExit = limits.waitForExit && !exited;
        int timeout = millisecondsUntil(phaseEnd);
        if (watchExit) {
            if (child->pidfd.valid()) {
                fds[n] = {child->pidfd.get(), POLLIN, 0};
                slots[n++] = 3;
            } else {
                timeout = std::min(timeout, 20);
            }
        }
        int ready = ::poll(fds, n, timeout);
        if (ready < 0) {
            if (errno == EINTR) continue;
            result.readFailed = true;
            break;
        }
        for (nfds_t k = 0; k < n; ++k) {
            if (fds[k].revents == 0) continue;
            int slot = slots[k];
            if (slot < 2) {
                ssize_t got = ::read(fds[k].fd, buffer.data(), buffer.size());
                if (got > 0) {
                    appendCapped(*sinks[slot], buffer.data(), static_cast<size_t>(got), limits.maxStreamBytes,
                                 *truncated[slot]);
                } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                    if (got < 0) result.readFailed = true;
                    streams[slot]->reset();
                }
            } else if (slot == 2) {
                ssize_t put =
                    writeWithoutSigpipe(child->input.get(), pendingInput.data(), pendingInput.size());
                if (put > 0) pendingInput.remove_prefix(static_cast<size_t>(put));
                if (pendingInput.empty() || (put < 0 && errno != EAGAIN)) child->input.reset();
            }
        }
    }
    child->input.reset();
    child->output.reset();
    child->error.reset();

    if (std::optional<int> status = reapWithin(child->pid, child->pidfd.get(), milliseconds(100))) {
        result.waitStatus = status;
    } else {
        std::optional<Clock::time_point> backgroundDeadline = deadline;
        milliseconds grace = limits.killGrace;
        if (phase == Phase::Terminating) {
            backgroundDeadline = phaseEnd;
            grace = milliseconds(0);
        } else if (phase != Phase::Running) {
            backgroundDeadline = Clock::now();
            grace = milliseconds(0);
            ::kill(-child->pid, SIGKILL);
        }
        reapInBackground(child->pid, std::move(child->pidfd), backgroundDeadline, grace);
    }
    return result;
}

}  // namespace spawn
