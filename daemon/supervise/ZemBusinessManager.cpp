#include "ZemBusinessManager.h"

#include "common/logger/DaemonLog.h"

#include <syslog.h>

#include <filesystem>
#include <thread>

#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "LaunchJobs.h"
#include "ProcessUtil.h"

using common::LogCoreHelper;

namespace hollin {

namespace {

void log(const std::string& line) {
    common::daemonLog().writeLog(line, 1);
}

bool exists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::exists(path, ec);
}

void consoleLog(const std::string& line) {
    ::syslog(LOG_NOTICE, "%s", line.c_str());
}

void loadProtectJob(const std::string& path) {
    supervise::JobCommandOutcome out = supervise::loadJob(path);
    consoleLog("重启保护服务:result:" + out.result + ", error:" + out.error);
}

bool answeredLive(const std::function<bool()>& call) {
    return !call || call();
}

}  // namespace

ZemBusinessManager& ZemBusinessManager::sharedInstance() {
    static ZemBusinessManager instance;
    return instance;
}

void ZemBusinessManager::checkBusinessValidation(const Peers& peers) {
    if (!answeredLive(peers.sendBusOnlive)) restartBusiness("Tamber", peers);
    if (!answeredLive(peers.sendBizLongOnlive)) restartBusiness("Marlet", peers);
    checkProtectProcess();
    if (!answeredLive(peers.schemePolicyOnlive) && peers.restartSchemePolicy) peers.restartSchemePolicy();
}

void ZemBusinessManager::checkProtectProcess() {
    if (ProcessUtil::checkHeartBeatService(supervise::kProtectJobLabel) && isZemClientExist()) return;
    log("心跳进程已停止，重新启动");
    const std::string path = supervise::jobFile(supervise::kProtectJobLabel);
    if (exists(path)) loadProtectJob(path);
}

void ZemBusinessManager::startProtectService() {
    if (ProcessUtil::checkHeartBeatService(supervise::kProtectJobLabel)) return;
    const std::string path = supervise::jobFile(supervise::kProtectJobLabel);
    if (exists(path)) loadProtectJob(path);
}

void ZemBusinessManager::restartBusiness(const std::string& name, const Peers& peers) {
    std::string label;
    if (name.starts_with("Marlet")) {
        label = supervise::kRunnerJobLabel;
    } else if (name.starts_with("Tamber")) {
        label = supervise::kReportJobLabel;
    } else {
        return;
    }
    const std::string path = supervise::jobFile(label);
    if (!exists(path)) return;
    // The unload returns once the old process has ended, so the load never finds it still there.
    supervise::JobCommandOutcome unload = supervise::unloadJob(path);
    if (!unload.ok) log("[ZemBusinessManager] unload " + path + " error: " + unload.error);
    if (peers.sleep) {
        peers.sleep(std::chrono::seconds(1));
    } else {
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    supervise::JobCommandOutcome load = supervise::loadJob(path);
    if (!load.ok) log("[ZemBusinessManager] load " + path + " error: " + load.error);
}

bool ZemBusinessManager::isZemClientExist() {
    if (!exists(paths::daemonExecutable())) {
        log("[isZemClientExist]Hollin is not exist");
        return false;
    }
    return ProcessUtil::daemonRunsWithMode("-protect");
}

}  // namespace hollin
