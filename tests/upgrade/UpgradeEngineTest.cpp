// The engine's flows end to end: a loopback HTTP server serves the manifest and real .deb
// packages, the `installer` stand-in installs them with dpkg into a temporary root, and the files
// the engine leaves are read back with Python's plistlib.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <vector>

#include "tests/support/PortServer.h"
#include "tests/support/TestFiles.h"
#include "UpgradeFixture.h"
#include "platform/archive/KeyedArchive.h"
#include "framework/encoding/MD5.h"
#include "upgrade/engine/ZemUpgradeHelper.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"

extern char** environ;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using namespace upgradetest;

class UpgradeEngineTest : public UpgradeFixture {};

TEST_F(UpgradeEngineTest, SilentFlowInstallsNewerPackageAndRewritesServers) {
    buildPackage("old.deb", "5.1.80");
    installDirectly("old.deb");
    ASSERT_EQ(helper_->localZemVersion(), "5.1.80");
    // 5.1.100 is newer than 5.1.80 by number, though it sorts before it as text.
    std::string md5 = buildPackage("Hux.deb", "5.1.100");
    writeManifest(itemXml("Hux.pkg", "5.1.100",
                          server_->url("/Hux.deb?(127.0.0.5_8443,10.0.0.2_9090,dom.example_443)"), md5));

    EXPECT_EQ(helper_->startDownloadXMLAndUpgrade(order(2)), UpgradeOutcome::Installed);
    EXPECT_EQ(installedVersion(), "5.1.100");
    EXPECT_EQ(testsupport::readText(root_ / "Applications/Hux/Hux.app/Contents/version"), "5.1.100\n");
    EXPECT_FALSE(fs::exists(pkgPath("Hux", "5.1.100")));  // installed packages are removed
    EXPECT_TRUE(strayFiles({}).empty());
    EXPECT_EQ(server_->requests("/Hux.deb"), 1);

    nlohmann::json servers = plistAsJson(paths::serverConfigFile());
    EXPECT_EQ(servers,
              nlohmann::json::parse(R"([["127.0.0.5","8443"],["10.0.0.2","9090"],["dom.example","443"]])"));
}

TEST_F(UpgradeEngineTest, DownloadOnlyKeepsPackageAndRecordForLaterInstall) {
    buildPackage("old.deb", "5.1.80");
    installDirectly("old.deb");
    std::string md5 = buildPackage("Hux.deb", "5.1.90");
    // Upper-case checksum: compared without regard to case.
    std::string upper = md5;
    for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    writeManifest(itemXml("Hux.pkg", "5.1.90", server_->url("/Hux.deb"), upper));

    EXPECT_EQ(helper_->startDownloadAndNotInstall(order(5)), UpgradeOutcome::PackageKept);
    EXPECT_EQ(installedVersion(), "5.1.80");
    ASSERT_TRUE(fs::exists(pkgPath("Hux", "5.1.90")));
    EXPECT_EQ(md5Of(pkgPath("Hux", "5.1.90")), md5);
    EXPECT_TRUE(capturedLog().contains("start post notificaton to zem ...info: Hux 5"));

    nlohmann::json records = plistAsJson(helper_->upgradeInfoFile());
    EXPECT_EQ(records, nlohmann::json::parse(R"({"[Hux_5.1.90_5]": {"name": "Hux", "version": "5.1.90"}})"));
    nlohmann::json record = plistAsJson(helper_->upgradeDataFile());
    EXPECT_EQ(record["$class"], "AppModuleModel");
    EXPECT_EQ(record["name"], "Hux.pkg");
    EXPECT_EQ(record["appName"], "Hux");
    EXPECT_EQ(record["version"], "5.1.90");
    EXPECT_EQ(record["md5"], upper);
    EXPECT_EQ(record["downUrl"], server_->url("/Hux.deb"));
    EXPECT_EQ(record["des"], "fixes");
    EXPECT_EQ(record["upgradeType"], 5);
    EXPECT_EQ(record["waitTime"], 30);
    EXPECT_FALSE(record.contains("runAuthority"));

    // The same order again finds the kept package and fetches nothing.
    EXPECT_EQ(helper_->startDownloadAndNotInstall(order(5)), UpgradeOutcome::PackageKept);
    EXPECT_EQ(server_->requests("/Hux.deb"), 1);

    EXPECT_TRUE(helper_->installKeptPackage());
    EXPECT_TRUE(capturedLog().contains("[UpgradeForceFromTip]upgrade success"));
    EXPECT_EQ(installedVersion(), "5.1.90");
    EXPECT_FALSE(fs::exists(pkgPath("Hux", "5.1.90")));
    EXPECT_TRUE(fs::exists(helper_->upgradeDataFile()));  // the record stays
}

