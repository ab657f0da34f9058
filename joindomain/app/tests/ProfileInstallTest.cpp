// The 802.1X profiles the join writes from the bundle's templates, installed by the profiles
// stand-in: a PEAP Ethernet connection and a PEAP Wi-Fi connection carrying the user's name and
// password (checked by NetworkManager's client where the machine has one).
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "joindomain/app/DomainJoinFiles.h"
#include "platform/tools/profiles/ProfileStore.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace {

namespace fs = std::filesystem;

std::string keyfileOf(const std::string& identifier) {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(profiles::connectionsFolder(), ec)) {
        const std::string text = testsupport::readText(entry.path());
        if (text.find("=" + identifier + "\n") != std::string::npos) return text;
    }
    return {};
}

TEST(DuceneProfiles, WrittenProfilesInstallAsPasswordConnections) {
    testsupport::TempRoot root("ducene-profiles");
    const std::string folder = root.makeFolder("home/Library/Application Support/RavAvizaL");
    const std::string ethernet = folder + "/ConnectEthernet.mobileconfig";
    const std::string wifi = folder + "/ConnectWiFi.mobileconfig";
    ASSERT_TRUE(ducene::writeEthernetProfile(DUCENE_RESOURCES "/ConnectEthernet.mobileconfig", ethernet, "alice",
                                             "p\\w=1"));
    ASSERT_TRUE(ducene::writeWiFiProfile(DUCENE_RESOURCES "/ConnectWiFi.mobileconfig", wifi, "Office 5G", "alice",
                                         "p\\w=1"));

    profiles::Outcome wired = profiles::installProfile(ethernet);
    ASSERT_TRUE(wired.ok) << wired.message;
    const std::string wiredKeyfile = keyfileOf("com.velmora.ducene.ethernet");
    EXPECT_NE(wiredKeyfile.find("type=ethernet\n"), std::string::npos) << wiredKeyfile;
    EXPECT_NE(wiredKeyfile.find("[802-1x]\neap=peap;\nidentity=alice\npassword=p\\\\w=1\nphase2-auth=mschapv2\n"),
              std::string::npos)
        << wiredKeyfile;

    profiles::Outcome wireless = profiles::installProfile(wifi);
    ASSERT_TRUE(wireless.ok) << wireless.message;
    const std::string wifiKeyfile = keyfileOf("com.velmora.ducene.wifi");
    EXPECT_NE(wifiKeyfile.find("id=WiFi (Office 5G)\ntype=wifi\n"), std::string::npos) << wifiKeyfile;
    EXPECT_NE(wifiKeyfile.find("ssid=Office 5G\n"), std::string::npos);
    EXPECT_NE(wifiKeyfile.find("eap=peap;\nidentity=alice\n"), std::string::npos);

    // The Wi-Fi template itself names no network: refused, with nothing written for it.
    profiles::Outcome refused = profiles::installProfile(DUCENE_RESOURCES "/ConnectWiFi.mobileconfig");
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.message, "profiles: unusable SSID");
}

}  // namespace
