#include "ZemCore.h"

#include "common/logger/DaemonLog.h"

#include <cctype>
#include <cstdlib>
#include <exception>

#include "common/device/ITDevice.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"
#include "platform/fsevents/EventStream.h"
#include "ZemSocketManager.h"
#include "common/logger/RotatingLogger.h"
#include "daemon/messages/ZemActions.h"
#include "daemon/messages/ZemRequests.h"
#include "platform/paths/Paths.h"
#include "proto/ZemUrlEncode.h"
#include "common/server/ZemServerConfig.h"

using zem::ZemRequest;
using zem::ZemUrlEncode;
using common::ITDevice;
using common::LogCoreHelper;
using common::ZemServerConfig;

namespace hollin {

namespace {

// The first preferred language of the process's locale settings, as gettext orders them.
std::string preferredLanguage() {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (!value || !*value) continue;
        std::string first(value);
        first = first.substr(0, first.find(':'));
        if (!first.empty()) return first;
    }
    return {};
}

bool languageIsEnglish() {
    std::string lang = preferredLanguage();
    for (char& c : lang) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return lang.rfind("en", 0) == 0;
}

}  // namespace

ZemCore::ZemCore() : ZemCore(ZemLinkContext{}) {}

ZemCore::ZemCore(ZemLinkContext context) : context_(std::move(context)) {
    // The -run job owns the last-good-server record, so its configuration may drop a stale one.
    context_.theServerConfig().setServerRecordWriter(true);
    initialConfig();
}

ZemCore::~ZemCore() {
    stopListenConfigInfo();
    std::shared_ptr<ZemSocketManager> link;
    {
        std::lock_guard lock(mutex_);
        link.swap(socketManager_);
    }
    if (link) link->invalidate();
}

void ZemCore::log(const std::string& line) const {
    common::daemonLog().writeLog(line, 1);
}

std::shared_ptr<ZemSocketManager> ZemCore::socketManager() const {
    std::lock_guard lock(mutex_);
    return socketManager_;
}

void ZemCore::initialConfig() {
    std::lock_guard lock(mutex_);
    createLinkLocked();
}

void ZemCore::createLinkLocked() {
    if (socketManager_) return;
    ZemServerConfig& config = context_.theServerConfig();
    config.readServerConfig();
    const auto server = ZemSocketManager::splitServerText(config.updateLoopServers());
    if (!config.intranet_server() || config.intranet_port() == 0 || !server) return;
    auto link = std::make_shared<ZemSocketManager>(context_);
    link->init();
    link->startConnectToHost(server->first, server->second);
    socketManager_ = std::move(link);
}

void ZemCore::reinitialConfig() {
    // The file is read again before the link goes: a send meanwhile then either finds the old
    // link (whose requests move over below) or waits for the new one, never builds one from the
    // servers of the replaced file.
    context_.theServerConfig().updateServerConfig();
    std::shared_ptr<ZemSocketManager> old;
    {
        std::lock_guard lock(mutex_);
        old.swap(socketManager_);
        createLinkLocked();
    }
    std::vector<ZemSocketMessagePtr> carried;
    if (old) {
        ITDevice::currentDevice().cleanMacAddressCache();
        // The old link stops for good; its requests go out again on the new one instead of
        // draining towards servers of the configuration that was just replaced.
        old->invalidate();
        carried = old->takeQueuedRecords();
    }
    if (carried.empty()) return;
    if (auto link = socketManager()) {
        link->adoptRecords(std::move(carried));
    } else {
        log("[ZemCore] no server configured, dropped queued requests: " + std::to_string(carried.size()));
    }
}

std::unique_ptr<ZemRequest> ZemCore::getRequestWithType(int32_t action) const {
    const ZemAction* row = zemActionFor(action);
    if (!row || !row->builtByCore || !row->makeRequest) return nullptr;
    ZemRequestSources sources;
    sources.commands = context_.cmdManager;
    return row->makeRequest(sources);
}

std::string ZemCore::getURLParams(int32_t action) {
    return ZemSocketManager::getURLParams(action);
}

std::optional<std::vector<uint8_t>> ZemCore::getRequestData(ZemRequest& request, bool isEncode) {
    try {
        request.generateMsgHead();
        request.generateMsgBody();
        if (!request.buildData()) {
            common::daemonLog().writeLog(
                "[ZemCore] get Request Data failed. exception: the message could not be serialized", 1);
            return std::nullopt;
        }
        if (!isEncode) return std::vector<uint8_t>(request.data().begin(), request.data().end());
        const std::string text = ZemUrlEncode::urlencodWithData(std::string_view(request.data()));
        return std::vector<uint8_t>(text.begin(), text.end());
    } catch (const std::exception& e) {
        common::daemonLog().writeLog(
            std::string("[ZemCore] get Request Data failed. exception: ") + e.what(), 1);
    } catch (...) {
        common::daemonLog().writeLog("[ZemCore] get Request Data failed. exception: unknown", 1);
    }
    return std::nullopt;
}

std::shared_ptr<ZemSocketManager> ZemCore::linkOrLog(const char* invalidLine) {
    initialConfig();
    auto link = socketManager();
    if (!link) log(invalidLine);
    return link;
}

bool ZemCore::queueRequest(const std::shared_ptr<ZemSocketManager>& link, uint64_t reqTag,
                           ZemRequest& request, uint64_t uFrom, bool isCmdSend, bool* refused) {
    if (refused) *refused = false;
    const auto body = getRequestData(request, true);
    if (!body || body->empty()) return false;
    auto record = ZemSocketMessageModel::create(reqTag, *body, context_.theClock().now());
    record->uFrom = uFrom;
    record->isCmdSend = isCmdSend;
    const bool wasRefused = link->sendMessage(record);
    if (refused) *refused = wasRefused;
    return !wasRefused;
}

