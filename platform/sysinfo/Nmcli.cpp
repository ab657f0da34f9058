#include "Nmcli.h"

#include <sstream>

#include "platform/paths/Paths.h"

namespace sysinfo {

std::string nmcliPath() {
    return paths::under("/usr/bin/nmcli");
}

std::vector<std::string> splitTerseLine(const std::string& line) {
    std::vector<std::string> fields(1);
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (c == '\\' && i + 1 < line.size()) {
            fields.back() += line[++i];
        } else if (c == ':') {
            fields.emplace_back();
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    return fields;
}

std::optional<std::string> activeSsidFromWifiList(const std::string& output) {
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line)) {
        auto fields = splitTerseLine(line);
        if (fields.size() >= 2 && fields[0] == "yes" && !fields[1].empty()) return fields[1];
    }
    return std::nullopt;
}

}  // namespace sysinfo
