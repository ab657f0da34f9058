#include "UserBridge.h"

#include <openssl/asn1.h>
#include <openssl/bn.h>
#include <openssl/objects.h>
#include <openssl/x509.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "platform/core/FileIO.h"
#include "platform/core/TextNumber.h"
#include "common/device/ITDevice.h"
#include "platform/dispatch/WorkQueue.h"
#include "common/logger/LogSink.h"
#include "platform/paths/FileModes.h"
#include "platform/paths/Paths.h"
#include "framework/process/TaskHelper.h"
#include "common/server/ZemServerConfig.h"
#include "platform/process/ProcessList.h"
#include "daemon/service/ZemNimbrelInterface.h"
#include "platform/spawn/Spawn.h"

using calix::TaskHelper;
using common::ITDevice;
using common::ZemServerConfig;
using common::processLog;

namespace hollin {

namespace {

using archive::Array;
using archive::Dictionary;
using archive::Value;

const std::vector<std::string> kSupportFolder = {"Library", "Application Support", "RavAvizaL"};

constexpr const char* kGeneralConfig = "GeneralConfig.archive";
constexpr const char* kUserPolicy = "userpolicy.archive";
constexpr const char* kTovikCache = "tovikCache.archive";
constexpr const char* kDomainOrIp = "domianorip.archive";
constexpr const char* kQznPolicy = "QZNPolicy.archive";
constexpr const char* kProfile = "VOXMDNetwork.mobileconfig";
constexpr const char* kTovikStatus = "tovikStatus.archive";

archive::DecodeLimits requestLimits() {
    archive::DecodeLimits limits;
    limits.maxBytes = UserBridge::kMaxRequestBytes;
    limits.maxObjects = 200'000;
    limits.maxDepth = 32;
    limits.maxDecodedBytes = 32u << 20;
    return limits;
}

std::string machineFile(const std::string& name) {
    return paths::machineSupportFolder() + "/" + name;
}

// A machine-wide archive, with the mode the file table gives its name: a file that carries a
// secret (the domain administrator's password) is root's alone.
bool writeMachineArchive(const std::string& name, const Value& value) {
    return archive::archiveRootObjectToFile(value, machineFile(name), paths::fileModeFor(name));
}

const Value* lookup(const Value* v, std::initializer_list<const char*> keys) {
    for (const char* key : keys) {
        if (v == nullptr) return nullptr;
        v = v->find(key);
    }
    return v;
}

// "At least one element": a non-empty collection or text.
bool hasElements(const Value* v) {
    if (v == nullptr) return false;
    if (const Array* a = v->array()) return !a->empty();
    if (const Dictionary* d = v->dictionary()) return !d->empty();
    if (const std::string* s = v->string()) return !s->empty();
    return false;
}

bool machineFileExists(const std::string& name) {
    struct stat st {};
    return ::lstat(machineFile(name).c_str(), &st) == 0;
}

void removeMachineFile(const std::string& name) {
    ::unlink(machineFile(name).c_str());
}

// The stored root object differs from value, or nothing usable is stored.
bool storedDiffers(const std::string& name, const Value& value) {
    archive::DecodeResult stored = archive::unarchiveObjectWithFile(machineFile(name), {}, requestLimits());
    return !stored || *stored.value != value;
}

// A short text form of a value for the log.
std::string describe(const Value& v) {
    if (const std::string* s = v.string()) return *s;
    if (auto n = v.integer(); n && !v.isReal()) return std::to_string(*n);
    if (const Dictionary* d = v.dictionary()) {
        std::string out = "{";
        for (const auto& [key, value] : *d) out += " " + key + " = " + describe(value) + ";";
        return out + " }";
    }
    if (const Array* a = v.array()) {
        std::string out = "(";
        for (const Value& e : *a) out += " " + describe(e) + ",";
        return out + " )";
    }
    return "(null)";
}

}  // namespace

UserBridge::UserBridge() : UserBridge(Environment{}) {}

UserBridge::UserBridge(Environment env) : env_(std::move(env)) {}

void UserBridge::log(const std::string& line) const {
    if (env_.log) {
        env_.log(line);
    } else {
        processLog().writeLog(line);
    }
}

std::string UserBridge::profilesTool() const {
    return env_.profilesTool.empty() ? paths::toolFolder() + "/profiles" : env_.profilesTool;
}

std::optional<UserBridge::User> UserBridge::lookUpUser(const std::string& name) {
    if (name.empty() || name == "unknown") return std::nullopt;
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    if (found->pw_uid == 0 || found->pw_dir == nullptr || found->pw_dir[0] != '/') return std::nullopt;
    std::optional<std::string> home = paths::homeFolder(name);
    if (!home || home->empty()) return std::nullopt;
    return User{name, *home, found->pw_uid, found->pw_gid};
}

std::string UserBridge::creatCurrentUserPath() {
    std::lock_guard lock(userMutex_);
    if (currentUserPath_.empty()) {
        std::string name = env_.consoleUser ? env_.consoleUser() : ITDevice::currentDevice().userName();
        // Only a real signed-in user is kept: a daemon started before anyone signs in must serve
        // the user who signs in later, not "unknown" or root for its whole life.
        if (lookUpUser(name)) currentUserPath_ = name;
    }
    return currentUserPath_;
}

std::optional<fileio::UserFolder> UserBridge::openSupportFolder(const User& user) {
    auto folder = fileio::UserFolder::open(user.home, kSupportFolder, {user.uid, user.gid}, false);
    if (!folder) {
        // Only worth a line when something stands there that is not the user's own folder.
        struct stat st {};
        std::string path = user.home + "/Library/Application Support/RavAvizaL";
        if (::lstat(path.c_str(), &st) == 0) {
            refuse("the support folder of " + user.name, "not a folder of that user reached without links");
        }
    } else {
        forgetRefusals("the support folder of " + user.name);
    }
    return folder;
}

UserBridge::Read UserBridge::readRequest(const fileio::UserFolder& folder, const std::string& name,
                                         Value& out) {
    if (!folder.contains(name)) return Read::Missing;
    std::optional<std::vector<uint8_t>> bytes = folder.readFile(name, kMaxRequestBytes);
    if (!bytes) {
        refuse(name, "not a regular file of the user within " + std::to_string(kMaxRequestBytes) + " bytes");
        return Read::Refused;
    }
    archive::DecodeResult decoded;
    if (!bytes->empty()) decoded = archive::unarchive(*bytes, {}, requestLimits());
    if (!bytes->empty() && !decoded) {
        // Content that does not decode reads as nothing, as an empty file does.
        refuse(name, "read as nothing: " + decoded.error);
        return Read::Empty;
    }
    if (bytes->empty()) return Read::Empty;
    out = std::move(*decoded.value);
    return Read::Ok;
}

void UserBridge::forgetRefusals(const std::string& name) {
    std::lock_guard lock(userMutex_);
    std::erase_if(refused_, [&](const std::string& key) { return key == name || key.starts_with(name + "#"); });
}

bool UserBridge::firstNote(const std::string& key) {
    // Keyed by file (and a tag), never by a reason: reasons can carry numbers the user chooses.
    constexpr size_t kMemoLimit = 64;
    std::lock_guard lock(userMutex_);
    if (refused_.count(key)) return false;
    if (refused_.size() >= kMemoLimit) refused_.clear();
    refused_.insert(key);
    return true;
}

void UserBridge::refuse(const std::string& name, const std::string& why) {
    // A file that stays is seen again every second: say so once while it is there.
    if (firstNote(name)) log("[CommonTimerManager] refused " + name + ": " + why);
}

void UserBridge::removeRequest(const fileio::UserFolder& folder, const std::string& name) {
    folder.removeFile(name);
}

void UserBridge::monitorUserLogin() {
    const std::string name = creatCurrentUserPath();
    if (name.empty()) return;
    std::optional<User> user = lookUpUser(name);
    if (!user) return;
    std::optional<fileio::UserFolder> folder = openSupportFolder(*user);
    if (!folder) return;

    // A refusal is said once while its file is there; a file gone (served or removed) may be
    // said again when it comes back.
    for (const char* name : {kGeneralConfig, kUserPolicy, kTovikCache, kDomainOrIp, kQznPolicy})
        if (!folder->contains(name)) forgetRefusals(name);

    separateGneralConfig(*folder);

    if (folder->contains(kUserPolicy)) {
        Value ignored;
        if (readRequest(*folder, kUserPolicy, ignored) != Read::Refused && folder->removeFile(kUserPolicy)) {
            // Removed first, so one file yields one request.
            if (env_.requestPolicyId) env_.requestPolicyId();
            if (env_.restartVpn) {
                env_.restartVpn();
            } else {
                checkRQLifLoad();
            }
        }
    }
    if (folder->contains(kTovikCache)) uninstallTovikMobileconfig(*folder);
    if (folder->contains(kDomainOrIp)) saveServerPathtoLibrary(*folder);
    if (folder->contains(kQznPolicy)) saveQZNPathtoLibrary(*folder);
}

void UserBridge::separateGneralConfig(const fileio::UserFolder& folder) {
    Value root;
    Read read = readRequest(folder, kGeneralConfig, root);
    if (read == Read::Missing || read == Read::Refused) return;
    // A file that reads as nothing makes every key absent.
    const Value* config = (read == Read::Ok && root.dictionary()) ? &root : nullptr;

    auto writeOrRemove = [](const std::string& file, const Value* value) {
        if (value) {
            writeMachineArchive(file, *value);
        } else {
            removeMachineFile(file);
        }
    };
    // Written when missing or different from what is stored, else left untouched.
    auto writeChanged = [](const std::string& file, const Value* value) {
        if (!value) {
            removeMachineFile(file);
        } else if (!machineFileExists(file) || storedDiffers(file, *value)) {
            writeMachineArchive(file, *value);
        }
    };

    writeOrRemove("userlogin.archive", lookup(config, {"userlogin"}));
    writeChanged("zem_multisrv_info.archive", lookup(config, {"zem", "zem_multisrv_info"}));
    writeChanged("hidezemswitch.archive", lookup(config, {"zem", "hidezem_gui_tray"}));
    writeChanged("switchqzn.archive", lookup(config, {"zem", "cloud_qzn"}));

    Dictionary servers;
    for (const char* key : {"rql_server", "brindle_server"}) {
        const Value* v = lookup(config, {"zem", key});
        if (hasElements(v)) servers[key] = *v;
    }
    if (!servers.empty())
        writeMachineArchive("server.archive", Value(std::move(servers)));

    const Value* domain = lookup(config, {"domain"});
    const Value* domainSwitch = lookup(domain, {"joindomain_switch"});
    writeOrRemove("joindomainSwitchStatus.archive", domainSwitch);
    const Value* domainInfo = lookup(domain, {"domaininfo"});
    // The switch's integer value: a number as it is, a text read as a number ("1" is 1).
    const bool joinOn = domainSwitch && (domainSwitch->string()
                                             ? textnum::integerValue(*domainSwitch->string()) == 1
                                             : domainSwitch->integer() == 1);
    writeOrRemove("joindomainInfo.archive", joinOn && hasElements(domainInfo) ? domainInfo : nullptr);

    removeRequest(folder, kGeneralConfig);
}

void UserBridge::saveServerPathtoLibrary(const fileio::UserFolder& folder) {
    Value root;
    Read read = readRequest(folder, kDomainOrIp, root);
    if (read == Read::Missing || read == Read::Refused) return;
    // Only the shape the server configuration holds is taken: a non-empty list of [host, port]
    // pairs. Anything else would leave the machine without a server; the old file stays.
    if (read == Read::Ok && !ZemServerConfig::isServerList(root)) {
        refuse(kDomainOrIp, "not a list of [host, port] pairs");
        return;
    }
    std::optional<archive::Data> data;
    if (read == Read::Ok) data = archive::archivedData(root);
    if (!data || data->empty()) {
        if (firstNote(std::string(kDomainOrIp) + "#empty")) log("Servers config file archive failed with error: (null)");
        return;
    }
    // The new file is renamed over the old one: removing the old one first would leave no server
    // configuration at all when the write then fails.
    const std::string config = paths::serverConfigFile();
    if (!fileio::writeFileAtomically(config, *data, 0644)) {
        log("Servers config file write save failed with error: " + std::string(std::strerror(errno)));
        return;
    }
    log("Servers config file save successfully.");
    removeRequest(folder, kDomainOrIp);
    if (env_.updateServerConfig) {
        env_.updateServerConfig();
    } else {
        ZemServerConfig::sharedInstance().updateServerConfig();
    }
}

void UserBridge::saveQZNPathtoLibrary(const fileio::UserFolder& folder) {
    Value root;
    if (readRequest(folder, kQznPolicy, root) != Read::Ok || !root.dictionary()) return;
    if (const Value* list = lookup(&root, {"data", "content"})) {
        if (writeMachineArchive("qzncloudlist.archive", *list)) {
            log("[quick] Mac qzncloud list save success");
            removeRequest(folder, kQznPolicy);
        } else {
            log("[quick] Mac qzncloud list save fail");
        }
    }
    const Value* apps = lookup(&root, {"office_data", "content", "homepageapp"});
    if (hasElements(apps) && saveAppMgrPathtoLibrary(*apps) && folder.contains(kQznPolicy)) {
        removeRequest(folder, kQznPolicy);
    }
}

bool UserBridge::saveAppMgrPathtoLibrary(const Value& appMgrList) {
    if (writeMachineArchive("appmgrlist.archive", appMgrList)) {
        log("[quick] Mac AppMgr list save success");
        return true;
    }
    log("[quick] Mac AppMgr list save fail");
    return false;
}

UserBridge::ProfileRun UserBridge::runProfileCommand(const std::vector<std::string>& arguments) {
    spawn::Options o;
    o.program = profilesTool();
    o.argv.push_back(o.program);
    o.argv.insert(o.argv.end(), arguments.begin(), arguments.end());
    // Its own process group: the deadline ends everything the tool started.
    o.grouping = spawn::Grouping::OwnGroup;
    spawn::RunLimits limits;
    limits.deadline = env_.profileDeadline;
    limits.maxStreamBytes = 1u << 20;
    spawn::RunResult run = spawn::run(std::move(o), limits);

    ProfileRun result;
    std::string error = run.started() ? run.error : std::string(std::strerror(run.spawnError));
    if (run.timedOut) {
        result.message = "script policy run timeout .";
        return result;
    }
    result.finished = true;
    if (run.waitStatus) result.exitStatus = spawn::exitStatusFromWait(*run.waitStatus);
    if (!error.empty()) {
        result.message = "run mobileconfig file script policy finish failed.  error = " + error +
                         " . output = " + run.output + " ";
    } else {
        result.message = "run mobileconfig file script policy finish. output = " + run.output + ". ";
    }
    return result;
}

void UserBridge::uninstallTovikMobileconfig(const fileio::UserFolder& folder) {
    ProfileRun removal = runProfileCommand({"-R", "-p", kTovikProfileIdentifier});
    // The removal's outcome (no such profile, errors, time-out) does not stop the install: the
    // tool has ended either way, since a run that outlasts its deadline has its group killed.
    installTovikMobileconfig(folder);
    if (!removal.message.empty()) log(removal.message);
}

std::optional<archive::Dictionary> UserBridge::certificateStatus(const archive::Data& der) {
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())),
                                                     X509_free);
    if (!cert) return std::nullopt;

    // The serial as an unsigned number: a first byte with its high bit set is a large serial,
    // not a negative one.
    const ASN1_INTEGER* serial = X509_get0_serialNumber(cert.get());
    std::unique_ptr<BIGNUM, decltype(&BN_free)> bn(ASN1_INTEGER_to_BN(serial, nullptr), BN_free);
    if (!bn) return std::nullopt;
    BN_set_negative(bn.get(), 0);
    char* hex = BN_bn2hex(bn.get());
    if (hex == nullptr) return std::nullopt;
    std::string serialText(hex);
    OPENSSL_free(hex);

    std::string commonName;
    X509_NAME* subject = X509_get_subject_name(cert.get());
    int index = X509_NAME_get_index_by_NID(subject, NID_commonName, -1);
    if (index >= 0) {
        ASN1_STRING* data = X509_NAME_ENTRY_get_data(X509_NAME_get_entry(subject, index));
        unsigned char* utf8 = nullptr;
        int length = ASN1_STRING_to_UTF8(&utf8, data);
        if (length > 0) commonName.assign(reinterpret_cast<char*>(utf8), static_cast<size_t>(length));
        OPENSSL_free(utf8);
    }
    // Up to a NUL, which the status archive cannot hold: the name as a C string reads it.
    commonName.resize(std::min(commonName.size(), commonName.find('\0')));
    // At most 255 characters, cut between characters.
    size_t characters = 0;
    for (size_t i = 0; i < commonName.size(); ++i) {
        if ((static_cast<unsigned char>(commonName[i]) & 0xC0) == 0x80) continue;
        if (++characters > 255) {
            commonName.resize(i);
            break;
        }
    }
    return Dictionary{{"serialNumber", serialText}, {"commonName", commonName}};
}

