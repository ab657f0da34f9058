#include "ZemLinkContext.h"

#include "common/command/ZemCMDManager.h"
#include "common/server/ZemServerConfig.h"

using common::ZemCMDManager;
using common::ZemServerConfig;

namespace hollin {

const dispatch::Clock& ZemLinkContext::theClock() const {
    return clock ? *clock : dispatch::Clock::system();
}

ZemServerConfig& ZemLinkContext::theServerConfig() const {
    return serverConfig ? *serverConfig : ZemServerConfig::sharedInstance();
}

ZemCMDManager& ZemLinkContext::theCmdManager() const {
    return cmdManager ? *cmdManager : ZemCMDManager::sharedInstance();
}

}  // namespace hollin
