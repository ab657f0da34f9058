// The profiles tool facing a profile it cannot install whole: one Wi-Fi payload it cannot write
// or that NetworkManager refuses. The install fails with a clear error, nothing of the new profile
// remains and the profile installed before stays exactly as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "FixtureCertificate.h"
#include "platform/archive/Plist.h"
#include "platform/archive/Value.h"
#include "platform/spawn/Spawn.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace fs = std::filesystem;
using archive::Array;
using archive::Data;
using archive::Dictionary;
using archive::Value;

namespace {

constexpr const char* kIdentifier = "com.example.admission";
constexpr const char* kCaUuid = "A23B9547-4853-4298-8A22-3FEDAEE4FCF5";
constexpr const char* kIdentityUuid = "47A5FE22-02D8-48B8-A249-13FF8C1A0D1E";

struct WiFi {
    std::string ssid;
    bool identity = true;  // refers to the profile's client identity
};

// A client that checks keyfiles offline, as the tool uses when the machine has one.
bool offlineNmcliAvailable() {
    for (const char* nmcli : {"/usr/bin/nmcli", "/bin/nmcli"}) {
        if (!fs::exists(nmcli)) continue;
        spawn::Options o;
        o.program = nmcli;
        o.argv = {nmcli, "--offline", "--version"};
        spawn::RunResult run = spawn::run(std::move(o), {});
        return run.waitStatus && spawn::exitStatusFromWait(*run.waitStatus) == 0;
    }
    return false;
}

struct ToolRun {
    int status = -1;
    std::string error;
};

ToolRun runTool(std::vector<std::string> arguments) {
    spawn::Options o;
    o.program = PROFILES_TOOL;
    o.argv = {PROFILES_TOOL};
    o.argv.insert(o.argv.end(), arguments.begin(), arguments.end());
    spawn::RunLimits limits;
    limits.deadline = std::chrono::seconds(60);
    spawn::RunResult run = spawn::run(std::move(o), limits);
    ToolRun result;
    if (run.waitStatus) result.status = spawn::exitStatusFromWait(*run.waitStatus);
    result.error = run.error;
    return result;
}

class ProfileRefusalTest : public ::testing::Test {
  protected:
    void SetUp() override {
        certificate_ = testsupport::makeCertificate({0x01, 0x02}, "Fixture CA");
        ASSERT_FALSE(certificate_.empty());
    }

    // A profile with a CA, a client identity and one Wi-Fi payload per entry of wifi.
    std::string install(const std::vector<WiFi>& wifi) {
        Array payloads;
        for (const WiFi& w : wifi) {
            Dictionary payload{{"PayloadType", "com.apple.wifi.managed"},
                               {"SSID_STR", w.ssid},
                               {"EAPClientConfiguration",
                                Dictionary{{"AcceptEAPTypes", Array{Value(13)}},
                                           {"PayloadCertificateAnchorUUID", Array{Value(kCaUuid)}}}}};
            if (w.identity) payload["PayloadCertificateUUID"] = Value(kIdentityUuid);
            payloads.push_back(Value(std::move(payload)));
        }
        return installPayloads(std::move(payloads));
    }

    // A profile with a CA, a client identity whose passphrase is identityPassword, and payloads.
    std::string installPayloads(Array payloads, const std::string& identityPassword = "804517") {
        Array all{Value(Dictionary{{"PayloadType", "com.apple.security.root"},
                                   {"PayloadUUID", kCaUuid},
                                   {"PayloadContent", Data(certificate_)}}),
                  Value(Dictionary{{"PayloadType", "com.apple.security.pkcs12"},
                                   {"PayloadUUID", kIdentityUuid},
                                   {"Password", identityPassword},
                                   {"PayloadContent", Data{1, 2, 3}}})};
        for (Value& payload : payloads) all.push_back(std::move(payload));
        Value top = Dictionary{{"PayloadIdentifier", kIdentifier},
                               {"PayloadType", "Configuration"},
                               {"PayloadContent", std::move(all)}};
        auto bytes = archive::serializePlist(top, archive::PlistFormat::Xml);
        return root_.write("incoming.mobileconfig", std::string(bytes->begin(), bytes->end()), 0600);
    }

