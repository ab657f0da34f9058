#include <malloc.h>

#include "daemon/launch/HollinMain.h"
#include "common/logger/RotatingLogger.h"

using common::LogCoreHelper;
using hollin::hollinMain;
using common::setProcessLog;

int main(int argc, char* argv[]) {
    // Two heaps are plenty for a daemon whose threads mostly sleep: each further heap the allocator
    // would give a thread keeps pages of its own resident.
    mallopt(M_ARENA_MAX, 2);
    // Code shared with the other programs logs into the daemon's own files.
    setProcessLog(LogCoreHelper::sharedInstance());
    return hollinMain(argc, argv);
}
