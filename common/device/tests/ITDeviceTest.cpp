#include <gtest/gtest.h>

#include <filesystem>

#include "tests/records/support/RecordsTestSupport.h"
#include "platform/archive/Plist.h"
#include "common/device/ArrayExtension.h"
#include "common/device/ITDevice.h"
#include "platform/paths/Paths.h"

using recordstest::addNetInterface;
using recordstest::TempRoot;
using recordstest::writeFile;
using recordstest::writeScript;
using sysinfo::AddressFamily;
using sysinfo::InterfaceAddress;
using common::ITDevice;
using common::InterfaceInfo;

namespace {

InterfaceAddress entry(const std::string& name, AddressFamily family, const std::string& address = "",
                       bool up = true, bool loopback = false) {
    InterfaceAddress e;
    e.name = name;
    e.up = up;
    e.loopback = loopback;
    e.hasAddress = true;
    e.family = family;
    e.address = address;
    if (family == AddressFamily::IPv4) e.netmask = "255.255.255.0";
    return e;
}

}  // namespace

TEST(ITDeviceFacts, ReadsOsHostAndFirmwareFactsWithTheirFallbacks) {
    TempRoot root;
    {
        ITDevice bare;
        EXPECT_EQ(bare.osName(), "Linux unknow");
        EXPECT_EQ(bare.osVersion(), "unknow");
        EXPECT_EQ(bare.machineName(), "unknow");
        EXPECT_EQ(bare.modelName(), "");
        EXPECT_EQ(bare.serialNum(), "");
        EXPECT_TRUE(bare.boardSerialNums().empty());
        EXPECT_EQ(bare.uuid(), "");
        EXPECT_EQ(bare.userName(), "unknown");
        EXPECT_EQ(bare.loginUser(), "");
    }
    writeFile(root.at("/etc/os-release"), "NAME=\"Debian GNU/Linux\"\nVERSION_ID=\"12\"\n");
    writeFile(root.at("/proc/sys/kernel/hostname"), "ws-041\n");
    writeFile(root.at("/sys/class/dmi/id/product_name"), "MacBookPro18,1\n");
    writeFile(root.at("/sys/class/dmi/id/product_serial"), "C02XYZ123\n", 0400);
    writeFile(root.at("/sys/class/dmi/id/board_serial"), "BRD-77\n", 0400);
    writeFile(root.at("/run/systemd/seats/seat0"), "ACTIVE=3\n");
    writeFile(root.at("/run/systemd/sessions/3"), "USER=ana\nCLASS=user\n");
    ITDevice device;
    EXPECT_EQ(device.osName(), "Debian GNU/Linux 12");
    EXPECT_EQ(device.machineName(), "ws-041");
    EXPECT_EQ(device.modelName(), "MacBookPro18,1");
    EXPECT_EQ(device.serialNum(), "C02XYZ123");
    EXPECT_EQ(device.boardSerialNums(), std::vector<std::string>{"BRD-77"});
    EXPECT_EQ(device.userName(), "ana");
    // The operating system is read once per process.
    writeFile(root.at("/etc/os-release"), "NAME=Other\nVERSION_ID=99\n");
    EXPECT_EQ(device.osName(), "Debian GNU/Linux 12");
}

TEST(ITDeviceFacts, FirmwarePlaceholdersAreNotReportedAsSerials) {
    TempRoot root;
    writeFile(root.at("/sys/class/dmi/id/product_serial"), "To Be Filled By O.E.M.\n", 0400);
    writeFile(root.at("/sys/class/dmi/id/board_serial"), "Default string\n", 0400);
    ITDevice device;
    EXPECT_EQ(device.serialNum(), "");
    EXPECT_TRUE(device.boardSerialNums().empty());
}

TEST(ITDeviceFacts, DeviceTreeMachinesGiveModelAndSerialFromNulEndedProperties) {
    TempRoot root;
    writeFile(root.at("/proc/device-tree/model"), std::string("Raspberry Pi 4 Model B\0", 23));
    writeFile(root.at("/proc/device-tree/serial-number"), std::string("10000000abcdef\0", 15));
    ITDevice device;
    EXPECT_EQ(device.modelName(), "Raspberry Pi 4 Model B");
    EXPECT_EQ(device.serialNum(), "10000000abcdef");
    EXPECT_EQ(device.boardSerialNums(), std::vector<std::string>{"10000000abcdef"});
}

