// Vends the local service object under com.velmora.Ludrow.Exit on request and takes it back.
#pragma once

#include <memory>
#include <mutex>

#include "platform/ipc/NamedConnection.h"

namespace hollin {

class ZemCoreConnectionManager {
  public:
    static ZemCoreConnectionManager& sharedInstance();

    // Registers a new ZemCoreVPNService under its connection name; a connection that is still
    // valid is kept. Its upgrade requests go to the upgrade app through the peers' client.
    void registerZemExitConnection();
    // Invalidates the connection when it exists and is valid.
    void unRegisterConnection();

    std::shared_ptr<ipc::NamedConnection> longconnection() const;

  private:
    mutable std::mutex mutex_;
    std::shared_ptr<ipc::NamedConnection> longconnection_;
};

}  // namespace hollin
