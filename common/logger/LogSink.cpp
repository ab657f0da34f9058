#include "LogSink.h"

#include <errno.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <string>

#include "RotatingLogger.h"
#include "platform/paths/Paths.h"

namespace common {

namespace {

std::atomic<LogSink*> gProcessLog{nullptr};

// The running user's home folder under the root prefix: HOME, else the password database.
std::optional<std::string> userHome() {
    if (const char* home = ::getenv("HOME"); home && *home == '/') return paths::under(home);
    passwd pw{};
    passwd* found = nullptr;
    char buf[4096];
    if (::getpwuid_r(::geteuid(), &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name)
        return paths::homeFolder(found->pw_name);
    return std::nullopt;
}

// The program's own logger when it set none: chosen by the executable's name, so lines of a
// program that forgot to set its log still stay out of every other program's files.
LogSink* loggerNamedAfterProgram() {
    const std::string program = program_invocation_short_name && *program_invocation_short_name
                                    ? program_invocation_short_name
                                    : "process";
    if (program == "Hollin") return &LogCoreHelper::sharedInstance();
    if (program == "Tamber") return &LogBusHelper::sharedInstance();
    if (program == "Perrow") return &LogUpgradeErrorHelper::sharedInstance();
    if (program == "Hux") {
        if (auto home = userHome()) return new RotatingLogger(RotatingLogger::uiAppConfig(*home));
    }
    return new RotatingLogger(RotatingLogger::programConfig(program));  // lives for the whole process
}

}  // namespace

void setProcessLog(LogSink& sink) {
    gProcessLog.store(&sink, std::memory_order_release);
}

LogSink& processLog() {
    if (LogSink* sink = gProcessLog.load(std::memory_order_acquire)) return *sink;
    static LogSink* const fallback = loggerNamedAfterProgram();
    LogSink* expected = nullptr;
    gProcessLog.compare_exchange_strong(expected, fallback, std::memory_order_acq_rel);
    return *gProcessLog.load(std::memory_order_acquire);
}

void flushProcessLog() {
    if (LogSink* sink = gProcessLog.load(std::memory_order_acquire)) sink->flush();
}

}  // namespace common
