// The report service's server messages: the policy-state report (action 8200) as request and
// reply over the shared message framework, and the conversion of one policy state.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/archive/Value.h"
#include "proto/ZemRequest.h"
#include "proto/ZemResponse.h"

namespace bus {

inline constexpr int32_t kPolicyStateAction = 8200;
inline constexpr int32_t kDebugLogAction = 4000;

// What the head of a report carries about this machine.
struct HeadFacts {
    std::string version;              // the client protocol version, "a.b.c.d"
    std::vector<std::string> macs;    // joined by ";" into deviceMac
    std::vector<std::string> ips;     // joined by ";" into clientip
    static HeadFacts ofThisDevice();  // from the shared device facts
};

// Fills a report's head after the framework's base head: the version and its four numbers (only
// when it has exactly four parts), deviceMac and clientip (only when known) and the action.
void fillReportHead(Head& head, const HeadFacts& facts, int32_t action);

// "runState" as text: "0" → 1, "1" → 100, "2" → 101, "3" → 102, anything else → 1.
int32_t statusFromRunState(const archive::Value* runState);
// One policy state ("policyId", "policyVersion", "runState", "lastTimeStamp").
PolicyStatInfo policyStatInfoFromState(const archive::Dictionary& state);

}  // namespace bus

class ZemPoliceStatusRequest : public zem::ZemRequest {
  public:
    explicit ZemPoliceStatusRequest(bus::HeadFacts facts) : facts_(std::move(facts)) {}
    void generateMsgHead() override;
    // The states of userInfo()["userInfo"]; only when no body was set yet.
    void generateMsgBody() override;

  private:
    bus::HeadFacts facts_;
};

class ZemPoliceStatusResponse : public zem::ZemResponse {
  public:
    using zem::ZemResponse::ZemResponse;
    // True when the reply carries the policy-state reply extension.
    bool parseData() override;
};
