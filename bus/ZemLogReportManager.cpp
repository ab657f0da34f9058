#include "ZemLogReportManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <minizip/zip.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <future>

#include "platform/core/FileIO.h"
#include "platform/core/UserFolder.h"
#include "common/device/ITDevice.h"
#include "common/device/NetworkCardInfoManager.h"
#include "framework/encoding/DateUtil.h"
#include "framework/encoding/MD5.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "proto/ZemLogText.h"
#include "platform/sysinfo/ConsoleUser.h"

using common::ITDevice;
using common::NetworkCardInfoManager;
using common::processLog;

namespace fs = std::filesystem;

namespace {

void log(const std::string& line) {
    processLog().writeLog(line);
}

std::string v5Folder() {
    return paths::localLibraryFolder() + "/Logs/RavAviza/v5";
}

// What the copy of a user's folder may still take.
struct CopyBudget {
    uint64_t bytes;
    size_t entries = 10'000;
};

// Copies the folders and regular files below dirfd into dest, never following a link: the
// user owns the source and could point a link at any file of the machine.
bool copyUserTree(int dirfd, const std::string& dest, CopyBudget& budget, int depth, std::string* error) {
    if (::mkdir(dest.c_str(), 0700) != 0 && errno != EEXIST) {
        *error = dest + ": " + std::strerror(errno);
        return false;
    }
    const int listFd = ::dup(dirfd);
    DIR* dir = listFd >= 0 ? ::fdopendir(listFd) : nullptr;
    if (!dir) {
        if (listFd >= 0) ::close(listFd);
        *error = std::string("cannot list the folder: ") + std::strerror(errno);
        return false;
    }
    bool ok = true;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        if (budget.entries == 0 || budget.bytes == 0) break;
        --budget.entries;
        struct stat st {};
        if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
        if (S_ISDIR(st.st_mode)) {
            if (depth >= 16) continue;
            const int sub = ::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (sub < 0) continue;
            ok = copyUserTree(sub, dest + "/" + name, budget, depth + 1, error) && ok;
            ::close(sub);
        } else if (S_ISREG(st.st_mode)) {
            const int in = ::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
            if (in < 0) continue;
            struct stat opened {};
            if (::fstat(in, &opened) != 0 || !S_ISREG(opened.st_mode)) {
                ::close(in);
                continue;
            }
            const int out = ::open((dest + "/" + name).c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (out < 0) {
                ::close(in);
                continue;
            }
            char buffer[64 * 1024];
            while (budget.bytes > 0) {
                const ssize_t n =
                    ::read(in, buffer, static_cast<size_t>(std::min<uint64_t>(sizeof buffer, budget.bytes)));
                if (n <= 0) break;
                if (!fileio::writeAll(out, std::span<const uint8_t>(reinterpret_cast<uint8_t*>(buffer),
                                                                    static_cast<size_t>(n)))) {
                    *error = name + ": " + std::strerror(errno);
                    ok = false;
                    break;
                }
                budget.bytes -= static_cast<uint64_t>(n);
            }
            ::close(out);
            ::close(in);
        }
    }
    ::closedir(dir);
    return ok;
}

std::optional<std::pair<uid_t, gid_t>> ownerOf(const std::string& user) {
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(user.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || !found)
        return std::nullopt;
    return std::make_pair(pw.pw_uid, pw.pw_gid);
}

// Adds the user's QZN logs to the staging folder (step 2 of the job); only logs.
void addUserLogs(const std::optional<std::string>& consoleUser, const std::string& staging) {
    if (!consoleUser || consoleUser->empty()) {
        log("[ZemBus] QZN Debug Log is not exist. home directory = (null)\n");
        return;
    }
    log("[ZemBus] QZN Debug Log login user = " + *consoleUser + "\n");
    std::string user = *consoleUser;
    std::erase(user, '\n');
    std::string lower = user;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (lower == "root") {
        log("[ZemBus] QZN Debug Log is not exist. login user = " + user + "\n");
        return;
    }
    const auto home = paths::homeFolder(user);
    const auto owner = ownerOf(user);
    const std::string shown = home.value_or("/Users/" + user) + "/Library/Logs/RavAviza/v5/QZN";
    std::optional<fileio::UserFolder> folder;
    if (home && owner)
        folder = fileio::UserFolder::open(*home, {"Library", "Logs", "RavAviza", "v5", "QZN"},
                                          {owner->first, owner->second}, false);
    if (!folder) {
        log("[ZemBus] QZN Debug Log is not exist. home directory = " + shown + "\n");
        return;
    }
    CopyBudget budget{ZemLogReportManager::kMaxUserLogBytes};
    std::string error;
    const bool copied = copyUserTree(folder->fd(), staging + "/QZN", budget, 0, &error);
    log("[ZemBus] QZN Debug Log copy. error = " + (copied ? std::string("(null)") : error));
}

tm_zip zipTime(time_t when) {
    std::tm local{};
    ::localtime_r(&when, &local);
    tm_zip t{};
    t.tm_sec = static_cast<uInt>(local.tm_sec);
    t.tm_min = static_cast<uInt>(local.tm_min);
    t.tm_hour = static_cast<uInt>(local.tm_hour);
    t.tm_mday = static_cast<uInt>(local.tm_mday);
    t.tm_mon = static_cast<uInt>(local.tm_mon);
    t.tm_year = static_cast<uInt>(local.tm_year + 1900);
    return t;
}

}  // namespace

