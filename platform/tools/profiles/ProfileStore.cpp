#include "ProfileStore.h"

#include <dirent.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "platform/archive/Plist.h"
#include "platform/archive/Value.h"
#include "platform/core/FileIO.h"
#include "platform/core/LineText.h"
#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"

namespace profiles {

namespace {

using archive::Array;
using archive::Dictionary;
using archive::Value;

constexpr size_t kMaxProfileBytes = 1u << 20;
constexpr size_t kMaxKeyfileBytes = 256u << 10;
constexpr const char* kTagKey = "com.velmora.profile";
constexpr const char* kKeyfilePrefix = "ravaviza-";

std::string text(const Value* v) {
    return v && v->string() ? *v->string() : std::string();
}

// A string value as a keyfile line holds it, or nothing when the keyfile cannot hold it: a value
// must be one line of text (linetext::lineSafe), a backslash is doubled and leading blanks are
// written as "\s", since the reader drops blanks after the '='. asSsid adds NetworkManager's own
// escape of ';', without which "1;2;" would read as a list of bytes.
std::optional<std::string> keyfileValue(std::string_view value, bool asSsid = false) {
    if (!linetext::lineSafe(value)) return std::nullopt;
    std::string out;
    bool leading = true;
    for (char c : value) {
        leading = leading && c == ' ';
        if (leading) {
            out += "\\s";
            continue;
        }
        if (c == '\\') out += '\\';
        if (c == ';' && asSsid) out += "\\\\";
        out += c;
    }
    return out;
}

// A DER certificate as PEM text; empty when the data is not a certificate.
std::string pem(const archive::Data& der) {
    const unsigned char* p = der.data();
    std::unique_ptr<X509, decltype(&X509_free)> cert(d2i_X509(nullptr, &p, static_cast<long>(der.size())),
                                                     X509_free);
    if (!cert) return {};
    std::unique_ptr<BIO, decltype(&BIO_free)> bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!bio || PEM_write_bio_X509(bio.get(), cert.get()) != 1) return {};
    char* data = nullptr;
    long length = BIO_get_mem_data(bio.get(), &data);
    return length > 0 ? std::string(data, static_cast<size_t>(length)) : std::string();
}

bool writeData(const std::string& path, const archive::Data& content, mode_t mode) {
    return fileio::writeFileAtomically(path, content, mode);
}

// The keyfiles tagged with identifier.
std::vector<std::string> taggedKeyfiles(const std::string& identifier) {
    std::vector<std::string> found;
    DIR* dir = ::opendir(connectionsFolder().c_str());
    if (dir == nullptr) return found;
    const std::string tag = std::string(kTagKey) + "=" + identifier;
    while (dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (!name.starts_with(kKeyfilePrefix)) continue;
        std::string path = connectionsFolder() + "/" + name;
        auto bytes = fileio::readUserFile(path, 0, kMaxKeyfileBytes);
        if (!bytes) continue;
        std::string content(bytes->begin(), bytes->end());
        size_t at = content.find("\n" + tag + "\n");
        if (at != std::string::npos) found.push_back(path);
    }
    ::closedir(dir);
    return found;
}

// NetworkManager's command-line client, when the machine has one.
std::optional<std::string> nmcliPath() {
    struct stat st {};
    for (const char* nmcli : {"/usr/bin/nmcli", "/bin/nmcli"}) {
        if (::stat(nmcli, &st) == 0 && S_ISREG(st.st_mode)) return std::string(nmcli);
    }
    return std::nullopt;
}

spawn::RunResult runNmcli(const std::string& nmcli, std::vector<std::string> arguments,
                          std::string input = {}) {
    spawn::Options o;
    o.program = nmcli;
    o.argv = {nmcli};
    o.argv.insert(o.argv.end(), arguments.begin(), arguments.end());
    o.environment = std::vector<std::string>{"LC_ALL=C", "PATH=/usr/sbin:/usr/bin:/sbin:/bin"};
    o.grouping = spawn::Grouping::OwnGroup;
    spawn::RunLimits limits;
    limits.input = std::move(input);
    limits.deadline = std::chrono::seconds(10);
    limits.maxStreamBytes = 64u << 10;
    return spawn::run(std::move(o), limits);
}

// NetworkManager's client when it has the offline mode that checks keyfiles (older ones do not).
std::optional<std::string> offlineNmcli() {
    std::optional<std::string> nmcli = nmcliPath();
    if (!nmcli) return std::nullopt;
    spawn::RunResult probe = runNmcli(*nmcli, {"--offline", "--version"});
    if (!probe.waitStatus || spawn::exitStatusFromWait(*probe.waitStatus) != 0) return std::nullopt;
    return nmcli;
}

// Why NetworkManager would refuse the connection in keyfile: its client reads the keyfile
// offline and checks it as the daemon would. Empty when it accepts it or the machine has no
// client with that mode.
std::string networkManagerRefusal(const std::string& keyfile) {
    static const std::optional<std::string> nmcli = offlineNmcli();
    if (!nmcli) return {};
    spawn::RunResult run = runNmcli(*nmcli, {"--offline", "connection", "modify"}, keyfile);
    if (!run.started()) return "cannot run " + *nmcli + ": " + std::strerror(run.spawnError);
    if (run.timedOut) return "the check did not finish in time";
    if (run.waitStatus && spawn::exitStatusFromWait(*run.waitStatus) == 0) return {};
    std::string reason = run.error.empty() ? run.output : run.error;
    while (!reason.empty() && std::isspace(static_cast<unsigned char>(reason.back()))) reason.pop_back();
    return reason.empty() ? "the check failed" : reason;
}

// Asks a running NetworkManager to read its keyfiles again (only on the real root).
void reloadConnections() {
    if (!paths::root().empty()) return;
    if (std::optional<std::string> nmcli = nmcliPath()) runNmcli(*nmcli, {"connection", "reload"});
}

// A file the install writes, with its whole content.
struct PlannedFile {
    std::string path;
    archive::Data content;
};

// What an earlier install of an identifier left: its keyfiles' contents and whether its folder
// was moved aside.
struct Previous {
    std::vector<PlannedFile> keyfiles;
    bool hadFolder = false;
};

std::string asideFolder(const std::string& identifier) {
    return profilesFolder() + "/.previous-" + identifier;
}

bool setAside(const std::string& identifier, Previous& previous) {
    for (const std::string& path : taggedKeyfiles(identifier)) {
        auto bytes = fileio::readUserFile(path, 0, kMaxKeyfileBytes);
        if (!bytes) return false;
        previous.keyfiles.push_back({path, std::move(*bytes)});
    }
    const std::string folder = profilesFolder() + "/" + identifier;
    std::error_code ec;
    std::filesystem::remove_all(asideFolder(identifier), ec);
    if (std::filesystem::is_directory(std::filesystem::symlink_status(folder, ec))) {
        if (::rename(folder.c_str(), asideFolder(identifier).c_str()) != 0) return false;
        previous.hadFolder = true;
    }
    return true;
}

// Puts the earlier install back as it was.
void restore(const std::string& identifier, const Previous& previous) {
    const std::string folder = profilesFolder() + "/" + identifier;
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
    if (previous.hadFolder) ::rename(asideFolder(identifier).c_str(), folder.c_str());
    for (const PlannedFile& f : previous.keyfiles) writeData(f.path, f.content, 0600);
}

// Drops the earlier install once the new one is in place: its keyfiles the new one did not
// replace, and its folder.
void discard(const std::string& identifier, const Previous& previous, const std::vector<std::string>& kept) {
    for (const PlannedFile& f : previous.keyfiles) {
        if (std::find(kept.begin(), kept.end(), f.path) == kept.end()) ::unlink(f.path.c_str());
    }
    std::error_code ec;
    std::filesystem::remove_all(asideFolder(identifier), ec);
}

}  // namespace

