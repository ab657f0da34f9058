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

// The bundle-relative tail that names the upgrade app's executable.
inline constexpr const char* kExecutableTail = "/Perrow.app/Contents/MacOS/Marlet";

// What /proc says pid runs, without the " (deleted)" the kernel adds once the file was replaced.
std::optional<std::string> executableOf(pid_t pid);

// Live processes other than this one that run the given executable, or, when run by root, any
// executable ending in kExecutableTail.
std::vector<pid_t> olderInstances(const std::string& ownExecutable);

// Kills the older instances (SIGKILL), then takes the lock file, waiting at most `wait` for a
// killed holder to let it go. Returns the pids it killed; *locked tells whether the lock is held.
std::vector<pid_t> exitPreProcess(const std::string& lockFile, std::chrono::milliseconds wait, bool* locked);

}  // namespace instance