TEST_F(UpgradeEngineTest, MismatchingKeptPackageIsReplacedByAFreshDownload) {
    std::string md5 = buildPackage("Hux.deb", "5.2.0");
    writeManifest(itemXml("Hux.pkg", "5.2.0", server_->url("/Hux.deb"), md5));
    std::ofstream(pkgPath("Hux", "5.2.0")) << "stale bytes";

    EXPECT_EQ(helper_->startDownloadAndNotInstall(order(1)), UpgradeOutcome::PackageKept);
    EXPECT_TRUE(capturedLog().contains("[startDownloadPKG]pkg's md5 is not equal app's md5, so remove"));
    EXPECT_EQ(server_->requests("/Hux.deb"), 1);
    EXPECT_EQ(md5Of(pkgPath("Hux", "5.2.0")), md5);

    // A kept package altered after its download is not installed.
    std::ofstream(pkgPath("Hux", "5.2.0"), std::ios::app) << "tampered";
    EXPECT_FALSE(helper_->installKeptPackage());
    EXPECT_TRUE(capturedLog().contains("[UpgradeForceFromTip]pkg's md5 is not equal app's md5"));
    EXPECT_EQ(installedVersion(), "");
}

TEST_F(UpgradeEngineTest, PackageFailingItsChecksumStaysUntilTheNextFetch) {
    buildPackage("old.deb", "5.1.80");
    installDirectly("old.deb");
    std::string md5 = buildPackage("Hux.deb", "5.1.90");
    std::ofstream(served_ / "corrupt.deb") << "not the package";
    writeManifest(itemXml("Hux.pkg", "5.1.90", server_->url("/corrupt.deb"), md5));

    EXPECT_EQ(helper_->startDownloadXMLAndUpgrade(order(1)), UpgradeOutcome::FetchFailed);
    EXPECT_TRUE(capturedLog().contains("[startDownloadPKG]pkg's md5 is not equal app's md5"));
    EXPECT_FALSE(capturedLog().contains("download pkg success"));
    EXPECT_EQ(testsupport::readText(pkgPath("Hux", "5.1.90")), "not the package");
    EXPECT_EQ(installedVersion(), "5.1.80");

    // The window's fetch keeps it too, and reports the package as faulty.
    std::vector<std::pair<bool, std::string>> steps;
    helper_->DownloadZemBlock = [&](bool ok, const std::string& message) { steps.emplace_back(ok, message); };
    AppModuleModel record = AppModuleModel::initWithData(
        {{"name", "Hux.pkg"}, {"version", "5.1.90"}, {"url", server_->url("/corrupt.deb")}, {"md5", md5}});
    EXPECT_FALSE(helper_->startDownloadUpgradePKG(record));
    ASSERT_FALSE(steps.empty());
    EXPECT_EQ(steps.back(), std::make_pair(false, std::string("安装包异常")));
    EXPECT_EQ(testsupport::readText(pkgPath("Hux", "5.1.90")), "not the package");

    // The next fetch deletes it and downloads again.
    capturedLog().clear();
    writeManifest(itemXml("Hux.pkg", "5.1.90", server_->url("/Hux.deb"), md5));
    EXPECT_EQ(helper_->startDownloadXMLAndUpgrade(order(1)), UpgradeOutcome::Installed);
    EXPECT_TRUE(capturedLog().contains("[startDownloadPKG]pkg's md5 is not equal app's md5, so remove"));
    EXPECT_EQ(server_->requests("/Hux.deb"), 1);
    EXPECT_EQ(installedVersion(), "5.1.90");
}

