#include "Service.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <list>

#include "Client.h"
#include "JobRecords.h"
#include "Protocol.h"
#include "platform/archive/Plist.h"
#include "platform/ipc/Framing.h"
#include "platform/paths/Paths.h"

namespace launchd {

namespace {

// A request must arrive within this time of the connection; its frame within kReadSeconds
// once the first bytes are there. The loop serves everyone, so no client may hold it long.
constexpr double kClientIdleSeconds = 5.0;
constexpr double kReadSeconds = 1.0;
constexpr double kWriteSeconds = 2.0;
// Cap on one poll wait, so the loop looks at its clocks at least this often.
constexpr int kMaxPollMs = 1000;

double monotonicNow() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

JobStatus statusOf(const JobInfo& info) {
    JobStatus s;
    s.label = info.desc.label;
    s.pid = info.pid;
    s.lastExitStatus = info.lastExitStatus;
    s.program = info.desc.executable();
    s.programArguments = info.desc.argv();
    return s;
}

Reply makeReply(ReplyStatus status, std::string message = {}) {
    Reply r;
    r.status = status;
    r.message = std::move(message);
    return r;
}

class Server {
  public:
    explicit Server(const ServiceOptions& options) : options_(options), supervisor_(options.supervisor) {}
    ~Server();
    int run();

  private:
    struct Connection {
        int fd = -1;
        double acceptedAt = 0;
    };
    struct PendingUnload {
        int fd = -1;
        std::string label;
        double giveUpAt = 0;
    };

    bool setUp();
    // Ends the jobs a previous supervisor of this root left running (it crashed or was killed).
    void endJobsOfPreviousLife();
    void loadBootJobs(double now);
    void acceptClients(double now);
    // Reads and answers one request; false when the connection is done with.
    bool serve(Connection& c, double now);
    // The reply, or nothing when it must wait (an unload answers once the job has ended).
    std::optional<Reply> handle(const archive::Value& request, int fd, double now);
    Reply handleLoad(const archive::Value& request, double now);
    std::optional<Reply> handleUnload(const archive::Value& request, int fd, double now);
    Reply handleList(const archive::Value& request);
    void reapAll(double now);
    void readSignals(double now);
    void finishPendingUnloads(double now);
    static void answer(int fd, const Reply& reply);
    int pollTimeoutMs(double now) const;

    ServiceOptions options_;
    Supervisor supervisor_;
    std::string socketPath_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    int signalFd_ = -1;
    std::list<Connection> connections_;
    std::list<PendingUnload> pendingUnloads_;
    bool shuttingDown_ = false;
    double shutdownGiveUpAt_ = 0;
};

Server::~Server() {
    for (Connection& c : connections_) ::close(c.fd);
    for (PendingUnload& p : pendingUnloads_) ::close(p.fd);
    if (listenFd_ >= 0) {
        ::close(listenFd_);
        ::unlink(socketPath_.c_str());
    }
    if (signalFd_ >= 0) ::close(signalFd_);
    if (lockFd_ >= 0) ::close(lockFd_);
}

bool Server::setUp() {
    std::string folder = paths::runtimeFolder();
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        std::fprintf(stderr, "launchd: cannot create %s: %s\n", folder.c_str(), ec.message().c_str());
        return false;
    }

    // One supervisor per root: a second one would unlink the first one's socket.
    std::string lockPath = folder + "/launchd.lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0 || ::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        std::fprintf(stderr, "launchd: another launchd runs for %s\n", folder.c_str());
        return false;
    }

    socketPath_ = socketPath();
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (socketPath_.size() >= sizeof addr.sun_path) {
        std::fprintf(stderr, "launchd: socket path too long: %s\n", socketPath_.c_str());
        return false;
    }
    std::memcpy(addr.sun_path, socketPath_.c_str(), socketPath_.size() + 1);
    ::unlink(socketPath_.c_str());
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listenFd_ < 0) return false;
    // Created 0600 from the start: there is no moment at which another user could connect.
    mode_t old = ::umask(0177);
    int bound = ::bind(listenFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    ::umask(old);
    if (bound != 0 || ::chmod(socketPath_.c_str(), 0600) != 0 || ::listen(listenFd_, 32) != 0) {
        std::fprintf(stderr, "launchd: cannot listen on %s: %s\n", socketPath_.c_str(), std::strerror(errno));
        return false;
    }

    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&mask, sig);
    signalFd_ = ::signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signalFd_ < 0) return false;
    // Processes that the jobs leave behind become ours when their parent ends, so they are
    // reaped here and never linger as zombies.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    endJobsOfPreviousLife();
    return true;
}

