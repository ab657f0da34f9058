#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utmp.h>

#include <cstring>
#include <filesystem>

#include "tests/records/support/RecordsTestSupport.h"
#include "platform/paths/Paths.h"
#include "platform/sysinfo/ConsoleUser.h"
#include "platform/sysinfo/HardwareUuid.h"
#include "platform/sysinfo/Machine.h"
#include "platform/sysinfo/NetInterfaces.h"
#include "platform/sysinfo/Nmcli.h"
#include "platform/sysinfo/Resolver.h"
#include "platform/sysinfo/Storage.h"
#include "platform/sysinfo/SysFiles.h"

using recordstest::TempRoot;
using recordstest::writeFile;

namespace {

struct UtmpEntry {
    short type;
    const char* user;
    const char* line;
    const char* host;
    int32_t when;
};

std::string utmpBytes(std::initializer_list<UtmpEntry> entries) {
    std::string out;
    for (const auto& e : entries) {
        utmp u;
        std::memset(&u, 0, sizeof u);
        u.ut_type = e.type;
        std::strncpy(u.ut_user, e.user, sizeof u.ut_user);
        std::strncpy(u.ut_line, e.line, sizeof u.ut_line);
        std::strncpy(u.ut_host, e.host, sizeof u.ut_host);
        u.ut_tv.tv_sec = e.when;
        out.append(reinterpret_cast<const char*>(&u), sizeof u);
    }
    return out;
}

}  // namespace

TEST(SysinfoKeyValue, ReadsQuotedUnquotedAndEscapedValues) {
    auto v = sysinfo::parseKeyValueText(
        "# comment\nNAME=\"Debian GNU/Linux\"\nVERSION_ID='12'\nID=debian\nPRETTY=\"say \\\"hi\\\"\"\n"
        "BROKEN=\"open\n=novalue\n  SPACED = x \n");
    EXPECT_EQ(v["NAME"], "Debian GNU/Linux");
    EXPECT_EQ(v["VERSION_ID"], "12");
    EXPECT_EQ(v["ID"], "debian");
    EXPECT_EQ(v["PRETTY"], "say \"hi\"");
    EXPECT_EQ(v.count("BROKEN"), 0u);
    EXPECT_EQ(v["SPACED"], "x");
}

TEST(SysinfoConsoleUser, PrefersLogindSeatThenLocalUtmpLogins) {
    struct Case {
        const char* name;
        const char* seat;     // seat0 file, nullptr: none
        const char* session;  // sessions/c2 file
        std::string utmp;     // empty: no file
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"active user session", "ACTIVE=c2\nACTIVE_UID=1000\n", "UID=1000\nUSER=alice\nCLASS=user\n", "",
         "alice"},
        {"greeter is nobody; utmp has no local login", "ACTIVE=c2\n", "USER=gdm\nCLASS=greeter\n",
         utmpBytes({{USER_PROCESS, "bob", "pts/0", "10.0.0.9", 5}}), std::nullopt},
        {"no logind: text console beats remote terminal", nullptr, nullptr,
         utmpBytes(
             {{USER_PROCESS, "remote", "pts/1", "10.0.0.9", 9}, {USER_PROCESS, "carol", "tty1", "", 3}}),
         "carol"},
        {"no logind: graphical display beats newer tty", nullptr, nullptr,
         utmpBytes({{USER_PROCESS, "dave", "tty7", ":0", 1},
                    {USER_PROCESS, "erin", "tty2", "", 8},
                    {DEAD_PROCESS, "gone", ":1", "", 20}}),
         "dave"},
        {"session id that would leave the folder", "ACTIVE=../../etc/x\n", nullptr, "", std::nullopt},
        {"nothing at all", nullptr, nullptr, "", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempRoot root;
        if (c.seat) writeFile(root.at("/run/systemd/seats/seat0"), c.seat);
        if (c.session) writeFile(root.at("/run/systemd/sessions/c2"), c.session);
        if (!c.utmp.empty()) writeFile(root.at("/var/run/utmp"), c.utmp);
        EXPECT_EQ(sysinfo::consoleUser(), c.expected);
    }
}

