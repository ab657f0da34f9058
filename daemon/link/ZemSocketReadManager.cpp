#include "link/ZemSocketReadManager.h"

#include "command/ZemCMDManager.h"
#include "dispatch/WorkQueue.h"
#include "link/ZemResponseHandle.h"
#include "logger/RotatingLogger.h"
#include "messages/ZemResponses.h"
#include "proto/ZemResponse.h"
#include "proto/ZemUrlEncode.h"
#include "server/ZemNetworkInfoModel.h"

namespace {

constexpr const char* kParsePrefix = "[ZemSocketReadManager]parse read data...";

std::string describe(const google::protobuf::Message* message) {
    return message ? message->ShortDebugString() : std::string("(null)");
}

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
    LogCoreHelper::sharedInstance().writeLog(line, 1);
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

void ZemSocketReadManager::distributeSocketRead(ZemSocketMessagePtr record) {
    if (!record) return;
    {
        std::lock_guard lock(mutex_);
        ++pending_;
    }
    // The task holds the read side, so a reply still being parsed keeps it alive.
    dispatch::WorkQueue::global()->dispatch([self = shared_from_this(), record = std::move(record)] {
        self->parseReadData(record);
        std::lock_guard lock(self->mutex_);
        if (--self->pending_ == 0) self->drained_.notify_all();
    });
}

bool ZemSocketReadManager::waitForPendingReads(std::chrono::milliseconds limit) {
    std::unique_lock lock(mutex_);
    return drained_.wait_for(lock, limit, [&] { return pending_ == 0; });
}

std::unique_ptr<ZemResponse> ZemSocketReadManager::getResponseWithType(int32_t action,
                                                                       std::vector<uint8_t> data) {
    switch (action) {
        case 1000:
            return std::make_unique<ZemHeartBeatResponse>(std::move(data));
        case 1001:
            return std::make_unique<ZemHeartBeatExtResponse>(std::move(data));
        case 2000:
            return std::make_unique<ZemUpdateResponse>(std::move(data));
        case 5001:
            return std::make_unique<ZemCommPoliceIDResponse>(std::move(data));
        case 5002:
            return std::make_unique<ZemPoliceContentResponse>(std::move(data));
        case 6000:
            return std::make_unique<ZemConfigGetResponse>(std::move(data));
        case 8000:
            return std::make_unique<ZemNetworkLocationResponse>(std::move(data));
        case 8101:
            return std::make_unique<ZemGetNetTypeResponse>(std::move(data));
        default:
            return nullptr;
    }
}

void ZemSocketReadManager::parseReadData(const ZemSocketMessagePtr& record) {
    const std::string prefix = std::string(kParsePrefix) + "\ntype: " + record->reqName + " | ";
    bool parsed = false;
    if (record->readData.empty()) {
        log(prefix + "urlencode data failed");
    } else if (record->readBodyLength <= 0) {
        log(prefix + "response parse failed,because of head more than total ");
    } else {
        const std::string_view text(reinterpret_cast<const char*>(record->readData.data()),
                                    record->readData.size());
        size_t length = 0;
        std::vector<uint8_t> decoded = ZemUrlEncode::urldecode(text, &length);
        decoded.resize(std::min(length, decoded.size()));
        std::unique_ptr<ZemResponse> response = getResponseWithType(record->connType, std::move(decoded));
        if (response && response->parseData()) {
            parsed = true;
            if (!record->answeredHost.empty()) {
                saveHistoryRecordServer(record->answeredHost, record->answeredPort);
            } else {
                saveHistoryRecordServer(host(), port());
            }
            log(prefix + "parse reponse successfully. " + describe(response->responseMsg()));
            rspHandle_->handleResponse(record->connType, *response);
        } else {
            const Head* head = response ? response->msgHead() : nullptr;
            const RspMsgBody* body = response ? response->msgRspBody() : nullptr;
            if (head && head->retcode() == 0 && (!body || body->ByteSizeLong() == 0)) {
                log(prefix + "response parse finished. but data is null");
            } else {
                log(prefix + "response parse failed. errCode: " + describe(head));
            }
        }
    }
    if (!parsed && record->isCmdSend) updateCMDModel(record);
}

int64_t ZemSocketReadManager::rollbackCommandType(uint64_t reqTag) {
    switch (reqTag) {
        case 2:
            return 5;
        case 4:
            return 1;
        case 5:
            return 4;
        case 6:
            return 3;
        case 7:
            return 2;
        default:
            return 0;
    }
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
