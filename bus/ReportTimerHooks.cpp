#include "ReportTimerHooks.h"

#include "bus/DataReportManager.h"
#include "bus/UploadScheduleManager.h"

namespace bus {

CommonTimerHelp::Hooks reportTimerHooks(UploadScheduleManager* schedule, DataReportManager* reports) {
    CommonTimerHelp::Hooks hooks;
    hooks.scheduleRequest = [schedule] {
        (schedule ? *schedule : UploadScheduleManager::sharedInstance()).startUploadScheduleRequest();
    };
    hooks.resendCache = [reports] {
        (reports ? *reports : DataReportManager::sharedInstance()).reuploadLocalCacheData();
    };
    return hooks;
}

}  // namespace bus
