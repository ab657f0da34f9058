// The client side of our launchd: what launchctl does, as C++ calls. One request and one reply
// over the supervisor's root-only socket, each a binary property list in one frame.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "Supervisor.h"

namespace launchd {

// The supervisor's socket under the runtime folder.
std::string socketPath();

struct JobStatus {
    std::string label;
    pid_t pid = 0;  // 0: not running
    int lastExitStatus = 0;
    std::string program;
    std::vector<std::string> programArguments;
};

enum class ReplyStatus { Ok, NotFound, Failed, Unreachable };

struct Reply {
    ReplyStatus status = ReplyStatus::Unreachable;
    // Why it failed, or a notice on success ("service already loaded").
    std::string message;
    std::vector<JobStatus> jobs;
    bool ok() const { return status == ReplyStatus::Ok; }
};

namespace client {

// Loads the job file at path and starts the job when it asks to run at load or to be kept alive;
// starts a loaded job that is not running. A relative path is taken from the working folder.
Reply load(const std::string& path, LoadOptions options = {});
// The same for a user (launchctl load -u USER): the job runs as that user with its names in the
// user's folder, whatever UserName its file gives, so one job file serves whoever signs in.
Reply load(const std::string& path, LoadOptions options, const std::string& userName);
// Stops the job the file names (SIGTERM, SIGKILL after a grace) and forgets it. Returns once
// the job's process has ended.
Reply unload(const std::string& path);
// Every loaded job, ordered by label.
Reply list();
// One job; NotFound when no job has that label.
Reply list(const std::string& label);

}  // namespace client
}  // namespace launchd
