#include "GroupMembership.h"

#include <algorithm>
#include <cctype>

#include "platform/core/FileIO.h"
#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"
#include "platform/spawn/ToolEnvironment.h"

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

struct Run {
    bool ok = false;
    std::string output;
    std::string error;
};

Run runTool(const std::string& program, const std::vector<std::string>& args) {
    spawn::Options o;
    o.program = program;
    o.argv.push_back(program);
    o.argv.insert(o.argv.end(), args.begin(), args.end());
    o.environment = spawn::toolEnvironment();
    spawn::RunLimits limits;
    limits.deadline = kToolDeadline;
    limits.maxStreamBytes = 1u << 20;
    spawn::RunResult r = spawn::run(std::move(o), limits);
    Run run;
    if (!r.started()) {
        run.error = "dscl: cannot run " + program + "\n";
        return run;
    }
    run.output = std::move(r.output);
    run.error = std::move(r.error);
    run.ok = !r.timedOut && r.waitStatus && spawn::exitStatusFromWait(*r.waitStatus) == 0;
    if (r.timedOut) run.error += "dscl: " + program + " timed out\n";
    return run;
}

// Whether SSSD serves the account: a directory user, not a local one of the same name.
bool directoryAccount(const std::string& user) {
    Run lookup = runTool("getent", {"-s", "sss", "passwd", user});
    return lookup.ok && lookup.output.rfind(user + ":", 0) == 0;
}

}  // namespace

std::optional<std::string> administratorsGroup(const std::string& groupText) {
    for (const char* candidate : {"sudo", "wheel", "admin"}) {
        const std::string head = std::string(candidate) + ":";
        size_t start = 0;
        while (start < groupText.size()) {
            size_t end = groupText.find('\n', start);
            if (end == std::string::npos) end = groupText.size();
            if (groupText.compare(start, head.size(), head) == 0) return std::string(candidate);
            start = end + 1;
        }
    }
    return std::nullopt;
}

Outcome run(const std::vector<std::string>& args) {
    if (args.size() < 5 || args[0] != "." || args[1] != "-merge" || args[2] != "/groups/admin" ||
        args[3] != "GroupMembership") {
        return {64, "", kUsage};
    }
    std::vector<std::string> users;
    for (auto it = args.begin() + 4; it != args.end(); ++it) {
        if (!accountName(*it)) return {64, "", "dscl: invalid user name\n"};
        if (std::find(users.begin(), users.end(), *it) == users.end()) users.push_back(*it);
    }
    for (const std::string& user : users) {
        if (!directoryAccount(user))
            return {1, "", "dscl: " + user + " is not a directory account served by SSSD\n"};
    }
    const std::string groupFile = paths::under("/etc/group");
    auto bytes = fileio::readFile(groupFile, kMaxGroupBytes);
    if (!bytes) return {1, "", "dscl: cannot read " + groupFile + "\n"};
    const std::optional<std::string> group = administratorsGroup(std::string(bytes->begin(), bytes->end()));
    if (!group) return {1, "", "dscl: no administrators' group in " + groupFile + "\n"};
    for (const std::string& user : users) {
        Run added = runTool("gpasswd", {"-a", user, *group});
        if (!added.ok) {
            return {1, "",
                    added.error.empty() ? "dscl: gpasswd could not add " + user + " to " + *group + "\n"
                                        : added.error};
        }
    }
    return {};
}

}  // namespace dscl
