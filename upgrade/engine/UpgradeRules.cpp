#include "UpgradeRules.h"

#include <cctype>

namespace upgraderules {

namespace {

std::vector<std::string_view> split(std::string_view text, char sep) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t at = text.find(sep, start);
        parts.push_back(
            text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return parts;
        start = at + 1;
    }
}

// The part's leading digits (leading zeros dropped) and the text after them.
std::pair<std::string_view, std::string_view> splitNumber(std::string_view part) {
    size_t digits = 0;
    while (digits < part.size() && std::isdigit(static_cast<unsigned char>(part[digits]))) ++digits;
    std::string_view number = part.substr(0, digits);
    while (number.size() > 1 && number.front() == '0') number.remove_prefix(1);
    return {number, part.substr(digits)};
}

int comparePart(std::string_view a, std::string_view b) {
    auto [na, ra] = splitNumber(a);
    auto [nb, rb] = splitNumber(b);
    // Numbers of any length: a longer digit string (without leading zeros) is the larger.
    if (na.size() != nb.size()) return na.size() < nb.size() ? -1 : 1;
    if (int c = na.compare(nb)) return c < 0 ? -1 : 1;
    if (int c = ra.compare(rb)) return c < 0 ? -1 : 1;
    return 0;
}

long long leadingInteger(std::string_view part) {
    long long value = 0;
    for (char c : part) {
        if (!std::isdigit(static_cast<unsigned char>(c))) break;
        if (value > 1'000'000'000LL) return value;
        value = value * 10 + (c - '0');
    }
    return value;
}

bool validPort(std::string_view port) {
    if (port.empty() || port.size() > 5) return false;
    for (char c : port)
        if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    return leadingInteger(port) <= 65535;
}

bool validHost(std::string_view host) {
    if (host.empty() || host.size() > 253) return false;
    for (char c : host)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '-' && c != ':') return false;
    return true;
}

}  // namespace

bool isSafeComponent(std::string_view text) {
    if (text.empty() || text.size() > 200 || text.find("..") != std::string_view::npos) return false;
    for (char c : text)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '.' && c != '_' && c != '-') return false;
    return true;
}

int compareVersions(std::string_view a, std::string_view b) {
    auto pa = split(a, '.');
    auto pb = split(b, '.');
    for (size_t i = 0; i < pa.size() && i < pb.size(); ++i)
        if (int c = comparePart(pa[i], pb[i])) return c;
    if (pa.size() == pb.size()) return 0;
    return pa.size() < pb.size() ? -1 : 1;
}

VersionDecision versionRule(std::string_view serverVersion, std::string_view localVersion) {
    if (compareVersions(serverVersion, localVersion) >= 0) return VersionDecision::Install;
    auto parts = split(serverVersion, '.');
    if (parts.size() >= 3 && leadingInteger(parts[2]) < 70) return VersionDecision::LocalIsNewer;
    return VersionDecision::Rollback;
}

ServerList serverListFromUrl(std::string_view url) {
    ServerList list;
    size_t open = url.rfind('(');
    if (open == std::string_view::npos) return list;
    std::string_view rest = url.substr(open + 1);
    size_t close = rest.find(')');
    std::string_view inside = rest.substr(0, close);
    if (inside.empty()) return list;

    std::vector<std::string_view> items = split(inside, ',');
    if (items.size() >= 2 && items[1].size() < 2) items[1] = items[0];
    if (items.size() >= 3 && items[2].size() < 2) items.resize(2);
    if (items.size() == 1) items.push_back(items[0]);

    list.status = ServerListStatus::Ok;
    for (std::string_view item : items) {
        auto parts = split(item, '_');
        if (parts.size() != 2 || !validHost(parts[0]) || !validPort(parts[1])) {
            list.status = ServerListStatus::Invalid;
            list.entries.clear();
            return list;
        }
        list.entries.push_back({std::string(parts[0]), std::string(parts[1])});
    }
    return list;
}

}  // namespace upgraderules
