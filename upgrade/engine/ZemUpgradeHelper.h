// Perrow's upgrade engine: reads the daemon's upgrade order, fetches and parses the manifest,
// applies the version rule, fetches and checks the package, rewrites the server list from the
// package address, runs the installer and checks the installed version. It also keeps a fetched
// package with its record for a later install and installs such a kept package.
//
// Every flow and step runs on the calling thread and returns its outcome; the app runs them on
// its work queue and does its own ending when they return.
#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "AppModuleModel.h"
#include "UpgradeRequest.h"
#include "platform/archive/Value.h"

// Where the engine works and what it runs; the defaults come from the product's path table.
struct UpgradeEnvironment {
    std::string rootDirectory;  // the upgrade folder D
    std::string installerPath;  // the `installer` stand-in
    std::string dpkgQueryPath = "/usr/bin/dpkg-query";
    std::string packageName = "ravaviza";  // the product's package, whose version dpkg records
    std::chrono::milliseconds installerDeadline{std::chrono::minutes(30)};
    UpgradeRequestLimits requestLimits;
    // The signed-in console user's name; nothing or empty when nobody is signed in.
    std::function<std::optional<std::string>()> consoleUser;

    static UpgradeEnvironment defaults();
};

// How a flow ended.
enum class UpgradeOutcome {
    NoOrder,         // no data, not JSON, or type 3
    NoUser,          // a download-only order of type 5 or 6 with nobody at the console
    ManifestFailed,  // manifest not fetched or not parsed
    LocalIsNewer,    // version rule: the local app is newer and the manifest's line is too old
    FetchFailed,     // no item, unsafe name or version, download or checksum failed
    PackageKept,     // fetched and left in the upgrade folder (download-only, or not to be installed)
    Installed,       // installed and the installed version is the manifest's
    InstallFailed,   // the installer failed or the installed version is not the manifest's
};

class ZemUpgradeHelper {
  public:
    using StepBlock = std::function<void(bool, const std::string&)>;
    static constexpr const char* kDefaultLocalVersion = "5.0.1.100";

    static ZemUpgradeHelper& sharedInstance();
    explicit ZemUpgradeHelper(UpgradeEnvironment environment);

    // Flows.
    UpgradeOutcome startDownloadXMLAndUpgrade(const std::optional<std::string>& orderData);
    UpgradeOutcome startDownloadAndNotInstall(const std::optional<std::string>& orderData);
    // Installs the package kept by the download-only flow; log lines carry "[UpgradeForceFromTip]".
    bool installKeptPackage();

    // Steps.
    std::optional<nlohmann::json> startDownloadXML(const std::optional<std::string>& url);
    std::optional<nlohmann::json> startDownloadUpgradeXML(const std::optional<std::string>& url);
    std::optional<nlohmann::json> startParseXML(const std::string& data);
    std::optional<std::string> startDownloadPKG(const AppModuleModel& record);
    std::optional<std::string> startDownloadUpgradePKG(const AppModuleModel& record);
    // The single item of the manifest, with its update record added to *records (the stored
    // records first); nothing, outs untouched, when "updates" does not hold exactly one item.
    std::optional<nlohmann::json> parseUpgradeXMLToLocal(const nlohmann::json& manifest,
                                                         archive::Dictionary* records, bool* isUpgrade,
                                                         int32_t uptype);
    bool saveUpgradeInfoToLocal(const archive::Dictionary* records);
    void removeUpgradeInfoFromLocal();
    std::string localZemVersion();
    // Rewrites .ZemConfig from the list in the package address; keeps it when there is no valid list.
    void updateServersConfig(const std::optional<std::string>& downUrl);
    bool startRunUpgradeApp(const AppModuleModel& record, const std::string& path);
    bool checkInstallResult(const std::optional<std::string>& version);
    bool postNotification(const AppModuleModel& record);

    // The package's path in the upgrade folder; nothing when its name or version is unsafe.
    std::optional<std::string> packagePath(const AppModuleModel& record) const;
    std::string upgradeInfoFile() const;  // D/zemupdate.plist
    std::string upgradeDataFile() const;  // D/ZemUpgrade.data
    const UpgradeEnvironment& environment() const { return env_; }

    // Progress callbacks of the window; unset ones are skipped.
    StepBlock DownloadXMLBlock, ParseXMLBlock, DownloadZemBlock, UpgradeResultBlock;

    // The daemon's upgrade order: type, manifest address, description and wait; nothing when the
    // data is not a JSON object.
    struct Order {
        int32_t type = 0;
        std::optional<std::string> url, des;
        int64_t wait = 0;
    };
    static std::optional<Order> parseOrder(const std::optional<std::string>& data);

  private:
    std::optional<std::string> fetchPackage(const AppModuleModel& record, bool window);
    std::optional<std::string> installedVersion();
    static void report(const StepBlock& block, bool ok, const std::string& message);

    UpgradeEnvironment env_;
};
