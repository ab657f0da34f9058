// The compliance checker: runs the check an item names, sets its warning flag and reports it
// with the in-process notification "kCheckNotificationName" on the main queue. It also signs the
// user in with the directory account of a domain account, retrying every 15 s while the server
// cannot be reached.
//
// The checks on Linux:
//   disk encryption   the root file system lies on a dm-crypt device (findmnt, lsblk)
//   firewall          the ufw, firewalld or nftables service is active (systemctl is-active)
//   domain membership the realm the machine has joined through realmd/sssd (realm list)
//   client version    CFBundleVersion of the app bundle's Contents/Info.plist, by numeric parts
//   domain account    the signed-in user is a directory account served by sssd (getent -s sss)
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ZemCheckModel.h"
#include "platform/core/Error.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/WorkQueue.h"
#include "common/logger/LogSink.h"

// Runs one command for a check: output only when nothing came on the error stream.
struct CheckCommandResult {
    std::optional<std::string> output;  // non-empty standard output
    std::optional<std::string> error;   // error-stream text or why the command did not run
};

class CheckCommandRunner {
  public:
    virtual ~CheckCommandRunner() = default;
    virtual CheckCommandResult run(const std::string& path, const std::vector<std::string>& args) = 0;
};

// The UI app's runner: argument vectors, output and error streams drained while the command
// runs, and a command still running after 3 s ended with SIGTERM, then SIGKILL.
class UiCommandRunner : public CheckCommandRunner {
  public:
    static constexpr std::chrono::milliseconds kDeadline{3'000};
    CheckCommandResult run(const std::string& path, const std::vector<std::string>& args) override;
};

// The login session's directory-account check (valid, user name from the server, error when the
// server gave no answer). The completion may come on any thread.
class DomainAccountChecker {
  public:
    using Completion = std::function<void(bool valid, std::string userName, std::optional<ErrorValue> error)>;
    virtual ~DomainAccountChecker() = default;
    virtual void checkDomainAccount(const std::string& uid, const std::string& domain,
                                    Completion completion) = 0;
};

// Where the domain login reads and saves the user's account record.
class AccountRecordStore {
  public:
    virtual ~AccountRecordStore() = default;
    virtual bool exists() = 0;
    // A new record: status 0, user id, user name, login type 3, domain name.
    virtual bool saveDomainAccount(const std::string& uid, const std::string& userName,
                                   const std::string& domainName) = 0;
};

class ZemCheck {
  public:
    static constexpr const char* kCheckNotificationName = "kCheckNotificationName";
    static constexpr int kRetryTicks = 15;

    struct Options {
        std::shared_ptr<CheckCommandRunner> runner;      // null: UiCommandRunner
        std::shared_ptr<AccountRecordStore> accounts;    // null: the user's login.archive
        std::shared_ptr<dispatch::WorkQueue> mainQueue;  // null: the app's main queue
        dispatch::NotificationCenter* center = nullptr;  // null: the default centre
        common::LogSink* log = nullptr;                          // null: the process's log
        std::string requirementPath;                     // empty: <machine support>/complianceInfo
        std::string appBundle;                           // empty: the UI app's bundle
    };

    static ZemCheck& sharedInstance();
    explicit ZemCheck(Options options);
    ~ZemCheck();
    ZemCheck(const ZemCheck&) = delete;
    ZemCheck& operator=(const ZemCheck&) = delete;

    // The login session's check; until one is set, a domain login request gets no answer.
    void setDomainAccountChecker(std::shared_ptr<DomainAccountChecker> checker);

    // Runs the operation named by the item's selectorName; unknown names do nothing.
    void checkWithModel(ZemCheckModel& item);
    void checkFileVault(ZemCheckModel& item);
    void checkFireWall(ZemCheckModel& item);
    void checkJoinDomain(ZemCheckModel& item);
    void checkZemVersion(ZemCheckModel& item);
    void checkPasswordSecurity(ZemCheckModel& item);
    // Posts "kCheckNotificationName" with {mainKey: item} on the main queue.
    void postNotfication(const std::string& mainKey, const ZemCheckModel& item);

    // The domain login; its timer and state live on the main queue.
    void checkDomainLogin();
    // The realm the machine has joined; nothing when none.
    std::optional<std::string> joinedDomainName();
    void sendDomainAccountCheckRequest();
    // One tick of the 1 s retry timer (on the main queue).
    void timerHandler();

    // Decodes "\u" escapes as the defaults tool prints them.
    static std::string replaceUnicode(const std::string& text);
    // Orders versions by their numeric parts: negative, zero or positive as a is before, equal
    // to or after b ("2.1.0" after "2.0.9", "10.0" after "9.0", "1.2" equal to "1.2.0").
    static int compareVersions(const std::string& a, const std::string& b);

    // The domain login's state, read on the main queue.
    bool isDomainLoginChecked() const { return isDomainLoginChecked_; }
    int timeCount() const { return timeCount_; }
    bool timerRunning() const { return static_cast<bool>(timer_); }
    const std::string& uid() const { return uid_; }
    const std::string& domain() const { return domain_; }

  private:
    void report(ZemCheckModel& item);
    std::optional<std::string> requirement(const std::string& key) const;
    std::optional<std::string> installedVersion() const;
    void log(const std::string& line);
    void onMain(dispatch::Task task);
    void startTimer();
    void stopTimer();
    void startDomainLogin(std::string uid, std::string domain);

    Options options_;
    std::shared_ptr<DomainAccountChecker> checker_;
    std::shared_ptr<dispatch::WorkQueue> mainQueue_;

    // Main-queue state of the domain login. `attempt_` counts the logins started, so an answer to
    // a login that a later one replaced changes nothing.
    bool isDomainLoginChecked_ = false;
    int time_ = kRetryTicks;
    int timeCount_ = 0;
    std::shared_ptr<dispatch::TimerSource> timer_;
    std::string uid_;
    std::string domain_;
    uint64_t attempt_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};
