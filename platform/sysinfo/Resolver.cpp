#include "Resolver.h"

#include <sstream>

#include "platform/paths/Paths.h"
#include "SysFiles.h"

namespace sysinfo {

std::vector<std::string> parseNameServers(const std::string& text) {
    std::vector<std::string> servers;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string keyword, address;
        if (!(words >> keyword >> address) || keyword != "nameserver") continue;
        if (address.find_first_of("#;") != std::string::npos)
            address = address.substr(0, address.find_first_of("#;"));
        if (!address.empty()) servers.push_back(address);
    }
    return servers;
}

std::optional<std::vector<std::string>> nameServers() {
    auto text = readText(paths::under("/etc/resolv.conf"), 1u << 20);
    if (!text) return std::nullopt;
    auto servers = parseNameServers(*text);
    if (servers.size() == 1 && servers[0] == "127.0.0.53") {
        if (auto upstream = readText(paths::under("/run/systemd/resolve/resolv.conf"), 1u << 20)) {
            auto real = parseNameServers(*upstream);
            if (!real.empty()) return real;
        }
    }
    return servers;
}

}  // namespace sysinfo
