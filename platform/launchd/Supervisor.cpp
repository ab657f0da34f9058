#include "Supervisor.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "JobRecords.h"
#include "platform/paths/Paths.h"
#include "platform/process/ProcStat.h"
#include "platform/spawn/Spawn.h"

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

// The job's output file, appended to as the job's user; -1 (and the caller relays the stream)
// when it cannot be opened.
int openOutput(const std::string& path, const std::string& label, const std::optional<OutputOwner>& owner) {
    std::string mapped = mapUnderRoot(path);
    int fd = openJobOutput(mapped, owner);
    if (fd < 0) {
        std::fprintf(stderr, "launchd: %s: cannot open %s: %s; relaying to the journal\n", label.c_str(),
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
        // The socket-activation variables are the supervisor's to set (it may itself have been
        // started with sockets): a job without names must not believe it got any.
        if (name == kRootVariable || name == "LISTEN_PID" || name == "LISTEN_FDS" ||
            name == "LISTEN_FDNAMES" || desc.environmentVariables.count(name)) {
            continue;
        }
        env.push_back(std::move(entry));
    }
    for (const auto& [name, value] : desc.environmentVariables) {
        if (name != kRootVariable && name.rfind("LISTEN_", 0) != 0) env.push_back(name + "=" + value);
    }
    std::string root = paths::root();
    env.push_back(std::string(kRootVariable) + "=" + (root.empty() ? "/" : root));
    return env;
}

// Signals the job's process group (each job leads its own session), and the process itself
// should the group be gone already.
void signalJob(pid_t pid, int sig) {
    if (pid <= 0) return;
    if (::kill(-pid, sig) != 0) ::kill(pid, sig);
}

}  // namespace

int exitStatusFromWait(int waitStatus) {
    return spawn::exitStatusFromWait(waitStatus);
}

void killRemains(pid_t jobPid) {
    if (jobPid <= 0) return;
    // The group id stays reserved while a member lives, so this reaches only the job's remains.
    ::kill(-jobPid, SIGKILL);
    for (pid_t member : proclist::membersOfGroupOrSession(jobPid)) ::kill(member, SIGKILL);
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
        killRemains(pid);
    }
    for (auto& [label, job] : jobs_) job.pid = 0;
    saveRecords();
}

bool Supervisor::resolveUser(Job& job, std::string* error) {
    job.runAs.reset();
    job.home.clear();
    job.scope = ipc::Scope::root();
    const std::string& name = job.desc.userName;
    if (name.empty()) return true;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || !found) {
        if (error) *error = "unknown user \"" + name + "\"";
        return false;
    }
    if (pw.pw_uid == ::geteuid()) return true;  // the supervisor's own user: nothing to switch
    if (::geteuid() != 0) {
        if (error) *error = "only a root supervisor runs a job as another user (\"" + name + "\")";
        return false;
    }
    Job::RunAs user{pw.pw_uid, pw.pw_gid, {}};
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0 && count > 0) {
        groups.resize(static_cast<size_t>(count));
        if (::getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) count = 0;
    }
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    user.groups = std::move(groups);
    job.runAs = std::move(user);
    job.home = pw.pw_dir ? pw.pw_dir : "";
    job.scope = ipc::Scope::ofUser(pw.pw_uid);
    return true;
}