TEST(SysinfoResolver, ReadsNameServerLinesAndLooksBehindTheResolvedStub) {
    TempRoot root;
    EXPECT_FALSE(sysinfo::nameServers().has_value());

    writeFile(root.at("/etc/resolv.conf"),
              "# nameserver 10.9.9.9\nsearch corp.example\nnameserver 10.0.0.1\n ; nameserver 1.1.1.1\n"
              "nameserver   fd00::53  \noptions edns0\nnameserver\n");
    EXPECT_EQ(sysinfo::nameServers(), (std::vector<std::string>{"10.0.0.1", "fd00::53"}));

    writeFile(root.at("/etc/resolv.conf"), "nameserver 127.0.0.53\noptions edns0 trust-ad\n");
    EXPECT_EQ(sysinfo::nameServers(), (std::vector<std::string>{"127.0.0.53"}));
    writeFile(root.at("/run/systemd/resolve/resolv.conf"), "nameserver 10.1.1.1\nnameserver 10.1.1.2\n");
    EXPECT_EQ(sysinfo::nameServers(), (std::vector<std::string>{"10.1.1.1", "10.1.1.2"}));
}

TEST(SysinfoRoutes, TakesTheLowestMetricDefaultGatewayOfTheInterface) {
    TempRoot root;
    EXPECT_FALSE(sysinfo::defaultRouter("eth0").has_value());
    writeFile(root.at("/proc/net/route"),
              "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
              "eth0\t00000000\t FE01A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
              "eth0\t00000000\t0101A8C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
              "eth0\t0001A8C0\t00000000\t0001\t0\t0\t100\t00FFFFFF\t0\t0\t0\n"
              "wlan0\t00000000\t0102000A\t0003\t0\t0\t50\t00000000\t0\t0\t0\n"
              "tun0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n");
    EXPECT_EQ(sysinfo::defaultRouter("eth0"), "192.168.1.1");
    EXPECT_EQ(sysinfo::defaultRouter("wlan0"), "10.0.2.1");
    EXPECT_FALSE(sysinfo::defaultRouter("tun0").has_value());  // no gateway flag
    EXPECT_FALSE(sysinfo::defaultRouter("eth9").has_value());
}

// A sysfs interface folder as the kernel lays it out.
void addInterface(const TempRoot& root, const std::string& name, int index, const std::string& type,
                  const std::string& mac, bool backed, const std::string& devtype = "",
                  bool wirelessDir = false) {
    std::string folder = root.at("/sys/class/net/" + name);
    writeFile(folder + "/type", type + "\n");
    writeFile(folder + "/address", mac + "\n");
    writeFile(folder + "/ifindex", std::to_string(index) + "\n");
    writeFile(folder + "/uevent",
              "INTERFACE=" + name + "\n" + (devtype.empty() ? "" : "DEVTYPE=" + devtype + "\n"));
    if (backed) {
        std::filesystem::create_directories(
            root.at("/sys/devices/pci0000:00/0000:00:0" + std::to_string(index) + ".0"));
        std::filesystem::create_directory_symlink(
            "../../../devices/pci0000:00/0000:00:0" + std::to_string(index) + ".0", folder + "/device");
    }
    if (wirelessDir) std::filesystem::create_directories(folder + "/wireless");
}

