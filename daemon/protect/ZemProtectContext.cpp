#include "ZemProtectContext.h"

#include "common/logger/DaemonLog.h"

#include <unistd.h>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/WorkQueue.h"
#include "daemon/endpoints/VendedObjects.h"
#include "platform/ipc/NamedConnection.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/records/ZemMachineModel.h"
#include "common/server/ZemServerConfig.h"

using common::LogCoreHelper;
using common::ZemServerConfig;
using hollin::ZemMachineManager;
using hollin::ZemProtectContext;

ZemServerConfig& ZemProtectContext::theServerConfig() const {
    return serverConfig ? *serverConfig : ZemServerConfig::sharedInstance();
}

ZemMachineManager& ZemProtectContext::theMachineManager() const {
    return machineManager ? *machineManager : ZemMachineManager::sharedInstance();
}

const dispatch::Clock& ZemProtectContext::theClock() const {
    return clock ? *clock : dispatch::Clock::system();
}

std::shared_ptr<dispatch::WorkQueue> ZemProtectContext::theMainQueue() const {
    return mainQueue ? mainQueue : dispatch::WorkQueue::main();
}

void ZemProtectContext::notifyUpdateMachine() const {
    if (updateMachineNotifier) {
        updateMachineNotifier();
    } else {
        protectchannel::notifyHeartbeatUpdateMachine();
    }
}

namespace protectchannel {

bool notifyHeartbeatUpdateMachine(double timeoutSeconds) {
    common::LogSink& logger = common::daemonLog();
    logger.writeLog("[ZemSocketOtherReadManager] notify heartbeat process update memory machine...", 1);
    ipc::LookupOptions options;
    options.timeout = timeoutSeconds;
    // A root process only believes a root peer about the -run job's connection.
    options.requireRootPeer = ::geteuid() == 0;
    auto proxy = ipc::ConnectionProxy::lookup(endpoints::kHeartbeatProtectConnection, options);
    if (!proxy) {
        logger.writeLog("[ZemSocketOtherReadManager] is not exist heartbeat protect connection", 1);
        return false;
    }
    const ipc::CallResult result = proxy->call("updateMemoryMachine", {}, timeoutSeconds);
    proxy->invalidate();
    if (!result.ok()) {
        logger.writeLog("[ZemSocketOtherReadManager] Connection exception: " +
                            (result.error.empty() ? std::string("no answer") : result.error),
                        1);
        return false;
    }
    return true;
}

}  // namespace protectchannel
