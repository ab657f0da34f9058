// Stops the running VPN agent through its client framework: ask for access, then ask it to stop.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "platform/archive/Value.h"

namespace hollin {

class ZemNimbrelInterface {
  public:
    // The client framework's two calls; each completion may run on the framework's own thread.
    struct FenwickClient {
        std::function<void(std::function<void(int64_t code)>)> startRequestAccess;
        std::function<void(std::function<void(std::optional<archive::Dictionary> reply)>)> stopVantleAgent;
    };
    // Makes a client for one stop; nothing when the framework is not there.
    using ClientFactory = std::function<std::optional<FenwickClient>()>;

    static ZemNimbrelInterface& sharedInstance();

    // The VPN agent executable inside the UI bundle.
    static std::string vpnAgentPath();

    // When a process runs the VPN agent executable, asks it to stop (access first); the outcome
    // is logged. Returns after the process lookup; the completions log later.
    void existNimbrel();

    // Every job that may stop the agent uses the component's own client unless a factory is
    // set here (tests); null goes back to the component's client.
    void setClientFactory(ClientFactory factory);
    static std::optional<FenwickClient> componentClient();
    void setLog(std::function<void(const std::string&)> log);

  private:
    void log(const std::string& line);
    std::mutex mutex_;
    ClientFactory factory_;
    std::function<void(const std::string&)> log_;
};

}  // namespace hollin
