// The daemon's messaging-library port "HollinIPCListenKey": message 20001 answers the last good
// server as "http://host:port"; other messages get no answer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "messaging/IPCReceiveProtocol.h"
#include "messaging/TesselClient.h"
#include "messaging/TesselServer.h"

namespace hollin {

class ClientTesselManager : public tessel::IPCReceiveProtocol, public std::enable_shared_from_this<ClientTesselManager> {
  public:
    static constexpr const char* kListenKey = "HollinIPCListenKey";
    static constexpr int32_t kServerUrlMessage = 20001;

    // The answer to 20001; null: the server configuration's last good server.
    using ServerUrl = std::function<std::string()>;

    static std::shared_ptr<ClientTesselManager> create(ServerUrl serverUrl = {});
    ~ClientTesselManager() override;

    // Client time-outs of 60 s, and the port starts listening under name. False when the name is held.
    bool config(const std::string& name = kListenKey);

    std::optional<std::vector<uint8_t>> handleIPCReceiveData(const std::vector<uint8_t>& data, int32_t msgid) override;

    static std::string lastGoodServerUrl();

    tessel::TesselClient& cClient() { return cClient_; }

  private:
    explicit ClientTesselManager(ServerUrl serverUrl) : serverUrl_(std::move(serverUrl)) {}

    ServerUrl serverUrl_;
    std::string name_;
    tessel::TesselClient cClient_;
    tessel::TesselServer cServer_;
};

}  // namespace hollin
