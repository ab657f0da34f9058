// A process log that keeps its lines for tests to inspect.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "common/logger/LogSink.h"

namespace testsupport {

class CapturingLog : public common::LogSink {
  public:
    void writeLog(const std::string& message, unsigned long) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(message);
    }
    void flush() override {}
    // Lines that contain text.
    bool contains(const std::string& text) const { return count(text) > 0; }
    size_t count(const std::string& text) const {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& line : lines_) n += line.find(text) != std::string::npos;
        return n;
    }
    // A line that is exactly line.
    bool has(const std::string& line) const {
        std::lock_guard lock(mutex_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    std::vector<std::string> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
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

}  // namespace testsupport
