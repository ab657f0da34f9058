// The HTTP calls of network admission: the account server's start configuration and the admission
// server's certificate request, which identifies the device with the app bundle's client.p12.
// Servers are verified by the session services' TLS rule; replies of the certificate session
// arrive on the concurrent queue "com.velmora.https.parse".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/dispatch/WorkQueue.h"
#include "ui/session/login/ClientAccountManager.h"
#include "ui/session/login/HttpSession.h"

namespace hux {

using Bytes = std::vector<uint8_t>;

class TovikNetwork {
  public:
    static constexpr const char* kClientIdentityPassphrase = "804517";
    static constexpr size_t kMaxReplyBytes = size_t{4} << 20;
    static constexpr size_t kMaxIdentityBytes = size_t{1} << 20;

    static TovikNetwork& sharedInstance();

    // GET "/api/public/client/start_config" on the account server; completion on the main queue.
    void requestGeneralConfig(Completion complete);
    // POSTs the encoded request to "<url>/api/tovik/ca/getcert"; completion(reply bytes, error)
    // on the certificate session's queue. A status outside 2xx is an error of domain "HTTPStatus".
    void getTovikCerWithInfo(const Json& info, const std::string& url,
                             std::function<void(std::optional<Bytes>, Error)> complete);
    void verifyCerWithSerialNumber(const std::string& serialNumber, const std::string& url,
                                   Completion complete);

    // Whether the PKCS#12 data opens with the password and holds a key and its certificate;
    // logs "Failedwith error code %d" otherwise.
    static bool extractIdentity(std::span<const uint8_t> p12, const std::string& password);
    // The bundle's client.p12 when it is present and imports; nothing otherwise.
    static std::optional<Bytes> bundleClientIdentity();

    HttpSession& httpSessionMgr();
    std::shared_ptr<dispatch::WorkQueue> httpsSessionMgr();

  private:
    TovikNetwork() = default;
    std::mutex mutex_;
    std::unique_ptr<HttpSession> json_;
    std::shared_ptr<dispatch::WorkQueue> parse_;
};

}  // namespace hux
