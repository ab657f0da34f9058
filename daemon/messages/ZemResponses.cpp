#include "ZemResponses.h"

#include <memory>

#include "ZemModel.h"

using zem::ZemResponse;

namespace hollin {

namespace {

// The typed reply moved out of the body (the body keeps an empty one): a large reply is held once.
template <typename Extension>
auto takeTyped(RspMsgBody& body, const Extension& extension) {
    using Message = std::decay_t<decltype(body.GetExtension(extension))>;
    auto message = std::make_shared<Message>();
    message->Swap(body.MutableExtension(extension));
    return message;
}

// The steps every reply class shares: the root message must parse and carry a reply body; the
// typed reply is stored when the body has it. Without it the result is extensionOptional.
template <typename Extension>
bool parseTyped(ZemResponse& response, const Extension& extension, bool extensionOptional = false) {
    if (!response.ZemResponse::parseData()) return false;
    RspMsgBody* body = response.mutableMsgRspBody();
    if (!body) return false;
    if (!body->HasExtension(extension)) return extensionOptional;
    response.setResponseMsg(takeTyped(*body, extension));
    return true;
}

}  // namespace

bool ZemHeartBeatResponse::parseData() {
    return parseTyped(*this, ZemV5Root::heartbeatMsgRspBody);
}

bool ZemHeartBeatExtResponse::parseData() {
    return parseTyped(*this, ZemV5Root::heartbeatExtMsgRspBody);
}

bool ZemUpdateResponse::parseData() {
    return parseTyped(*this, ZemV5Root::updateMsgRspBody);
}

bool ZemFirePolicyResponse::parseData() {
    return parseTyped(*this, ZemV5Root::firePoliceGetMsgRspBody);
}

bool ZemCommPoliceIDResponse::parseData() {
    return parseTyped(*this, ZemV5Root::policyIdgetMsgRspBody, /*extensionOptional=*/true);
}

bool ZemPoliceContentResponse::parseData() {
    return parseTyped(*this, ZemV5Root::policyContGetMsgRspBody);
}

bool ZemConfigGetResponse::parseData() {
    return parseTyped(*this, ZemV5Root::configGetMsgRspBody);
}

bool ZemNetworkLocationResponse::parseData() {
    if (!ZemResponse::parseData()) return false;
    RspMsgBody* body = mutableMsgRspBody();
    if (!body || !body->HasExtension(ZemV5Root::networkLocationGetMsgRspBody)) return false;
    auto location = takeTyped(*body, ZemV5Root::networkLocationGetMsgRspBody);
    ZemModel& status = status_ ? *status_ : ZemModel::currentStatus();
    status.setNetworkLocation(location->netlocation());
    status.setDomainName(location->domainname());
    setResponseMsg(std::move(location));
    return true;
}

bool ZemGetNetTypeResponse::parseData() {
    return parseTyped(*this, ZemV5Root::getNetTypeMsgRspBody);
}

bool ZemReportMachineInfoResponse::parseData() {
    return parseTyped(*this, ZemV5Root::reportMachineInfoMsgRspBody);
}

}  // namespace hollin
