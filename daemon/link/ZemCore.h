// The request core of the main server link: builds each request, queues it on the link and
// watches the server configuration.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class ZemCore {
public:
    using UpgradeStateBlock = std::function<void(std::optional<std::vector<uint8_t>>)>;

    ZemCore();
    virtual ~ZemCore();

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
};
