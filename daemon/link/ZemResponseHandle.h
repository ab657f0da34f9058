// Where the link hands every parsed reply. The reply dispatcher replaces this; for now the
// handler only records the reply in the log.
#pragma once

#include <cstdint>

class ZemResponse;

class ZemResponseHandle {
  public:
    virtual ~ZemResponseHandle() = default;
    virtual void handleResponse(int32_t action, const ZemResponse& response);
};
