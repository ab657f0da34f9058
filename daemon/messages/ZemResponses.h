// One reply class per server action: parseData takes the action's typed reply out of the generic
// reply body and stores it as responseMsg(). A reply without its typed message fails, except the
// policy-id reply, which then succeeds with no message.
#pragma once

#include <cstdint>
#include <vector>

#include "proto/ZemResponse.h"

namespace hollin {

class ZemModel;

// 1000: HeartbeatMsgRsp.
class ZemHeartBeatResponse : public zem::ZemResponse {
  public:
    using zem::ZemResponse::ZemResponse;
    bool parseData() override;
};

// 1001: HeartbeatExtMsgRsp.
class ZemHeartBeatExtResponse : public zem::ZemResponse {
  public:
    using zem::ZemResponse::ZemResponse;
    bool parseData() override;
};

// 2000: UpdateMsgRsp.
class ZemUpdateResponse : public zem::ZemResponse {
  public:
    using zem::ZemResponse::ZemResponse;
    bool parseData() override;
};

// 5000: FirePoliceGetMsgRsp.
class ZemFirePolicyResponse : public zem::ZemResponse {
  public:
    using zem::ZemResponse::ZemResponse;
    bool parseData() override;
};

// 5001: PolicyIDGetMsgRsp; true without it too, then with no responseMsg().
class ZemCommPoliceIDResponse : public zem::ZemResponse {
  public:
    using zem::ZemResponse::ZemResponse;
    bool parseData() override;
};

// 5002: PolicyContGetMsgRsp.
class ZemPoliceContentResponse : public zem::ZemResponse {
  public:
    using zem::ZemResponse::ZemResponse;
    bool parseData() override;
};

// 6000: ConfigGetMsgRsp.
class ZemConfigGetResponse : public zem::ZemResponse {
  public:
    using zem::ZemResponse::ZemResponse;
    bool parseData() override;
};

// 8000: NetworkLocationGetMsgRsp; its location and domain name also go into the runtime status.
class ZemNetworkLocationResponse : public zem::ZemResponse {
  public:
    // status: where the location is stored; nullptr for the process-wide ZemModel.
    explicit ZemNetworkLocationResponse(std::vector<uint8_t> data, ZemModel* status = nullptr)
        : zem::ZemResponse(std::move(data)), status_(status) {}
    bool parseData() override;

  private:
    ZemModel* status_;
};

// 8101: GetNetTypeMsgRsp.
class ZemGetNetTypeResponse : public zem::ZemResponse {
  public:
    using zem::ZemResponse::ZemResponse;
    bool parseData() override;
};

// 8300: ReportMachineInfoMsgRsp; its arrival is all that matters.
class ZemReportMachineInfoResponse : public zem::ZemResponse {
  public:
    using zem::ZemResponse::ZemResponse;
    bool parseData() override;
};

}  // namespace hollin
