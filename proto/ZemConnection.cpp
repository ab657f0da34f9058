#include "proto/ZemConnection.h"

#include "common/server/ZemServerConfig.h"

using common::ZemServerConfig;

namespace zem {

ZemConnection::ZemConnection(ZemServerConfig* config) : config_(config) {}

void ZemConnection::init() {
    host_.clear();
    port_ = 0;
}

void ZemConnection::initialServerConfig() {
    ZemServerConfig& config = config_ ? *config_ : ZemServerConfig::sharedInstance();
    config.readServerConfig();
    const auto host = config.historyRecord_server();
    const uint64_t port = config.historyRecord_port();
    if (!host || host->empty() || *host == ZemServerConfig::kMissingHost || port == 0 || port > 65535) {
        init();
        return;
    }
    host_ = *host;
    port_ = port;
}

std::string ZemConnection::urlForPath(std::string_view path) const {
    if (!hasServer()) return {};
    return "http://" + host_ + ":" + std::to_string(port_) + "/" + std::string(path);
}

}  // namespace zem
