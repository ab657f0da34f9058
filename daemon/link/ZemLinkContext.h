// What the main server link works with: its clock, the server configuration, the command store
// and the reply handler. Empty fields take the process's own; tests give their own.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "platform/dispatch/Clock.h"

namespace common { class ZemServerConfig; }
namespace common { class ZemCMDManager; }

namespace hollin {

class ZemResponseHandle;

struct ZemLinkContext {
    const dispatch::Clock* clock = nullptr;             // null: the system clock
    common::ZemServerConfig* serverConfig = nullptr;            // null: ZemServerConfig::sharedInstance()
    common::ZemCMDManager* cmdManager = nullptr;                // null: ZemCMDManager::sharedInstance()
    std::shared_ptr<ZemResponseHandle> responseHandle;  // null: each read side makes its own
    // False: no write timer; the owner ticks the link with handleSocketWrite().
    bool startWriteTimer = true;
    // The user's upgrade query goes here; empty: the built-in policy-server endpoint.
    std::string upgradeQueryURL;
    size_t maxReplyBytes = 16u * 1024 * 1024;
    // The pause of a network-type change between the closing send and the move to the next server.
    std::chrono::milliseconds networkChangeDelay{1000};

    const dispatch::Clock& theClock() const;
    common::ZemServerConfig& theServerConfig() const;
    common::ZemCMDManager& theCmdManager() const;
};

}  // namespace hollin
