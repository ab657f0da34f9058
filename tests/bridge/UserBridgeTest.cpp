// The user-to-machine bridge over a temporary root and the home folder of an unprivileged user:
// each request file and what it becomes, the admission profile through the profiles stand-in,
// and what root refuses to do in a folder the user controls.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

#include "FixtureCertificate.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "daemon/bridge/UserBridge.h"
#include "platform/paths/Paths.h"

using hollin::UserBridge;

namespace fs = std::filesystem;
using archive::Array;
using archive::Data;
using archive::Dictionary;
using archive::Value;
using namespace std::chrono_literals;

namespace {

constexpr uid_t kUid = 65534;
constexpr gid_t kGid = 65534;
constexpr const char* kProfileId = UserBridge::kTovikProfileIdentifier;

using testsupport::eventually;

class BridgeTest : public ::testing::Test {
  protected:
    void SetUp() override {
        tempRoot_.emplace("rav-bridge", 0755);
        root_ = tempRoot_->path();
        home_ = paths::homeFolder("nobody").value_or("");
        ASSERT_TRUE(home_.starts_with(root_));
        folder_ = home_ + "/Library/Application Support/RavAvizaL";
        ASSERT_TRUE(testsupport::makeOwnedFolders(home_, {"/Library", "/Application Support", "/RavAvizaL"}, kUid, kGid));
        machine_ = paths::machineSupportFolder();
        fs::create_directories(machine_);
    }
    void TearDown() override { tempRoot_.reset(); }

    UserBridge::Environment environment() {
        UserBridge::Environment env;
        env.consoleUser = [this] {
            std::lock_guard lock(mutex_);
            return console_;
        };
        env.requestPolicyId = [this] { ++policyRequests_; };
        env.restartVpn = [this] { ++vpnRestarts_; };
        env.updateServerConfig = [this] { ++serverRereads_; };
        env.log = [this](const std::string& line) {
            std::lock_guard lock(mutex_);
            logs_.push_back(line);
        };
        env.profilesTool = PROFILES_TOOL;
        return env;
    }
    UserBridge& bridge() {
        if (!bridge_) bridge_ = std::make_unique<UserBridge>(environment());
        return *bridge_;
    }

    void putUserBytes(const std::string& name, const std::string& bytes, uid_t owner = kUid) {
        const std::string path = folder_ + "/" + name;
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
        ASSERT_EQ(::chown(path.c_str(), owner, kGid), 0);
    }
    void putUser(const std::string& name, const Value& root) {
        auto data = archive::archivedData(root);
        ASSERT_TRUE(data);
        putUserBytes(name, std::string(data->begin(), data->end()));
    }
    bool userHas(const std::string& name) const {
        std::error_code ec;
        return fs::exists(fs::symlink_status(folder_ + "/" + name, ec));
    }
    std::optional<Value> machine(const std::string& name) const {
        auto r = archive::unarchiveObjectWithFile(machine_ + "/" + name);
        return r.value;
    }
    void putMachine(const std::string& name, const Value& v) {
        ASSERT_TRUE(archive::archiveRootObjectToFile(v, machine_ + "/" + name));
    }
    static ino_t inode(const std::string& path) {
        struct stat st {};
        return ::lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
    }
    bool logged(const std::string& part) {
        std::lock_guard lock(mutex_);
        for (const auto& l : logs_) {
            if (l.find(part) != std::string::npos) return true;
        }
        return false;
    }

