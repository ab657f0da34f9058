#include "ReportTimerHooks.h"

#include "bus/DataReportManager.h"
#include "bus/UploadScheduleManager.h"
#include "bus/ZemCollectQORLogManager.h"

namespace bus {

CommonTimerHelp::Hooks reportTimerHooks(UploadScheduleManager* schedule, DataReportManager* reports) {
    CommonTimerHelp::Hooks hooks;
    hooks.scheduleRequest = [schedule] {
        (schedule ? *schedule : UploadScheduleManager::sharedInstance()).startUploadScheduleRequest();
    };
    hooks.resendCache = [reports] {
        (reports ? *reports : DataReportManager::sharedInstance()).reuploadLocalCacheData();
    };
    // Access-log lines collected on each tick go out as the qoraccesslog report.
    ZemCollectQORLogManager::sharedInstance().setUploadFunction([reports](const std::vector<uint8_t>& json) {
        (reports ? *reports : DataReportManager::sharedInstance())
            .uploadQorAccesslog(std::string(json.begin(), json.end()));
    });
    hooks.collectAccessLogs = [] { ZemCollectQORLogManager::sharedInstance().CheckfilesInfo(); };
    return hooks;
}

}  // namespace bus
