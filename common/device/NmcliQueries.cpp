#include "NmcliQueries.h"

#include <chrono>
#include <vector>

#include "framework/process/TaskHelper.h"
#include "platform/sysinfo/NetInterfaces.h"
#include "platform/sysinfo/Nmcli.h"
#include "platform/sysinfo/SysFiles.h"

using calix::TaskHelper;

namespace nmcli {

namespace {

constexpr std::chrono::milliseconds kDeadline{5'000};

// The client's output when it printed something and nothing on its error stream.
std::optional<std::string> run(const std::vector<std::string>& argv) {
    std::string result;
    ErrorValue error;
    auto handle =
        TaskHelper::sharedInstance().excuteTaskPath(sysinfo::nmcliPath(), argv, kDeadline, &result, &error);
    if (!handle || !error.failureReason.empty() || result.empty()) return std::nullopt;
    return result;
}

}  // namespace

std::optional<std::string> activeSsid(const std::string& device) {
    if (!sysinfo::isInterfaceName(device)) return std::nullopt;
    auto out = run({"-t", "-f", "ACTIVE,SSID", "device", "wifi", "list", "ifname", device, "--rescan", "no"});
    if (!out) return std::nullopt;
    return sysinfo::activeSsidFromWifiList(*out);
}

std::optional<std::string> proxyAutoConfigUrl(const std::string& device) {
    if (!sysinfo::isInterfaceName(device)) return std::nullopt;
    auto connection = run({"--escape", "no", "-g", "GENERAL.CONNECTION", "device", "show", device});
    if (!connection) return std::nullopt;
    std::string name = sysinfo::trim(connection->substr(0, connection->find('\n')));
    if (name.empty()) return std::nullopt;
    auto url = run({"--escape", "no", "-g", "proxy.pac-url", "connection", "show", "id", name});
    if (!url) return std::nullopt;
    std::string text = sysinfo::trim(*url);
    if (text.empty()) return std::nullopt;
    return text;
}

}  // namespace nmcli