TEST(SysinfoHardwarePorts, ListsDeviceBackedEthernetAndWifiInIndexOrder) {
    TempRoot root;
    addInterface(root, "lo", 1, "772", "00:00:00:00:00:00", false);
    addInterface(root, "wlp2s0", 3, "1", "a4:5e:60:00:00:02", true, "wlan");
    addInterface(root, "enp0s3", 2, "1", "08:00:27:aa:bb:cc", true);
    addInterface(root, "wlan1", 6, "1", "a4:5e:60:00:00:06", true, "", true);
    addInterface(root, "veth0", 4, "1", "0e:00:00:00:00:04", false);
    addInterface(root, "bnep0", 5, "1", "0e:00:00:00:00:05", true, "bluetooth");
    addInterface(root, "thunderbolt0", 7, "1", "02:00:00:00:00:07", true);
    std::filesystem::create_directories(root.at("/sys/bus/thunderbolt"));
    std::filesystem::create_directory_symlink(root.at("/sys/bus/thunderbolt"),
                                              root.at("/sys/devices/pci0000:00/0000:00:07.0/subsystem"));

    auto ports = sysinfo::hardwarePorts();
    ASSERT_EQ(ports.size(), 3u);
    EXPECT_EQ(ports[0].device, "enp0s3");
    EXPECT_EQ(ports[0].displayName, "Ethernet");
    EXPECT_EQ(ports[0].macAddress, "08:00:27:aa:bb:cc");
    EXPECT_EQ(ports[0].busId, "0000:00:02.0");
    EXPECT_FALSE(ports[0].wireless);
    EXPECT_EQ(ports[1].device, "wlp2s0");
    EXPECT_EQ(ports[1].displayName, "Wi-Fi");
    EXPECT_EQ(ports[2].device, "wlan1");
    EXPECT_TRUE(ports[2].wireless);

    EXPECT_FALSE(sysinfo::hardwarePort("../../../etc").has_value());
    EXPECT_FALSE(sysinfo::hardwarePort("veth0").has_value());
    EXPECT_EQ(sysinfo::linkAddress("veth0"), "0e:00:00:00:00:04");
}

TEST(SysinfoHardwareUuid, CanonicalFormRejectsPlaceholders) {
    EXPECT_EQ(sysinfo::canonicalUuid(" 4c4c4544-0042-3510-8052-b4c04f4e4d32\n"),
              "4C4C4544-0042-3510-8052-B4C04F4E4D32");
    EXPECT_FALSE(sysinfo::canonicalUuid("00000000-0000-0000-0000-000000000000"));
    EXPECT_FALSE(sysinfo::canonicalUuid("ffffffff-ffff-ffff-ffff-ffffffffffff"));
    EXPECT_FALSE(sysinfo::canonicalUuid("4c4c4544_0042-3510-8052-b4c04f4e4d32"));
    EXPECT_FALSE(sysinfo::canonicalUuid("Not Settable"));
}

// Runs hardwareUuid() in a child process that has dropped to the "nobody" account.
std::string uuidAsUnprivilegedUser() {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe failed";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        passwd* pw = ::getpwnam("nobody");
        if (!pw || ::setgid(pw->pw_gid) != 0 || ::setuid(pw->pw_uid) != 0) ::_exit(2);
        std::string uuid = "uid=" + std::to_string(::geteuid()) + " " + sysinfo::hardwareUuid();
        ssize_t ignored = ::write(fds[1], uuid.data(), uuid.size());
        (void)ignored;
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

TEST(SysinfoHardwareUuid, SameValueForRootAndUnprivilegedProcesses) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
    TempRoot root;
    // product_uuid is root-only, as the kernel exposes it.
    writeFile(root.at("/sys/class/dmi/id/product_uuid"), "4c4c4544-0042-3510-8052-b4c04f4e4d32\n", 0400);
    writeFile(root.at("/etc/machine-id"), "3d1219c7c4c5404aaa1f6d2a48adfda4\n");
    const std::string expected = "4C4C4544-0042-3510-8052-B4C04F4E4D32";

    // Before root ran, an unprivileged process reports nothing rather than the machine id, which
    // root would never report on this machine.
    EXPECT_EQ(uuidAsUnprivilegedUser(), "uid=65534 ");

    EXPECT_EQ(sysinfo::hardwareUuid(), expected);
    std::string cache = paths::hardwareUuidCacheFile();
    ASSERT_TRUE(std::filesystem::exists(cache));
    EXPECT_EQ(std::filesystem::status(cache).permissions() & std::filesystem::perms::others_read,
              std::filesystem::perms::others_read);
    EXPECT_EQ(uuidAsUnprivilegedUser(), "uid=65534 " + expected);
}

