// One request class per server action: each sets its action in the head and builds its typed body.
// The sender calls generateMsgHead, generateMsgBody and buildData in that order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ZemBaseRequest.h"

namespace hollin {

// 1000: the main heartbeat with device facts and the state of the server's commands.
class ZemHeartBeatRequest : public ZemBaseRequest {
  public:
    static constexpr int32_t kAction = 1000;
    using ZemBaseRequest::ZemBaseRequest;
    void generateMsgHead() override;
    void generateMsgBody() override;
};

// 1001: the extended heartbeat.
class ZemHeartBeatExtRequest : public ZemBaseRequest {
  public:
    static constexpr int32_t kAction = 1001;
    using ZemBaseRequest::ZemBaseRequest;
    void generateMsgHead() override;
    void generateMsgBody() override;
};

// 2000: the upgrade query with the client version.
class ZemUpdateRequest : public ZemBaseRequest {
  public:
    static constexpr int32_t kAction = 2000;
    using ZemBaseRequest::ZemBaseRequest;
    void generateMsgHead() override;
    void generateMsgBody() override;
};

// 5000: the fire-policy query with the stored fire-policy sequence.
class ZemFirePolicyRequest : public ZemBaseRequest {
  public:
    static constexpr int32_t kAction = 5000;
    using ZemBaseRequest::ZemBaseRequest;
    void generateMsgHead() override;
    void generateMsgBody() override;
};

// 5001: the list of current policy ids and versions.
class ZemCommPoliceIDRequest : public ZemBaseRequest {
  public:
    static constexpr int32_t kAction = 5001;
    using ZemBaseRequest::ZemBaseRequest;
    void generateMsgHead() override;
    void generateMsgBody() override;
};

// 5002: the contents of the policies whose ids are the user info "policyId" (array of numbers).
class ZemPoliceContentRequest : public ZemBaseRequest {
  public:
    static constexpr int32_t kAction = 5002;
    using ZemBaseRequest::ZemBaseRequest;
    void generateMsgHead() override;
    void generateMsgBody() override;
};

// 6000: the configuration items.
class ZemConfigGetRequest : public ZemBaseRequest {
  public:
    static constexpr int32_t kAction = 6000;
    using ZemBaseRequest::ZemBaseRequest;
    void generateMsgHead() override;
    void generateMsgBody() override;
};

// 8000: the network location, from the interfaces and the name servers.
class ZemNetworkLocationRequest : public ZemBaseRequest {
  public:
    static constexpr int32_t kAction = 8000;
    using ZemBaseRequest::ZemBaseRequest;
    void generateMsgHead() override;
    void generateMsgBody() override;

    // One adapter per hardware port, in the order the ports are listed.
    std::vector<Adapter> adaptArray();
    // The interface's first IPv4 address, mask and router; "0.0.0.0" for each while it has none.
    Adapter networkAdater(const std::string& interfaceName);
    std::vector<std::string> dnsArray();
};

// 8101: the network type.
class ZemGetNetTypeRequest : public ZemBaseRequest {
  public:
    static constexpr int32_t kAction = 8101;
    using ZemBaseRequest::ZemBaseRequest;
    void generateMsgHead() override;
    void generateMsgBody() override;
};

// 8300: the machine-information report with the user info "netType".
class ZemReportMachineInfoRequest : public ZemBaseRequest {
  public:
    static constexpr int32_t kAction = 8300;
    using ZemBaseRequest::ZemBaseRequest;
    void generateMsgHead() override;
    void generateMsgBody() override;
};

}  // namespace hollin
