#include "TaskHelperExtension.h"

#include <sys/stat.h>

#include <cstring>

#include "framework/encoding/Utf8.h"
#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"

using calix::TaskHandle;

namespace hollin {

namespace {

constexpr size_t kMaxStreamBytes = 4u << 20;

spawn::RunResult runProgram(const std::string& path, const std::vector<std::string>& args,
                            std::chrono::milliseconds deadline) {
    spawn::Options o;
    o.program = path;
    o.argv.push_back(path);
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.grouping = spawn::Grouping::OwnGroup;
    spawn::RunLimits limits;
    limits.deadline = deadline;
    limits.maxStreamBytes = kMaxStreamBytes;
    return spawn::run(std::move(o), limits);
}

}  // namespace

std::optional<TaskHandle> TaskHelperExtension::excuteLaunchPath(const std::string& path,
                                                                const std::vector<std::string>& arguments,
                                                                std::string* result, ErrorValue* error,
                                                                std::chrono::milliseconds deadline) {
    spawn::RunResult run = runProgram(path, arguments, deadline);
    if (!run.started()) {
        if (error) *error = ErrorValue{kErrorDomain, kErrorCode, std::strerror(run.spawnError)};
        return std::nullopt;
    }
    if (!run.output.empty() && result) *result = run.output;
    if (error) {
        if (!run.error.empty()) {
            *error =
                ErrorValue{kErrorDomain, kErrorCode, utf8::isValid(run.error) ? run.error : "unknown error"};
        } else if (run.timedOut) {
            *error = ErrorValue{kErrorDomain, kErrorCode, "command timed out"};
        }
    }
    return TaskHandle{run.pid};
}

void TaskHelperExtension::excuteTaskPath(
    const std::string& path, const std::vector<std::string>& argvs,
    const std::function<void(std::optional<std::string>, std::optional<std::string>)>& completion,
    std::chrono::milliseconds deadline) {
    struct stat st {};
    if (path.empty() || ::stat(path.c_str(), &st) != 0) {
        if (completion) completion(std::nullopt, std::nullopt);
        return;
    }
    spawn::RunResult run = runProgram(path, argvs, deadline);
    std::optional<std::string> out;
    std::optional<std::string> err;
    if (!run.output.empty()) out = run.output;
    if (!run.error.empty()) err = run.error;
    if (!run.started()) err = std::string(std::strerror(run.spawnError));
    if (completion) completion(std::move(out), std::move(err));
}

}  // namespace hollin
