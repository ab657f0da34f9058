// The signed-in user's account record, login.archive in the console user's per-user support
// folder. The ticket is only ever held enciphered; AccountModelHelper finds the folder.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/archive/Value.h"
#include "platform/core/Error.h"
#include "framework/process/TaskHelper.h"

namespace common {

class AccountModel {
  public:
    static constexpr const char* kClassName = "AccountModel";
    // Key string of the ticket cipher; the UI app's copy of the record uses the same.
    static constexpr const char* kTicketKey = "tavlorine";

    AccountModel();

    // Stores the clear ticket enciphered.
    void setTicket(const std::string& clearTicket);
    // The stored, enciphered text.
    const std::string& ticket() const { return ticket_; }
    // The clear ticket. A stored text that does not decipher is returned as it is: older clients
    // stored the ticket in clear.
    std::string decryptTicket() const;

    // The stored record; nothing when the file is missing, not the user's own or not a record.
    static std::optional<AccountModel> currentModel();
    // Writes login.archive atomically (readable by its user only); false on any failure.
    bool save() const;
    // Removes login.archive; true when a file was removed.
    static bool deleteCurrentModel();
    // "<root>/RavAvizaL/login.archive"; with check the folder is created first. Nothing while no
    // console user's folder has been found.
    static std::optional<std::string> modelSavePathWithCheck(bool check);
    static bool supportsSecureCoding() { return true; }

    archive::Value encode() const;
    // Keeps the stored ticket text as it is (it is enciphered already).
    static std::optional<AccountModel> decode(const archive::Value& value);

    int64_t zemStatus = 0;
    std::string userid;
    std::string username;
    int64_t islogout = 0;
    int64_t ticket_state = 1;  // 2: the server reported the ticket overdue
    int64_t networkType = 1;
    int64_t loginType = 0;  // 1 account and password, 2 QR code, 3 directory account
    std::string domainName;

  private:
    std::string ticket_;
};

// Finds the console user's support folder ("<home>/Library/Application Support").
class AccountModelHelper {
  public:
    struct Owner {
        uid_t uid = 0;
        gid_t gid = 0;
    };

    static AccountModelHelper& helper();

    // The console user's support folder; the last one found stays when there is no console user
    // now, and nothing before the first.
    std::optional<std::string> rootPath();
    // The home folder and the owner belonging to the last rootPath.
    std::optional<std::string> homeFolder() const;
    std::optional<Owner> rootOwner() const;

    std::optional<calix::TaskHandle> excuteTaskPath(const std::string& path, const std::vector<std::string>& argvs,
                                             std::string* result, ErrorValue* error);

  private:
    AccountModelHelper() = default;

    mutable std::mutex mutex_;
    std::optional<std::string> rootPath_;
    std::optional<std::string> home_;
    std::optional<Owner> owner_;
};

}  // namespace common