TEST(SysinfoHardwareUuid, PlaceholderOrMissingFirmwareDataGivesTheMachineIdEverywhere) {
    const std::string fromMachineId = "3D1219C7-C4C5-404A-AA1F-6D2A48ADFDA4";
    struct Case {
        const char* what;
        const char* productUuid;  // nullptr: no DMI file
        bool cached;              // root leaves its copy for the others
    } cases[] = {
        {"placeholder the others cannot read", "00000000-0000-0000-0000-000000000000\n", true},
        {"no DMI data", nullptr, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempRoot root;
        writeFile(root.at("/etc/machine-id"), "3d1219c7c4c5404aaa1f6d2a48adfda4\n");
        if (c.productUuid) writeFile(root.at("/sys/class/dmi/id/product_uuid"), c.productUuid, 0400);
        EXPECT_EQ(sysinfo::hardwareUuid(), fromMachineId);
        if (::geteuid() != 0) continue;
        EXPECT_EQ(std::filesystem::exists(paths::hardwareUuidCacheFile()), c.cached);
        EXPECT_EQ(uuidAsUnprivilegedUser(), "uid=65534 " + fromMachineId);

        // Without a machine id root has no answer, and withdraws its copy.
        writeFile(root.at("/etc/machine-id"), "not-an-id\n");
        EXPECT_EQ(sysinfo::hardwareUuid(), "");
        EXPECT_FALSE(std::filesystem::exists(paths::hardwareUuidCacheFile()));
    }
}

TEST(SysinfoMachine, SerialPlaceholdersAreNoSerials) {
    TempRoot root;
    const char* placeholders[] = {"To Be Filled By O.E.M.",
                                  "Default string",
                                  "Not Specified",
                                  "0000000000",
                                  "System Serial Number",
                                  "  ",
                                  "None",
                                  "0123456789"};
    for (const char* p : placeholders) {
        writeFile(root.at("/sys/class/dmi/id/product_serial"), std::string(p) + "\n", 0400);
        EXPECT_FALSE(sysinfo::dmiSerial("product_serial").has_value()) << p;
    }
    for (const char* real : {"C02XYZ123", "PF3ABCDE", "5CG0-0001"}) {
        writeFile(root.at("/sys/class/dmi/id/board_serial"), std::string(real) + "\n", 0400);
        EXPECT_EQ(sysinfo::dmiSerial("board_serial"), real);
    }
}

TEST(SysinfoMachine, ReadsHostNameFirmwareAndDmiFromTheRoot) {
    TempRoot root;
    EXPECT_FALSE(sysinfo::hostName().has_value());
    EXPECT_EQ(sysinfo::firmwareBits(), 0);
    writeFile(root.at("/proc/sys/kernel/hostname"), "build-07\n");
    EXPECT_EQ(sysinfo::hostName(), "build-07");
    writeFile(root.at("/etc/machine-info"), "PRETTY_HOSTNAME=\"Ana's Laptop\"\n");
    EXPECT_EQ(sysinfo::hostName(), "Ana's Laptop");
    writeFile(root.at("/sys/firmware/efi/fw_platform_size"), "64\n");
    EXPECT_EQ(sysinfo::firmwareBits(), 64);
    writeFile(root.at("/sys/class/dmi/id/product_name"), "  ThinkPad X1  \n");
    EXPECT_EQ(sysinfo::dmi("product_name"), "ThinkPad X1");
    EXPECT_FALSE(sysinfo::dmi("../id/product_name").has_value());
}

// Builds SMBIOS structures: the formatted area (type, length, handle, body) and the string set.
std::string smbiosStructure(uint8_t type, std::string body, std::initializer_list<const char*> strings) {
    std::string s;
    s += static_cast<char>(type);
    s += static_cast<char>(4 + body.size());
    s += std::string("\x01\x00", 2);
    s += body;
    for (const char* str : strings) s += std::string(str) + '\0';
    s += strings.size() == 0 ? std::string(2, '\0') : std::string(1, '\0');
    return s;
}

std::string memoryDevice(uint16_t sizeMb, uint8_t serialIndex) {
    std::string body(0x24, '\0');  // up to and past the serial-number index at 0x18
    body[0x0C - 4] = static_cast<char>(sizeMb & 0xff);
    body[0x0C - 3] = static_cast<char>(sizeMb >> 8);
    body[0x18 - 4] = static_cast<char>(serialIndex);
    return body;
}

TEST(SysinfoStorage, MemorySerialsComeFromInstalledModulesOnly) {
    std::string table = smbiosStructure(0, std::string(0x14, '\0'), {"Vendor", "1.0"}) +
                        smbiosStructure(17, memoryDevice(8192, 2), {"DIMM A", "S3R1AL01", "Maker"}) +
                        smbiosStructure(17, memoryDevice(0, 1), {"NO DIMM"}) +
                        smbiosStructure(17, memoryDevice(8192, 1), {"Not Specified"}) +
                        smbiosStructure(17, memoryDevice(4096, 1), {"ABCD0002"}) +
                        smbiosStructure(17, memoryDevice(4096, 0), {}) + smbiosStructure(127, "", {});
    std::vector<uint8_t> bytes(table.begin(), table.end());
    EXPECT_EQ(sysinfo::parseSmbiosMemorySerials(bytes), (std::vector<std::string>{"S3R1AL01", "ABCD0002"}));
    // Truncated tables end the walk without reading past the data.
    for (size_t cut : {size_t{3}, size_t{30}, bytes.size() - 5}) {
        std::vector<uint8_t> part(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(cut));
        EXPECT_LE(sysinfo::parseSmbiosMemorySerials(part).size(), 2u);
    }
}

TEST(SysinfoStorage, DiskSerialsFromNvmeVirtioAndScsiPages) {
    TempRoot root;
    writeFile(root.at("/sys/block/nvme0n1/device/serial"), "  S4EVNX0N123  \n");
    writeFile(root.at("/sys/block/sda/device/vpd_pg80"), std::string("\x00\x80\x00\x08WD-12345", 12));
    writeFile(root.at("/sys/block/vda/serial"), "virtio-7\n");
    std::filesystem::create_directories(root.at("/sys/block/vda/device"));
    std::filesystem::create_directories(root.at("/sys/block/loop0"));
    EXPECT_EQ(sysinfo::diskSerials(), (std::vector<std::string>{"S4EVNX0N123", "WD-12345", "virtio-7"}));
}

TEST(SysinfoNmcli, SplitsTerseFieldsAndFindsTheJoinedNetwork) {
    EXPECT_EQ(sysinfo::splitTerseLine("yes:Corp\\:Net\\\\5G"),
              (std::vector<std::string>{"yes", "Corp:Net\\5G"}));
    EXPECT_EQ(sysinfo::splitTerseLine(""), (std::vector<std::string>{""}));
    EXPECT_EQ(sysinfo::activeSsidFromWifiList("no:Guest\nyes:Corp\\:Net\nno:Other\n"), "Corp:Net");
    EXPECT_FALSE(sysinfo::activeSsidFromWifiList("no:Guest\nno:Other\n").has_value());
    EXPECT_FALSE(sysinfo::activeSsidFromWifiList("yes:\n").has_value());
}

TEST(SysinfoLive, ReadsThisMachineWithoutFixtures) {
    ::unsetenv("RAVAVIZA_ROOT");
    auto addresses = sysinfo::interfaceAddresses();
    bool loopback = false;
    for (const auto& a : addresses) loopback |= a.loopback && a.family == sysinfo::AddressFamily::IPv4;
    EXPECT_TRUE(loopback);
    for (const auto& port : sysinfo::hardwarePorts()) {
        EXPECT_FALSE(port.device.empty());
        EXPECT_TRUE(std::filesystem::exists("/sys/class/net/" + port.device));
    }
    (void)sysinfo::consoleUser();
    (void)sysinfo::nameServers();
    (void)sysinfo::memorySerials();
    (void)sysinfo::diskSerials();
    EXPECT_FALSE(sysinfo::osRelease().empty());
}