TEST_F(UpgradeEngineTest, KeptPackageInstallNeedsItsRecord) {
    EXPECT_FALSE(helper_->installKeptPackage());
    EXPECT_TRUE(capturedLog().contains("[UpgradeForceFromTip]app data is not exist.."));

    // A record of another class is refused.
    archive::Object other{"OtherModel", {{"name", archive::Value("x")}}};
    ASSERT_TRUE(archive::archiveRootObjectToFile(archive::Value(other), helper_->upgradeDataFile()));
    EXPECT_FALSE(helper_->installKeptPackage());
    EXPECT_TRUE(capturedLog().contains("[UpgradeForceFromTip]app model is null or wrong type.."));

    // A record whose name would leave the upgrade folder names no package.
    AppModuleModel record;
    record.appName = "../../../../tmp/evil";
    record.version = "1";
    ASSERT_TRUE(archive::archiveRootObjectToFile(record.encode(), helper_->upgradeDataFile()));
    EXPECT_FALSE(helper_->installKeptPackage());
    EXPECT_TRUE(capturedLog().contains("[UpgradeForceFromTip]pkg is not exist.."));
}

TEST_F(UpgradeEngineTest, FailedInstallKeepsOldVersionAndDropsRecords) {
    buildPackage("old.deb", "5.1.80");
    installDirectly("old.deb");
    std::string md5 = buildPackage("bad.deb", "5.1.90", /*failing=*/true);
    writeManifest(itemXml("Hux.pkg", "5.1.90", server_->url("/bad.deb"), md5));
    std::ofstream(helper_->upgradeInfoFile()) << "<plist version=\"1.0\"><dict/></plist>";

    EXPECT_EQ(helper_->startDownloadXMLAndUpgrade(order(1)), UpgradeOutcome::InstallFailed);
    EXPECT_TRUE(capturedLog().contains("installer app failed."));
    EXPECT_TRUE(capturedLog().contains("[startDownloadXMLAndUpgrade]  install Zem failed "));
    EXPECT_EQ(installedVersion(), "5.1.80");
    EXPECT_FALSE(fs::exists(helper_->upgradeInfoFile()));
    EXPECT_TRUE(fs::exists(pkgPath("Hux", "5.1.90")));  // kept for a later try
}

TEST_F(UpgradeEngineTest, InstalledVersionMustBeTheManifests) {
    // The manifest says 5.1.95 but the package holds 5.1.85: installed, yet the check fails.
    std::string md5 = buildPackage("Hux.deb", "5.1.85");
    writeManifest(itemXml("Hux.pkg", "5.1.95", server_->url("/Hux.deb"), md5));
    EXPECT_EQ(helper_->startDownloadXMLAndUpgrade(order(1)), UpgradeOutcome::InstallFailed);
    EXPECT_EQ(installedVersion(), "5.1.85");
}

