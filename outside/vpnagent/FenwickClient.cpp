#include "FenwickClient.h"

#include <atomic>

#include "platform/dispatch/WorkQueue.h"

namespace {

std::atomic<int> accessRequestCount{0};

ErrorValue notInstalled() {
    return ErrorValue{"FenwickStandIn", FenwickStandIn::kRefusedCode, "the VPN component is not installed"};
}

}  // namespace

std::shared_ptr<FenwickClient> FenwickClient::init() {
    return std::make_shared<FenwickStandIn>();
}

int FenwickStandIn::accessRequests() {
    return accessRequestCount.load();
}

void FenwickStandIn::startRequestAccess(AccessCompletion completion) {
    ++accessRequestCount;
    if (!completion) return;
    dispatch::WorkQueue::global()->dispatch(
        [completion = std::move(completion)] { completion(kRefusedCode, notInstalled()); });
}

void FenwickStandIn::stopVantleAgent(StopCompletion completion) {
    if (!completion) return;
    dispatch::WorkQueue::global()->dispatch([completion = std::move(completion)] {
        completion(kRefusedCode, archive::Dictionary{{"code", kRefusedCode}}, notInstalled());
    });
}
