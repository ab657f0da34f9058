// Network admission: the certificate reply's mapping, the profile built from the bundle template,
// and the whole flow after a QR sign-in against the client-API test server as account server and
// as a loopback HTTPS admission server that demands the bundle's client certificate.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/ClientApiServer.h"
#include "tests/support/PortServer.h"
#include "tests/records/support/RecordsTestSupport.h"
#include "tests/support/SessionTestSupport.h"
#include "tests/support/TestFiles.h"
#include "ui/session/admission/TovikManager.h"
#include "ui/session/admission/TovikNetwork.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "platform/dispatch/MainLoop.h"
#include "framework/encoding/Base64.h"
#include "common/logger/LogSink.h"
#include "ui/session/login/HttpSession.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui/session/login/RavAvizaQZNLogin.h"
#include "ui/session/login/UserStateFolder.h"
#include "platform/paths/Paths.h"
#include "common/server/ZemServerConfig.h"

using hux::Bytes;
using hux::Json;
using hux::TovikCerInfo;
using hux::TovikManager;
using recordstest::TempRoot;
using recordstest::writeFile;
using common::ZemServerConfig;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

using testsupport::capturedLog;
using ApiServer = testsupport::ClientApiServer;
using testsupport::runMainUntil;

namespace {


// Certificate material made here with OpenSSL, independent of the test server's.
struct Material {
    Bytes root;
    Bytes sub;
    Bytes p12;
    std::string pwd = "secret";
};

Bytes der(X509* cert) {
    unsigned char* out = nullptr;
    const int n = i2d_X509(cert, &out);
    Bytes bytes(out, out + (n > 0 ? n : 0));
    OPENSSL_free(out);
    return bytes;
}

X509* makeCert(const std::string& cn, EVP_PKEY* key, long serial) {
    X509* cert = X509_new();
    X509_set_version(cert, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert), 86400);
    X509_NAME* name = X509_get_subject_name(cert);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8, reinterpret_cast<const unsigned char*>(cn.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert, name);
    X509_set_pubkey(cert, key);
    X509_sign(cert, key, EVP_sha256());
    return cert;
}

Material makeMaterial(long rootSerial = 7) {
    Material m;
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* root = makeCert("Unit Root CA", key, rootSerial);
    X509* sub = makeCert("Unit Issuing CA", key, 8);
    X509* leaf = makeCert("unit user", key, 9);
    m.root = der(root);
    m.sub = der(sub);
    PKCS12* p12 = PKCS12_create(m.pwd.c_str(), "unit user", key, leaf, nullptr, 0, 0, 0, 0, 0);
    unsigned char* out = nullptr;
    const int n = i2d_PKCS12(p12, &out);
    m.p12.assign(out, out + (n > 0 ? n : 0));
    OPENSSL_free(out);
    PKCS12_free(p12);
    X509_free(root);
    X509_free(sub);
    X509_free(leaf);
    EVP_PKEY_free(key);
    return m;
}

std::string pem(const Bytes& bytes) {
    return "-----BEGIN CERTIFICATE-----\n" + *Base64::base64EncodedStringWithWrapWidth(bytes, 64) +
           "\n-----END CERTIFICATE-----\n";
}

// The "data" object of a certificate reply; the identity wrapped in CR LF lines, as servers send it.
Json replyData(const Material& m) {
    return Json{{"cert", *Base64::base64EncodedStringWithWrapWidth(std::span<const uint8_t>(m.p12), 64)},
                {"ca", pem(m.sub) + pem(m.root)},
                {"pwd", m.pwd}};
}

TovikCerInfo infoOf(const Json& data) {
    return TovikCerInfo::fromJson({{"ret", 0}, {"data", data}});
}

const archive::Array& payloadsOf(const archive::Value& profile) {
    return *profile.find("PayloadContent")->array();
}

std::string text(const archive::Value& dict, const char* key) {
    const archive::Value* v = dict.find(key);
    return v && v->string() ? *v->string() : "";
}

constexpr const char* kGetCert = "/api/tovik/ca/getcert";
constexpr const char* kStartConfig = "/api/public/client/start_config";

class AdmissionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        capturedLog().clear();
        root_.signInAtScreen("root");
        fs::create_directories(root_.at("/root"));
        fs::create_directories(paths::machineSupportFolder());
        fs::create_directories(paths::uiAppResources());
        fs::copy_file(PROFILE_TEMPLATE, templatePath());
        TovikManager::sharedInstance().reset();
        TovikManager::sharedInstance().setKeychainLookup({});
    }

    std::string templatePath() const { return paths::uiAppResources() + "/VOXMDNetwork.mobileconfig"; }
    std::string statePath(const std::string& name) const {
        return root_.at("/root/Library/Application Support/RavAvizaL/") + name;
    }
    std::string profileText() const { return recordstest::readFile(statePath("VOXMDNetwork.mobileconfig")); }
    std::optional<archive::Value> writtenProfile() const {
        auto value = archive::readPlistFile(statePath("VOXMDNetwork.mobileconfig"));
        if (!value || !value->dictionary()) return std::nullopt;
        return value;
    }
    std::string marker() const {
        auto decoded = archive::unarchiveObjectWithFile(statePath("tovikCache.archive"));
        return decoded && decoded.value->string() ? *decoded.value->string() : "";
    }

    // The admission server: HTTPS for 127.0.0.1 that requires the client identity it writes.
    void startAdmissionServer() {
        admission_.emplace(
            root_.path() + "/admission",
            std::vector<std::string>{"--tls", root_.path() + "/admission", "--demand-client-cert"});
        ASSERT_GT(admission_->port(), 0);
        address_ = "https://127.0.0.1:" + std::to_string(admission_->port());
    }
    void installClientIdentity() {
        fs::copy_file(admission_->folder() + "/client.p12", paths::uiAppResources() + "/client.p12",
                      fs::copy_options::overwrite_existing);
        ::chmod((paths::uiAppResources() + "/client.p12").c_str(), 0644);
    }
    void trustAdmissionServer() {
        fs::copy_file(admission_->folder() + "/ca.pem", paths::machineSupportFolder() + "/OrganizationCA.pem",
                      fs::copy_options::overwrite_existing);
        ::chmod((paths::machineSupportFolder() + "/OrganizationCA.pem").c_str(), 0644);
    }

    // Runs the certificate request for ssids to its end.
    void requestCertificate(const Json& ssids, const std::string& user = "erin") {
        std::atomic<bool> done{false};
        TovikManager::sharedInstance().executeTovikTaskWithUserName(user, "TK-" + user, ssids, address_,
                                                                    [&done] { done = true; });
        ASSERT_TRUE(runMainUntil([&done] { return done.load(); }));
    }

    TempRoot root_;
    std::optional<ApiServer> admission_;
    std::string address_;
};

}  // namespace

// The certificate reply -----------------------------------------------------------------------------

