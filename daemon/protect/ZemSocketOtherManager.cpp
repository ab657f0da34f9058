#include "ZemSocketOtherManager.h"

#include "common/logger/DaemonLog.h"

#include <algorithm>

#include "platform/dispatch/NotificationCenter.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/messages/ZemActions.h"
#include "ZemSocketOtherReadManager.h"

using common::LogCoreHelper;

namespace hollin {

namespace {

int64_t nextChannelId() {
    static std::atomic<int64_t> next{1};
    return next.fetch_add(1);
}

}  // namespace

ZemSocketOtherManager::ZemSocketOtherManager(ZemProtectContext context)
    : context_(std::move(context)), channelId_(nextChannelId()) {
    // The read side holds no reference back: a notice after the channel is gone still reaches
    // the core through the notification.
    const int64_t id = channelId_;
    auto queue = context_.theMainQueue();
    readSocketManager_ =
        std::make_shared<ZemSocketOtherReadManager>(context_, [id, queue](const std::string& text) {
            queue->dispatch([id, text] {
                dispatch::NotificationCenter::defaultCenter().post(
                    protectchannel::kReportFinishedNotification, archive::Value(text),
                    archive::Dictionary{{protectchannel::kChannelKey, archive::Value(id)}});
            });
        });
}

ZemSocketOtherManager::~ZemSocketOtherManager() = default;

void ZemSocketOtherManager::log(const std::string& line) const {
    common::daemonLog().writeLog(line, 1);
}

std::string ZemSocketOtherManager::host() const {
    std::lock_guard lock(serverMutex_);
    return host_;
}

int64_t ZemSocketOtherManager::port() const {
    std::lock_guard lock(serverMutex_);
    return port_;
}

std::vector<ZemSocketMessagePtr> ZemSocketOtherManager::reqModels() const {
    std::lock_guard lock(reqModelsMutex_);
    return reqModels_;
}

bool ZemSocketOtherManager::sendMessage(ZemSocketMessagePtr record) {
    if (!record) return false;
    std::lock_guard lock(reqModelsMutex_);
    if (record->sendStatus == ZemSocketMessageModel::kWaiting) {
        for (const ZemSocketMessagePtr& queued : reqModels_)
            if (queued->reqTag == record->reqTag) return false;
    }
    reqModels_.push_back(std::move(record));
    return true;
}

void ZemSocketOtherManager::startConnectToHost(const std::string& host, int64_t port) {
    {
        std::lock_guard lock(serverMutex_);
        host_ = host;
        port_ = port;
    }
    socketQueue_ = dispatch::WorkQueue::create(kSocketQueueLabel);
    delQueue_ = dispatch::WorkQueue::create(kDelQueueLabel);
    handleSocketWrite();
}

void ZemSocketOtherManager::handleSocketWrite() {
    std::vector<ZemSocketMessagePtr> toSend;
    {
        std::lock_guard lock(reqModelsMutex_);
        for (const ZemSocketMessagePtr& record : reqModels_) {
            if (record->sendStatus != ZemSocketMessageModel::kWaiting) continue;
            record->sendStatus = ZemSocketMessageModel::kInFlight;
            toSend.push_back(record);
        }
    }
    const std::string h = host();
    const int64_t p = port();
    for (const ZemSocketMessagePtr& record : toSend) post(h, p, record, longConnection_.load());
}

void ZemSocketOtherManager::disconnectSocket() {
    longConnection_.store(false);
    const std::string h = host();
    const int64_t p = port();
    std::vector<ZemSocketMessagePtr> toSend;
    {
        std::lock_guard lock(reqModelsMutex_);
        auto waiting = [](const ZemSocketMessagePtr& r) {
            return r->sendStatus == ZemSocketMessageModel::kWaiting;
        };
        if (!h.empty() && p > 0) {
            for (const ZemSocketMessagePtr& record : reqModels_) {
                if (!waiting(record)) continue;
                record->sendStatus = ZemSocketMessageModel::kInFlight;
                toSend.push_back(record);
            }
        } else {
            reqModels_.erase(std::remove_if(reqModels_.begin(), reqModels_.end(), waiting), reqModels_.end());
        }
    }
    for (const ZemSocketMessagePtr& record : toSend) post(h, p, record, false);
}

void ZemSocketOtherManager::PostResquestServer(const std::string& host, int64_t port,
                                               ZemSocketMessagePtr record) {
    post(host, port, record, longConnection_.load());
}

std::string ZemSocketOtherManager::getURLParams(int32_t action) {
    const ZemAction* row = zemActionFor(action);
    return row ? std::string(row->channelPath) : std::string();
}

std::shared_ptr<ZemHttpSession> ZemSocketOtherManager::createAFHTTPSessionMgr() {
    std::lock_guard lock(sessionMutex_);
    if (!sessionMgr_) {
        sessionMgr_ = std::make_shared<ZemHttpSession>(
            dispatch::WorkQueue::create(kCompletionQueueLabel, dispatch::QueueAttr::Concurrent),
            context_.maxReplyBytes);
    }
    return sessionMgr_;
}

void ZemSocketOtherManager::post(const std::string& host, int64_t port, const ZemSocketMessagePtr& record,
                                 bool keepAlive) {
    if (!record) return;
    log("[ZemSocketManager] didConnectToHost: host:" + host + "-----port:" + std::to_string(port));
    ZemHttpRequest request;
    request.url = "http://" + host + ":" + std::to_string(port) + "/" + getURLParams(record->connType);
    request.headers.push_back(keepAlive ? "Connection: Keep-Alive" : "Connection: close");
    request.timeout = context_.requestTimeout;
    {
        std::lock_guard lock(reqModelsMutex_);
        request.body = record->sendData;
    }
    // The completion holds the channel: a report's outcome arrives even when its core was let go.
    createAFHTTPSessionMgr()->post(std::move(request),
                                   [self = shared_from_this(), record](ZemHttpReply reply) {
                                       self->handleCompletion(record, std::move(reply));
                                   });
}

void ZemSocketOtherManager::handleCompletion(const ZemSocketMessagePtr& record, ZemHttpReply reply) {
    // Sent once, answered once: the record leaves the queue whatever the outcome, so a failed
    // request neither blocks its kind nor goes out again by itself.
    {
        std::lock_guard lock(reqModelsMutex_);
        auto it = std::find(reqModels_.begin(), reqModels_.end(), record);
        if (it != reqModels_.end()) reqModels_.erase(it);
        record->sendStatus = ZemSocketMessageModel::kWaiting;
    }
    if (!reply.succeeded()) {
        log("[ZemSocketManager]response data fail: " + record->reqName + " ,error=" + reply.error);
        if (record->reqTag == ZemSocketMessageModel::kReportMachineInfo) postReportMachineNotice("0");
        return;
    }
    log("[ZemSocketManager]response data from req length :" + std::to_string(reply.body.size()) +
        ",name: " + record->reqName + " ");
    record->readBodyLength = static_cast<int64_t>(reply.body.size());
    record->readData = std::move(reply.body);
    record->isReadEnd = true;
    readSocketManager_->distributeSocketRead(record);
}

void ZemSocketOtherManager::postReportMachineNotice(const std::string& text) {
    readSocketManager_->postReportMachineNotice(text);
}

}  // namespace hollin
