#include "link/ZemCore.h"

ZemCore::ZemCore() = default;
ZemCore::~ZemCore() = default;
void ZemCore::sendHeartBeat() {}
void ZemCore::sendHeartBeatExt() {}
bool ZemCore::sendUpdateRequest(uint64_t) { return false; }
void ZemCore::sendUpdateRequestByUserWithBlock(UpgradeStateBlock block) {
    if (block) block(std::nullopt);
}
void ZemCore::sendGetCommPoliceIDs(bool) {}
void ZemCore::sendGetPoliceContent(const std::vector<int64_t>&, std::function<void()>) {}
void ZemCore::sendGetConfig(bool) {}
void ZemCore::startListenConfigInfo() {}
