#include "daemon/launch/HollinMain.h"
#include "common/logger/RotatingLogger.h"

using common::LogCoreHelper;
using common::setProcessLog;
using hollin::hollinMain;

int main(int argc, char* argv[]) {
    // Code shared with the other programs logs into the daemon's own files.
    setProcessLog(LogCoreHelper::sharedInstance());
    return hollinMain(argc, argv);
}
