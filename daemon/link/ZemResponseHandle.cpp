#include "ZemResponseHandle.h"

#include "common/logger/DaemonLog.h"

#include <memory>
#include <mutex>
#include <string>

#include "common/logger/RotatingLogger.h"

using zem::ZemResponse;
using common::LogCoreHelper;

namespace hollin {

namespace {

std::mutex gMutex;
std::shared_ptr<const ZemResponseHandle::Dispatch> gDispatch;

}  // namespace

void ZemResponseHandle::setDispatch(Dispatch dispatch) {
    auto next = dispatch ? std::make_shared<const Dispatch>(std::move(dispatch)) : nullptr;
    std::lock_guard lock(gMutex);
    gDispatch = std::move(next);
}

void ZemResponseHandle::handleResponse(int32_t action, const ZemResponse& response) {
    std::shared_ptr<const Dispatch> dispatch;
    {
        std::lock_guard lock(gMutex);
        dispatch = gDispatch;
    }
    if (dispatch) {
        (*dispatch)(action, response);
        return;
    }
    common::daemonLog().writeLog(
        "[ZemResponseHandle]handle response. action: " + std::to_string(action), 1);
}

}  // namespace hollin
