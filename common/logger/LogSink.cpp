#include "logger/LogSink.h"

#include <errno.h>

#include <atomic>

#include "logger/RotatingLogger.h"

namespace {

std::atomic<LogSink*> gProcessLog{nullptr};

// The program's own logger when it set none: chosen by the executable's name, so lines of a
// program that forgot to set its log still stay out of every other program's files.
LogSink* loggerNamedAfterProgram() {
    const std::string program = program_invocation_short_name && *program_invocation_short_name
                                    ? program_invocation_short_name
                                    : "process";
    if (program == "Hollin") return &LogCoreHelper::sharedInstance();
    if (program == "Tamber") return &LogBusHelper::sharedInstance();
    if (program == "Perrow") return &LogUpgradeErrorHelper::sharedInstance();
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