std::string connectionsFolder() {
    return paths::under("/etc/NetworkManager/system-connections");
}

std::string profilesFolder() {
    return paths::under("/var/lib/ravaviza/profiles");
}

bool validIdentifier(const std::string& id) {
    if (id.empty() || id.size() > 200 || id[0] == '.') return false;
    for (unsigned char c : id) {
        if (!(std::isalnum(c) || c == '.' || c == '_' || c == '-')) return false;
    }
    return true;
}

Outcome removeProfile(const std::string& identifier) {
    if (!validIdentifier(identifier)) return {false, "profiles: not a profile identifier"};
    std::vector<std::string> keyfiles = taggedKeyfiles(identifier);
    const std::string folder = profilesFolder() + "/" + identifier;
    std::error_code ec;
    const bool hadFolder = std::filesystem::is_directory(std::filesystem::symlink_status(folder, ec));
    if (keyfiles.empty() && !hadFolder) {
        return {false, "profiles: no profile installed with identifier " + identifier};
    }
    for (const std::string& path : keyfiles) ::unlink(path.c_str());
    if (hadFolder) std::filesystem::remove_all(folder, ec);
    std::filesystem::remove_all(asideFolder(identifier), ec);
    reloadConnections();
    return {true, {}};
}

Outcome installProfile(const std::string& path) {
    std::string error;
    auto bytes = fileio::readUserFile(path, std::nullopt, kMaxProfileBytes);
    if (!bytes) return {false, "profiles: cannot read " + path};
    std::optional<Value> plist = archive::parsePlist(*bytes, &error);
    if (!plist || !plist->dictionary()) return {false, "profiles: not a configuration profile: " + error};
    const std::string identifier = text(plist->find("PayloadIdentifier"));
    if (!validIdentifier(identifier)) return {false, "profiles: the profile has no usable PayloadIdentifier"};
    const Value* content = plist->find("PayloadContent");
    if (!content || !content->array()) return {false, "profiles: the profile has no PayloadContent"};

    // Certificates and identities by PayloadUUID, then the Wi-Fi payloads that refer to them.
    std::map<std::string, std::string> anchors;
    std::map<std::string, std::pair<archive::Data, std::string>> identities;
    std::vector<const Value*> wifi;
    for (const Value& payload : *content->array()) {
        const std::string type = text(payload.find("PayloadType"));
        const std::string uuid = text(payload.find("PayloadUUID"));
        const Value* data = payload.find("PayloadContent");
        if (type == "com.apple.wifi.managed" || type == "com.apple.firstactiveethernet.managed" ||
            type == "com.apple.globalethernet.managed") {
            wifi.push_back(&payload);
        } else if (data && data->data() && validIdentifier(uuid)) {
            if (type == "com.apple.security.pkcs12") {
                identities[uuid] = {*data->data(), text(payload.find("Password"))};
            } else if (std::string text = pem(*data->data()); !text.empty()) {
                anchors[uuid] = std::move(text);
            }
        }
    }
    if (wifi.empty()) return {false, "profiles: the profile has no Wi-Fi payload"};

    // Everything the install writes is made and checked first, so a refused payload leaves
    // the machine as it was.
    const std::string folder = profilesFolder() + "/" + identifier;
    std::vector<PlannedFile> files;     // inside the profile's folder
    std::vector<PlannedFile> keyfiles;  // in the connections folder
    int index = 0;
    for (const Value* payload : wifi) {
        // Wired 802.1X payloads become Ethernet connections; the rest are Wi-Fi networks. Every
        // value from the profile passes keyfileValue before it is written: one it refuses refuses
        // the whole profile, except the display name, which has a fallback.
        const bool wired = text(payload->find("PayloadType")) != "com.apple.wifi.managed";
        const std::string ssid = text(payload->find("SSID_STR"));
        const std::optional<std::string> ssidValue = keyfileValue(ssid);
        if (!wired && (ssid.empty() || ssid.size() > 32 || !ssidValue)) {
            return {false, "profiles: unusable SSID"};
        }
        std::string display = text(payload->find("PayloadDisplayName"));
        if (display.empty() || !linetext::lineSafe(display))
            display = wired ? "Ethernet" : "WiFi (" + ssid + ")";
        const std::string displayValue = keyfileValue(display).value_or("Ethernet");

        std::string caPem;
        if (const Value* eap = payload->find("EAPClientConfiguration")) {
            if (const Value* list = eap->find("PayloadCertificateAnchorUUID"); list && list->array()) {
                for (const Value& u : *list->array()) {
                    if (auto it = anchors.find(text(&u)); it != anchors.end()) caPem += it->second;
                }
            }
        }
        // A user name and password for PEAP or TTLS where the payload carries them and names no
        // client identity; otherwise EAP-TLS with the identity.
        const Value* eap = payload->find("EAPClientConfiguration");
        const std::string userName = eap ? text(eap->find("UserName")) : std::string();
        const std::string userPassword = eap ? text(eap->find("UserPassword")) : std::string();
        std::string method;
        if (const Value* types = eap ? eap->find("AcceptEAPTypes") : nullptr; types && types->array()) {
            for (const Value& t : *types->array()) {
                if (t.integer() == 25 && method.empty()) method = "peap";
                if (t.integer() == 21 && method.empty()) method = "ttls";
            }
        }
        const bool withPassword =
            !method.empty() && !userName.empty() &&
            identities.find(text(payload->find("PayloadCertificateUUID"))) == identities.end();
        std::string eapSection = "[802-1x]\neap=tls;\n";
        if (withPassword) {
            const std::optional<std::string> identityValue = keyfileValue(userName);
            const std::optional<std::string> passwordValue = keyfileValue(userPassword);
            if (!identityValue || !passwordValue) return {false, "profiles: unusable credentials"};
            std::string inner = eap ? text(eap->find("TTLSInnerAuthentication")) : std::string();
            for (char& c : inner) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            if (inner != "pap" && inner != "chap" && inner != "mschap") inner = "mschapv2";
            eapSection = "[802-1x]\neap=" + method + ";\nidentity=" + *identityValue +
                         "\npassword=" + *passwordValue + "\nphase2-auth=" + inner + "\n";
        }
        std::string keyfile =
            wired ? "[connection]\nid=" + displayValue + "\ntype=ethernet\n\n[ethernet]\n\n" + eapSection
                  : "[connection]\nid=" + displayValue +
                        "\ntype=wifi\n\n[wifi]\nmode=infrastructure\nssid=" + *keyfileValue(ssid, true) +
                        "\n\n[wifi-security]\nkey-mgmt=wpa-eap\n\n" + eapSection;
        if (!caPem.empty()) {
            const std::string caPath = folder + "/ca-" + std::to_string(index) + ".pem";
            const std::optional<std::string> caValue = keyfileValue(caPath);
            if (!caValue) return {false, "profiles: unusable certificate path " + caPath};
            files.push_back({caPath, archive::Data(caPem.begin(), caPem.end())});
            keyfile += "ca-cert=" + *caValue + "\n";
        }
        const std::string idUuid = text(payload->find("PayloadCertificateUUID"));
        if (auto it = identities.find(idUuid); it != identities.end()) {
            const std::string p12 = folder + "/" + idUuid + ".p12";
            const std::optional<std::string> p12Value = keyfileValue(p12);
            if (!p12Value) return {false, "profiles: unusable certificate path " + p12};
            // The identity is the SSID, so a wired payload's SSID_STR is written here too.
            if (!ssidValue) return {false, "profiles: unusable SSID"};
            files.push_back({p12, it->second.first});
            keyfile +=
                "identity=" + *ssidValue + "\nclient-cert=" + *p12Value + "\nprivate-key=" + *p12Value + "\n";
            // A password the keyfile cannot hold is refused rather than left out: without it the
            // connection could not open its own key.
            const std::optional<std::string> keyPassword = keyfileValue(it->second.second);
            if (!keyPassword) return {false, "profiles: unusable identity password"};
            keyfile += "private-key-password=" + *keyPassword + "\n";
        }
        keyfile += "\n[ipv4]\nmethod=auto\n\n[ipv6]\nmethod=auto\n\n[user]\n" + std::string(kTagKey) + "=" +
                   identifier + "\n";
        if (std::string refusal = networkManagerRefusal(keyfile); !refusal.empty()) {
            return {false, "profiles: NetworkManager refuses the connection for " +
                               (wired ? std::string("the wired network") : "SSID " + ssid) + ": " + refusal};
        }
        keyfiles.push_back({connectionsFolder() + "/" + kKeyfilePrefix + identifier + "-" +
                                std::to_string(index) + ".nmconnection",
                            archive::Data(keyfile.begin(), keyfile.end())});
        ++index;
    }
    files.push_back({folder + "/profile.mobileconfig", *bytes});

    // The earlier install of this identifier is set aside and comes back if anything fails.
    Previous previous;
    if (!setAside(identifier, previous)) return {false, "profiles: cannot set aside the installed profile"};
    std::string failure;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    std::filesystem::create_directories(connectionsFolder(), ec);
    ::chmod(folder.c_str(), 0700);
    std::vector<std::string> written;
    for (const auto* list : {&files, &keyfiles}) {
        for (const PlannedFile& f : *list) {
            if (!failure.empty()) break;
            if (!writeData(f.path, f.content, 0600)) {
                failure = "profiles: cannot write " + f.path;
            } else if (list == &keyfiles) {
                written.push_back(f.path);
            }
        }
    }
    if (!failure.empty()) {
        for (const std::string& p : written) ::unlink(p.c_str());
        restore(identifier, previous);
        return {false, failure};
    }
    discard(identifier, previous, written);
    reloadConnections();
    return {true, {}};
}

}  // namespace profiles
