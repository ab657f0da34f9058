// The user-to-machine bridge. The UI app, running as the signed-in user, leaves requests as keyed
// archives in the user's support folder; once a tick root reads them, turns them into machine-wide
// archives, a policy-id request, a server configuration and an admission-profile install, and
// deletes what it served. Root works in the user's folder only through the folder's descriptor
// and reads only regular files of that user, within a size cap, decoded with no record classes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/archive/Value.h"
#include "platform/core/UserFolder.h"

namespace hollin {

class UserBridge {
  public:
    // The admission profile that is removed before each install.
    static constexpr const char* kTovikProfileIdentifier = "TEST1-MB1.A142593B-1A45-475E-B5C3-B0B97A4A0E2A";
    // Per-user request files are keyed archives of at most this size; the profile likewise.
    static constexpr size_t kMaxRequestBytes = 4u << 20;
    static constexpr size_t kMaxProfileBytes = 1u << 20;

    struct Environment {
        // The console user's short name ("unknown" or empty when nobody); null: the device's.
        std::function<std::string()> consoleUser;
        // The policy-id request of the scheduler (not by command).
        std::function<void()> requestPolicyId;
        // Restart of the VPN process; null: checkRQLifLoad below.
        std::function<void()> restartVpn;
        // Re-read of the server configuration; null: the shared server configuration's.
        std::function<void()> updateServerConfig;
        std::function<void(const std::string&)> log;  // null: the process log
        // The profiles tool; empty: the stand-in in the tool folder.
        std::string profilesTool;
        // How long one profile command may run before its process group is ended.
        std::chrono::milliseconds profileDeadline{15'000};
    };

    UserBridge();
    explicit UserBridge(Environment env);

    // One pass over the user's folder.
    void monitorUserLogin();

    // The cached user (short name); filled once from the console user, only with a real user.
    std::string creatCurrentUserPath();

    void separateGneralConfig(const fileio::UserFolder& folder);
    void saveServerPathtoLibrary(const fileio::UserFolder& folder);
    void saveQZNPathtoLibrary(const fileio::UserFolder& folder);
    bool saveAppMgrPathtoLibrary(const archive::Value& appMgrList);
    void uninstallTovikMobileconfig(const fileio::UserFolder& folder);
    void installTovikMobileconfig(const fileio::UserFolder& folder);
    void checkRQLifLoad();

    // The tovikStatus.archive dictionary of a DER certificate; nothing when it does not parse.
    static std::optional<archive::Dictionary> certificateStatus(const archive::Data& der);

    // A profile command's outcome and its log message.
    struct ProfileRun {
        bool finished = false;
        int exitStatus = -1;
        std::string message;
    };
    ProfileRun runProfileCommand(const std::vector<std::string>& arguments);

  private:
    // A user this daemon serves: a real account with a home folder, not root.
    struct User {
        std::string name;
        std::string home;
        uid_t uid = 0;
        gid_t gid = 0;
    };
    static std::optional<User> lookUpUser(const std::string& name);
    std::optional<fileio::UserFolder> openSupportFolder(const User& user);

    // Reads and decodes a request archive. Refused (with a log line) for a link, a file of another
    // owner or an oversized file; Empty for a file that reads as nothing (no bytes, or bytes that
    // do not decode, which is logged).
    enum class Read { Missing, Refused, Empty, Ok };
    Read readRequest(const fileio::UserFolder& folder, const std::string& name, archive::Value& out);
    void removeRequest(const fileio::UserFolder& folder, const std::string& name);
    // Logs a refusal of a file once while the file stays.
    void refuse(const std::string& name, const std::string& why);
    // True the first time a key ("<file>" or "<file>#<tag>") is noted since its file was last
    // seen missing.
    bool firstNote(const std::string& key);
    void forgetRefusals(const std::string& name);

    std::string profilesTool() const;
    void log(const std::string& line) const;

    Environment env_;
    std::mutex userMutex_;
    std::string currentUserPath_;
    // Files whose refusal was logged. Keyed by file alone: a reason can carry numbers the user
    // chooses, and one entry per file keeps the memo as small as the set of files.
    std::set<std::string> refused_;
};

}  // namespace hollin
