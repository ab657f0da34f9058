// The supervisor's record of the jobs it runs, kept in a file under its root so that after its
// own crash the next supervisor finds the jobs it left and ends them before starting any.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace launchd {

struct JobRecord {
    pid_t pid = 0;
    uint64_t startTime = 0;  // from /proc/PID/stat: a reused pid is not the job
    std::string label;

    bool operator==(const JobRecord&) const = default;
};

// One line per job: "pid start-time label". Written atomically (temporary file, fsync, rename).
bool writeJobRecords(const std::string& path, const std::vector<JobRecord>& records);
// The records of the file; none when it is missing or unreadable. Malformed lines are skipped.
std::vector<JobRecord> readJobRecords(const std::string& path);

// The record of a running process, or a record with pid 0 when it cannot be read.
JobRecord recordOf(pid_t pid, const std::string& label);

// Ends what is left of the recorded jobs: each job process that is still the recorded one, and
// the processes of its group and session, get SIGTERM, and SIGKILL after graceSeconds. Returns
// the records of the jobs that had anything left to end.
std::vector<JobRecord> endLeftoverJobs(const std::vector<JobRecord>& records, double graceSeconds);

}  // namespace launchd
