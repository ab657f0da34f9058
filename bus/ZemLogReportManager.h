// The debug-log job: gathers the service logs and the console user's QZN logs into one zip,
// asks the server (action 4000) where it goes, keeps the answer as the upload settings (the
// last good ones serve when the server does not answer), uploads the zip and deletes it.
// Jobs run one at a time on the "zip" queue; a command that arrives during a job starts one
// more job after it, however many arrive.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bus/DebugLogFTPRequest.h"
#include "bus/ZemBusCore.h"
#include "bus/ZemDebugModel.h"
#include "platform/core/Error.h"
#include "platform/dispatch/WorkQueue.h"

// Where the job's facts come from; empty members read this machine.
struct DebugLogEnvironment {
    std::function<std::optional<std::string>()> consoleUser;
    std::function<std::string()> hardwareUuid;
    std::function<std::vector<std::string>()> networkCardIps;
    std::function<std::string()> currentDateString;  // "yyyy-MM-dd HH:mm:ss"
    std::shared_ptr<ZemBusCore> core;
    DebugLogFTPRequest::Limits limits;
    // Runs on the job's queue after each job, however it ended.
    std::function<void()> jobFinished;
};

class ZemLogReportManager {
  public:
    using Environment = DebugLogEnvironment;

    // The largest archive the job sends: it is held in memory and the service exits above
    // 100 MiB of its own.
    static constexpr uint64_t kMaxArchiveBytes = 48u << 20;
    // The most the copy of the user's QZN logs takes.
    static constexpr uint64_t kMaxUserLogBytes = 64u << 20;

    ZemLogReportManager() : ZemLogReportManager(Environment{}) {}
    explicit ZemLogReportManager(Environment environment);
    ~ZemLogReportManager();
    ZemLogReportManager(const ZemLogReportManager&) = delete;
    ZemLogReportManager& operator=(const ZemLogReportManager&) = delete;

    // Starts one debug-log job; returns at once.
    void reportDebugLog();
    // True while no job runs or waits.
    bool idle() const;

    // The archive of the logs, or nothing with the error set.
    std::optional<std::string> archiveZipWith(ErrorValue* error);
    std::string zipName() const;
    // /Library/Logs/RavAviza/v5/Logs, each level made when missing.
    static std::string pathOfDebugInfo();
    // /Library/Logs/RavAviza/v5/Logs~
    static std::string tmpPathOfDebugInfo();
    // Uploads the archive the model describes and deletes it, whatever the outcome.
    void uploadDebugLogToFTP(const ZemDebugModel& model);

    // Writes a zip of folder's regular files and folders (links are left out) at zipPath, the
    // folder's own name not included.
    static bool createZipFileAtPath(const std::string& zipPath, const std::string& folder);

  private:
    void runJobs();
    void job();

    Environment env_;
    std::shared_ptr<dispatch::WorkQueue> queue_;
    mutable std::mutex mutex_;
    std::condition_variable idleChanged_;
    bool running_ = false;
    bool pending_ = false;
};
