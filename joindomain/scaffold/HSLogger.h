// The privileged helper's one log file, "<Library>/<log folder>/<log name>.log": lines are queued
// on a serial queue and written there; the file is opened with the first line of each process
// and started afresh when it has grown past 2 MiB.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "HelperIdentity.h"
#include "platform/dispatch/WorkQueue.h"

namespace helperscaffold {

class HSLogger {
  public:
    // Log types of writeLog.
    static constexpr uint64_t kInfo = 0;
    static constexpr uint64_t kDebug = 1;
    static constexpr uint64_t kError = 2;
    // A file larger than this at opening is started afresh.
    static constexpr int64_t kMaxFileBytes = 2'097'152;

    explicit HSLogger(const HelperIdentity& identity);
    ~HSLogger();
    HSLogger(const HSLogger&) = delete;
    HSLogger& operator=(const HSLogger&) = delete;

    // Queues the line and returns at once.
    void writeLog(const std::string& text, uint64_t type);
    // Finds the log path, creates its folder and opens the file (on the log queue).
    void createLogFile();
    // Opens the file at path, appending, or started afresh when too large, and writes the header.
    void startWithFilePath(const std::string& path);
    // Closes the file; the next line opens it again.
    void closeLogger();
    // Waits until every line queued so far is written, so a helper loses none when it exits.
    void flush();

    // "[Info] " and the others; empty for an unknown type.
    static std::string prefixForType(uint64_t type);

  private:
    void write(const std::string& text);

    HelperIdentity identity_;
    std::shared_ptr<dispatch::WorkQueue> logQueue;
    int logFileHandle = -1;  // owned by logQueue
};

}  // namespace helperscaffold
