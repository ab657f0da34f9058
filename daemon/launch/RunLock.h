// One -run job per root: the job holds an exclusive lock on a file in the runtime folder for its
// whole life, and only the holder clears what a killed predecessor left behind.
#pragma once

#include <time.h>

#include <cstddef>
#include <string>

namespace hollin {

enum class RunLockClaim {
    Held,           // this process holds the lock (now or from an earlier claim)
    HeldElsewhere,  // another process holds it: this one must not run the job
    Unavailable,    // the lock file could not be made or locked for another reason
};

// <runtime folder>/Hollin.run.lock, mode 0600.
std::string runLockPath();

// Takes the lock without waiting and keeps it until the process ends (the descriptor is
// close-on-exec, so started children never hold it).
RunLockClaim claimRunLock();

// Removes the temporary copies of state files that a process killed before its rename left in
// the folders where the daemon writes state files, when they predate processStart.
size_t removeLeftoverTemporaries(const timespec& processStart);

}  // namespace hollin
