// Ending the product's own programs as root: a process is one of them when it runs the program
// installed at the path the path table gives (a replaced or deleted program file included), never
// because its command line names the product.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "joindomain/scaffold/ShellScript.h"

namespace wendle {

// Sends SIGKILL to every process of every user running program, each checked again through a
// pidfd before the signal. Status 0, also when none runs; killed (when given) receives the pids.
helperscaffold::CommandResult killProgram(const std::string& program, std::vector<pid_t>* killed = nullptr);

}  // namespace wendle
