#include "TaskHelper.h"

#include <sys/stat.h>

#include <cstring>
#include <string_view>
#include <utility>

#include "framework/encoding/Utf8.h"
#include "platform/paths/Paths.h"
#include "platform/process/ProcessList.h"
#include "platform/spawn/Spawn.h"
#include "platform/spawn/ToolEnvironment.h"

namespace calix {

namespace {

using std::chrono::milliseconds;

// Each stream keeps at most this much; the rest is drained and dropped so the child never
// stalls, and the run counts as failed rather than returning cut text.
constexpr size_t kMaxStreamBytes = 16u << 20;

constexpr const char* kTimedOut = "command timed out";
constexpr const char* kTooLarge = "command output too large";
constexpr const char* kReadFailed = "reading command output failed";


bool fileExists(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(path.c_str(), &st) == 0;
}

// The child runs in its own process group (so a deadline ends everything it started) on the
// caller's standard input, with no other descriptor of ours.
spawn::Options childOptions(const std::string& path, const std::vector<std::string>& argvs) {
    spawn::Options o;
    o.program = path;
    o.argv.reserve(argvs.size() + 1);
    o.argv.push_back(path);
    o.argv.insert(o.argv.end(), argvs.begin(), argvs.end());
    o.environment = spawn::toolEnvironment();
    o.grouping = spawn::Grouping::OwnGroup;
    o.input = spawn::Stream::inherit();
    return o;
}

// Runs until the command has closed both streams. A command still running then is reaped in the
// background and its group ended at the deadline (SIGTERM, then SIGKILL after the grace).
spawn::RunResult runCollecting(const std::string& path, const std::vector<std::string>& argvs,
                               milliseconds deadline, const std::function<void(TaskHandle)>& started) {
    spawn::RunLimits limits;
    limits.maxStreamBytes = kMaxStreamBytes;
    limits.deadline = deadline;
    limits.killGrace = TaskHelper::kKillGrace;
    limits.waitForExit = false;
    if (started) {
        limits.started = [&started](pid_t pid) { started(TaskHandle{pid}); };
    }
    return spawn::run(childOptions(path, argvs), limits);
}

// Why the streams do not hold the whole result, if they do not.
std::optional<std::string> failureOf(const spawn::RunResult& run) {
    if (run.timedOut) return kTimedOut;
    if (run.readFailed) return kReadFailed;
    if (run.outputTruncated || run.errorTruncated) return kTooLarge;
    return std::nullopt;
}

ErrorValue commandError(std::string reason) {
    return ErrorValue{"", -1, std::move(reason)};
}

ErrorValue errorFromStream(const std::string& err) {
    return commandError(utf8::isValid(err) ? err : std::string("unknown error"));
}

}  // namespace

TaskHelper& TaskHelper::sharedInstance() {
    static TaskHelper instance;
    return instance;
}

std::optional<TaskHandle> TaskHelper::excuteTaskPath(const std::string& path,
                                                     const std::vector<std::string>& argvs,
                                                     std::string* result, ErrorValue* error) {
    return excuteTaskPath(path, argvs, kDefaultDeadline, result, error);
}

std::optional<TaskHandle> TaskHelper::excuteTaskPath(const std::string& path,
                                                     const std::vector<std::string>& argvs,
                                                     milliseconds deadline, std::string* result,
                                                     ErrorValue* error) {
    if (!fileExists(path)) return std::nullopt;
    spawn::RunResult run = runCollecting(path, argvs, deadline, nullptr);
    if (!run.started()) {
        if (error) *error = commandError(std::strerror(run.spawnError));
        return std::nullopt;
    }
    if (std::optional<std::string> failure = failureOf(run)) {
        if (error) *error = commandError(*failure);
    } else if (!run.output.empty() && run.error.empty()) {
        if (result) {
            if (utf8::isValid(run.output)) {
                *result = run.output;
            } else {
                result->clear();
            }
        }
    } else if (!run.error.empty() && error) {
        *error = errorFromStream(run.error);
    }
    return TaskHandle{run.pid};
}

void TaskHelper::excuteTaskPath(
    const std::string& path, const std::vector<std::string>& argvs, std::function<void(TaskHandle)> isRunning,
    std::function<void(std::optional<std::string>, std::optional<ErrorValue>)> complete) {
    spawn::RunResult run = runCollecting(path, argvs, kDefaultDeadline, isRunning);
    std::optional<std::string> text;
    std::optional<ErrorValue> error;
    if (run.started()) {
        if (std::optional<std::string> failure = failureOf(run)) {
            error = commandError(*failure);
        } else {
            if (!run.output.empty() && utf8::isValid(run.output)) text = run.output;
            if (!run.error.empty()) error = errorFromStream(run.error);
        }
    }
    if (complete) complete(std::move(text), std::move(error));
}

void TaskHelper::startCMDApp(const std::string& path, const std::vector<std::string>& argvs) {
    if (!fileExists(path)) return;
    spawn::Options options = childOptions(path, argvs);
    options.output = spawn::Stream::inherit();
    options.error = spawn::Stream::inherit();
    std::optional<spawn::Child> child = spawn::start(options);
    if (!child) return;
    spawn::reapInBackground(child->pid, std::move(child->pidfd));
}

bool TaskHelper::processRunning(const std::string& name) {
    return !proclist::processesNamed(name).empty();
}

}  // namespace calix
