// Where a program's log lines go. Each program installs its own logger at start; code shared by
// several programs logs through processLog(), so its lines land in the running program's files
// and never in another program's.
#pragma once

#include <string>

namespace common {

class LogSink {
  public:
    virtual ~LogSink() = default;
    // Queues one line and returns at once; the type is accepted and not used.
    virtual void writeLog(const std::string& message, unsigned long type = 1) = 0;
    // Waits until every line queued so far is on disk.
    virtual void flush() = 0;
    // A descriptor open for appending to the file lines currently go to, for a fault handler's
    // last line (read without locks, so from a signal handler too); -1 when there is none.
    virtual int faultRecordFd() const { return -1; }
};

// Makes sink this process's log. The sink is not owned and must live to the end of the process;
// programs call this first thing in main.
void setProcessLog(LogSink& sink);

// The log set with setProcessLog; when none was set, the rotating logger named after the running
// program ("<program>-Info-1.log" .., Hollin's own loggers for the daemon), made on first use.
LogSink& processLog();

// Waits until the process log's queued lines are on disk; makes no log when nothing logged yet.
void flushProcessLog();

}  // namespace common