ZemLogReportManager::ZemLogReportManager(Environment environment) : env_(std::move(environment)) {
    if (!env_.consoleUser) env_.consoleUser = [] { return sysinfo::consoleUser(); };
    if (!env_.hardwareUuid) env_.hardwareUuid = [] { return ITDevice::currentDevice().uuid(); };
    if (!env_.networkCardIps)
        env_.networkCardIps = [] {
            std::vector<std::string> ips;
            for (const auto& card : NetworkCardInfoManager::sharedInstance().currentNetworkCards())
                ips.push_back(card.ip);
            return ips;
        };
    if (!env_.currentDateString) env_.currentDateString = [] { return date::currentDateString(); };
    queue_ = dispatch::WorkQueue::create("zip");
}

ZemLogReportManager::~ZemLogReportManager() {
    std::unique_lock lock(mutex_);
    idleChanged_.wait(lock, [&] { return !running_; });
}

bool ZemLogReportManager::idle() const {
    std::lock_guard lock(mutex_);
    return !running_;
}

void ZemLogReportManager::reportDebugLog() {
    {
        std::lock_guard lock(mutex_);
        if (running_) {
            pending_ = true;
            log("[ZemBus][DebugLog] a debug log job is running; one more follows it");
            return;
        }
        running_ = true;
    }
    queue_->dispatch([this] { runJobs(); });
}

void ZemLogReportManager::runJobs() {
    while (true) {
        job();
        if (env_.jobFinished) env_.jobFinished();
        std::lock_guard lock(mutex_);
        if (pending_) {
            pending_ = false;
            continue;
        }
        running_ = false;
        idleChanged_.notify_all();
        return;
    }
}

std::string ZemLogReportManager::pathOfDebugInfo() {
    const std::string path = paths::daemonLogsFolder();
    std::error_code ec;
    fs::create_directories(path, ec);
    return path;
}

std::string ZemLogReportManager::tmpPathOfDebugInfo() {
    return paths::daemonLogsFolder() + "~";
}

std::string ZemLogReportManager::zipName() const {
    std::string uuid = env_.hardwareUuid();
    std::erase(uuid, '-');
    std::string ips;
    for (const auto& ip : env_.networkCardIps()) ips += ip;
    std::string when = env_.currentDateString();
    std::replace(when.begin(), when.end(), ':', '-');
    std::replace(when.begin(), when.end(), ' ', '-');
    std::string name = "mac_" + uuid + "_debuglog_" + ips + "-" + when + ".zip";
    // The name becomes a path component here and on the server.
    std::replace(name.begin(), name.end(), '/', '_');
    return name;
}

