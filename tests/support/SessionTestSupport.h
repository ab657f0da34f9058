// Shared by the tests of the app's session services: a process log that keeps its lines for
// inspection, and a wait that runs the main queue until a condition holds.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/dispatch/MainLoop.h"
#include "common/logger/LogSink.h"

namespace testsupport {

class CapturingLog : public common::LogSink {
  public:
    void writeLog(const std::string& message, unsigned long) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(message);
    }
    void flush() override {}
    bool contains(const std::string& text) const { return count(text) > 0; }
    size_t count(const std::string& text) const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& line : lines_) n += line.find(text) != std::string::npos;
        return n;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// The process log of this test program, set on first use.
inline CapturingLog& capturedLog() {
    static CapturingLog* log = [] {
        auto* sink = new CapturingLog;
        common::setProcessLog(*sink);
        return sink;
    }();
    return *log;
}

// Runs the main queue until done() holds or the limit passes.
inline bool runMainUntil(const std::function<bool()>& done, std::chrono::seconds limit = std::chrono::seconds(60)) {
    using namespace std::chrono_literals;
    auto& loop = dispatch::MainLoop::shared();
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        auto timer = loop.addTimer(20ms, 0ns, [&loop] { loop.stop(); });
        loop.run();
        timer->cancel();
    }
    return done();
}

}  // namespace testsupport
