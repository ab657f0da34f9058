// The main server link: a queue holding at most one request per kind, sent head first as an
// HTTP POST from a 3 s write timer; a request in flight for more than 90 s counts as stalled,
// and every failure or stall moves the link to the next configured server.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"
#include "ZemHttpSession.h"
#include "ZemLinkContext.h"
#include "ZemSocketMessageModel.h"
#include "daemon/messages/ZemNotificationNames.h"

class UpdateMsgRsp;

namespace hollin {

class ZemSocketReadManager;

class ZemSocketManager : public std::enable_shared_from_this<ZemSocketManager> {
  public:
    static constexpr double kStallSeconds = 90.0;
    static constexpr std::chrono::seconds kWriteInterval{3};
    static constexpr std::chrono::seconds kRequestTimeout{20};
    static constexpr std::chrono::seconds kUpgradeQueryTimeout{15};
    static constexpr const char* kNetworkTypeNotification = notification::kChangedNetworkType;
    // The user's upgrade query goes to this fixed endpoint of the policy server.
    static constexpr const char* kUpgradeQueryURL = "http://policy.ravaviza.com:80/";

    using UpgradeBlock = std::function<void(std::optional<std::vector<uint8_t>>)>;

    static ZemSocketManager& sharedInstance();
    // Create with std::make_shared; init() then starts the write timer (unless the context says
    // otherwise) and the network-type observer.
    explicit ZemSocketManager(ZemLinkContext context = {});
    ~ZemSocketManager();
    ZemSocketManager(const ZemSocketManager&) = delete;
    ZemSocketManager& operator=(const ZemSocketManager&) = delete;

    void init();
    void startConnectToHost(const std::string& host, int64_t port);
    // Appends the record unless one of its kind is queued; true when refused.
    bool sendMessage(ZemSocketMessagePtr record);
    void createWriteTimer();
    // One tick of the write timer.
    void handleSocketWrite();
    void PostResquestServer(const std::string& host, int64_t port, ZemSocketMessagePtr record);
    // Sends the head once more with "Connection: close".
    void disconnect();
    // Moves the link to the next server of the round robin.
    void restartConnectSocket();
    void resetNETWorkType(const dispatch::Notification& notification);
    void saveFirstNetWorkType();
    static std::string getURLParams(int32_t action);
    // The framing of a raw HTTP reply (ZemHttpFraming::getHTTPParseTypeAndReadHeadLen).
    static int parseReadData(std::span<const uint8_t> data, int64_t* headerLen, int64_t* bodyLen);
    // Host and port of a "host:port" text of the round robin; none when the port is no port.
    static std::optional<std::pair<std::string, int64_t>> splitServerText(const std::string& text);
    std::shared_ptr<ZemHttpSession> createAFHTTPSessionMgr();
    // POSTs the user's upgrade query at once; the block gets the reply as JSON or nothing.
    void sendUpgradeRequest(ZemSocketMessagePtr record, UpgradeBlock complete);
    // {"type", "url", "md5"} of an upgrade reply as pretty-printed JSON.
    static std::vector<uint8_t> convertUpdateMsg(const UpdateMsgRsp& message);

    // Ends the link for good: no more ticks, no more network-type changes, and completions still
    // under way are ignored. Used when the link is replaced.
    void invalidate();
    bool isInvalidated() const { return invalidated_.load(); }
    // Empties the queue, giving its records back as waiting (handed to a replacement link).
    std::vector<ZemSocketMessagePtr> takeQueuedRecords();
    // Queues records taken from another link, keeping the one-per-kind rule.
    void adoptRecords(std::vector<ZemSocketMessagePtr> records);

    // A snapshot of the queue, head first.
    std::vector<ZemSocketMessagePtr> reqModels() const;
    std::string host() const;
    int64_t port() const;
    bool longConnection() const { return longConnection_.load(); }
    // Whether the write tick found the queue empty and sleeps until the next request.
    bool writeTickSleeps() const;
    ZemSocketReadManager& readSocketManager() { return *readSocketManager_; }

  private:
    // closing: the extra send of disconnect(), whose caller moves the link on itself.
    void post(const std::string& host, int64_t port, const ZemSocketMessagePtr& record, bool keepAlive,
              bool closing);
    void handleCompletion(const ZemSocketMessagePtr& record, uint64_t attempt, const std::string& host,
                          int64_t port, bool closing, ZemHttpReply reply);
    void setServer(const std::string& host, int64_t port);
    void log(const std::string& line) const;

    ZemLinkContext context_;
    const dispatch::Clock& clock_;
    std::atomic<bool> longConnection_{true};
    std::atomic<bool> invalidated_{false};

    mutable std::mutex serverMutex_;
    std::string host_;
    int64_t port_ = 0;

    // The send queue, head first; the mutex guards it and every record's status fields.
    mutable std::mutex reqModelsMutex_;
    std::vector<ZemSocketMessagePtr> reqModels_;

    std::shared_ptr<ZemSocketReadManager> readSocketManager_;
    std::shared_ptr<dispatch::WorkQueue> timerWriteQueue_;
    std::shared_ptr<dispatch::TimerSource> GDWriteTimer_;  // set under reqModelsMutex_
    bool writeTimerSuspended_ = false;                      // guarded by reqModelsMutex_
    std::shared_ptr<dispatch::WorkQueue> socketQueue_;
    std::mutex sessionMutex_;
    std::shared_ptr<ZemHttpSession> sessionMgr_;
    std::optional<dispatch::NotificationCenter::ObserverId> networkObserver_;
};

}  // namespace hollin
