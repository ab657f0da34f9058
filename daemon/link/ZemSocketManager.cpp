#include "ZemSocketManager.h"

#include "common/logger/DaemonLog.h"

#include <algorithm>
#include <charconv>
#include <thread>
#include <nlohmann/json.hpp>

#include "ZemSocketReadManager.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/messages/ZemActions.h"
#include "daemon/messages/ZemHttpFraming.h"
#include "daemon/messages/ZemResponses.h"
#include "proto/ZemUrlEncode.h"
#include "common/server/ZemNetworkInfoModel.h"
#include "common/server/ZemServerConfig.h"

using zem::ZemUrlEncode;
using common::LogCoreHelper;
using common::ZemNetworkInfoModel;
using common::ZemServerConfig;

namespace hollin {

namespace {

// The process's shared URL session: the user's upgrade query runs and completes on its queue.
ZemHttpSession& sharedURLSession() {
    static auto* session = new ZemHttpSession(dispatch::WorkQueue::create("com.velmora.urlsession.shared"));
    return *session;
}

}  // namespace

std::optional<std::pair<std::string, int64_t>> ZemSocketManager::splitServerText(const std::string& text) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos) return std::nullopt;
    const std::string portText = text.substr(colon + 1);
    int64_t port = 0;
    auto [end, ec] = std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (ec != std::errc() || end != portText.data() + portText.size() || port < 0 || port > 65535)
        return std::nullopt;
    return std::make_pair(text.substr(0, colon), port);
}

ZemSocketManager& ZemSocketManager::sharedInstance() {
    static auto* instance = new std::shared_ptr<ZemSocketManager>(std::make_shared<ZemSocketManager>());
    return **instance;
}

ZemSocketManager::ZemSocketManager(ZemLinkContext context)
    : context_(std::move(context)),
      clock_(context_.theClock()),
      readSocketManager_(std::make_shared<ZemSocketReadManager>(context_)) {}

ZemSocketManager::~ZemSocketManager() {
    invalidate();
}

void ZemSocketManager::log(const std::string& line) const {
    common::daemonLog().writeLog(line, 1);
}

void ZemSocketManager::init() {
    if (context_.startWriteTimer) createWriteTimer();
    if (!networkObserver_) {
        std::weak_ptr<ZemSocketManager> weak = weak_from_this();
        networkObserver_ = dispatch::NotificationCenter::defaultCenter().addObserver(
            kNetworkTypeNotification, dispatch::WorkQueue::main(), [weak](const dispatch::Notification& n) {
                if (auto self = weak.lock()) self->resetNETWorkType(n);
            });
    }
}

void ZemSocketManager::createWriteTimer() {
    if (!timerWriteQueue_) timerWriteQueue_ = dispatch::WorkQueue::create("com.velmora.socket.write");
    if (GDWriteTimer_) return;
    // The timer holds the link weakly: a link dropped by its owner stops at its next tick.
    std::weak_ptr<ZemSocketManager> weak = weak_from_this();
    auto timer =
        dispatch::TimerSource::create(timerWriteQueue_, std::chrono::nanoseconds(0), kWriteInterval, [weak] {
            auto self = weak.lock();
            if (!self || self->isInvalidated()) return;
            self->longConnection_.store(true);
            self->handleSocketWrite();
            // A tick on an empty queue does nothing: the timer sleeps until sendMessage() queues
            // a request, and then goes on in the same 3 s phase, so a request goes out at the
            // tick it would have gone out at anyway.
            std::lock_guard lock(self->reqModelsMutex_);
            if (self->reqModels_.empty() && !self->writeTimerSuspended_ && self->GDWriteTimer_) {
                self->writeTimerSuspended_ = true;
                self->GDWriteTimer_->suspend();
            }
        });
    {
        std::lock_guard lock(reqModelsMutex_);
        GDWriteTimer_ = timer;
    }
    timer->resume();
}

void ZemSocketManager::setServer(const std::string& host, int64_t port) {
    {
        std::lock_guard lock(serverMutex_);
        host_ = host;
        port_ = port;
    }
    readSocketManager_->setHost(host);
    readSocketManager_->setPort(port);
}

