// The report service's entry point: "-run" (any case) as root starts the endpoints, the timer and
// the configuration watcher and runs the main loop; fewer than two arguments or another mode
// returns 0; another user returns -1.
#pragma once

#include <sys/types.h>

// realUid is the caller's real user id (getuid() in the program).
int busMain(int argc, char* argv[], uid_t realUid);