bool ZemLogReportManager::createZipFileAtPath(const std::string& zipPath, const std::string& folder) {
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) return false;
    zipFile zip = zipOpen64(zipPath.c_str(), APPEND_STATUS_CREATE);
    if (!zip) return false;
    bool ok = true;
    std::vector<fs::path> entries;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        entries.push_back(it->path());
    if (ec) ok = false;
    std::sort(entries.begin(), entries.end());
    std::vector<char> buffer(64 * 1024);
    for (const auto& entry : entries) {
        if (!ok) break;
        const auto status = fs::symlink_status(entry, ec);
        if (ec) continue;
        std::string name = fs::relative(entry, folder, ec).generic_string();
        if (ec || name.empty()) continue;
        struct stat st {};
        if (::lstat(entry.c_str(), &st) != 0) continue;
        zip_fileinfo info{};
        info.tmz_date = zipTime(st.st_mtim.tv_sec);
        if (fs::is_directory(status)) {
            name += "/";
            info.external_fa = (static_cast<uLong>(st.st_mode & 07777) | 040000) << 16;
            ok = zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, 0, 0, 0) ==
                     ZIP_OK &&
                 zipCloseFileInZip(zip) == ZIP_OK;
            continue;
        }
        if (!fs::is_regular_file(status)) continue;
        const int fd = ::open(entry.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            ok = false;
            break;
        }
        info.external_fa = (static_cast<uLong>(st.st_mode & 07777) | 0100000) << 16;
        const int zip64 = st.st_size >= 0xffffffffLL ? 1 : 0;
        ok = zipOpenNewFileInZip64(zip, name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                   Z_DEFAULT_COMPRESSION, zip64) == ZIP_OK;
        while (ok) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) ok = false;
            if (n <= 0) break;
            ok = zipWriteInFileInZip(zip, buffer.data(), static_cast<unsigned>(n)) == ZIP_OK;
        }
        ::close(fd);
        if (zipCloseFileInZip(zip) != ZIP_OK) ok = false;
    }
    if (zipClose(zip, nullptr) != ZIP_OK) ok = false;
    if (!ok) ::unlink(zipPath.c_str());
    return ok;
}

std::optional<std::string> ZemLogReportManager::archiveZipWith(ErrorValue* error) {
    const std::string source = pathOfDebugInfo();
    const std::string staging = tmpPathOfDebugInfo();
    std::error_code ec;
    if (fs::is_directory(fs::symlink_status(staging, ec))) fs::remove_all(staging, ec);
    std::error_code copyError;
    fs::copy(source, staging, fs::copy_options::recursive | fs::copy_options::copy_symlinks, copyError);

    addUserLogs(env_.consoleUser(), staging);

    if (copyError) {
        if (error) *error = ErrorValue{"", copyError.value(), copyError.message()};
        log("[ZemBus] Debug Log is not exist. path = " + copyError.message() + "\n");
        return std::nullopt;
    }
    const std::string zipPath = v5Folder() + "/" + zipName();
    const bool zipped = createZipFileAtPath(zipPath, staging);
    fs::remove_all(staging, ec);
    if (!zipped) {
        if (error) *error = ErrorValue{"", -1, "[ZemBus][ZipDebugLog]zip file failed."};
        log("[ZemBus][ZipDebugLog]zip file failed.");
        return std::nullopt;
    }
    return zipPath;
}