std::string ZemSocketManager::host() const {
    std::lock_guard lock(serverMutex_);
    return host_;
}

int64_t ZemSocketManager::port() const {
    std::lock_guard lock(serverMutex_);
    return port_;
}

void ZemSocketManager::startConnectToHost(const std::string& host, int64_t port) {
    setServer(host, port);
    if (!socketQueue_) socketQueue_ = dispatch::WorkQueue::create("com.velmora.gcdsocket");
    saveFirstNetWorkType();
}

void ZemSocketManager::saveFirstNetWorkType() {
    if (ZemNetworkInfoModel::currentNetRecord()) return;
    ZemNetworkInfoModel record;
    record.networkType = 0;
    record.saveModelRecord();
}

bool ZemSocketManager::sendMessage(ZemSocketMessagePtr record) {
    if (!record) return false;
    std::lock_guard lock(reqModelsMutex_);
    for (const ZemSocketMessagePtr& queued : reqModels_)
        if (queued->reqTag == record->reqTag) return true;
    reqModels_.push_back(std::move(record));
    if (writeTimerSuspended_ && GDWriteTimer_) {
        writeTimerSuspended_ = false;
        GDWriteTimer_->resume();
    }
    return false;
}

bool ZemSocketManager::writeTickSleeps() const {
    std::lock_guard lock(reqModelsMutex_);
    return writeTimerSuspended_;
}

std::vector<ZemSocketMessagePtr> ZemSocketManager::reqModels() const {
    std::lock_guard lock(reqModelsMutex_);
    return reqModels_;
}

void ZemSocketManager::handleSocketWrite() {
    if (isInvalidated()) return;
    ZemSocketMessagePtr toSend;
    ZemSocketMessagePtr stalled;
    {
        std::lock_guard lock(reqModelsMutex_);
        if (reqModels_.empty()) return;
        const ZemSocketMessagePtr& head = reqModels_.front();
        if (head->sendStatus == ZemSocketMessageModel::kWaiting ||
            head->sendStatus == ZemSocketMessageModel::kStalled) {
            head->sendStatus = ZemSocketMessageModel::kInFlight;
            head->startTimeInterval = clock_.now();
            head->sendUptime = clock_.uptime();
            toSend = head;
        } else if (head->sendStatus == ZemSocketMessageModel::kInFlight &&
                   clock_.uptime() - head->sendUptime > kStallSeconds) {
            stalled = head;
        }
    }
    if (toSend) {
        PostResquestServer(host(), port(), toSend);
        log("[ZemSocketManager]start send data. name: " + toSend->reqName);
        return;
    }
    if (!stalled) return;

    disconnect();
    {
        std::lock_guard lock(reqModelsMutex_);
        // A reply may have removed the record meanwhile; then there is nothing to move.
        auto it = std::find(reqModels_.begin(), reqModels_.end(), stalled);
        if (it != reqModels_.end()) {
            stalled->sendStatus = ZemSocketMessageModel::kStalled;
            if (reqModels_.size() >= 2 && it == reqModels_.begin()) {
                stalled->startTimeInterval = clock_.now();
                stalled->sendUptime = clock_.uptime();
                std::swap(reqModels_.front(), reqModels_.back());
            }
        }
    }
    restartConnectSocket();
}

std::string ZemSocketManager::getURLParams(int32_t action) {
    const ZemAction* row = zemActionFor(action);
    return row ? std::string(row->linkPath) : std::string();
}

int ZemSocketManager::parseReadData(std::span<const uint8_t> data, int64_t* headerLen, int64_t* bodyLen) {
    return ZemHttpFraming::getHTTPParseTypeAndReadHeadLen(data, headerLen, bodyLen);
}

std::shared_ptr<ZemHttpSession> ZemSocketManager::createAFHTTPSessionMgr() {
    std::lock_guard lock(sessionMutex_);
    if (!sessionMgr_) {
        sessionMgr_ = std::make_shared<ZemHttpSession>(
            dispatch::WorkQueue::create("com.velmora.http.parse", dispatch::QueueAttr::Concurrent),
            context_.maxReplyBytes);
    }
    return sessionMgr_;
}

void ZemSocketManager::PostResquestServer(const std::string& host, int64_t port, ZemSocketMessagePtr record) {
    post(host, port, record, longConnection_.load(), false);
}

