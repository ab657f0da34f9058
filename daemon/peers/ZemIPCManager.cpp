#include "ZemIPCManager.h"

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "framework/process/TaskHelper.h"
#include "platform/process/ProcessList.h"

using calix::TaskHelper;
using common::processLog;

namespace hollin {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

void log(const std::string& line) {
    processLog().writeLog(line, 1);
}

bool exists(const std::string& path) {
    return ::access(path.c_str(), F_OK) == 0;
}

std::string tamberJobFile() {
    return paths::launchDaemonsFolder() + "/com.velmora.Tamber.Daemon.plist";
}
std::string marletJobFile() {
    return paths::launchDaemonsFolder() + "/com.velmora.Marlet.Daemon.plist";
}
std::string tamberExecutable() {
    return paths::uiAppResources() + "/Tamber.app/Contents/MacOS/Tamber";
}
std::string marletExecutable() {
    return paths::uiAppResources() + "/Marlet.app/Contents/MacOS/Marlet";
}
std::string upgradeCopy() {
    return paths::appUpgradeFolder() + "/Perrow.app";
}

// The supervisor's client: the product's own stand-in when installed, else the system's.
std::string launchctl() {
    std::string tool = paths::toolFolder() + "/launchctl";
    return exists(tool) ? tool : std::string("/bin/launchctl");
}

archive::Data bytesOf(const std::string& text) {
    return archive::Data(text.begin(), text.end());
}

archive::Value toValue(const nlohmann::json& j) {
    if (j.is_object()) {
        archive::Dictionary d;
        for (const auto& [k, v] : j.items()) d.emplace(k, toValue(v));
        return d;
    }
    if (j.is_array()) {
        archive::Array a;
        for (const auto& v : j) a.push_back(toValue(v));
        return a;
    }
    if (j.is_string()) return j.get<std::string>();
    if (j.is_boolean()) return j.get<bool>();
    if (j.is_number_integer()) return j.get<int64_t>();
    if (j.is_number()) return j.get<double>();
    return archive::Null{};
}

std::string statusText(const ipc::CallResult& r) {
    switch (r.status) {
        case ipc::CallStatus::Ok: return "ok";
        case ipc::CallStatus::NoAnswer: return "no answer in time";
        case ipc::CallStatus::InvalidConnection: return "connection closed";
        case ipc::CallStatus::UnknownSelector: return "unknown selector";
        case ipc::CallStatus::Failed: return "failed " + r.error;
    }
    return "failed";
}

}  // namespace

ZemIPCManager& ZemIPCManager::sharedInstance() {
    static ZemIPCManager* instance = new ZemIPCManager();  // lives for the whole process
    return *instance;
}

ZemIPCManager::ZemIPCManager(Options options) : options_(std::move(options)) {}

std::shared_ptr<ipc::ConnectionProxy> ZemIPCManager::lookup(const std::string& name) const {
    ipc::LookupOptions o;
    o.timeout = options_.lookupTimeout;
    return ipc::ConnectionProxy::lookup(name, o);
}

void ZemIPCManager::pause(std::chrono::milliseconds d) const {
    if (options_.sleep)
        options_.sleep(d);
    else
        std::this_thread::sleep_for(d);
}

void ZemIPCManager::start(const std::string& path, const std::vector<std::string>& args) const {
    if (options_.startApp)
        options_.startApp(path, args);
    else
        TaskHelper::sharedInstance().startCMDApp(path, args);
}

std::shared_ptr<ipc::ConnectionProxy> ZemIPCManager::reloadJob(const std::string& jobFile,
                                                               const std::string& name) const {
    start(launchctl(), {"unload", jobFile});
    pause(2s);
    start(launchctl(), {"load", jobFile});
    pause(5s);
    return lookup(name);
}

bool ZemIPCManager::sendBusOnlive() {
    auto proxy = lookup(kReportLiveConnection);
    if (!proxy) {
        log("[ZemIPCManager] Tamber process has stop.");
        return false;
    }
    log("[ZemIPCManager] Tamber proccess is running.");
    auto r = proxy->call("responseLiveOfBus", {}, options_.callTimeout);
    if (!r.ok()) log("[ZemIPCManager] sendBusOnlive. exception: " + statusText(r));
    return r.ok() && r.value && r.value->string() && *r.value->string() == "live";
}

