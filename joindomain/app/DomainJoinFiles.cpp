#include "DomainJoinFiles.h"

#include <sys/stat.h>
#include <unistd.h>

#include "joindomain/helper/CommandRun.h"
#include "joindomain/helper/JoinDomainUtil.h"
#include "joindomain/helper/StagedProfile.h"
#include "joindomain/scaffold/RootApp.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "platform/core/FileIO.h"
#include "platform/core/UserFolder.h"
#include "platform/paths/Paths.h"

namespace ducene {

namespace {

constexpr size_t kMaxTemplateBytes = 1u << 20;

bool exists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

std::optional<archive::Value> readTemplate(const std::string& path) {
    auto bytes = fileio::readFile(path, kMaxTemplateBytes);
    if (!bytes) return std::nullopt;
    std::optional<archive::Value> plist = archive::parsePlist(*bytes);
    if (!plist || !plist->isDictionary()) return std::nullopt;
    return plist;
}

// The first payload of the profile, or nothing.
archive::Dictionary* firstPayload(archive::Value& profile) {
    auto* top = profile.dictionary();
    auto it = top->find("PayloadContent");
    if (it == top->end() || !it->second.array() || it->second.array()->empty()) return nullptr;
    return it->second.array()->front().dictionary();
}

void setCredentials(archive::Dictionary& payload, const std::string& account, const std::string& password) {
    archive::Value& eap = payload["EAPClientConfiguration"];
    if (!eap.isDictionary()) eap = archive::Value(archive::Dictionary{});
    (*eap.dictionary())["UserName"] = archive::Value(account);
    (*eap.dictionary())["UserPassword"] = archive::Value(password);
}

}  // namespace

std::string domainInfoFile() {
    return paths::machineSupportFolder() + "/joindomainInfo.archive";
}

std::string textOf(const archive::Dictionary& info, const std::string& key) {
    auto it = info.find(key);
    return it != info.end() && it->second.string() ? *it->second.string() : std::string();
}

DomainInfoRead readDomainInfos() {
    DomainInfoRead read;
    const std::string path = domainInfoFile();
    if (!exists(path)) return read;
    read.status = DomainInfoRead::Status::Unreadable;
    archive::DecodeResult decoded = archive::unarchiveObjectWithFile(path);
    if (!decoded || !decoded.value->array()) return read;
    for (const archive::Value& entry : *decoded.value->array()) {
        if (const archive::Dictionary* info = entry.dictionary()) read.infos.push_back(*info);
    }
    if (!read.infos.empty()) read.status = DomainInfoRead::Status::Ok;
    return read;
}

std::optional<archive::Data> ethernetProfile(const std::string& templatePath, const std::string& account,
                                             const std::string& password) {
    std::optional<archive::Value> profile = readTemplate(templatePath);
    if (!profile) return std::nullopt;
    archive::Dictionary* payload = firstPayload(*profile);
    if (payload == nullptr) return std::nullopt;
    setCredentials(*payload, account, password);
    return archive::serializePlist(*profile, archive::PlistFormat::Xml);
}

std::optional<archive::Data> wifiProfile(const std::string& templatePath, const std::string& ssid,
                                         const std::string& account, const std::string& password) {
    std::optional<archive::Value> profile = readTemplate(templatePath);
    if (!profile) return std::nullopt;
    archive::Dictionary* payload = firstPayload(*profile);
    if (payload == nullptr) return std::nullopt;
    (*payload)["SSID_STR"] = archive::Value(ssid);
    (*payload)["PayloadDisplayName"] = archive::Value("WiFi (" + ssid + ")");
    setCredentials(*payload, account, password);
    return archive::serializePlist(*profile, archive::PlistFormat::Xml);
}

bool writeEthernetProfile(const std::string& templatePath, const std::string& path,
                          const std::string& account, const std::string& password) {
    std::optional<archive::Data> bytes = ethernetProfile(templatePath, account, password);
    return bytes && fileio::writeFileAtomically(path, *bytes, 0600);
}

bool writeWiFiProfile(const std::string& templatePath, const std::string& path, const std::string& ssid,
                      const std::string& account, const std::string& password) {
    std::optional<archive::Data> bytes = wifiProfile(templatePath, ssid, account, password);
    return bytes && fileio::writeFileAtomically(path, *bytes, 0600);
}

std::optional<std::string> saveProfile(const std::string& name, const archive::Data& profile) {
    // Root writes in the user's folder through its descriptor, so a link the user placed on the
    // way never sends the file elsewhere, and what it makes there is the user's.
    const helperscaffold::ActingUser user = helperscaffold::actingUser();
    std::optional<fileio::UserFolder> folder = fileio::UserFolder::open(
        user.home, {"Library", "Application Support", "RavAvizaL"}, {user.uid, user.gid}, true);
    if (!folder || !folder->writeFileAtomically(name, profile, 0600)) return std::nullopt;
    return sorrel::stageProfile(name, profile);
}

std::optional<std::string> fetchDomainAccount(const AppLog& log) {
    sorrel::CommandRun run = sorrel::runCommand("dsconfigad", {"-show"});
    if (!run.started || run.timedOut) {
        if (log) {
            log("Check join domain script excute failed with error: " +
                    sorrel::errorInfoText(sorrel::scriptOutcomeOf(run)),
                sorrel::kLogError);
        }
        return std::nullopt;
    }
    for (const std::string& line : sorrel::splitLines(run.output)) {
        if (line.find("Computer Account") == std::string::npos) continue;
        const std::string name = sorrel::field(line, 4);
        const std::string account = name.substr(0, name.find('-'));
        if (account.empty()) return std::nullopt;
        return account;
    }
    return std::nullopt;
}

bool homeFolderMissing(const std::string& account) {
    const std::string name = sorrel::lower(account);
    const std::string home = paths::homeFolder(name).value_or(paths::usersFolder() + "/" + name);
    struct stat st {};
    return ::stat(home.c_str(), &st) != 0 || !S_ISDIR(st.st_mode);
}

}  // namespace ducene
