#include "RotatingLogger.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <filesystem>
#include <system_error>

#include "framework/encoding/DateUtil.h"
#include "framework/process/FileManager.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/core/FileIO.h"
#include "platform/paths/Paths.h"

using calix::FileManager;

namespace common {

namespace {

constexpr size_t kMaxStateBytes = 64 * 1024;

}  // namespace

RotatingLogger::RotatingLogger(RotatingLoggerConfig config) : config_(std::move(config)) {
    FileManager& fm = FileManager::sharedInstance();
    if (config_.logFolder.empty()) {
        std::string dir = paths::localLibraryFolder();
        for (const char* level : {"Logs", "RavAviza", "v5", "Logs"})
            dir = fm.createDirectoryWithName(level, dir);
        rootDirectory_ = dir;
    } else {
        std::error_code ec;
        std::filesystem::create_directories(config_.logFolder, ec);
        rootDirectory_ = config_.logFolder;
    }
    for (const auto& name : config_.fileNames) createLogFileWithName(name);

    std::string stateFolder = config_.stateFolder;
    if (stateFolder.empty()) {
        stateFolder = fm.createAppRootDirectory();
    } else {
        std::error_code ec;
        std::filesystem::create_directories(stateFolder, ec);
    }
    logInfoPath_ = stateFolder + "/" + config_.stateArchiveName;
    fm.createFilePath(logInfoPath_);

    logQueue_ = dispatch::WorkQueue::create(config_.queueLabel, dispatch::QueueAttr::Serial);
    loadState();
    openCurrent(false);
    if (logInfos_[current_] >= kMaxFileSize) turnToNextFile();
}

RotatingLogger::~RotatingLogger() {
    flush();
    // On the queue, so a delayed state write either ran before or sees the token gone.
    if (logQueue_) logQueue_->dispatchSync([this] { aliveToken_.reset(); });
    if (fd_ >= 0) ::close(fd_);
    if (int old = faultFd_.exchange(-1); old >= 0) ::close(old);
}

std::string RotatingLogger::pathOf(const std::string& name) const {
    return rootDirectory_ + "/" + name;
}

void RotatingLogger::createLogFileWithName(const std::string& name) {
    const int fd = logfiles::openForAppend(pathOf(name), config_.readers);
    if (fd >= 0) ::close(fd);
}

// Reads the state archive. Anything but {"currentLogName": one of our three names,
// "info": {name: integer}} starts fresh in file 1, so a damaged or foreign archive can never
// direct writes to another file.
void RotatingLogger::loadState() {
    current_ = 0;
    logInfos_ = {0, 0, 0};
    archive::DecodeLimits limits;
    limits.maxBytes = kMaxStateBytes;
    limits.maxObjects = 64;
    limits.maxDepth = 4;
    auto decoded = archive::unarchiveObjectWithFile(logInfoPath_, {}, limits);
    if (!decoded) return;
    const archive::Dictionary* root = decoded.value->dictionary();
    if (!root || root->size() != 2) return;
    const archive::Value* name = decoded.value->find("currentLogName");
    const archive::Value* info = decoded.value->find("info");
    if (!name || !name->string() || !info || !info->dictionary()) return;
    size_t index = config_.fileNames.size();
    for (size_t i = 0; i < config_.fileNames.size(); ++i) {
        if (*name->string() == config_.fileNames[i]) index = i;
    }
    if (index == config_.fileNames.size()) return;
    std::array<int64_t, 3> sizes{0, 0, 0};
    for (size_t i = 0; i < config_.fileNames.size(); ++i) {
        if (const archive::Value* size = info->find(config_.fileNames[i])) {
            auto n = size->integer();
            if (!n || *n < 0) return;
            sizes[i] = *n;
        }
    }
    current_ = index;
    logInfos_ = sizes;
}

// Opens the current file for appending and takes its true end as its size. A file that ends
// inside a line (a process killed mid-write, a disk that filled) gets that line ended first.
void RotatingLogger::openCurrent(bool truncate) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = logfiles::openForAppend(pathOf(config_.fileNames[current_]), config_.readers, truncate);
    lineOpen_ = false;
    if (fd_ < 0) {
        lossError_ = errno;
        return;
    }
    if (int old = faultFd_.exchange(::fcntl(fd_, F_DUPFD_CLOEXEC, 3)); old >= 0) ::close(old);
    const off_t end = ::lseek(fd_, 0, SEEK_END);
    logInfos_[current_] = end > 0 ? static_cast<int64_t>(end) : 0;
    if (end > 0) {
        // O_APPEND leaves the descriptor write-only; the last byte is read through a second one.
        int rfd = ::open(pathOf(config_.fileNames[current_]).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
        char last = '\n';
        if (rfd >= 0) {
            if (::pread(rfd, &last, 1, end - 1) != 1) last = '\n';
            ::close(rfd);
        }
        lineOpen_ = last != '\n';
    }
}

void RotatingLogger::turnToNextFile() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    current_ = (current_ + 1) % config_.fileNames.size();
    ::unlink(pathOf(config_.fileNames[current_]).c_str());
    openCurrent(true);
}

