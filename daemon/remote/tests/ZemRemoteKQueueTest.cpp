#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "daemon/remote/ZemRemoteKQueue.h"

using hollin::ZemRemoteKQueue;
using hollin::ZemRemoteKQueueProtocol;

namespace {

// Drains whatever socket the watcher watches now and records which one it was.
class ReadingDelegate : public ZemRemoteKQueueProtocol {
  public:
    void handleSocketEvent() override {
        std::lock_guard lock(m);
        const int fd = watcher ? watcher->fd() : -1;
        char buffer[256];
        if (fd >= 0) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n > 0) bytes += static_cast<size_t>(n);
        }
        seen.push_back(fd);
        if (dropWatcher) watcher.reset();  // the last owner lets go inside the call
        cv.notify_all();
    }
    bool waitFor(size_t events) {
        std::unique_lock lock(m);
        return cv.wait_for(lock, std::chrono::seconds(20), [&] { return seen.size() >= events; });
    }

    std::mutex m;
    std::condition_variable cv;
    std::unique_ptr<ZemRemoteKQueue> watcher;
    std::vector<int> seen;
    size_t bytes = 0;
    bool dropWatcher = false;
};

struct Pair {
    int ours = -1, theirs = -1;
    Pair() {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0) {
            ours = fds[0];
            theirs = fds[1];
        }
    }
    ~Pair() {
        ::close(ours);
        ::close(theirs);
    }
    void send(const char* text) const { ASSERT_GT(::write(theirs, text, std::strlen(text)), 0); }
    size_t unread() const {
        char buffer[256];
        const ssize_t n = ::recv(ours, buffer, sizeof buffer, MSG_DONTWAIT | MSG_PEEK);
        return n > 0 ? static_cast<size_t>(n) : 0;
    }
};

class WatcherTest : public ::testing::Test {
  protected:
    void SetUp() override {
        delegate = std::make_shared<ReadingDelegate>();
        delegate->watcher = ZemRemoteKQueue::initWithDelegate(delegate);
        ASSERT_NE(delegate->watcher, nullptr);
        watcher = delegate->watcher.get();
    }
    void TearDown() override {
        std::unique_ptr<ZemRemoteKQueue> w;
        {
            std::lock_guard lock(delegate->m);
            w = std::move(delegate->watcher);
        }
        w.reset();  // joins the loop outside the delegate's lock
    }
    std::shared_ptr<ReadingDelegate> delegate;
    ZemRemoteKQueue* watcher = nullptr;
};

TEST_F(WatcherTest, UnregisterWithoutSocketDoesNothing) {
    watcher->unregister();
    EXPECT_EQ(watcher->fd(), -1);
    EXPECT_FALSE(watcher->keepWatcherThreadRunning());
    EXPECT_FALSE(watcher->addSocketToQueue(-1));
}

TEST_F(WatcherTest, ReadableSocketCallsDelegateWhichDrainsIt) {
    Pair a;
    ASSERT_TRUE(watcher->addSocketToQueue(a.ours));
    EXPECT_TRUE(watcher->keepWatcherThreadRunning());
    a.send("hello");
    ASSERT_TRUE(delegate->waitFor(1));
    std::lock_guard lock(delegate->m);
    EXPECT_EQ(delegate->seen.front(), a.ours);
    EXPECT_EQ(delegate->bytes, 5u);
}

TEST_F(WatcherTest, ReplacedSocketIsNoLongerWatched) {
    Pair a, b;
    ASSERT_TRUE(watcher->addSocketToQueue(a.ours));
    ASSERT_TRUE(watcher->addSocketToQueue(b.ours));
    EXPECT_EQ(watcher->fd(), b.ours);
    a.send("old");
    b.send("new");
    ASSERT_TRUE(delegate->waitFor(1));
    b.send("again");
    ASSERT_TRUE(delegate->waitFor(2));
    {
        std::lock_guard lock(delegate->m);
        for (int fd : delegate->seen) EXPECT_EQ(fd, b.ours);
        // The old socket stays readable; were it still watched, the loop would spin on it.
        EXPECT_LE(delegate->seen.size(), 3u);
        EXPECT_EQ(delegate->bytes, 8u);
    }
    EXPECT_EQ(a.unread(), 3u);
}

TEST_F(WatcherTest, UnregisterStopsAndAddingAgainResumes) {
    Pair a;
    ASSERT_TRUE(watcher->addSocketToQueue(a.ours));
    watcher->unregister();
    EXPECT_EQ(watcher->fd(), -1);
    EXPECT_FALSE(watcher->keepWatcherThreadRunning());
    a.send("x");
    // Data waiting when the socket comes back is reported at once (level-triggered).
    ASSERT_TRUE(watcher->addSocketToQueue(a.ours));
    ASSERT_TRUE(delegate->waitFor(1));
    std::lock_guard lock(delegate->m);
    EXPECT_EQ(delegate->bytes, 1u);
}

TEST(WatcherLifetime, DelegateMayDropTheWatcherInsideItsCall) {
    auto delegate = std::make_shared<ReadingDelegate>();
    delegate->watcher = ZemRemoteKQueue::initWithDelegate(delegate);
    delegate->dropWatcher = true;
    Pair a;
    ASSERT_TRUE(delegate->watcher->addSocketToQueue(a.ours));
    a.send("x");
    ASSERT_TRUE(delegate->waitFor(1));
    std::lock_guard lock(delegate->m);
    EXPECT_EQ(delegate->watcher, nullptr);
}

TEST(WatcherLifetime, GoneDelegateIsNotCalledAndDestructionIsPrompt) {
    auto delegate = std::make_shared<ReadingDelegate>();
    auto watcher = ZemRemoteKQueue::initWithDelegate(delegate);
    Pair a;
    ASSERT_TRUE(watcher->addSocketToQueue(a.ours));
    delegate.reset();
    a.send("x");
    const auto start = std::chrono::steady_clock::now();
    watcher.reset();  // wakes the loop instead of waiting out its 60 s wait
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
}

}  // namespace
