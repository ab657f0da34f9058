#include "NetInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "platform/paths/Paths.h"
#include "SysFiles.h"

namespace sysinfo {

namespace {

constexpr const char* kNetFolder = "/sys/class/net/";
constexpr int kArphrdEther = 1;

std::string dotted(const sockaddr* sa) {
    char text[INET6_ADDRSTRLEN] = {};
    if (sa->sa_family == AF_INET) {
        auto* in = reinterpret_cast<const sockaddr_in*>(sa);
        if (inet_ntop(AF_INET, &in->sin_addr, text, sizeof text)) return text;
    } else if (sa->sa_family == AF_INET6) {
        auto* in6 = reinterpret_cast<const sockaddr_in6*>(sa);
        if (inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof text)) return text;
    }
    return {};
}

std::string netFolder(const std::string& device) {
    return paths::under(kNetFolder + device);
}

}  // namespace

std::vector<InterfaceAddress> interfaceAddresses() {
    std::vector<InterfaceAddress> out;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a; a = a->ifa_next) {
        InterfaceAddress e;
        e.name = a->ifa_name ? a->ifa_name : "";
        e.up = (a->ifa_flags & IFF_UP) != 0;
        e.loopback = (a->ifa_flags & IFF_LOOPBACK) != 0;
        e.hasAddress = a->ifa_addr != nullptr;
        if (a->ifa_addr) {
            switch (a->ifa_addr->sa_family) {
                case AF_INET:
                    e.family = AddressFamily::IPv4;
                    e.address = dotted(a->ifa_addr);
                    if (a->ifa_netmask) e.netmask = dotted(a->ifa_netmask);
                    break;
                case AF_PACKET:
                    e.family = AddressFamily::Link;
                    break;
                case AF_INET6:
                    e.family = AddressFamily::IPv6;
                    e.address = dotted(a->ifa_addr);
                    break;
                default:
                    break;
            }
        }
        out.push_back(std::move(e));
    }
    freeifaddrs(list);
    return out;
}

bool isInterfaceName(const std::string& name) {
    if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..") return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        return c == '/' || c == '\0' || std::isspace(static_cast<unsigned char>(c));
    });
}

std::optional<HardwarePort> hardwarePort(const std::string& device) {
    namespace fs = std::filesystem;
    if (!isInterfaceName(device)) return std::nullopt;
    std::string folder = netFolder(device);
    std::error_code ec;
    if (readValue(folder + "/type") != std::to_string(kArphrdEther)) return std::nullopt;
    fs::path backing = folder + "/device";
    if (!fs::exists(backing, ec)) return std::nullopt;
    auto uevent = readKeyValueFile(folder + "/uevent");
    std::string devtype = uevent.count("DEVTYPE") ? uevent["DEVTYPE"] : "";
    if (devtype == "bluetooth") return std::nullopt;
    // Networking over Bluetooth or Thunderbolt cables is a link between two machines, not a port.
    std::string bus = fs::read_symlink(backing / "subsystem", ec).filename().string();
    if (bus == "bluetooth" || bus == "thunderbolt") return std::nullopt;

    HardwarePort port;
    port.device = device;
    port.wireless =
        devtype == "wlan" || fs::exists(folder + "/wireless", ec) || fs::exists(folder + "/phy80211", ec);
    port.displayName = port.wireless ? "Wi-Fi" : "Ethernet";
    port.macAddress = readValue(folder + "/address").value_or("");
    if (fs::is_symlink(backing, ec)) port.busId = fs::read_symlink(backing, ec).filename().string();
    if (auto index = readValue(folder + "/ifindex")) port.ifindex = std::atoi(index->c_str());
    return port;
}

std::vector<HardwarePort> hardwarePorts() {
    namespace fs = std::filesystem;
    std::vector<HardwarePort> ports;
    std::error_code ec;
    for (fs::directory_iterator it(paths::under(kNetFolder), ec), end; !ec && it != end; it.increment(ec)) {
        if (auto port = hardwarePort(it->path().filename().string())) ports.push_back(std::move(*port));
    }
    std::sort(ports.begin(), ports.end(), [](const HardwarePort& a, const HardwarePort& b) {
        return a.ifindex != b.ifindex ? a.ifindex < b.ifindex : a.device < b.device;
    });
    return ports;
}

std::optional<std::string> linkAddress(const std::string& device) {
    if (!isInterfaceName(device)) return std::nullopt;
    return readValue(netFolder(device) + "/address");
}

std::optional<std::string> defaultRouter(const std::string& device) {
    auto table = readText(paths::under("/proc/net/route"), 1u << 20);
    if (!table) return std::nullopt;
    std::istringstream lines(*table);
    std::string line;
    std::getline(lines, line);  // header
    std::optional<std::string> best;
    long bestMetric = 0;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string iface, dest, gateway, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> dest >> gateway >> flags >> refcnt >> use >> metric >> mask)) continue;
        if (iface != device) continue;
        unsigned long f = std::strtoul(flags.c_str(), nullptr, 16);
        const unsigned long kUp = 0x1, kGateway = 0x2;
        if (std::strtoul(dest.c_str(), nullptr, 16) != 0 || std::strtoul(mask.c_str(), nullptr, 16) != 0 ||
            (f & (kUp | kGateway)) != (kUp | kGateway)) {
            continue;
        }
        // The table prints the address as the host-order value of the network-order word.
        uint32_t raw = static_cast<uint32_t>(std::strtoul(gateway.c_str(), nullptr, 16));
        in_addr addr;
        std::memcpy(&addr, &raw, sizeof addr);
        char text[INET_ADDRSTRLEN] = {};
        if (!inet_ntop(AF_INET, &addr, text, sizeof text)) continue;
        long m = std::strtol(metric.c_str(), nullptr, 10);
        if (!best || m < bestMetric) {
            best = text;
            bestMetric = m;
        }
    }
    return best;
}

}  // namespace sysinfo
