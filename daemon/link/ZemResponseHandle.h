// Where the link hands every parsed reply. The -run job installs the reply dispatcher here at
// start; without one the handler only records the reply in the log.
#pragma once

#include <cstdint>
#include <functional>

namespace zem { class ZemResponse; }

namespace hollin {

class ZemResponseHandle {
  public:
    using Dispatch = std::function<void(int32_t action, const zem::ZemResponse& response)>;

    virtual ~ZemResponseHandle() = default;
    virtual void handleResponse(int32_t action, const zem::ZemResponse& response);

    // The process's dispatcher for every handle; null: log only. Set once at start.
    static void setDispatch(Dispatch dispatch);
};

}  // namespace hollin