bool Supervisor::openEndpoints(Job& job, std::string* error) {
    if (!resolveUser(job, error)) {
        std::fprintf(stderr, "launchd: %s: %s\n", job.desc.label.c_str(),
                     error ? error->c_str() : "bad UserName");
        job.endpoints.clear();
        return false;
    }
    const std::vector<std::string>& names = job.desc.machServices;
    std::vector<std::unique_ptr<ipc::ListeningEndpoint>> kept;
    for (auto& endpoint : job.endpoints) {
        if (!endpoint) continue;
        bool wanted = false;
        for (const std::string& name : names) {
            wanted = wanted || endpoint->path() == ipc::socketPath(ipc::ServiceKind::Xpc, name, job.scope);
        }
        if (wanted) kept.push_back(std::move(endpoint));
    }
    job.endpoints.clear();
    if (!names.empty()) ipc::ensureRuntimeFolder();
    // A root supervisor's own jobs run as root: their names are for root's clients only. A user's
    // job serves that user, whose 0700 folder keeps the others out.
    bool rootOnly = ::geteuid() == 0 && job.scope.isRoot();
    for (const std::string& name : names) {
        std::string path = ipc::socketPath(ipc::ServiceKind::Xpc, name, job.scope);
        auto same =
            std::find_if(kept.begin(), kept.end(), [&](const auto& e) { return e && e->path() == path; });
        if (same != kept.end()) {
            job.endpoints.push_back(std::move(*same));
            continue;
        }
        ipc::EndpointError reason = ipc::EndpointError::None;
        std::unique_ptr<ipc::ListeningEndpoint> endpoint =
            ipc::ListeningEndpoint::open(ipc::ServiceKind::Xpc, name, rootOnly, job.scope, &reason);
        if (!endpoint) {
            std::string text = "cannot register service name \"" + name + "\": " +
                               (reason == ipc::EndpointError::NameHeld      ? "another process holds it"
                                : reason == ipc::EndpointError::InvalidName ? "invalid name"
                                                                            : std::strerror(errno));
            std::fprintf(stderr, "launchd: %s: %s\n", job.desc.label.c_str(), text.c_str());
            if (error) *error = text;
            job.endpoints.clear();
            return false;
        }
        job.endpoints.push_back(std::move(endpoint));
    }
    return true;
}

void Supervisor::saveRecords(const std::string* label, pid_t pid, uint64_t startTime) {
    if (recordsPath_.empty()) return;
    std::vector<JobRecord> records;
    for (const auto& [name, job] : jobs_) {
        if (job.pid > 0 && !(label && name == *label)) records.push_back({job.pid, job.startTime, name});
    }
    if (label && pid > 0) records.push_back({pid, startTime, *label});
    if (!writeJobRecords(recordsPath_, records)) {
        std::fprintf(stderr, "launchd: cannot record the jobs in %s: %s\n", recordsPath_.c_str(),
                     std::strerror(errno));
    }
}

void Supervisor::forget(std::map<std::string, Job>::iterator it) {
    std::fprintf(stderr, "launchd: %s: unloaded\n", it->first.c_str());
    jobs_.erase(it);
}

