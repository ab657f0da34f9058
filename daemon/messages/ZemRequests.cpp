#include "ZemRequests.h"

#include "common/logger/DaemonLog.h"

#include <ctime>

#include "common/command/ZemCMDManager.h"
#include "common/device/ITDevice.h"
#include "common/device/NetworkCardInfoManager.h"
#include "common/logger/RotatingLogger.h"
#include "ZemModel.h"
#include "platform/sysinfo/Resolver.h"

using zem::ZemRequest;
using common::AccountModel;
using common::InterfaceInfo;
using common::LogCoreHelper;
using common::NetworkCardModel;
using common::ZemCMDManager;
using common::ZemCMDModel;

namespace hollin {

namespace {

void log(const std::string& line) {
    common::daemonLog().writeLog(line, 1);
}

template <typename Message, typename Extension>
void attach(ZemRequest& request, const Extension& extension, Message message) {
    ReqMsgBody body;
    *body.MutableExtension(extension) = std::move(message);
    request.setReqMsgBody(std::move(body));
}

// Seconds since 1970, and the same shifted by the local zone's offset from GMT.
struct LocalTimes {
    int64_t gmt = 0;
    int64_t local = 0;
};

LocalTimes currentTimes() {
    const time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    return {static_cast<int64_t>(now), static_cast<int64_t>(now) + static_cast<int64_t>(local.tm_gmtoff)};
}

// Fields the two heartbeats share; tag names the class in the log lines.
template <typename Message>
void fillHeartbeat(Message& message, const std::optional<AccountModel>& account, bool userNamed,
                   ZemModel& status, ZemCMDManager& commands, int32_t osBit, const std::string& tag) {
    if (account && userNamed) {
        std::string ticket = account->decryptTicket();
        if (!ticket.empty()) message.set_userticket(ticket);
    }
    const LocalTimes times = currentTimes();
    message.set_localtime(times.local);
    message.set_localtimegmt(times.gmt);
    message.set_status(status.zemStatus());
    message.set_lastupdtime(status.lastUpdateTime());

    std::string loginUser = account ? account->username : std::string();
    message.set_loginuser(loginUser);
    if (!loginUser.empty()) log(tag + " username:" + loginUser);
    message.set_osbit(osBit);

    for (const ZemCMDModel& model : commands.localCMDModels()) {
        CmdStatusReqItem* item = message.add_reqitemsarray();
        item->set_cmdtype(static_cast<int32_t>(model.cmd_type));
        item->set_lastseq(model.curr_seq);
    }
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) out += (i ? ";" : "") + items[i];
    return out;
}

}  // namespace

void ZemHeartBeatRequest::generateMsgHead() {
    ZemBaseRequest::generateMsgHead();
    msgHead()->set_action(kAction);
    if (auto id = setUserIdFromAccount()) log("[ZemHeartBeatRequest] userid:" + *id);
}

void ZemHeartBeatRequest::generateMsgBody() {
    HeartbeatMsgReq message;
    fillHeartbeat(message, account(), msgHead()->has_username(), status(), commands(),
                  device().currentOsBit(), "[ZemHeartBeatRequest]");
    if (std::string boards = joined(device().boardSerialNums()); !boards.empty()) message.set_mbsn(boards);
    message.set_biossnnum(device().serialNum());
    message.set_compmodelname(device().modelName());
    attach(*this, ZemV5Root::heartbeatMsgReqBody, std::move(message));
}

void ZemHeartBeatExtRequest::generateMsgHead() {
    ZemBaseRequest::generateMsgHead();
    msgHead()->set_action(kAction);
    if (auto id = setUserIdFromAccount()) log("[ZemHeartBeatExtRequest] userid:" + *id);
}

void ZemHeartBeatExtRequest::generateMsgBody() {
    HeartbeatExtMsgReq message;
    fillHeartbeat(message, account(), msgHead()->has_username(), status(), commands(),
                  device().currentOsBit(), "[ZemHeartBeatExtRequest]");
    message.set_zemmasterstat(status().zemCoreStatus());
    attach(*this, ZemV5Root::heartbeatExtMsgReqBody, std::move(message));
}

void ZemUpdateRequest::generateMsgHead() {
    ZemBaseRequest::generateMsgHead();
    msgHead()->set_action(kAction);
}

void ZemUpdateRequest::generateMsgBody() {
    UpdateMsgReq message;
    message.set_zemver(device().getLocalZEMQZNVersion());
    attach(*this, ZemV5Root::updateMsgReqBody, std::move(message));
}

void ZemFirePolicyRequest::generateMsgHead() {
    ZemBaseRequest::generateMsgHead();
    msgHead()->set_action(kAction);
}

