// Reply path of the server link: URL-decoding a reply body and parsing it with every reply class.
#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "daemon/messages/ZemModel.h"
#include "daemon/messages/ZemResponses.h"
#include "proto/ZemUrlEncode.h"

using zem::ZemUrlEncode;
using hollin::ZemCommPoliceIDResponse;
using hollin::ZemConfigGetResponse;
using hollin::ZemFirePolicyResponse;
using hollin::ZemGetNetTypeResponse;
using hollin::ZemHeartBeatExtResponse;
using hollin::ZemHeartBeatResponse;
using hollin::ZemModel;
using hollin::ZemNetworkLocationResponse;
using hollin::ZemPoliceContentResponse;
using hollin::ZemReportMachineInfoResponse;
using hollin::ZemUpdateResponse;

namespace {

template <typename Reply>
void parse(const std::vector<uint8_t>& bytes) {
    Reply reply(bytes);
    if (reply.parseData()) {
        // Whatever parsed must also serialize and be readable through the accessors.
        if (const auto* message = reply.responseMsg()) (void)message->SerializeAsString();
    }
    if (const Head* head = reply.msgHead()) (void)head->retcode();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static ZemModel status;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    size_t len = 0;
    const std::vector<uint8_t> decoded = ZemUrlEncode::urldecode(text, &len);
    if (len != decoded.size()) __builtin_trap();
    // Both the decoded body and the raw bytes: the location reply's request goes out raw.
    const std::vector<uint8_t> raw(data, data + size);
    for (const auto* bytes : {&decoded, &raw}) {
        parse<ZemHeartBeatResponse>(*bytes);
        parse<ZemHeartBeatExtResponse>(*bytes);
        parse<ZemUpdateResponse>(*bytes);
        parse<ZemFirePolicyResponse>(*bytes);
        parse<ZemCommPoliceIDResponse>(*bytes);
        parse<ZemPoliceContentResponse>(*bytes);
        parse<ZemConfigGetResponse>(*bytes);
        parse<ZemGetNetTypeResponse>(*bytes);
        parse<ZemReportMachineInfoResponse>(*bytes);
        ZemNetworkLocationResponse location(*bytes, &status);
        location.parseData();
    }
    return 0;
}
