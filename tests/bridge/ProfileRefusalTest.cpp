// The profiles tool facing a profile it cannot install whole: one Wi-Fi payload it cannot write
// or that NetworkManager refuses. The install fails with a clear error, nothing of the new profile
// remains and the profile installed before stays exactly as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "FixtureCertificate.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "platform/archive/Plist.h"
#include "platform/archive/Value.h"
#include "platform/spawn/Spawn.h"

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
        Array payloads{Value(Dictionary{{"PayloadType", "com.apple.security.root"},
                                        {"PayloadUUID", kCaUuid},
                                        {"PayloadContent", Data(certificate_)}}),
                       Value(Dictionary{{"PayloadType", "com.apple.security.pkcs12"},
                                        {"PayloadUUID", kIdentityUuid},
                                        {"Password", "804517"},
                                        {"PayloadContent", Data{1, 2, 3}}})};
        for (const WiFi& w : wifi) {
            Dictionary payload{{"PayloadType", "com.apple.wifi.managed"},
                               {"SSID_STR", w.ssid},
                               {"EAPClientConfiguration",
                                Dictionary{{"AcceptEAPTypes", Array{Value(13)}},
                                           {"PayloadCertificateAnchorUUID", Array{Value(kCaUuid)}}}}};
            if (w.identity) payload["PayloadCertificateUUID"] = Value(kIdentityUuid);
            payloads.push_back(Value(std::move(payload)));
        }
        Value top = Dictionary{{"PayloadIdentifier", kIdentifier},
                               {"PayloadType", "Configuration"},
                               {"PayloadContent", std::move(payloads)}};
        auto bytes = archive::serializePlist(top, archive::PlistFormat::Xml);
        return root_.write("incoming.mobileconfig", std::string(bytes->begin(), bytes->end()), 0600);
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
        {"an SSID of blanks",
         {"   "},
         "NetworkManager refuses the connection for SSID    : "
         "Error: Error writing connection: 802-11-wireless.ssid"},
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

}  // namespace
