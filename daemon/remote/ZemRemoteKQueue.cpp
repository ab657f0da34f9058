#include "ZemRemoteKQueue.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace hollin {

struct ZemRemoteKQueue::Core {
    Core(int epollFd, int wakeFd, std::weak_ptr<ZemRemoteKQueueProtocol> d)
        : kqueueId(epollFd), wakeFd(wakeFd), delegate(std::move(d)) {}
    ~Core() {
        ::close(wakeFd);
        ::close(kqueueId);
    }
    void wake() {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wakeFd, &one, sizeof one);
    }
    void watcher();

    const int kqueueId;  // the epoll descriptor
    const int wakeFd;    // an eventfd that interrupts the wait
    std::weak_ptr<ZemRemoteKQueueProtocol> delegate;
    std::mutex mutex;  // serialises registration changes and the thread's start
    std::atomic<int> fd{-1};
    std::atomic<bool> keepWatcherThreadRunning{false};
    std::atomic<bool> stopping{false};
};

std::unique_ptr<ZemRemoteKQueue> ZemRemoteKQueue::initWithDelegate(
    std::weak_ptr<ZemRemoteKQueueProtocol> delegate) {
    const int epollFd = ::epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0) return nullptr;
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        ::close(epollFd);
        return nullptr;
    }
    auto core = std::make_shared<Core>(epollFd, wakeFd, std::move(delegate));
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = wakeFd;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &ev) != 0) return nullptr;
    return std::unique_ptr<ZemRemoteKQueue>(new ZemRemoteKQueue(std::move(core)));
}

ZemRemoteKQueue::ZemRemoteKQueue(std::shared_ptr<Core> core) : core_(std::move(core)) {}

ZemRemoteKQueue::~ZemRemoteKQueue() {
    {
        std::lock_guard lock(core_->mutex);
        core_->stopping = true;
        core_->keepWatcherThreadRunning = false;
    }
    core_->wake();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // called from a delegate call: the loop ends when that call returns
    } else {
        thread_.join();
    }
}

int ZemRemoteKQueue::fd() const {
    return core_->fd.load();
}

bool ZemRemoteKQueue::keepWatcherThreadRunning() const {
    return core_->keepWatcherThreadRunning.load();
}

bool ZemRemoteKQueue::addSocketToQueue(int fd) {
    if (fd < 0) return false;
    Core& c = *core_;
    std::lock_guard lock(c.mutex);
    if (c.stopping) return false;
    const int old = c.fd.load();
    if (old >= 0 && old != fd) ::epoll_ctl(c.kqueueId, EPOLL_CTL_DEL, old, nullptr);
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.fd = fd;
    if (::epoll_ctl(c.kqueueId, EPOLL_CTL_ADD, fd, &ev) != 0 &&
        !(errno == EEXIST && ::epoll_ctl(c.kqueueId, EPOLL_CTL_MOD, fd, &ev) == 0)) {
        c.fd = -1;
        c.keepWatcherThreadRunning = false;
        return false;
    }
    c.fd = fd;
    c.keepWatcherThreadRunning = true;
    if (!thread_.joinable()) thread_ = std::thread([core = core_] { core->watcher(); });
    c.wake();
    return true;
}

void ZemRemoteKQueue::unregister() {
    Core& c = *core_;
    std::lock_guard lock(c.mutex);
    const int fd = c.fd.load();
    if (fd < 0) return;
    c.keepWatcherThreadRunning = false;
    ::epoll_ctl(c.kqueueId, EPOLL_CTL_DEL, fd, nullptr);
    c.fd = -1;
    c.wake();
}

void ZemRemoteKQueue::Core::watcher() {
    const int timeoutMs = static_cast<int>(std::chrono::milliseconds(kWaitTimeout).count());
    while (!stopping.load()) {
        epoll_event events[2];
        const int n = ::epoll_wait(kqueueId, events, 2, timeoutMs);
        if (n < 0 && errno != EINTR) break;
        bool readable = false;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.fd == wakeFd) {
                uint64_t count = 0;
                [[maybe_unused]] const ssize_t r = ::read(wakeFd, &count, sizeof count);
            } else if (events[i].data.fd == fd.load()) {
                readable = true;  // an event of a socket already replaced is stale: dropped
            }
        }
        if (!readable || stopping.load() || !keepWatcherThreadRunning.load()) continue;
        if (auto d = delegate.lock()) d->handleSocketEvent();
    }
}

}  // namespace hollin
