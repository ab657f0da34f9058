// One upgrade app at a time. Older instances are found by their executable under /proc (the
// kernel's record of what runs, not a name in a process list) and killed; the instance that
// remains then holds the app's lock file for its whole life.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace instance {

// What /proc says pid runs, without the " (deleted)" the kernel adds once the file was replaced.
std::optional<std::string> executableOf(pid_t pid);

// The places the product keeps the upgrade app's executable: its copy in the upgrade folder and
// the bundles in the UI app's resources.
std::vector<std::string> knownExecutables();

// Live processes other than this one that run the given executable, or, when run by root, one of
// the other known ones.
std::vector<pid_t> olderInstances(const std::string& ownExecutable,
                                  const std::vector<std::string>& others = knownExecutables());

// Kills the older instances (SIGKILL), then takes the lock file, waiting at most `wait` for a
// killed holder to let it go. Returns the pids it killed; *locked tells whether the lock is held.
std::vector<pid_t> exitPreProcess(const std::string& lockFile, std::chrono::milliseconds wait, bool* locked);

}  // namespace instance
