// The rotating file logger shared by the root processes: three files of at most 5 MiB used in
// turn (1, 2, 3, 1 ...), a keyed-archive state file naming the current file and the bytes
// written to each, and one serial queue per logger so callers never wait for the disk.
// Sizes count the bytes the disk took; a line is written whole or not at all, lines a full disk
// refused are announced by one line once writing works again, and a line an earlier process left
// cut short is ended before the next one starts.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "LogSink.h"
#include "platform/archive/Value.h"
#include "platform/core/LogFiles.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/WorkQueue.h"

namespace common {

struct RotatingLoggerConfig {
    std::array<std::string, 3> fileNames;  // "<Process>-Info-1.log" .. "-3.log"
    std::string stateArchiveName;          // "<Process>LogInfo.data", kept in the product root
    std::string queueLabel;
    // Formats one line from the UTC+8 date text and the message.
    std::function<std::string(const std::string& date, const std::string& message)> formatLine;
    // Folders; empty means the daemon's log folder and the product root.
    std::string logFolder;
    std::string stateFolder;
    const dispatch::Clock* clock = nullptr;  // null: the system clock
    // Root's logs are read by administrators; the UI app's by its user alone.
    logfiles::Readers readers = logfiles::Readers::Administrators;
};

class RotatingLogger : public LogSink {
  public:
    static constexpr int64_t kMaxFileSize = 5'242'880;  // 5 MiB
    // Lines arriving within this long share one state write.
    static constexpr std::chrono::milliseconds kStateSaveDelay{1000};

    explicit RotatingLogger(RotatingLoggerConfig config);
    ~RotatingLogger() override;

    // A logger of this family for a program: "<program>-Info-1.log" .. "-3.log" in the system log
    // folder, "<program>LogInfo.data" in the product root, lines "date: message \n".
    static RotatingLoggerConfig programConfig(const std::string& program);
    // The UI app's log, kept in the user's own folders: "RavAviza-Info-1.log" .. "-3.log" in
    // <home>/Library/Logs/RavAviza/Logs, "RavAvizaLogInfo.data" in <home>/.AppData/RavAviza/RavAviza.EXE$.
    static RotatingLoggerConfig uiAppConfig(const std::string& home);

    // Queues one line and returns at once. The type is accepted and not used: there are no levels.
    void writeLog(const std::string& message, unsigned long type = 1) override;
    // Creates an empty file of that name in the log folder when it is missing; an existing one
    // readable more widely than the logger's readers allow is narrowed.
    void createLogFileWithName(const std::string& name);
    // Waits until every line queued so far is on disk and the state archive is written.
    void flush() override;
    int faultRecordFd() const override { return faultFd_.load(std::memory_order_acquire); }

    const std::string& rootDirectory() const { return rootDirectory_; }
    const std::string& logInfoPath() const { return logInfoPath_; }
    // The current file and the recorded sizes, read on the logger's queue.
    std::string currentLogName();
    int64_t recordedSize(const std::string& fileName);

  private:
    void loadState();
    void openCurrent(bool truncate);
    void turnToNextFile();
    void writeLine(const std::string& message);
    // Appends bytes to the current file and counts what the file took; false when not all of it.
    bool append(const std::string& bytes);
    void saveState();
    // Marks the state changed and writes it kStateSaveDelay later, once for all lines meanwhile.
    void scheduleStateSave();
    archive::Value currentLogInfo() const;
    std::string pathOf(const std::string& name) const;

    RotatingLoggerConfig config_;
    std::string rootDirectory_;
    std::string logInfoPath_;
    std::shared_ptr<dispatch::WorkQueue> logQueue_;
    std::array<int64_t, 3> logInfos_{};  // bytes written to each file, by index
    size_t current_ = 0;                 // index of currentLogName
    int fd_ = -1;
    // A second descriptor of the current file for fault records: fd_ is the queue's alone.
    std::atomic<int> faultFd_{-1};
    bool lineOpen_ = false;   // the current file ends inside a line that was cut short
    uint64_t linesLost_ = 0;  // lines refused or cut short since the last successful line
    int lossError_ = 0;       // errno of the latest refusal
    // State writes waiting (used on the logger's queue only); the token ends with the logger, so
    // a delayed write that comes after it does nothing.
    bool stateDirty_ = false;
    bool stateSaveScheduled_ = false;
    std::shared_ptr<int> aliveToken_ = std::make_shared<int>(0);
};

// The daemon's two loggers: main work and supervision.
class LogCoreHelper : public RotatingLogger {
  public:
    static LogCoreHelper& sharedInstance();
    static RotatingLoggerConfig defaultConfig();
    explicit LogCoreHelper(RotatingLoggerConfig config) : RotatingLogger(std::move(config)) {}
};

class LogExtCoreHelper : public RotatingLogger {
  public:
    static LogExtCoreHelper& sharedInstance();
    static RotatingLoggerConfig defaultConfig();
    explicit LogExtCoreHelper(RotatingLoggerConfig config) : RotatingLogger(std::move(config)) {}
};

// The report service's log: "Tamber-Info-1.log" .. "-3.log", "TamberLogInfo.data".
class LogBusHelper : public RotatingLogger {
  public:
    static LogBusHelper& sharedInstance();
    static RotatingLoggerConfig defaultConfig() { return programConfig("Tamber"); }
    explicit LogBusHelper(RotatingLoggerConfig config) : RotatingLogger(std::move(config)) {}
};

// The upgrade app's log: "Perrow-Info-1.log" .. "-3.log", "PerrowLogInfo.data".
class LogUpgradeErrorHelper : public RotatingLogger {
  public:
    static LogUpgradeErrorHelper& sharedInstance();
    static RotatingLoggerConfig defaultConfig() { return programConfig("Perrow"); }
    explicit LogUpgradeErrorHelper(RotatingLoggerConfig config) : RotatingLogger(std::move(config)) {}
};

}  // namespace common
