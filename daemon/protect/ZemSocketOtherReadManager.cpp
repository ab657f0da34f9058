#include "ZemSocketOtherReadManager.h"

#include "common/logger/DaemonLog.h"

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/messages/ZemActions.h"
#include "daemon/messages/ZemResponses.h"
#include "proto/ZemLogText.h"
#include "proto/ZemResponse.h"
#include "proto/ZemUrlEncode.h"
#include "daemon/records/ZemMachineModel.h"

using zem::ZemResponse;
using zem::ZemUrlEncode;
using common::LogCoreHelper;

namespace hollin {

namespace {

constexpr const char* kParsePrefix = "[ZemSocketReadManager]parse read data...";

// The protect channel's actions: their replies are parsed here and nowhere else.
bool isChannelAction(int32_t action) {
    const ZemAction* row = zemActionFor(action);
    return row && !row->channelPath.empty() && row->makeResponse;
}

}  // namespace

ZemSocketOtherReadManager::ZemSocketOtherReadManager(ZemProtectContext context, ReportNotice reportNotice)
    : context_(std::move(context)), reportNotice_(std::move(reportNotice)) {
    queueManager_.setMaxConcurrentCount(kMaxConcurrentOperations);
}

ZemSocketOtherReadManager::~ZemSocketOtherReadManager() = default;

void ZemSocketOtherReadManager::log(const std::string& line) const {
    common::daemonLog().writeLog(line, 1);
}

void ZemSocketOtherReadManager::distributeSocketRead(ZemSocketMessagePtr record) {
    if (!record) return;
    {
        std::lock_guard lock(mutex_);
        ++pending_;
    }
    // The operation holds the read side, so a reply still being parsed keeps it alive.
    queueManager_.addOperation([self = shared_from_this(), record = std::move(record)] {
        self->parseReadData(record);
        std::lock_guard lock(self->mutex_);
        if (--self->pending_ == 0) self->drained_.notify_all();
    });
}

bool ZemSocketOtherReadManager::waitForPendingReads(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return drained_.wait_for(lock, limit, [&] { return pending_ == 0; });
}

std::unique_ptr<ZemResponse> ZemSocketOtherReadManager::getResponseWithType(int32_t action,
                                                                            std::vector<uint8_t> data) {
    if (!isChannelAction(action)) return nullptr;
    return zemActionFor(action)->makeResponse(std::move(data));
}

void ZemSocketOtherReadManager::parseReadData(const ZemSocketMessagePtr& record) {
    const std::string prefix = std::string(kParsePrefix) + "\ntype: " + record->reqName + " | ";
    const bool isReport = record->reqTag == ZemSocketMessageModel::kReportMachineInfo;
    bool reportAnswered = false;
    if (record->readData.empty()) {
        log(prefix + "urlencode data failed");
    } else if (record->readBodyLength < 1) {
        log(prefix + "response parse failed,because of head more than total ");
    } else {
        std::vector<uint8_t> bytes = std::move(record->readData);
        record->readData = {};
        ZemUrlEncode::urldecodeInPlace(bytes);
        std::unique_ptr<ZemResponse> response = getResponseWithType(record->connType, std::move(bytes));
        bool ok = response && response->parseData();
        if (response && !response->limitNote().empty()) log(prefix + response->limitNote());
        // A reply that names another action answers some other request.
        if (ok) {
            const Head* head = response->msgHead();
            if (head && head->has_action() && head->action() != record->connType) {
                log(prefix + "response parse failed, action " + std::to_string(head->action()) + " answers " +
                    std::to_string(record->connType));
                ok = false;
            }
        }
        if (ok) {
            log(prefix + "parse reponse successfully. " + ZemLogText::describe(response->responseMsg()));
            reportAnswered = handleSocketResponse(response->responseMsg());
        } else {
            log(prefix + "response parse failed ");
        }
    }
    std::vector<uint8_t>().swap(record->readData);
    if (isReport && !reportAnswered) postReportMachineNotice("0");
}

bool ZemSocketOtherReadManager::updateMachine(const std::function<bool(ZemMachineModel&)>& change) {
    // Replies are parsed up to four at a time; their updates of the record must not interleave.
    static std::mutex recordMutex;
    std::lock_guard lock(recordMutex);
    ZemMachineManager& machines = context_.theMachineManager();
    ZemMachineModel model = machines.currentMachine().value_or(ZemMachineModel{});
    model.lastRequestTime = context_.theClock().now();
    if (!change(model)) {
        machines.setCurrentMachine(model);
        return false;
    }
    if (!machines.saveMachineInfoToLocal(model)) log("[ZemSocketOtherReadManager] save machine info failed");
    return true;
}

bool ZemSocketOtherReadManager::handleSocketResponse(const google::protobuf::Message* message) {
    if (const auto* location = dynamic_cast<const NetworkLocationGetMsgRsp*>(message)) {
        const std::string netType = std::to_string(location->netlocation());
        const std::string dns = location->dns();
        const bool changed = updateMachine([&](ZemMachineModel& m) {
            if (m.netType == netType && m.domainsOfDNS == dns) return false;
            m.netType = netType;
            m.domainsOfDNS = dns;
            return true;
        });
        if (changed) context_.notifyUpdateMachine();
        postOnMain(protectchannel::kNetworkLocationNotification);
        return false;
    }
    if (const auto* type = dynamic_cast<const GetNetTypeMsgRsp*>(message)) {
        const std::string machineType = std::to_string(type->type());
        const bool changed = updateMachine([&](ZemMachineModel& m) {
            if (m.machineType == machineType) return false;
            m.machineType = machineType;
            return true;
        });
        if (changed) context_.notifyUpdateMachine();
        postOnMain(protectchannel::kNetworkTypeNotification);
        return false;
    }
    if (dynamic_cast<const ReportMachineInfoMsgRsp*>(message)) {
        postReportMachineNotice("1");
        return true;
    }
    return false;
}

void ZemSocketOtherReadManager::postOnMain(const std::string& name) {
    context_.theMainQueue()->dispatch([name] { dispatch::NotificationCenter::defaultCenter().post(name); });
}

void ZemSocketOtherReadManager::postReportMachineNotice(const std::string& text) {
    if (reportNotice_) reportNotice_(text);
}

}  // namespace hollin
