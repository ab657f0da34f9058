// The command runner shared by every root process: runs a program with an argument vector,
// drains its output and error streams together and sorts them into text or an error value.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"

namespace calix {

// Identifies a started child. The runner reaps it, so the pid may be reused once the call ends.
struct TaskHandle {
    pid_t pid = -1;
};

class TaskHelper {
  public:
    // A command still running this long after its start has its process group sent SIGTERM,
    // then SIGKILL after kKillGrace; the run then reports an error.
    static constexpr std::chrono::milliseconds kDefaultDeadline{600'000};
    static constexpr std::chrono::milliseconds kKillGrace{2'000};

    static TaskHelper& sharedInstance();

    // Runs path with argvs and waits until the command has closed both streams. Output alone
    // sets *result (emptied when not UTF-8); any error-stream text sets *error instead (empty
    // domain, code -1, the text as reason) and drops the output. Returns nothing, touching
    // neither out value, when no file exists at path; when the file cannot be started,
    // returns nothing and sets *error.
    std::optional<TaskHandle> excuteTaskPath(const std::string& path, const std::vector<std::string>& argvs,
                                             std::string* result = nullptr, ErrorValue* error = nullptr);
    std::optional<TaskHandle> excuteTaskPath(const std::string& path, const std::vector<std::string>& argvs,
                                             std::chrono::milliseconds deadline,
                                             std::string* result = nullptr, ErrorValue* error = nullptr);

    // Runs path with argvs, hands the started child to isRunning, and after both streams have
    // ended calls complete on this thread with the text (output non-empty) and the error
    // (error stream non-empty), both possibly set. A program that cannot be started gets
    // complete with neither.
    void excuteTaskPath(const std::string& path, const std::vector<std::string>& argvs,
                        std::function<void(TaskHandle)> isRunning,
                        std::function<void(std::optional<std::string>, std::optional<ErrorValue>)> complete);

    // Starts path with argvs on the caller's standard streams in its own process group and
    // returns at once; the child is reaped in the background when it exits.
    void startCMDApp(const std::string& path, const std::vector<std::string>& argvs);

    // Whether a live process of that name runs for any user.
    bool processRunning(const std::string& name);

  private:
    TaskHelper() = default;
};

}  // namespace calix
