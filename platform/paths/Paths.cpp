#include "Paths.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace paths {

std::string root() {
    const char* env = std::getenv("RAVAVIZA_ROOT");
    std::string r = env ? env : "";
    while (!r.empty() && r.back() == '/') r.pop_back();
    return r;
}

std::string under(std::string_view absolutePath) {
    std::string r = root();
    if (absolutePath.empty() || absolutePath.front() != '/') r += '/';
    r += absolutePath;
    return r;
}

std::string usersFolder() {
    return under("/Users");
}
std::string localLibraryFolder() {
    return under("/Library");
}
std::string applicationsFolder() {
    return under("/Applications");
}

std::string productRootParent() {
    return usersFolder() + "/.AllUsers/RavAviza";
}
std::string productRoot() {
    return productRootParent() + "/RavAviza.EXE$";
}
std::string appUpgradeFolder() {
    return productRoot() + "/AppUpgrade";
}
std::string upgradeAppExecutable() {
    return appUpgradeFolder() + "/Perrow.app/Contents/MacOS/Marlet";
}
std::string machineSupportFolder() {
    return localLibraryFolder() + "/Application Support/RavAviza";
}
std::string daemonLogsFolder() {
    return localLibraryFolder() + "/Logs/RavAviza/v5/Logs";
}
std::string launchDaemonsFolder() {
    return localLibraryFolder() + "/LaunchDaemons";
}
std::string privilegedHelperFolder() {
    return localLibraryFolder() + "/PrivilegedHelperTools";
}
std::string uiAppBundle() {
    return applicationsFolder() + "/Hux/Hux.app";
}
std::string uiAppExecutable() {
    return uiAppBundle() + "/Contents/MacOS/Hux";
}
std::string uiAppResources() {
    return uiAppBundle() + "/Contents/Resources";
}
std::string vpnAgentExecutable() {
    return uiAppBundle() + "/Contents/RQL/Nimbrel";
}
std::string watermarkAppExecutable() {
    return uiAppResources() + "/Pellin.app/Contents/MacOS/Pellin";
}
std::string daemonExecutable() {
    return uiAppResources() + "/Hollin.app/Contents/MacOS/Hollin";
}
std::string reportServiceExecutable() {
    return uiAppResources() + "/Tamber.app/Contents/MacOS/Tamber";
}
std::string machineLogsFolder() {
    return localLibraryFolder() + "/Logs/RavAviza";
}

std::string domainJoinAppBundle() {
    return uiAppResources() + "/Ducene.app";
}
std::string domainJoinAppExecutable() {
    return domainJoinAppBundle() + "/Contents/MacOS/Ducene";
}
std::string uninstallerAppBundle() {
    return applicationsFolder() + "/Quillet.app";
}
std::string uninstallerAppExecutable() {
    return uninstallerAppBundle() + "/Contents/MacOS/Quillet";
}
std::string uninstallerLogsFolder() {
    return localLibraryFolder() + "/Logs/RavAvizaUninstaller";
}
std::string uninstallInfoFile() {
    return machineSupportFolder() + "/.uninstallInfo";
}
std::string bundledHelper(const std::string& appBundle, const std::string& label) {
    return appBundle + "/Contents/Library/LaunchServices/" + label;
}
std::string installedHelper(const std::string& label) {
    return privilegedHelperFolder() + "/" + label;
}
std::string helperJobFile(const std::string& label) {
    return launchDaemonsFolder() + "/" + label + ".plist";
}

std::string serverConfigFile() {
    return machineSupportFolder() + "/.ZemConfig";
}
std::string multiServerInfoFile() {
    return machineSupportFolder() + "/zem_multisrv_info.archive";
}
std::string lastServerRecordFile() {
    return machineSupportFolder() + "/record_server.archive";
}
std::string hardwareUuidCacheFile() {
    return machineSupportFolder() + "/hardware_uuid";
}
std::string machineRecordFile() {
    return productRoot() + "/machine.data";
}

std::string toolFolder() {
    return under("/usr/libexec/ravaviza");
}
std::string runtimeFolder() {
    return under("/var/run/ravaviza");
}
std::string userRuntimeParent() {
    return runtimeFolder() + "/user";
}
std::string userRuntimeFolder(unsigned int uid) {
    return userRuntimeParent() + "/" + std::to_string(uid);
}

std::optional<std::string> homeFolder(const std::string& userName) {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    passwd pw{};
    passwd* result = nullptr;
    if (getpwnam_r(userName.c_str(), &pw, buf.data(), buf.size(), &result) != 0 || result == nullptr ||
        result->pw_dir == nullptr) {
        return std::nullopt;
    }
    return under(result->pw_dir);
}

}  // namespace paths
