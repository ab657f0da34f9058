// The identity of a process as /proc/PID/stat gives it: state, group, session and start time.
// The start time tells a process from a later one that got the same pid.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <vector>

namespace proclist {

struct ProcStat {
    pid_t pid = 0;
    char state = '?';  // 'Z': ended, not yet reaped
    pid_t parent = 0;
    pid_t group = 0;
    pid_t session = 0;
    uint64_t startTime = 0;  // clock ticks after boot
};

std::optional<ProcStat> readProcStat(pid_t pid);

// Processes (zombies excluded) whose process group or session is id.
std::vector<pid_t> membersOfGroupOrSession(pid_t id);

}  // namespace proclist
