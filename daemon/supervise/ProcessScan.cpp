#include "ProcessScan.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "platform/core/FileIO.h"

namespace supervise {

namespace {

constexpr size_t kMaxCommandLine = 64 * 1024;

std::string canonical(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return path;
    std::string out(resolved);
    std::free(resolved);
    return out;
}

// The executable of a process as the kernel records it; nothing for kernel threads, zombies and
// processes that ended.
std::optional<std::string> executableOf(pid_t pid) {
    const std::string link = "/proc/" + std::to_string(pid) + "/exe";
    char buf[4096];
    ssize_t n = ::readlink(link.c_str(), buf, sizeof buf - 1);
    if (n <= 0) return std::nullopt;
    std::string exe(buf, static_cast<size_t>(n));
    constexpr std::string_view kDeleted = " (deleted)";
    if (exe.size() > kDeleted.size() && exe.ends_with(kDeleted)) exe.resize(exe.size() - kDeleted.size());
    return exe;
}

std::vector<std::string> commandLineOf(pid_t pid) {
    std::vector<std::string> args;
    auto bytes = fileio::readFile("/proc/" + std::to_string(pid) + "/cmdline", kMaxCommandLine);
    if (!bytes) return args;
    std::string text(bytes->begin(), bytes->end());
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\0', at);
        if (end == std::string::npos) end = text.size();
        args.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return args;
}

std::vector<pid_t> allPids() {
    std::vector<pid_t> out;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        out.push_back(static_cast<pid_t>(std::strtol(name.c_str(), nullptr, 10)));
    }
    return out;
}

}  // namespace

std::vector<RunningProcess> processesOfExecutable(const std::string& path) {
    std::vector<RunningProcess> out;
    const std::string wanted = canonical(path);
    for (pid_t pid : allPids()) {
        auto exe = executableOf(pid);
        if (!exe || (*exe != wanted && *exe != path)) continue;
        out.push_back({pid, commandLineOf(pid)});
    }
    return out;
}

std::vector<pid_t> signalProcessesOfExecutable(const std::string& path, int sig,
                                               const std::function<bool(const RunningProcess&)>& filter) {
    std::vector<pid_t> signalled;
    const std::string wanted = canonical(path);
    for (const RunningProcess& p : processesOfExecutable(path)) {
        if (filter && !filter(p)) continue;
        int fd = static_cast<int>(::syscall(SYS_pidfd_open, p.pid, 0));
        if (fd < 0) continue;
        // Held by the pidfd now: a check made after opening it concerns the same process.
        auto exe = executableOf(p.pid);
        if (exe && (*exe == wanted || *exe == path) &&
            ::syscall(SYS_pidfd_send_signal, fd, sig, nullptr, 0) == 0) {
            signalled.push_back(p.pid);
        }
        ::close(fd);
    }
    return signalled;
}

}  // namespace supervise