void ZemSocketManager::post(const std::string& host, int64_t port, const ZemSocketMessagePtr& record,
                            bool keepAlive, bool closing) {
    if (!record) return;
    log("[ZemSocketManager] didConnectToHost: host:" + host + "-----port:" + std::to_string(port));
    uint64_t attempt = 0;
    ZemHttpRequest request;
    {
        std::lock_guard lock(reqModelsMutex_);
        attempt = ++record->sendAttempt;
        request.body = record->sendData;
        request.url = "http://" + host + ":" + std::to_string(port) + "/" + getURLParams(record->connType);
    }
    request.headers.push_back(keepAlive ? "Connection: Keep-Alive" : "Connection: close");
    request.timeout = kRequestTimeout;
    std::weak_ptr<ZemSocketManager> weak = weak_from_this();
    createAFHTTPSessionMgr()->post(
        std::move(request), [weak, record, attempt, host, port, closing](ZemHttpReply reply) {
            if (auto self = weak.lock())
                self->handleCompletion(record, attempt, host, port, closing, std::move(reply));
        });
}

void ZemSocketManager::handleCompletion(const ZemSocketMessagePtr& record, uint64_t attempt,
                                        const std::string& host, int64_t port, bool closing,
                                        ZemHttpReply reply) {
    // A replaced link gave its records to its successor, which sends them again.
    if (isInvalidated()) return;

    if (!reply.succeeded() && !reply.tooLarge) {
        // Only this record, and only for its latest POST, goes back to waiting.
        auto isCurrent = [&] {
            auto it = std::find(reqModels_.begin(), reqModels_.end(), record);
            return it != reqModels_.end() && record->sendAttempt == attempt;
        };
        bool current = false;
        {
            std::lock_guard lock(reqModelsMutex_);
            current = isCurrent();
        }
        // The link moves on before the record may go out again: a tick in between would send it
        // to the server that just failed. The closing send's caller moves the link itself; a
        // second move would skip a server.
        if (current && !closing) restartConnectSocket();
        if (current) {
            std::lock_guard lock(reqModelsMutex_);
            if (isCurrent() && record->sendStatus != ZemSocketMessageModel::kWaiting)
                record->sendStatus = ZemSocketMessageModel::kWaiting;
        }
        log("[ZemSocketManager]response data fail: " + record->reqName + " ,error=" + reply.error);
        return;
    }

    // The read is counted before the record leaves the queue, so whoever sees the queue without
    // it also sees the read still pending until its outcome (a roll-back included) is done.
    readSocketManager_->beginRead();
    {
        std::lock_guard lock(reqModelsMutex_);
        auto it = std::find(reqModels_.begin(), reqModels_.end(), record);
        if (it == reqModels_.end()) {
            readSocketManager_->cancelRead();
            // An earlier POST of the same record was answered already: parse a reply only once.
            log("[ZemSocketManager]response data dropped, already answered. name: " + record->reqName);
            return;
        }
        reqModels_.erase(it);
    }
    if (reply.tooLarge) {
        log("[ZemSocketManager]response data dropped: " + record->reqName + " ,error=" + reply.error);
        reply.body.clear();
    }
    log("[ZemSocketManager]response data from req length :" + std::to_string(reply.body.size()) +
        ",name: " + record->reqName + " ");
    record->readBodyLength = static_cast<int64_t>(reply.body.size());
    record->readData = std::move(reply.body);
    record->isReadEnd = true;
    record->answeredHost = host;
    record->answeredPort = port;
    readSocketManager_->distributeCountedRead(record);
}

void ZemSocketManager::disconnect() {
    ZemSocketMessagePtr head;
    {
        std::lock_guard lock(reqModelsMutex_);
        if (reqModels_.empty()) return;
        head = reqModels_.front();
    }
    longConnection_.store(false);
    post(host(), port(), head, false, true);
}

void ZemSocketManager::restartConnectSocket() {
    ZemServerConfig& config = context_.theServerConfig();
    config.readServerConfig();
    auto server = splitServerText(config.updateLoopServers());
    if (!server) return;
    setServer(server->first, server->second);
    log("[ZemSocketManager] restartConnectSocket ConnectToHost: host:" + server->first +
        "-----port:" + std::to_string(server->second));
}

