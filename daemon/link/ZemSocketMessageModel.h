// One queued request of the main server link and, after the exchange, its reply.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace hollin {

struct ZemSocketMessageModel {
    // Kinds of request: the key of the link's one-per-kind rule.
    enum ReqTag : uint64_t {
        kHeartBeat = 0,
        kHeartBeatExt = 1,
        kPolicyId = 2,
        kPolicyContent = 3,
        kUpgrade = 4,
        kConfig = 5,
        kNetworkLocation = 8,
        kNetworkType = 9,
        kReportMachineInfo = 10,
    };
    // sendStatus values.
    static constexpr int32_t kWaiting = 0, kInFlight = 1, kStalled = -1;
    // uFrom values.
    static constexpr uint64_t kFromTimer = 0, kFromCommand = 1, kFromUser = 2;

    bool isReadEnd = false;
    bool isCmdSend = false;  // a failed reply rolls the triggering command back
    int32_t connType = 0;    // action number: URL path and reply class
    int32_t sendStatus = kWaiting;
    uint64_t reqTag = 0;
    double startTimeInterval = 0;  // seconds since 1970: creation, each send, move to the tail
    // The same moments on the monotonic clock: the stall rule measures with this one, so a change
    // of the system time neither stalls a request nor keeps one from stalling.
    double sendUptime = 0;
    std::vector<uint8_t> sendData;
    std::vector<uint8_t> readData;
    int64_t readBodyLength = 0;
    int64_t rspHeadLength = 0;
    uint64_t uFrom = kFromTimer;
    std::string reqName;
    uint64_t parseType = 0;

    // The server the reply came from, so that the last good server is the one that answered
    // even when the link has moved on meanwhile.
    std::string answeredHost;
    int64_t answeredPort = 0;
    // Counts the POSTs of this record; a completion only changes the record's state when it
    // belongs to the latest one, so a late failure of an earlier POST cannot trigger a second send.
    uint64_t sendAttempt = 0;

    // The name and action of a kind ("" and 0 for an unknown kind).
    static std::string reqNameForTag(uint64_t reqTag);
    static int32_t connTypeForTag(uint64_t reqTag);
    // A new waiting record of that kind with its name, action, body and creation time.
    static std::shared_ptr<ZemSocketMessageModel> create(uint64_t reqTag, std::vector<uint8_t> sendData,
                                                         double now);
};

using ZemSocketMessagePtr = std::shared_ptr<ZemSocketMessageModel>;

}  // namespace hollin
