#include "HardwareUuid.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <filesystem>

#include "platform/core/FileIO.h"
#include "platform/paths/Paths.h"
#include "Machine.h"
#include "SysFiles.h"

namespace sysinfo {

std::optional<std::string> canonicalUuid(const std::string& text) {
    std::string t = trim(text);
    if (t.size() != 36) return std::nullopt;
    std::string out;
    std::string digits;
    for (size_t i = 0; i < t.size(); ++i) {
        char c = t[i];
        bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash) {
            if (c != '-') return std::nullopt;
        } else {
            if (!std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
            digits += c;
        }
        out += c;
    }
    if (digits == std::string(32, '0') || digits == std::string(32, 'F')) return std::nullopt;
    return out;
}

namespace {

std::optional<std::string> machineIdUuid() {
    auto id = machineId();
    if (!id) return std::nullopt;
    const std::string& u = *id;
    return canonicalUuid(u.substr(0, 8) + "-" + u.substr(8, 4) + "-" + u.substr(12, 4) + "-" +
                         u.substr(16, 4) + "-" + u.substr(20, 12));
}

}  // namespace

std::string hardwareUuid() {
    const std::string cachePath = paths::hardwareUuidCacheFile();
    // Only a copy that root wrote counts: the folder is root's, but a stray file must not decide.
    std::optional<std::string> cachedUuid;
    if (auto bytes = fileio::readUserFile(cachePath, uid_t{0}, 256)) {
        cachedUuid = canonicalUuid(std::string(bytes->begin(), bytes->end()));
    }
    const std::string dmiPath = paths::under("/sys/class/dmi/id/product_uuid");
    struct stat st {};
    const bool dmiPresent = ::stat(dmiPath.c_str(), &st) == 0;
    const auto raw = dmi("product_uuid");

    if (::geteuid() == 0) {
        // Root decides: the firmware's UUID, else the machine id. Its copy tells every other
        // process the same answer, including when the firmware value is a placeholder that they
        // cannot read to see it is one.
        std::optional<std::string> uuid = raw ? canonicalUuid(*raw) : std::nullopt;
        if (!uuid) uuid = machineIdUuid();
        if (uuid && cachedUuid != uuid && (dmiPresent || cachedUuid)) {
            std::error_code ec;
            std::filesystem::create_directories(paths::machineSupportFolder(), ec);
            fileio::writeFileAtomically(cachePath, *uuid + "\n", 0644);
        }
        if (!uuid && cachedUuid) ::unlink(cachePath.c_str());
        return uuid.value_or("");
    }

    if (cachedUuid) return *cachedUuid;
    if (raw) {
        if (auto uuid = canonicalUuid(*raw)) return *uuid;
    } else if (dmiPresent) {
        // The firmware has a UUID this process may not read: nothing until root's copy exists,
        // rather than a machine-id value that root would never report.
        return {};
    }
    return machineIdUuid().value_or("");
}

}  // namespace sysinfo
