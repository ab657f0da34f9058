#include "EventStream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <map>
#include <optional>
#include <set>

namespace fsevents {

namespace {

using SteadyTime = std::chrono::steady_clock::time_point;

// Every watch gets the same mask: one folder can be the parent of one watched file and the
// nearest existing ancestor of another, and inotify keeps one mask per folder.
constexpr uint32_t kWatchMask = IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO |
                                IN_DELETE | IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR |
                                IN_EXCL_UNLINK;
// What happening to the watched name in its own folder counts as a change of the file.
constexpr uint32_t kFileEvents =
    IN_CREATE | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_ATTRIB;
// Bounds the re-arming when folders keep appearing and vanishing under it.
constexpr int kMaxArmAttempts = 32;

bool isDirectory(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string parentOf(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string nearestExistingDirectory(std::string dir) {
    while (dir != "/" && !isDirectory(dir)) dir = parentOf(dir);
    return dir;
}

// The first component of dir below its ancestor.
std::string nextComponent(const std::string& ancestor, const std::string& dir) {
    std::string rest = ancestor == "/" ? dir.substr(1) : dir.substr(ancestor.size() + 1);
    return rest.substr(0, rest.find('/'));
}

std::string normalize(const std::string& path) {
    std::error_code ec;
    std::filesystem::path p = std::filesystem::absolute(path, ec);
    std::string s = (ec ? std::filesystem::path(path) : p).lexically_normal().string();
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
}

}  // namespace

// The inotify side: which folder each watched path is served by, and the batch being gathered.
// Used by the reader thread only.
class EventStream::Watcher {
  public:
    explicit Watcher(const std::vector<std::string>& paths) {
        for (const std::string& p : paths) {
            Target t;
            t.path = p;
            t.dir = parentOf(p);
            t.name = p.substr(p.rfind('/') + 1);
            targets_.push_back(std::move(t));
        }
    }
    ~Watcher() {
        if (fd_ >= 0) ::close(fd_);
    }

    bool open(std::string* error) {
        fd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (fd_ < 0) {
            if (error) *error = std::string("inotify: ") + std::strerror(errno);
            return false;
        }
        for (size_t i = 0; i < targets_.size(); ++i) {
            std::string reason;
            if (!arm(i, &reason)) {
                if (error) *error = targets_[i].path + ": " + reason;
                return false;
            }
            targets_[i].existed = exists(targets_[i].path);
        }
        return true;
    }

    int fd() const { return fd_; }

    void readEvents(SteadyTime now) {
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) return;
            for (ssize_t off = 0; off < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buffer + off);
                process(*ev, now);
                off += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
    }

    std::optional<SteadyTime> firstPending() const { return firstPending_; }

    std::vector<std::string> takeBatch() {
        std::vector<std::string> batch;
        batch.swap(pending_);
        pendingSet_.clear();
        firstPending_.reset();
        return batch;
    }

  private:
    struct Target {
        std::string path;
        std::string dir;
        std::string name;
        std::string watchedDir;  // dir, or its nearest existing ancestor while dir is missing
        int wd = -1;
        bool existed = false;
    };

    void detach(size_t i) {
        Target& t = targets_[i];
        if (t.wd < 0) return;
        auto it = users_.find(t.wd);
        if (it != users_.end()) {
            std::erase(it->second, i);
            if (it->second.empty()) {
                ::inotify_rm_watch(fd_, t.wd);
                users_.erase(it);
            }
        }
        t.wd = -1;
    }

    // Watches the target's folder, or its nearest existing ancestor while the folder is missing.
    bool arm(size_t i, std::string* error) {
        Target& t = targets_[i];
        for (int attempt = 0; attempt < kMaxArmAttempts; ++attempt) {
            std::string dir = nearestExistingDirectory(t.dir);
            int wd = ::inotify_add_watch(fd_, dir.c_str(), kWatchMask);
            if (wd < 0) {
                // Gone between the look and the watch: look again.
                if (errno == ENOENT || errno == ENOTDIR) continue;
                if (error) *error = std::string("cannot watch ") + dir + ": " + std::strerror(errno);
                detach(i);
                return false;
            }
            if (wd != t.wd) {
                detach(i);
                t.wd = wd;
                users_[wd].push_back(i);
            }
            t.watchedDir = dir;
            // A folder on the way may have appeared between the look and the watch.
            if (nearestExistingDirectory(t.dir) == dir) return true;
        }
        if (error) *error = "folders keep changing under " + t.dir;
        return false;
    }

    // Re-arms after the folder structure changed; the file counts as changed when it appeared
    // or vanished with its folder (a tree moved into place, a folder moved away).
    void rearm(size_t i, SteadyTime now) {
        std::string reason;
        if (!arm(i, &reason)) std::fprintf(stderr, "fsevents: %s\n", reason.c_str());
        if (exists(targets_[i].path) != targets_[i].existed) note(i, now);
    }

    void note(size_t i, SteadyTime now) {
        Target& t = targets_[i];
        t.existed = exists(t.path);
        if (pendingSet_.insert(t.path).second) pending_.push_back(t.path);
        if (!firstPending_) firstPending_ = now;
    }

    void process(const inotify_event& ev, SteadyTime now) {
        if (ev.mask & IN_Q_OVERFLOW) {
            // Events were lost: every path may have changed.
            for (size_t i = 0; i < targets_.size(); ++i) {
                rearm(i, now);
                note(i, now);
            }
            return;
        }
        auto it = users_.find(ev.wd);
        if (it == users_.end()) return;
        std::vector<size_t> ids = it->second;
        if (ev.mask & IN_IGNORED) {
            // The kernel dropped the watch (its folder is gone); it must not be removed again.
            users_.erase(it);
            for (size_t i : ids) {
                targets_[i].wd = -1;
                rearm(i, now);
            }
            return;
        }
        std::string name = ev.len > 0 ? std::string(ev.name) : std::string();
        for (size_t i : ids) {
            Target& t = targets_[i];
            if (t.wd != ev.wd) continue;
            if (ev.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
                rearm(i, now);
            } else if (t.watchedDir == t.dir) {
                if (name == t.name && (ev.mask & kFileEvents)) note(i, now);
            } else if ((ev.mask & (IN_CREATE | IN_MOVED_TO)) && name == nextComponent(t.watchedDir, t.dir)) {
                rearm(i, now);
            }
        }
    }

    std::vector<Target> targets_;
    std::map<int, std::vector<size_t>> users_;  // watch descriptor -> targets it serves
    std::vector<std::string> pending_;
    std::set<std::string> pendingSet_;
    std::optional<SteadyTime> firstPending_;
    int fd_ = -1;
};

EventStream::EventStream(std::vector<std::string> paths, std::chrono::milliseconds latency,
                         std::shared_ptr<dispatch::WorkQueue> queue, Callback callback)
    : latency_(latency), queue_(std::move(queue)), shared_(std::make_shared<Shared>()) {
    for (const std::string& p : paths) paths_.push_back(normalize(p));
    shared_->callback = std::move(callback);
}

EventStream::~EventStream() {
    stop();
}

bool EventStream::start(std::string* error) {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (reader_.joinable()) return true;
    if (!queue_) {
        if (error) *error = "no queue";
        return false;
    }
    auto watcher = std::make_unique<Watcher>(paths_);
    if (!watcher->open(error)) return false;
    stopFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd_ < 0) {
        if (error) *error = std::string("eventfd: ") + std::strerror(errno);
        return false;
    }
    // A fresh flag per run: batches queued by an earlier run stay dropped.
    auto shared = std::make_shared<Shared>();
    shared->callback = shared_->callback;
    shared->active = true;
    shared_ = shared;

