#include "GroupMembership.h"

#include <pwd.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>

#include "platform/core/FileIO.h"
#include "platform/paths/Paths.h"

namespace dscl {

namespace {

constexpr const char* kUsage = "usage: dscl . -merge /groups/admin GroupMembership <user>...\n";
constexpr size_t kMaxGroupBytes = 4u << 20;

bool accountName(const std::string& name) {
    if (name.empty() || name.size() > 64 || name[0] == '-' || name[0] == '.') return false;
    for (char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '.' || c == '_' || c == '-' || c == '@') || u >= 0x80) return false;
    }
    return true;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (true) {
        size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

std::optional<std::string> readText(const std::string& path) {
    auto bytes = fileio::readFile(path, kMaxGroupBytes);
    if (!bytes) return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

mode_t modeOf(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
}

}  // namespace

std::optional<std::string> withMembers(const std::string& groupText, const std::string& group,
                                       const std::vector<std::string>& users) {
    std::string out;
    bool found = false;
    std::vector<std::string> lines = split(groupText, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    for (std::string line : lines) {
        std::vector<std::string> fields = split(line, ':');
        if (fields.size() == 4 && fields[0] == group) {
            found = true;
            std::vector<std::string> members;
            if (!fields[3].empty()) members = split(fields[3], ',');
            for (const std::string& user : users) {
                if (std::find(members.begin(), members.end(), user) == members.end()) members.push_back(user);
            }
            std::string list;
            for (const std::string& m : members) list += (list.empty() ? "" : ",") + m;
            line = fields[0] + ":" + fields[1] + ":" + fields[2] + ":" + list;
        }
        out += line + "\n";
    }
    if (!found) return std::nullopt;
    return out;
}

Outcome run(const std::vector<std::string>& args) {
    if (args.size() < 5 || args[0] != "." || args[1] != "-merge" || args[2] != "/groups/admin" ||
        args[3] != "GroupMembership") {
        return {64, "", kUsage};
    }
    std::vector<std::string> users(args.begin() + 4, args.end());
    for (const std::string& user : users) {
        if (!accountName(user)) return {64, "", "dscl: invalid user name\n"};
        // As gpasswd does, only accounts the system knows join a group.
        std::vector<char> buffer(16384);
        passwd pw{};
        passwd* found = nullptr;
        if (::getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
            return {1, "", "dscl: user " + user + " does not exist\n"};
        }
    }
    const std::string groupFile = paths::under("/etc/group");
    const std::string shadowFile = paths::under("/etc/gshadow");
    std::optional<std::string> groups = readText(groupFile);
    if (!groups) return {1, "", "dscl: cannot read " + groupFile + "\n"};
    std::optional<std::string> updated;
    std::string group;
    for (const char* candidate : {"sudo", "wheel", "admin"}) {
        if ((updated = withMembers(*groups, candidate, users))) {
            group = candidate;
            break;
        }
    }
    if (!updated) return {1, "", "dscl: no administrators' group in " + groupFile + "\n"};
    if (std::optional<std::string> shadow = readText(shadowFile)) {
        if (std::optional<std::string> shadowUpdated = withMembers(*shadow, group, users)) {
            if (!fileio::writeFileAtomically(shadowFile, *shadowUpdated, modeOf(shadowFile))) {
                return {1, "", "dscl: cannot write " + shadowFile + "\n"};
            }
        }
    }
    if (!fileio::writeFileAtomically(groupFile, *updated, modeOf(groupFile))) {
        return {1, "", "dscl: cannot write " + groupFile + "\n"};
    }
    return {};
}

}  // namespace dscl
