// Two more ways for the daemon's installer and services to run a program: with its outputs
// sorted into text and an error of the daemon's own domain, or handed to a completion. Every run
// has a deadline after which the child's process group is ended, so neither call waits for ever.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"
#include "framework/process/TaskHelper.h"

namespace hollin {

class TaskHelperExtension {
  public:
    static constexpr const char* kErrorDomain = "com.velmora.Zem";
    static constexpr long kErrorCode = -10001;
    static constexpr std::chrono::milliseconds kDefaultDeadline{120'000};

    // Runs path with arguments and reads both outputs to their end. A non-empty output sets
    // *result; a non-empty error output sets *error (kErrorDomain, kErrorCode, the text or
    // "unknown error" when it is not UTF-8). A program that cannot be started, or that outlives
    // the deadline, sets *error with the reason and, when it never started, returns nothing.
    static std::optional<calix::TaskHandle> excuteLaunchPath(const std::string& path,
                                                      const std::vector<std::string>& arguments,
                                                      std::string* result = nullptr,
                                                      ErrorValue* error = nullptr,
                                                      std::chrono::milliseconds deadline = kDefaultDeadline);

    // Runs path with argvs and calls completion on this thread, before returning, with the output
    // and the error output (each nothing when empty). When no file exists at path nothing runs
    // and completion gets nothing twice.
    static void excuteTaskPath(
        const std::string& path, const std::vector<std::string>& argvs,
        const std::function<void(std::optional<std::string>, std::optional<std::string>)>& completion,
        std::chrono::milliseconds deadline = kDefaultDeadline);
};

}  // namespace hollin
