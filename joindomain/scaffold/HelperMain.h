// The helper program's entry: writes the helper's start message to the system log, runs the
// helper until its last connection has closed and returns the process's status.
#pragma once

#include "Helper.h"

namespace helperscaffold {

// 0 once the helper has quit; 1 when it could not take its service name.
int runHelperMain(Helper& helper);

}  // namespace helperscaffold
