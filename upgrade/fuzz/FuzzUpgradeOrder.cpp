// Feeds arbitrary upgrade orders and manifests to the root upgrade app's reading of them, at the
// app's limits: the 1 MiB the manifest download keeps, parsed with the XML parser's production
// caps (16 MiB, depth 256, 1 M elements). From the manifest's one item it takes the package path,
// the version rule and the server list of the package address, as a flow does.
//
// Input: byte 0 even: the rest is an order (JSON); odd: the rest is a manifest (XML).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <string>

#include "upgrade/engine/UpgradeRules.h"
#include "upgrade/engine/ZemUpgradeHelper.h"

namespace {

int sign(int v) {
    return (v > 0) - (v < 0);
}

// An engine in a temporary folder (no stored records), with the process log there too.
ZemUpgradeHelper& engine() {
    static ZemUpgradeHelper* helper = [] {
        char dir[] = "/tmp/fuzz-upgrade-XXXXXX";
        if (!::mkdtemp(dir)) __builtin_trap();
        ::setenv("RAVAVIZA_ROOT", dir, 1);
        static std::string root = dir;
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(root, ec);
        });
        UpgradeEnvironment env;
        env.rootDirectory = root + "/upgrade";
        std::filesystem::create_directories(env.rootDirectory);
        return new ZemUpgradeHelper(env);
    }();
    return *helper;
}

void checkOrder(const std::string& text) {
    auto order = ZemUpgradeHelper::parseOrder(text);
    const nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
    if (order.has_value() != (!text.empty() && !json.is_discarded() && json.is_object())) __builtin_trap();
    if (order && (order->wait < INT32_MIN || order->wait > INT32_MAX)) __builtin_trap();
}

void checkVersions(const std::string& a, const std::string& b) {
    const int ab = upgraderules::compareVersions(a, b), ba = upgraderules::compareVersions(b, a);
    if (sign(ab) != -sign(ba) || upgraderules::compareVersions(a, a) != 0) __builtin_trap();
    (void)upgraderules::versionRule(a, b);
}

void checkServerList(const std::string& url) {
    const upgraderules::ServerList list = upgraderules::serverListFromUrl(url);
    if (list.status != upgraderules::ServerListStatus::Ok) {
        if (!list.entries.empty() && list.status == upgraderules::ServerListStatus::None) __builtin_trap();
        return;
    }
    if (list.entries.empty()) __builtin_trap();
    for (const auto& e : list.entries) {
        if (e.host.empty() || e.port.empty() || e.port.size() > 5) __builtin_trap();
        for (char c : e.port) {
            if (c < '0' || c > '9') __builtin_trap();
        }
        if (std::stoul(e.port) > 65535) __builtin_trap();
    }
}

void checkManifest(const std::string& text) {
    ZemUpgradeHelper& helper = engine();
    auto manifest = helper.startParseXML(text);
    if (!manifest) return;
    archive::Dictionary records;
    bool isUpgrade = false;
    auto item = helper.parseUpgradeXMLToLocal(*manifest, &records, &isUpgrade, 1);
    if (!item) return;
    const AppModuleModel record = AppModuleModel::initWithData(*item);
    if (auto path = helper.packagePath(record)) {
        // One file directly in the upgrade folder, named by the item.
        const std::string& root = helper.environment().rootDirectory;
        if (path->compare(0, root.size() + 1, root + "/") != 0) __builtin_trap();
        const std::string name = path->substr(root.size() + 1);
        if (name.find('/') != std::string::npos || name.find("..") != std::string::npos) __builtin_trap();
        if (name != *record.appName + "_" + *record.version + ".pkg") __builtin_trap();
    }
    const std::string version = record.version.value_or("");
    checkVersions(version, ZemUpgradeHelper::kDefaultLocalVersion);
    if (record.name) checkVersions(version, *record.name);
    if (record.downUrl) checkServerList(*record.downUrl);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // What the manifest download keeps; an order arrives in a message of the same cap.
    if (size < 1 || size - 1 > (1u << 20)) return 0;
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] & 1) {
        checkManifest(text);
    } else {
        checkOrder(text);
    }
    return 0;
}