TEST_F(UpgradeEngineTest, VersionRuleDecidesRollbacks) {
    buildPackage("old.deb", "5.1.80");
    struct Case {
        const char* version;
        int type;
        const char* cmd;
        UpgradeOutcome outcome;
        const char* installedAfter;
        bool appsFolderRemoved;
    } cases[] = {
        {"5.1.69", 2, "", UpgradeOutcome::LocalIsNewer, "5.1.80", false},
        {"5.1.75", 1, "/S", UpgradeOutcome::PackageKept, "5.1.80", false},
        {"5.1.75", 2, "", UpgradeOutcome::Installed, "5.1.75", true},
        {"5.1.80", 1, "", UpgradeOutcome::Installed, "5.1.80", false},    // equal: installed again
        {"5.1.90", 4, "", UpgradeOutcome::PackageKept, "5.1.80", false},  // neither install type
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.version) + " type " + std::to_string(c.type));
        capturedLog().clear();
        installDirectly("old.deb");
        fs::create_directories(root_ / "Applications/RavAviza");
        std::string file = std::string("p") + c.version + ".deb";
        std::string md5 = buildPackage(file, c.version);
        std::string xml = itemXml("Hux.pkg", c.version, server_->url("/" + file), md5);
        xml.replace(xml.find("cmd=\"\""), 6, std::string("cmd=\"") + c.cmd + "\"");
        writeManifest(xml);
        int before = server_->requests("/" + file);
        EXPECT_EQ(helper_->startDownloadXMLAndUpgrade(order(c.type)), c.outcome);
        EXPECT_EQ(installedVersion(), c.installedAfter);
        EXPECT_EQ(!fs::exists(root_ / "Applications/RavAviza"), c.appsFolderRemoved);
        if (c.outcome == UpgradeOutcome::LocalIsNewer) {
            EXPECT_TRUE(capturedLog().contains("local upgrade recorde is lower 5.1.69"));
            EXPECT_EQ(server_->requests("/" + file), before);  // nothing fetched
        }
    }
}

TEST_F(UpgradeEngineTest, DownloadOnlyNeedsConsoleUserForTypesFiveAndSix) {
    std::string md5 = buildPackage("Hux.deb", "5.2.1");
    writeManifest(itemXml("Hux.pkg", "5.2.1", server_->url("/Hux.deb"), md5));
    for (auto user : {std::optional<std::string>{}, std::optional<std::string>{"\n"}}) {
        consoleUser_ = user;
        EXPECT_EQ(helper_->startDownloadAndNotInstall(order(5)), UpgradeOutcome::NoUser);
        EXPECT_EQ(helper_->startDownloadAndNotInstall(order(6)), UpgradeOutcome::NoUser);
    }
    EXPECT_EQ(server_->requests("/update.xml"), 0);
    EXPECT_EQ(helper_->startDownloadAndNotInstall(order(1)), UpgradeOutcome::PackageKept);
}

