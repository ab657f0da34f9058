#include "ZemNimbrelInterface.h"

#include <cstdlib>

#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "outside/vpnagent/FenwickClient.h"
#include "platform/process/ProcessList.h"

using common::processLog;

namespace hollin {

ZemNimbrelInterface& ZemNimbrelInterface::sharedInstance() {
    static ZemNimbrelInterface instance;
    return instance;
}

std::string ZemNimbrelInterface::vpnAgentPath() {
    return paths::vpnAgentExecutable();
}

std::optional<ZemNimbrelInterface::FenwickClient> ZemNimbrelInterface::componentClient() {
    std::shared_ptr<::FenwickClient> client = ::FenwickClient::init();
    if (!client) return std::nullopt;
    FenwickClient calls;
    calls.startRequestAccess = [client](std::function<void(int64_t)> done) {
        client->startRequestAccess([done = std::move(done)](int code, std::optional<ErrorValue>) { done(code); });
    };
    calls.stopVantleAgent = [client](std::function<void(std::optional<archive::Dictionary>)> done) {
        client->stopVantleAgent([done = std::move(done)](int, archive::Value reply, std::optional<ErrorValue>) {
            const archive::Dictionary* d = reply.dictionary();
            done(d ? std::optional<archive::Dictionary>(*d) : std::nullopt);
        });
    };
    return calls;
}

void ZemNimbrelInterface::setClientFactory(ClientFactory factory) {
    std::lock_guard lock(mutex_);
    factory_ = std::move(factory);
}

void ZemNimbrelInterface::setLog(std::function<void(const std::string&)> log) {
    std::lock_guard lock(mutex_);
    log_ = std::move(log);
}

void ZemNimbrelInterface::log(const std::string& line) {
    std::function<void(const std::string&)> sink;
    {
        std::lock_guard lock(mutex_);
        sink = log_;
    }
    if (sink) {
        sink(line);
    } else {
        processLog().writeLog(line);
    }
}

void ZemNimbrelInterface::existNimbrel() {
    if (proclist::processesRunning(vpnAgentPath()).empty()) return;
    ClientFactory factory;
    {
        std::lock_guard lock(mutex_);
        factory = factory_;
    }
    std::optional<FenwickClient> client = factory ? factory() : componentClient();
    if (!client || !client->startRequestAccess || !client->stopVantleAgent) {
        log("[ZemNimbrelInterface] RavAviza Fenwick Access Fail!!!");
        return;
    }
    // The completions hold the client so it lives until the framework has answered.
    auto held = std::make_shared<FenwickClient>(std::move(*client));
    held->startRequestAccess([this, held](int64_t code) {
        if (code != 0) {
            log("[ZemNimbrelInterface] RavAviza Fenwick Access Fail!!!");
            return;
        }
        held->stopVantleAgent([this, held](std::optional<archive::Dictionary> reply) {
            int64_t stopCode = 0;
            if (reply) {
                if (auto it = reply->find("code"); it != reply->end()) {
                    if (auto n = it->second.integer()) {
                        stopCode = *n;
                    } else if (const std::string* s = it->second.string()) {
                        stopCode = std::strtoll(s->c_str(), nullptr, 10);
                    }
                }
            }
            if (stopCode == 0) {
                log("[ZemNimbrelInterface] RavAviza Fenwick Stop Success!!!");
            } else {
                log("[ZemNimbrelInterface] RavAviza Fenwick Stop Fail:code = " + std::to_string(stopCode));
            }
        });
    });
}

}  // namespace hollin
