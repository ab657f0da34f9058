// One reply class per server action: parseData takes the action's typed reply out of the generic
// reply body and stores it as responseMsg(). A reply without its typed message fails, except the
// policy-id reply, which then succeeds with no message.
#pragma once

#include <cstdint>
#include <vector>

#include "proto/ZemResponse.h"

class ZemModel;

// 1000: HeartbeatMsgRsp.
class ZemHeartBeatResponse : public ZemResponse {
  public:
    using ZemResponse::ZemResponse;
    bool parseData() override;
};

// 1001: HeartbeatExtMsgRsp.
class ZemHeartBeatExtResponse : public ZemResponse {
  public:
    using ZemResponse::ZemResponse;
    bool parseData() override;
};

// 2000: UpdateMsgRsp.
class ZemUpdateResponse : public ZemResponse {
  public:
    using ZemResponse::ZemResponse;
    bool parseData() override;
};

// 5000: FirePoliceGetMsgRsp.
class ZemFirePolicyResponse : public ZemResponse {
  public:
    using ZemResponse::ZemResponse;
    bool parseData() override;
};

// 5001: PolicyIDGetMsgRsp; true without it too, then with no responseMsg().
class ZemCommPoliceIDResponse : public ZemResponse {
  public:
    using ZemResponse::ZemResponse;
    bool parseData() override;
};

// 5002: PolicyContGetMsgRsp.
class ZemPoliceContentResponse : public ZemResponse {
  public:
    using ZemResponse::ZemResponse;
    bool parseData() override;
};

// 6000: ConfigGetMsgRsp.
class ZemConfigGetResponse : public ZemResponse {
  public:
    using ZemResponse::ZemResponse;
    bool parseData() override;
};

// 8000: NetworkLocationGetMsgRsp; its location and domain name also go into the runtime status.
class ZemNetworkLocationResponse : public ZemResponse {
  public:
    // status: where the location is stored; nullptr for the process-wide ZemModel.
    explicit ZemNetworkLocationResponse(std::vector<uint8_t> data, ZemModel* status = nullptr)
        : ZemResponse(std::move(data)), status_(status) {}
    bool parseData() override;

  private:
    ZemModel* status_;
};

// 8101: GetNetTypeMsgRsp.
class ZemGetNetTypeResponse : public ZemResponse {
  public:
    using ZemResponse::ZemResponse;
    bool parseData() override;
};

// 8300: ReportMachineInfoMsgRsp; its arrival is all that matters.
class ZemReportMachineInfoResponse : public ZemResponse {
  public:
    using ZemResponse::ZemResponse;
    bool parseData() override;
};
