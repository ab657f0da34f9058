#include "ZemFileMonitor.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "platform/core/UserFolder.h"
#include "common/logger/LogSink.h"
#include "platform/paths/Paths.h"
#include "platform/process/ProcessList.h"
#include "framework/process/TaskHelper.h"
#include "common/server/ZemServerConfig.h"
#include "platform/sysinfo/ConsoleUser.h"

using calix::TaskHandle;
using calix::TaskHelper;
using common::ZemServerConfig;
using common::processLog;

namespace hollin {

namespace {

constexpr const char* kMonitorQueueLabel = "com.velmora.ravaviza.file.monitor";
constexpr const char* kProxyQueueLabel = "com.velmora.ravaviza.proxy.queue";
constexpr const char* kServerConfigMark = "/RavAviza/.ZemConfig";
constexpr const char* kDebugFileName = "debug.config";
// The switch holds a digit; anything longer is not a switch and reads as unreadable.
constexpr size_t kMaxDebugFileBytes = 4096;
constexpr std::chrono::milliseconds kNetworkSetupDeadline{60'000};

const std::vector<std::string>& debugFolderComponents() {
    static const std::vector<std::string> components{".AppData", "RavAviza", "RavAviza.EXE$"};
    return components;
}

void log(const std::string& line) {
    processLog().writeLog(line);
}

struct Account {
    std::string home;
    fileio::UserFolder::Owner owner;
};

std::optional<Account> accountOf(const std::string& name) {
    std::optional<std::string> home = paths::homeFolder(name);
    if (!home || home->empty()) return std::nullopt;
    passwd pw{};
    passwd* found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(name.c_str(), &pw, buffer.data(), buffer.size(), &found) != 0 || found == nullptr)
        return std::nullopt;
    return Account{*home, {pw.pw_uid, pw.pw_gid}};
}

// Kills every watermark process; the pids killed, joined by spaces.
std::string killWatermark() {
    std::string killed;
    for (pid_t pid : proclist::signalProcessesOf(paths::watermarkAppExecutable(), SIGKILL)) {
        if (!killed.empty()) killed += ' ';
        killed += std::to_string(pid);
    }
    return killed;
}

std::string errorText(const std::optional<ErrorValue>& error) {
    return error ? error->failureReason : "(null)";
}

// Runs the networksetup stand-in; the output, and the error when there was one.
std::pair<std::string, std::optional<ErrorValue>> networksetup(const std::vector<std::string>& args) {
    std::string result;
    ErrorValue error;
    error.code = 0;
    std::optional<TaskHandle> ran = TaskHelper::sharedInstance().excuteTaskPath(
        paths::toolFolder() + "/networksetup", args, kNetworkSetupDeadline, &result, &error);
    if (!ran && error.failureReason.empty()) error.failureReason = "networksetup is missing";
    if (!error.failureReason.empty() || error.code != 0) return {result, error};
    return {result, std::nullopt};
}

// The command line as the log shows it: each value in double quotes.
std::string shownCommand(const std::string& service, const std::string& state) {
    return "/usr/sbin/networksetup -setautoproxystate \"" + service + "\" \"" + state + "\"";
}

bool validUtf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        size_t extra = c < 0x80 ? 0 : (c >> 5) == 0x6 ? 1 : (c >> 4) == 0xE ? 2 : (c >> 3) == 0x1E ? 3 : 4;
        if (extra == 4 || i + extra >= s.size()) return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(s[i + k]) >> 6) != 0x2) return false;
        i += extra + 1;
    }
    return true;
}

enum class DebugFile { Missing, Unreadable, Read };

// Reads the user's debug switch through the folder's descriptor: a regular file, not a link, of
// that user or root, at most kMaxDebugFileBytes of UTF-8.
DebugFile readDebugFile(const std::string& owner, std::string* text, std::string* why) {
    std::optional<Account> account = accountOf(owner);
    if (!account) return DebugFile::Missing;
    auto folder = fileio::UserFolder::open(account->home, debugFolderComponents(), account->owner, false);
    if (!folder) return DebugFile::Missing;
    int fd = ::openat(folder->fd(), kDebugFileName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return DebugFile::Missing;
        *why = std::strerror(errno);
        return DebugFile::Unreadable;
    }
    struct stat st {};
    DebugFile outcome = DebugFile::Unreadable;
    if (::fstat(fd, &st) != 0) {
        *why = std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        *why = "not a regular file";
    } else if (st.st_uid != account->owner.uid && st.st_uid != 0) {
        *why = "owned by another user";
    } else if (st.st_size > static_cast<off_t>(kMaxDebugFileBytes)) {
        *why = "too large";
    } else {
        char buffer[kMaxDebugFileBytes + 1];
        size_t total = 0;
        for (;;) {
            ssize_t n = ::read(fd, buffer + total, sizeof buffer - total);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            total += static_cast<size_t>(n);
            if (total == sizeof buffer) break;
        }
        text->assign(buffer, total);
        if (total > kMaxDebugFileBytes) {
            *why = "too large";
        } else if (!validUtf8(*text)) {
            *why = "not UTF-8 text";
        } else {
            outcome = DebugFile::Read;
        }
    }
    ::close(fd);
    return outcome;
}

}  // namespace