void Server::endJobsOfPreviousLife() {
    std::string path = paths::runtimeFolder() + "/launchd.jobs";
    std::vector<JobRecord> records = readJobRecords(path);
    for (const JobRecord& r : endLeftoverJobs(records, options_.supervisor.exitTimeoutSeconds)) {
        std::fprintf(stderr, "launchd: %s: ended pid %d left by a previous launchd\n", r.label.c_str(),
                     static_cast<int>(r.pid));
    }
    // Only now, with the lock held and the old jobs gone, does this supervisor keep the record.
    supervisor_.recordJobsIn(path);
    if (!writeJobRecords(path, {})) {
        std::fprintf(stderr, "launchd: cannot write %s: %s\n", path.c_str(), std::strerror(errno));
    }
}

void Server::loadBootJobs(double now) {
    std::string folder = paths::launchDaemonsFolder();
    std::error_code ec;
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
        if (entry.path().extension() == ".plist") files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    for (const std::string& path : files) {
        std::string error;
        std::optional<JobDescription> desc = readJobFile(path, &error);
        if (!desc) {
            std::fprintf(stderr, "launchd: %s: %s\n", path.c_str(), error.c_str());
            continue;
        }
        supervisor_.load(*desc, {}, now);
    }
}

void Server::answer(int fd, const Reply& reply) {
    if (std::optional<archive::Data> bytes =
            archive::serializePlist(protocol::encodeReply(reply), archive::PlistFormat::Binary)) {
        ipc::writeFrame(fd, *bytes, ipc::deadlineAfter(kWriteSeconds));
    }
    ::close(fd);
}

void Server::acceptClients(double now) {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        ucred cred{};
        socklen_t len = sizeof cred;
        bool allowed = ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 &&
                       (cred.uid == 0 || cred.uid == ::geteuid());
        if (!allowed) {
            std::fprintf(stderr, "launchd: refused a client of uid %u\n", static_cast<unsigned>(cred.uid));
            answer(fd, makeReply(ReplyStatus::Failed, "Operation not permitted"));
            continue;
        }
        connections_.push_back(Connection{fd, now});
    }
}

Reply Server::handleLoad(const archive::Value& request, double now) {
    const archive::Value* path = request.find(protocol::kPath);
    if (!path || !path->string() || path->string()->empty()) return makeReply(ReplyStatus::Failed, "no path");
    std::string error;
    std::optional<JobDescription> desc = readJobFile(*path->string(), &error);
    if (!desc) return makeReply(ReplyStatus::Failed, error);
    LoadOptions flags;
    if (const archive::Value* w = request.find(protocol::kWrite)) flags.write = w->boolean().value_or(false);
    if (const archive::Value* f = request.find(protocol::kForce)) flags.force = f->boolean().value_or(false);
    if (const archive::Value* u = request.find(protocol::kUserName);
        u && u->string() && !u->string()->empty()) {
        desc->userName = *u->string();
    }
    LoadResult result = supervisor_.load(*desc, flags, now);
    switch (result.outcome) {
        case LoadOutcome::Started:
        case LoadOutcome::Loaded:
            return makeReply(ReplyStatus::Ok);
        case LoadOutcome::AlreadyRunning:
            return makeReply(ReplyStatus::Ok, "service already loaded");
        case LoadOutcome::Disabled:
            return makeReply(ReplyStatus::Failed, "service is disabled (load it with -w or -F)");
        case LoadOutcome::StartFailed:
        case LoadOutcome::NotLoaded:
            return makeReply(ReplyStatus::Failed, result.error);
    }
    return makeReply(ReplyStatus::Failed, "unexpected load outcome");
}