void ZemLogReportManager::job() {
    ErrorValue error;
    const auto zipPath = archiveZipWith(&error);
    if (!zipPath) return;
    std::error_code sizeError;
    if (fs::file_size(*zipPath, sizeError) > kMaxArchiveBytes && !sizeError) {
        log("[ZemBus] Debug Log is too large to upload. path = " + *zipPath + "\n");
        ::unlink(zipPath->c_str());
        return;
    }
    auto bytes = fileio::readFile(*zipPath, kMaxArchiveBytes);
    if (!bytes || bytes->empty()) {
        log("[ZemBus] Debug Log is not exist. path = " + *zipPath + "\n");
        return;
    }
    const std::string md5 = MD5::MD5HexDigest(*bytes);
    const std::string fileName = fs::path(*zipPath).filename();
    const auto stored = ZemDebugModelManager::localDebugModel();
    archive::Dictionary info{{"lastSeq", static_cast<int64_t>(stored ? stored->curSeq : 0)},
                             {"logSize", static_cast<int64_t>(bytes->size())},
                             {"logMd5", md5},
                             {"logName", fileName}};

    struct Outcome {
        bool success = false;
        std::shared_ptr<const google::protobuf::Message> reply;
        std::string text;
    };
    auto promise = std::make_shared<std::promise<Outcome>>();
    auto future = promise->get_future();
    // One core for all jobs of this manager: its transfers keep their queue and connections.
    if (!env_.core) env_.core = std::make_shared<ZemBusCore>();
    env_.core->sendDebugLogRequest(std::move(info), [promise](bool success, auto reply, std::string text) {
        promise->set_value(Outcome{success, std::move(reply), std::move(text)});
    });
    Outcome outcome;
    // The request has its own deadline; this only guards against a completion that never comes.
    if (future.wait_for(ZemBusCore::kTimeout + std::chrono::seconds(30)) == std::future_status::ready)
        outcome = future.get();
    if (outcome.text == "upload server is null") return;  // no server: the zip stays for later

    const auto* reply = dynamic_cast<const DebugLogUploadMsgRsp*>(outcome.reply.get());
    const int64_t size = static_cast<int64_t>(bytes->size());
    if (outcome.success && reply) {
        ZemDebugModel model;
        model.fileName = fileName;
        model.uploadType = reply->uploadtype();
        model.uploadURL = reply->uploadurl();
        model.ftpURL = reply->ftpsvrip();
        model.ftp_path = reply->ftppath();
        model.ftp_port = reply->ftpport();
        model.ftp_user = reply->ftpuser();
        model.ftp_password = reply->ftppasswd();
        model.origionPath = *zipPath;
        model.totalSize = size;
        model.fileData = std::move(*bytes);
        log("[ZemBus] [DebugLogReport] get FTPInfo request is successful. \n " + model.description());
        if (!ZemDebugModelManager::saveDebugModelToLocal(model))
            log("[ZemBus] [DebugLogReport] the upload settings could not be saved");
        uploadDebugLogToFTP(model);
        return;
    }
    const std::string replyText = ZemLogText::describe(outcome.reply.get());
    if (stored) {
        ZemDebugModel model = *stored;
        model.fileName = fileName;
        model.origionPath = *zipPath;
        model.totalSize = size;
        model.fileData = std::move(*bytes);
        log("[ZemBus] [DebugLogReport] get FTPInfo request failed. so user local cache.. error: " +
            replyText + "\n");
        uploadDebugLogToFTP(model);
        return;
    }
    std::error_code ec;
    fs::remove(*zipPath, ec);
    log("[ZemBus] [DebugLogReport] get FTPInfo request is error. " + replyText + "\n");
}

void ZemLogReportManager::uploadDebugLogToFTP(const ZemDebugModel& model) {
    constexpr size_t kMaxMessage = 64 * 1024;
    DebugLogFTPRequest request(env_.limits);
    std::string message;
    request.uploadDebugLogToFTPServ(
        model,
        [&](uint64_t sendSize, uint64_t totalSize) {
            if (message.size() >= kMaxMessage) return;
            message += "[DebugLog Report] upload progress .sendSize = " + std::to_string(sendSize) +
                       ", totalSize = " + std::to_string(totalSize) + " \n";
        },
        [&](bool success, const std::string& error) {
            if (!model.origionPath.empty()) ::unlink(model.origionPath.c_str());
            if (success)
                message += "[DebugLog Report] upload debug log successful.";
            else
                message += "[DebugLog Report] failed. Because error " + error;
            log(message);
        });
}
