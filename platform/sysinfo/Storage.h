// Serial numbers of the machine's disks (sysfs block devices) and memory modules (the SMBIOS
// table the firmware hands the kernel, readable by root only).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace sysinfo {

// One serial per physical disk that reports one, in the order of the device names.
std::vector<std::string> diskSerials();

// Serials of the installed memory modules; empty when the table cannot be read.
std::vector<std::string> memorySerials();

// The memory-device (type 17) serials of a raw SMBIOS structure table, skipping empty sockets
// and the placeholders firmware writes for unknown values.
std::vector<std::string> parseSmbiosMemorySerials(std::span<const uint8_t> table);

}  // namespace sysinfo