std::optional<Reply> Server::handleUnload(const archive::Value& request, int fd, double now) {
    const archive::Value* path = request.find(protocol::kPath);
    if (!path || !path->string() || path->string()->empty()) return makeReply(ReplyStatus::Failed, "no path");
    std::string label;
    std::string error;
    if (std::optional<JobDescription> desc = readJobFile(*path->string(), &error)) {
        label = desc->label;
    } else {
        // The file may be gone or broken by now; the job loaded from it is still ours to stop.
        for (const JobInfo& info : supervisor_.list()) {
            if (info.desc.path == *path->string()) label = info.desc.label;
        }
        if (label.empty()) return makeReply(ReplyStatus::Failed, error);
    }
    switch (supervisor_.unload(label, now)) {
        case UnloadOutcome::NotLoaded:
            return makeReply(ReplyStatus::NotFound, "Could not find specified service");
        case UnloadOutcome::Removed:
            return makeReply(ReplyStatus::Ok);
        case UnloadOutcome::Stopping:
            pendingUnloads_.push_back(
                PendingUnload{fd, label, now + options_.supervisor.exitTimeoutSeconds + kClientIdleSeconds});
            return std::nullopt;
    }
    return makeReply(ReplyStatus::Failed, "unexpected unload outcome");
}

Reply Server::handleList(const archive::Value& request) {
    Reply reply = makeReply(ReplyStatus::Ok);
    if (const archive::Value* label = request.find(protocol::kLabel); label && label->string()) {
        std::optional<JobInfo> info = supervisor_.job(*label->string());
        if (!info) {
            return makeReply(ReplyStatus::NotFound,
                             "Could not find service \"" + *label->string() + "\" in domain for port");
        }
        reply.jobs.push_back(statusOf(*info));
        return reply;
    }
    for (const JobInfo& info : supervisor_.list()) reply.jobs.push_back(statusOf(info));
    return reply;
}

std::optional<Reply> Server::handle(const archive::Value& request, int fd, double now) {
    const archive::Value* command = request.find(protocol::kCommand);
    if (!command || !command->string()) return makeReply(ReplyStatus::Failed, "no command");
    const std::string& name = *command->string();
    if (name == "list") return handleList(request);
    if (shuttingDown_) return makeReply(ReplyStatus::Failed, "launchd is shutting down");
    if (name == "load") return handleLoad(request, now);
    if (name == "unload") return handleUnload(request, fd, now);
    return makeReply(ReplyStatus::Failed, "unknown command: " + name);
}

bool Server::serve(Connection& c, double now) {
    std::vector<uint8_t> bytes;
    ipc::FrameStatus s =
        ipc::readFrame(c.fd, bytes, protocol::kMaxFrameBytes, ipc::deadlineAfter(kReadSeconds));
    if (s != ipc::FrameStatus::Ok) {
        if (s == ipc::FrameStatus::TooLarge) {
            answer(c.fd, makeReply(ReplyStatus::Failed, "request too large"));
        } else {
            ::close(c.fd);
        }
        return false;
    }
    std::string error;
    std::optional<archive::Value> request = archive::parsePlist(bytes, &error);
    if (!request) {
        answer(c.fd, makeReply(ReplyStatus::Failed, "malformed request: " + error));
        return false;
    }
    if (std::optional<Reply> reply = handle(*request, c.fd, now)) answer(c.fd, *reply);
    return false;
}

void Server::reapAll(double now) {
    for (;;) {
        int status = 0;
        pid_t pid = ::waitpid(-1, &status, WNOHANG);
        if (pid <= 0) return;
        supervisor_.childExited(pid, status, now);
    }
}

