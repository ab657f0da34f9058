#include "ZemAnalyseDomain.h"

ZemAnalyseDomain& ZemAnalyseDomain::sharedInstance() {
    static ZemAnalyseDomain instance;
    return instance;
}

void ZemAnalyseDomain::analyseServerConfig(const std::string& server) {
    std::lock_guard lock(mutex_);
    if (hasAnalysed_ && analysed_ == server) return;
    std::string host;
    std::string prefix;
    size_t start = 0;
    bool first = true;
    while (true) {
        const size_t hash = server.find('#', start);
        std::string segment =
            server.substr(start, hash == std::string::npos ? std::string::npos : hash - start);
        if (first) {
            host = std::move(segment);
            first = false;
        } else if (!segment.empty()) {
            prefix += "/" + segment;
        }
        if (hash == std::string::npos) break;
        start = hash + 1;
    }
    analysed_ = server;
    hasAnalysed_ = true;
    domain_config_ = std::move(host);
    path_config_ = std::move(prefix);
}

std::string ZemAnalyseDomain::domain_config() const {
    std::lock_guard lock(mutex_);
    return domain_config_;
}

std::string ZemAnalyseDomain::path_config() const {
    std::lock_guard lock(mutex_);
    return path_config_;
}