void ZemSocketManager::resetNETWorkType(const dispatch::Notification& notification) {
    if (isInvalidated()) return;
    const std::optional<int64_t> type = notification.object.integer();
    log("[ZemSocketManager] resetNETWorkType Change netType:" +
        (type ? std::to_string(*type) : std::string("(null)")));
    disconnect();
    context_.theServerConfig().resetCount(type.value_or(0));
    // The pause lets the closing POST leave first. It holds the thread the notification is
    // delivered on (the main thread), as the link always has.
    if (context_.networkChangeDelay.count() > 0) std::this_thread::sleep_for(context_.networkChangeDelay);
    if (isInvalidated()) return;
    {
        std::lock_guard lock(reqModelsMutex_);
        if (!reqModels_.empty()) reqModels_.front()->sendStatus = ZemSocketMessageModel::kWaiting;
    }
    restartConnectSocket();
}

void ZemSocketManager::invalidate() {
    invalidated_.store(true);
    std::shared_ptr<dispatch::TimerSource> timer;
    {
        std::lock_guard lock(reqModelsMutex_);
        timer = GDWriteTimer_;
    }
    if (timer) timer->cancel();
    if (networkObserver_) {
        dispatch::NotificationCenter::defaultCenter().removeObserver(*networkObserver_);
        networkObserver_.reset();
    }
}

std::vector<ZemSocketMessagePtr> ZemSocketManager::takeQueuedRecords() {
    std::lock_guard lock(reqModelsMutex_);
    std::vector<ZemSocketMessagePtr> records;
    records.swap(reqModels_);
    for (ZemSocketMessagePtr& r : records) r->sendStatus = ZemSocketMessageModel::kWaiting;
    return records;
}

void ZemSocketManager::adoptRecords(std::vector<ZemSocketMessagePtr> records) {
    for (ZemSocketMessagePtr& r : records) sendMessage(std::move(r));
}

void ZemSocketManager::sendUpgradeRequest(ZemSocketMessagePtr record, UpgradeBlock complete) {
    ZemHttpRequest request;
    request.url = context_.upgradeQueryURL.empty() ? kUpgradeQueryURL : context_.upgradeQueryURL;
    request.body = record ? record->sendData : std::vector<uint8_t>{};
    request.headers = {"Content-Type: application/x-www-form-urlencoded; charset=utf-8",
                       "Content-Length: " + std::to_string(request.body.size()), "Urlencode: 1",
                       "X-Action: 2000", "Connection: close"};
    request.timeout = kUpgradeQueryTimeout;
    sharedURLSession().post(std::move(request), [complete = std::move(complete)](ZemHttpReply reply) {
        // The response part names what came back: no status means no response at all.
        const std::string response = reply.status == 0 ? std::string("(null)")
                                                       : "status " + std::to_string(reply.status) + ", " +
                                                             std::to_string(reply.body.size()) + " bytes";
        common::daemonLog().writeLog("[ZemSocket] get zem upgrade state response by user: " +
                                                     response + "  error: " +
                                                     (reply.error.empty() ? std::string("(null)") : reply.error),
                                                 1);
        std::optional<std::vector<uint8_t>> result;
        if (reply.succeeded() && reply.status == 200) {
            const std::string_view text(reinterpret_cast<const char*>(reply.body.data()), reply.body.size());
            ZemUpdateResponse response(ZemUrlEncode::urldecode(text, nullptr));
            if (response.parseData()) {
                if (const auto* message = dynamic_cast<const UpdateMsgRsp*>(response.responseMsg()))
                    result = convertUpdateMsg(*message);
            }
        }
        if (complete) complete(std::move(result));
    });
}

std::vector<uint8_t> ZemSocketManager::convertUpdateMsg(const UpdateMsgRsp& message) {
    const nlohmann::json json = {
        {"type", message.uptype()}, {"url", message.updateurl()}, {"md5", message.md5()}};
    // Server text is not trusted to be UTF-8: invalid bytes are replaced, never thrown about.
    const std::string text = json.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
    return {text.begin(), text.end()};
}

}  // namespace hollin
