// Network interfaces from Linux sources: the kernel's address list (getifaddrs), the interface
// folders of /sys/class/net and the routing table /proc/net/route. A "hardware port" is an
// Ethernet-type interface backed by a device (wired or Wi-Fi); virtual interfaces (loopback,
// bridges, veth, tunnels, ifb) and Bluetooth or Thunderbolt networking are not ports.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace sysinfo {

enum class AddressFamily { IPv4, Link, IPv6, Other };

// One entry of the kernel's address list: one interface and one of its addresses.
struct InterfaceAddress {
    std::string name;
    bool up = false;
    bool loopback = false;
    bool hasAddress = false;
    AddressFamily family = AddressFamily::Other;
    std::string address;  // dotted IPv4 or IPv6 text; empty for link-layer entries
    std::string netmask;  // dotted IPv4 mask; empty otherwise
};

// The live list, in the kernel's order; empty when it cannot be read.
std::vector<InterfaceAddress> interfaceAddresses();

struct HardwarePort {
    std::string device;       // kernel name, such as eth0 or wlp2s0
    std::string displayName;  // "Wi-Fi" or "Ethernet"
    std::string macAddress;   // as /sys/class/net/<device>/address prints it (lower case, ":" separated)
    std::string busId;        // name of the backing device, such as 0000:00:19.0
    bool wireless = false;
    int ifindex = 0;
};

// True for a name the kernel could give an interface (so it is safe as a path component).
bool isInterfaceName(const std::string& name);

// Every hardware port, ordered by interface index.
std::vector<HardwarePort> hardwarePorts();
std::optional<HardwarePort> hardwarePort(const std::string& device);

// The device's hardware address as sysfs prints it; nothing when unknown.
std::optional<std::string> linkAddress(const std::string& device);

// The IPv4 default router of an interface from the routing table (lowest metric first).
std::optional<std::string> defaultRouter(const std::string& device);

}  // namespace sysinfo
