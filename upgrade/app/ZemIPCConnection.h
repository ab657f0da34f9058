// The object the upgrade app vends under "RavAviza_upgrade_connection" for the daemon: five
// remote operations, each of which only queues the matching delegate operation on the main queue
// and returns at once. ConnectionManager keeps the vended connection for the process's life.
#pragma once

#include <memory>

#include "platform/ipc/NamedConnection.h"

class ZemIPCConnection {
  public:
    static constexpr const char* kConnectionName = "RavAviza_upgrade_connection";
    // The protocol UpgradeConnectionProxy: startUpgradeApp:, startUpgradeByUser,
    // startUpgradeByTipUser, startUpgradeByTipForce, startDownloadUpgradeAndNotInstall:.
    static ipc::VendedObject vendedObject();
};

class ConnectionManager {
  public:
    static ConnectionManager& sharedInstance();
    // Vends the connection (root peers only); false when the name could not be registered.
    bool registerUpgradeConnection();
    void invalidate();

    bool isRegister = false;
    std::shared_ptr<ipc::NamedConnection> upgradeConnection;
    std::shared_ptr<ipc::NamedConnection> policyConnection;
    int64_t runTime = 0;
};
