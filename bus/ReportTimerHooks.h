// The 300 s timer's hooks into the upload engine: the schedule fetch (at start and every third
// tick) and the failed-report re-send (every tick).
#pragma once

#include "bus/CommonTimerHelp.h"

class DataReportManager;
class UploadScheduleManager;

namespace bus {

// Hooks driving the given schedule and report manager (the shared ones when null); the other
// hooks are left empty for their owners to fill.
CommonTimerHelp::Hooks reportTimerHooks(UploadScheduleManager* schedule = nullptr,
                                        DataReportManager* reports = nullptr);

}  // namespace bus
