// Processes of the machine by name, read from /proc: the stand-in for listing matching
// processes with killall -s or ps.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace proclist {

// Live processes (zombies excluded) whose name is name, optionally only those whose effective
// user is effectiveUser. The name is compared with the kernel's command name (the first 15
// bytes of the program's file name); a name of 15 bytes or more must also be the file name
// given by the process's first argument or its executable.
std::vector<pid_t> processesNamed(const std::string& name, std::optional<uid_t> effectiveUser = std::nullopt);

// Live processes running the program at the absolute path program (its executable, or a script
// its interpreter runs), optionally only those whose effective user is effectiveUser. Unlike a
// match by name, a copy of the program elsewhere is not counted.
std::vector<pid_t> processesRunning(const std::string& program, std::optional<uid_t> effectiveUser = std::nullopt);

}  // namespace proclist
