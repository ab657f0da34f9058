#include <malloc.h>
#include <strings.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/logger/DaemonLog.h"
#include "common/logger/FaultHandler.h"
#include "daemon/launch/HollinMain.h"

using common::setProcessLog;
using hollin::hollinMain;

namespace {

// libcurl's own dependencies load a TLS library the daemon never calls, and that library starts
// itself in its load-time constructor unless this variable is set: about 0.7 MiB of pages touched
// and heap kept for nothing. The constructor runs before main, so the daemon sets the variable and
// executes itself again once; the marker says the variable is its own, to be removed before any
// child process could inherit it.
constexpr const char* kNoImplicitInit = "GNUTLS_NO_IMPLICIT_INIT";
constexpr const char* kReexecMarker = "RAVAVIZA_HOLLIN_REEXEC";

void startWithoutUnusedTlsInit(char* argv[]) {
    if (std::getenv(kReexecMarker)) {
        unsetenv(kReexecMarker);
        unsetenv(kNoImplicitInit);
        return;
    }
    if (std::getenv(kNoImplicitInit)) return;  // set by whoever started us: keep it, no second start
    if (setenv(kNoImplicitInit, "1", 1) != 0 || setenv(kReexecMarker, "1", 1) != 0) return;
    execv("/proc/self/exe", argv);
    // Not executed again (no /proc): run on as started, with the environment as it was.
    unsetenv(kReexecMarker);
    unsetenv(kNoImplicitInit);
}

}  // namespace

int main(int argc, char* argv[]) {
    startWithoutUnusedTlsInit(argv);
    // One heap is enough for a daemon whose threads mostly sleep: each further heap the allocator
    // would give a thread keeps pages of its own resident (about 0.1 MiB for the second).
    mallopt(M_ARENA_MAX, 1);
    // Code shared with the other programs logs into the daemon's own files: the supervision job's
    // (-protect: watchdog, second server channel, file monitor) into HollinExt, the rest into Hollin.
    const bool supervision = argc > 1 && argv[1] != nullptr && strcasecmp(argv[1], "-protect") == 0;
    if (supervision) common::useSupervisionLog();
    setProcessLog(common::daemonLog());
    // A fatal signal or an uncaught exception leaves its record in the daemon log (hollinMain
    // takes over faults on dispatch queues, to log its own lines first).
    common::installFaultHandler();
    return hollinMain(argc, argv);
}
