// The job operations the watchdog and the installer ask of our launchd, each one request over the
// supervisor's socket: no shell line, and a label or path goes over as data, never as a pattern.
#pragma once

#include <string>

namespace supervise {

// Labels of the jobs the two daemon jobs guard and the installer replaces.
inline constexpr const char* kRunJobLabel = "com.velmora.Stoven.Daemon";
inline constexpr const char* kProtectJobLabel = "com.velmora.Hollin.Daemon";
inline constexpr const char* kReportJobLabel = "com.velmora.Tamber.Daemon";
inline constexpr const char* kRunnerJobLabel = "com.velmora.Marlet.Daemon";
inline constexpr const char* kWatermarkJobLabel = "com.velmora.Grebe.Daemon";
inline constexpr const char* kOldAgentLabel = "com.velmora.RavAviza.Agent";

// "/Library/LaunchDaemons/<label>.plist" under the root prefix.
std::string jobFile(const std::string& label);

// Some loaded job's label contains label (the job list read for that text, as a search of the
// list's label column finds it: a longer label holding it counts too).
bool jobListed(const std::string& label);

// What a launchctl run would have printed: its output and its error text.
struct JobCommandOutcome {
    std::string result;
    std::string error;
    bool ok = false;
};

// launchctl load [-w -F] PATH: loads the job, or starts a loaded job that does not run.
JobCommandOutcome loadJob(const std::string& path, bool writeAndForce = false);
// launchctl unload PATH: stops the job and forgets it; returns once its process has ended.
JobCommandOutcome unloadJob(const std::string& path);

}  // namespace supervise
