// The network-type probe: does the intranet server, else the extranet server, answer
// "/zem/ping"? 0 intranet, 1 extranet, 2 neither. The answer picks the server list the
// rotation walks.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

namespace common {

class ZemServerConfig;

class AccountManager {
  public:
    // Each request gives up after kRequestTimeout, well inside the kProbeWait allowed per server,
    // so a probe blocks its caller for at most two waits.
    static constexpr std::chrono::milliseconds kRequestTimeout{2'000};
    static constexpr std::chrono::milliseconds kProbeWait{3'000};

    static AccountManager& shareManager();

    // Runs the probe on the calling thread against the process's server configuration and hands
    // the type to completion.
    void NetWorkType(const std::function<void(int64_t)>& completion);
    void NetWorkType(ZemServerConfig& config, const std::function<void(int64_t)>& completion);

    // One GET: true for a 2xx answer whose body is empty or JSON (with a JSON content type).
    static bool pingSucceeds(const std::string& url, std::chrono::milliseconds timeout);

  private:
    AccountManager() = default;
};

}  // namespace common
