#include "AccountModel.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/archive/KeyedArchive.h"
#include "framework/cipher/AesString.h"
#include "platform/core/UserFolder.h"
#include "common/device/ITDevice.h"
#include "common/logger/LogSink.h"
#include "platform/paths/FileModes.h"
#include "platform/paths/Paths.h"

using calix::TaskHandle;
using calix::TaskHelper;

namespace common {

namespace {

constexpr const char* kFolderName = "RavAvizaL";
constexpr const char* kFileName = "login.archive";
constexpr size_t kMaxRecordBytes = 1u << 20;

std::string encipher(const std::string& clear) {
    if (auto text = UrlEncode::aes256_encrypt(clear, AccountModel::kTicketKey)) return *text;
    // Text the cipher refuses (not UTF-8) is never kept in clear.
    return UrlEncode::aes256_encrypt("", AccountModel::kTicketKey).value_or("");
}

// The user's RavAvizaL folder, reached without following links and kept open: root reads,
// writes, hands over and removes login.archive through this descriptor only.
std::optional<fileio::UserFolder> openRecordFolder(bool create) {
    auto& helper = AccountModelHelper::helper();
    auto home = helper.homeFolder();
    auto owner = helper.rootOwner();
    if (!home || !owner) return std::nullopt;
    return fileio::UserFolder::open(*home, {"Library", "Application Support", kFolderName},
                                    {owner->uid, owner->gid}, create);
}

// A record is a few hundred bytes: its file may decode to little more than its own size, so a
// small file of many shared references cannot make root hold tens of megabytes.
archive::DecodeLimits userRecordLimits(size_t fileBytes) {
    archive::DecodeLimits limits;
    limits.maxBytes = kMaxRecordBytes;
    limits.maxObjects = 4096;
    limits.maxDepth = 16;
    limits.maxDecodedBytes = 2 * fileBytes + 64 * 1024;
    return limits;
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
    if (check) openRecordFolder(true);
    return *root + "/" + kFolderName + "/" + kFileName;
}

std::optional<AccountModel> AccountModel::currentModel() {
    if (!AccountModelHelper::helper().rootPath()) return std::nullopt;
    auto folder = openRecordFolder(false);
    if (!folder) return std::nullopt;
    auto bytes = folder->readFile(kFileName, kMaxRecordBytes);
    if (!bytes) return std::nullopt;
    auto decoded = archive::unarchive(*bytes, {kClassName}, userRecordLimits(bytes->size()));
    if (!decoded) return std::nullopt;
    return decode(*decoded.value);
}

bool AccountModel::save() const {
    // Without a console user's folder there is nowhere this record belongs.
    if (!AccountModelHelper::helper().rootPath()) return false;
    auto folder = openRecordFolder(true);
    if (!folder) return false;
    auto data = archive::archivedData(encode());
    return data && folder->writeFileAtomically(kFileName, *data, paths::fileModeFor(kFileName));
}

bool AccountModel::deleteCurrentModel() {
    if (!AccountModelHelper::helper().rootPath()) return false;
    auto folder = openRecordFolder(false);
    return folder && folder->removeFile(kFileName);
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

}  // namespace common
