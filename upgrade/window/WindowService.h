// The window process's listener in its user's runtime folder: takes the root app's connection
// (root peers only, one at a time), draws what it sends on the window, and sends back the user's
// clicks. Messages arrive on the connection's thread and are handed to the window's thread.
#pragma once

#include <QObject>
#include <functional>
#include <memory>
#include <mutex>

#include "platform/ipc/XpcConnection.h"

class ZemUpgradeWindow;

class WindowService : public QObject {
    Q_OBJECT
  public:
    WindowService(ZemUpgradeWindow& window, uid_t user);
    ~WindowService() override;
    bool start();
    void stop();
    // Called on the window's thread when the root app's connection ends.
    std::function<void()> onDisconnected;
    bool connected() const;

  private:
    void handle(const ipc::XpcMessage& message);
    void sendToRoot(const ipc::XpcMessage& message);

    // Whether the service still lives: connection threads check it (under its lock) before they
    // touch the service, as a connection may end after the service has gone.
    // Recursive: ending an older connection from a handler may run that connection's handler here.
    struct Life {
        std::recursive_mutex mutex;
        bool alive = true;
    };

    ZemUpgradeWindow& window_;
    uid_t user_;
    std::shared_ptr<Life> life_ = std::make_shared<Life>();
    std::shared_ptr<ipc::XpcListener> listener_;
    mutable std::mutex mutex_;
    std::shared_ptr<ipc::XpcConnection> root_;
};
