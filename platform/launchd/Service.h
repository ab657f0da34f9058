// The launchd process: the supervisor behind its root-only socket, driven by one poll loop
// (requests, child ends, the supervisor's deadlines) until SIGTERM or SIGINT.
#pragma once

#include "Supervisor.h"

namespace launchd {

struct ServiceOptions {
    SupervisorOptions supervisor;
    // Load the job files of the LaunchDaemons folder at start, as at boot.
    bool loadBootJobs = true;
};

// Runs until SIGTERM or SIGINT, then stops every job; returns the process's exit status
// (1 when the socket cannot be set up or another supervisor holds the lock).
int runService(const ServiceOptions& options);

}  // namespace launchd