void RotatingLogger::writeLog(const std::string& message, unsigned long /*type*/) {
    logQueue_->dispatch([this, message] { writeLine(message); });
}

void RotatingLogger::writeLine(const std::string& message) {
    struct stat st {};
    if (::lstat(pathOf(config_.fileNames[current_]).c_str(), &st) != 0) {
        openCurrent(true);
    } else if (fd_ < 0) {
        openCurrent(false);  // an earlier open failed: try again rather than drop every line
    }
    bool turned = false;
    if (logInfos_[current_] >= kMaxFileSize) {
        turnToNextFile();
        turned = true;
    }

    const dispatch::Clock& clock = config_.clock ? *config_.clock : dispatch::Clock::system();
    const std::string date = date::currentDateString(clock.now());
    // A cut line is ended before anything follows it, and lines the disk refused are counted in
    // one line of their own as soon as a line can be written again.
    bool ok = !lineOpen_ || append("\n");
    if (ok && linesLost_ > 0) {
        const std::string mark =
            "[RotatingLogger] " + std::to_string(linesLost_) + " log line" + (linesLost_ == 1 ? "" : "s") +
            " lost or cut short: " + std::error_code(lossError_, std::generic_category()).message();
        ok = append(config_.formatLine(date, mark));
        if (ok) linesLost_ = 0;
    }
    if (!ok || !append(config_.formatLine(date, message))) ++linesLost_;

    // A turn is recorded at once; otherwise one state write covers the lines of a second.
    if (turned) {
        saveState();
    } else {
        scheduleStateSave();
    }
}

void RotatingLogger::scheduleStateSave() {
    stateDirty_ = true;
    if (stateSaveScheduled_) return;
    stateSaveScheduled_ = true;
    logQueue_->dispatchAfter(kStateSaveDelay, [this, token = std::weak_ptr<int>(aliveToken_)] {
        if (token.expired()) return;
        stateSaveScheduled_ = false;
        if (stateDirty_) saveState();
    });
}

bool RotatingLogger::append(const std::string& bytes) {
    if (fd_ < 0) return false;
    int error = 0;
    size_t written = fileio::writeCounted(
        fd_, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()), &error);
    // A line is whole or absent: the part a full disk (or a file-size limit) took is cut off
    // again, so the next line, or the notice of lost lines, starts at a line's beginning.
    struct stat st {};
    if (written > 0 && written < bytes.size() && ::fstat(fd_, &st) == 0 &&
        st.st_size >= static_cast<off_t>(written) &&
        ::ftruncate(fd_, st.st_size - static_cast<off_t>(written)) == 0) {
        written = 0;
    }
    logInfos_[current_] += static_cast<int64_t>(written);
    if (written > 0) lineOpen_ = bytes[written - 1] != '\n';
    if (written == bytes.size()) return true;
    lossError_ = error;
    return false;
}

archive::Value RotatingLogger::currentLogInfo() const {
    archive::Dictionary info;
    for (size_t i = 0; i < config_.fileNames.size(); ++i) info[config_.fileNames[i]] = logInfos_[i];
    return archive::Dictionary{{"currentLogName", config_.fileNames[current_]}, {"info", std::move(info)}};
}

