// The one table of the product's absolute paths. Every path lies under the filesystem root
// prefix taken from RAVAVIZA_ROOT (unset or "/": the real root), so tests and the demo run
// the whole system inside a temporary folder.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace paths {

// The root prefix without a trailing slash: "" for the real root.
std::string root();

// An absolute path of the real machine moved under the root prefix.
std::string under(std::string_view absolutePath);

// Folders of the local domain.
std::string usersFolder();         // /Users
std::string localLibraryFolder();  // /Library
std::string applicationsFolder();  // /Applications

// Product folders.
std::string productRootParent();        // /Users/.AllUsers/RavAviza
std::string productRoot();              // /Users/.AllUsers/RavAviza/RavAviza.EXE$
std::string appUpgradeFolder();         // <product root>/AppUpgrade
std::string upgradeAppExecutable();     // <product root>/AppUpgrade/Perrow.app/Contents/MacOS/Marlet
std::string machineSupportFolder();     // /Library/Application Support/RavAviza
std::string daemonLogsFolder();         // /Library/Logs/RavAviza/v5/Logs
std::string launchDaemonsFolder();      // /Library/LaunchDaemons
std::string privilegedHelperFolder();   // /Library/PrivilegedHelperTools: the apps' blessed helpers
std::string uiAppBundle();              // /Applications/Hux/Hux.app
std::string uiAppExecutable();          // /Applications/Hux/Hux.app/Contents/MacOS/Hux
std::string uiAppResources();           // /Applications/Hux/Hux.app/Contents/Resources
std::string vpnAgentExecutable();       // /Applications/Hux/Hux.app/Contents/RQL/Nimbrel
std::string watermarkAppExecutable();   // <ui resources>/Pellin.app/Contents/MacOS/Pellin
std::string daemonExecutable();         // <ui resources>/Hollin.app/Contents/MacOS/Hollin
std::string reportServiceExecutable();  // <ui resources>/Tamber.app/Contents/MacOS/Tamber
std::string machineLogsFolder();        // /Library/Logs/RavAviza

// The two apps with privileged helpers and the helpers' places.
std::string domainJoinAppBundle();       // <ui resources>/Ducene.app
std::string domainJoinAppExecutable();   // <ui resources>/Ducene.app/Contents/MacOS/Ducene
std::string uninstallerAppBundle();      // /Applications/Quillet.app
std::string uninstallerAppExecutable();  // /Applications/Quillet.app/Contents/MacOS/Quillet
std::string uninstallerLogsFolder();     // /Library/Logs/RavAvizaUninstaller
std::string uninstallInfoFile();         // <machine support>/.uninstallInfo
// <bundle>/Contents/Library/LaunchServices/<label>: a helper as its app carries it.
std::string bundledHelper(const std::string& appBundle, const std::string& label);
// <privileged helper folder>/<label>: a helper once it is installed.
std::string installedHelper(const std::string& label);
// <LaunchDaemons>/<label>.plist: the job file of an installed helper.
std::string helperJobFile(const std::string& label);

// Server configuration, device and machine records.
std::string serverConfigFile();      // <machine support>/.ZemConfig
std::string multiServerInfoFile();   // <machine support>/zem_multisrv_info.archive
std::string lastServerRecordFile();  // <machine support>/record_server.archive
std::string
hardwareUuidCacheFile();          // <machine support>/hardware_uuid: the root daemon's copy for other users
std::string machineRecordFile();  // <product root>/machine.data

// Our Linux stand-ins.
std::string toolFolder();     // /usr/libexec/ravaviza: command-line stand-ins, first on children's PATH
std::string runtimeFolder();  // /var/run/ravaviza: sockets of the local services
// <runtime>/user: the folders of users' own services, one per user id.
std::string userRuntimeParent();
// <runtime>/user/<uid>: the sockets of one user's services, owned by that user, 0700.
std::string userRuntimeFolder(unsigned int uid);

// A user's home folder from the password database, under the root prefix; empty when unknown.
std::optional<std::string> homeFolder(const std::string& userName);

}  // namespace paths
