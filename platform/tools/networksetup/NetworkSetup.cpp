#include "NetworkSetup.h"

#include <filesystem>

#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"
#include "platform/sysinfo/NetInterfaces.h"
#include "platform/sysinfo/Nmcli.h"

namespace networksetup {

namespace {

constexpr const char* kUsage =
    "usage: networksetup -listallnetworkservices | -setautoproxystate <service> on|off | "
    "-setautoproxyurl <service> <url> | -getairportnetwork <device>\n";

std::string lowered(std::string s) {
    for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    return s;
}

std::string trimmed(const std::string& s) {
    size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return {};
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

Outcome runNmcli(const std::vector<std::string>& nmArgs) {
    spawn::Options o;
    o.program = sysinfo::nmcliPath();
    o.argv.push_back(o.program);
    o.argv.insert(o.argv.end(), nmArgs.begin(), nmArgs.end());
    spawn::RunLimits limits;
    limits.deadline = kNmcliDeadline;
    limits.maxStreamBytes = 1u << 20;
    spawn::RunResult r = spawn::run(std::move(o), limits);
    Outcome out;
    if (!r.started()) {
        out.status = 1;
        out.error = "networksetup: cannot run nmcli\n";
        return out;
    }
    out.output = std::move(r.output);
    out.error = std::move(r.error);
    if (r.timedOut) {
        out.status = 1;
        out.error += "networksetup: nmcli timed out\n";
    } else if (!r.waitStatus || spawn::exitStatusFromWait(*r.waitStatus) != 0) {
        out.status = 1;
    }
    return out;
}

}  // namespace

std::vector<std::string> nmcliArguments(const std::vector<std::string>& args) {
    if (args.size() == 1 && lowered(args[0]) == "-listallnetworkservices")
        return {"-t", "-f", "NAME", "connection", "show"};
    if (args.size() == 3 && lowered(args[0]) == "-setautoproxystate" && !args[1].empty()) {
        std::string state = lowered(args[2]);
        if (state != "on" && state != "off") return {};
        return {"connection", "modify", "id", args[1], "proxy.method", state == "on" ? "auto" : "none"};
    }
    if (args.size() == 3 && lowered(args[0]) == "-setautoproxyurl" && !args[1].empty()) {
        std::string url = trimmed(args[2]);
        // An address turns the automatic proxy on, as the platform tool does; a blank one only
        // clears the address.
        if (url.empty()) return {"connection", "modify", "id", args[1], "proxy.pac-url", ""};
        return {"connection", "modify", "id", args[1], "proxy.method", "auto", "proxy.pac-url", url};
    }
    if (args.size() == 2 && lowered(args[0]) == "-getairportnetwork" && !args[1].empty()) {
        // The platform's device names (en0) do not exist here: then any Wi-Fi device counts.
        if (sysinfo::isInterfaceName(args[1]) && std::filesystem::exists(paths::under("/sys/class/net/" + args[1])))
            return {"-t", "-f", "ACTIVE,SSID", "device", "wifi", "list", "ifname", args[1], "--rescan", "no"};
        return {"-t", "-f", "ACTIVE,SSID", "device", "wifi", "list", "--rescan", "no"};
    }
    return {};
}

Outcome run(const std::vector<std::string>& args) {
    std::vector<std::string> nmArgs = nmcliArguments(args);
    if (nmArgs.empty()) return {2, {}, kUsage};
    Outcome out = runNmcli(nmArgs);
    if (lowered(args[0]) == "-getairportnetwork") {
        if (out.status != 0) return out;
        std::optional<std::string> ssid = sysinfo::activeSsidFromWifiList(out.output);
        out.output = ssid ? "Current Wi-Fi Network: " + *ssid + "\n"
                          : std::string(kNotAssociated) + "\n";
        return out;
    }
    if (out.status != 0 || lowered(args[0]) != "-listallnetworkservices") {
        // The modify forms print nothing on success.
        if (out.status == 0) out.output.clear();
        return out;
    }
    std::string listing = std::string(kListHeader) + "\n";
    size_t start = 0;
    while (start < out.output.size()) {
        size_t end = out.output.find('\n', start);
        if (end == std::string::npos) end = out.output.size();
        std::string line = out.output.substr(start, end - start);
        start = end + 1;
        std::vector<std::string> fields = sysinfo::splitTerseLine(line);
        if (fields.empty() || fields[0].empty()) continue;
        listing += fields[0] + "\n";
    }
    out.output = std::move(listing);
    return out;
}

}  // namespace networksetup
