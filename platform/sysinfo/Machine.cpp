#include "Machine.h"

#include <cctype>

#include "platform/core/FileIO.h"
#include "platform/paths/Paths.h"
#include "SysFiles.h"

namespace sysinfo {

namespace {

bool plainName(const std::string& name) {
    if (name.empty()) return false;
    for (char c : name) {
        if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == ',')) return false;
    }
    return true;
}

}  // namespace

std::map<std::string, std::string> osRelease() {
    auto values = readKeyValueFile(paths::under("/etc/os-release"));
    if (values.empty()) values = readKeyValueFile(paths::under("/usr/lib/os-release"));
    return values;
}

std::optional<std::string> dmi(const std::string& attribute) {
    if (!plainName(attribute)) return std::nullopt;
    return readValue(paths::under("/sys/class/dmi/id/" + attribute));
}

bool isFirmwarePlaceholder(std::string_view text) {
    std::string lower;
    for (char c : trim(text)) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    static const char* const kPlaceholders[] = {"to be filled by o.e.m.",
                                                "to be filled by oem",
                                                "default string",
                                                "not specified",
                                                "not applicable",
                                                "not available",
                                                "not settable",
                                                "n/a",
                                                "na",
                                                "none",
                                                "null",
                                                "unknown",
                                                "no dimm",
                                                "oem",
                                                "o.e.m.",
                                                "system serial number",
                                                "chassis serial number",
                                                "base board serial number",
                                                "serial number",
                                                "0123456789",
                                                "123456789",
                                                "1234567890",
                                                "xxxxxxxxxxxx"};
    if (lower.empty()) return true;
    for (const char* p : kPlaceholders) {
        if (lower == p) return true;
    }
    // One character repeated (all zeros, all blanks, all dots, all F) is no serial either.
    return lower.find_first_not_of(lower[0]) == std::string::npos &&
           (lower[0] == '0' || lower[0] == 'f' || lower[0] == '.' || lower[0] == '-' || lower[0] == 'x');
}

std::optional<std::string> dmiSerial(const std::string& attribute) {
    auto value = dmi(attribute);
    if (!value || isFirmwarePlaceholder(*value)) return std::nullopt;
    return value;
}

std::optional<std::string> hostName() {
    auto info = readKeyValueFile(paths::under("/etc/machine-info"));
    if (auto it = info.find("PRETTY_HOSTNAME"); it != info.end() && !trim(it->second).empty()) {
        return trim(it->second);
    }
    if (auto kernel = readValue(paths::under("/proc/sys/kernel/hostname"))) return kernel;
    return readValue(paths::under("/etc/hostname"));
}

int32_t firmwareBits() {
    auto size = readValue(paths::under("/sys/firmware/efi/fw_platform_size"));
    if (size == "64") return 64;
    if (size == "32") return 32;
    return 0;
}

std::optional<std::string> machineId() {
    for (const char* source : {"/etc/machine-id", "/var/lib/dbus/machine-id"}) {
        auto id = readValue(paths::under(source));
        if (!id || id->size() != 32) continue;
        std::string lower;
        bool hex = true;
        for (char c : *id) {
            if (!std::isxdigit(static_cast<unsigned char>(c))) hex = false;
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        if (hex && lower != std::string(32, '0')) return lower;
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> deviceTreeProperty(const std::string& name) {
    if (!plainName(name)) return std::nullopt;
    return fileio::readFile(paths::under("/proc/device-tree/" + name), 64 * 1024);
}

}  // namespace sysinfo
