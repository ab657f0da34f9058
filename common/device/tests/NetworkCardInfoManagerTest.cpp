#include <gtest/gtest.h>

#include "tests/records/support/RecordsTestSupport.h"
#include "common/device/NetworkCardInfoManager.h"

using recordstest::addNetInterface;
using recordstest::TempRoot;
using recordstest::writeFile;
using recordstest::writeScript;
using sysinfo::AddressFamily;
using sysinfo::InterfaceAddress;
using common::NetworkCardInfoManager;
using common::NetworkCardModel;

namespace {

InterfaceAddress ipv4(const std::string& name, const std::string& address, const std::string& mask) {
    InterfaceAddress e;
    e.name = name;
    e.up = true;
    e.hasAddress = true;
    e.family = AddressFamily::IPv4;
    e.address = address;
    e.netmask = mask;
    return e;
}

// A NetworkManager client stand-in that records its arguments and answers like the real one.
void fakeNmcli(const TempRoot& root, const std::string& wifiList) {
    writeScript(root.at("/usr/bin/nmcli"),
                "#!/bin/sh\nprintf '%s|' \"$@\" >> \"$(dirname \"$0\")/nmcli.args\"; echo >> \"$(dirname "
                "\"$0\")/nmcli.args\"\n"
                "case \"$*\" in\n"
                "  *'device wifi list ifname wlan0'*) printf '" +
                    wifiList +
                    "' ;;\n"
                    "  *'GENERAL.CONNECTION device show wlan0') echo 'Office WLAN' ;;\n"
                    "  *'GENERAL.CONNECTION device show eth0') echo 'Wired 1' ;;\n"
                    "  *'proxy.pac-url connection show id Office WLAN') echo 'http://wpad.corp/wifi.pac' ;;\n"
                    "  *'proxy.pac-url connection show id Wired 1') echo '' ;;\n"
                    "  *) echo \"unexpected: $*\" >&2; exit 1 ;;\n"
                    "esac\n");
}

}  // namespace

TEST(NetworkCardInfoManager, MachineWithoutEthernetHasOnlyTheWifiCard) {
    TempRoot root;
    addNetInterface(root, "wlan0", 3, "a4:5e:60:01:02:03", true, true);
    addNetInterface(root, "docker0", 4, "02:42:00:00:00:01", false);
    NetworkCardInfoManager manager([] { return std::vector<InterfaceAddress>{}; });
    auto names = manager.getNetworkName();
    EXPECT_EQ(names, (std::map<std::string, std::string>{{"WiFi", "wlan0"}}));
    EXPECT_EQ(manager.getMacAddressWithNames(names),
              (std::map<std::string, std::string>{{"wlan0", "a45e60010203"}}));
    auto cards = manager.currentNetworkCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0].interfaceName, "wlan0");
    EXPECT_EQ(cards[0].macAddress, "a45e60010203");
}

TEST(NetworkCardInfoManager, AddressMaskAndRouterFollowTheIPv4Configuration) {
    TempRoot root;
    addNetInterface(root, "eth0", 2, "08:00:27:aa:bb:cc", true);
    addNetInterface(root, "eth1", 3, "08:00:27:aa:bb:cd", true);
    addNetInterface(root, "eth2", 4, "08:00:27:aa:bb:ce", true);
    writeFile(root.at("/proc/net/route"),
              "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
              "eth0\t00000000\t0100000A\t0003\t0\t0\t100\t00000000\t0\t0\t0\n");
    const std::vector<InterfaceAddress> list = {ipv4("eth0", "10.0.0.5", "255.255.255.0"),
                                                ipv4("eth0", "10.0.0.6", "255.255.0.0"),
                                                ipv4("eth1", "192.168.50.2", "255.255.255.0")};
    NetworkCardInfoManager manager([&] { return list; });

    NetworkCardModel routed{"eth0", "10.0.0.5", std::nullopt, "255.255.255.0", "10.0.0.1", std::nullopt};
    EXPECT_EQ(manager.networkAdater("eth0"), routed);
    // Configured without a default route: the router is none, not "0.0.0.0".
    NetworkCardModel unrouted{"eth1",          "192.168.50.2", std::nullopt,
                              "255.255.255.0", std::nullopt,   std::nullopt};
    EXPECT_EQ(manager.networkAdater("eth1"), unrouted);
    // Up without IPv4: everything stays "0.0.0.0".
    NetworkCardModel bare{"eth2", "0.0.0.0", std::nullopt, "0.0.0.0", "0.0.0.0", std::nullopt};
    EXPECT_EQ(manager.networkAdater("eth2"), bare);
}

TEST(NetworkCardInfoManager, WifiCardNamesTheJoinedNetworkOnly) {
    struct Case {
        const char* name;
        const char* wifiList;  // nullptr: NetworkManager absent
        std::optional<std::string> ssid;
    };
    const Case cases[] = {
        {"joined", "no:Guest\\nyes:Corp\\\\:Net\\n", "Corp:Net"},
        {"not joined", "no:Guest\\nno:Corp\\n", std::nullopt},
        {"no NetworkManager", nullptr, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempRoot root;
        addNetInterface(root, "wlan0", 3, "a4:5e:60:01:02:03", true, true);
        if (c.wifiList) fakeNmcli(root, c.wifiList);
        NetworkCardInfoManager manager(
            [] { return std::vector<InterfaceAddress>{ipv4("wlan0", "10.1.2.3", "255.0.0.0")}; });
        EXPECT_EQ(manager.networkAdater("wlan0").wifiSSID, c.ssid);
        if (c.wifiList) {
            EXPECT_EQ(recordstest::readFile(root.at("/usr/bin/nmcli.args")),
                      "-t|-f|ACTIVE,SSID|device|wifi|list|ifname|wlan0|--rescan|no|\n");
        }
    }
}

TEST(NetworkCardInfoManager, ProxyUrlsComeFromTheDevicesActiveConnection) {
    TempRoot root;
    addNetInterface(root, "eth0", 2, "08:00:27:aa:bb:cc", true);
    addNetInterface(root, "wlan0", 3, "a4:5e:60:01:02:03", true, true);
    NetworkCardInfoManager manager;
    EXPECT_FALSE(manager.getWiFiProxyURLString().has_value());  // no NetworkManager
    fakeNmcli(root, "");
    EXPECT_EQ(manager.getWiFiProxyURLString(), "http://wpad.corp/wifi.pac");
    EXPECT_FALSE(manager.getLanProxyURLString().has_value());  // connection without a PAC URL
    // Kept names win over the live ports.
    manager.setNetwokNames({{"WiFi", "wlan9"}});
    EXPECT_FALSE(manager.getWiFiProxyURLString().has_value());
}
