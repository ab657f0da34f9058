// The daemon's own log: the main log (Hollin-Info) for the -run job and the code it shares, the
// supervision log (HollinExt-Info) for the -protect job (watchdog, second server channel, file
// monitor). The daemon's main chooses once at start; everything in the daemon writes through here.
#pragma once

#include "LogSink.h"

namespace common {

// The chosen log; the main log until useSupervisionLog() was called.
LogSink& daemonLog();

// Sends every later daemonLog() line to the supervision log.
void useSupervisionLog();

}  // namespace common
