// The app's own message port, "RavAvizaUIIPCListeningKey", in the user's scope. Its handler
// returns no data, so the messaging library answers every message with "0"; the client beside
// it is the app's way to send to other ports.
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

namespace hux {

class ZemUITesselManager : public tessel::IPCReceiveProtocol,
                           public std::enable_shared_from_this<ZemUITesselManager> {
  public:
    static constexpr const char* kListeningKey = "RavAvizaUIIPCListeningKey";

    // Made on first use and kept for the process's life.
    static ZemUITesselManager& sharedInstance();
    // A separate manager (the app uses sharedInstance).
    static std::shared_ptr<ZemUITesselManager> create();
    ~ZemUITesselManager() override;

    // Both client time-outs 60 s, then the port is served on the library's own thread. False
    // when the port could not be registered (another process holds the name).
    bool config();

    std::optional<std::vector<uint8_t>> handleIPCReceiveData(const std::vector<uint8_t>& data,
                                                             int32_t msgid) override;

    // Sends through the shared client; completion runs before this returns, with the library's
    // result code and the reply (none on failure).
    static void sendMessageWithName(
        const std::string& name, const std::vector<uint8_t>& message, int32_t msgid,
        const std::function<void(uint64_t, std::optional<std::vector<uint8_t>>)>& completion);

    std::shared_ptr<tessel::TesselClient> uiClient() const { return uiClient_; }
    std::shared_ptr<tessel::TesselServer> uiServer() const { return uiServer_; }

  private:
    ZemUITesselManager();

    std::shared_ptr<tessel::TesselClient> uiClient_;
    std::shared_ptr<tessel::TesselServer> uiServer_;
};

}  // namespace hux
