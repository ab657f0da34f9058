// The remote session channel: one long-lived TCP connection to the remote-session server that
// carries keep-alive and query messages in an HTTP-like form. The server may tell this machine
// to switch its screen-sharing service on or off; the result and the service state go back by
// separate HTTP POSTs. Time-driven work (keep-alive interval, the read time-out of a message
// left half-read) happens in tick(), which the owner calls with its own timer or in tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/WorkQueue.h"
#include "RemoteMessageAssembler.h"
#include "ScreenSharingService.h"
#include "ZemRemoteKQueue.h"

namespace hollin {

struct RemoteSessionConfig {
    static constexpr const char* kDefaultHost = "remote.velmora.com";
    std::string host = kDefaultHost;
    uint16_t port = 28812;                        // the channel
    uint16_t reportPort = 28812;                  // the report requests
    std::string deviceName;                       // empty: this machine's name
    std::string deviceID;                         // empty: this machine's hardware UUID
    const dispatch::Clock* clock = nullptr;       // null: the system clock
    std::function<void(const std::string&)> log;  // null: the daemon's log
    std::shared_ptr<ScreenSharingService>
        screenSharing;              // null: the unit configured on disk, run by TaskHelper
    double keepAliveInterval = 60;  // seconds between keep-alives sent by tick()
    double readTimeout = 60;        // seconds a message may stay half-read before the link is dropped
};

class QvRemoteSessionManager : public ZemRemoteKQueueProtocol,
                               public std::enable_shared_from_this<QvRemoteSessionManager> {
  public:
    enum ConnectStatus : int64_t { kNotConnected = -1, kConnecting = 0, kConnected = 1 };
    enum MessageType : int { kQuery = 1, kKeepAlive = 2 };
    static constexpr double kConnectTimeout = 20;
    static constexpr double kWriteTimeout = 10;
    static constexpr long kReportTimeout = 30;
    static constexpr int kScreenSharingPort = 5900;
    // Messages received but not yet handled; beyond this a peer's flood is dropped, not queued.
    static constexpr int kMaxQueuedMessages = 32;

    using ReportCompletion = std::function<void(bool success, nlohmann::json reply)>;

    static std::shared_ptr<QvRemoteSessionManager> create(RemoteSessionConfig config = {});
    static QvRemoteSessionManager& sharedInstance();
    ~QvRemoteSessionManager() override;

    // Starts connecting unless connected or connecting (then true at once). False when the host
    // does not resolve or the connect call fails at once.
    bool startConnectToHost();
    // Drops the socket and connects again, unless disconnectSocket(true) asked for no reconnect.
    void reastartConnectToHost();
    void disconnectSocket(bool stopReconnect);

    // Queues a keep-alive (kKeepAlive) or a query (any other type) when connected.
    void keepLongConnectionWithType(int type);
    // Sends a keep-alive when the interval has passed; drops a link whose half-read message is too old.
    void tick();

    bool activeRemoteService();
    bool inactiveRemoteService();
    bool getRemoteServiceState();

    void reportActiveStatus(bool result, int port, ReportCompletion complete);
    void reportActiveStatusWithComplete(ReportCompletion complete);

    int64_t connectStatus() const { return connectStatus_.load(); }
    double lastKeepAliveTime() const { return lastKeepAliveTime_.load(); }
    // Waits until messages received so far are handled and queued writes are on the wire.
    void waitIdle();

    // The watcher's call: the socket is readable.
    void handleSocketEvent() override;

  private:
    explicit QvRemoteSessionManager(RemoteSessionConfig config);
    void log(const std::string& line) const;
    std::string wireMessage(int type) const;
    void onConnected(uint64_t generation, int fd);
    void onDisconnected(uint64_t generation, const std::string& error);
    void closeSocketLocked();
    bool writeAll(uint64_t generation, const std::string& bytes);
    void handleMessage(const std::string& text);
    void postReport(const std::string& path, const nlohmann::json& body, ReportCompletion complete);

    RemoteSessionConfig config_;
    const dispatch::Clock& clock_;
    std::shared_ptr<ScreenSharingService> screenSharing_;

    std::atomic<bool> stopReconnect_{false};
    std::atomic<double> lastKeepAliveTime_{0};
    std::atomic<int64_t> connectStatus_{kNotConnected};
    std::atomic<double> recvRespTimeInterval_{0};
    std::atomic<int> queuedMessages_{0};

    std::mutex ioMutex_;  // the socket descriptor, its reads, writes and close
    int socket_ = -1;
    uint64_t generation_ = 0;  // counts connections, so late completions of an old one are ignored
    RemoteMessageAssembler assembler_;
    double pendingSince_ = -1;  // uptime when a half-read message began; -1 when none

    std::shared_ptr<dispatch::WorkQueue> parseQueue_;
    std::shared_ptr<dispatch::WorkQueue> socketQueue_;
    std::unique_ptr<ZemRemoteKQueue> kqueue_;
};

}  // namespace hollin
