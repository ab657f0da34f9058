#include "ProcessKill.h"

#include <signal.h>

#include "platform/process/ProcessList.h"

namespace wendle {

helperscaffold::CommandResult killProgram(const std::string& program, std::vector<pid_t>* killed) {
    std::vector<pid_t> signalled = proclist::signalProcessesOf(program, SIGKILL);
    if (killed) *killed = std::move(signalled);
    // As "xargs kill -9" fed by ps: nothing to say on success, and a process that ended before
    // its signal is no failure.
    return {};
}

}  // namespace wendle