TEST_F(AdmissionTest, CertificateReplyMapsTheChainAndIdentity) {
    const Material m = makeMaterial();
    struct Case {
        const char* name;
        Json data;
        bool mapped;
        Bytes sub;
        Bytes root;
    };
    const Case cases[] = {
        {"intermediate then root", replyData(m), true, m.sub, m.root},
        {"one certificate", {{"cert", "AAAA"}, {"ca", pem(m.root)}}, true, m.root, m.root},
        {"no BEGIN marker", {{"cert", "AAAA"}, {"ca", "not a certificate"}}, true, {}, {}},
        {"cert not a string", {{"cert", 5}, {"ca", pem(m.root)}, {"pwd", "x"}}, false, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TovikCerInfo info = infoOf(c.data);
        EXPECT_EQ(info.ret, "0");
        ASSERT_EQ(info.data.has_value(), c.mapped);
        if (!c.mapped) continue;
        EXPECT_EQ(info.data->subCA, c.sub);
        if (!c.root.empty()) {
            EXPECT_EQ(info.data->rootCA, c.root);
        }
    }
    TovikCerInfo full = infoOf(replyData(m));
    EXPECT_EQ(full.data->p12, m.p12) << "line breaks in the Base64 identity are skipped";
    EXPECT_EQ(full.data->pwd, m.pwd);
}

// Building the profile ----------------------------------------------------------------------------

TEST_F(AdmissionTest, BuildAddsOneWiFiPayloadPerDistinctSSID) {
    auto& manager = TovikManager::sharedInstance();
    const Material m = makeMaterial();
    ASSERT_TRUE(manager.generalMobielConfigWithSSIDS(Json{"Corp", "", "Corp", "Lab \"5\" <&>"},
                                                     infoOf(replyData(m))));
    auto profile = manager.mbDic();
    ASSERT_TRUE(profile);
    EXPECT_EQ(text(*profile, "PayloadIdentifier"), "TEST1-MB1.A142593B-1A45-475E-B5C3-B0B97A4A0E2A");
    const auto& payloads = payloadsOf(*profile);
    ASSERT_EQ(payloads.size(), 5u);
    EXPECT_EQ(*payloads[0].find("PayloadContent")->data(), m.root);
    EXPECT_EQ(*payloads[1].find("PayloadContent")->data(), m.sub);
    EXPECT_EQ(*payloads[2].find("PayloadContent")->data(), m.p12);
    EXPECT_EQ(text(payloads[2], "Password"), m.pwd);
    EXPECT_EQ(text(payloads[0], "PayloadUUID"), TovikManager::kRootCAUUID);
    EXPECT_EQ(text(payloads[1], "PayloadUUID"), TovikManager::kSubCAUUID);
    EXPECT_EQ(text(payloads[2], "PayloadUUID"), TovikManager::kIdentityUUID);

    std::set<std::string> ssids;
    for (size_t i = 3; i < payloads.size(); ++i) {
        const auto& wifi = *payloads[i].dictionary();
        EXPECT_EQ(wifi.size(), 17u);
        const std::string ssid = text(payloads[i], "SSID_STR");
        ssids.insert(ssid);
        EXPECT_EQ(text(payloads[i], "PayloadDisplayName"), "WiFi (" + ssid + ")");
        const std::string uuid = text(payloads[i], "PayloadUUID");
        EXPECT_EQ(uuid.size(), 36u);
        EXPECT_EQ(uuid.find_first_not_of("0123456789ABCDEF-"), std::string::npos) << uuid;
        EXPECT_EQ(text(payloads[i], "PayloadIdentifier"), "com.apple.wifi.managed." + uuid);
        EXPECT_EQ(text(payloads[i], "PayloadType"), "com.apple.wifi.managed");
        EXPECT_EQ(text(payloads[i], "PayloadCertificateUUID"), TovikManager::kIdentityUUID);
        EXPECT_EQ(text(payloads[i], "EncryptionType"), "WPA");
        EXPECT_EQ(text(payloads[i], "Interface"), "BuiltInWireless");
        EXPECT_EQ(text(payloads[i], "ProxyType"), "None");
        for (const char* key : {"AutoJoin", "PayloadEnabled", "PayloadVersion"})
            EXPECT_EQ(wifi.at(key).integer(), 1) << key;
        for (const char* key : {"CaptiveBypass", "HIDDEN_NETWORK", "IsHotspot"})
            EXPECT_EQ(wifi.at(key).integer(), 0) << key;
        EXPECT_EQ(wifi.at("SetupModes"), archive::Value(archive::Array{archive::Value("System")}));
        const auto& eap = *wifi.at("EAPClientConfiguration").dictionary();
        EXPECT_EQ(eap.at("AcceptEAPTypes"), archive::Value(archive::Array{archive::Value(13)}));
        EXPECT_EQ(eap.at("PayloadCertificateAnchorUUID"),
                  archive::Value(archive::Array{TovikManager::kRootCAUUID, TovikManager::kSubCAUUID}));
    }
    EXPECT_EQ(ssids, (std::set<std::string>{"Corp", "Lab \"5\" <&>"}));

    // A second build gives new UUIDs for the same SSID.
    ASSERT_TRUE(manager.generalMobielConfigWithSSIDS(Json{"Corp"}, infoOf(replyData(m))));
    const auto again = payloadsOf(*manager.mbDic());
    ASSERT_EQ(again.size(), 4u);
    EXPECT_NE(text(again[3], "PayloadUUID"), text(payloads[3], "PayloadUUID"));
    EXPECT_NE(text(again[3], "PayloadUUID"), text(payloads[4], "PayloadUUID"));

    // No list, or an empty one: only the certificate payloads.
    for (const Json& none : {Json(), Json::array(), Json("Corp")}) {
        ASSERT_TRUE(manager.generalMobielConfigWithSSIDS(none, infoOf(replyData(m))));
        EXPECT_EQ(payloadsOf(*manager.mbDic()).size(), 3u) << none.dump();
    }
}

TEST_F(AdmissionTest, IncompleteMaterialOrUnusableSSIDsLeaveTheProfileAsItWas) {
    auto& manager = TovikManager::sharedInstance();
    const Material good = makeMaterial();
    ASSERT_TRUE(manager.generalMobielConfigWithSSIDS(Json{"Corp"}, infoOf(replyData(good))));
    const auto before = manager.mbDic();

    const Material noSerial = makeMaterial(0);
    Json broken = replyData(good);
    broken["cert"] = "bm90IGEgcGtjczEy";  // "not a pkcs12"
    Json wrongPwd = replyData(good);
    wrongPwd["pwd"] = "other";
    Json emptyPwd = replyData(good);
    emptyPwd["pwd"] = "";
    Json noPwd = replyData(good);
    noPwd.erase("pwd");
    Json emptyCert = replyData(good);
    emptyCert["cert"] = "";
    Json emptyCA = replyData(good);
    emptyCA["ca"] = "-----BEGIN CERTIFICATE-----\n-----END CERTIFICATE-----\n";
    Json noMarker = replyData(good);
    noMarker["ca"] = *Base64::base64EncodedStringWithWrapWidth(std::span<const uint8_t>(good.root), 64);

    const struct {
        const char* name;
        Json data;
        Json ssids;
    } cases[] = {
        {"broken PKCS#12", broken, Json{"Corp"}},
        {"wrong password", wrongPwd, Json{"Corp"}},
        {"empty password", emptyPwd, Json{"Corp"}},
        {"no password", noPwd, Json{"Corp"}},
        {"empty identity", emptyCert, Json{"Corp"}},
        {"empty certificate", emptyCA, Json{"Corp"}},
        {"root without a serial number", replyData(noSerial), Json{"Corp"}},
        {"no BEGIN marker", noMarker, Json{"Corp"}},
        {"SSID of 300 bytes", replyData(good), Json{"Corp", std::string(300, 'x')}},
        {"SSID of 33 bytes", replyData(good), Json{std::string(33, 'x')}},
        {"SSID with a newline", replyData(good), Json{"Corp\nEvil"}},
        {"SSID not a string", replyData(good), Json{"Corp", 7}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        capturedLog().clear();
        EXPECT_FALSE(manager.generalMobielConfigWithSSIDS(c.ssids, infoOf(c.data)));
        EXPECT_TRUE(capturedLog().contains("[TovikManager] server tovik info exception"));
        EXPECT_EQ(manager.mbDic(), before);
    }
    // Exactly 32 bytes is a valid SSID.
    EXPECT_TRUE(manager.generalMobielConfigWithSSIDS(Json{std::string(32, 'x')}, infoOf(replyData(good))));
}

// The static profile and the presence check ---------------------------------------------------------

TEST_F(AdmissionTest, StaticInstallWritesTheTemplateAndMarksTwo) {
    auto& manager = TovikManager::sharedInstance();
    manager.installStaticMobileconfig();
    EXPECT_EQ(marker(), "2");
    auto written = writtenProfile();
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, *archive::readPlistFile(templatePath()));
    EXPECT_TRUE(capturedLog().contains("[TovikManager] RavAviza write tovikCache.archive result: 1"));

    // Without the template nothing is marked: the marker would install whatever profile lies there.
    fs::remove(statePath("tovikCache.archive"));
    fs::remove(templatePath());
    manager.installStaticMobileconfig();
    EXPECT_FALSE(fs::exists(statePath("tovikCache.archive")));
    EXPECT_FALSE(manager.mbDic());
}

TEST_F(AdmissionTest, PresenceCheckNeedsTheStatusAndTheCertificate) {
    auto& manager = TovikManager::sharedInstance();
    std::vector<std::string> lookedUp;
    bool inKeychain = true;
    manager.setKeychainLookup([&](const std::string& name) {
        lookedUp.push_back(name);
        return inKeychain;
    });
    const struct {
        const char* name;
        std::optional<archive::Value> status;
        bool keychain;
        bool present;
        bool lookup;
    } cases[] = {
        {"no status", std::nullopt, true, false, false},
        {"no serial number", archive::Dictionary{{"commonName", "CA"}, {"authMethod", "3"}}, true, false,
         false},
        {"no common name", archive::Dictionary{{"serialNumber", "0A"}}, true, false, false},
        {"not a dictionary", archive::Value("3"), true, false, false},
        {"certificate present", archive::Dictionary{{"commonName", "CA"}, {"serialNumber", "0A"}}, true, true,
         true},
        {"certificate gone", archive::Dictionary{{"commonName", "CA"}, {"serialNumber", "0A"}}, false, false,
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        lookedUp.clear();
        inKeychain = c.keychain;
        hux::UserStateFolder::remove("tovikStatus.archive");
        if (c.status) {
            ASSERT_TRUE(hux::UserStateFolder::write("tovikStatus.archive", *c.status));
        }
        std::optional<bool> answer;
        manager.checkTovikNecessaryWithUrl("https://unused", [&answer](bool present) { answer = present; });
        ASSERT_TRUE(answer) << "answered before returning";
        EXPECT_EQ(*answer, c.present);
        EXPECT_EQ(lookedUp.empty(), !c.lookup);
    }
    EXPECT_EQ(manager.localCerAuthMethod(), std::nullopt);
    ASSERT_TRUE(hux::UserStateFolder::write("tovikStatus.archive",
                                            archive::Dictionary{{"commonName", "CA"}, {"authMethod", "3"}}));
    EXPECT_EQ(manager.localCerAuthMethod(), archive::Value("3"));
}

// The certificate request against the admission server ----------------------------------------------

TEST_F(AdmissionTest, CertificateRequestNeedsATrustedServerAndTheClientIdentity) {
    startAdmissionServer();
    const Json ssids{"Corp", "", "Corp", "Guest"};
    const struct {
        const char* name;
        bool trusted;
        bool identity;
        bool written;
    } steps[] = {
        {"server certificate not trusted", false, true, false},
        {"no client identity in the bundle", true, false, false},
        {"trusted server, client identity", true, true, true},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.name);
        capturedLog().clear();
        fs::remove(paths::machineSupportFolder() + "/OrganizationCA.pem");
        fs::remove(paths::uiAppResources() + "/client.p12");
        if (s.trusted) trustAdmissionServer();
        if (s.identity) installClientIdentity();
        requestCertificate(ssids);
        EXPECT_EQ(fs::exists(statePath("VOXMDNetwork.mobileconfig")), s.written);
        EXPECT_EQ(marker(), s.written ? "3" : "");
        EXPECT_EQ(capturedLog().contains("Get Tovik Cer faild with error:"), !s.written);
    }

    // The server saw the bundle's identity and the six fields.
    auto requests = admission_->requests(kGetCert);
    ASSERT_FALSE(requests.empty());
    const Json& last = requests.back();
    EXPECT_EQ(last["client_cert"], "Hux client");
    EXPECT_EQ(last["method"], "POST");
    const Json& body = last["body"];
    ASSERT_TRUE(body.is_object()) << last.dump();
    EXPECT_EQ(body.size(), 6u);
    EXPECT_EQ(body["userid"], "erin");
    EXPECT_EQ(body["ticket"], "TK-erin");
    EXPECT_EQ(body["os"], 3);
    for (const char* key : {"machinename", "deviceid", "mac"}) EXPECT_TRUE(body[key].is_string()) << key;

    // The written profile as the daemon reads it: the issued chain and identity, one Wi-Fi payload
    // per distinct SSID.
    auto profile = writtenProfile();
    ASSERT_TRUE(profile);
    const auto& payloads = payloadsOf(*profile);
    ASSERT_EQ(payloads.size(), 5u);
    const Bytes& p12 = *payloads[2].find("PayloadContent")->data();
    EXPECT_TRUE(hux::TovikNetwork::extractIdentity(p12, text(payloads[2], "Password")));
    EXPECT_EQ(text(payloads[2], "Password"), "pw-erin");
    std::set<std::string> names;
    for (size_t i = 3; i < payloads.size(); ++i) names.insert(text(payloads[i], "SSID_STR"));
    EXPECT_EQ(names, (std::set<std::string>{"Corp", "Guest"}));

    // An independent reader agrees on the payloads and the certificates' names.
    const std::string check = root_.path() + "/check.py";
    writeFile(
        check,
        "import plistlib, sys\n"
        "from cryptography import x509\n"
        "p = plistlib.load(open(sys.argv[1], 'rb'))\n"
        "c = p['PayloadContent']\n"
        "names = [x509.load_der_x509_certificate(c[i]['PayloadContent']).subject.rfc4514_string() for i in "
        "(0, 1)]\n"
        "print(p['PayloadIdentifier'], len(c), names[0], names[1], sorted(x['SSID_STR'] for x in c[3:]))\n");
    const std::string out = root_.path() + "/check.out";
    ASSERT_EQ(std::system((std::string(RAVAVIZA_PYTHON) + " " + check + " '" +
                           statePath("VOXMDNetwork.mobileconfig") + "' > " + out)
                              .c_str()),
              0);
    EXPECT_EQ(recordstest::readFile(out),
              "TEST1-MB1.A142593B-1A45-475E-B5C3-B0B97A4A0E2A 5 CN=Admission Root CA CN=Admission Issuing CA "
              "['Corp', 'Guest']\n");
}

TEST_F(AdmissionTest, FailedOrIncompleteRepliesKeepThePreviousProfileUnmarked) {
    startAdmissionServer();
    trustAdmissionServer();
    installClientIdentity();
    requestCertificate(Json{"Corp"});
    ASSERT_EQ(marker(), "3");
    const std::string previous = profileText();
    // The daemon installed it and took the marker.
    fs::remove(statePath("tovikCache.archive"));

    Json brokenIdentity = replyData(makeMaterial());
    brokenIdentity["cert"] = "bm90IGEgcGtjczEy";
    const struct {
        const char* name;
        Json entry;
        const char* logged;
    } cases[] = {
        {"HTTP failure", {{"status", 500}}, "Get Tovik Cer faild with error:"},
        {"refused", {{"body", {{"ret", 3}, {"msg", "denied"}}}}, "Get Tovik Cer faild with msg:denied"},
        {"ret as text", {{"body", {{"ret", "0"}, {"msg", "odd"}}}}, "Get Tovik Cer faild with msg:odd"},
        {"no certificate material", {{"body", {{"ret", 0}, {"msg", "ok"}}}}, "server tovik info exception"},
        {"broken PKCS#12", {{"body", {{"ret", 0}, {"data", brokenIdentity}}}}, "server tovik info exception"},
        {"not the reply encoding", {{"raw", "garbage"}}, "Get Tovik Cer faild with msg:"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        capturedLog().clear();
        admission_->script({{kGetCert, {c.entry}}});
        requestCertificate(Json{"Other"});
        EXPECT_TRUE(capturedLog().contains(c.logged));
        EXPECT_EQ(profileText(), previous);
        EXPECT_FALSE(fs::exists(statePath("tovikCache.archive")));
    }
}

// After a QR sign-in ---------------------------------------------------------------------------------

TEST_F(AdmissionTest, QrSignInInstallsTheIssuedProfileOnceThenTheStaticOne) {
    startAdmissionServer();
    trustAdmissionServer();
    installClientIdentity();
    ApiServer account(root_.path() + "/account");
    ASSERT_GT(account.port(), 0);
    ASSERT_TRUE(archive::archiveRootObjectToFile(
        archive::Array{archive::Array{"127.0.0.1", std::to_string(account.port())},
                       archive::Array{"127.0.0.1", std::to_string(testsupport::closedPort())},
                       archive::Array{"127.0.0.1#portal", std::to_string(account.port())}},
        paths::serverConfigFile()));
    ZemServerConfig::sharedInstance().updateServerConfig();

    auto startConfig = [&](const char* method) {
        account.script({{kStartConfig,
                         {{{"json",
                            {{"ret", 0},
                             {"data",
                              {{"domain", {{"auth_method", method}, {"tovik_addr", address_}}},
                               {"wifisettings", {{"ssidlist", {"Corp", "", "Corp", "Lab \"5\""}}}}}}}},
                           {"encrypt", {"data"}},
                           {"repeat", true}}}}});
    };
    startConfig("3");

    auto& helper = hux::RavAvizaLoginHelper::sharedInstance();
    std::atomic<int> followUps{0};
    hux::SessionPeers peers;
    peers.vpnRunning = [] { return false; };
    peers.admissionFollowUp = [&followUps](const std::string& userid, const std::string& ticket) {
        hux::tovikAfterQRSignIn(userid, ticket, [&followUps] { ++followUps; });
    };
    helper.setPeers(peers);
    helper.setLoginBlock({});
    helper.createSoleidAndSave();

    // The phone scans the QR text as "dave"; the next poll signs in and starts admission.
    auto qr = hux::RavAvizaQZNLogin::manager().createQRPath();
    ASSERT_TRUE(qr);
    const std::string v = qr->substr(qr->find("?v=") + 3);
    const std::string scan = "http://127.0.0.1:" + std::to_string(account.port()) +
                             "/portal/api/public/clientlogin/scan_login?user=dave&v=" + v;
    ASSERT_EQ(hux::HttpSession::perform({"GET", scan, "", {}, 5s}).error, std::nullopt);
    std::atomic<bool> polled{false};
    helper.CheckQRLoginState([&polled](hux::Reply, hux::Error) { polled = true; });
    ASSERT_TRUE(runMainUntil([&] { return polled && followUps == 1; }));

    EXPECT_TRUE(capturedLog().contains("[RavAvizaLoginHelper] RavAviza tovik type 3"));
    ASSERT_EQ(admission_->requests(kGetCert).size(), 1u);
    EXPECT_EQ(admission_->requests(kGetCert)[0]["body"]["ticket"], "QR-dave-1");
    EXPECT_EQ(marker(), "3");
    auto profile = writtenProfile();
    ASSERT_TRUE(profile);
    const auto& payloads = payloadsOf(*profile);
    ASSERT_EQ(payloads.size(), 5u);
    EXPECT_EQ(text(payloads[2], "Password"), "pw-dave");

    // The daemon installs it: the marker goes, the status names the root certificate.
    fs::remove(statePath("tovikCache.archive"));
    ASSERT_TRUE(hux::UserStateFolder::write(
        "tovikStatus.archive",
        archive::Dictionary{
            {"commonName", "Admission Root CA"}, {"serialNumber", "1A"}, {"authMethod", "3"}}));
    std::optional<bool> present;
    TovikManager::sharedInstance().checkTovikNecessaryWithUrl(address_, [&present](bool p) { present = p; });
    EXPECT_EQ(present, true);

    // A later sign-in finds the certificate and asks for nothing.
    const std::string installed = profileText();
    hux::tovikAfterQRSignIn("dave", "QR-dave-2", [&followUps] { ++followUps; });
    ASSERT_TRUE(runMainUntil([&] { return followUps == 2; }));
    EXPECT_EQ(admission_->requests(kGetCert).size(), 1u);
    EXPECT_EQ(profileText(), installed);

    // Method "2" with no certificate present installs the static profile.
    hux::UserStateFolder::remove("tovikStatus.archive");
    startConfig("2");
    hux::tovikAfterQRSignIn("dave", "QR-dave-3", [&followUps] { ++followUps; });
    ASSERT_TRUE(runMainUntil([&] { return followUps == 3; }));
    EXPECT_TRUE(capturedLog().contains("[RavAvizaLoginHelper] RavAviza tovik type 2"));
    EXPECT_EQ(marker(), "2");
    EXPECT_EQ(*writtenProfile(), *archive::readPlistFile(templatePath()));
    EXPECT_EQ(admission_->requests(kGetCert).size(), 1u);
}
