#include "ZemProtectCore.h"

#include "common/logger/DaemonLog.h"

#include <charconv>

#include "daemon/link/ZemSocketMessageModel.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/messages/ZemActions.h"
#include "ZemSocketOtherManager.h"
#include "proto/ZemRequest.h"
#include "proto/ZemUrlEncode.h"
#include "common/server/ZemServerConfig.h"

using zem::ZemRequest;
using zem::ZemUrlEncode;
using common::LogCoreHelper;
using common::ZemServerConfig;

namespace hollin {

namespace {

// Host and port of a "host:port" text of the round robin; none without a host or a port of 1 or more.
std::optional<std::pair<std::string, int64_t>> splitServer(const std::string& text) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return std::nullopt;
    const std::string host = text.substr(0, colon);
    if (host == ZemServerConfig::kMissingHost) return std::nullopt;
    int64_t port = 0;
    const char* begin = text.data() + colon + 1;
    const char* end = text.data() + text.size();
    auto [at, ec] = std::from_chars(begin, end, port);
    if (ec != std::errc() || at != end || port < 1 || port > 65535) return std::nullopt;
    return std::make_pair(host, port);
}

}  // namespace

ZemProtectCore::ZemProtectCore(ZemProtectContext context)
    : context_(std::move(context)), netSocket_(std::make_shared<ZemSocketOtherManager>(context_)) {}

ZemProtectCore::~ZemProtectCore() {
    removeReportMachineInfoNotification();
}

void ZemProtectCore::log(const std::string& line) const {
    common::daemonLog().writeLog(line, 1);
}

std::unique_ptr<ZemRequest> ZemProtectCore::getRequestWithType(int32_t action) const {
    const ZemAction* row = zemActionFor(action);
    if (!row || row->channelPath.empty() || !row->makeRequest) return nullptr;
    return row->makeRequest(context_.sources);
}

std::string ZemProtectCore::getURLParams(int32_t action) {
    return ZemSocketOtherManager::getURLParams(action);
}

std::vector<uint8_t> ZemProtectCore::getRequestData(ZemRequest& request, bool isEncode) {
    try {
        request.generateMsgHead();
        request.generateMsgBody();
        if (!request.buildData()) return {};
        if (!isEncode) return std::vector<uint8_t>(request.data().begin(), request.data().end());
        const std::string text = ZemUrlEncode::urlencodWithData(std::string_view(request.data()));
        return std::vector<uint8_t>(text.begin(), text.end());
    } catch (const std::exception& e) {
        common::daemonLog().writeLog(
            std::string("[ZemProtectCore] get Request Data failed. exception: ") + e.what(), 1);
    } catch (...) {
        common::daemonLog().writeLog(
            "[ZemProtectCore] get Request Data failed. exception: unknown", 1);
    }
    return {};
}

std::string ZemProtectCore::requestText(const std::string& path, const std::string& host, uint64_t port,
                                        bool isEncode, size_t messageLength) {
    std::string text;
    text += "POST /" + path + " HTTP/1.1\r\n";
    text += "Host: " + host + ":" + std::to_string(port) + "\r\n";
    text += isEncode ? "Urlencode:1\r\n" : "Urlencode:0\r\n";
    text += "Connection: Keep-Alive\r\n";
    text += "Content-Type: application/x-www-form-urlencoded\r\n";
    text += "Content-Length: " + std::to_string(messageLength) + "\r\n";
    text += "\r\n";
    return text;
}

std::vector<uint8_t> ZemProtectCore::generateRequestBody(const std::vector<uint8_t>& message,
                                                         const std::string& path, int32_t /*action*/,
                                                         bool isEncode) const {
    ZemServerConfig& config = context_.theServerConfig();
    const std::optional<std::string> host = config.historyRecord_server();
    const uint64_t port = config.historyRecord_port();
    if (!host || host->empty() || port == 0) return {};
    // The host goes into a header line: a stored name with a line break must not add lines.
    if (host->find_first_of("\r\n") != std::string::npos) return {};
    const std::string text = requestText(path, *host, port, isEncode, message.size());
    std::vector<uint8_t> body(text.begin(), text.end());
    body.insert(body.end(), message.begin(), message.end());
    return body;
}

