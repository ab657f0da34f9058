// The UI app's logger and log exporter. Lines go into three rotating files in the user's own
// Library/Logs/RavAviza/Logs, with their state archive in the user's hidden product folder, and
// are echoed to the system log. On request the user's logs, the system processes' logs, the
// machine-wide support folder, the product root and the VPN component's logs are zipped into a
// folder the user picks.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/logger/LogSink.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/WorkQueue.h"

namespace common {
class RotatingLogger;
}

class ZemLogHelper : public common::LogSink {
  public:
    // (ok, message): message is set on failure only.
    using Completion = std::function<void(bool ok, std::optional<std::string> message)>;
    // Runs an argument vector with administrator rights; nothing on success, else the error text.
    using PrivilegedRunner = std::function<std::optional<std::string>(const std::vector<std::string>& argv)>;

    struct Options {
        std::string home;                        // empty: the user's home (see homeDirectory())
        const dispatch::Clock* clock = nullptr;  // null: the system clock
        // Receives each line for the system log; null: syslog(3).
        std::function<void(const std::string&)> systemLog;
        // Runs the chown of a missing log folder; null: pkexec, with no time limit since an
        // administrator has to answer its prompt.
        PrivilegedRunner runAsAdministrator;
        // Shows a folder to the user; null: xdg-open, started and left to run.
        std::function<void(const std::string& folder)> revealFolder;
        // Where completions run; null: the app's main queue.
        std::shared_ptr<dispatch::WorkQueue> completionQueue;
    };

    static constexpr const char* kExportFolderName = "HuxLogs";

    // Made on first use, and then set as the process's log (setProcessLog).
    static ZemLogHelper& sharedInstance();
    explicit ZemLogHelper(Options options);
    ~ZemLogHelper() override;
    ZemLogHelper(const ZemLogHelper&) = delete;
    ZemLogHelper& operator=(const ZemLogHelper&) = delete;

    // Queues one line and returns at once; the type is accepted and not used.
    void writeLog(const std::string& message, unsigned long type) override;
    void writeLog(const std::string& message) { writeLog(message, 1); }
    // Waits until every line queued so far is on disk.
    void flush() override;
    int faultRecordFd() const override;

    // The log export into <folder>/HuxLogs: HuxCloudLogs.zip (system processes' logs; its failure
    // ends the export with NO), then HuxUserLogs.zip, HuxCloud.zip, HuxSqlite.zip and
    // HuxNimbrel.zip (failures ignored), then the folder is shown and the export answers YES.
    void zipLogsWithDirectory(const std::string& folder, Completion complete);
    // The older export into the log folder itself: RavAvizaLogs.zip there, then
    // RavAvizaAllLogs.zip of the log folder in rootPath.
    void zipLogs(Completion complete);

    // Now as "yyyy-MM-dd HH:mm:ss" in UTC+8.
    static std::string currentDateString();

    // <home>/Library/Logs/RavAviza/Logs
    std::string rootDirectory() const;
    // <home>/Library/Logs/RavAviza
    std::string rootPath() const;
    // <home>/.AppData/RavAviza/RavAviza.EXE$/RavAvizaLogInfo.data
    std::string logInfoPath() const;
    // <home>/Desktop
    std::string desktopDirectory() const;
    std::string currentLogName();

    // The user's home: HOME from the environment, else the password database's entry of the
    // running user, both under the filesystem root prefix.
    static std::string homeDirectory();

  private:
    // Makes the log folder's levels and the three files when the log folder is gone, asking for
    // a chown of rootPath first; on failure logs and completes with NO. True when it is there.
    bool ensureLogFolder(const Completion& complete);
    void complete(const Completion& completion, bool ok, std::optional<std::string> message);
    std::shared_ptr<dispatch::WorkQueue> completionQueue() const;

    Options options_;
    std::string home_;
    std::unique_ptr<common::RotatingLogger> logger_;
    std::shared_ptr<dispatch::WorkQueue> zipQueue_;
};
