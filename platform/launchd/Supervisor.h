// The job table of our launchd and the supervision of its jobs: start at load, restart of
// KeepAlive jobs after a throttle, stop with SIGTERM then SIGKILL. Time comes in as explicit
// monotonic seconds, so tests step the throttle and the stop grace without sleeping.
//
// Jobs run as the supervisor's user, or as the user their UserName names (a root supervisor
// only), in a session of their own, with the supervisor's environment,
// the job's EnvironmentVariables and RAVAVIZA_ROOT. A job with MachServices is started on demand:
// the supervisor holds the listening socket of each name while the job does not run, starts the
// job when a client connects and hands it the sockets at descriptors 3, 4, … with LISTEN_PID,
// LISTEN_FDS and LISTEN_FDNAMES set. A user's job has its names in that user's runtime folder.
// When the job's process ends, what is left of its process group and session is killed, so a
// restarted job never runs beside remains of the old one.
//
// Absolute paths in a job file are machine paths and move under the root prefix; a program that
// exists only outside it (a system tool) runs from the machine.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "JobDescription.h"
#include "JobOutput.h"
#include "platform/ipc/Endpoint.h"

namespace launchd {

struct SupervisorOptions {
    // A job is not started more often than once per throttle interval: a KeepAlive job that
    // exits soon after its start waits out the rest of the interval, one that ran longer
    // restarts at once. At least 0.1 s.
    double throttleSeconds = 10.0;
    // Between SIGTERM and SIGKILL when a job is stopped.
    double exitTimeoutSeconds = 5.0;
    // Where the lines of jobs without StandardOutPath / StandardErrorPath go, "<label>: " first.
    int outputSink = 2;
};

// One job as the table shows it.
struct JobInfo {
    JobDescription desc;
    pid_t pid = 0;           // 0: not running
    int lastExitStatus = 0;  // exit status of the last run, or minus the signal that ended it
    bool stopping = false;   // being unloaded; gone once its process has ended
};

struct LoadOptions {
    bool write = false;  // -w: load even when the job file says Disabled
    bool force = false;  // -F: the same
};

enum class LoadOutcome {
    Started,         // loaded (or was loaded and not running) and now runs
    Loaded,          // loaded; neither RunAtLoad nor KeepAlive asks to start it now
    AlreadyRunning,  // loaded and running already; nothing changed
    Disabled,        // the job file says Disabled and no -w / -F was given; not loaded
    StartFailed,     // loaded, but its program could not be started (see error)
    NotLoaded,       // refused, e.g. a service name another process holds (see error)
};

struct LoadResult {
    LoadOutcome outcome = LoadOutcome::Loaded;
    pid_t pid = 0;
    std::string error;
};

enum class UnloadOutcome {
    NotLoaded,
    Removed,   // was not running: forgotten at once
    Stopping,  // SIGTERM sent; forgotten when its process has ended
};

class Supervisor {
  public:
    explicit Supervisor(SupervisorOptions options = {});
    // Kills whatever still runs and reaps it, so no job outlives its supervisor.
    ~Supervisor();
    Supervisor(const Supervisor&) = delete;
    Supervisor& operator=(const Supervisor&) = delete;

    // From now on records the running jobs in path (see JobRecords.h) at every start and end.
    void recordJobsIn(std::string path) { recordsPath_ = std::move(path); }

    LoadResult load(const JobDescription& desc, LoadOptions options, double now);
    UnloadOutcome unload(const std::string& label, double now);
    // Stops every job (shutdown of the supervisor).
    void unloadAll(double now);

    std::vector<JobInfo> list() const;  // ordered by label
    std::optional<JobInfo> job(const std::string& label) const;
    bool isStopping(const std::string& label) const;
    bool empty() const { return jobs_.empty(); }

    // Records the end of a child. False when pid is none of the jobs' processes (an orphan
    // the caller reaped as subreaper).
    bool childExited(pid_t pid, int waitStatus, double now);
    // Reaps the jobs' own processes that have ended, without blocking.
    void reapChildren(double now);
    // Starts the restarts that are due and kills the stops whose grace has run out.
    void tick(double now);
    // When tick() next has something to do; nothing while no restart or stop is pending.
    std::optional<double> nextDeadline() const;

    // The listening sockets to watch for clients of on-demand jobs that do not run now (a job
    // that started less than a throttle interval ago waits that out).
    struct DemandSocket {
        int fd = -1;
        std::string label;
    };
    std::vector<DemandSocket> demandSockets(double now) const;
    // A client is waiting on one of the job's names: starts it unless it runs already.
    bool demand(const std::string& label, double now);
    // When demandSockets() next grows by a job whose throttle interval runs out.
    std::optional<double> nextDemandWatch(double now) const;

    // The pipes that carry jobs' output to the supervisor, to watch; relayOutput() when one is
    // readable or closed. A pipe outlives its job until everything the job started has closed it.
    std::vector<int> outputFds() const { return relay_.fds(); }
    void relayOutput(int fd) { relay_.read(fd); }

  private:
    struct Job {
        JobDescription desc;
        pid_t pid = 0;
        int lastExitStatus = 0;
        std::optional<double> lastStart;
        std::optional<double> restartAt;
        bool stopping = false;
        std::optional<double> killAt;
        // A load that came while the job was stopping; applied once the old process is gone,
        // so two instances of one job never overlap.
        std::optional<JobDescription> reloadDesc;
        // One registered name per entry of desc.machServices, in that order.
        std::vector<std::unique_ptr<ipc::ListeningEndpoint>> endpoints;
        // The job's process as recorded: its start time tells it from a later holder of the pid.
        uint64_t startTime = 0;
        // UserName resolved at load: who the job runs as, and whose folder holds its names.
        struct RunAs {
            uid_t uid = 0;
            gid_t gid = 0;
            std::vector<gid_t> groups;
        };
        std::optional<RunAs> runAs;
        std::string home;
        ipc::Scope scope;
    };

    // Resolves the job's UserName; false with a reason when it names nobody, or another user
    // while the supervisor is not root.
    static bool resolveUser(Job& job, std::string* error);

    bool start(Job& job, double now, std::string* error);
    // Registers the names the description lists and gives up the others.
    bool openEndpoints(Job& job, std::string* error);
    void saveRecords(const std::string* label = nullptr, pid_t pid = 0, uint64_t startTime = 0);
    void forget(std::map<std::string, Job>::iterator it);
    static JobInfo info(const Job& job);

    SupervisorOptions options_;
    OutputRelay relay_{options_.outputSink};
    std::string recordsPath_;
    std::map<std::string, Job> jobs_;
};

// Status as the job list shows it: the exit status, or minus the terminating signal.
int exitStatusFromWait(int waitStatus);

// Kills what is left of an ended job's process group and session.
void killRemains(pid_t jobPid);

}  // namespace launchd
