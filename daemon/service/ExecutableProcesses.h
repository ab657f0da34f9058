// Finds running processes by the program file they run, from /proc: the sound replacement for
// matching "ps aux" lines with grep, which also matches other commands that merely name the path.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace service {

// Live processes (zombies excluded) whose executable is the file at path. The file is compared by
// device and inode, so a path reached through links or a prefix matches the same program.
std::vector<pid_t> processesRunning(const std::string& path);

}  // namespace service