void ZemProtectCore::addReportMachineInfoNotification() {
    std::lock_guard lock(mutex_);
    addObserverLocked();
}

void ZemProtectCore::addObserverLocked() {
    if (observer_) return;
    std::weak_ptr<ZemProtectCore> weak = weak_from_this();
    const int64_t channel = netSocket_->channelId();
    observer_ = dispatch::NotificationCenter::defaultCenter().addObserver(
        protectchannel::kReportFinishedNotification, context_.theMainQueue(),
        [weak, channel](const dispatch::Notification& n) {
            const auto* info = n.userInfo.dictionary();
            if (!info) return;
            auto it = info->find(protectchannel::kChannelKey);
            if (it == info->end() || it->second.integer() != channel) return;
            if (auto self = weak.lock()) self->reportMachineInfoFinish(n);
        });
}

void ZemProtectCore::removeReportMachineInfoNotification() {
    std::lock_guard lock(mutex_);
    removeObserverLocked();
}

void ZemProtectCore::removeObserverLocked() {
    if (!observer_) return;
    dispatch::NotificationCenter::defaultCenter().removeObserver(*observer_);
    observer_.reset();
}

void ZemProtectCore::reportMachineInfoFinish(const dispatch::Notification& notification) {
    const std::string* text = notification.object.string();
    const bool answered = text && *text == "1";
    std::vector<ReportCompletion> blocks;
    {
        // Taking the blocks and ending the observation are one step: a report that starts
        // meanwhile either is completed here or finds no observer and adds its own.
        std::lock_guard lock(mutex_);
        blocks.swap(ReportMachineInfoCompleteBlocks_);
        removeObserverLocked();
    }
    log(std::string("[ZemProtectCore] report machine info finished: ") + (answered ? "YES" : "NO"));
    for (ReportCompletion& block : blocks)
        if (block) block(answered);
}

bool ZemProtectCore::reportMachineInfo(const std::string& netType, ReportCompletion complete) {
    {
        std::lock_guard lock(mutex_);
        ReportMachineInfoCompleteBlocks_.push_back(std::move(complete));
        addObserverLocked();
    }

    constexpr int32_t kAction = ZemReportMachineInfoRequest::kAction;
    std::unique_ptr<ZemRequest> request = getRequestWithType(kAction);
    request->setUserInfo(archive::Dictionary{{"netType", archive::Value(netType)}});
    const std::vector<uint8_t> message = getRequestData(*request, true);
    if (message.empty()) {
        log("[ZemProtectCore] report machine info: the request could not be built");
        netSocket_->postReportMachineNotice("0");
        return true;
    }
    auto record = ZemSocketMessageModel::create(
        ZemSocketMessageModel::kReportMachineInfo,
        generateRequestBody(message, getURLParams(kAction), kAction, true), context_.theClock().now());
    // Refused only while a report is in flight; its outcome completes this block too.
    netSocket_->sendMessage(record);
    netSocket_->startConnectToHost(context_.policyHost, context_.policyPort);
    return true;
}

void ZemProtectCore::sendRoundRobin(int32_t action, bool isEncode) {
    std::unique_ptr<ZemRequest> request = getRequestWithType(action);
    const std::vector<uint8_t> message = getRequestData(*request, isEncode);
    const ZemAction* row = zemActionFor(action);
    auto record = ZemSocketMessageModel::create(
        static_cast<uint64_t>(row->reqTag),
        generateRequestBody(message, getURLParams(action), action, isEncode), context_.theClock().now());
    netSocket_->disconnectSocket();
    netSocket_->sendMessage(record);
    ZemServerConfig& config = context_.theServerConfig();
    config.readServerConfig();
    const auto server = splitServer(config.updateLoopServers());
    if (!server) {
        log("[ZemProtectCore] no usable server for " + std::string(row->reqName));
        return;
    }
    netSocket_->startConnectToHost(server->first, server->second);
}

void ZemProtectCore::requestNetworkLocation() {
    sendRoundRobin(ZemNetworkLocationRequest::kAction, false);
}

void ZemProtectCore::requestNetworkType() {
    sendRoundRobin(ZemGetNetTypeRequest::kAction, true);
}

}  // namespace hollin