void Server::readSignals(double now) {
    signalfd_siginfo info{};
    while (::read(signalFd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
        if ((info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) && !shuttingDown_) {
            std::fprintf(stderr, "launchd: stopping every job\n");
            shuttingDown_ = true;
            // The stop grace, then time for the SIGKILLed processes to be reaped.
            shutdownGiveUpAt_ = now + options_.supervisor.exitTimeoutSeconds + 2.0;
            supervisor_.unloadAll(now);
        }
    }
}

void Server::finishPendingUnloads(double now) {
    for (auto it = pendingUnloads_.begin(); it != pendingUnloads_.end();) {
        if (!supervisor_.isStopping(it->label)) {
            answer(it->fd, makeReply(ReplyStatus::Ok));
        } else if (now >= it->giveUpAt) {
            answer(it->fd, makeReply(ReplyStatus::Failed, "the job did not end in time"));
        } else {
            ++it;
            continue;
        }
        it = pendingUnloads_.erase(it);
    }
}

int Server::pollTimeoutMs(double now) const {
    double until = now + kMaxPollMs / 1000.0;
    if (std::optional<double> next = supervisor_.nextDeadline()) until = std::min(until, *next);
    for (const Connection& c : connections_) until = std::min(until, c.acceptedAt + kClientIdleSeconds);
    for (const PendingUnload& p : pendingUnloads_) until = std::min(until, p.giveUpAt);
    if (std::optional<double> watch = supervisor_.nextDemandWatch(now)) until = std::min(until, *watch);
    if (shuttingDown_) until = std::min(until, shutdownGiveUpAt_);
    double ms = (until - now) * 1000.0;
    return ms <= 0 ? 0 : static_cast<int>(std::min<double>(ms + 1, kMaxPollMs));
}

int Server::run() {
    if (!setUp()) return 1;
    std::fprintf(stderr, "launchd: listening on %s\n", socketPath_.c_str());
    if (options_.loadBootJobs) loadBootJobs(monotonicNow());

    for (;;) {
        double now = monotonicNow();
        std::vector<pollfd> fds;
        fds.push_back({signalFd_, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        // Clients of on-demand jobs that do not run: a connection starts the job, which then
        // accepts it; nothing here accepts on these sockets.
        std::vector<Supervisor::DemandSocket> demand;
        if (!shuttingDown_) demand = supervisor_.demandSockets(now);
        for (const auto& d : demand) fds.push_back({d.fd, POLLIN, 0});
        const size_t firstOutput = fds.size();
        const std::vector<int> outputs = supervisor_.outputFds();
        for (int fd : outputs) fds.push_back({fd, POLLIN, 0});
        const size_t firstConnection = fds.size();
        for (const Connection& c : connections_) fds.push_back({c.fd, POLLIN, 0});
        int r = ::poll(fds.data(), fds.size(), pollTimeoutMs(now));
        if (r < 0 && errno != EINTR) {
            std::fprintf(stderr, "launchd: poll: %s\n", std::strerror(errno));
            break;
        }
        now = monotonicNow();
        readSignals(now);
        // Always reap: one SIGCHLD may stand for several ended children.
        reapAll(now);
        if (fds[1].revents & POLLIN) acceptClients(now);
        for (size_t d = 0; d < demand.size(); ++d) {
            if (fds[2 + d].revents & POLLIN) supervisor_.demand(demand[d].label, now);
        }

        for (size_t o = 0; o < outputs.size(); ++o) {
            if (fds[firstOutput + o].revents & (POLLIN | POLLHUP | POLLERR))
                supervisor_.relayOutput(outputs[o]);
        }

        size_t i = firstConnection;
        for (auto it = connections_.begin(); it != connections_.end(); ++i) {
            bool keep = true;
            if (i < fds.size() && fds[i].fd == it->fd && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                keep = serve(*it, now);
            } else if (now >= it->acceptedAt + kClientIdleSeconds) {
                ::close(it->fd);
                keep = false;
            }
            it = keep ? std::next(it) : connections_.erase(it);
        }

        supervisor_.tick(now);
        reapAll(now);
        finishPendingUnloads(now);
        if (shuttingDown_ && (supervisor_.empty() || now >= shutdownGiveUpAt_)) break;
    }
    // Any job still there is killed and reaped by the supervisor's destructor.
    return 0;
}

}  // namespace

int runService(const ServiceOptions& options) {
    // Signals arrive through the signalfd; jobs get a clean mask and default handlers.
    sigset_t mask;
    sigemptyset(&mask);
    for (int sig : {SIGCHLD, SIGTERM, SIGINT, SIGHUP}) sigaddset(&mask, sig);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    Server server(options);
    return server.run();
}

}  // namespace launchd
