// Network admission on the app's side: builds the 802.1X Wi-Fi profile from the bundle template and
// the certificate the admission server issues, or takes the static template, writes it to the
// user's RavAvizaL folder as VOXMDNetwork.mobileconfig and marks it with tovikCache.archive ("2" or
// "3") for the daemon, which installs it and answers with tovikStatus.archive.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "TovikCerInfo.h"
#include "TovikNetwork.h"
#include "platform/archive/Value.h"

namespace hux {

class TovikManager {
  public:
    static constexpr const char* kProfileName = "VOXMDNetwork.mobileconfig";
    static constexpr const char* kRootCAUUID = "A23B9547-4853-4298-8A22-3FEDAEE4FCF5";
    static constexpr const char* kSubCAUUID = "98C1E945-3056-4F0D-B174-BD8A68461FE3";
    static constexpr const char* kIdentityUUID = "47A5FE22-02D8-48B8-A249-13FF8C1A0D1E";
    // The longest SSID a Wi-Fi network can have, in bytes.
    static constexpr size_t kMaxSSIDBytes = 32;

    static TovikManager& sharedInstance();

    // Stores the SSID list, asks the admission server for a certificate and, on a good reply,
    // builds, writes and marks the profile on the certificate session's queue. done (when given)
    // runs last, whatever happened.
    void executeTovikTaskWithUserName(const std::string& userid, const std::string& ticket, const Json& ssids,
                                      const std::string& url, std::function<void()> done = {});
    void installStaticMobileconfig();
    bool installMobileconfig();
    bool moveLocalMobileConfigToPublicDirectory();
    // Calls completion(present) before returning.
    void checkTovikNecessaryWithUrl(const std::string& url, const std::function<void(bool)>& completion);
    std::optional<archive::Value> localCerAuthMethod();
    bool checkCaVersion();
    bool certificateInKeychain(const std::string& name);
    // Replaces the certificate lookup (by default: the root certificate of the profile the daemon
    // installed, by its subject's common name).
    void setKeychainLookup(std::function<bool(const std::string&)> lookup);

    std::optional<Json> parseTovikCerResponseToDic(const Bytes& reply);
    TovikCerInfo parseTovikCerResponse(const Json& dic);
    // True when a profile was built into mbDic; false, with mbDic unchanged, otherwise.
    bool generalMobielConfigWithSSIDS(const Json& ssids, const TovikCerInfo& cerInfo);
    static archive::Value generalWiFiTemplateWithSSID(const std::string& ssid);
    Json generalTovikRequestParamsWithUsername(const std::string& userid, const std::string& ticket);
    static std::string createCUID();

    std::optional<archive::Value> mbDic() const;
    Json ssids() const;
    void reset();

  private:
    TovikManager() = default;
    // The issued-profile steps on a reply: the profile is marked only once it was built and written.
    void handleCertificateReply(std::optional<Bytes> reply, Error error);

    mutable std::mutex mutex_;
    Json ssids_ = Json::array();
    std::optional<TovikCerInfo> cerInfo_;
    std::optional<archive::Value> mbDic_;
    std::function<bool(const std::string&)> keychainLookup_;
};

// The admission follow-up of a QR sign-in: the start configuration names the method ("2" static,
// "3" issued), the admission address and the SSIDs; nothing is done when a certificate is present.
// done (when given) runs once the chosen step has ended.
void tovikAfterQRSignIn(const std::string& userid, const std::string& ticket,
                        std::function<void()> done = {});

}  // namespace hux