bool ZemIPCManager::sendBizLongOnlive() {
    auto proxy = lookup(kPolicyRunConnection);
    if (!proxy) {
        log("[ZemIPCManager] Marlet process has stop.");
        return false;
    }
    log("[ZemIPCManager] Marlet proccess is running.");
    auto r = proxy->call("responseLiveOfBiz", {}, options_.callTimeout);
    if (!r.ok()) log("[ZemIPCManager] sendBizLongOnlive. exception: " + statusText(r));
    return r.ok() && r.value && r.value->string() && *r.value->string() == "live";
}

void ZemIPCManager::reportDebugLog() {
    auto proxy = lookup(kBusConnection);
    if (!proxy) {
        log("[ZemIPCManager] Tamber proccess isn't running ");
        const std::string exe = tamberExecutable();
        if (!exists(exe)) {
            log("[ZemIPCManager] Tamber file is not exist ");
            return;
        }
        start(exe, {"-run"});
        pause(5s);
        proxy = lookup(kBusConnection);
        if (!proxy) {
            log("[ZemIPCManager] Tamber process has stop.");
            return;
        }
    }
    log("[ZemIPCManager] Tamber proccess has run. report debug");
    auto r = proxy->call("uploadDebugLog", {}, options_.callTimeout);
    if (!r.ok()) log("[ZemIPCManager] Tamber. exception: " + statusText(r));
}

void ZemIPCManager::reportPolicyState(const nlohmann::json& states) {
    auto proxy = lookup(kBusConnection);
    if (!proxy) {
        log("[ZemIPCManager] Tamber proccess isn't running ");
        const std::string job = tamberJobFile();
        if (!exists(job)) {
            log("[ZemIPCManager] Tamber file is not exist ");
            return;
        }
        proxy = reloadJob(job, kBusConnection);
        log("[ZemIPCManager] Tamber file is not exist reload launchctl process ");
        if (!proxy) {
            log("[ZemIPCManager] Tamber process has stop.");
            return;
        }
    }
    auto r = proxy->call("reportGetPolicyState:", {toValue(states)}, options_.callTimeout);
    if (!r.ok()) log("[ZemIPCManager] Tamber report policy state. exception: " + statusText(r));
}

void ZemIPCManager::excutePolicy(const std::optional<std::string>& data) {
    auto proxy = lookup(kPolicyRunConnection);
    if (!proxy) {
        const std::string job = marletJobFile();
        if (!exists(job)) {
            log("[ZemIPCManager] Marlet file is not exist ");
            return;
        }
        proxy = reloadJob(job, kPolicyRunConnection);
        log("[ZemIPCManager] Marlet file is not exist reload launchctl");
        if (!proxy) {
            log("[ZemIPCManager] Marlet policy IPC failed ");
            return;
        }
    }
    log("[ZemIPCManager] Marlet proccess to run policy ");
    archive::Array args;
    args.push_back(data ? archive::Value(bytesOf(*data)) : archive::Value(archive::Null{}));
    auto r = proxy->call("executePolicy:", args, options_.callTimeout);
    if (!r.ok()) log("[ZemIPCManager] Marlet failed. exception: " + statusText(r));
}

bool ZemIPCManager::schemePolicyOnlive() {
    auto proxy = lookup(kPolicyRunConnection);
    if (!proxy) {
        if (!exists(marletExecutable())) log("[ZemIPCManager] Marlet file is not exist ");
        log("[ZemIPCManager] Marlet timer policy IPC failed");
        return true;
    }
    log("[ZemIPCManager] Marlet timer policy  is onlive ");
    auto r = proxy->call("schemePolicyIsValide", {}, options_.callTimeout);
    if (!r.ok()) {
        log("[ZemIPCManager] Marlet runTimer failed. exception: " + statusText(r));
        return true;
    }
    const std::optional<bool> valid = r.value ? r.value->boolean() : std::nullopt;
    return valid.value_or(true);
}

