// The request core of the protect channel: builds the location, network-type and
// machine-information requests, frames each as a complete HTTP request text and hands it to its
// own channel. A report's completion is called exactly once, with the server's answer or, when
// there is none within the channel's time-out, with false.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/NotificationCenter.h"
#include "ZemProtectContext.h"

namespace zem { class ZemRequest; }

namespace hollin {

class ZemSocketOtherManager;

class ZemProtectCore : public std::enable_shared_from_this<ZemProtectCore> {
  public:
    using ReportCompletion = std::function<void(bool)>;

    // Create with std::make_shared; the channel is made with the core.
    explicit ZemProtectCore(ZemProtectContext context = {});
    ~ZemProtectCore();
    ZemProtectCore(const ZemProtectCore&) = delete;
    ZemProtectCore& operator=(const ZemProtectCore&) = delete;

    // Sends the machine-information report with the network type; complete (may be empty) is
    // called once on the main queue with whether the server answered it. Returns true.
    bool reportMachineInfo(const std::string& netType, ReportCompletion complete);
    // Send the location (raw message) and network-type (URL-encoded) requests to the next server
    // of the round robin; nothing is sent while it has no usable server.
    void requestNetworkLocation();
    void requestNetworkType();

    // A new request of the class of a channel action (8000, 8101, 8300), else none.
    std::unique_ptr<zem::ZemRequest> getRequestWithType(int32_t action) const;
    static std::string getURLParams(int32_t action);
    // The built message, as bytes or as its URL-encoded text; empty when it cannot be built.
    static std::vector<uint8_t> getRequestData(zem::ZemRequest& request, bool isEncode);
    // The request text for the path followed by the message; empty without a last good server.
    std::vector<uint8_t> generateRequestBody(const std::vector<uint8_t>& message, const std::string& path,
                                             int32_t action, bool isEncode) const;
    // The request text alone, for the given server.
    static std::string requestText(const std::string& path, const std::string& host, uint64_t port,
                                   bool isEncode, size_t messageLength);

    void addReportMachineInfoNotification();
    void removeReportMachineInfoNotification();
    void reportMachineInfoFinish(const dispatch::Notification& notification);

    ZemSocketOtherManager& netSocket() { return *netSocket_; }

  private:
    void sendRoundRobin(int32_t action, bool isEncode);
    // With mutex_ held.
    void addObserverLocked();
    void removeObserverLocked();
    void log(const std::string& line) const;

    ZemProtectContext context_;
    std::shared_ptr<ZemSocketOtherManager> netSocket_;
    std::mutex mutex_;
    // Every block of a report still under way: a second report while one is in flight shares its
    // outcome instead of losing the first block.
    std::vector<ReportCompletion> ReportMachineInfoCompleteBlocks_;
    std::optional<dispatch::NotificationCenter::ObserverId> observer_;
};

}  // namespace hollin