void ZemFirePolicyRequest::generateMsgBody() {
    FirePoliceGetMsgReq message;
    message.set_lastseq(commands().getFirePolicySeq());
    attach(*this, ZemV5Root::firePoliceGetMsgReqBody, std::move(message));
}

void ZemCommPoliceIDRequest::generateMsgHead() {
    ZemBaseRequest::generateMsgHead();
    msgHead()->set_action(kAction);
    setUserIdFromAccount();
}

void ZemCommPoliceIDRequest::generateMsgBody() {
    attach(*this, ZemV5Root::policyIdgetMsgReqBody, PolicyIDGetMsgReq());
}

void ZemPoliceContentRequest::generateMsgHead() {
    ZemBaseRequest::generateMsgHead();
    msgHead()->set_action(kAction);
}

void ZemPoliceContentRequest::generateMsgBody() {
    PolicyContGetMsgReq message;
    auto ids = userInfo().find("policyId");
    if (ids != userInfo().end() && ids->second.array()) {
        // Only numbers are ids; anything else in the list is skipped rather than sent as 0.
        for (const archive::Value& id : *ids->second.array()) {
            if (auto value = id.integer(); value && !id.isBool()) message.add_reqpolicyidarray(*value);
        }
    }
    attach(*this, ZemV5Root::policyContGetMsgReqBody, std::move(message));
}

void ZemConfigGetRequest::generateMsgHead() {
    ZemBaseRequest::generateMsgHead();
    msgHead()->set_action(kAction);
}

void ZemConfigGetRequest::generateMsgBody() {
    attach(*this, ZemV5Root::configGetMsgReqBody, ConfigGetMsgReq());
}

void ZemNetworkLocationRequest::generateMsgHead() {
    ZemBaseRequest::generateMsgHead();
    msgHead()->set_action(kAction);
}

void ZemNetworkLocationRequest::generateMsgBody() {
    NetworkLocationGetMsgReq message;
    for (Adapter& adapter : adaptArray()) *message.add_adapterarray() = std::move(adapter);
    for (const std::string& server : dnsArray()) message.add_dnsarray(server);
    attach(*this, ZemV5Root::networkLocationGetMsgReqBody, std::move(message));
}

std::vector<Adapter> ZemNetworkLocationRequest::adaptArray() {
    std::vector<Adapter> adapters;
    device().listNetworkServices([&](const std::vector<InterfaceInfo>& services) {
        for (const InterfaceInfo& service : services) {
            auto name = service.find("Device");
            if (name != service.end()) adapters.push_back(networkAdater(name->second));
        }
    });
    return adapters;
}

Adapter ZemNetworkLocationRequest::networkAdater(const std::string& interfaceName) {
    const NetworkCardModel card = cards().networkAdater(interfaceName);
    Adapter adapter;
    adapter.set_adaptername(interfaceName);
    adapter.set_clientip(card.ip);
    adapter.set_subnetmask(card.subMask);
    // An interface with an address but no router sends no gateway at all.
    if (card.router) adapter.set_defaultgateway(*card.router);
    if (card.wifiSSID) adapter.set_wifissid(*card.wifiSSID);
    return adapter;
}

std::vector<std::string> ZemNetworkLocationRequest::dnsArray() {
    return sysinfo::nameServers().value_or(std::vector<std::string>{});
}

void ZemGetNetTypeRequest::generateMsgHead() {
    ZemBaseRequest::generateMsgHead();
    msgHead()->set_action(kAction);
}

void ZemGetNetTypeRequest::generateMsgBody() {
    attach(*this, ZemV5Root::getNetTypeMsgReqBody, GetNetTypeMsgReq());
}

void ZemReportMachineInfoRequest::generateMsgHead() {
    ZemBaseRequest::generateMsgHead();
    msgHead()->set_action(kAction);
}

void ZemReportMachineInfoRequest::generateMsgBody() {
    // Without a network type the report says "0", whether the user info is missing or lacks the key.
    std::string netType = "0";
    if (auto found = userInfo().find("netType"); found != userInfo().end()) {
        if (const std::string* text = found->second.string()) {
            netType = *text;
        } else if (auto number = found->second.integer()) {
            netType = std::to_string(*number);
        }
    }
    ReportMachineInfoMsgReq message;
    MachineInfoReqItem* item = message.add_reqitemsarray();
    item->set_type(1);
    MachineInfoValueItem* kind = item->add_valueitemsarray();
    kind->set_key(1);
    kind->set_value("2");
    MachineInfoValueItem* type = item->add_valueitemsarray();
    type->set_key(2);
    type->set_value(netType);
    attach(*this, ZemV5Root::reportMachineInfoMsgReqBody, std::move(message));
}

}  // namespace hollin
