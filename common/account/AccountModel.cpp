#include "account/AccountModel.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "archive/KeyedArchive.h"
#include "cipher/AesString.h"
#include "core/FileIO.h"
#include "device/ITDevice.h"
#include "logger/LogSink.h"
#include "paths/Paths.h"

namespace {

constexpr const char* kFolderName = "RavAvizaL";
constexpr const char* kFileName = "login.archive";
constexpr size_t kMaxRecordBytes = 1u << 20;

std::string encipher(const std::string& clear) {
    if (auto text = UrlEncode::aes256_encrypt(clear, AccountModel::kTicketKey)) return *text;
    // Text the cipher refuses (not UTF-8) is never kept in clear.
    return UrlEncode::aes256_encrypt("", AccountModel::kTicketKey).value_or("");
}

// Opens (creating when missing) each folder below the user's home without following links, so
// a link planted in the user's folders cannot send root's writes elsewhere. Folders created by
// root are handed to the user.
bool prepareUserFolder(const std::string& home, const AccountModelHelper::Owner& owner) {
    const char* components[] = {"Library", "Application Support", kFolderName};
    int dir = ::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return false;
    const bool handOver = ::geteuid() == 0 && owner.uid != 0;
    for (const char* name : components) {
        int next = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && ::mkdirat(dir, name, 0755) == 0) {
            next = ::openat(dir, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (next >= 0 && handOver && ::fchown(next, owner.uid, owner.gid) != 0) {
                ::close(next);
                next = -1;
            }
        }
        ::close(dir);
        if (next < 0) return false;
        dir = next;
    }
    ::close(dir);
    return true;
}

// Gives the file root just wrote to its user, refusing anything but that very file.
bool handFileToUser(const std::string& path, const AccountModelHelper::Owner& owner) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 && st.st_uid == ::geteuid() &&
              ::fchown(fd, owner.uid, owner.gid) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

AccountModel::AccountModel() : ticket_(encipher("")) {}

void AccountModel::setTicket(const std::string& clearTicket) {
    ticket_ = encipher(clearTicket);
}

std::string AccountModel::decryptTicket() const {
    if (auto clear = UrlEncode::aes256_decrypt(ticket_, kTicketKey)) return *clear;
    return ticket_;
}

archive::Value AccountModel::encode() const {
    return archive::Object{kClassName,
                           {{"ticket", ticket_},
                            {"userid", userid},
                            {"username", username},
                            {"zemStatus", zemStatus},
                            {"islogout", islogout},
                            {"ticket_state", ticket_state},
                            {"networkType", networkType},
                            {"loginType", loginType},
                            {"domainName", domainName}}};
}

std::optional<AccountModel> AccountModel::decode(const archive::Value& value) {
    const archive::Object* object = value.object();
    if (!object || object->className != kClassName) return std::nullopt;
    AccountModel model;
    auto text = [&](const char* key, std::string& out) {
        if (auto it = object->fields.find(key); it != object->fields.end() && it->second.string()) {
            out = *it->second.string();
        }
    };
    auto number = [&](const char* key, int64_t& out) {
        if (auto it = object->fields.find(key); it != object->fields.end()) {
            if (auto v = it->second.integer()) out = *v;
        }
    };
    model.ticket_.clear();
    text("ticket", model.ticket_);
    text("userid", model.userid);
    text("username", model.username);
    number("zemStatus", model.zemStatus);
    number("islogout", model.islogout);
    number("ticket_state", model.ticket_state);
    number("networkType", model.networkType);
    number("loginType", model.loginType);
    text("domainName", model.domainName);
    return model;
}

std::optional<std::string> AccountModel::modelSavePathWithCheck(bool check) {
    auto& helper = AccountModelHelper::helper();
    auto root = helper.rootPath();
    if (!root) return std::nullopt;
    if (check) {
        auto home = helper.homeFolder();
        auto owner = helper.rootOwner();
        if (home && owner) prepareUserFolder(*home, *owner);
    }
    return *root + "/" + kFolderName + "/" + kFileName;
}

std::optional<AccountModel> AccountModel::currentModel() {
    auto path = modelSavePathWithCheck(false);
    auto owner = AccountModelHelper::helper().rootOwner();
    std::error_code ec;
    if (!path || !owner || !std::filesystem::exists(*path, ec)) return std::nullopt;
    archive::DecodeLimits limits;
    limits.maxBytes = kMaxRecordBytes;
    auto decoded = archive::unarchiveUserFile(*path, owner->uid, {kClassName}, limits);
    if (!decoded) return std::nullopt;
    return decode(*decoded.value);
}

bool AccountModel::save() const {
    auto& helper = AccountModelHelper::helper();
    auto root = helper.rootPath();
    auto home = helper.homeFolder();
    auto owner = helper.rootOwner();
    // Without a console user's folder there is nowhere this record belongs.
    if (!root || !home || !owner || !prepareUserFolder(*home, *owner)) return false;
    auto data = archive::archivedData(encode());
    if (!data) return false;
    std::string path = *root + "/" + kFolderName + "/" + kFileName;
    if (!fileio::writeFileAtomically(path, *data, 0600)) return false;
    if (::geteuid() == 0 && owner->uid != 0) return handFileToUser(path, *owner);
    return true;
}

bool AccountModel::deleteCurrentModel() {
    auto path = modelSavePathWithCheck(false);
    std::error_code ec;
    return path && std::filesystem::remove(*path, ec);
}

AccountModelHelper& AccountModelHelper::helper() {
    static AccountModelHelper* helper = new AccountModelHelper();
    return *helper;
}

std::optional<std::string> AccountModelHelper::rootPath() {
    std::string user = ITDevice::currentDevice().userName();
    std::optional<std::string> home;
    std::optional<Owner> owner;
    if (user != "unknown") {
        home = paths::homeFolder(user);
        passwd pw{};
        passwd* found = nullptr;
        std::vector<char> buf(16384);
        if (home && ::getpwnam_r(user.c_str(), &pw, buf.data(), buf.size(), &found) == 0 && found) {
            owner = Owner{found->pw_uid, found->pw_gid};
        }
    }
    std::lock_guard lock(mutex_);
    if (home && owner) {
        home_ = home;
        owner_ = owner;
        rootPath_ = *home + "/Library/Application Support";
    }
    processLog().writeLog("Account model cache root path: " + rootPath_.value_or("(null)"));
    return rootPath_;
}

std::optional<std::string> AccountModelHelper::homeFolder() const {
    std::lock_guard lock(mutex_);
    return home_;
}

std::optional<AccountModelHelper::Owner> AccountModelHelper::rootOwner() const {
    std::lock_guard lock(mutex_);
    return owner_;
}

std::optional<TaskHandle> AccountModelHelper::excuteTaskPath(const std::string& path,
                                                             const std::vector<std::string>& argvs,
                                                             std::string* result, ErrorValue* error) {
    return TaskHelper::sharedInstance().excuteTaskPath(path, argvs, result, error);
}
