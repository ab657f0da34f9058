#include "ZemCoreConnectionManager.h"

#include <optional>

#include "common/logger/LogSink.h"
#include "daemon/peers/ZemIPCManager.h"
#include "daemon/service/ZemCoreVPNService.h"

using common::processLog;

namespace hollin {

ZemCoreConnectionManager& ZemCoreConnectionManager::sharedInstance() {
    static ZemCoreConnectionManager* instance = new ZemCoreConnectionManager();  // lives for the process
    return *instance;
}

void ZemCoreConnectionManager::registerZemExitConnection() {
    std::lock_guard lock(mutex_);
    if (longconnection_ && longconnection_->isValid()) return;
    ZemCoreVPNService::Environment env;
    env.startUpgrade = [](int64_t type) {
        ZemIPCManager::sharedInstance().upgradeIPC(std::nullopt, static_cast<int32_t>(type));
    };
    // The connection serves on threads of its own, as the object's operations may block.
    longconnection_ = ZemCoreVPNService::vend(std::make_shared<ZemCoreVPNService>(std::move(env)));
    if (!longconnection_) processLog().writeLog("[ZemCoreConnectionManager] register connection failed");
}

void ZemCoreConnectionManager::unRegisterConnection() {
    std::lock_guard lock(mutex_);
    if (longconnection_ && longconnection_->isValid()) longconnection_->invalidate();
    longconnection_.reset();
}

std::shared_ptr<ipc::NamedConnection> ZemCoreConnectionManager::longconnection() const {
    std::lock_guard lock(mutex_);
    return longconnection_;
}

}  // namespace hollin
