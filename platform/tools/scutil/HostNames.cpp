#include "HostNames.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
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

std::string hostsFile() {
    return paths::under("/etc/hosts");
}

mode_t modeOr(const std::string& path, mode_t fallback) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : fallback;
}

// The address field of a hosts line; empty for blank and comment lines.
std::string addressOf(const std::string& line) {
    const size_t begin = line.find_first_not_of(" \t");
    if (begin == std::string::npos || line[begin] == '#') return {};
    return line.substr(begin, line.find_first_of(" \t#", begin) - begin);
}

std::optional<std::string> readFileText(const std::string& path) {
    auto bytes = fileio::readFile(path, kMaxFileBytes);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

bool writeText(const std::string& path, const std::string& text, mode_t mode = 0644) {
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
    return fileio::writeFileAtomically(path, text, mode);
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
    if (!hostName(name, key == "LocalHostName") || !linetext::lineSafe(name))
        return fail("scutil: invalid " + key + "\n");
    // The host name resolves (sudo asks for it) before the machine takes it.
    const std::string hosts = withHostName(readFileText(hostsFile()).value_or(""), name);
    if (!writeText(hostsFile(), hosts, modeOr(hostsFile(), 0644)))
        return fail("scutil: cannot write " + hostsFile() + "\n");
    if (!writeText(hostnameFile(), name + "\n", modeOr(hostnameFile(), 0644)))
        return fail("scutil: cannot write " + hostnameFile() + "\n");
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

std::string withHostName(const std::string& hosts, const std::string& name) {
    std::string names = name;
    if (const size_t dot = name.find('.'); dot != std::string::npos) names += " " + name.substr(0, dot);
    const std::string entry = std::string(kHostNameAddress) + "\t" + names;
    std::vector<std::string> all = linetext::splitLines(hosts);
    bool replaced = false;
    for (std::string& line : all) {
        if (addressOf(line) == kHostNameAddress) {
            line = entry;
            replaced = true;
            break;
        }
    }
    if (!replaced) {
        // Where Debian puts it: after the loopback line, else at the end.
        auto loopback = std::find_if(all.begin(), all.end(),
                                     [](const std::string& line) { return addressOf(line) == "127.0.0.1"; });
        all.insert(loopback == all.end() ? all.end() : loopback + 1, entry);
    }
    std::string out;
    for (const std::string& line : all) out += line + "\n";
    return out;
}

Outcome run(const std::vector<std::string>& args) {
    const bool known = args.size() >= 2 &&
                       (args[1] == "ComputerName" || args[1] == "HostName" || args[1] == "LocalHostName");
    if (known && args.size() == 3 && args[0] == "--set") return setName(args[1], args[2]);
    if (known && args.size() == 2 && args[0] == "--get") return getName(args[1]);
    return fail(kUsage, 64);
}

}  // namespace scutil