// ---- ZemProcessChecks

void ZemProcessChecks::existWaterMark() {
    std::string killed = killWatermark();
    if (!killed.empty()) log("[ProcessHelper]Zem watermark kill in zem startup--" + killed + "--");
}

bool ZemProcessChecks::isUserAppExist() {
    bool running = !proclist::processesRunning(paths::uiAppExecutable()).empty();
    log(running ? "[ProcessHelper]Zem UI existed" : "[ProcessHelper]Zem UI inexistence");
    return running;
}

void ZemProcessChecks::launchZem(int) {
    std::optional<std::string> user = sysinfo::consoleUser();
    if (!user || user->empty() || *user == "root") return;
    existWaterMark();
}

// ---- ZemFileMonitor

ZemFileMonitor::ZemFileMonitor(ZemFileMonitorHelper& helper) : ZemFileMonitor(helper, Options{}) {}

ZemFileMonitor::ZemFileMonitor(ZemFileMonitorHelper& helper, Options options)
    : helper_(helper),
      options_(std::move(options)),
      monitorQueue_(dispatch::WorkQueue::create(kMonitorQueueLabel)),
      updateProxyQueue_(dispatch::WorkQueue::create(kProxyQueueLabel)) {
    if (!options_.consoleOwner) options_.consoleOwner = [] { return sysinfo::consoleUser(); };
    if (!options_.updateServerConfig)
        options_.updateServerConfig = [] { ZemServerConfig::sharedInstance().updateServerConfig(); };
}

ZemFileMonitor::~ZemFileMonitor() {
    {
        std::lock_guard<std::mutex> lock(streamLock_);
        stopping_ = true;
    }
    // The streams are made and replaced on the monitor queue, so they are stopped there; work
    // queued after this sees stopping_ and makes none, and no callback starts after a stop.
    monitorQueue_->dispatchSync([this] {
        if (mainStream_) mainStream_->stop();
        std::unique_ptr<fsevents::EventStream> debug;
        {
            std::lock_guard<std::mutex> lock(streamLock_);
            debug = std::move(stream_);
            streamPath_.reset();
        }
        if (debug) debug->stop();
    });
    monitorQueue_->dispatchSync([] {});
    updateProxyQueue_->dispatchSync([] {});
}

std::string ZemFileMonitor::loginWindowPath() {
    return paths::under("/run/systemd/seats/seat0");
}

std::optional<std::string> ZemFileMonitor::debugConfigPath(const std::string& owner) {
    std::optional<std::string> home = paths::homeFolder(owner);
    if (!home || home->empty()) return std::nullopt;
    std::string path = *home;
    for (const std::string& c : debugFolderComponents()) path += "/" + c;
    return path + "/" + kDebugFileName;
}

std::string ZemFileMonitor::description() const {
    char text[64];
    std::snprintf(text, sizeof text, "<ZemFileMonitor: %p>", static_cast<const void*>(this));
    return text;
}

std::optional<std::string> ZemFileMonitor::readConsoleOwner() const {
    std::optional<std::string> owner = options_.consoleOwner();
    if (!owner) return std::nullopt;
    std::string cleaned;
    for (char c : *owner)
        if (c != '\n' && c != '\r') cleaned += c;
    if (cleaned.empty()) return std::nullopt;
    return cleaned;
}

void ZemFileMonitor::startListenFileChange() {
    monitorQueue_->dispatch([this] {
        if (mainStream_) return;
        {
            std::lock_guard<std::mutex> lock(streamLock_);
            if (stopping_) return;
        }
        mainStream_ = std::make_unique<fsevents::EventStream>(
            std::vector<std::string>{loginWindowPath(), paths::serverConfigFile()}, options_.latency,
            monitorQueue_, [this](const std::vector<std::string>& paths) { mainCallback(paths); });
        std::string error;
        if (!mainStream_->start(&error)) log("file monitor not started: " + error);
    });
    addDebugModeConfigListen();
}

