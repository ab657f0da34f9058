#include "InstanceGuard.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <thread>

#include "LogUpgradeHelper.h"
#include "platform/paths/Paths.h"

namespace instance {

namespace {

bool endsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

std::optional<uid_t> ownerOf(pid_t pid) {
    struct stat st {};
    if (::stat(("/proc/" + std::to_string(pid)).c_str(), &st) != 0) return std::nullopt;
    return st.st_uid;
}

}  // namespace

std::optional<std::string> executableOf(pid_t pid) {
    char buf[4096];
    ssize_t n = ::readlink(("/proc/" + std::to_string(pid) + "/exe").c_str(), buf, sizeof buf - 1);
    if (n <= 0) return std::nullopt;
    std::string path(buf, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    if (endsWith(path, deleted)) path.resize(path.size() - deleted.size());
    return path;
}

std::vector<std::string> knownExecutables() {
    const std::string tail = "/Contents/MacOS/Marlet";
    return {paths::upgradeAppExecutable(), paths::uiAppResources() + "/Perrow.app" + tail,
            paths::uiAppResources() + "/Perrow_tmp.app" + tail};
}

std::vector<pid_t> olderInstances(const std::string& ownExecutable, const std::vector<std::string>& others) {
    std::vector<pid_t> found;
    DIR* dir = ::opendir("/proc");
    if (!dir) return found;
    const pid_t self = ::getpid();
    while (dirent* e = ::readdir(dir)) {
        char* end = nullptr;
        long value = std::strtol(e->d_name, &end, 10);
        if (!end || *end != '\0' || value <= 0 || value == self) continue;
        const auto pid = static_cast<pid_t>(value);
        auto exe = executableOf(pid);
        if (!exe) continue;
        bool same = *exe == ownExecutable;
        // Another of the product's copies of the app counts only when root runs it.
        bool copy = std::find(others.begin(), others.end(), *exe) != others.end() && ownerOf(pid) == uid_t{0};
        if (same || copy) found.push_back(pid);
    }
    ::closedir(dir);
    return found;
}

std::vector<pid_t> exitPreProcess(const std::string& lockFile, std::chrono::milliseconds wait, bool* locked) {
    auto self = executableOf(::getpid());
    std::vector<pid_t> killed;
    if (self) {
        for (pid_t pid : olderInstances(*self)) {
            if (::kill(pid, SIGKILL) == 0) {
                LogUpgradeHelper::sharedInstance().writeLog("older upgrade app ended: " + std::to_string(pid),
                                                            0);
                killed.push_back(pid);
            }
        }
    }
    if (locked) *locked = false;
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(lockFile).parent_path(), ec);
    int fd = ::open(lockFile.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return killed;
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            std::string pid = std::to_string(::getpid()) + "\n";
            [[maybe_unused]] bool written =
                ::ftruncate(fd, 0) == 0 && ::pwrite(fd, pid.data(), pid.size(), 0) > 0;
            if (locked) *locked = true;
            return killed;  // the descriptor stays open: the lock lasts as long as the process
        }
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::close(fd);
    return killed;
}

}  // namespace instance
