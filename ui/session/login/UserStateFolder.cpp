#include "UserStateFolder.h"

#include "common/account/AccountModel.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/core/UserFolder.h"
#include "common/logger/LogSink.h"

using common::AccountModelHelper;
using common::processLog;

namespace hux::UserStateFolder {

namespace {

std::optional<fileio::UserFolder> open(bool create) {
    auto& helper = AccountModelHelper::helper();
    if (!helper.rootPath()) return std::nullopt;
    auto home = helper.homeFolder();
    auto owner = helper.rootOwner();
    if (!home || !owner) return std::nullopt;
    return fileio::UserFolder::open(*home, {"Library", "Application Support", "RavAvizaL"},
                                    {owner->uid, owner->gid}, create);
}

}  // namespace

bool exists(const std::string& name) {
    auto folder = open(false);
    return folder && folder->contains(name);
}

std::optional<archive::Value> read(const std::string& name) {
    auto folder = open(false);
    if (!folder) return std::nullopt;
    auto bytes = folder->readFile(name, kMaxArchiveBytes);
    if (!bytes) return std::nullopt;
    archive::DecodeLimits limits;
    limits.maxBytes = kMaxArchiveBytes;
    limits.maxDecodedBytes = 4 * kMaxArchiveBytes;
    auto decoded = archive::unarchive(*bytes, {}, limits);
    if (!decoded) return std::nullopt;
    return std::move(decoded.value);
}

std::optional<std::string> readString(const std::string& name) {
    auto value = read(name);
    if (!value || !value->string()) return std::nullopt;
    return *value->string();
}

bool write(const std::string& name, const archive::Value& root) {
    auto folder = open(true);
    auto data = archive::archivedData(root);
    if (!folder || !data || !folder->writeFileAtomically(name, *data, 0600)) {
        processLog().writeLog("Could not write " + name + " in the user's RavAvizaL folder");
        return false;
    }
    return true;
}

bool remove(const std::string& name) {
    auto folder = open(false);
    return folder && folder->removeFile(name);
}

}  // namespace hux::UserStateFolder
