#include "link/ZemResponseHandle.h"

#include <string>

#include "logger/RotatingLogger.h"

void ZemResponseHandle::handleResponse(int32_t action, const ZemResponse&) {
    LogCoreHelper::sharedInstance().writeLog(
        "[ZemResponseHandle]handle response. action: " + std::to_string(action), 1);
}
