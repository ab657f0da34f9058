#include "ZemProtectIPCManager.h"

#include "common/logger/DaemonLog.h"

#include <unistd.h>

#include "daemon/endpoints/VendedObjects.h"
#include "platform/ipc/NamedConnection.h"
#include "common/logger/RotatingLogger.h"

using common::LogCoreHelper;

namespace hollin {

bool ZemProtectIPCManager::checkHeartbeatRunning(double timeoutSeconds) {
    common::LogSink& logger = common::daemonLog();
    logger.writeLog("[ZemProtectIPCManager] start check heartbeat...", 1);
    ipc::LookupOptions options;
    options.timeout = timeoutSeconds;
    // Only a root peer may answer for the -run job.
    options.requireRootPeer = ::geteuid() == 0;
    auto proxy = ipc::ConnectionProxy::lookup(endpoints::kHeartbeatProtectConnection, options);
    if (!proxy) {
        logger.writeLog("[ZemProtectIPCManager] is not exist heartbeat protect connection", 1);
        return false;
    }
    const ipc::CallResult result = proxy->call("checkValidOfHearbeat", {}, timeoutSeconds);
    proxy->invalidate();
    if (!result.ok()) {
        logger.writeLog("[ZemProtectIPCManager] Connection exception: " +
                            (result.error.empty() ? std::string("no answer") : result.error),
                        1);
        return false;
    }
    return true;
}

}  // namespace hollin
