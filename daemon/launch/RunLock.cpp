#include "RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>

#include "platform/core/FileIO.h"
#include "platform/ipc/Endpoint.h"
#include "platform/paths/Paths.h"

namespace hollin {

namespace {

std::mutex gLockMutex;
int gLockFd = -1;
std::string gLockPath;  // the path gLockFd locks; a test may point the process at a new root

}  // namespace

std::string runLockPath() {
    return paths::runtimeFolder() + "/Hollin.run.lock";
}

RunLockClaim claimRunLock() {
    std::lock_guard lock(gLockMutex);
    const std::string path = runLockPath();
    if (gLockFd >= 0 && gLockPath == path) return RunLockClaim::Held;
    if (!ipc::ensureRuntimeFolder()) return RunLockClaim::Unavailable;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return RunLockClaim::Unavailable;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        ::fchmod(fd, 0600) != 0) {
        ::close(fd);
        return RunLockClaim::Unavailable;
    }
    int rc;
    while ((rc = ::flock(fd, LOCK_EX | LOCK_NB)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        const bool busy = errno == EWOULDBLOCK;
        ::close(fd);
        return busy ? RunLockClaim::HeldElsewhere : RunLockClaim::Unavailable;
    }
    if (gLockFd >= 0) ::close(gLockFd);
    gLockFd = fd;
    gLockPath = path;
    return RunLockClaim::Held;
}

size_t removeLeftoverTemporaries(const timespec& processStart) {
    size_t removed = 0;
    for (const std::string& folder : {paths::productRoot(), paths::machineSupportFolder()})
        removed += fileio::removeStaleTemporaries(folder, processStart);
    return removed;
}

}  // namespace hollin
