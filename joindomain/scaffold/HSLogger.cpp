#include "HSLogger.h"

#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <span>

#include "platform/core/FileIO.h"
#include "platform/core/LogFiles.h"
#include "platform/paths/Paths.h"

namespace helperscaffold {

namespace {

std::string localTime(const char* format) {
    time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    char buf[64];
    size_t n = ::strftime(buf, sizeof buf, format, &local);
    return std::string(buf, n);
}

void writeText(int fd, const std::string& text) {
    fileio::writeAll(fd,
                     std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

}  // namespace

HSLogger::HSLogger(const HelperIdentity& identity)
    : identity_(identity), logQueue(dispatch::WorkQueue::create(identity.loggerQueueLabel)) {}

HSLogger::~HSLogger() {
    flush();
    if (logFileHandle >= 0) ::close(logFileHandle);
}

std::string HSLogger::prefixForType(uint64_t type) {
    switch (type) {
        case kInfo:
            return "[Info] ";
        case kDebug:
            return "[Debug] ";
        case kError:
            return "[Error] ";
        default:
            return "";
    }
}

void HSLogger::writeLog(const std::string& text, uint64_t type) {
    std::string line = prefixForType(type) + localTime("%Y-%m-%d %H:%M:%S") + " " + text + "\r\n";
    logQueue->dispatch([this, line = std::move(line)] { write(line); });
}

void HSLogger::write(const std::string& line) {
    if (logFileHandle < 0) createLogFile();
    if (logFileHandle < 0) return;  // the next line tries again
    writeText(logFileHandle, line);
    ::lseek(logFileHandle, 0, SEEK_END);
}

void HSLogger::createLogFile() {
    const std::string library = paths::localLibraryFolder();
    if (library.empty()) return;
    const std::string folder = library + "/" + identity_.logFolder;
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        std::error_code ec;
        std::filesystem::create_directories(folder, ec);
    }
    startWithFilePath(folder + "/" + identity_.logName + ".log");
}

void HSLogger::startWithFilePath(const std::string& path) {
    if (logFileHandle >= 0) {
        ::close(logFileHandle);
        logFileHandle = -1;
    }
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && st.st_size > kMaxFileBytes) {
        ::unlink(path.c_str());  // a failed delete falls through to truncating it below
    }
    const bool truncate = ::lstat(path.c_str(), &st) == 0 && st.st_size > kMaxFileBytes;
    // Root's log quotes the directory's and the server's answers: administrators read it, others
    // do not, and a file left wider by an earlier version is narrowed.
    int fd = logfiles::openForAppend(path, logfiles::Readers::Administrators, truncate);
    if (fd < 0) return;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return;
    }
    logFileHandle = fd;
    ::lseek(logFileHandle, 0, SEEK_END);
    writeText(logFileHandle, "\n\n------------------------------------ " + identity_.logName + " " +
                                 localTime("%Y-%m-%d-%H-%M-%S") +
                                 " Start ------------------------------------\n\n");
}

void HSLogger::closeLogger() {
    logQueue->dispatch([this] {
        if (logFileHandle >= 0) ::close(logFileHandle);
        logFileHandle = -1;
    });
}

void HSLogger::flush() {
    logQueue->dispatchSync([] {});
}

}  // namespace helperscaffold
