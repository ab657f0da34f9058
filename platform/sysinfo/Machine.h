// Facts about the machine itself from Linux sources: /etc/os-release, the DMI files under
// /sys/class/dmi/id, the host names, the firmware and the device tree. Every source path lies
// under the root prefix, so tests provide fixtures.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sysinfo {

// The keys of /etc/os-release (falling back to /usr/lib/os-release), such as NAME and VERSION_ID.
std::map<std::string, std::string> osRelease();

// One DMI attribute (product_name, product_serial, board_serial, product_uuid ...), trimmed;
// nothing when missing, empty or unreadable (several are readable by root only).
std::optional<std::string> dmi(const std::string& attribute);

// Whether a firmware text only stands in for a value the maker left unset ("To Be Filled By
// O.E.M.", "Default string", "Not Specified", all zeros ...), compared without letter case.
bool isFirmwarePlaceholder(std::string_view text);

// A DMI serial number (product_serial, board_serial, chassis_serial); nothing when missing,
// unreadable or a placeholder.
std::optional<std::string> dmiSerial(const std::string& attribute);

// The user-facing host name: PRETTY_HOSTNAME of /etc/machine-info, else the kernel's host name.
std::optional<std::string> hostName();

// The firmware's word size from /sys/firmware/efi/fw_platform_size: 64, 32, or 0 when unknown
// (for example a machine booted without UEFI).
int32_t firmwareBits();

// /etc/machine-id (or the D-Bus copy) as 32 lower-case hex digits; nothing when absent or malformed.
std::optional<std::string> machineId();

// A raw property of /proc/device-tree (machines described by a device tree); nothing elsewhere.
std::optional<std::vector<uint8_t>> deviceTreeProperty(const std::string& name);

}  // namespace sysinfo
