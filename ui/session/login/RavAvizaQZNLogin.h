// The thin facade the login session calls: forwards to the shared client-API manager and
// rewraps its errors so that each carries a text for the screens.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "ClientAccountManager.h"

namespace hux {

// The same domain and code, with the incoming text, or "Fail:code=<code>" when it has none.
Error rewrapError(const Error& error);

class RavAvizaQZNLogin {
  public:
    static void createQRForSize(float size, const std::function<void(std::optional<QRImage>)>& complete);
    static void loginAccount(const Json& param, Completion complete);
    static void startCheckQRLoginState(int64_t clientoper, Completion complete);
    static void logoutAccount(const Json& param, Completion complete);
    static void ResetPasswordState(const Json& param, Completion complete);
    static void checkTicket(const std::string& ticket, Completion complete);
    // The reply with "data" decoded (dropped when it does not decode).
    static void GetgeneralConfig(Completion complete);
    // 0 intranet, 1 extranet; a probe that reaches neither server answers 0.
    static void GetNetWorkType(const std::function<void(int64_t)>& complete);
    static void checkDomainAccount(const std::string& account, const std::string& domain,
                                   std::function<void(bool, std::optional<std::string>, Error)> completion);

    // The manager the facade forwards to; the shared one unless a test sets another.
    static AccountManager& manager();
    static void setManager(AccountManager* manager);
};

}  // namespace hux