void UserBridge::installTovikMobileconfig(const fileio::UserFolder& folder) {
    if (!folder.contains(kProfile)) return;
    std::optional<std::vector<uint8_t>> profile = folder.readFile(kProfile, kMaxProfileBytes);
    if (!profile) {
        log(std::string("[CommonTimerManager] refused ") + kProfile +
            ": not a regular file of the user within " + std::to_string(kMaxProfileBytes) + " bytes");
        return;
    }
    // The tool reads a root-owned copy of what was checked here, never the user's path, which a
    // link could point at any file of the machine between the check and the read.
    const std::string copy = machineFile(".VOXMDNetwork.install.mobileconfig");
    if (!fileio::writeFileAtomically(copy, *profile, paths::kSecretFileMode)) {
        log("[CommonTimerManager] cannot stage the admission profile for install");
        return;
    }
    ProfileRun install = runProfileCommand({"-I", "-F", copy});
    ::unlink(copy.c_str());
    if (!install.finished || install.exitStatus != 0) {
        if (!install.message.empty()) log(install.message);
        return;
    }

    // The status goes to the user signed in now; without one, to the folder just served.
    std::optional<fileio::UserFolder> currentFolder;
    std::string now = env_.consoleUser ? env_.consoleUser() : ITDevice::currentDevice().userName();
    if (std::optional<User> current = lookUpUser(now)) currentFolder = openSupportFolder(*current);
    const fileio::UserFolder& target = currentFolder ? *currentFolder : folder;

    Value authMethod;
    Read read = readRequest(target, kTovikCache, authMethod);
    if (read != Read::Missing && read != Read::Refused) removeRequest(target, kTovikCache);

    std::optional<Dictionary> status;
    if (std::optional<Value> plist = archive::parsePlist(*profile)) {
        const Value* payloads = plist->find("PayloadContent");
        if (payloads && payloads->array() && !payloads->array()->empty()) {
            const Value* der = payloads->array()->front().find("PayloadContent");
            if (der && der->data()) status = certificateStatus(*der->data());
        }
    }
    if (!status) {
        log("Certificate Info save failed! the profile's first payload holds no certificate");
    } else {
        if (read == Read::Ok) (*status)["authMethod"] = authMethod;
        Value info(*status);
        std::optional<archive::Data> bytes = archive::archivedData(info);
        if (bytes && target.writeFileAtomically(kTovikStatus, *bytes, 0644)) {
            log("Certificate Info save success! info:" + describe(info));
        } else {
            log("Certificate Info save failed!");
        }
    }
    if (!install.message.empty()) log(install.message);
}

void UserBridge::checkRQLifLoad() {
    log("[CommonTimerManager]Zem start load Nimbrel");
    const std::string agent = ZemNimbrelInterface::vpnAgentPath();
    if (!proclist::processesRunning(agent).empty()) ZemNimbrelInterface::sharedInstance().existNimbrel();
    dispatch::WorkQueue::global()->dispatch([sink = env_.log, agent] {
        struct stat st {};
        if (::stat(agent.c_str(), &st) != 0) return;
        TaskHelper::sharedInstance().startCMDApp(agent, {""});
        const std::string line = "[CommonTimerManager] load Nimbrel";
        if (sink) {
            sink(line);
        } else {
            processLog().writeLog(line);
        }
    });
}

}  // namespace hollin
