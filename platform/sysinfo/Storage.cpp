#include "Storage.h"

#include <algorithm>
#include <cctype>
#include <filesystem>

#include "platform/core/FileIO.h"
#include "platform/paths/Paths.h"
#include "Machine.h"
#include "SysFiles.h"

namespace sysinfo {

namespace {

bool placeholder(const std::string& s) {
    return isFirmwarePlaceholder(s);
}

// Page 0x80 of the SCSI vital product data: a four-byte header, then the serial text.
std::string vpdSerial(const std::string& path) {
    auto bytes = fileio::readFile(path, 4096);
    if (!bytes || bytes->size() < 4 || (*bytes)[1] != 0x80) return {};
    size_t len = (static_cast<size_t>((*bytes)[2]) << 8) | (*bytes)[3];
    len = std::min(len, bytes->size() - 4);
    std::string text(bytes->begin() + 4, bytes->begin() + 4 + static_cast<std::ptrdiff_t>(len));
    text.erase(std::remove(text.begin(), text.end(), '\0'), text.end());
    return trim(text);
}

}  // namespace

std::vector<std::string> diskSerials() {
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(paths::under("/sys/block"), ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> serials;
    for (const auto& name : names) {
        std::string folder = paths::under("/sys/block/" + name);
        if (!fs::exists(folder + "/device", ec)) continue;  // loop, ram, device-mapper ...
        std::string serial = readValue(folder + "/device/serial").value_or("");
        if (serial.empty()) serial = readValue(folder + "/serial").value_or("");
        if (serial.empty()) serial = vpdSerial(folder + "/device/vpd_pg80");
        if (!serial.empty()) serials.push_back(serial);
    }
    return serials;
}

std::vector<std::string> parseSmbiosMemorySerials(std::span<const uint8_t> table) {
    constexpr uint8_t kMemoryDevice = 17, kEnd = 127;
    constexpr size_t kSizeOffset = 0x0C, kSerialOffset = 0x18;
    std::vector<std::string> serials;
    size_t i = 0;
    while (i + 4 <= table.size()) {
        uint8_t type = table[i];
        size_t len = table[i + 1];
        if (len < 4 || i + len > table.size()) break;
        // The formatted area is followed by its strings, each NUL-ended, the set ended by a NUL.
        std::vector<std::string> strings;
        size_t s = i + len;
        std::string current;
        bool closed = false;
        while (s < table.size()) {
            uint8_t b = table[s++];
            if (b != 0) {
                current += static_cast<char>(b);
                continue;
            }
            if (current.empty()) {
                closed = true;
                break;
            }
            strings.push_back(current);
            current.clear();
        }
        if (!closed) break;
        if (strings.empty() && s < table.size() && table[s] == 0) ++s;  // no strings: two NULs
        if (type == kMemoryDevice && len > kSerialOffset) {
            unsigned size = table[i + kSizeOffset] | (table[i + kSizeOffset + 1] << 8);
            uint8_t index = table[i + kSerialOffset];
            if (size != 0 && index >= 1 && index <= strings.size()) {
                std::string serial = trim(strings[index - 1]);
                if (!placeholder(serial)) serials.push_back(serial);
            }
        }
        if (type == kEnd) break;
        i = s;
    }
    return serials;
}

std::vector<std::string> memorySerials() {
    auto table = fileio::readFile(paths::under("/sys/firmware/dmi/tables/DMI"), 1u << 20);
    if (!table) return {};
    return parseSmbiosMemorySerials(*table);
}

}  // namespace sysinfo
