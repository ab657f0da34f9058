#include "ZemSocketReadManager.h"

#include "common/logger/DaemonLog.h"

#include <malloc.h>

#include "common/command/ZemCMDManager.h"
#include "platform/dispatch/WorkQueue.h"
#include "ZemResponseHandle.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/messages/ZemActions.h"
#include "daemon/messages/ZemResponses.h"
#include "proto/ZemLogText.h"
#include "proto/ZemResponse.h"
#include "proto/ZemUrlEncode.h"
#include "common/server/ZemNetworkInfoModel.h"

using zem::ZemResponse;
using zem::ZemUrlEncode;
using common::LogCoreHelper;
using common::ZemCMDModel;
using common::ZemNetworkInfoModel;

namespace hollin {

namespace {

constexpr const char* kParsePrefix = "[ZemSocketReadManager]parse read data...";

// The request kinds whose failed reply rolls a command back, and that command's type.
struct Rollback {
    uint64_t reqTag;
    int64_t cmdType;
};
constexpr Rollback kRollbacks[] = {{2, 5}, {4, 1}, {5, 4}, {6, 3}, {7, 2}};

}  // namespace

ZemSocketReadManager& ZemSocketReadManager::sharedInstance() {
    static auto* instance =
        new std::shared_ptr<ZemSocketReadManager>(std::make_shared<ZemSocketReadManager>());
    return **instance;
}

ZemSocketReadManager::ZemSocketReadManager(ZemLinkContext context)
    : context_(std::move(context)),
      rspHandle_(context_.responseHandle ? context_.responseHandle : std::make_shared<ZemResponseHandle>()) {
    queueManager_.setMaxConcurrentCount(kMaxConcurrentOperations);
}

ZemSocketReadManager::~ZemSocketReadManager() = default;

void ZemSocketReadManager::log(const std::string& line) const {
    common::daemonLog().writeLog(line, 1);
}

void ZemSocketReadManager::setHost(const std::string& host) {
    std::lock_guard lock(mutex_);
    host_ = host;
}

void ZemSocketReadManager::setPort(int64_t port) {
    std::lock_guard lock(mutex_);
    port_ = port;
}

std::string ZemSocketReadManager::host() const {
    std::lock_guard lock(mutex_);
    return host_;
}

int64_t ZemSocketReadManager::port() const {
    std::lock_guard lock(mutex_);
    return port_;
}

void ZemSocketReadManager::beginRead() {
    std::lock_guard lock(mutex_);
    ++pending_;
}

void ZemSocketReadManager::cancelRead() {
    std::lock_guard lock(mutex_);
    if (--pending_ == 0) drained_.notify_all();
}

void ZemSocketReadManager::distributeSocketRead(ZemSocketMessagePtr record) {
    if (!record) return;
    beginRead();
    distributeCountedRead(std::move(record));
}

void ZemSocketReadManager::distributeCountedRead(ZemSocketMessagePtr record) {
    if (!record) {
        cancelRead();
        return;
    }
    // The task holds the read side, so a reply still being parsed keeps it alive.
    dispatch::WorkQueue::global()->dispatch([self = shared_from_this(), record = std::move(record)] {
        self->parseReadData(record);
        self->cancelRead();
    });
}

bool ZemSocketReadManager::waitForPendingReads(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return drained_.wait_for(lock, limit, [&] { return pending_ == 0; });
}

std::unique_ptr<ZemResponse> ZemSocketReadManager::getResponseWithType(int32_t action,
                                                                       std::vector<uint8_t> data) {
    const ZemAction* row = zemActionFor(action);
    if (!row || !row->parsedByLink || !row->makeResponse) return nullptr;
    return row->makeResponse(std::move(data));
}

void ZemSocketReadManager::parseReadData(const ZemSocketMessagePtr& record) {
    const std::string prefix = std::string(kParsePrefix) + "\ntype: " + record->reqName + " | ";
    const bool large = record->readData.size() >= kTrimAfterBytes;
    bool parsed = false;
    if (record->readData.empty()) {
        log(prefix + "urlencode data failed");
    } else if (record->readBodyLength <= 0) {
        log(prefix + "response parse failed,because of head more than total ");
    } else {
        // The body is decoded where it lies and handed on, so a large reply is held once.
        std::vector<uint8_t> bytes = std::move(record->readData);
        record->readData = {};
        ZemUrlEncode::urldecodeInPlace(bytes);
        std::unique_ptr<ZemResponse> response = getResponseWithType(record->connType, std::move(bytes));
        const bool ok = response && response->parseData();
        if (response && !response->limitNote().empty()) log(prefix + response->limitNote());
        if (ok) {
            parsed = true;
            if (!record->answeredHost.empty()) {
                saveHistoryRecordServer(record->answeredHost, record->answeredPort);
            } else {
                saveHistoryRecordServer(host(), port());
            }
            log(prefix + "parse reponse successfully. " + ZemLogText::describe(response->responseMsg()));
            rspHandle_->handleResponse(record->connType, *response);
        } else {
            const Head* head = response ? response->msgHead() : nullptr;
            const RspMsgBody* body = response ? response->msgRspBody() : nullptr;
            if (head && head->retcode() == 0 && (!body || body->ByteSizeLong() == 0)) {
                log(prefix + "response parse finished. but data is null");
            } else {
                log(prefix + "response parse failed. errCode: " + ZemLogText::describe(head));
            }
        }
    }
    if (!parsed && record->isCmdSend) updateCMDModel(record);
    std::vector<uint8_t>().swap(record->readData);
    // The allocator keeps freed memory of a large reply for itself; give it back.
    if (large) ::malloc_trim(0);
}

int64_t ZemSocketReadManager::rollbackCommandType(uint64_t reqTag) {
    for (const Rollback& r : kRollbacks)
        if (r.reqTag == reqTag) return r.cmdType;
    return 0;
}

void ZemSocketReadManager::updateCMDModel(const ZemSocketMessagePtr& record) {
    const int64_t type = rollbackCommandType(record->reqTag);
    if (type == 0) return;
    ZemCMDModel model;
    model.cmd_type = type;
    context_.theCmdManager().reverseCMDSeq(model);
}

void ZemSocketReadManager::saveHistoryRecordServer(const std::string& host, int64_t port) {
    if (host.empty()) return;
    // Replies of different kinds are parsed at the same time; their updates of the record must
    // not interleave.
    static std::mutex recordMutex;
    std::lock_guard lock(recordMutex);
    ZemNetworkInfoModel record = ZemNetworkInfoModel::currentNetRecord().value_or(ZemNetworkInfoModel{});
    record.record_server = host;
    record.record_port = static_cast<uint64_t>(port);
    if (record.saveModelRecord() || record.saveModelRecord()) {
        log("[ZemSocketManager]Save ConnectToHost Success: host:" + host +
            "-----port:" + std::to_string(port));
    } else {
        log("[ZemSocketManager]Save ConnectToHost failed: host:" + host +
            "-----port:" + std::to_string(port));
    }
}

}  // namespace hollin
