#include "ClientTesselManager.h"

#include "common/server/ZemServerConfig.h"

using common::ZemServerConfig;

namespace hollin {

std::shared_ptr<ClientTesselManager> ClientTesselManager::create(ServerUrl serverUrl) {
    return std::shared_ptr<ClientTesselManager>(new ClientTesselManager(std::move(serverUrl)));
}

ClientTesselManager::~ClientTesselManager() {
    if (!name_.empty()) cServer_.stopListen(name_);
}

bool ClientTesselManager::config(const std::string& name) {
    cClient_.setSendTimeout(60.0);
    cClient_.setReceiveTimeout(60.0);
    cServer_.initWithDelegate(weak_from_this(), nullptr);
    name_ = name;
    return cServer_.startListen(name);
}

std::string ClientTesselManager::lastGoodServerUrl() {
    ZemServerConfig& config = ZemServerConfig::sharedInstance();
    return "http://" + config.historyRecord_server().value_or("") + ":" + std::to_string(config.historyRecord_port());
}

std::optional<std::vector<uint8_t>> ClientTesselManager::handleIPCReceiveData(const std::vector<uint8_t>&,
                                                                              int32_t msgid) {
    if (msgid != kServerUrlMessage) return std::nullopt;
    const std::string url = serverUrl_ ? serverUrl_() : lastGoodServerUrl();
    return std::vector<uint8_t>(url.begin(), url.end());
}

}  // namespace hollin
