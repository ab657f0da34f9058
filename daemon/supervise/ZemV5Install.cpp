#include "ZemV5Install.h"

#include "common/logger/DaemonLog.h"

#include <signal.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <thread>

#include "common/account/AccountModel.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "platform/core/FileIO.h"
#include "common/device/ITDevice.h"
#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "framework/process/FileManager.h"
#include "framework/process/TaskHelper.h"
#include "LaunchJobs.h"
#include "platform/process/ProcessList.h"
#include "WorkspaceOpen.h"

using calix::FileManager;
using calix::TaskHelper;
using common::AccountModel;
using common::ITDevice;
using common::LogCoreHelper;

namespace hollin {

namespace {

namespace fs = std::filesystem;

void log(const std::string& line) {
    common::daemonLog().writeLog(line, 1);
}

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

std::string resource(const std::string& name) {
    return paths::uiAppResources() + "/" + name;
}

std::string agentFile() {
    return paths::localLibraryFolder() + "/LaunchAgents/" + supervise::kOldAgentLabel + ".plist";
}

std::string errorText(const ErrorValue& e) {
    return e.failureReason.empty() ? std::string() : e.failureReason;
}

// Runs a program to its end; its output and error text for the step's log line.
std::pair<std::string, std::string> runToEnd(const std::string& program, const std::vector<std::string>& args) {
    std::string result;
    ErrorValue error;
    TaskHelper::sharedInstance().excuteTaskPath(program, args, &result, &error);
    return {result, errorText(error)};
}

bool signedIn(const std::string& name) {
    return !name.empty() && name != "unknown";
}

}  // namespace

std::string ZemV5Install::policyRunnerExecutable() {
    return resource("Marlet.app/Contents/MacOS/Marlet");
}

std::string ZemV5Install::joinDomainExecutable() {
    return resource("Ducene.app/Contents/MacOS/Ducene");
}

void ZemV5Install::runInstallWork(const Hooks& hooks) {
    killZemLoginAndNimbrel(hooks);
    killZemBizProcess();
    killJoinDomainProcess();
    ChangeIPConfigArchive();
    for (const char* label : {supervise::kProtectJobLabel, supervise::kRunJobLabel, supervise::kRunnerJobLabel,
                              supervise::kReportJobLabel}) {
        unloadZemServiceWithPath(supervise::jobFile(label));
    }
    unloadZemServiceWithPath(agentFile());
    installZemUpgradeAppWithResourcePath(resource("Perrow.app"), paths::appUpgradeFolder() + "/Perrow.app");
    for (const char* label : {supervise::kRunnerJobLabel, supervise::kReportJobLabel, supervise::kRunJobLabel,
                              supervise::kProtectJobLabel}) {
        const std::string file = std::string(label) + ".plist";
        copyDaemonFileWithResourcePath(resource(file), supervise::jobFile(label));
    }
    launchZem();
    launchDaemonWithPath(supervise::jobFile(supervise::kRunnerJobLabel));
    launchDaemonWithPath(supervise::jobFile(supervise::kReportJobLabel));
    launchDaemonWithPath(resource(std::string(supervise::kRunJobLabel) + ".plist"));
    launchDaemonWithPath(supervise::jobFile(supervise::kProtectJobLabel));
}

void ZemV5Install::launchZem() {
    if (!exists(paths::uiAppBundle())) {
        log("[ZemInstall] " + paths::uiAppBundle() + " is not existed.");
        return;
    }
    std::string why;
    if (supervise::openUiApp(&why)) {
        log("[ZemInstall] Workspace open Zem Success");
    } else {
        log("[ZemInstall] Workspace open Zem fail");
        log("[ZemInstall] " + why);
    }
}

void ZemV5Install::killZemLoginAndNimbrel(const Hooks& hooks) {
    auto readName = [&] { return hooks.userName ? hooks.userName() : ITDevice::currentDevice().userName(); };
    std::string user = readName();
    if (!signedIn(user)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        user = readName();
    }
    if (!signedIn(user) || user == "root") return;
    auto home = paths::homeFolder(user);
    if (!home || !exists(*home + "/Library/Application Support/RavAvizaL/login.archive")) return;
    if (!AccountModel::currentModel()) AccountModel::deleteCurrentModel();
    if (hooks.existNimbrel) {
        hooks.existNimbrel();
    } else {
        log("[ZemInstall] no way to ask the VPN agent to stop");
    }
}

void ZemV5Install::killZemBizProcess() {
    proclist::signalProcessesOf(
        policyRunnerExecutable(), SIGKILL, std::nullopt, [](const proclist::RunningProcess& p) {
            return p.args.size() >= 2 && (p.args[1] == "-runTimer" || p.args[1] == "-runExt");
        });
}

void ZemV5Install::killJoinDomainProcess() {
    proclist::signalProcessesOf(joinDomainExecutable(), SIGKILL);
}

void ZemV5Install::ChangeIPConfigArchive() {
    const std::string path = paths::serverConfigFile();
    if (!exists(path)) return;
    auto root = archive::readPlistFile(path, nullptr, 1u << 20);
    // A keyed archive is a dictionary naming its archiver: already migrated.
    if (!root || !root->isArray()) return;
    const archive::Array& list = *root->array();
    if (!list.empty() && list.front().isString()) {
        commonArchiveRootObject(archive::Array{archive::Value(list)}, path);
    } else {
        commonArchiveRootObject(*root, path);
    }
}

bool ZemV5Install::commonArchiveRootObject(const archive::Value& object, const std::string& path) {
    auto data = archive::archivedData(object);
    if (!data) {
        log("Servers config file archive failed with error: the object cannot be archived");
        return false;
    }
    // Replaced in one rename: the old file stays whole until the new one is complete.
    if (fileio::writeFileAtomically(path, std::span<const uint8_t>(data->data(), data->size()), 0644)) {
        log("Servers config file save successfully.");
        return true;
    }
    log("Servers config file write save failed with error: " + std::string(std::strerror(errno)));
    return false;
}

void ZemV5Install::unloadZemServiceWithPath(const std::string& plistPath) {
    if (!exists(plistPath)) {
        log("[ZemInstall] " + plistPath + " is not existed.");
        return;
    }
    supervise::JobCommandOutcome out = supervise::unloadJob(plistPath);
    log("[ZemInstall] " + plistPath + " unload result: " + out.result + ", error: " + out.error + ".");
    std::error_code ec;
    bool removed = fs::remove(plistPath, ec);
    log("[ZemInstall] remove " + plistPath + " result: " + std::to_string(removed ? 1 : 0) +
        ", error: " + (ec ? ec.message() : std::string("(null)")) + ".");
}

void ZemV5Install::installZemUpgradeAppWithResourcePath(const std::string& source, const std::string& destination) {
    FileManager::sharedInstance().createAppUpgradeRootDirectory();
    if (exists(destination)) {
        std::error_code ec;
        bool removed = fs::remove_all(destination, ec) > 0 && !ec;
        log("[ZemInstall] Remove " + destination + " result: " + std::to_string(removed ? 1 : 0) +
            ", error: " + (ec ? ec.message() : std::string("(null)")) + ".");
    } else {
        log("[ZemInstall] " + destination + " is not existed.");
    }
    if (!exists(source)) return;
    auto [result, error] = runToEnd("/bin/cp", {"-rf", "-T", source, destination});
    log("[ZemInstall] Copy ZemUpgrade.app result: " + result + ", error: " + error + ".");
}

void ZemV5Install::copyDaemonFileWithResourcePath(const std::string& source, const std::string& destination) {
    if (!exists(source)) {
        log("[ZemInstall] " + source + " is not existed.");
        return;
    }
    std::error_code ec;
    fs::create_directories(fs::path(destination).parent_path(), ec);
    auto [result, error] = runToEnd("/bin/cp", {"-f", source, destination});
    log("[ZemInstall] Copy " + source + " result: " + result + ", error: " + error + ".");
}

void ZemV5Install::launchDaemonWithPath(const std::string& plistPath) {
    if (!exists(plistPath)) {
        log("[ZemInstall] " + plistPath + " is not existed.");
        return;
    }
    supervise::JobCommandOutcome out = supervise::loadJob(plistPath, true);
    log("[ZemInstall] Launchclt load " + plistPath + " result: " + out.result + ", error: " + out.error + ".");
}

}  // namespace hollin
