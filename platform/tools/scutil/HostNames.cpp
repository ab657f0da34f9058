#include "HostNames.h"

#include <unistd.h>

#include <cctype>
#include <filesystem>
#include <optional>

#include "platform/core/FileIO.h"
#include "platform/core/LineText.h"
#include "platform/paths/Paths.h"
#include "platform/sysinfo/SysFiles.h"

namespace scutil {

namespace {

constexpr const char* kUsage = "usage: scutil --set|--get ComputerName|HostName|LocalHostName [name]\n";
constexpr size_t kMaxFileBytes = 64u << 10;

std::string machineInfoFile() {
    return paths::under("/etc/machine-info");
}

std::string hostnameFile() {
    return paths::under("/etc/hostname");
}

std::optional<std::string> readFileText(const std::string& path) {
    auto bytes = fileio::readFile(path, kMaxFileBytes);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

bool writeText(const std::string& path, const std::string& text) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    return fileio::writeFileAtomically(path, text, 0644);
}

// A host name: labels of letters, digits and hyphens, not starting or ending with a hyphen.
bool hostName(const std::string& name, bool singleLabel) {
    if (name.empty() || name.size() > 63 * (singleLabel ? 1 : 4)) return false;
    size_t label = 0;
    for (size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '.') {
            if (singleLabel || label == 0 || name[i - 1] == '-') return false;
            label = 0;
            continue;
        }
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '-') || u >= 0x80) return false;
        if (c == '-' && label == 0) return false;
        if (++label > 63) return false;
    }
    return label > 0 && name.back() != '-';
}

// A pretty name: text on one line.
bool prettyName(const std::string& name) {
    return !name.empty() && name.size() <= 255 && linetext::lineSafe(name);
}

std::string quoted(const std::string& value) {
    std::string out = "\"";
    for (char c : value) {
        if (c == '"' || c == '\\' || c == '$' || c == '`') out += '\\';
        out += c;
    }
    return out + "\"";
}

Outcome fail(const std::string& text, int status = 1) {
    return Outcome{status, "", text};
}

Outcome setName(const std::string& key, const std::string& name) {
    if (key == "ComputerName") {
        if (!prettyName(name)) return fail("scutil: invalid computer name\n");
        std::string info = readFileText(machineInfoFile()).value_or("");
        if (!writeText(machineInfoFile(), withPrettyHostName(info, name))) {
            return fail("scutil: cannot write " + machineInfoFile() + "\n");
        }
        return {};
    }
    if (!hostName(name, key == "LocalHostName")) return fail("scutil: invalid " + key + "\n");
    if (!writeText(hostnameFile(), name + "\n")) return fail("scutil: cannot write " + hostnameFile() + "\n");
    // On the real machine the running system takes the name at once, as it would at boot.
    if (paths::root().empty() && ::sethostname(name.c_str(), name.size()) != 0) {
        return fail("scutil: cannot set the running host name\n");
    }
    return {};
}

Outcome getName(const std::string& key) {
    std::optional<std::string> value;
    if (key == "ComputerName") {
        auto info = sysinfo::readKeyValueFile(machineInfoFile());
        if (auto it = info.find("PRETTY_HOSTNAME"); it != info.end() && !it->second.empty())
            value = it->second;
    } else if (auto text = readFileText(hostnameFile())) {
        std::string name = text->substr(0, text->find('\n'));
        if (key == "LocalHostName") name = name.substr(0, name.find('.'));
        if (!name.empty()) value = name;
    }
    if (!value) return fail(key + ": not set\n");
    return {0, *value + "\n", ""};
}

}  // namespace

std::string withPrettyHostName(const std::string& machineInfo, const std::string& name) {
    std::string out;
    size_t start = 0;
    while (start < machineInfo.size()) {
        size_t end = machineInfo.find('\n', start);
        if (end == std::string::npos) end = machineInfo.size();
        const std::string line = machineInfo.substr(start, end - start);
        start = end + 1;
        const size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && line.compare(first, 16, "PRETTY_HOSTNAME=") == 0) continue;
        if (!line.empty()) out += line + "\n";
    }
    return out + "PRETTY_HOSTNAME=" + quoted(name) + "\n";
}

Outcome run(const std::vector<std::string>& args) {
    const bool known = args.size() >= 2 &&
                       (args[1] == "ComputerName" || args[1] == "HostName" || args[1] == "LocalHostName");
    if (known && args.size() == 3 && args[0] == "--set") return setName(args[1], args[2]);
    if (known && args.size() == 2 && args[0] == "--get") return getName(args[1]);
    return fail(kUsage, 64);
}

}  // namespace scutil