    reader_ =
        std::thread([w = std::move(watcher), stopFd = stopFd_, latency = latency_, queue = queue_, shared] {
            for (;;) {
                auto now = std::chrono::steady_clock::now();
                // With nothing gathered the reader sleeps until an event or stop() wakes it: an idle
                // stream costs no wake-ups.
                int timeout = -1;
                if (auto first = w->firstPending()) {
                    auto left = std::chrono::ceil<std::chrono::milliseconds>(*first + latency - now).count();
                    timeout = static_cast<int>(std::clamp<long long>(left, 0, std::numeric_limits<int>::max()));
                }
                pollfd fds[2] = {{w->fd(), POLLIN, 0}, {stopFd, POLLIN, 0}};
                int r = ::poll(fds, 2, timeout);
                if (r < 0 && errno != EINTR) break;
                if (fds[1].revents & POLLIN) break;
                now = std::chrono::steady_clock::now();
                if (fds[0].revents & POLLIN) w->readEvents(now);
                if (auto first = w->firstPending(); first && now >= *first + latency) {
                    queue->dispatch([shared, batch = w->takeBatch()] {
                        if (shared->active) shared->callback(batch);
                    });
                }
            }
        });
    return true;
}

void EventStream::stop() {
    std::lock_guard<std::mutex> lock(lifecycle_);
    if (!reader_.joinable()) return;
    shared_->active = false;
    uint64_t one = 1;
    ssize_t w = ::write(stopFd_, &one, sizeof one);
    (void)w;
    reader_.join();
    ::close(stopFd_);
    stopFd_ = -1;
}

}  // namespace fsevents
