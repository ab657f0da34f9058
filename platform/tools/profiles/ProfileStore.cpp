#include "ProfileStore.h"

#include <dirent.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "platform/archive/Plist.h"
#include "platform/archive/Value.h"
#include "platform/core/FileIO.h"
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

// A value written into a keyfile: one line, no control characters.
bool keyfileSafe(const std::string& s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7f) return false;
    }
    return true;
}

std::string keyfileEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        if (c == '\\') out += '\\';
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

bool writeFile(const std::string& path, const std::string& content, mode_t mode) {
    return fileio::writeFileAtomically(path, content, mode);
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

// Asks a running NetworkManager to read its keyfiles again (only on the real root).
void reloadConnections() {
    if (!paths::root().empty()) return;
    struct stat st {};
    for (const char* nmcli : {"/usr/bin/nmcli", "/bin/nmcli"}) {
        if (::stat(nmcli, &st) != 0) continue;
        spawn::Options o;
        o.program = nmcli;
        o.argv = {nmcli, "connection", "reload"};
        o.grouping = spawn::Grouping::OwnGroup;
        spawn::RunLimits limits;
        limits.deadline = std::chrono::seconds(10);
        limits.maxStreamBytes = 64u << 10;
        spawn::run(std::move(o), limits);
        return;
    }
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
        if (type == "com.apple.wifi.managed") {
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

    // Replace what an earlier install of this identifier made.
    if (!taggedKeyfiles(identifier).empty() || std::filesystem::exists(profilesFolder() + "/" + identifier)) {
        removeProfile(identifier);
    }
    const std::string folder = profilesFolder() + "/" + identifier;
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    std::filesystem::create_directories(connectionsFolder(), ec);
    ::chmod(folder.c_str(), 0700);

    int index = 0;
    for (const Value* payload : wifi) {
        const std::string ssid = text(payload->find("SSID_STR"));
        if (ssid.empty() || ssid.size() > 32 || !keyfileSafe(ssid)) return {false, "profiles: unusable SSID"};
        std::string display = text(payload->find("PayloadDisplayName"));
        if (display.empty() || !keyfileSafe(display)) display = "WiFi (" + ssid + ")";

        std::string caPem;
        if (const Value* eap = payload->find("EAPClientConfiguration")) {
            if (const Value* list = eap->find("PayloadCertificateAnchorUUID"); list && list->array()) {
                for (const Value& u : *list->array()) {
                    if (auto it = anchors.find(text(&u)); it != anchors.end()) caPem += it->second;
                }
            }
        }
        std::string keyfile = "[connection]\nid=" + keyfileEscape(display) +
                              "\ntype=wifi\n\n[wifi]\nmode=infrastructure\nssid=" + keyfileEscape(ssid) +
                              "\n\n[wifi-security]\nkey-mgmt=wpa-eap\n\n[802-1x]\neap=tls;\n";
        if (!caPem.empty()) {
            const std::string caPath = folder + "/ca-" + std::to_string(index) + ".pem";
            if (!writeFile(caPath, caPem, 0600)) return {false, "profiles: cannot write " + caPath};
            keyfile += "ca-cert=" + caPath + "\n";
        }
        const std::string idUuid = text(payload->find("PayloadCertificateUUID"));
        if (auto it = identities.find(idUuid); it != identities.end()) {
            const std::string p12 = folder + "/" + idUuid + ".p12";
            if (!writeData(p12, it->second.first, 0600)) return {false, "profiles: cannot write " + p12};
            keyfile +=
                "identity=" + keyfileEscape(ssid) + "\nclient-cert=" + p12 + "\nprivate-key=" + p12 + "\n";
            if (keyfileSafe(it->second.second)) {
                keyfile += "private-key-password=" + keyfileEscape(it->second.second) + "\n";
            }
        }
        keyfile += "\n[ipv4]\nmethod=auto\n\n[ipv6]\nmethod=auto\n\n[user]\n" + std::string(kTagKey) + "=" +
                   identifier + "\n";
        const std::string path = connectionsFolder() + "/" + kKeyfilePrefix + identifier + "-" +
                                 std::to_string(index) + ".nmconnection";
        if (!writeFile(path, keyfile, 0600)) return {false, "profiles: cannot write " + path};
        ++index;
    }
    writeData(folder + "/profile.mobileconfig", *bytes, 0600);
    reloadConnections();
    return {true, {}};
}

}  // namespace profiles