void ZemFileMonitor::mainCallback(const std::vector<std::string>& paths) {
    if (paths.empty()) return;
    std::string owner = readConsoleOwner().value_or("");
    const std::string loginWindow = loginWindowPath();
    // Every distinct path of the batch is acted on once.
    for (const std::string& path : paths) {
        log("file monitor change callback: " + path + "  " + owner + "  " + description());
        if (path.find(loginWindow) != std::string::npos) {
            existWaterMark();
            helper_.existWaterMark();
            if (!helper_.isUserAppExist()) helper_.launchZem(1);
            addDebugModeConfigListen();
        } else if (path.find(kServerConfigMark) != std::string::npos) {
            options_.updateServerConfig();
        }
    }
}

void ZemFileMonitor::existWaterMark() {
    std::string killed = killWatermark();
    if (!killed.empty()) log("[ZemFileMonitor]Zem watermark kill in zem startup--" + killed + "--");
}

void ZemFileMonitor::addDebugModeConfigListen() {
    // Replacements run one at a time on the monitor queue, so two of them never both leave a stream.
    monitorQueue_->dispatch([this] { replaceDebugStream(); });
}

void ZemFileMonitor::replaceDebugStream() {
    std::unique_ptr<fsevents::EventStream> old;
    {
        std::lock_guard<std::mutex> lock(streamLock_);
        if (stopping_) return;
        old = std::move(stream_);
        streamPath_.reset();
    }
    if (old) old->stop();

    std::optional<std::string> owner = readConsoleOwner();
    if (!owner) return;
    std::optional<Account> account = accountOf(*owner);
    std::optional<std::string> path = debugConfigPath(*owner);
    if (!account || !path) {
        log("debug state monitor: no home folder for " + *owner);
        return;
    }
    if (!fileio::UserFolder::open(account->home, debugFolderComponents(), account->owner, true)) {
        log("debug state monitor: cannot make the folder of " + *path);
        return;
    }
    auto stream = std::make_unique<fsevents::EventStream>(
        std::vector<std::string>{*path}, options_.latency, monitorQueue_,
        [this](const std::vector<std::string>& paths) { debugCallback(paths); });
    std::string error;
    if (!stream->start(&error)) {
        log("debug state monitor not started: " + error);
        return;
    }
    std::lock_guard<std::mutex> lock(streamLock_);
    if (stopping_) return;  // the stream ends here, as the monitor does
    streamPath_ = stream->paths().front();
    streamOwner_ = *owner;
    stream_ = std::move(stream);
}

void ZemFileMonitor::debugCallback(const std::vector<std::string>& paths) {
    for (const std::string& path : paths) {
        std::string owner;
        {
            std::lock_guard<std::mutex> lock(streamLock_);
            if (streamPath_ != path) continue;  // a batch of a stream already replaced
            owner = streamOwner_;
        }
        std::string text;
        std::string why;
        std::string state;
        switch (readDebugFile(owner, &text, &why)) {
            case DebugFile::Missing:
                log("debug state monitor file callback: file is not exist");
                state = "off";
                break;
            case DebugFile::Unreadable:
                log("debug state monitor change callback: " + path + "  (null) ");
                log("debug state monitor: " + path + " not read: " + why);
                state = "on";
                break;
            case DebugFile::Read:
                log("debug state monitor change callback: " + path + "  " + text + " ");
                state = text == "1" ? "off" : "on";
                break;
        }
        configPacState(state);
    }
}

void ZemFileMonitor::configPacState(const std::string& state) {
    updateProxyQueue_->dispatch([state] {
        auto [listing, listError] = networksetup({"-listallnetworkservices"});
        log("[configPacState] get network service. state: " + state + " . res: " + listing +
            "  error: " + errorText(listError));
        if (listing.empty()) return;
        // The first line is the tool's header.
        std::vector<std::string> services;
        size_t start = listing.find('\n');
        while (start != std::string::npos && start + 1 < listing.size()) {
            size_t end = listing.find('\n', start + 1);
            std::string line =
                listing.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
            if (line.size() >= 3) services.push_back(line);
            start = end;
        }
        if (services.empty()) {
            log("[configPacState] set network  autoproxystate. res:   error: (null)");
            return;
        }
        // One run per service with its own argument vector: a service name is data and never
        // passes through a shell.
        for (const std::string& service : services) {
            auto [output, error] = networksetup({"-setautoproxystate", service, state});
            log("[configPacState] set network " + shownCommand(service, state) +
                " autoproxystate. res: " + output + "  error: " + errorText(error));
        }
    });
}

std::optional<std::string> ZemFileMonitor::debugStreamPath() const {
    std::lock_guard<std::mutex> lock(streamLock_);
    return streamPath_;
}

void ZemFileMonitor::waitUntilIdle() {
    monitorQueue_->dispatchSync([] {});
    updateProxyQueue_->dispatchSync([] {});
}

}  // namespace hollin
