#include "ProcessInfoHelper.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include "platform/archive/Plist.h"
#include "FileManager.h"
#include "platform/process/ProcFigures.h"

namespace calix {

namespace {

constexpr const char* kProcessInfoFileName = ".process.version";
constexpr size_t kMaxProcessInfoBytes = 1u << 20;
constexpr std::chrono::milliseconds kLockWait{2000};

std::mutex& updateMutex() {
    static std::mutex mutex;
    return mutex;
}

bool namesSameFile(int fd, const std::string& path) {
    struct stat held {
    }, named{};
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

// An exclusive lock on the file at path, so updates from other processes are not lost between
// their read and their write. Every write replaces the file by rename, so a lock taken on a
// file that has since been replaced guards nothing: the lock is retaken until it is held on
// the file the path names. After kLockWait the update goes ahead unlocked rather than hang.
class FileLock {
  public:
    explicit FileLock(const std::string& path) {
        auto end = std::chrono::steady_clock::now() + kLockWait;
        while (std::chrono::steady_clock::now() < end) {
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
            if (fd < 0) return;
            bool locked = false;
            while (!(locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0) &&
                   (errno == EWOULDBLOCK || errno == EINTR) && std::chrono::steady_clock::now() < end) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
            if (locked && namesSameFile(fd, path)) {
                fd_ = fd;
                return;
            }
            ::close(fd);
            if (!locked) return;
        }
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);
    }

  private:
    int fd_ = -1;
};

archive::Dictionary readDictionary(const std::string& path) {
    auto value = archive::readPlistFile(path, nullptr, kMaxProcessInfoBytes);
    if (!value || !value->dictionary()) return {};
    return *value->dictionary();
}

}  // namespace

std::optional<std::string> ProcessInfoHelper::createProcessInfoPath() {
    auto& files = FileManager::sharedInstance();
    return files.createFilePathWithFileName(kProcessInfoFileName, files.createAppRootDirectory());
}

void ProcessInfoHelper::updateProcessInfo(int32_t value, const std::string& name) {
    std::lock_guard lock(updateMutex());
    auto path = createProcessInfoPath();
    if (!path) return;
    FileLock fileLock(*path);
    archive::Dictionary infos = readDictionary(*path);
    infos[name] = archive::Value(value);
    archive::writePlistFile(archive::Value(std::move(infos)), *path, archive::PlistFormat::Xml);
}

std::optional<archive::Dictionary> ProcessInfoHelper::localProcessInfos() {
    auto path = createProcessInfoPath();
    if (!path) return std::nullopt;
    return readDictionary(*path);
}

int32_t ProcessInfoHelper::getProcessInfoWithName(const std::string& name) {
    auto infos = localProcessInfos();
    if (!infos) return -1;
    auto found = infos->find(name);
    if (found == infos->end()) return -1;
    auto number = found->second.integer();
    return number ? static_cast<int32_t>(*number) : -1;
}

double ProcessInfoHelper::appMemoryUsage() {
    auto bytes = procfigures::residentBytes();
    return bytes ? static_cast<double>(*bytes) / 1024.0 / 1024.0 : 0.0;
}

double ProcessInfoHelper::appCpuUsage() {
    return procfigures::cpuPercent().value_or(-1.0);
}

int32_t ProcessInfoHelper::getThreadCount() {
    return procfigures::threadCount().value_or(-1);
}

}  // namespace calix