// Rewritten while lines come, so without disk flushes: a state lost in a power cut
// starts the logger afresh in file 1 (see loadState), and no line is lost with it.
void RotatingLogger::saveState() {
    stateDirty_ = false;
    if (auto data = archive::archivedData(currentLogInfo())) fileio::replaceFileUnsynced(logInfoPath_, *data);
}

void RotatingLogger::flush() {
    if (!logQueue_) return;
    auto writePending = [this] {
        if (stateDirty_) saveState();
    };
    if (logQueue_->isCurrent()) {
        writePending();
    } else {
        logQueue_->dispatchSync(writePending);
    }
}

std::string RotatingLogger::currentLogName() {
    std::string name;
    logQueue_->dispatchSync([&] { name = config_.fileNames[current_]; });
    return name;
}

int64_t RotatingLogger::recordedSize(const std::string& fileName) {
    int64_t size = -1;
    logQueue_->dispatchSync([&] {
        for (size_t i = 0; i < config_.fileNames.size(); ++i) {
            if (config_.fileNames[i] == fileName) size = logInfos_[i];
        }
    });
    return size;
}

RotatingLoggerConfig RotatingLogger::programConfig(const std::string& program) {
    RotatingLoggerConfig c;
    c.fileNames = {program + "-Info-1.log", program + "-Info-2.log", program + "-Info-3.log"};
    c.stateArchiveName = program + "LogInfo.data";
    std::string label = program;
    for (char& ch : label) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    c.queueLabel = "com.velmora.log." + label;
    c.formatLine = [](const std::string& date, const std::string& message) {
        return date + ": " + message + " \n";
    };
    return c;
}

RotatingLoggerConfig RotatingLogger::uiAppConfig(const std::string& home) {
    RotatingLoggerConfig c;
    c.fileNames = {"RavAviza-Info-1.log", "RavAviza-Info-2.log", "RavAviza-Info-3.log"};
    c.stateArchiveName = "RavAvizaLogInfo.data";
    c.queueLabel = "com.velmora.RavAviza.log";
    c.formatLine = [](const std::string& date, const std::string& message) {
        return date + " : -[ZemLogHelper writeLog:type:]_block_invoke:[148] : " + message + " \n";
    };
    c.logFolder = home + "/Library/Logs/RavAviza/Logs";
    c.readers = logfiles::Readers::OwnerOnly;
    c.stateFolder = home + "/.AppData/RavAviza/RavAviza.EXE$";
    return c;
}

RotatingLoggerConfig LogCoreHelper::defaultConfig() {
    RotatingLoggerConfig c;
    c.fileNames = {"Hollin-Info-1.log", "Hollin-Info-2.log", "Hollin-Info-3.log"};
    c.stateArchiveName = "HollinLogInfo.data";
    c.queueLabel = "com.velmora.log.zemclient";
    c.formatLine = [](const std::string& date, const std::string& message) {
        return date + ": " + message + " \n";
    };
    return c;
}

LogCoreHelper& LogCoreHelper::sharedInstance() {
    static LogCoreHelper* instance = new LogCoreHelper(defaultConfig());  // lives for the whole process
    return *instance;
}

RotatingLoggerConfig LogExtCoreHelper::defaultConfig() {
    RotatingLoggerConfig c;
    c.fileNames = {"HollinExt-Info-1.log", "HollinExt-Info-2.log", "HollinExt-Info-3.log"};
    c.stateArchiveName = "HollinExtLogInfo.data";
    c.queueLabel = "com.velmora.log.zemclientext";
    c.formatLine = [](const std::string& date, const std::string& message) {
        return date + ": -[LogExtCoreHelper writeLog:type:]_block_invoke:[135] : " + message + " \n";
    };
    return c;
}

LogExtCoreHelper& LogExtCoreHelper::sharedInstance() {
    static LogExtCoreHelper* instance = new LogExtCoreHelper(defaultConfig());
    return *instance;
}

LogBusHelper& LogBusHelper::sharedInstance() {
    static LogBusHelper* instance = new LogBusHelper(defaultConfig());
    return *instance;
}

LogUpgradeErrorHelper& LogUpgradeErrorHelper::sharedInstance() {
    static LogUpgradeErrorHelper* instance = new LogUpgradeErrorHelper(defaultConfig());
    return *instance;
}

}  // namespace common
