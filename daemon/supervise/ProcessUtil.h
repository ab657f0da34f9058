// The -protect job's probes of the -run job: is its launchd job loaded, does its process run,
// and the reload when either is missing.
#pragma once

#include <string>

namespace hollin {

class ProcessUtil {
  public:
    // The job list holds the label (a longer label containing it counts too).
    static bool checkHeartBeatService(const std::string& label);
    // A process of the daemon executable runs whose command line ends in "-run".
    static bool isZemClientExist();
    // Both of the above, or else "launchctl load" of the label's job file, which also starts a
    // loaded job whose process died. A missing job file is logged.
    static void checkHeartBeatServiceAndLaunch(const std::string& label);

    // A process of the daemon executable runs whose command line ends in mode ("-run", "-protect").
    static bool daemonRunsWithMode(const std::string& mode);
};

}  // namespace hollin