bool Supervisor::start(Job& job, double now, std::string* error) {
    job.lastStart = now;
    job.restartAt.reset();
    const JobDescription& desc = job.desc;

    std::string root = paths::root();
    spawn::Options options;
    options.program = resolveExecutable(desc.executable());
    options.argv = desc.argv();
    options.environment = jobEnvironment(desc);
    options.workingDirectory =
        desc.workingDirectory.empty() ? (root.empty() ? "/" : root) : mapUnderRoot(desc.workingDirectory);
    options.grouping = spawn::Grouping::OwnSession;
    if (job.runAs) {
        // The user's own identity in the environment, not the supervisor's.
        std::vector<std::string>& env = *options.environment;
        for (const auto& [name, value] : {std::pair<std::string, std::string>{"HOME", job.home},
                                          {"USER", desc.userName},
                                          {"LOGNAME", desc.userName}}) {
            if (desc.environmentVariables.count(name)) continue;
            const std::string prefix = name + "=";
            std::erase_if(env, [&prefix](const std::string& e) { return e.rfind(prefix, 0) == 0; });
            env.push_back(name + "=" + value);
        }
        options.user = spawn::User{job.runAs->uid, job.runAs->gid, job.runAs->groups};
    }

    if (!job.endpoints.empty()) {
        std::string names;
        for (size_t i = 0; i < job.endpoints.size(); ++i) {
            options.passFds.push_back({job.endpoints[i]->fd(), static_cast<int>(3 + i)});
            if (i > 0) names += ":";
            names += ipc::socketFileName(ipc::ServiceKind::Xpc, desc.machServices[i]);
        }
        options.environment->push_back("LISTEN_FDS=" + std::to_string(job.endpoints.size()));
        options.environment->push_back("LISTEN_FDNAMES=" + names);
        options.setListenPid = true;
    }

    std::optional<OutputOwner> owner;
    if (job.runAs) owner = OutputOwner{job.runAs->uid, job.runAs->gid, job.runAs->groups};
    int outFd = desc.standardOutPath.empty() ? -1 : openOutput(desc.standardOutPath, desc.label, owner);
    int errFd = desc.standardErrorPath.empty() ? -1 : openOutput(desc.standardErrorPath, desc.label, owner);
    // Streams without a file of their own share one pipe to the supervisor.
    int relayFd = outFd < 0 || errFd < 0 ? relay_.open(desc.label) : -1;
    auto stream = [relayFd](int fd) {
        if (fd >= 0) return spawn::Stream::file(fd);
        return relayFd >= 0 ? spawn::Stream::file(relayFd) : spawn::Stream::null();
    };
    options.input = spawn::Stream::null();
    options.output = stream(outFd);
    options.error = stream(errFd);
    // The job is on record before its program runs, so a crash of ours at any moment leaves no
    // job that the next supervisor does not know of.
    uint64_t startTime = 0;
    options.beforeExec = [&](pid_t pid) {
        startTime = recordOf(pid, desc.label).startTime;
        saveRecords(&desc.label, pid, startTime);
    };

    int rc = 0;
    std::optional<spawn::Child> child = spawn::start(options, &rc);
    if (outFd >= 0) ::close(outFd);
    if (errFd >= 0) ::close(errFd);
    if (relayFd >= 0) ::close(relayFd);

    if (!child) {
        std::string reason = std::string("cannot start ") + options.program + ": " + std::strerror(rc);
        std::fprintf(stderr, "launchd: %s: %s\n", desc.label.c_str(), reason.c_str());
        if (error) *error = reason;
        job.pid = 0;
        job.lastExitStatus = 127;
        if (desc.keepAlive) job.restartAt = now + options_.throttleSeconds;
        saveRecords();
        return false;
    }
    job.pid = child->pid;
    job.startTime = startTime;
    std::fprintf(stderr, "launchd: %s: started pid %d\n", desc.label.c_str(), static_cast<int>(job.pid));
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
        if (!openEndpoints(job, &result.error)) {
            result.outcome = LoadOutcome::NotLoaded;
            jobs_.erase(it);
            return result;
        }
        bool started = start(job, now, &result.error);
        result.outcome = started ? LoadOutcome::Started : LoadOutcome::StartFailed;
        result.pid = job.pid;
        return result;
    }
    Job& job = jobs_[desc.label];
    job.desc = desc;
    if (!openEndpoints(job, &result.error)) {
        result.outcome = LoadOutcome::NotLoaded;
        jobs_.erase(desc.label);
        return result;
    }
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
        forget(it);
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
    // What the job left behind in its group and session goes with it, so a new instance never
    // runs beside the remains of the old one.
    killRemains(pid);
    saveRecords();
    if (job.stopping) {
        if (!job.reloadDesc) {
            forget(it);
            return true;
        }
        job.desc = *job.reloadDesc;
        job.reloadDesc.reset();
        job.stopping = false;
        job.killAt.reset();
        if (!openEndpoints(job, nullptr)) {
            forget(it);
            return true;
        }
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

std::optional<double> Supervisor::nextDemandWatch(double now) const {
    std::optional<double> next;
    for (const auto& [label, job] : jobs_) {
        if (job.endpoints.empty() || job.pid > 0 || job.stopping || !job.lastStart) continue;
        double at = *job.lastStart + options_.throttleSeconds;
        if (at > now && (!next || at < *next)) next = at;
    }
    return next;
}

std::vector<Supervisor::DemandSocket> Supervisor::demandSockets(double now) const {
    std::vector<DemandSocket> out;
    for (const auto& [label, job] : jobs_) {
        if (job.endpoints.empty() || job.pid > 0 || job.stopping || job.restartAt) continue;
        if (job.lastStart && now < *job.lastStart + options_.throttleSeconds) continue;
        for (const auto& endpoint : job.endpoints) out.push_back(DemandSocket{endpoint->fd(), label});
    }
    return out;
}

bool Supervisor::demand(const std::string& label, double now) {
    auto it = jobs_.find(label);
    if (it == jobs_.end()) return false;
    Job& job = it->second;
    if (job.pid > 0 || job.stopping || job.endpoints.empty()) return false;
    std::fprintf(stderr, "launchd: %s: a client is waiting; starting it\n", label.c_str());
    return start(job, now, nullptr);
}

}  // namespace launchd
