#include "TovikManager.h"

#include <openssl/bn.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <cstdio>
#include <set>

#include "common/account/AccountModel.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "platform/core/UserFolder.h"
#include "common/device/ITDevice.h"
#include "common/logger/LogSink.h"
#include "ui/session/login/BodyCodec.h"
#include "ui/session/login/ClientAccountManager.h"
#include "ui/session/login/UserStateFolder.h"
#include "platform/paths/Paths.h"

using common::AccountModelHelper;
using common::ITDevice;
using common::processLog;

namespace hux {

namespace {

constexpr size_t kMaxProfileBytes = size_t{4} << 20;

void log(const std::string& line) {
    processLog().writeLog(line);
}

std::string templatePath() {
    return paths::uiAppResources() + "/" + TovikManager::kProfileName;
}

std::optional<fileio::UserFolder> userFolder(bool create) {
    auto& helper = AccountModelHelper::helper();
    if (!helper.rootPath()) return std::nullopt;
    auto home = helper.homeFolder();
    auto owner = helper.rootOwner();
    if (!home || !owner) return std::nullopt;
    return fileio::UserFolder::open(*home, {"Library", "Application Support", "RavAvizaL"},
                                    {owner->uid, owner->gid}, create);
}

// A DER certificate that parses whole and carries a serial number other than zero.
bool usableCertificate(const std::vector<uint8_t>& der) {
    if (der.empty()) return false;
    const unsigned char* cursor = der.data();
    X509* cert = d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
    bool ok = cert && cursor == der.data() + der.size();
    if (ok) {
        BIGNUM* serial = ASN1_INTEGER_to_BN(X509_get0_serialNumber(cert), nullptr);
        ok = serial && !BN_is_zero(serial);
        BN_free(serial);
    }
    X509_free(cert);
    return ok;
}

std::optional<std::string> commonName(const std::vector<uint8_t>& der) {
    const unsigned char* cursor = der.data();
    X509* cert = der.empty() ? nullptr : d2i_X509(nullptr, &cursor, static_cast<long>(der.size()));
    if (!cert) return std::nullopt;
    std::optional<std::string> name;
    char buffer[256];
    const int n =
        X509_NAME_get_text_by_NID(X509_get_subject_name(cert), NID_commonName, buffer, sizeof buffer);
    if (n >= 0) name = std::string(buffer, static_cast<size_t>(n));
    X509_free(cert);
    return name;
}

// An SSID the profile can carry: at most 32 bytes and no control characters.
bool acceptableSSID(const std::string& ssid) {
    if (ssid.size() > TovikManager::kMaxSSIDBytes) return false;
    for (unsigned char c : ssid) {
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

// The certificate of payload 0 of the profile the daemon kept after installing it.
bool installedProfileHolds(const std::string& name) {
    auto folder = userFolder(false);
    if (!folder || folder->contains("tovikCache.archive")) return false;  // not installed yet
    auto bytes = folder->readFile(TovikManager::kProfileName, kMaxProfileBytes);
    if (!bytes) return false;
    auto profile = archive::parsePlist(*bytes);
    const archive::Value* payloads = profile ? profile->find("PayloadContent") : nullptr;
    if (!payloads || !payloads->array() || payloads->array()->empty()) return false;
    const archive::Value* der = payloads->array()->front().find("PayloadContent");
    if (!der || !der->data()) return false;
    auto cn = commonName(*der->data());
    return cn && *cn == name;
}

}  // namespace

TovikManager& TovikManager::sharedInstance() {
    static TovikManager* manager = new TovikManager;
    return *manager;
}

std::optional<archive::Value> TovikManager::mbDic() const {
    std::lock_guard lock(mutex_);
    return mbDic_;
}

Json TovikManager::ssids() const {
    std::lock_guard lock(mutex_);
    return ssids_;
}

void TovikManager::reset() {
    std::lock_guard lock(mutex_);
    ssids_ = Json::array();
    cerInfo_.reset();
    mbDic_.reset();
}

void TovikManager::setKeychainLookup(std::function<bool(const std::string&)> lookup) {
    std::lock_guard lock(mutex_);
    keychainLookup_ = std::move(lookup);
}

std::string TovikManager::createCUID() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        for (auto& c : b) c = static_cast<unsigned char>(std::rand());
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    char text[37];
    std::snprintf(text, sizeof text, "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                  b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13],
                  b[14], b[15]);
    return text;
}

archive::Value TovikManager::generalWiFiTemplateWithSSID(const std::string& ssid) {
    const std::string uuid = createCUID();
    archive::Dictionary eap{
        {"AcceptEAPTypes", archive::Array{archive::Value(13)}},
        {"PayloadCertificateAnchorUUID", archive::Array{kRootCAUUID, kSubCAUUID}},
    };
    return archive::Dictionary{
        {"AutoJoin", 1},
        {"CaptiveBypass", 0},
        {"EAPClientConfiguration", std::move(eap)},
        {"EncryptionType", "WPA"},
        {"HIDDEN_NETWORK", 0},
        {"Interface", "BuiltInWireless"},
        {"IsHotspot", 0},
        {"PayloadCertificateUUID", kIdentityUUID},
        {"PayloadDisplayName", "WiFi (" + ssid + ")"},
        {"PayloadEnabled", 1},
        {"PayloadIdentifier", "com.apple.wifi.managed." + uuid},
        {"PayloadType", "com.apple.wifi.managed"},
        {"PayloadUUID", uuid},
        {"PayloadVersion", 1},
        {"ProxyType", "None"},
        {"SSID_STR", ssid},
        {"SetupModes", archive::Array{archive::Value("System")}},
    };
}

Json TovikManager::generalTovikRequestParamsWithUsername(const std::string& userid,
                                                         const std::string& ticket) {
    auto& device = ITDevice::currentDevice();
    std::string macs;
    for (const auto& mac : device.macAddresses()) macs += (macs.empty() ? "" : ";") + mac;
    return Json{{"machinename", device.machineName()},
                {"userid", userid},
                {"deviceid", device.uuid()},
                {"mac", macs},
                {"ticket", ticket},
                {"os", 3}};
}

bool TovikManager::generalMobielConfigWithSSIDS(const Json& ssids, const TovikCerInfo& cerInfo) {
    auto profile = archive::readPlistFile(templatePath(), nullptr, kMaxProfileBytes);
    if (!profile) return false;
    archive::Value* payloadsValue = nullptr;
    if (auto* top = profile->dictionary()) {
        if (auto it = top->find("PayloadContent"); it != top->end()) payloadsValue = &it->second;
    }
    archive::Array* payloads = payloadsValue ? payloadsValue->array() : nullptr;
    if (!payloads || payloads->size() < 3 || !(*payloads)[0].dictionary() || !(*payloads)[1].dictionary() ||
        !(*payloads)[2].dictionary()) {
        log("[TovikManager] the profile template lacks its three certificate payloads");
        return false;
    }

    // The material must be whole: an identity that opens with its password and two certificates
    // with serial numbers, so a half-usable profile never replaces a working one.
    const Data* data = cerInfo.data ? &*cerInfo.data : nullptr;
    bool usable = data && data->pwd && !data->pwd->empty() && usableCertificate(data->rootCA) &&
                  usableCertificate(data->subCA) && TovikNetwork::extractIdentity(data->p12, *data->pwd);

    // The distinct SSIDs in first-seen order; empty names are skipped.
    std::vector<std::string> names;
    if (usable && ssids.is_array()) {
        std::set<std::string> seen;
        for (const auto& entry : ssids) {
            if (!entry.is_string() || !acceptableSSID(entry.get<std::string>())) {
                log("[TovikManager] unusable SSID in the admission settings: " + entry.dump());
                usable = false;
                break;
            }
            const std::string& name = entry.get_ref<const std::string&>();
            if (!name.empty() && seen.insert(name).second) names.push_back(name);
        }
    }
    if (!usable) {
        log("[TovikManager] server tovik info exception");
        return false;
    }

    (*(*payloads)[0].dictionary())["PayloadContent"] = archive::Value(data->rootCA);
    (*(*payloads)[1].dictionary())["PayloadContent"] = archive::Value(data->subCA);
    (*(*payloads)[2].dictionary())["PayloadContent"] = archive::Value(data->p12);
    (*(*payloads)[2].dictionary())["Password"] = archive::Value(*data->pwd);
    for (const auto& name : names) payloads->push_back(generalWiFiTemplateWithSSID(name));

    std::lock_guard lock(mutex_);
    mbDic_ = std::move(*profile);
    return true;
}

bool TovikManager::moveLocalMobileConfigToPublicDirectory() {
    auto profile = mbDic();
    if (!profile) return false;
    auto bytes = archive::serializePlist(*profile, archive::PlistFormat::Xml);
    auto folder = userFolder(true);
    const bool written = bytes && folder && folder->writeFileAtomically(kProfileName, *bytes, 0600);
    log(std::string(
            "[TovikManager] RavAviza write VOXMDNetwork.mobileconfig to RavAvizaL directory result:") +
        (written ? "1" : "0"));
    return written;
}

bool TovikManager::installMobileconfig() {
    const bool written = UserStateFolder::write("tovikCache.archive", archive::Value("3"));
    log(std::string("[TovikManager] RavAviza write tovikCache.archive result: ") + (written ? "1" : "0"));
    return written;
}

void TovikManager::installStaticMobileconfig() {
    auto profile = archive::readPlistFile(templatePath(), nullptr, kMaxProfileBytes);
    {
        std::lock_guard lock(mutex_);
        mbDic_ = std::move(profile);
    }
    // The marker asks the daemon to install; without a written profile there is nothing to install.
    if (!moveLocalMobileConfigToPublicDirectory()) {
        log("[TovikManager] the static profile was not written; tovikCache.archive left as it was");
        return;
    }
    const bool written = UserStateFolder::write("tovikCache.archive", archive::Value("2"));
    log(std::string("[TovikManager] RavAviza write tovikCache.archive result: ") + (written ? "1" : "0"));
}

std::optional<Json> TovikManager::parseTovikCerResponseToDic(const Bytes& reply) {
    const std::string_view text(reinterpret_cast<const char*>(reply.data()), reply.size());
    return ClientBody::decodeRequestBody(text);
}

TovikCerInfo TovikManager::parseTovikCerResponse(const Json& dic) {
    log("Get Tovik Cer with dic: <certificate reply, ret " +
        (dic.is_object() && dic.contains("ret") ? dic["ret"].dump() : "none") + ">");
    TovikCerInfo info = TovikCerInfo::fromJson(dic);
    std::lock_guard lock(mutex_);
    cerInfo_ = info;
    return info;
}

void TovikManager::handleCertificateReply(std::optional<Bytes> reply, Error error) {
    if (error) {
        log("Get Tovik Cer faild with error:" + error->domain + " " + std::to_string(error->code) + " " +
            error->failureReason);
        return;
    }
    auto dic = reply ? parseTovikCerResponseToDic(*reply) : std::nullopt;
    Json shown = dic.value_or(Json());
    if (shown.is_object() && shown.contains("data")) shown["data"] = "<certificate material>";
    log("[TovikManager] TovikResponse Dic:" + shown.dump());
    const Json* ret = dic && dic->is_object() && dic->contains("ret") ? &(*dic)["ret"] : nullptr;
    if (!ret || !ret->is_number_integer() || ret->get<int64_t>() != 0) {
        std::string msg = "(null)";
        if (dic && dic->is_object() && dic->contains("msg"))
            msg = (*dic)["msg"].is_string() ? (*dic)["msg"].get<std::string>() : (*dic)["msg"].dump();
        log("Get Tovik Cer faild with msg:" + msg);
        return;
    }
    const TovikCerInfo info = parseTovikCerResponse(*dic);
    // Only this request's profile, built and written, is marked for the daemon.
    if (!generalMobielConfigWithSSIDS(ssids(), info)) return;
    if (!moveLocalMobileConfigToPublicDirectory()) return;
    installMobileconfig();
}

void TovikManager::executeTovikTaskWithUserName(const std::string& userid, const std::string& ticket,
                                                const Json& ssids, const std::string& url,
                                                std::function<void()> done) {
    {
        std::lock_guard lock(mutex_);
        ssids_ = ssids;
    }
    const Json params = generalTovikRequestParamsWithUsername(userid, ticket);
    TovikNetwork::sharedInstance().getTovikCerWithInfo(
        params, url, [this, done = std::move(done)](std::optional<Bytes> reply, Error error) {
            handleCertificateReply(std::move(reply), std::move(error));
            if (done) done();
        });
}

void TovikManager::checkTovikNecessaryWithUrl(const std::string&,
                                              const std::function<void(bool)>& completion) {
    auto status = UserStateFolder::read("tovikStatus.archive");
    const archive::Value* cn = status ? status->find("commonName") : nullptr;
    const archive::Value* serial = status ? status->find("serialNumber") : nullptr;
    if (!cn || !cn->string() || !serial) return completion(false);
    const bool found = certificateInKeychain(*cn->string());
    log(found ? "[TovikManager] Tovik certificate exists locally commonName: " + *cn->string()
              : "[TovikManager] Tovik No certificate exists locally commonName:" + *cn->string());
    completion(found);
}

std::optional<archive::Value> TovikManager::localCerAuthMethod() {
    auto status = UserStateFolder::read("tovikStatus.archive");
    const archive::Value* method = status ? status->find("authMethod") : nullptr;
    if (!method) return std::nullopt;
    return *method;
}

bool TovikManager::checkCaVersion() {
    return UserStateFolder::exists("caCache.archive");
}

bool TovikManager::certificateInKeychain(const std::string& name) {
    std::function<bool(const std::string&)> lookup;
    {
        std::lock_guard lock(mutex_);
        lookup = keychainLookup_;
    }
    return lookup ? lookup(name) : installedProfileHolds(name);
}

void tovikAfterQRSignIn(const std::string& userid, const std::string& ticket, std::function<void()> done) {
    TovikNetwork::sharedInstance().requestGeneralConfig(
        [userid, ticket, done = std::move(done)](Reply reply, Error error) {
            auto finish = [&done] {
                if (done) done();
            };
            if (error || !reply || !reply->is_object() || !reply->contains("ret") ||
                !(*reply)["ret"].is_number_integer() || (*reply)["ret"].get<int64_t>() != 0)
                return finish();
            const Json* encoded = &(*reply)["data"];
            if (!reply->contains("data") || !encoded->is_string()) return finish();
            auto data = ClientBody::decodeSM4(encoded->get_ref<const std::string&>());
            if (!data || !data->is_object()) return finish();
            auto textAt = [&data](const char* group, const char* key) -> std::string {
                const Json* g = data->contains(group) ? &(*data)[group] : nullptr;
                if (!g || !g->is_object() || !g->contains(key) || !(*g)[key].is_string()) return "";
                return (*g)[key].get<std::string>();
            };
            const std::string method = textAt("domain", "auth_method");
            const std::string address = textAt("domain", "tovik_addr");
            Json ssids;
            if (data->contains("wifisettings") && (*data)["wifisettings"].is_object())
                ssids = (*data)["wifisettings"].value("ssidlist", Json());

            auto& manager = TovikManager::sharedInstance();
            bool present = true;
            manager.checkTovikNecessaryWithUrl(address, [&present](bool found) { present = found; });
            if (present) return finish();
            if (method == "3") {
                log("[RavAvizaLoginHelper] RavAviza tovik type 3");
                return manager.executeTovikTaskWithUserName(userid, ticket, ssids, address, std::move(done));
            }
            if (method == "2") {
                manager.installStaticMobileconfig();
                log("[RavAvizaLoginHelper] RavAviza tovik type 2");
            }
            finish();
        });
}

}  // namespace hux
