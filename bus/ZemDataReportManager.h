// The objects the report service vends: the report manager on "RavAviza_zem_bus_connection"
// (the daemon's reports) and the liveness answer on "RavAviza_report_live_connection".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/archive/Value.h"
#include "bus/ZemBusCore.h"
#include "platform/ipc/NamedConnection.h"

class ZemDataReportManager {
  public:
    // More merged states than this on a failed report: only the incoming ones are cached.
    static constexpr size_t kMaxMergedToCache = 29;

    explicit ZemDataReportManager(std::shared_ptr<ZemBusCore> core = nullptr);

    // Merges the states with the cached ones, sends them (action 8200) and caches on failure.
    // Returns once the request is on its way; done (when set) runs after the outcome is handled.
    void reportGetPolicyState(const archive::Array& states, std::function<void(bool)> done = {});
    // JSON text of an array of states; anything else is logged and dropped.
    void reportPolicyStates(const std::string& json);

    // The selectors of the vended object.
    ipc::VendedObject vendedObject();

    ZemBusCore& policyStateCore() { return *policyStateCore_; }

  private:
    std::shared_ptr<ZemBusCore> policyStateCore_;
};

class BusLiveServer {
  public:
    static std::string responseLiveOfBus() { return "live"; }
    static ipc::VendedObject vendedObject();
};

namespace bus {
// The reply text of the message port "ravaviza-qzn-bus-ipc" for a message: id 2000 with data
// "1", with empty data "-1", without data "-3"; any other id "0".
std::string busPortReply(int32_t msgid, const std::optional<std::string>& data);
}  // namespace bus
