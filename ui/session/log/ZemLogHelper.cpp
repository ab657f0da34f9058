#include "ZemLogHelper.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "ZipFolder.h"
#include "common/logger/RotatingLogger.h"
#include "framework/encoding/DateUtil.h"
#include "framework/process/TaskHelper.h"
#include "platform/paths/Paths.h"
#include "platform/spawn/Spawn.h"

using calix::TaskHelper;
using common::RotatingLogger;
using common::RotatingLoggerConfig;
using common::setProcessLog;

namespace {

namespace fs = std::filesystem;

constexpr const char* kEchoPrefix = "-[ZemLogHelper writeLog:type:]_block_invoke [Line 150] ";
// An administrator may take a while to answer the prompt; the run still ends at some point.
constexpr std::chrono::milliseconds kAdministratorDeadline{600'000};

bool isFolder(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

void removeIfPresent(const std::string& path) {
    std::error_code ec;
    fs::remove(path, ec);
}

// The running user's name and primary group name, for "user:group" of a chown.
std::optional<std::string> ownerOfRunningUser() {
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) != 0 || !found || !found->pw_name)
        return std::nullopt;
    std::string owner = found->pw_name;
    group gr{};
    group* grFound = nullptr;
    char gbuf[4096];
    if (::getgrgid_r(found->pw_gid, &gr, gbuf, sizeof gbuf, &grFound) == 0 && grFound && grFound->gr_name) {
        owner += ":" + std::string(grFound->gr_name);
    } else {
        owner += ":" + std::to_string(found->pw_gid);
    }
    return owner;
}

std::string firstExisting(std::initializer_list<std::string> candidates) {
    for (const std::string& c : candidates) {
        if (::access(c.c_str(), X_OK) == 0) return c;
    }
    return *candidates.begin();
}

// pkexec from the product's tool folder when one is installed there, else the system's.
std::optional<std::string> runWithPkexec(const std::vector<std::string>& argv) {
    const std::string pkexec = firstExisting({paths::toolFolder() + "/pkexec", "/usr/bin/pkexec"});
    spawn::Options options;
    options.program = pkexec;
    options.argv.push_back(pkexec);
    options.argv.insert(options.argv.end(), argv.begin(), argv.end());
    spawn::RunLimits limits;
    limits.deadline = kAdministratorDeadline;
    limits.maxStreamBytes = 64 * 1024;
    spawn::RunResult run = spawn::run(options, limits);
    if (!run.started()) return pkexec + ": " + std::strerror(run.spawnError);
    if (run.timedOut) return std::string("no answer from the administrator prompt");
    const int status = run.waitStatus ? spawn::exitStatusFromWait(*run.waitStatus) : -1;
    if (!run.error.empty()) return run.error;
    if (status != 0) return "exit status " + std::to_string(status);
    return std::nullopt;
}

void revealWithXdgOpen(const std::string& folder) {
    TaskHelper::sharedInstance().startCMDApp(firstExisting({"/usr/bin/xdg-open", "/bin/xdg-open"}), {folder});
}

// The folder, made level by level as the product's folders are.
std::string makeLevels(std::string dir, std::initializer_list<const char*> levels) {
    for (const char* level : levels) {
        dir += "/";
        dir += level;
        std::error_code ec;
        fs::create_directory(dir, ec);
    }
    return dir;
}

// Opens home and then each level below it as a folder, making missing levels, never following a
// link. An invalid descriptor and *error set when a level is not a folder.
spawn::Fd openOwnFolder(const std::string& home, std::initializer_list<const char*> levels,
                        std::optional<std::string>* error) {
    spawn::Fd fd(::open(home.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        *error = home + ": " + std::strerror(errno);
        return fd;
    }
    std::string reached = home;
    for (const char* level : levels) {
        reached += "/";
        reached += level;
        ::mkdirat(fd.get(), level, 0755);
        // A path descriptor needs no read permission on a folder another account made.
        spawn::Fd next(::openat(fd.get(), level, O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) {
            *error = reached + ": " + std::strerror(errno);
            return spawn::Fd();
        }
        fd = std::move(next);
    }
    return fd;
}

std::string nimbrelLogsFolder() {
    return paths::localLibraryFolder() + "/Logs/com.velmora.nimbrel";
}

}  // namespace

ZemLogHelper& ZemLogHelper::sharedInstance() {
    // Lives for the whole process, and is the app's process log: shared code's lines land in the
    // same files through the same queue, never through a second writer of them.
    static ZemLogHelper* instance = [] {
        auto* made = new ZemLogHelper(Options{});
        setProcessLog(*made);
        return made;
    }();
    return *instance;
}

int ZemLogHelper::faultRecordFd() const {
    return logger_ ? logger_->faultRecordFd() : -1;
}

std::string ZemLogHelper::homeDirectory() {
    if (const char* home = ::getenv("HOME"); home && *home == '/') return paths::under(home);
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name) {
        if (auto home = paths::homeFolder(found->pw_name)) return *home;
    }
    return paths::under("/tmp");
}

ZemLogHelper::ZemLogHelper(Options options) : options_(std::move(options)) {
    home_ = options_.home.empty() ? homeDirectory() : options_.home;
    {
        std::error_code ec;
        fs::create_directories(home_ + "/Library/Logs/RavAviza/Logs", ec);
    }
    RotatingLoggerConfig config = RotatingLogger::uiAppConfig(home_);
    config.clock = options_.clock;
    logger_ = std::make_unique<RotatingLogger>(std::move(config));
    zipQueue_ = dispatch::WorkQueue::create("com.velmora.RavAviza.zip", dispatch::QueueAttr::Serial);
}

ZemLogHelper::~ZemLogHelper() {
    zipQueue_->dispatchSync([] {});
    logger_->flush();
}

void ZemLogHelper::writeLog(const std::string& message, unsigned long type) {
    logger_->writeLog(message, type);
    const std::string echo = kEchoPrefix + message;
    if (options_.systemLog) {
        options_.systemLog(echo);
    } else {
        ::syslog(LOG_NOTICE, "%s", echo.c_str());
    }
}

void ZemLogHelper::flush() {
    logger_->flush();
}

std::string ZemLogHelper::currentDateString() {
    return date::currentDateString();
}

std::string ZemLogHelper::rootPath() const {
    return home_ + "/Library/Logs/RavAviza";
}

std::string ZemLogHelper::rootDirectory() const {
    return logger_->rootDirectory();
}

std::string ZemLogHelper::logInfoPath() const {
    return logger_->logInfoPath();
}

std::string ZemLogHelper::desktopDirectory() const {
    return home_ + "/Desktop";
}

std::string ZemLogHelper::currentLogName() {
    return logger_->currentLogName();
}

std::shared_ptr<dispatch::WorkQueue> ZemLogHelper::completionQueue() const {
    return options_.completionQueue ? options_.completionQueue : dispatch::WorkQueue::main();
}

void ZemLogHelper::complete(const Completion& completion, bool ok, std::optional<std::string> message) {
    if (!completion) return;
    completionQueue()->dispatch([completion, ok, message = std::move(message)] { completion(ok, message); });
}

bool ZemLogHelper::ensureLogFolder(const Completion& completion) {
    if (isFolder(rootDirectory())) return true;
    // The user's own log folder may have been made by another account; an administrator gives it
    // back to the user and the user's own group. The folder is reached from the home folder one
    // level at a time without following links and handed to the chown as this process's open
    // descriptor, so a link planted anywhere on the way can never turn root's chown onto another
    // folder (the system processes' log folder, say).
    std::optional<std::string> error;
    spawn::Fd folder = openOwnFolder(home_, {"Library", "Logs", "RavAviza"}, &error);
    if (!error) {
        if (std::optional<std::string> owner = ownerOfRunningUser()) {
            const std::vector<std::string> argv = {
                firstExisting({"/bin/chown", "/usr/bin/chown"}), *owner,
                "/proc/" + std::to_string(::getpid()) + "/fd/" + std::to_string(folder.get())};
            error = options_.runAsAdministrator ? options_.runAsAdministrator(argv) : runWithPkexec(argv);
        } else {
            error = "the running user is unknown";
        }
    }
    if (error) {
        writeLog("Logs path chown failed: " + *error);
        writeLog("无法找到日志目录：" + rootDirectory());
        complete(completion, false, "无法找到日志目录");
        return false;
    }
    writeLog("Logs path chown success.");
    ::mkdirat(folder.get(), "Logs", 0755);
    for (const char* name : {"RavAviza-Info-1.log", "RavAviza-Info-2.log", "RavAviza-Info-3.log"})
        logger_->createLogFileWithName(name);
    return true;
}

void ZemLogHelper::zipLogsWithDirectory(const std::string& folder, Completion completion) {
    // The whole export runs on the zip queue: the administrator prompt of a chown must not hold
    // the caller (the app's main loop) while it waits for an answer.
    zipQueue_->dispatch([this, folder, completion = std::move(completion)] {
        // The user's own log goes in with every line written before the export was asked for.
        flush();
        const std::string exportFolder = folder + "/" + kExportFolderName;
        {
            std::error_code ec;
            fs::create_directories(exportFolder, ec);
        }
        if (!ensureLogFolder(completion)) return;

        const std::string systemLogs =
            makeLevels(paths::localLibraryFolder(), {"Logs", "RavAviza", "v5", "Logs"});
        const std::string first = exportFolder + "/HuxCloudLogs.zip";
        removeIfPresent(first);
        logexport::ZipOutcome outcome = logexport::zipFolder(systemLogs, first);
        if (outcome.error) {
            complete(completion, false, "提取所有日志失败:" + *outcome.error);
            return;
        }
        const std::pair<const char*, std::string> rest[] = {
            {"HuxUserLogs.zip", rootDirectory()},
            {"HuxCloud.zip", paths::machineSupportFolder()},
            {"HuxSqlite.zip", paths::productRoot()},
            {"HuxNimbrel.zip", nimbrelLogsFolder()},
        };
        for (const auto& [name, source] : rest) removeIfPresent(exportFolder + "/" + name);
        for (const auto& [name, source] : rest) {
            logexport::ZipOutcome made = logexport::zipFolder(source, exportFolder + "/" + name);
            if (made.error) writeLog(std::string("[ZemLogHelper] ") + name + ": " + *made.error);
        }
        if (options_.revealFolder) {
            options_.revealFolder(folder);
        } else {
            revealWithXdgOpen(folder);
        }
        complete(completion, true, std::nullopt);
    });
}

void ZemLogHelper::zipLogs(Completion completion) {
    zipQueue_->dispatch([this, completion = std::move(completion)] {
        if (!ensureLogFolder(completion)) return;
        const std::string systemLogs =
            makeLevels(paths::localLibraryFolder(), {"Logs", "RavAviza", "v5", "Logs"});
        const std::string first = rootDirectory() + "/RavAvizaLogs.zip";
        removeIfPresent(first);
        logexport::ZipOutcome outcome = logexport::zipFolder(systemLogs, first);
        if (outcome.error) {
            complete(completion, false, "提取所有日志失败:" + *outcome.error);
            return;
        }
        const std::string all = rootPath() + "/RavAvizaAllLogs.zip";
        removeIfPresent(all);
        logexport::ZipOutcome made = logexport::zipFolder(rootDirectory(), all);
        if (made.error) writeLog("[ZemLogHelper] RavAvizaAllLogs.zip: " + *made.error);
        if (options_.revealFolder) {
            options_.revealFolder(rootPath());
        } else {
            revealWithXdgOpen(rootPath());
        }
        complete(completion, true, std::nullopt);
    });
}
