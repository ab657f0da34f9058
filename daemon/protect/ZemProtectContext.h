// What the protect channel works with: the server configuration, the machine record, the queue
// its notifications go to, the policy server it reports to, its time-out and the hook that tells
// the -run job to reload the machine record. Empty fields take the process's own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "daemon/messages/ZemBaseRequest.h"

namespace common { class ZemServerConfig; }
namespace hollin { class ZemMachineManager; }
namespace dispatch {
class Clock;
class WorkQueue;
}  // namespace dispatch

namespace hollin {

struct ZemProtectContext {
    // The policy server that receives the machine-information report.
    static constexpr const char* kPolicyHost = "policy.ravaviza.com";
    static constexpr int64_t kPolicyPort = 80;
    static constexpr std::chrono::milliseconds kRequestTimeout{20'000};
    // The channel's replies are a few bytes; anything much larger is refused unread.
    static constexpr size_t kMaxReplyBytes = 1u << 20;

    common::ZemServerConfig* serverConfig = nullptr;         // null: ZemServerConfig::sharedInstance()
    hollin::ZemMachineManager* machineManager = nullptr;     // null: ZemMachineManager::sharedInstance()
    const dispatch::Clock* clock = nullptr;          // null: the system clock
    std::shared_ptr<dispatch::WorkQueue> mainQueue;  // null: the main queue
    std::string policyHost = kPolicyHost;
    int64_t policyPort = kPolicyPort;
    // Bounds every POST, and so the wait of a report for its outcome.
    std::chrono::milliseconds requestTimeout = kRequestTimeout;
    size_t maxReplyBytes = kMaxReplyBytes;
    // Tells the -run job that machine.data changed; null: notifyHeartbeatUpdateMachine().
    std::function<void()> updateMachineNotifier;
    // Where the request builders read their facts.
    hollin::ZemRequestSources sources;

    common::ZemServerConfig& theServerConfig() const;
    hollin::ZemMachineManager& theMachineManager() const;
    const dispatch::Clock& theClock() const;
    std::shared_ptr<dispatch::WorkQueue> theMainQueue() const;
    void notifyUpdateMachine() const;
};

}  // namespace hollin

namespace protectchannel {

// Names of the channel's notifications.
inline constexpr const char* kReportFinishedNotification = "REPORT_MACHINEINFO_FINISHED_NOTIFICATION";
inline constexpr const char* kNetworkLocationNotification = "GET_NETWORKLOCATION_NOTIFICATION";
inline constexpr const char* kNetworkTypeNotification = "GET_NETWORKTYPE_NOTIFICATION";
// The key of the report notification's user info naming the channel that finished; every core
// observes the one name, and only its own channel's outcome completes its report.
inline constexpr const char* kChannelKey = "channel";

// Calls updateMemoryMachine on the -run job's heartbeat connection, so it reloads machine.data.
// False when nobody vends the connection or the call got no answer in time.
bool notifyHeartbeatUpdateMachine(double timeoutSeconds = 10.0);

}  // namespace protectchannel
