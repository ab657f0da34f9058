// The request layer of the client-login API: URLs from the configured servers, the fields of each
// request, the encrypted bodies and the decoding of replies. It keeps no login state; the login
// session decides what to store. Every operation calls its completion exactly once, on the main
// queue, or at once on the caller's thread when no login server is configured.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/Error.h"
#include "HttpSession.h"

namespace common { class ZemServerConfig; }

namespace hux {

using Reply = std::optional<Json>;
using Error = std::optional<ErrorValue>;
using Completion = std::function<void(Reply, Error)>;

// An 8-bit grey bitmap without alpha, row by row (0 black, 255 white).
struct QRImage {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;
    uint8_t at(int x, int y) const { return pixels[static_cast<size_t>(y) * static_cast<size_t>(width) + x]; }
};

// The login server's address: the extranet server when the user's netType.archive holds "1",
// else the intranet server.
std::optional<std::string> AcountIP_Config(common::ZemServerConfig& config);
uint64_t AcountIP_Port(common::ZemServerConfig& config);

class AccountManager {
  public:
    static constexpr long kNoServerCode = 1234;
    static constexpr const char* kNoServerText = "NoIPofIntranet";

    static AccountManager& shareManager();

    void PostResquestDicWithParamDic(const Json& param, Completion complete);
    void checkQRLoginState(int64_t clientoper, Completion complete);
    void loginOut(const Json& param, Completion complete);
    void ResetPassword(const Json& param, Completion complete);
    void retrievePassWord(const Json& param, Completion complete);
    void checkTicketState(const std::string& ticket, Completion complete);
    void checkDomainAccount(const std::string& account, const std::string& domain,
                            std::function<void(bool, std::optional<std::string>, Error)> completion);
    void GeneralConfig(Completion complete);
    // The reply with its "data" and "office_data" decoded (a field that does not decode is dropped).
    void GetGeneralQZNPolicyRep(Completion complete);
    void pingServerResult(std::function<void(bool)> result);
    // The QR code of createQRPath at size×size pixels; nothing without a domain server.
    std::optional<QRImage> createQRForString(float size);
    // The network-type probe of the shared account manager: 0 intranet, 1 extranet, 2 neither.
    void NetWorkType(const std::function<void(int64_t)>& completion);

    // "http://<login host>:<login port><path>"; nothing, with a log line, without an intranet
    // server or with an intranet port of 0.
    std::optional<std::string> GetReqeustUrlWithPath(const std::string& path);
    // The same without that test, after analysing the domain server.
    std::string requestUrlWithPath(const std::string& path);

    // Request bodies (encrypted text; nothing when encoding fails) and the QR state fields.
    std::optional<std::string> createAccountUrl(const Json& param);
    std::optional<std::string> encodeResetPassword(const Json& param);
    std::optional<std::string> checkTicketParam(const std::string& ticket);
    Json checkStatusParam(int64_t clientoper);
    // The QR text: "https://<domain host>:<domain port><prefix>/api/public/clientlogin/scan_login?v=..."
    std::optional<std::string> createQRPath();
    static std::optional<std::string> encryptResquestParams(const Json& param);
    static std::optional<Json> decodeSM4(const std::string& text);

    void GetMacAndIP();
    std::string login_Mac() const;
    std::string login_ip() const;

    static std::string getSoleID();
    static std::string getNowTimeTimestamp();

    // A manager over another configuration and completion queue (tests use their own).
    AccountManager(common::ZemServerConfig& config, std::shared_ptr<dispatch::WorkQueue> completionQueue);

  private:
    void sendEncrypted(const std::string& url, std::string body, std::chrono::milliseconds timeout,
                       std::function<void(HttpReply)> done);
    void get(const std::string& url, std::chrono::milliseconds timeout, std::function<void(HttpReply)> done);
    Json deviceFields();
    static Error noServerError();

    common::ZemServerConfig& config_;
    std::unique_ptr<HttpSession> sessionMgr_;
    mutable std::mutex mutex_;
    std::string login_Mac_;
    std::string login_ip_;
};

}  // namespace hux
