// Watches one socket for readability on epoll and tells its delegate when data can be read.
// One loop thread per watcher, started by the first addSocketToQueue and ended by the
// destructor; the delegate is called on that thread. Adding another socket replaces the
// watched one (the old one is no longer watched); unregister stops watching at once.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

namespace hollin {

class ZemRemoteKQueueProtocol {
  public:
    virtual ~ZemRemoteKQueueProtocol() = default;
    // The watched socket is readable (or has hung up). Called on the watcher's loop thread;
    // the delegate reads here, so level-triggered readiness does not repeat for data consumed.
    virtual void handleSocketEvent() = 0;
};

class ZemRemoteKQueue {
  public:
    // The longest single wait of the loop; it wakes earlier for any change.
    static constexpr std::chrono::seconds kWaitTimeout{60};

    // Nothing when the event queue cannot be made. The delegate is held weakly.
    static std::unique_ptr<ZemRemoteKQueue> initWithDelegate(std::weak_ptr<ZemRemoteKQueueProtocol> delegate);
    ~ZemRemoteKQueue();
    ZemRemoteKQueue(const ZemRemoteKQueue&) = delete;
    ZemRemoteKQueue& operator=(const ZemRemoteKQueue&) = delete;

    // Watches fd for readability, in place of any socket watched before. False when epoll refuses it.
    bool addSocketToQueue(int fd);
    // Stops watching the socket, if one is set.
    void unregister();

    int fd() const;
    bool keepWatcherThreadRunning() const;

  private:
    struct Core;
    explicit ZemRemoteKQueue(std::shared_ptr<Core> core);

    // Shared with the loop thread, so the loop may outlive this object when its last owner
    // lets go from inside a delegate call.
    std::shared_ptr<Core> core_;
    std::thread thread_;
};

}  // namespace hollin
