// The failed-report cache of DataReportManager: one encrypted file per report the server did not
// accept, sent again by the service's timer, at most six a pass.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <filesystem>

#include "bus/DataReportManager.h"
#include "framework/cipher/AesString.h"
#include "framework/encoding/DateUtil.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "framework/process/FileManager.h"

using calix::FileManager;
using common::processLog;

namespace fs = std::filesystem;

namespace {

void log(const std::string& line) {
    processLog().writeLog(line);
}

// A type that can stand in a file name of the folder (no "/", no NUL, not empty, bounded).
bool typeFitsFileName(const std::string& type) {
    if (type.empty() || type.size() > 200) return false;
    for (char c : type)
        if (c == '/' || c == '\0') return false;
    return true;
}

bool writeAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads a cache file that is a regular file (a symlink is not followed), at most limit bytes.
std::optional<std::string> readCacheFile(int dirFd, const std::string& name, size_t limit, double* modified) {
    const int fd = ::openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> out;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) <= limit) {
        *modified = static_cast<double>(st.st_mtim.tv_sec) + st.st_mtim.tv_nsec / 1e9;
        std::string text(static_cast<size_t>(st.st_size), '\0');
        size_t done = 0;
        bool ok = true;
        while (done < text.size()) {
            const ssize_t n = ::read(fd, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                ok = false;
                break;
            }
            done += static_cast<size_t>(n);
        }
        if (ok) out = std::move(text);
    }
    ::close(fd);
    return out;
}

}  // namespace

std::string DataReportManager::cacheDirectory() {
    return paths::under("/Library/Logs/RavAviza/v5/cache");
}

std::string DataReportManager::cacheKey(const std::string& type, const std::string& fileName) {
    return type + "|" + fileName;
}

std::string DataReportManager::reportTypeOfCacheFile(const std::string& fileName) {
    // The time stamp holds no "-", so the type is everything after the first one: a type that
    // itself holds "-" is read back whole.
    const size_t dash = fileName.find('-');
    return dash == std::string::npos ? fileName : fileName.substr(dash + 1);
}

void DataReportManager::saveUploadDataToLocalCache(const std::string& body, const std::string& type) {
    std::lock_guard lock(cacheMutex_);
    const fs::path folder(cacheFolder_);
    FileManager::sharedInstance().createDirectoryWithName(folder.filename(), folder.parent_path());
    if (!typeFitsFileName(type)) {
        log("[DataReportManager]save upload failed content failed...");
        return;
    }
    std::string stamp;
    for (char c : date::currentDateString(now()))
        if (c != ':' && c != '-' && c != ' ') stamp += c;

    const int dirFd = ::open(cacheFolder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) {
        log("[DataReportManager]save upload failed content failed...");
        return;
    }
    // Two failures of a type in one second (the two halves of a split report) get names of their
    // own: the first keeps the plain name, later ones a counter after the stamp. The file is
    // written under a temporary name and linked to its name only when that name is free.
    bool saved = false;
    for (int n = 0; n < 1000 && !saved; ++n) {
        const std::string name = stamp + (n ? "_" + std::to_string(n) : std::string()) + "-" + type;
        struct stat st {};
        if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) continue;
        const auto encrypted = UrlEncode::aes256_encrypt(body, cacheKey(type, name));
        if (!encrypted) {
            log("[DataReportManager] encrypt upload content failed...");
            break;
        }
        const std::string temp = ".save-" + std::to_string(::getpid()) + "-" + name;
        const int fd =
            ::openat(dirFd, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            log("[DataReportManager]save upload failed content failed...");
            break;
        }
        const bool written = writeAll(fd, *encrypted) && ::fsync(fd) == 0;
        ::close(fd);
        if (!written) {
            ::unlinkat(dirFd, temp.c_str(), 0);
            log("[DataReportManager]save upload failed content failed...");
            break;
        }
        const int linked = ::linkat(dirFd, temp.c_str(), dirFd, name.c_str(), 0);
        const int linkError = errno;
        ::unlinkat(dirFd, temp.c_str(), 0);
        if (linked == 0) {
            saved = true;
            log("[DataReportManager] save upload failed content success... (null)");
        } else if (linkError != EEXIST) {
            log("[DataReportManager]save upload failed content failed...");
            break;
        }
    }
    ::close(dirFd);
}

void DataReportManager::reuploadLocalCacheData() {
    log("start reupload local cache data...");
    const fs::path folder(cacheFolder_);
    FileManager::sharedInstance().createDirectoryWithName(folder.filename(), folder.parent_path());
    const int dirFd = ::open(cacheFolder_.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dirFd < 0) return;
    std::vector<std::string> names;
    if (DIR* dir = ::fdopendir(::dup(dirFd))) {
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (!name.empty() && name[0] != '.') names.push_back(name);
        }
        ::closedir(dir);
    }
    if (requestHead()->empty()) setRequestHead();

    size_t handled = 0;
    for (const std::string& name : names) {
        if (handled == kMaxResendPerPass) break;
        {
            // A file still being sent by an earlier pass is left to that pass; this pass claims
            // the file before reading it, so two passes never both take it.
            std::lock_guard lock(cacheMutex_);
            if (!inFlight_.insert(name).second) continue;
        }
        auto release = [&] {
            std::lock_guard lock(cacheMutex_);
            inFlight_.erase(name);
        };
        ++handled;
        const std::string type = reportTypeOfCacheFile(name);
        double modified = 0;
        const auto text = readCacheFile(dirFd, name, kMaxCacheFileBytes, &modified);
        if (!text || text->empty()) {
            ::unlinkat(dirFd, name.c_str(), 0);
            log("[DataReportManager] remove local cache data,because content length is null or zero ...");
            release();
            continue;
        }
        const auto body = UrlEncode::aes256_decrypt(*text, cacheKey(type, name));
        if (!body) {
            ::unlinkat(dirFd, name.c_str(), 0);
            log("[DataReportManager] reupload local cache data decrypt failed... remove from local");
            release();
            continue;
        }
        const auto model = getUploadState(type);
        if (!model) {
            release();  // kept until the type is enabled again
            continue;
        }
        uploadDataRequest(*body, model->url, [this, name, modified](const UploadResult& result) {
            const std::string path = cacheFolder_ + "/" + name;
            std::error_code ec;
            if (result.transportError) {
                log("[reuploadLocalCacheData] reupload local cache failed,error:" + result.errorText + " (" +
                    std::to_string(result.errorCode) + ")");
                if (result.errorCode == kEncodeFailedCode ||
                    std::fabs(now() - modified) > kCacheLifetimeSeconds)
                    fs::remove(path, ec);
            } else {
                const std::string response = "status " + std::to_string(result.status);
                if (result.data) {
                    log("[reuploadLocalCacheData] url response: " + response +
                        ":  responseObject: " + *result.data);
                } else {
                    log("[reuploadLocalCacheData] url response: " + response);
                }
                fs::remove(path, ec);
            }
            std::lock_guard lock(cacheMutex_);
            inFlight_.erase(name);
        });
    }
    ::close(dirFd);
}
