// The login session: turns the client-login API into state. It signs the user in (account and
// password, QR code, password change), keeps the ticket checked, signs out, and writes what the
// daemon acts on as keyed archives in the user's RavAvizaL folder. The screens' timers drive the
// polls; completions arrive on the main queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "ClientAccountManager.h"
#include "common/account/AccountModel.h"
#include "platform/archive/Value.h"

namespace hux {

// The components the session drives beyond the login API. Unset members do nothing, except
// requestAccess, whose absence counts as a refusal (code 1).
struct SessionPeers {
    // The ticket service.
    std::function<void()> runTicketXPC;
    std::function<void()> closeQznServerXpc;
    // The VPN agent's local client: access first, then the stop with its code, reply and error.
    std::function<void(std::function<void(int64_t)>)> requestAccess;
    std::function<void(std::function<void(int64_t, Reply, Error)>)> stopAgent;
    // Whether the VPN process runs; default: a process whose program is the bundle's Nimbrel.
    std::function<bool()> vpnRunning;
    // Network admission after a QR sign-in, with the user id and ticket of the sign-in.
    std::function<void(const std::string& userid, const std::string& ticket)> admissionFollowUp;
};

// A sign-in's completion: reply, error and whether the sign-in was stored.
using SignInCompletion = std::function<void(Reply, Error, bool signedIn)>;

// A decoded JSON value as a keyed-archive value (objects become dictionaries).
archive::Value archiveValueFromJson(const Json& json);

class RavAvizaLoginHelper {
  public:
    static RavAvizaLoginHelper& sharedInstance();

    void setPeers(SessionPeers peers);
    void setLoginBlock(std::function<void(int)> block);
    bool isCheckAndShow() const { return isCheckAndShow_.load(); }
    void setIsCheckAndShow(bool value) { isCheckAndShow_.store(value); }

    void login(const Json& param, Completion complete);
    void resetPassword(const Json& param, Completion complete);
    // The same, telling the completion whether the user is now signed in: the reply carried a
    // ticket and a user id and the account record holding them was stored.
    void login(const Json& param, SignInCompletion complete);
    void resetPassword(const Json& param, SignInCompletion complete);
    void retrievePassWordWithUserId(const std::string& userId, Completion complete);
    void logout(const Json& param, Completion complete);
    // Does nothing, and calls no completion, while nobody is signed in.
    void checkTicketStatus(Completion complete);
    void CheckQRLoginState(Completion complete);
    // Waits at most 3 s for the image.
    std::optional<QRImage> getCurrentQR(float size);
    // Probes on the global queue, writes netType.archive and the record's network type, then
    // calls done (when given) with the type.
    void Get_network_type(std::function<void(int64_t)> done = {});
    void pingServerToResult(std::function<void(bool)> result);
    // Fetches the next-generation policy into QZNPolicy.archive; done (when given) runs after.
    void Get_GeneralQZNPolicy(std::function<void()> done = {});
    // Fetches the general configuration into GeneralConfig.archive; done (when given) runs after.
    void Get_Save_Config(std::function<void()> done = {});
    // True when the reply's account record was stored.
    bool loginSuccessToSaveAndLoadVPN(const Json& reply);
    void existNimbrel();
    void checkDomainAccount(const std::string& account, const std::string& domain,
                            std::function<void(bool, std::optional<std::string>, Error)> completion);
    void creatNetworkTpye(int64_t type);
    void createSoleidAndSave();
    static std::string getNowTimestamp();
    // 16 characters from offset 7 of the lower-case MD5 hex digest.
    static std::string stringToMD5(const std::string& text);

    static bool iflogin();
    static bool ifOldLogin();
    static bool isDomainAutoLogin();
    static int64_t currentLoginType();
    static bool isHideTray();
    static bool iShowOTP();
    static bool HiddenQZNSwitchBtn() { return false; }
    static bool selectBtnTag();
    static std::optional<archive::Value> AppMgrList();
    static std::optional<archive::Value> TrustedsAppList();
    static std::optional<std::string> joinedDomainName();
    static std::optional<std::string> getSoleID();
    static void removeSoleID();
    static void reloadNimbrel();

  private:
    RavAvizaLoginHelper() = default;
    void callLoginBlock(int value);
    // Local sign-out of the polls, with the record loaded when the poll started.
    void localSignOut(const std::optional<common::AccountModel>& record);
    SessionPeers peers() const;

    std::atomic<bool> isCheckAndShow_{false};
    mutable std::mutex mutex_;
    std::function<void(int)> loginBlock_;
    SessionPeers peers_;
};

}  // namespace hux
