#include "LogUpgradeHelper.h"

#include "common/logger/LogSink.h"

using common::processLog;

LogUpgradeHelper& LogUpgradeHelper::sharedInstance() {
    static LogUpgradeHelper helper;
    return helper;
}

void LogUpgradeHelper::writeLog(const std::string& text, long) {
    processLog().writeLog(text, 0);
}
