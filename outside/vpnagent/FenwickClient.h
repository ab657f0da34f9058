// The client of the VPN component's local agent. The VPN component lies outside this system;
// this build carries a stand-in that answers every access request with a refusal, so the stop
// of the agent never goes further, and that always calls its completions.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/archive/Value.h"
#include "platform/core/Error.h"

class FenwickClient {
  public:
    // code 0: access granted; any other code: refused.
    using AccessCompletion = std::function<void(int code, std::optional<ErrorValue> error)>;
    // reply: a dictionary whose "code" is 0 when the agent stopped.
    using StopCompletion =
        std::function<void(int status, archive::Value reply, std::optional<ErrorValue> error)>;

    virtual ~FenwickClient() = default;

    // A fresh client (the stand-in in this build).
    static std::shared_ptr<FenwickClient> init();

    // Each completion is called once, on a thread of the client's choosing.
    virtual void startRequestAccess(AccessCompletion completion) = 0;
    virtual void stopVantleAgent(StopCompletion completion) = 0;
};

// The stand-in: access refused with kRefusedCode; a stop, should one be asked for anyway,
// reports that nothing was stopped.
class FenwickStandIn final : public FenwickClient {
  public:
    static constexpr int kRefusedCode = 1;
    // How many access requests this process made, so a test sees that a job asked.
    static int accessRequests();
    void startRequestAccess(AccessCompletion completion) override;
    void stopVantleAgent(StopCompletion completion) override;
};
