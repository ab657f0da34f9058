#include "SingleInstance.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "platform/ipc/Endpoint.h"
#include "platform/process/ProcessList.h"

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

// This program's file, as the kernel records it.
std::string ownProgram() {
    char buf[4096];
    const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return {};
    std::string path(buf, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() &&
        path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        path.resize(path.size() - deleted.size());
    return path;
}

// The holder writes its pid just after it took the lock; until then the file is empty or holds
// the pid of an earlier copy. Waits briefly for a pid that runs this program.
std::optional<pid_t> holderPid(int fd) {
    const std::string program = ownProgram();
    const auto runsThisProgram = [&program](pid_t pid) {
        if (pid == ::getpid() || program.empty()) return true;
        for (pid_t p : proclist::processesRunning(program, ::geteuid()))
            if (p == pid) return true;
        return false;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (true) {
        const std::optional<pid_t> pid = readPid(fd);
        if ((pid && runsThisProgram(*pid)) || std::chrono::steady_clock::now() >= deadline) return pid;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
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
        if (holder) *holder = holderPid(fd);
        ::close(fd);
        return false;
    }
    const std::string pid = std::to_string(::getpid()) + "\n";
    [[maybe_unused]] bool written = ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) > 0;
    fd_ = fd;  // held for the process's life
    return true;
}

bool SingleInstance::activate(pid_t pid) {
    if (pid <= 0 || pid == ::getpid()) return false;
    // Only a process that runs this program: a stale pid may name any other process by now.
    const std::string program = ownProgram();
    return !program.empty() && proclist::signalIfRunning(pid, program, kActivateSignal);
}

}  // namespace hux
