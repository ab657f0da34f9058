#include "launchd/Supervisor.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "paths/Paths.h"

extern char** environ;

namespace launchd {

namespace {

constexpr const char* kRootVariable = "RAVAVIZA_ROOT";

bool startsWith(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

bool isUnderRoot(const std::string& path, const std::string& root) {
    return path == root || startsWith(path, root + "/");
}

// Absolute paths in a job file are paths of the machine, so they move under the root prefix
// like every product path.
std::string mapUnderRoot(const std::string& path) {
    const std::string root = paths::root();
    if (root.empty() || path.empty() || path.front() != '/' || isUnderRoot(path, root)) return path;
    return paths::under(path);
}

// The product's programs lie under the root prefix; system tools (/bin/sh, /usr/bin/python3)
// exist only outside it and run from there.
std::string resolveExecutable(const std::string& path) {
    std::string mapped = mapUnderRoot(path);
    if (mapped != path && ::access(mapped.c_str(), X_OK) != 0) return path;
    return mapped;
}

// The job's output file, appended to; -1 (and the caller uses /dev/null) when it cannot be opened.
int openOutput(const std::string& path, const std::string& label) {
    if (path.empty()) return -1;
    std::string mapped = mapUnderRoot(path);
    int fd = ::open(mapped.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd < 0) {
        std::fprintf(stderr, "launchd: %s: cannot open %s: %s; using /dev/null\n", label.c_str(),
                     mapped.c_str(), std::strerror(errno));
    }
    return fd;
}

// The supervisor's environment, the job's EnvironmentVariables over it, and the root prefix
// last, so no job file can move a job out of the supervisor's root.
std::vector<std::string> jobEnvironment(const JobDescription& desc) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        if (name == kRootVariable || desc.environmentVariables.count(name)) continue;
        env.push_back(std::move(entry));
    }
    for (const auto& [name, value] : desc.environmentVariables) {
        if (name != kRootVariable) env.push_back(name + "=" + value);
    }
    std::string root = paths::root();
    env.push_back(std::string(kRootVariable) + "=" + (root.empty() ? "/" : root));
    return env;
}

std::vector<char*> cStrings(std::vector<std::string>& strings) {
    std::vector<char*> out;
    out.reserve(strings.size() + 1);
    for (std::string& s : strings) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Signals the job's process group (each job leads its own session), and the process itself
// should the group be gone already.
void signalJob(pid_t pid, int sig) {
    if (pid <= 0) return;
    if (::kill(-pid, sig) != 0) ::kill(pid, sig);
}

}  // namespace

int exitStatusFromWait(int waitStatus) {
    if (WIFEXITED(waitStatus)) return WEXITSTATUS(waitStatus);
    if (WIFSIGNALED(waitStatus)) return -WTERMSIG(waitStatus);
    return 0;
}

Supervisor::Supervisor(SupervisorOptions options) : options_(options) {
    // With no throttle at all a KeepAlive job that cannot start would be retried in a tight loop.
    options_.throttleSeconds = std::max(options_.throttleSeconds, 0.1);
    options_.exitTimeoutSeconds = std::max(options_.exitTimeoutSeconds, 0.0);
}

Supervisor::~Supervisor() {
    std::vector<pid_t> running;
    for (auto& [label, job] : jobs_) {
        if (job.pid > 0) {
            signalJob(job.pid, SIGKILL);
            running.push_back(job.pid);
        }
    }
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    for (pid_t pid : running) {
        while (::waitpid(pid, nullptr, WNOHANG) == 0 && std::chrono::steady_clock::now() < giveUp) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

bool Supervisor::start(Job& job, double now, std::string* error) {
    job.lastStart = now;
    job.restartAt.reset();
    const JobDescription& desc = job.desc;

    std::string executable = resolveExecutable(desc.executable());
    std::vector<std::string> args = desc.argv();
    std::vector<std::string> env = jobEnvironment(desc);
    std::vector<char*> argv = cStrings(args);
    std::vector<char*> envp = cStrings(env);
    std::string root = paths::root();
    std::string workingDirectory =
        desc.workingDirectory.empty() ? (root.empty() ? "/" : root) : mapUnderRoot(desc.workingDirectory);

    int outFd = openOutput(desc.standardOutPath, desc.label);
    int errFd = openOutput(desc.standardErrorPath, desc.label);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (outFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    if (errFd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, errFd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    }
    // Nothing of the supervisor (its socket, other jobs' files) leaks into a job.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());

    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t pid = 0;
    int rc = executable.find('/') != std::string::npos
                 ? posix_spawn(&pid, executable.c_str(), &actions, &attr, argv.data(), envp.data())
                 : posix_spawnp(&pid, executable.c_str(), &actions, &attr, argv.data(), envp.data());
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    if (outFd >= 0) ::close(outFd);
    if (errFd >= 0) ::close(errFd);

    if (rc != 0) {
        std::string reason = std::string("cannot start ") + executable + ": " + std::strerror(rc);
        std::fprintf(stderr, "launchd: %s: %s\n", desc.label.c_str(), reason.c_str());
        if (error) *error = reason;
        job.pid = 0;
        job.lastExitStatus = 127;
        if (desc.keepAlive) job.restartAt = now + options_.throttleSeconds;
        return false;
    }
    job.pid = pid;
    std::fprintf(stderr, "launchd: %s: started pid %d\n", desc.label.c_str(), static_cast<int>(pid));
    return true;
}

LoadResult Supervisor::load(const JobDescription& desc, LoadOptions options, double now) {
    LoadResult result;
    if (desc.disabled && !options.write && !options.force) {
        result.outcome = LoadOutcome::Disabled;
        return result;
    }
    auto it = jobs_.find(desc.label);
    if (it != jobs_.end()) {
        Job& job = it->second;
        if (job.stopping) {
            job.reloadDesc = desc;
            result.outcome = LoadOutcome::Loaded;
            return result;
        }
        if (job.pid > 0) {
            result.outcome = LoadOutcome::AlreadyRunning;
            result.pid = job.pid;
            return result;
        }
        // Loaded but not running: the caller wants it running (the daemon reloads a job it
        // found dead this way). The job file may have been replaced meanwhile.
        job.desc = desc;
        bool started = start(job, now, &result.error);
        result.outcome = started ? LoadOutcome::Started : LoadOutcome::StartFailed;
        result.pid = job.pid;
        return result;
    }
    Job& job = jobs_[desc.label];
    job.desc = desc;
    if (!desc.runAtLoad && !desc.keepAlive) {
        result.outcome = LoadOutcome::Loaded;
        return result;
    }
    bool started = start(job, now, &result.error);
    result.outcome = started ? LoadOutcome::Started : LoadOutcome::StartFailed;
    result.pid = job.pid;
    return result;
}

UnloadOutcome Supervisor::unload(const std::string& label, double now) {
    auto it = jobs_.find(label);
    if (it == jobs_.end()) return UnloadOutcome::NotLoaded;
    Job& job = it->second;
    job.reloadDesc.reset();
    if (job.stopping) return UnloadOutcome::Stopping;
    if (job.pid <= 0) {
        jobs_.erase(it);
        std::fprintf(stderr, "launchd: %s: unloaded\n", label.c_str());
        return UnloadOutcome::Removed;
    }
    job.stopping = true;
    job.restartAt.reset();
    job.killAt = now + options_.exitTimeoutSeconds;
    signalJob(job.pid, SIGTERM);
    return UnloadOutcome::Stopping;
}

void Supervisor::unloadAll(double now) {
    std::vector<std::string> labels;
    for (const auto& [label, job] : jobs_) labels.push_back(label);
    for (const std::string& label : labels) unload(label, now);
}

JobInfo Supervisor::info(const Job& job) {
    return JobInfo{job.desc, job.pid, job.lastExitStatus, job.stopping};
}

std::vector<JobInfo> Supervisor::list() const {
    std::vector<JobInfo> out;
    out.reserve(jobs_.size());
    for (const auto& [label, job] : jobs_) out.push_back(info(job));
    return out;
}

std::optional<JobInfo> Supervisor::job(const std::string& label) const {
    auto it = jobs_.find(label);
    if (it == jobs_.end()) return std::nullopt;
    return info(it->second);
}

bool Supervisor::isStopping(const std::string& label) const {
    auto it = jobs_.find(label);
    return it != jobs_.end() && it->second.stopping;
}

bool Supervisor::childExited(pid_t pid, int waitStatus, double now) {
    if (pid <= 0) return false;
    auto it = std::find_if(jobs_.begin(), jobs_.end(),
                           [pid](const auto& entry) { return entry.second.pid == pid; });
    if (it == jobs_.end()) return false;
    Job& job = it->second;
    job.pid = 0;
    job.lastExitStatus = exitStatusFromWait(waitStatus);
    std::fprintf(stderr, "launchd: %s: pid %d ended with status %d\n", it->first.c_str(),
                 static_cast<int>(pid), job.lastExitStatus);
    if (job.stopping) {
        // What the job left behind in its group goes with it.
        ::kill(-pid, SIGKILL);
        if (!job.reloadDesc) {
            std::fprintf(stderr, "launchd: %s: unloaded\n", it->first.c_str());
            jobs_.erase(it);
            return true;
        }
        job.desc = *job.reloadDesc;
        job.reloadDesc.reset();
        job.stopping = false;
        job.killAt.reset();
        if (job.desc.runAtLoad || job.desc.keepAlive) start(job, now, nullptr);
        return true;
    }
    if (job.desc.keepAlive) {
        double earliest = job.lastStart ? *job.lastStart + options_.throttleSeconds : now;
        job.restartAt = std::max(now, earliest);
    }
    return true;
}

void Supervisor::reapChildren(double now) {
    std::vector<pid_t> running;
    for (const auto& [label, job] : jobs_) {
        if (job.pid > 0) running.push_back(job.pid);
    }
    for (pid_t pid : running) {
        int status = 0;
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) childExited(pid, status, now);
    }
}

void Supervisor::tick(double now) {
    for (auto& [label, job] : jobs_) {
        if (job.restartAt && *job.restartAt <= now && job.pid == 0 && !job.stopping) start(job, now, nullptr);
        if (job.killAt && *job.killAt <= now && job.pid > 0) {
            std::fprintf(stderr, "launchd: %s: pid %d did not stop in time; killing it\n", label.c_str(),
                         static_cast<int>(job.pid));
            signalJob(job.pid, SIGKILL);
            job.killAt.reset();
        }
    }
}

std::optional<double> Supervisor::nextDeadline() const {
    std::optional<double> next;
    auto consider = [&next](const std::optional<double>& t) {
        if (t && (!next || *t < *next)) next = t;
    };
    for (const auto& [label, job] : jobs_) {
        consider(job.restartAt);
        consider(job.killAt);
    }
    return next;
}

}  // namespace launchd
