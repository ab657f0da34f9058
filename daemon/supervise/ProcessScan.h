// Processes found by the executable they run, read from /proc, and signals sent to each of them
// on its own. The kernel's record of a process's executable cannot be set by the process the way
// its command line can, so a process that names itself after one of ours is never taken for it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace supervise {

struct RunningProcess {
    pid_t pid = 0;
    std::vector<std::string> args;  // the command line, argv[0] included

    // The last argument is the given one, as a `ps` line ending in "<arg>\n" shows it.
    bool lastArgumentIs(const std::string& arg) const { return args.size() > 1 && args.back() == arg; }
};

// Live processes whose executable is the file at path (symbolic links in path resolved; an
// executable replaced on disk since the process started still counts).
std::vector<RunningProcess> processesOfExecutable(const std::string& path);

// Sends sig to each live process of the executable at path that passes filter (null: all). Each
// process is held through a pidfd and checked again before the signal, so a pid taken over by
// another program meanwhile is left alone. Returns the pids signalled.
std::vector<pid_t> signalProcessesOfExecutable(const std::string& path, int sig,
                                               const std::function<bool(const RunningProcess&)>& filter = {});

}  // namespace supervise
