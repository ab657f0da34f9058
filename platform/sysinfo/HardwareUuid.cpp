#include "sysinfo/HardwareUuid.h"

#include <unistd.h>

#include <cctype>
#include <filesystem>

#include "core/FileIO.h"
#include "paths/Paths.h"
#include "sysinfo/Machine.h"
#include "sysinfo/SysFiles.h"

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

std::string hardwareUuid() {
    const std::string cachePath = paths::hardwareUuidCacheFile();
    // Only a copy that root wrote counts: the folder is root's, but a stray file must not decide.
    std::optional<std::string> cachedUuid;
    if (auto bytes = fileio::readUserFile(cachePath, uid_t{0}, 256)) {
        cachedUuid = canonicalUuid(std::string(bytes->begin(), bytes->end()));
    }

    if (auto raw = dmi("product_uuid")) {
        if (auto uuid = canonicalUuid(*raw)) {
            if (::geteuid() == 0 && cachedUuid != uuid) {
                std::error_code ec;
                std::filesystem::create_directories(paths::machineSupportFolder(), ec);
                fileio::writeFileAtomically(cachePath, *uuid + "\n", 0644);
            }
            return *uuid;
        }
    }
    if (cachedUuid) return *cachedUuid;
    if (auto id = machineId()) {
        const std::string& u = *id;
        if (auto uuid = canonicalUuid(u.substr(0, 8) + "-" + u.substr(8, 4) + "-" + u.substr(12, 4) + "-" +
                                      u.substr(16, 4) + "-" + u.substr(20, 12))) {
            return *uuid;
        }
    }
    return {};
}

}  // namespace sysinfo
