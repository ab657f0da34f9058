// The -protect job's call to the -run job's scheduler over the heartbeat-protect connection.
#pragma once

namespace hollin {

class ZemProtectIPCManager {
  public:
    // Asks the -run job to check that its scheduler ticks (it restarts a stalled one). False when
    // nobody vends the connection or the call got no answer in time; never starts anything.
    static bool checkHeartbeatRunning(double timeoutSeconds = 10.0);
};

}  // namespace hollin