void ZemIPCManager::restartSchemePolicy() {
    auto proxy = lookup(kPolicyRunConnection);
    if (!proxy) {
        const std::string job = marletJobFile();
        if (!exists(job)) {
            log("[ZemIPCManager] Marlet file is not exist ");
            return;
        }
        // Only a load: the runner's job may be loaded and merely not answering yet.
        start(launchctl(), {"load", job});
        pause(5s);
        proxy = lookup(kPolicyRunConnection);
        if (!proxy) {
            log("[ZemIPCManager] Marlet policy IPC failed ");
            return;
        }
    }
    log("[ZemIPCManager] Marlet proccess to run policy ");
    auto r = proxy->call("restartTimerPolicy", {}, options_.callTimeout);
    if (!r.ok()) log("[ZemIPCManager] Marlet failed. exception: " + statusText(r));
}

bool ZemIPCManager::installUpgradeCopy(const std::string& source) {
    std::error_code ec;
    if (!fs::is_directory(source, ec)) return false;
    const std::string target = upgradeCopy();
    fs::create_directories(paths::appUpgradeFolder(), ec);
    const std::string temp = target + ".tmp-" + std::to_string(::getpid());
    const std::string old = target + ".old-" + std::to_string(::getpid());
    fs::remove_all(temp, ec);
    fs::remove_all(old, ec);
    fs::copy(source, temp, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) {
        fs::remove_all(temp, ec);
        return false;
    }
    // The old copy goes aside first: a folder cannot be renamed over a non-empty one.
    std::error_code asideError;
    const bool hadOld = fs::exists(fs::symlink_status(target, asideError));
    if (hadOld) fs::rename(target, old, asideError);
    fs::rename(temp, target, ec);
    if (ec) {
        if (hadOld && !asideError) fs::rename(old, target, asideError);
        fs::remove_all(temp, ec);
        return false;
    }
    fs::remove_all(old, ec);
    return true;
}

// Ends the running copies of the upgrade app, found by the program file they run.
static void endUpgradeApps(const std::string& exe, int signal) {
    proclist::signalProcessesOf(exe, signal);
}

void ZemIPCManager::upgradeIPC(const std::optional<std::string>& data, int32_t upType) {
    auto proxy = lookup(kUpgradeConnection);
    const std::string exe = paths::upgradeAppExecutable();
    if (upType == -1) {
        endUpgradeApps(exe, SIGKILL);
        // An upgrade the user asked for: a fresh copy of the pending upgrade app, started on its own.
        installUpgradeCopy(paths::uiAppResources() + "/Perrow_tmp.app");
        if (exists(exe))
            start(exe, {"-upgrade", "-1"});
        else
            log("[ZemIPCManager] Zem.app's Perrow file is not exist v5");
        return;
    }
    if (!proxy) {
        log("[ZemIPCManager] Perrow IPC failed ");
        endUpgradeApps(exe, SIGTERM);
        log("[ZemIPCManager] restart ZemUgrade process ");
        if (!exists(exe)) {
            log("[ZemIPCManager] Perrow file is not exist ");
            installUpgradeCopy(paths::uiAppResources() + "/Perrow.app");
            if (!exists(exe)) {
                log("[ZemIPCManager] Zem.app's Perrow file is not exist ");
                return;
            }
        }
        start(exe, {"-upgrade"});
        pause(2s);
        proxy = lookup(kUpgradeConnection);
        for (int i = 0; !proxy && i < options_.upgradeRetries; ++i) {
            pause(1s);
            proxy = lookup(kUpgradeConnection);
        }
        if (!proxy) {
            log("[ZemIPCManager] Perrow IPC failed ");
            return;
        }
    }
    log("[ZemIPCManager] Perrow proccess to upgrade, type: " + std::to_string(upType));
    ipc::CallResult r;
    if (upType == 1 || upType == 2) {
        archive::Array args;
        args.push_back(data ? archive::Value(bytesOf(*data)) : archive::Value(archive::Null{}));
        r = proxy->call("startUpgradeApp:", args, options_.callTimeout);
    } else if ((upType == 5 || upType == 6) && data) {
        r = proxy->call("startDownloadUpgradeAndNotInstall:", {archive::Value(bytesOf(*data))}, options_.callTimeout);
    } else if (upType == 5) {
        r = proxy->call("startUpgradeByTipUser", {}, options_.callTimeout);
    } else if (upType == 6) {
        r = proxy->call("startUpgradeByTipForce", {}, options_.callTimeout);
    } else {
        return;
    }
    if (!r.ok()) log("[ZemIPCManager] Perrow call failed: " + statusText(r));
}

}  // namespace hollin
