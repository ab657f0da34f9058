// The root work of the domain-join helper: check a directory account, pick a free computer name,
// write the Kerberos configuration and bind, unbind, set the machine names, create a mobile
// account, install the 802.1X profiles the app staged, and leave a note for the UI app after a
// join. It keeps the state of one join between the app's steps. Every operation runs its
// commands synchronously and answers through its reply, which may be empty.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "JoinDomainUtil.h"
#include "platform/archive/Value.h"

namespace sorrel {

// Reply codes.
inline constexpr int kJoinFailed = -10000;
inline constexpr int kMobileAccountFailed = -10002;

class DomainOperations {
  public:
    using IntReply = std::function<void(int)>;
    using TextReply = std::function<void(std::optional<std::string>)>;
    using BoolReply = std::function<void(bool)>;

    // The domain state of one join.
    struct DomainState {
        std::string domain;
        std::string adminAccount;
        std::string adminPassword;
        std::string searchDomain;
        std::string DC;
    };

    explicit DomainOperations(LogSink log);

    void initiateDomainToolWithInfo(const archive::Dictionary& info);
    void updateMachineWithComputerName(const std::string& name, const IntReply& completion);
    void fetchComputerNameWithAccount(const std::string& account, const TextReply& completion);
    void joinWithComputerName(const std::string& name, const IntReply& completion);
    void fetchJoinedDomainNameWithCompletion(const TextReply& completion);
    void checkDomainAccount(const std::string& account, const std::string& password,
                            const TextReply& completion);
    void quitDomainWithCompletion(const IntReply& completion);
    void sendJoinDomainSuccessNotification();
    void createMobileAccountWithUid(const std::string& uid, const IntReply& completion);
    void ConnectEthernetWithUsername(const std::string& username, const std::string& password,
                                     const std::optional<std::string>& mPath, const BoolReply& completion);
    void ConnectWiFiWithSSID(const std::string& ssid, const std::string& usernam, const std::string& password,
                             const std::optional<std::string>& mPath, const BoolReply& completion);

    DomainState state() const;

    // The first computer name free in the directory for the account, or nothing.
    std::optional<std::string> pickComputerName(const std::string& account);
    // Candidate n of a base and model code: "ABC-MB0", at most 15 characters.
    static std::string computerNameCandidate(const std::string& account, const std::string& model, int n);
    // The dated note line of a successful join.
    static std::string joinNoteLine();

    static constexpr int kComputerNameCandidates = 99;
    static constexpr size_t kMaxComputerNameLength = 15;

  private:
    enum class Profile { Ethernet, WiFi };
    bool installProfile(Profile profile, const std::optional<std::string>& mPath);
    // A root-only copy of the profile for the tool; nothing when it cannot be written.
    std::optional<std::string> privateProfileCopy(const std::vector<uint8_t>& bytes,
                                                  const std::string& name) const;
    // What writing krb5.conf changed, so that a failed bind can put it back.
    struct KerberosChange {
        bool written = false;
        bool keptOriginal = false;            // this join made krb5_tmp.conf
        std::optional<std::string> previous;  // krb5.conf before this join, when there was one
    };
    KerberosChange writeKerberosConfiguration(const std::string& text);
    void restoreKerberosConfiguration(const KerberosChange& change);
    void log(const std::string& text, unsigned type) const;

    LogSink log_;
    mutable std::mutex mutex_;
    DomainState state_;
};

}  // namespace sorrel
