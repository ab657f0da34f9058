#include <unistd.h>

#include "bus/BusMain.h"
#include "common/logger/FaultHandler.h"
#include "common/logger/RotatingLogger.h"

using common::LogBusHelper;
using common::setProcessLog;

int main(int argc, char* argv[]) {
    // Code shared with the other programs logs into the service's own files.
    setProcessLog(LogBusHelper::sharedInstance());
    common::installFaultHandler();
    return busMain(argc, argv, ::getuid());
}
