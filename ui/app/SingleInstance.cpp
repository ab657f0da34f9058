#include "SingleInstance.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/ipc/Endpoint.h"

namespace hux {

namespace {

constexpr const char* kLockName = "com.velmora.RavAviza.lock";

std::optional<pid_t> readPid(int fd) {
    char buf[32] = {};
    ssize_t n = ::pread(fd, buf, sizeof buf - 1, 0);
    if (n <= 0) return std::nullopt;
    char* end = nullptr;
    long value = std::strtol(buf, &end, 10);
    if (end == buf || value <= 0) return std::nullopt;
    return static_cast<pid_t>(value);
}

}  // namespace

SingleInstance::~SingleInstance() {
    if (fd_ >= 0) ::close(fd_);
}

bool SingleInstance::acquire(uid_t uid, std::optional<pid_t>* holder) {
    if (holder) holder->reset();
    if (fd_ >= 0) return true;
    ipc::UniqueFd folder = ipc::openUserRuntimeFolder(uid, true);
    if (!folder.valid()) return true;
    int fd = ::openat(folder.get(), kLockName, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return true;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (holder) *holder = readPid(fd);
        ::close(fd);
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    [[maybe_unused]] bool written = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) > 0;
    fd_ = fd;  // held for the process's life
    return true;
}

bool SingleInstance::activate(pid_t pid) {
    return pid > 0 && pid != ::getpid() && ::kill(pid, kActivateSignal) == 0;
}

}  // namespace hux