TEST(ITDeviceFacts, MachinePrefixMarksPortableMacModels) {
    const std::pair<const char*, const char*> cases[] = {
        {"MacBookPro18,1", "MB"}, {"Macmini9,1", "MB"},  {"MacBookAir10,1", "MB"},
        {"iMac21,1", "MC"},       {"ThinkPad X1", "MC"}, {nullptr, "MC"},
    };
    for (const auto& [model, prefix] : cases) {
        SCOPED_TRACE(model ? model : "(no model)");
        TempRoot root;
        if (model) writeFile(root.at("/sys/class/dmi/id/product_name"), std::string(model) + "\n");
        EXPECT_EQ(ITDevice().machinePrefixName(), prefix);
    }
}

TEST(ITDeviceFacts, FirmwareBitsAreAskedAgainUntilKnownThenKept) {
    TempRoot root;
    ITDevice device;
    EXPECT_EQ(device.currentOsBit(), 0);
    EXPECT_EQ(device.currentOsBit(), 0);
    writeFile(root.at("/sys/firmware/efi/fw_platform_size"), "64\n");
    EXPECT_EQ(device.currentOsBit(), 64);
    std::filesystem::remove(root.at("/sys/firmware/efi/fw_platform_size"));
    EXPECT_EQ(device.currentOsBit(), 64);
}

TEST(ITDeviceFacts, ClientVersionComesFromTheAppBundleOrTheDefault) {
    TempRoot root;
    EXPECT_EQ(ITDevice().getLocalZEMQZNVersion(), "5.0.3.100");
    EXPECT_EQ(ITDevice().getLocalZEMQZNVersion(ITDevice::kReportFallbackVersion), "5.2.1.100");
    std::filesystem::create_directories(paths::uiAppBundle() + "/Contents");
    ASSERT_TRUE(archive::writePlistFile(archive::Dictionary{{"CFBundleVersion", "5.1.0.210"}},
                                        paths::uiAppBundle() + "/Contents/Info.plist"));
    EXPECT_EQ(ITDevice().getLocalZEMQZNVersion(), "5.1.0.210");
}