    std::vector<fs::path> keyfiles() const {
        std::vector<fs::path> found;
        std::error_code ec;
        for (const auto& entry :
             fs::directory_iterator(root_.at("/etc/NetworkManager/system-connections"), ec)) {
            found.push_back(entry.path());
        }
        return found;
    }

    // Every file under the connections and profiles folders with its content.
    std::map<std::string, std::string> installed() const {
        std::map<std::string, std::string> files;
        for (const char* folder : {"/etc/NetworkManager/system-connections", "/var/lib/ravaviza/profiles"}) {
            std::error_code ec;
            for (auto it = fs::recursive_directory_iterator(root_.at(folder), ec);
                 !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
                files[it->path().string()] =
                    it->is_directory() ? "<folder>" : testsupport::readText(it->path());
            }
        }
        return files;
    }

    testsupport::TempRoot root_{"rav-refusal"};
    std::vector<uint8_t> certificate_;
};

struct RefusalCase {
    const char* name;
    WiFi refused;
    const char* reason;  // part of the error the tool prints
};

class RefusedPayloadTest : public ProfileRefusalTest {
  protected:
    void expectNothingChanges(const RefusalCase& c) {
        SCOPED_TRACE(c.name);
        // The previous profile: two connections and its certificate folder.
        ToolRun first = runTool({"-I", "-F", install({{"Old-Net"}, {"Old-Guest"}})});
        ASSERT_EQ(first.status, 0) << first.error;
        const auto before = installed();
        ASSERT_TRUE(before.contains(root_.at("/etc/NetworkManager/system-connections/ravaviza-") +
                                    kIdentifier + "-1.nmconnection"));

        // The new one's first connection is fine, its second refused.
        ToolRun refused = runTool({"-I", "-F", install({{"Corp-Secure"}, c.refused})});
        EXPECT_EQ(refused.status, 1);
        EXPECT_NE(refused.error.find(c.reason), std::string::npos) << refused.error;
        EXPECT_EQ(installed(), before);

        // Without a previous profile, nothing remains at all.
        ASSERT_EQ(runTool({"-R", "-p", kIdentifier}).status, 0);
        ASSERT_EQ(runTool({"-I", "-F", install({{"Corp-Secure"}, c.refused})}).status, 1);
        for (const auto& [path, content] : installed()) {
            EXPECT_EQ(content, "<folder>") << path << " remains of a refused install";
        }
    }
};

TEST_F(RefusedPayloadTest, ToolRefusalKeepsThePreviousProfile) {
    expectNothingChanges({"an SSID with a newline", {"Corp\nGuest"}, "unusable SSID"});
}

TEST_F(RefusedPayloadTest, NetworkManagerRefusalKeepsThePreviousProfile) {
    if (!offlineNmcliAvailable()) {
        GTEST_SKIP()
            << "this machine has no nmcli with --offline, so NetworkManager's refusals cannot be shown";
    }
    const RefusalCase cases[] = {
        {"an EAP-TLS network without a client identity",
         {"Guest", false},
         "NetworkManager refuses the connection for SSID Guest: Error: Error writing connection: "
         "802-1x.client-cert"},
    };
    for (const RefusalCase& c : cases) expectNothingChanges(c);
}

TEST_F(ProfileRefusalTest, InstalledConnectionsAreOnesNetworkManagerAccepts) {
    if (!offlineNmcliAvailable())
        GTEST_SKIP() << "this machine has no nmcli with --offline to check keyfiles";
    ToolRun run = runTool({"-I", "-F", install({{"Corp-Secure"}, {"Corp-Guest"}})});
    ASSERT_EQ(run.status, 0) << run.error;
    int keyfiles = 0;
    for (const auto& entry : fs::directory_iterator(root_.at("/etc/NetworkManager/system-connections"))) {
        SCOPED_TRACE(entry.path().string());
        ++keyfiles;
        EXPECT_EQ(fs::status(entry).permissions() & (fs::perms::group_all | fs::perms::others_all),
                  fs::perms::none);
        spawn::Options o;
        o.program = "nmcli";
        o.argv = {"nmcli", "--offline", "connection", "modify"};
        spawn::RunLimits limits;
        limits.input = testsupport::readText(entry.path());
        spawn::RunResult check = spawn::run(std::move(o), limits);
        ASSERT_TRUE(check.waitStatus);
        EXPECT_EQ(spawn::exitStatusFromWait(*check.waitStatus), 0) << check.error;
    }
    EXPECT_EQ(keyfiles, 2);
}

// The sections and keys of a keyfile ("section" and "section/key"), and any line that is
// neither a section, a key nor blank.
std::set<std::string> keysOf(const std::string& keyfile) {
    std::set<std::string> keys;
    std::string section;
    size_t start = 0;
    while (start < keyfile.size()) {
        size_t end = keyfile.find('\n', start);
        if (end == std::string::npos) end = keyfile.size();
        const std::string line = keyfile.substr(start, end - start);
        start = end + 1;
        if (line.empty()) continue;
        if (line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            keys.insert(section);
        } else if (size_t eq = line.find('='); eq != std::string::npos && eq > 0) {
            keys.insert(section + "/" + line.substr(0, eq));
        } else {
            keys.insert("stray line: " + line);
        }
    }
    return keys;
}

// The value of key in a keyfile's text, as written.
std::string lineOf(const std::string& keyfile, const std::string& key) {
    size_t at = keyfile.find("\n" + key + "=");
    if (at == std::string::npos) return "<no " + key + ">";
    at += key.size() + 2;
    return keyfile.substr(at, keyfile.find('\n', at) - at);
}

enum class Field { Ssid, DisplayName, UserName, UserPassword, IdentityPassword };

// Values from a user's profile that would end a keyfile line and add the settings after it.
TEST_F(ProfileRefusalTest, ValuesThatWouldAddLinesAreRefusedForEveryPayloadType) {
    const std::set<std::string> common = {"connection",
                                          "connection/id",
                                          "connection/type",
                                          "802-1x",
                                          "802-1x/eap",
                                          "802-1x/ca-cert",
                                          "802-1x/identity",
                                          "ipv4",
                                          "ipv4/method",
                                          "ipv6",
                                          "ipv6/method",
                                          "user",
                                          "user/com.velmora.profile"};
    const std::set<std::string> wifi = {"wifi", "wifi/mode", "wifi/ssid", "wifi-security",
                                        "wifi-security/key-mgmt"};
    const std::set<std::string> tls = {"802-1x/client-cert", "802-1x/private-key",
                                       "802-1x/private-key-password"};
    struct FieldCase {
        Field field;
        const char* name;
        const char* refusal;  // nothing: the value has a fallback and the profile installs
    } fields[] = {
        {Field::Ssid, "SSID_STR", "profiles: unusable SSID"},
        {Field::DisplayName, "PayloadDisplayName", nullptr},
        {Field::UserName, "UserName", "profiles: unusable credentials"},
        {Field::UserPassword, "UserPassword", "profiles: unusable credentials"},
        {Field::IdentityPassword, "PKCS#12 Password", "profiles: unusable identity password"},
    };
    for (const bool wired : {false, true}) {
        for (const FieldCase& f : fields) {
            for (const std::string breaker : {"\n", "\r", "\x7f"}) {
                const std::string hostile =
                    "a" + breaker + "[ipv4]" + breaker + "dns=6.6.6.6;" + breaker + "ignore-auto-dns=true";
                SCOPED_TRACE(std::string(wired ? "wired " : "Wi-Fi ") + f.name + " with " +
                             (breaker == "\n"   ? "LF"
                              : breaker == "\r" ? "CR"
                                                : "DEL"));
                const bool withPassword = f.field == Field::UserName || f.field == Field::UserPassword;
                Dictionary eap{{"PayloadCertificateAnchorUUID", Array{Value(kCaUuid)}}};
                if (withPassword) {
                    eap["AcceptEAPTypes"] = Array{Value(25)};
                    eap["UserName"] = f.field == Field::UserName ? hostile : "li.wei";
                    eap["UserPassword"] = f.field == Field::UserPassword ? hostile : "secret";
                } else {
                    eap["AcceptEAPTypes"] = Array{Value(13)};
                }
                // A wired payload with an identity writes its SSID_STR as the EAP identity.
                Dictionary payload{
                    {"PayloadType",
                     wired ? "com.apple.firstactiveethernet.managed" : "com.apple.wifi.managed"},
                    {"SSID_STR", f.field == Field::Ssid ? hostile : "Corp-Secure"},
                    {"PayloadDisplayName", f.field == Field::DisplayName ? hostile : "Corp network"},
                    {"EAPClientConfiguration", std::move(eap)}};
                if (!withPassword) payload["PayloadCertificateUUID"] = Value(kIdentityUuid);
                const std::string path =
                    installPayloads(Array{Value(std::move(payload))},
                                    f.field == Field::IdentityPassword ? hostile : "804517");

                ToolRun run = runTool({"-I", "-F", path});
                if (f.refusal) {
                    EXPECT_EQ(run.status, 1);
                    EXPECT_NE(run.error.find(f.refusal), std::string::npos) << run.error;
                    EXPECT_TRUE(keyfiles().empty());
                    continue;
                }
                ASSERT_EQ(run.status, 0) << run.error;
                const std::vector<fs::path> written = keyfiles();
                ASSERT_EQ(written.size(), 1u);
                const std::string keyfile = testsupport::readText(written.front());
                std::set<std::string> expected = common;
                expected.insert(tls.begin(), tls.end());
                if (wired) {
                    expected.insert("ethernet");
                } else {
                    expected.insert(wifi.begin(), wifi.end());
                }
                EXPECT_EQ(keysOf(keyfile), expected) << keyfile;
                EXPECT_EQ(lineOf(keyfile, "id"), wired ? "Ethernet" : "WiFi (Corp-Secure)");
                ASSERT_EQ(runTool({"-R", "-p", kIdentifier}).status, 0);
            }
        }
    }
}

// Blanks, backslashes and semicolons are text a keyfile holds only escaped: NetworkManager reads
// each value back as the profile gave it and writes it out again unchanged.
TEST_F(ProfileRefusalTest, ValuesReadBackAsTheProfileGaveThem) {
    if (!offlineNmcliAvailable())
        GTEST_SKIP() << "this machine has no nmcli with --offline to read keyfiles back";
    Array payloads{
        Value(Dictionary{{"PayloadType", "com.apple.wifi.managed"},
                         {"SSID_STR", "1;2;"},
                         {"PayloadDisplayName", " Corp \\ Net "},
                         {"PayloadCertificateUUID", kIdentityUuid},
                         {"EAPClientConfiguration", Dictionary{{"AcceptEAPTypes", Array{Value(13)}}}}}),
        Value(Dictionary{{"PayloadType", "com.apple.wifi.managed"},
                         {"SSID_STR", "   "},
                         {"EAPClientConfiguration", Dictionary{{"AcceptEAPTypes", Array{Value(25)}},
                                                               {"UserName", "CORP\\li;wei"},
                                                               {"UserPassword", "  p\\w;"}}}}),
        Value(Dictionary{{"PayloadType", "com.apple.globalethernet.managed"},
                         {"SSID_STR", " lead;"},
                         {"PayloadDisplayName", "Wired #1 = [x]"},
                         {"PayloadCertificateUUID", kIdentityUuid},
                         {"EAPClientConfiguration", Dictionary{{"AcceptEAPTypes", Array{Value(13)}}}}}),
    };
    ToolRun run = runTool({"-I", "-F", installPayloads(std::move(payloads), " key\\pass")});
    ASSERT_EQ(run.status, 0) << run.error;
    const std::vector<fs::path> written = keyfiles();
    ASSERT_EQ(written.size(), 3u);
    for (const fs::path& path : written) {
        SCOPED_TRACE(path.string());
        const std::string keyfile = testsupport::readText(path);
        spawn::Options o;
        o.program = "nmcli";
        o.argv = {"nmcli", "--offline", "connection", "modify"};
        spawn::RunLimits limits;
        limits.input = keyfile;
        spawn::RunResult check = spawn::run(std::move(o), limits);
        ASSERT_TRUE(check.waitStatus);
        ASSERT_EQ(spawn::exitStatusFromWait(*check.waitStatus), 0) << check.error;
        for (const char* key : {"id", "ssid", "identity", "password", "private-key-password"}) {
            EXPECT_EQ(lineOf("\n" + check.output, key), lineOf(keyfile, key)) << key;
        }
    }
    // One value spelled out: without the escape NetworkManager reads "1;2;" as the bytes 1 and 2.
    const std::string first = testsupport::readText(
        root_.at("/etc/NetworkManager/system-connections/ravaviza-") + kIdentifier + "-0.nmconnection");
    EXPECT_EQ(lineOf(first, "ssid"), "1\\\\;2\\\\;");
    EXPECT_EQ(lineOf(first, "id"), "\\sCorp \\\\ Net ");
}

}  // namespace
