// The 300 s timer's hooks into the upload engine: the schedule fetch (at start and every third
// tick), the failed-report re-send and the access-log collection (every tick).
#pragma once

#include "bus/CommonTimerHelp.h"

class DataReportManager;
class UploadScheduleManager;

namespace bus {

// Hooks driving the given schedule and report manager (the shared ones when null); the shared
// access-log collector uploads through that report manager. Memory, threads and exit keep their
// defaults.
CommonTimerHelp::Hooks reportTimerHooks(UploadScheduleManager* schedule = nullptr,
                                        DataReportManager* reports = nullptr);

}  // namespace bus