    std::optional<testsupport::TempRoot> tempRoot_;
    std::string root_, home_, folder_, machine_;
    std::mutex mutex_;
    std::string console_ = "nobody";
    std::vector<std::string> logs_;
    std::atomic<int> policyRequests_{0}, vpnRestarts_{0}, serverRereads_{0};
    std::unique_ptr<UserBridge> bridge_;
};

const Dictionary kMultiServers{{"intra_srv_connaddr", Array{Value("10.0.0.1:443")}},
                               {"extra_srv_connaddr", Array{Value("zem.example.org:8443")}}};
const Array kDomains{
    Value(Dictionary{{"name", "corp"}, {"domain_admin_account", "admin"}, {"wifissid", "Corp"}})};

// One request file in the user's folder and the machine-wide state it leaves.
struct RequestCase {
    const char* name;
    std::vector<std::pair<std::string, Value>> machineBefore;
    std::string file;
    std::optional<Value> content;                                            // nothing: an empty file
    std::vector<std::pair<std::string, std::optional<Value>>> machineAfter;  // nothing: absent
    bool fileKept;
    int policyRequests, serverRereads;
};

TEST_F(BridgeTest, EachRequestFileBecomesItsMachineWideState) {
    const Value general =
        Dictionary{{"userlogin", Dictionary{{"qrcode", 1}}},
                   {"zem", Dictionary{{"zem_multisrv_info", kMultiServers},
                                      {"hidezem_gui_tray", "1"},
                                      {"cloud_qzn", "0"},
                                      {"rql_server", Array{Value("rql.example.org")}},
                                      {"brindle_server", Array{}}}},
                   {"domain", Dictionary{{"joindomain_switch", 1}, {"domaininfo", kDomains}}}};
    const Value switchedOff =
        Dictionary{{"domain", Dictionary{{"joindomain_switch", 0}, {"domaininfo", kDomains}}}};
    const Value oldServers = Dictionary{{"brindle_server", Array{Value("old")}}};
    const Value serverArray =
        Array{Value(Array{Value("10.1.2.3"), Value("443")}), Value(Array{Value("10.1.2.3"), Value("443")})};
    const Value qzn = Dictionary{
        {"code", 0},
        {"data", Dictionary{{"content", Array{Value("cloud-a")}}}},
        {"office_data", Dictionary{{"content", Dictionary{{"homepageapp", Array{Value("app")}}}}}}};
    const Value qznNoApps =
        Dictionary{{"data", Dictionary{{"content", Array{Value("cloud-a")}}}},
                   {"office_data", Dictionary{{"content", Dictionary{{"homepageapp", Array{}}}}}}};
    const std::vector<std::pair<std::string, Value>> everything{{"userlogin.archive", "x"},
                                                                {"zem_multisrv_info.archive", "x"},
                                                                {"hidezemswitch.archive", "x"},
                                                                {"switchqzn.archive", "x"},
                                                                {"joindomainSwitchStatus.archive", "x"},
                                                                {"joindomainInfo.archive", "x"},
                                                                {"server.archive", oldServers}};

    const std::vector<RequestCase> cases{
        {"general configuration split",
         {{"server.archive", oldServers}},
         "GeneralConfig.archive",
         general,
         {{"userlogin.archive", Value(Dictionary{{"qrcode", 1}})},
          {"zem_multisrv_info.archive", Value(kMultiServers)},
          {"hidezemswitch.archive", Value("1")},
          {"switchqzn.archive", Value("0")},
          {"server.archive", Value(Dictionary{{"rql_server", Array{Value("rql.example.org")}}})},
          {"joindomainSwitchStatus.archive", Value(1)},
          {"joindomainInfo.archive", Value(kDomains)}},
         false,
         0,
         0},
        {"join switch off removes the domain list, keeps the server list",
         everything,
         "GeneralConfig.archive",
         switchedOff,
         {{"userlogin.archive", std::nullopt},
          {"zem_multisrv_info.archive", std::nullopt},
          {"joindomainSwitchStatus.archive", Value(0)},
          {"joindomainInfo.archive", std::nullopt},
          {"server.archive", oldServers}},
         false,
         0,
         0},
        {"empty general configuration makes every key absent",
         everything,
         "GeneralConfig.archive",
         std::nullopt,
         {{"userlogin.archive", std::nullopt},
          {"zem_multisrv_info.archive", std::nullopt},
          {"hidezemswitch.archive", std::nullopt},
          {"switchqzn.archive", std::nullopt},
          {"joindomainSwitchStatus.archive", std::nullopt},
          {"joindomainInfo.archive", std::nullopt},
          {"server.archive", oldServers}},
         false,
         0,
         0},
        {"join switch as text \"1\" keeps the domain list",
         {},
         "GeneralConfig.archive",
         Value(Dictionary{{"domain", Dictionary{{"joindomain_switch", "1"}, {"domaininfo", kDomains}}}}),
         {{"joindomainSwitchStatus.archive", Value("1")}, {"joindomainInfo.archive", Value(kDomains)}},
         false,
         0,
         0},
        {"policy request", {}, "userpolicy.archive", Value("userPolicyRequest"), {}, false, 1, 0},
        {"policy request of any content", {}, "userpolicy.archive", Value("hello"), {}, false, 1, 0},
        {"server address", {}, "domianorip.archive", serverArray, {{".ZemConfig", serverArray}}, false, 0, 1},
        {"next-generation policy",
         {},
         "QZNPolicy.archive",
         qzn,
         {{"qzncloudlist.archive", Value(Array{Value("cloud-a")})},
          {"appmgrlist.archive", Value(Array{Value("app")})}},
         false,
         0,
         0},
        {"next-generation policy without apps",
         {},
         "QZNPolicy.archive",
         qznNoApps,
         {{"qzncloudlist.archive", Value(Array{Value("cloud-a")})}, {"appmgrlist.archive", std::nullopt}},
         false,
         0,
         0},
        {"next-generation policy that is not a dictionary stays",
         {},
         "QZNPolicy.archive",
         Value(Array{Value("x")}),
         {{"qzncloudlist.archive", std::nullopt}},
         true,
         0,
         0},
    };
    for (const RequestCase& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        bridge_.reset();
        policyRequests_ = 0;
        vpnRestarts_ = 0;
        serverRereads_ = 0;
        for (const auto& [name, value] : c.machineBefore) putMachine(name, value);
        if (c.content) {
            putUser(c.file, *c.content);
        } else {
            putUserBytes(c.file, "");
        }
        bridge().monitorUserLogin();
        for (const auto& [name, expected] : c.machineAfter) {
            if (expected) {
                EXPECT_EQ(machine(name), expected) << name;
            } else {
                EXPECT_FALSE(fs::exists(machine_ + "/" + name)) << name;
            }
        }
        EXPECT_EQ(userHas(c.file), c.fileKept);
        EXPECT_EQ(policyRequests_.load(), c.policyRequests);
        EXPECT_EQ(vpnRestarts_.load(), c.policyRequests);
        EXPECT_EQ(serverRereads_.load(), c.serverRereads);
        // A second pass serves nothing more.
        bridge().monitorUserLogin();
        EXPECT_EQ(policyRequests_.load(), c.policyRequests);
    }
}

TEST_F(BridgeTest, UnchangedValueKeepsItsFileWhileUserloginIsRewritten) {
    const Value general = Dictionary{
        {"userlogin", "u"}, {"zem", Dictionary{{"zem_multisrv_info", kMultiServers}, {"cloud_qzn", "1"}}}};
    putUser("GeneralConfig.archive", general);
    bridge().monitorUserLogin();
    const ino_t servers = inode(machine_ + "/zem_multisrv_info.archive");
    const ino_t qzn = inode(machine_ + "/switchqzn.archive");
    const ino_t login = inode(machine_ + "/userlogin.archive");
    ASSERT_NE(servers, 0u);

    putUser("GeneralConfig.archive", general);
    bridge().monitorUserLogin();
    // Replacing a file gives it a new inode; an untouched file keeps its own.
    EXPECT_EQ(inode(machine_ + "/zem_multisrv_info.archive"), servers);
    EXPECT_EQ(inode(machine_ + "/switchqzn.archive"), qzn);
    EXPECT_NE(inode(machine_ + "/userlogin.archive"), login);

    Dictionary changed = *general.dictionary();
    (*changed["zem"].dictionary())["cloud_qzn"] = "0";
    putUser("GeneralConfig.archive", changed);
    bridge().monitorUserLogin();
    EXPECT_EQ(inode(machine_ + "/zem_multisrv_info.archive"), servers);
    EXPECT_EQ(machine("switchqzn.archive"), Value("0"));
}

// The console user is cached only when it is a real user with a home folder.
TEST_F(BridgeTest, ServesTheFirstRealUserSignedInAndKeepsIt) {
    for (const char* notAUser : {"", "unknown", "root", "no-such-user-here"}) {
        console_ = notAUser;
        EXPECT_EQ(bridge().creatCurrentUserPath(), "") << notAUser;
    }
    putUser("userpolicy.archive", Value("userPolicyRequest"));
    console_ = "nobody";
    bridge().monitorUserLogin();
    EXPECT_EQ(policyRequests_.load(), 1);
    console_ = "daemon";
    EXPECT_EQ(bridge().creatCurrentUserPath(), "nobody");
}

// Without an injected source the console user comes from logind's seat data: a daemon started
// before anyone signs in finds the user once a session is active.
TEST_F(BridgeTest, ConsoleUserFromSeatDataOnceSomeoneSignsIn) {
    auto env = environment();
    env.consoleUser = nullptr;
    UserBridge fromSeat(env);
    EXPECT_EQ(fromSeat.creatCurrentUserPath(), "");
    tempRoot_->signInAtScreen("gdm", "greeter");
    EXPECT_EQ(fromSeat.creatCurrentUserPath(), "") << "a greeter is nobody signed in";
    tempRoot_->signInAtScreen("nobody");
    EXPECT_EQ(fromSeat.creatCurrentUserPath(), "nobody");
    putUser("userpolicy.archive", Value("userPolicyRequest"));
    fromSeat.monitorUserLogin();
    EXPECT_EQ(policyRequests_.load(), 1);
}

// The admission profile: what the user prepared and what the install leaves.
class TovikTest : public BridgeTest {
  protected:
    void SetUp() override {
        BridgeTest::SetUp();
        // A serial whose first byte has the high bit set: a large number, not a negative one.
        certificate_ = testsupport::makeCertificate({0x8F, 0x01, 0xA2, 0x00, 0x3C}, "Fixture Device 7");
        ASSERT_FALSE(certificate_.empty());
    }
    std::string profile(const std::string& identifier = kProfileId) {
        Dictionary rootCa{{"PayloadType", "com.apple.security.root"},
                          {"PayloadUUID", "A23B9547-4853-4298-8A22-3FEDAEE4FCF5"},
                          {"PayloadContent", Data(certificate_)}};
        Dictionary subCa{{"PayloadType", "com.apple.security.pkcs1"},
                         {"PayloadUUID", "98C1E945-3056-4F0D-B174-BD8A68461FE3"},
                         {"PayloadContent", Data(certificate_)}};
        Dictionary identity{{"PayloadType", "com.apple.security.pkcs12"},
                            {"PayloadUUID", "47A5FE22-02D8-48B8-A249-13FF8C1A0D1E"},
                            {"Password", "804517"},
                            {"PayloadContent", Data{1, 2, 3}}};
        Dictionary wifi{
            {"PayloadType", "com.apple.wifi.managed"},
            {"PayloadDisplayName", "WiFi (Corp-Secure)"},
            {"SSID_STR", "Corp-Secure"},
            {"PayloadCertificateUUID", "47A5FE22-02D8-48B8-A249-13FF8C1A0D1E"},
            {"EAPClientConfiguration", Dictionary{{"AcceptEAPTypes", Array{Value(13)}},
                                                  {"PayloadCertificateAnchorUUID",
                                                   Array{Value("A23B9547-4853-4298-8A22-3FEDAEE4FCF5"),
                                                         Value("98C1E945-3056-4F0D-B174-BD8A68461FE3")}}}}};
        Value top =
            Dictionary{{"PayloadIdentifier", identifier},
                       {"PayloadType", "Configuration"},
                       {"PayloadContent", Array{Value(rootCa), Value(subCa), Value(identity), Value(wifi)}}};
        auto bytes = archive::serializePlist(top, archive::PlistFormat::Xml);
        return std::string(bytes->begin(), bytes->end());
    }
    std::string connections() const { return root_ + "/etc/NetworkManager/system-connections"; }
    // A profiles tool that records its arguments and exits with status.
    std::string recordingTool(int status, const std::string& extra = "") {
        const std::string tool = root_ + "/fake-profiles";
        std::ofstream(tool) << "#!/bin/sh\necho \"$@\" >> " << root_ << "/profiles.calls\n"
                            << extra << "exit " << status << "\n";
        ::chmod(tool.c_str(), 0755);
        return tool;
    }
    std::vector<std::string> calls() const {
        std::vector<std::string> lines;
        std::ifstream in(root_ + "/profiles.calls");
        for (std::string l; std::getline(in, l);) lines.push_back(l);
        return lines;
    }
    std::vector<uint8_t> certificate_;
};

TEST_F(TovikTest, InstallReplacesTheOldProfileAndRecordsTheCertificate) {
    // An earlier install of the same profile, tagged with its identifier.
    fs::create_directories(connections());
    const std::string old = connections() + "/ravaviza-" + std::string(kProfileId) + "-5.nmconnection";
    std::ofstream(old) << "[connection]\nid=old\n\n[user]\ncom.velmora.profile=" << kProfileId << "\n";
    fs::create_directories(root_ + "/var/lib/ravaviza/profiles/" + kProfileId);

    putUserBytes("VOXMDNetwork.mobileconfig", profile());
    putUser("tovikCache.archive", Value("3"));
    bridge().monitorUserLogin();

    EXPECT_FALSE(fs::exists(old));
    const std::string keyfile =
        testsupport::readText(connections() + "/ravaviza-" + kProfileId + "-0.nmconnection");
    EXPECT_NE(keyfile.find("ssid=Corp-Secure\n"), std::string::npos) << keyfile;
    EXPECT_NE(keyfile.find("eap=tls;"), std::string::npos);
    EXPECT_NE(keyfile.find("com.velmora.profile=" + std::string(kProfileId)), std::string::npos);

    EXPECT_FALSE(userHas("tovikCache.archive"));
    EXPECT_TRUE(userHas("VOXMDNetwork.mobileconfig"));
    auto status = archive::unarchiveObjectWithFile(folder_ + "/tovikStatus.archive");
    ASSERT_TRUE(status) << status.error;
    EXPECT_EQ(*status.value,
              Value(Dictionary{
                  {"serialNumber", "8F01A2003C"}, {"commonName", "Fixture Device 7"}, {"authMethod", "3"}}));
    struct stat st {};
    ASSERT_EQ(::lstat((folder_ + "/tovikStatus.archive").c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, kUid) << "the user's file belongs to the user";
    EXPECT_TRUE(logged("Certificate Info save success!"));

    // Removal by the identifier takes away what the install made.
    ASSERT_EQ(std::system((std::string(PROFILES_TOOL) + " -R -p " + kProfileId).c_str()), 0);
    EXPECT_FALSE(fs::exists(connections() + "/ravaviza-" + kProfileId + "-0.nmconnection"));
}

TEST_F(TovikTest, MarkerStaysUnlessTheInstallExitsZero) {
    putUserBytes("VOXMDNetwork.mobileconfig", profile());
    putUser("tovikCache.archive", Value("2"));
    auto env = environment();
    env.profilesTool = recordingTool(1, "echo 'no such profile' >&2\n");
    bridge_ = std::make_unique<UserBridge>(env);
    bridge().monitorUserLogin();

    ASSERT_EQ(calls().size(), 2u);
    EXPECT_EQ(calls()[0], "-R -p " + std::string(kProfileId));
    EXPECT_TRUE(calls()[1].starts_with("-I -F ")) << calls()[1];
    // The tool is handed a root-owned copy, never a path inside the user's folder.
    EXPECT_EQ(calls()[1].find(folder_), std::string::npos);
    EXPECT_TRUE(userHas("tovikCache.archive"));
    EXPECT_FALSE(userHas("tovikStatus.archive"));
    EXPECT_TRUE(logged("run mobileconfig file script policy finish failed.  error = no such profile"));
}

TEST_F(TovikTest, WithoutAProfileOnlyTheRemovalRunsEachTick) {
    putUser("tovikCache.archive", Value("3"));
    auto env = environment();
    env.profilesTool = recordingTool(0);
    bridge_ = std::make_unique<UserBridge>(env);
    bridge().monitorUserLogin();
    bridge().monitorUserLogin();
    EXPECT_EQ(calls(), (std::vector<std::string>{"-R -p " + std::string(kProfileId),
                                                 "-R -p " + std::string(kProfileId)}));
    EXPECT_TRUE(userHas("tovikCache.archive"));
}

TEST_F(TovikTest, ACommandPastItsDeadlineIsEndedWithEverythingItStarted) {
    putUserBytes("VOXMDNetwork.mobileconfig", profile());
    putUser("tovikCache.archive", Value("3"));
    auto env = environment();
    const std::string pidFile = root_ + "/grandchild.pid";
    env.profilesTool = recordingTool(0, "sleep 60 & echo $! > " + pidFile + "\nwait\n");
    env.profileDeadline = 300ms;
    bridge_ = std::make_unique<UserBridge>(env);
    auto start = std::chrono::steady_clock::now();
    bridge().monitorUserLogin();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 20s);

    EXPECT_TRUE(logged("script policy run timeout ."));
    EXPECT_TRUE(userHas("tovikCache.archive"));
    EXPECT_FALSE(userHas("tovikStatus.archive"));
    const pid_t grandchild = std::atoi(testsupport::readText(pidFile).c_str());
    ASSERT_GT(grandchild, 0);
    EXPECT_TRUE(eventually([&] { return !testsupport::alive(grandchild); }));
}

TEST_F(TovikTest, CertificateStatusReadsOnlyWhatParses) {
    auto status = UserBridge::certificateStatus(certificate_);
    ASSERT_TRUE(status);
    EXPECT_EQ((*status)["serialNumber"], Value("8F01A2003C"));

    auto longName =
        UserBridge::certificateStatus(testsupport::makeCertificate({0x01}, std::string(300, 'n')));
    ASSERT_TRUE(longName);
    EXPECT_EQ((*longName)["commonName"], Value(std::string(255, 'n')));

    // A name with a NUL is read up to it: the status must still be storable as an archive.
    auto nul =
        UserBridge::certificateStatus(testsupport::makeCertificate({0x01}, std::string("Wi-Fi\0CA", 9)));
    ASSERT_TRUE(nul);
    EXPECT_EQ((*nul)["commonName"], Value("Wi-Fi"));
    EXPECT_TRUE(archive::archivedData(Value(*nul)));

    for (const Data& garbage :
         {Data{}, Data{0x30, 0x82, 0xff}, Data(certificate_.begin(), certificate_.end() - 10)}) {
        EXPECT_FALSE(UserBridge::certificateStatus(garbage));
    }
}

TEST_F(TovikTest, ProfileWithoutCertificateInstallsButRecordsNothing) {
    // A Wi-Fi payload with its client identity (NetworkManager refuses EAP-TLS without one) and
    // no certificate in the first payload.
    Value top = Dictionary{
        {"PayloadIdentifier", kProfileId},
        {"PayloadContent",
         Array{Value(Dictionary{{"PayloadType", "com.apple.wifi.managed"},
                                {"SSID_STR", "Guest"},
                                {"PayloadCertificateUUID", "47A5FE22-02D8-48B8-A249-13FF8C1A0D1E"}}),
               Value(Dictionary{{"PayloadType", "com.apple.security.pkcs12"},
                                {"PayloadUUID", "47A5FE22-02D8-48B8-A249-13FF8C1A0D1E"},
                                {"PayloadContent", Data{1, 2, 3}}}),
               Value(Dictionary{{"PayloadContent", "text"}})}}};
    auto bytes = archive::serializePlist(top, archive::PlistFormat::Xml);
    putUserBytes("VOXMDNetwork.mobileconfig", std::string(bytes->begin(), bytes->end()));
    putUser("tovikCache.archive", Value("3"));
    bridge().monitorUserLogin();
    EXPECT_FALSE(userHas("tovikStatus.archive"));
    EXPECT_TRUE(logged("Certificate Info save failed!"));
}

TEST_F(TovikTest, ProfilesToolRefusesIdentifiersThatLeaveItsFolders) {
    const std::string bad = root_ + "/bad.mobileconfig";
    std::ofstream(bad) << profile("../../../etc/evil");
    const std::string tool = PROFILES_TOOL;
    EXPECT_NE(std::system((tool + " -I -F " + bad + " 2>/dev/null").c_str()), 0);
    EXPECT_NE(std::system((tool + " -R -p ../../etc 2>/dev/null").c_str()), 0);
    EXPECT_NE(std::system((tool + " -X -F " + bad + " 2>/dev/null").c_str()), 0);
    EXPECT_FALSE(fs::exists(root_ + "/etc/evil"));
    EXPECT_FALSE(fs::exists(connections()) && !fs::is_empty(connections()));
}

std::string generalBytes() {
    auto data = archive::archivedData(Value(Dictionary{{"userlogin", "changed"}}));
    return std::string(data->begin(), data->end());
}

// What root refuses in the user's folder: each case leaves the machine-wide state as it was,
// serves nothing and says why in the log.
TEST_F(BridgeTest, RefusesLinksForeignFilesHugeFilesAndHostileArchives) {
    struct Case {
        const char* name;
        std::function<void()> plant;
        const char* logLine;
    };
    const std::vector<Case> cases{
        {"symlink",
         [this] {
             ASSERT_EQ(::symlink((machine_ + "/userlogin.archive").c_str(),
                                 (folder_ + "/GeneralConfig.archive").c_str()),
                       0);
         },
         "refused GeneralConfig.archive"},
        {"foreign owner", [this] { putUserBytes("GeneralConfig.archive", generalBytes(), 0); },
         "refused GeneralConfig.archive"},
        {"huge file",
         [this] {
             putUserBytes("GeneralConfig.archive", std::string(UserBridge::kMaxRequestBytes + 1, 'x'));
         },
         "refused GeneralConfig.archive"},
        {"folder swapped for a link",
         [this] {
             const std::string elsewhere = root_ + "/elsewhere";
             fs::create_directories(elsewhere);
             ASSERT_EQ(::chown(elsewhere.c_str(), kUid, kGid), 0);
             fs::remove_all(folder_);
             fs::create_symlink(elsewhere, folder_);
             folder_ = elsewhere;
             putUserBytes("GeneralConfig.archive", generalBytes());
             putUserBytes("userpolicy.archive", "x");
         },
         "refused the support folder"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TearDown();
        SetUp();
        bridge_.reset();
        logs_.clear();
        policyRequests_ = 0;
        putMachine("userlogin.archive", Value("kept"));
        c.plant();
        bridge().monitorUserLogin();
        EXPECT_EQ(machine("userlogin.archive"), Value("kept"));
        EXPECT_EQ(policyRequests_.load(), 0);
        EXPECT_TRUE(userHas("GeneralConfig.archive")) << "a refused file is left alone";
        EXPECT_TRUE(logged(c.logLine));
        bridge().monitorUserLogin();
        EXPECT_EQ(std::count_if(logs_.begin(), logs_.end(),
                                [&](const std::string& l) { return l.find(c.logLine) != std::string::npos; }),
                  1)
            << "said once, not every second";
        EXPECT_EQ(machine("userlogin.archive"), Value("kept"));
    }
}

// Content that does not decode (bytes that are no archive, a class outside the allow-list) reads
// as nothing, as an empty file does: each file then does what the empty file does.
TEST_F(BridgeTest, ContentThatDoesNotDecodeReadsAsNothing) {
    const auto foreignClass = [] {
        auto data = archive::archivedData(Value(archive::Object{"NSURL", {{"NS.relative", "file:///etc/shadow"}}}));
        return std::string(data->begin(), data->end());
    }();
    for (const std::string& bytes : {std::string("bplist00\xff\xff garbage"), foreignClass}) {
        TearDown();
        SetUp();
        bridge_.reset();
        logs_.clear();
        policyRequests_ = 0;
        putMachine("userlogin.archive", Value("old"));
        putMachine("joindomainInfo.archive", Value(kDomains));
        putMachine("server.archive", Value("kept"));
        putUserBytes("GeneralConfig.archive", bytes);
        putUserBytes("userpolicy.archive", bytes);
        putUserBytes("domianorip.archive", bytes);
        bridge().monitorUserLogin();
        EXPECT_FALSE(fs::exists(machine_ + "/userlogin.archive"));
        EXPECT_FALSE(fs::exists(machine_ + "/joindomainInfo.archive"));
        EXPECT_EQ(machine("server.archive"), Value("kept"));
        EXPECT_FALSE(userHas("GeneralConfig.archive"));
        EXPECT_FALSE(userHas("userpolicy.archive"));
        EXPECT_EQ(policyRequests_.load(), 1);
        EXPECT_TRUE(userHas("domianorip.archive")) << "nothing to write: the request stays";
        EXPECT_TRUE(logged("Servers config file archive failed with error: (null)"));
    }
}

// The server list is taken only in the shape .ZemConfig holds; anything else would leave the
// machine without a server, so it is refused once in the log and the stored list stays.
TEST_F(BridgeTest, ServerListsOfAnotherShapeAreRefused) {
    const Value good = Array{Value(Array{Value("10.1.2.3"), Value("443")})};
    const std::vector<std::pair<const char*, Value>> cases{
        {"null and empty text", Array{Value("$null"), Value("")}},
        {"empty list", Array{}},
        {"dictionary", Dictionary{{"host", "10.1.2.3"}}},
        {"entry without a port", Array{Value(Array{Value("10.1.2.3")})}},
        {"empty host", Array{Value(Array{Value(""), Value("443")})}},
        {"port out of range", Array{Value(Array{Value("h"), Value("70000")})}},
        {"one good entry and one bad", Array{Value(Array{Value("h"), Value("443")}), Value("x")}},
    };
    for (const auto& [name, list] : cases) {
        SCOPED_TRACE(name);
        TearDown();
        SetUp();
        bridge_.reset();
        logs_.clear();
        serverRereads_ = 0;
        ASSERT_TRUE(archive::archiveRootObjectToFile(good, paths::serverConfigFile()));
        putUser("domianorip.archive", list);
        bridge().monitorUserLogin();
        bridge().monitorUserLogin();
        EXPECT_EQ(archive::unarchiveObjectWithFile(paths::serverConfigFile()).value, good);
        EXPECT_TRUE(userHas("domianorip.archive"));
        EXPECT_EQ(serverRereads_.load(), 0);
        EXPECT_EQ(std::count_if(logs_.begin(), logs_.end(),
                                [](const std::string& l) {
                                    return l.find("refused domianorip.archive") != std::string::npos;
                                }),
                  1);
    }
}

// A refusal is remembered per file, not per reason: reasons carry numbers the user picks, and a
// user rewriting the file with ever new ones must not grow what root keeps.
TEST_F(BridgeTest, RefusalsAreRememberedPerFile) {
    for (int i = 0; i < 20; ++i) {
        auto data = archive::archivedData(Value(archive::Object{"Crafted" + std::to_string(i), {{"k", "v"}}}));
        putUserBytes("domianorip.archive", std::string(data->begin(), data->end()));
        bridge().monitorUserLogin();
    }
    EXPECT_EQ(std::count_if(logs_.begin(), logs_.end(),
                            [](const std::string& l) { return l.find("refused domianorip.archive") != std::string::npos; }),
              1);
}

// A peer swapping the folder for a link to another folder while the passes run never makes root
// remove or read anything in that other folder.
TEST_F(BridgeTest, SwappingPeerNeverRedirectsRoot) {
    const std::string victim = root_ + "/victim";
    fs::create_directories(victim);
    const std::string parked = home_ + "/Library/Application Support/parked";
    auto data = archive::archivedData(Value("userPolicyRequest"));
    const std::string request(data->begin(), data->end());
    for (const std::string& dir : {victim}) {
        std::ofstream(dir + "/userpolicy.archive") << request;
        ASSERT_EQ(::chown((dir + "/userpolicy.archive").c_str(), kUid, kGid), 0);
    }
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        const std::string link = folder_ + ".link";
        while (!stop) {
            std::error_code ec;
            fs::rename(folder_, parked, ec);
            fs::create_directory_symlink(victim, link, ec);
            fs::rename(link, folder_, ec);
            fs::remove(folder_, ec);
            fs::rename(parked, folder_, ec);
        }
    });
    for (int i = 0; i < 300; ++i) bridge().monitorUserLogin();
    stop = true;
    peer.join();
    EXPECT_TRUE(fs::exists(victim + "/userpolicy.archive"));
    EXPECT_EQ(policyRequests_.load(), 0);
}

}  // namespace
