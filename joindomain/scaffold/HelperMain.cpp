#include "HelperMain.h"

#include "SystemLog.h"

namespace helperscaffold {

int runHelperMain(Helper& helper) {
    systemLog(helper.identity().startMessage);
    return helper.startToRun() ? 0 : 1;
}

}  // namespace helperscaffold
