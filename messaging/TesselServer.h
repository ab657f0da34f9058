// The serving side of the messaging library: registers a port name and answers each message
// through a delegate, on a worker of its own ("IPC.manager") or, without waiting, on the
// delegate's queue.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "IPCReceiveProtocol.h"
#include "platform/dispatch/WorkQueue.h"

namespace ipc {
class LocalMessagePort;
}

namespace tessel {

class TesselServer {
  public:
    // No delegate and no queue.
    TesselServer();
    // Stops serving; waits (up to two minutes) for messages the delegate is answering on a worker.
    ~TesselServer();
    TesselServer(const TesselServer&) = delete;
    TesselServer& operator=(const TesselServer&) = delete;

    // delQueue set: the delegate is called there and every message is answered "0" at once.
    TesselServer& initWithDelegate(std::weak_ptr<IPCReceiveProtocol> delegate,
                                   std::shared_ptr<dispatch::WorkQueue> delQueue);

    // Registers the port and serves it; false when no port was created (the name is held).
    // A port served before is given up once the new one exists.
    bool startListen(const std::string& name);
    // Stops the port when its name matches ignoring case. Always true.
    bool stopListen(const std::string& name);

    std::weak_ptr<IPCReceiveProtocol> delegate() const;
    std::shared_ptr<dispatch::WorkQueue> delQueue() const;
    std::shared_ptr<ipc::LocalMessagePort> localPort() const;

    // Whose port names startListen registers: root's (nothing, the default) or the given
    // user's own (a user's app serves its port there). Set before startListen.
    void setUserScope(std::optional<uid_t> uid);

  private:
    void retire(std::shared_ptr<ipc::LocalMessagePort> port);

    mutable std::mutex mutex_;
    std::weak_ptr<IPCReceiveProtocol> delegate_;
    std::shared_ptr<dispatch::WorkQueue> delQueue_;
    std::shared_ptr<ipc::LocalMessagePort> localPort_;
    std::shared_ptr<dispatch::WorkQueue> worker_;
    std::optional<uid_t> userScope_;
    // Stopped ports whose worker may still be answering a message with this object as context.
    std::vector<std::shared_ptr<ipc::LocalMessagePort>> retired_;
};

}  // namespace tessel
