#include "SessionAssembly.h"

#include <memory>
#include <mutex>

#include "outside/vpnagent/FenwickClient.h"
#include "ui/session/admission/TovikManager.h"
#include "ui/session/ticket/RavAvizaTicketHelper.h"

namespace hux {

namespace {

// The agent's reply as JSON, for the session's reading of "code".
Json jsonFromValue(const archive::Value& value) {
    if (auto b = value.isBool() ? value.boolean() : std::nullopt) return *b;
    if (value.isInteger()) return *value.integer();
    if (value.isReal()) return *value.real();
    if (const std::string* s = value.string()) return *s;
    if (const archive::Array* a = value.array()) {
        Json out = Json::array();
        for (const archive::Value& item : *a) out.push_back(jsonFromValue(item));
        return out;
    }
    if (const archive::Dictionary* d = value.dictionary()) {
        Json out = Json::object();
        for (const auto& entry : *d) out[entry.first] = jsonFromValue(entry.second);
        return out;
    }
    return nullptr;
}

// The stop goes to the client that granted access.
struct AgentClient {
    std::mutex mutex;
    std::shared_ptr<FenwickClient> client;
};

AgentClient& agentClient() {
    static AgentClient* holder = new AgentClient;
    return *holder;
}

}  // namespace

SessionPeers appSessionPeers() {
    SessionPeers peers;
    connectTicketService(peers);
    peers.requestAccess = [](std::function<void(int64_t)> done) {
        std::shared_ptr<FenwickClient> client = FenwickClient::init();
        {
            std::lock_guard lock(agentClient().mutex);
            agentClient().client = client;
        }
        if (!client) {
            done(1);
            return;
        }
        client->startRequestAccess([done](int code, std::optional<ErrorValue>) { done(code); });
    };
    peers.stopAgent = [](std::function<void(int64_t, Reply, Error)> done) {
        std::shared_ptr<FenwickClient> client;
        {
            std::lock_guard lock(agentClient().mutex);
            client = std::move(agentClient().client);
        }
        if (!client) {
            done(-1, std::nullopt, ErrorValue{"", -1, "no agent client"});
            return;
        }
        client->stopVantleAgent(
            [done, client](int status, archive::Value reply, std::optional<ErrorValue> error) {
                done(status, Reply(jsonFromValue(reply)), std::move(error));
            });
    };
    peers.admissionFollowUp = [](const std::string& userid, const std::string& ticket) {
        tovikAfterQRSignIn(userid, ticket);
    };
    return peers;
}

}  // namespace hux