TEST_F(UpgradeEngineTest, RefusesBadOrdersAndManifests) {
    buildPackage("old.deb", "5.1.80");
    installDirectly("old.deb");
    std::string md5 = buildPackage("Hux.deb", "5.1.90");
    std::string url = server_->url("/Hux.deb");
    std::string huge(2u << 20, 'a');
    struct Case {
        const char* what;
        std::optional<std::string> order;  // nothing: order(1)
        std::string manifest;
        UpgradeOutcome outcome;
    } cases[] = {
        {"no data", std::string(), "", UpgradeOutcome::NoOrder},
        {"not JSON", std::string("{type:1"), "", UpgradeOutcome::NoOrder},
        {"JSON array", std::string("[1,2]"), "", UpgradeOutcome::NoOrder},
        {"type 3", nlohmann::json{{"type", 3}, {"url", server_->url("/update.xml")}}.dump(), "",
         UpgradeOutcome::NoOrder},
        {"type 3.0", std::string("{\"type\": 3.0}"), "", UpgradeOutcome::NoOrder},
        {"type out of range", std::string("{\"type\": 1e300, \"url\": 7}"), "",
         UpgradeOutcome::ManifestFailed},
        {"no url", nlohmann::json{{"type", 1}}.dump(), "", UpgradeOutcome::ManifestFailed},
        {"manifest redirected to file", order(1, "/redirect?to=file://" + (served_ / "update.xml").string()),
         itemXml("Hux.pkg", "5.1.90", url, md5), UpgradeOutcome::ManifestFailed},
        {"not XML", {}, "not xml at all", UpgradeOutcome::ManifestFailed},
        {"entity",
         {},
         "<!DOCTYPE u [<!ENTITY x \"5.1.90\">]><updates><item name=\"Hux.pkg\" version=\"&x;\" url=\"" + url +
             "\" md5=\"" + md5 + "\"/></updates>",
         UpgradeOutcome::ManifestFailed},
        {"huge attribute",
         {},
         itemXml("Hux.pkg", "5.1.90", url, md5, " junk=\"" + huge + "\""),
         UpgradeOutcome::ManifestFailed},
        {"no item", {}, "<updates></updates>", UpgradeOutcome::FetchFailed},
        {"several items",
         {},
         "<updates><item name=\"Hux.pkg\" version=\"5.1.90\" url=\"" + url + "\" md5=\"" + md5 +
             "\"/><item name=\"Hux.pkg\" version=\"5.1.90\" url=\"" + url + "\" md5=\"" + md5 +
             "\"/></updates>",
         UpgradeOutcome::FetchFailed},
        {"name leaves folder",
         {},
         itemXml("../../../../tmp/x.pkg", "5.1.90", url, md5),
         UpgradeOutcome::FetchFailed},
        {"version with shell", {}, itemXml("Hux.pkg", "5.1.90$(id)", url, md5), UpgradeOutcome::FetchFailed},
        {"wrong md5",
         {},
         itemXml("Hux.pkg", "5.1.90", url, std::string(32, '0')),
         UpgradeOutcome::FetchFailed},
        {"no md5", {}, itemXml("Hux.pkg", "5.1.90", url, ""), UpgradeOutcome::FetchFailed},
        {"redirect to file",
         {},
         itemXml("Hux.pkg", "5.1.90", server_->url("/redirect?to=file://" + (served_ / "Hux.deb").string()),
                 md5),
         UpgradeOutcome::FetchFailed},
        {"redirect to ftp",
         {},
         itemXml("Hux.pkg", "5.1.90", server_->url("/redirect?to=ftp://127.0.0.1/Hux.deb"), md5),
         UpgradeOutcome::FetchFailed},
        {"file url",
         {},
         itemXml("Hux.pkg", "5.1.90", "file://" + (served_ / "Hux.deb").string(), md5),
         UpgradeOutcome::FetchFailed},
        {"status 404",
         {},
         itemXml("Hux.pkg", "5.1.90", server_->url("/status/404"), md5),
         UpgradeOutcome::FetchFailed},
        {"truncated",
         {},
         itemXml("Hux.pkg", "5.1.90", server_->url("/truncated/Hux.deb"), md5),
         UpgradeOutcome::FetchFailed},
        {"larger than size",
         {},
         itemXml("Hux.pkg", "5.1.90", url, md5, " size=\"100\""),
         UpgradeOutcome::FetchFailed},
        {"stalled",
         {},
         itemXml("Hux.pkg", "5.1.90", server_->url("/stall"), md5),
         UpgradeOutcome::FetchFailed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeManifest(c.manifest);
        EXPECT_EQ(helper_->startDownloadXMLAndUpgrade(c.order ? *c.order : order(1)), c.outcome);
        EXPECT_EQ(installedVersion(), "5.1.80");
        // No partial download and nothing outside the upgrade folder is left behind; a whole
        // download that fails its checksum stays at the package path.
        const bool checksumFailed = c.what == std::string("wrong md5") || c.what == std::string("no md5");
        EXPECT_EQ(strayFiles({}),
                  checksumFailed ? std::vector<std::string>{"Hux_5.1.90.pkg"} : std::vector<std::string>{});
        EXPECT_FALSE(fs::exists("/tmp/x.pkg_5.1.90.pkg"));
        fs::remove(pkgPath("Hux", "5.1.90"));
    }
    // An http redirect to the package is followed.
    writeManifest(itemXml("Hux.pkg", "5.1.90", server_->url("/redirect?to=" + url), md5));
    EXPECT_EQ(helper_->startDownloadAndNotInstall(order(1)), UpgradeOutcome::PackageKept);
    std::filesystem::remove(pkgPath("Hux", "5.1.90"));
    // The manifest's size, when right, lets the package through.
    writeManifest(itemXml("Hux.pkg", "5.1.90", url, md5,
                          " size=\"" + std::to_string(fs::file_size(served_ / "Hux.deb")) + "\""));
    EXPECT_EQ(helper_->startDownloadXMLAndUpgrade(order(1)), UpgradeOutcome::Installed);
}

TEST_F(UpgradeEngineTest, ServerConfigIsReplacedOnlyByAValidList) {
    std::string config = paths::serverConfigFile();
    auto write = [&](const std::optional<std::string>& url) { helper_->updateServersConfig(url); };
    fs::create_directories(paths::machineSupportFolder());
    ASSERT_TRUE(archive::archiveRootObjectToFile(
        archive::Value(archive::Array{archive::Value(archive::Array{"old.host", "80"})}), config));
    std::string original = testsupport::readText(config);
    for (const char* url :
         {"http://h/p.pkg", "http://h/p.pkg?()", "http://h/p.pkg?(junk)", "http://h/p?(a_1;rm)"}) {
        write(std::string(url));
        EXPECT_EQ(testsupport::readText(config), original) << url;
    }
    write(std::nullopt);
    EXPECT_EQ(testsupport::readText(config), original);

    write(std::string("http://h/p.pkg?(10.0.0.1_8080)"));
    EXPECT_EQ(plistAsJson(config), nlohmann::json::parse(R"([["10.0.0.1","8080"],["10.0.0.1","8080"]])"));
    write(std::string("http://h/p.pkg?(a_1,b_2,x,d_4)"));
    EXPECT_EQ(plistAsJson(config), nlohmann::json::parse(R"([["a","1"],["b","2"]])"));
}

TEST_F(UpgradeEngineTest, LocalVersionComesFromDpkgThenTheBundle) {
    EXPECT_EQ(helper_->localZemVersion(), "5.0.1.100");  // no app
    fs::create_directories(root_ / "Applications/Hux/Hux.app/Contents");
    std::ofstream(root_ / "Applications/Hux/Hux.app/Contents/version") << "5.1.33\n";
    EXPECT_EQ(helper_->localZemVersion(), "5.1.33");  // no dpkg record
    buildPackage("old.deb", "5.1.80");
    installDirectly("old.deb");
    EXPECT_EQ(helper_->localZemVersion(), "5.1.80");
}

TEST_F(UpgradeEngineTest, ResultCheckPassesOnlyForThePackageDpkgInstalled) {
    // No app at all: nothing was installed, whatever version was expected.
    EXPECT_FALSE(helper_->checkInstallResult(std::string("5.0.1.100")));
    // A bundle laid down by hand names the version, but dpkg holds no record of it.
    fs::create_directories(root_ / "Applications/Hux/Hux.app/Contents");
    std::ofstream(root_ / "Applications/Hux/Hux.app/Contents/version") << "5.1.33\n";
    EXPECT_FALSE(helper_->checkInstallResult(std::string("5.1.33")));
    buildPackage("Hux.deb", "5.1.33");
    installDirectly("Hux.deb");
    EXPECT_TRUE(helper_->checkInstallResult(std::string("5.1.33")));
}

TEST_F(UpgradeEngineTest, InstallerRunsWithoutAShell) {
    buildPackage("Hux.deb", "5.1.91");
    // A path that a shell would split and run: the installer must get it as one argument.
    // A shell would create "pwned" in the working folder, which the child inherits.
    std::string odd = paths::appUpgradeFolder() + "/a b;touch pwned;.pkg";
    fs::copy_file(served_ / "Hux.deb", odd);
    AppModuleModel record;
    fs::path cwd = fs::current_path();
    fs::current_path(base_);
    EXPECT_TRUE(helper_->startRunUpgradeApp(record, odd));
    fs::current_path(cwd);
    EXPECT_FALSE(fs::exists(base_ / "pwned"));
    EXPECT_TRUE(helper_->checkInstallResult(std::string("5.1.91")));
    EXPECT_FALSE(helper_->checkInstallResult(std::string("5.1.9")));
    EXPECT_FALSE(helper_->checkInstallResult(std::nullopt));

    // The stand-in takes only its one argument form, and fails for a file that is no package.
    struct Case {
        std::vector<std::string> args;
    } refused[] = {
        {{"-pkg", odd}},
        {{"-pkg", odd, "-target", "/elsewhere"}},
        {{"-target", "/", "-pkg", odd}},
        {{"-pkg", (served_ / "missing.deb").string(), "-target", "/"}},
    };
    for (const auto& c : refused) {
        std::vector<std::string> argv = {UPGRADE_INSTALLER};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = runTool(argv);
        ASSERT_TRUE(r.waitStatus);
        EXPECT_NE(spawn::exitStatusFromWait(*r.waitStatus), 0) << c.args.size();
    }
}

TEST_F(UpgradeEngineTest, WindowStepsReportProgress) {
    std::vector<std::pair<bool, std::string>> steps;
    auto record = [&](bool ok, const std::string& message) { steps.emplace_back(ok, message); };
    helper_->DownloadXMLBlock = record;
    helper_->ParseXMLBlock = record;
    helper_->DownloadZemBlock = record;
    using Steps = std::vector<std::pair<bool, std::string>>;

    std::string md5 = buildPackage("Hux.deb", "5.3.0");
    writeManifest(itemXml("Hux.pkg", "5.3.0", server_->url("/Hux.deb"), md5));
    auto manifest = helper_->startDownloadUpgradeXML(server_->url("/update.xml"));
    ASSERT_TRUE(manifest);
    archive::Dictionary records;
    bool upgrade = true;
    auto item = helper_->parseUpgradeXMLToLocal(*manifest, &records, &upgrade, 1);
    ASSERT_TRUE(item);
    EXPECT_FALSE(upgrade);
    EXPECT_TRUE(helper_->startDownloadUpgradePKG(AppModuleModel::initWithData(*item)));
    EXPECT_EQ(steps, (Steps{{true, "开始下载配置文件..."},
                            {true, "开始解析配置文件..."},
                            {true, "开始下载升级包..."},
                            {true, "正在下载安装包..."},
                            {true, "开始安装..."}}));

    steps.clear();
    EXPECT_FALSE(helper_->startDownloadUpgradeXML(server_->url("/status/500")));
    writeManifest("<updates><item");
    EXPECT_FALSE(helper_->startDownloadUpgradeXML(server_->url("/update.xml")));
    AppModuleModel bad = AppModuleModel::initWithData(*item);
    bad.version = "5.3.1";
    bad.md5 = std::string(32, 'f');
    EXPECT_FALSE(helper_->startDownloadUpgradePKG(bad));
    bad.downUrl = server_->url("/status/404");
    EXPECT_FALSE(helper_->startDownloadUpgradePKG(bad));
    EXPECT_EQ(steps, (Steps{{true, "开始下载配置文件..."},
                            {false, "下载配置文件失败"},
                            {true, "开始下载配置文件..."},
                            {true, "开始解析配置文件..."},
                            {false, "解析配置文件失败"},
                            {true, "正在下载安装包..."},
                            {false, "安装包异常"},
                            // The faulty package is still there: its path is reported before
                            // it is checked and deleted.
                            {true, "正在下载安装包..."},
                            {true, "开始安装..."},
                            {false, "下载安装包失败"}}));
}

}  // namespace
