// The request core of the main server link: builds each request, queues it on the link and
// watches the server configuration, rebuilding the link when it changes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"
#include "ZemLinkContext.h"
#include "daemon/messages/ZemNotificationNames.h"

namespace zem { class ZemRequest; }
namespace dispatch {
class WorkQueue;
}
namespace fsevents {
class EventStream;
}

namespace hollin {

class ZemSocketManager;

class ZemCore {
  public:
    using UpgradeStateBlock = std::function<void(std::optional<std::vector<uint8_t>>)>;
    static constexpr const char* kHeartbeatRestartNotification = notification::kHeartbeatRestart;
    static constexpr std::chrono::milliseconds kConfigWatchLatency{3000};

    ZemCore();
    explicit ZemCore(ZemLinkContext context);
    virtual ~ZemCore();
    ZemCore(const ZemCore&) = delete;
    ZemCore& operator=(const ZemCore&) = delete;

    // Creates the link when there is none and the configuration names an intranet server.
    void initialConfig();
    // Re-reads the configuration and replaces the link; the old link's queued requests move over.
    void reinitialConfig();

    virtual void sendHeartBeat();
    virtual void sendHeartBeatExt();
    // True only when refused because an upgrade query is already queued.
    virtual bool sendUpdateRequest(uint64_t uFrom);
    virtual void sendUpdateRequestByUserWithBlock(UpgradeStateBlock block);
    virtual void sendGetCommPoliceIDs(bool isCmdSend);
    virtual void sendGetPoliceContent(const std::vector<int64_t>& policyIds, std::function<void()> complete);
    virtual void sendGetConfig(bool isCmdSend);
    // Watches the server configuration file and rebuilds the link when it changes.
    virtual void startListenConfigInfo();
    void stopListenConfigInfo();
    // Announces a change of the heartbeat interval.
    void updateTimeRates();

    // A new request of the class of an action (1000, 1001, 2000, 5001, 5002, 6000), else none.
    std::unique_ptr<zem::ZemRequest> getRequestWithType(int32_t action) const;
    static std::string getURLParams(int32_t action);
    // The POST body of a request: built, serialized and URL-encoded; none when building fails.
    static std::optional<std::vector<uint8_t>> getRequestData(zem::ZemRequest& request, bool isEncode);

    // The current link, or none.
    std::shared_ptr<ZemSocketManager> socketManager() const;

  private:
    // initialConfig with mutex_ held.
    void createLinkLocked();
    // Builds the request of a kind and queues it; *refused tells whether one was queued already.
    bool queueRequest(const std::shared_ptr<ZemSocketManager>& link, uint64_t reqTag, zem::ZemRequest& request,
                      uint64_t uFrom, bool isCmdSend, bool* refused);
    // The link after initialConfig, or none with the kind's line logged.
    std::shared_ptr<ZemSocketManager> linkOrLog(const char* invalidLine);
    archive::Dictionary upgradeUserInfo(const char* reqmethod) const;
    void log(const std::string& line) const;

    ZemLinkContext context_;
    mutable std::mutex mutex_;
    std::shared_ptr<ZemSocketManager> socketManager_;
    std::mutex watchMutex_;
    std::shared_ptr<dispatch::WorkQueue> watchQueue_;
    std::unique_ptr<fsevents::EventStream> configWatch_;
};

}  // namespace hollin
