// Processes of the machine, read from /proc: by name (the stand-in for killall -s or ps), and by
// the program they run, the one way the product finds and signals its own running programs.
#pragma once

#include <sys/types.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace proclist {

// Live processes (zombies excluded) whose name is name, optionally only those whose effective
// user is effectiveUser. The name is compared with the kernel's command name (the first 15
// bytes of the program's file name); a name of 15 bytes or more must also be the file name
// given by the process's first argument or its executable.
std::vector<pid_t> processesNamed(const std::string& name, std::optional<uid_t> effectiveUser = std::nullopt);

// A process found running a program.
struct RunningProcess {
    pid_t pid = 0;
    uid_t effectiveUser = 0;
    std::vector<std::string> args;  // the command line, argv[0] included

    // The last argument (argv[0] excluded) is arg, as a ps line ending in "<arg>\n" shows it.
    bool lastArgumentIs(const std::string& arg) const { return args.size() > 1 && args.back() == arg; }
};

// Live processes (zombies excluded) running the program at the absolute path program, optionally
// only those whose effective user is effectiveUser. A process runs the program when the kernel's
// record of its executable (/proc/<pid>/exe, " (deleted)" dropped) is that path, links in the
// path resolved: a program file replaced or deleted since the process started still counts, a
// copy elsewhere or a process that merely names the path in its command line does not. A script
// counts through the interpreter its "#!" line names, run with the script's path as its argument.
// Where the caller may not read another user's executable record (an unprivileged caller), that
// process counts by its first argument (or its script argument): good enough to tell whether a
// program runs, never used to signal one.
std::vector<RunningProcess> processesOf(const std::string& program,
                                        std::optional<uid_t> effectiveUser = std::nullopt);

// The pids of processesOf.
std::vector<pid_t> processesRunning(const std::string& program,
                                    std::optional<uid_t> effectiveUser = std::nullopt);

// Sends sig to pid when it still runs program: the process is held through a pidfd and its
// executable is checked again before the signal, so a pid that another program took over
// meanwhile is never hit. True when the signal was sent.
bool signalIfRunning(pid_t pid, const std::string& program, int sig);

// Sends sig to each process of program (of effectiveUser, when given) that passes filter (null:
// all), each through signalIfRunning. Returns the pids signalled.
std::vector<pid_t> signalProcessesOf(const std::string& program, int sig,
                                     std::optional<uid_t> effectiveUser = std::nullopt,
                                     const std::function<bool(const RunningProcess&)>& filter = {});

}  // namespace proclist
