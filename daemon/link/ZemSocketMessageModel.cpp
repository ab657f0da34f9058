#include "link/ZemSocketMessageModel.h"

namespace {

struct Kind {
    uint64_t tag;
    const char* name;
    int32_t action;
};

constexpr Kind kKinds[] = {
    {ZemSocketMessageModel::kHeartBeat, "heartbeat", 1000},
    {ZemSocketMessageModel::kHeartBeatExt, "heartbeatext", 1001},
    {ZemSocketMessageModel::kPolicyId, "policyid", 5001},
    {ZemSocketMessageModel::kPolicyContent, "policycontent", 5002},
    {ZemSocketMessageModel::kUpgrade, "upgrade", 2000},
    {ZemSocketMessageModel::kConfig, "Config", 6000},
    {ZemSocketMessageModel::kNetworkLocation, "networklocation", 8000},
    {ZemSocketMessageModel::kNetworkType, "networktype", 8101},
    {ZemSocketMessageModel::kReportMachineInfo, "reportMachineInfo", 8300},
};

const Kind* findKind(uint64_t tag) {
    for (const Kind& k : kKinds)
        if (k.tag == tag) return &k;
    return nullptr;
}

}  // namespace

std::string ZemSocketMessageModel::reqNameForTag(uint64_t reqTag) {
    const Kind* k = findKind(reqTag);
    return k ? k->name : "";
}

int32_t ZemSocketMessageModel::connTypeForTag(uint64_t reqTag) {
    const Kind* k = findKind(reqTag);
    return k ? k->action : 0;
}

std::shared_ptr<ZemSocketMessageModel> ZemSocketMessageModel::create(uint64_t reqTag,
                                                                     std::vector<uint8_t> sendData,
                                                                     double now) {
    auto record = std::make_shared<ZemSocketMessageModel>();
    record->reqTag = reqTag;
    record->reqName = reqNameForTag(reqTag);
    record->connType = connTypeForTag(reqTag);
    record->sendData = std::move(sendData);
    record->startTimeInterval = now;
    return record;
}
