// The one table of the server actions: number, the link's request kind and its name, the URL
// paths, and the request and reply classes. The request core, the link, its read side and the
// queue records all look actions up here.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "ZemBaseRequest.h"
#include "ZemRequests.h"
#include "ZemResponses.h"

namespace hollin {

struct ZemAction {
    static constexpr int64_t kNoKind = -1;

    int32_t action;
    int64_t reqTag;             // kind of the link's one-per-kind rule; kNoKind when never queued
    std::string_view reqName;   // name of the kind in log lines
    std::string_view linkPath;  // URL path on the main link ("" when the main link has none)
    std::string_view channelPath;  // URL path on the protect channel ("" when it has none)
    // The request core builds it, and the main link's read side parses its replies.
    bool builtByCore;
    bool parsedByLink;
    std::unique_ptr<zem::ZemRequest> (*makeRequest)(const hollin::ZemRequestSources&);   // nullptr: no class here
    std::unique_ptr<zem::ZemResponse> (*makeResponse)(std::vector<uint8_t>);     // nullptr: no class here
};

namespace zemaction_detail {
template <typename Request>
std::unique_ptr<zem::ZemRequest> makeRequest(const hollin::ZemRequestSources& sources) {
    return std::make_unique<Request>(sources);
}
template <typename Response>
std::unique_ptr<zem::ZemResponse> makeResponse(std::vector<uint8_t> data) {
    return std::make_unique<Response>(std::move(data));
}
}  // namespace zemaction_detail

inline constexpr ZemAction kZemActions[] = {
    // action, kind, name, main-link path, channel path, core builds, link parses, classes
    {1000, 0, "heartbeat", "yj/heartbeat", "", true, true,
     &zemaction_detail::makeRequest<hollin::ZemHeartBeatRequest>, &zemaction_detail::makeResponse<hollin::ZemHeartBeatResponse>},
    {1001, 1, "heartbeatext", "yj/heartbeat", "", true, true,
     &zemaction_detail::makeRequest<hollin::ZemHeartBeatExtRequest>,
     &zemaction_detail::makeResponse<hollin::ZemHeartBeatExtResponse>},
    {2000, 4, "upgrade", "yj/update", "", true, true, &zemaction_detail::makeRequest<hollin::ZemUpdateRequest>,
     &zemaction_detail::makeResponse<hollin::ZemUpdateResponse>},
    {3000, ZemAction::kNoKind, "", "yj/stat", "", false, false, nullptr, nullptr},
    {3001, ZemAction::kNoKind, "", "yj/", "", false, false, nullptr, nullptr},
    {4000, ZemAction::kNoKind, "", "yj/debug", "", false, false, nullptr, nullptr},
    {5000, ZemAction::kNoKind, "", "yj/", "", false, false, &zemaction_detail::makeRequest<hollin::ZemFirePolicyRequest>,
     &zemaction_detail::makeResponse<hollin::ZemFirePolicyResponse>},
    {5001, 2, "policyid", "yj/policy", "", true, true, &zemaction_detail::makeRequest<hollin::ZemCommPoliceIDRequest>,
     &zemaction_detail::makeResponse<hollin::ZemCommPoliceIDResponse>},
    {5002, 3, "policycontent", "yj/policy", "", true, true,
     &zemaction_detail::makeRequest<hollin::ZemPoliceContentRequest>,
     &zemaction_detail::makeResponse<hollin::ZemPoliceContentResponse>},
    {6000, 5, "Config", "yj/config", "", true, true, &zemaction_detail::makeRequest<hollin::ZemConfigGetRequest>,
     &zemaction_detail::makeResponse<hollin::ZemConfigGetResponse>},
    {8000, 8, "networklocation", "", "yj/location", false, true,
     &zemaction_detail::makeRequest<hollin::ZemNetworkLocationRequest>,
     &zemaction_detail::makeResponse<hollin::ZemNetworkLocationResponse>},
    {8101, 9, "networktype", "", "yj/machineinfo", false, true,
     &zemaction_detail::makeRequest<hollin::ZemGetNetTypeRequest>, &zemaction_detail::makeResponse<hollin::ZemGetNetTypeResponse>},
    {8300, 10, "reportMachineInfo", "", "yj/machineinfo", false, false,
     &zemaction_detail::makeRequest<hollin::ZemReportMachineInfoRequest>,
     &zemaction_detail::makeResponse<hollin::ZemReportMachineInfoResponse>},
};

// The row of an action number, or nullptr.
constexpr const ZemAction* zemActionFor(int32_t action) {
    for (const ZemAction& row : kZemActions)
        if (row.action == action) return &row;
    return nullptr;
}

// The row of a request kind, or nullptr.
constexpr const ZemAction* zemActionForTag(uint64_t reqTag) {
    for (const ZemAction& row : kZemActions)
        if (row.reqTag >= 0 && static_cast<uint64_t>(row.reqTag) == reqTag) return &row;
    return nullptr;
}

}  // namespace hollin
