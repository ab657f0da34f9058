#include "ProcessUtil.h"

#include "common/logger/DaemonLog.h"

#include <filesystem>

#include "common/logger/RotatingLogger.h"
#include "platform/paths/Paths.h"
#include "LaunchJobs.h"
#include "platform/process/ProcessList.h"

using common::LogCoreHelper;

namespace hollin {

namespace {

void log(const std::string& line) {
    common::daemonLog().writeLog(line, 1);
}

}  // namespace

bool ProcessUtil::checkHeartBeatService(const std::string& label) {
    return supervise::jobListed(label);
}

bool ProcessUtil::daemonRunsWithMode(const std::string& mode) {
    for (const auto& p : proclist::processesOf(paths::daemonExecutable())) {
        if (p.lastArgumentIs(mode)) return true;
    }
    return false;
}

bool ProcessUtil::isZemClientExist() {
    return daemonRunsWithMode("-run");
}

void ProcessUtil::checkHeartBeatServiceAndLaunch(const std::string& label) {
    if (checkHeartBeatService(label) && isZemClientExist()) {
        log("check heartBeat is exist");
        return;
    }
    const std::string path = supervise::jobFile(label);
    std::error_code ec;
    if (std::filesystem::exists(path, ec)) {
        supervise::JobCommandOutcome out = supervise::loadJob(path);
        log("主心跳进程已停止，重新启动");
        if (!out.ok) log("[ProcessUtil] launchctl load " + path + " error: " + out.error);
    } else {
        log("主心跳进程已停止，重新启动\n 主心跳plist文件不存在");
    }
}

}  // namespace hollin
