#include "LogFiles.h"

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace logfiles {

mode_t modeFor(Readers readers) {
    return readers == Readers::Administrators ? 0640 : 0600;
}

gid_t administratorGroup() {
    static const gid_t gid = [] {
        group entry{};
        group* found = nullptr;
        std::vector<char> buffer(16384);
        if (::getgrnam_r("adm", &entry, buffer.data(), buffer.size(), &found) == 0 && found)
            return found->gr_gid;
        return gid_t{0};
    }();
    return gid;
}

void restrict(int fd, Readers readers) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return;
    if (readers == Readers::Administrators && ::geteuid() == 0 && st.st_gid != administratorGroup()) {
        // Should the group not take, the mode still keeps other users out.
        [[maybe_unused]] const int changed = ::fchown(fd, static_cast<uid_t>(-1), administratorGroup());
    }
    const mode_t mode = modeFor(readers);
    if ((st.st_mode & 07777) != mode) ::fchmod(fd, mode);
}

int openForAppend(const std::string& path, Readers readers, bool truncate) {
    // Non-blocking: a FIFO planted at the path must not hang the logger.
    const int flags =
        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (truncate ? O_TRUNC : 0);
    const int fd = ::open(path.c_str(), flags, modeFor(readers));
    if (fd >= 0) restrict(fd, readers);
    return fd;
}

}  // namespace logfiles
