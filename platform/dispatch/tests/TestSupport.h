// Helpers for the dispatch tests: bounded waits, a gate to hold tasks, the process's thread count,
// and the main loop run on a thread of its own.
#pragma once

#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "platform/dispatch/MainLoop.h"

namespace dispatch::test {

using namespace std::chrono_literals;

inline constexpr auto kWait = 5s;

// Polls a condition until it holds or the time runs out.
inline bool eventually(const std::function<bool()>& cond, std::chrono::milliseconds limit = kWait) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

// A one-way door: tasks wait on it until the test opens it (or the bounded wait ends).
class Gate {
  public:
    void open() {
        {
            std::lock_guard lk(m_);
            open_ = true;
        }
        cv_.notify_all();
    }
    bool wait(std::chrono::milliseconds limit = kWait) {
        std::unique_lock lk(m_);
        return cv_.wait_for(lk, limit, [&] { return open_; });
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    bool open_ = false;
};

inline int processThreads() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    }
    return -1;
}

inline pid_t currentThreadId() {
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

inline bool threadAlive(pid_t tid) {
    return ::access(("/proc/self/task/" + std::to_string(tid)).c_str(), F_OK) == 0;
}

// Runs MainLoop::shared() on its own thread for the life of the object.
class LoopThread {
  public:
    LoopThread() {
        thread_ = std::thread([this] {
            MainLoop::shared().run();
            done_.set_value();
        });
        EXPECT_TRUE(eventually([] { return MainLoop::shared().isRunning(); }));
    }
    ~LoopThread() { stop(); }

    // Stops the loop and waits (bounded) for run() to return.
    bool stop() {
        if (!thread_.joinable()) return true;
        MainLoop::shared().stop();
        if (finished_.wait_for(kWait) != std::future_status::ready) {
            ADD_FAILURE() << "the main loop did not stop";
            thread_.detach();
            return false;
        }
        thread_.join();
        return true;
    }

  private:
    std::promise<void> done_;
    std::future<void> finished_ = done_.get_future();
    std::thread thread_;
};

}  // namespace dispatch::test