TEST(ITDeviceFacts, DomainNameFromTheDirectoryToolElseTheComputerName) {
    struct Case {
        const char* name;
        const char* dsconfigad;  // tool output, nullptr: no tool
        const char* scutil;
        std::string expected;
    };
    const Case cases[] = {
        {"bound computer account with the model prefix",
         "Active Directory Domain          = corp.example\n  Computer Account              = mc-ana-07$\n",
         "Ana's Mac\n", "MC-ANA-07"},
        {"account without the prefix falls back", "  Computer Account              = ws-ana$\n",
         "Ana's Mac\n", "Ana's Mac"},
        {"no tools at all", nullptr, nullptr, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempRoot root;
        if (c.dsconfigad) {
            writeScript(paths::toolFolder() + "/dsconfigad",
                        std::string("#!/bin/sh\ncat <<'E'\n") + c.dsconfigad + "E\n");
        }
        if (c.scutil) {
            writeScript(paths::toolFolder() + "/scutil",
                        std::string("#!/bin/sh\n[ \"$1 $2\" = \"--get ComputerName\" ] && printf '%s' \"") +
                            c.scutil + "\"\n");
        }
        EXPECT_EQ(ITDevice().getADDomainName(), c.expected);
    }
}

TEST(ITDeviceInterfaces, TableHoldsFirstIPv4OfEachUpInterfaceWithAHardwarePort) {
    TempRoot root;
    addNetInterface(root, "eth0", 2, "08:00:27:aa:bb:cc", true);
    addNetInterface(root, "wlan0", 3, "a4:5e:60:01:02:03", true, true);
    addNetInterface(root, "eth1", 4, "08:00:27:00:00:01", true);
    addNetInterface(root, "veth0", 5, "0e:00:00:00:00:05", false);
    const std::vector<InterfaceAddress> list = {
        entry("lo", AddressFamily::IPv4, "127.0.0.1", true, true),
        entry("eth0", AddressFamily::Link),  // link layer before the IPv4 address
        entry("eth0", AddressFamily::IPv6, "fe80::1"),
        entry("eth0", AddressFamily::IPv4, "10.0.0.5"),
        entry("eth0", AddressFamily::IPv4, "10.0.0.6"),
        entry("wlan0", AddressFamily::IPv6, "fe80::2"),         // IPv6 only
        entry("eth1", AddressFamily::IPv4, "10.9.9.9", false),  // down
        entry("veth0", AddressFamily::IPv4, "172.17.0.2"),      // no hardware port
        entry("eth0", AddressFamily::Other),
    };
    ITDevice device([&] { return list; });
    EXPECT_EQ(device.macAddresses(), (std::vector<std::string>{"080027AABBCC", "A45E60010203"}));
    EXPECT_EQ(device.ipArray(), (std::vector<std::string>{"10.0.0.5", "0.0.0.0"}));
    const InterfaceInfo expectedEth0 = {{"MacAddress", "080027AABBCC"}, {"HardwarePort", "Ethernet"},
                                        {"service", "Ethernet"},        {"Device", "eth0"},
                                        {"ServiceID", "0000:00:12.0"},  {"ip", "10.0.0.5"}};
    EXPECT_EQ(device.networkInfos()->at("eth0"), expectedEth0);
    EXPECT_EQ(device.networkInfos()->at("wlan0").at("HardwarePort"), "Wi-Fi");
    EXPECT_TRUE(device.getNetworkMacAddress("veth0").empty());
}

TEST(ITDeviceInterfaces, CleanedCacheIsRebuiltFromTheCurrentInterfaces) {
    TempRoot root;
    addNetInterface(root, "eth0", 2, "08:00:27:aa:bb:cc", true);
    std::vector<InterfaceAddress> list = {entry("eth0", AddressFamily::IPv4, "10.0.0.5")};
    ITDevice device([&] { return list; });
    EXPECT_EQ(device.ipArray(), std::vector<std::string>{"10.0.0.5"});
    list = {entry("eth0", AddressFamily::IPv4, "10.0.0.77")};
    EXPECT_EQ(device.ipArray(), std::vector<std::string>{"10.0.0.5"});  // the built table stays
    device.cleanMacAddressCache();
    EXPECT_EQ(device.ipArray(), std::vector<std::string>{"10.0.0.77"});
}

TEST(ITDeviceInterfaces, HardwarePortsGetTheirAddresses) {
    TempRoot root;
    addNetInterface(root, "wlan0", 3, "a4:5e:60:01:02:03", true, true);
    addNetInterface(root, "eth0", 2, "08:00:27:aa:bb", true);  // fewer than six groups
    const std::vector<InterfaceAddress> list = {entry("wlan0", AddressFamily::IPv4, "192.168.8.20")};
    ITDevice device([&] { return list; });
    std::vector<InterfaceInfo> ports;
    device.listNetworkServices([&](const std::vector<InterfaceInfo>& p) { ports = p; });
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(
        ports[0],
        (InterfaceInfo{
            {"HardwarePort", "Ethernet"}, {"Device", "eth0"}, {"MacAddress", ""}, {"service", "Ethernet"}}));
    EXPECT_EQ(ports[1].at("MacAddress"), "A45E60010203");
    auto withIp = device.getHardwareportsIP(ports);
    EXPECT_EQ(withIp[0].at("ip"), "0.0.0.0");
    EXPECT_EQ(withIp[1].at("ip"), "192.168.8.20");
    EXPECT_EQ(device.hardwareports(), withIp);
    EXPECT_EQ(device.getHardwareportsIP({}), withIp);
}

TEST(ArrayExtension, SplitsNulEndedByteStrings) {
    struct Case {
        std::string bytes;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {std::string("Mac-XYZ\0", 8), {"Mac-XYZ"}},
        {std::string("A\0\0B", 4), {"A", ""}},
        {"", {}},
        {std::string("no end"), {}},
        {std::string("ok\0\xff\x01x\0", 7), {"ok", "??x"}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> data(c.bytes.begin(), c.bytes.end());
        EXPECT_EQ(Extension::stringArrayWithCFData(data), c.expected);
    }
}

TEST(ITDeviceLive, ReadsThisMachinesInterfacesAndFacts) {
    ::unsetenv("RAVAVIZA_ROOT");
    ITDevice device;
    EXPECT_FALSE(device.osName().empty());
    EXPECT_FALSE(device.machineName().empty());
    (void)device.userName();
    (void)device.currentOsBit();
    (void)device.serialNum();
    (void)device.hardDiskSerialNums();
    (void)device.memorySerialNums();
    auto macs = device.macAddresses();
    auto ips = device.ipArray();
    ASSERT_EQ(macs.size(), ips.size());
    // Every listed MAC is that of a device-backed interface as sysfs shows it.
    for (const auto& [name, info] : *device.networkInfos()) {
        EXPECT_TRUE(std::filesystem::exists("/sys/class/net/" + name + "/device")) << name;
        std::string mac = recordstest::readFile("/sys/class/net/" + name + "/address");
        std::string compact;
        for (char ch : mac) {
            if (ch != ':' && ch != '\n')
                compact += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        }
        EXPECT_EQ(info.at("MacAddress"), compact);
    }
}