void ZemCore::sendHeartBeat() {
    auto link = linkOrLog(" [heartbeat]socket server config invalidate ");
    if (!link) return;
    auto request = getRequestWithType(1000);
    queueRequest(link, ZemSocketMessageModel::kHeartBeat, *request, ZemSocketMessageModel::kFromTimer, false,
                 nullptr);
}

void ZemCore::sendHeartBeatExt() {
    auto link = linkOrLog(" [heartbeatext]socket server config invalidate ");
    if (!link) return;
    auto request = getRequestWithType(1001);
    queueRequest(link, ZemSocketMessageModel::kHeartBeatExt, *request, ZemSocketMessageModel::kFromTimer,
                 false, nullptr);
}

archive::Dictionary ZemCore::upgradeUserInfo(const char* reqmethod) const {
    return archive::Dictionary{{"reqmethod", reqmethod}, {"language", languageIsEnglish() ? "2" : "1"}};
}

bool ZemCore::sendUpdateRequest(uint64_t uFrom) {
    auto link = linkOrLog(" [upgrade1]socket server config invalidate ");
    if (!link) return false;
    auto request = getRequestWithType(2000);
    request->setUserInfo(upgradeUserInfo("1"));
    bool refused = false;
    queueRequest(link, ZemSocketMessageModel::kUpgrade, *request, uFrom,
                 uFrom == ZemSocketMessageModel::kFromCommand, &refused);
    return refused;
}

void ZemCore::sendUpdateRequestByUserWithBlock(UpgradeStateBlock block) {
    auto link = linkOrLog(" [upgrade2]socket server config invalidate ");
    // The upgrade app waits for this answer: every path ends in the block.
    if (!link) {
        if (block) block(std::nullopt);
        return;
    }
    auto request = getRequestWithType(2000);
    request->setUserInfo(upgradeUserInfo("2"));
    const auto body = getRequestData(*request, true);
    if (!body || body->empty()) {
        if (block) block(std::nullopt);
        return;
    }
    auto record =
        ZemSocketMessageModel::create(ZemSocketMessageModel::kUpgrade, *body, context_.theClock().now());
    record->uFrom = ZemSocketMessageModel::kFromUser;
    record->isCmdSend = false;
    link->sendUpgradeRequest(record, std::move(block));
}

void ZemCore::sendGetCommPoliceIDs(bool isCmdSend) {
    auto link = linkOrLog(" [policyid]socket server config invalidate ");
    if (!link) return;
    auto request = getRequestWithType(5001);
    queueRequest(link, ZemSocketMessageModel::kPolicyId, *request,
                 isCmdSend ? ZemSocketMessageModel::kFromCommand : ZemSocketMessageModel::kFromTimer,
                 isCmdSend, nullptr);
}

void ZemCore::sendGetPoliceContent(const std::vector<int64_t>& policyIds, std::function<void()>) {
    auto link = linkOrLog(" [policycontent]socket server config invalidate ");
    if (!link) return;
    auto request = getRequestWithType(5002);
    archive::Array ids;
    ids.reserve(policyIds.size());
    for (int64_t id : policyIds) ids.emplace_back(id);
    request->setUserInfo(archive::Dictionary{{"policyId", std::move(ids)}});
    queueRequest(link, ZemSocketMessageModel::kPolicyContent, *request, ZemSocketMessageModel::kFromTimer,
                 false, nullptr);
}

void ZemCore::sendGetConfig(bool isCmdSend) {
    // Unlike the other kinds, this one neither creates the link nor logs without one.
    auto link = socketManager();
    if (!link) return;
    auto request = getRequestWithType(6000);
    queueRequest(link, ZemSocketMessageModel::kConfig, *request,
                 isCmdSend ? ZemSocketMessageModel::kFromCommand : ZemSocketMessageModel::kFromTimer,
                 isCmdSend, nullptr);
}

void ZemCore::startListenConfigInfo() {
    std::lock_guard lock(watchMutex_);
    if (configWatch_) return;
    if (!watchQueue_) watchQueue_ = dispatch::WorkQueue::create("com.velmora.zemconfig.monitor");
    const std::string watched = paths::serverConfigFile();
    // The stream stops before the core goes (stopListenConfigInfo in the destructor), so the
    // callback may use the core.
    configWatch_ = std::make_unique<fsevents::EventStream>(
        std::vector<std::string>{watched}, kConfigWatchLatency, watchQueue_,
        [this, watched](const std::vector<std::string>& changed) {
            if (changed.empty()) return;
            log("file monitor change callback: " + changed.front());
            if (changed.front() == watched) reinitialConfig();
        });
    std::string error;
    if (!configWatch_->start(&error)) {
        log("[ZemCore] cannot watch the server configuration: " + error);
        configWatch_.reset();
    }
}

void ZemCore::stopListenConfigInfo() {
    std::unique_ptr<fsevents::EventStream> watch;
    {
        std::lock_guard lock(watchMutex_);
        watch.swap(configWatch_);
    }
    if (!watch) return;
    watch->stop();
    // A callback already under way finishes before the caller may let the core go.
    std::shared_ptr<dispatch::WorkQueue> queue;
    {
        std::lock_guard lock(watchMutex_);
        queue = watchQueue_;
    }
    if (queue) queue->dispatchSync([] {});
}

void ZemCore::updateTimeRates() {
    dispatch::NotificationCenter::defaultCenter().post(kHeartbeatRestartNotification);
}

}  // namespace hollin
