// What a crash leaves: each program installs this first thing in main, so that a fatal signal
// (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT), an exception nothing caught, or an exception that
// escaped work on a dispatch queue writes one line to the program's own log before the process
// ends: what happened, in which program and process, and a short backtrace.
//
//   "<date>: Tamber[4711] fatal signal 11 (SIGSEGV) at 0x0 backtrace: Tamber+0x1f2a libc.so.6+0x3c050 …"
//   "<date>: Tamber[4711] uncaught exception: <what> backtrace: …"
//
// A signal then ends the process as it would have without the handler (the status shows the
// signal); an exception ends it with the given status.
#pragma once

#include <string>

namespace common {

struct FaultHandlerOptions {
    // Exit status after an uncaught exception (the dispatch layer's by default).
    int exceptionExitStatus = 253;
    // Also take over the dispatch layer's fault handler. A program with its own (the daemon logs
    // its own lines first) passes false and calls writeFaultRecord from it.
    bool dispatchFaults = true;
};

// Installs the handlers for the whole process; the process log (processLog()) is made now, so its
// file is open before anything can fail. Call it once, from main, after setProcessLog.
void installFaultHandler(FaultHandlerOptions options = {});

// Writes the one-line record of a fault that is not a signal (what: the exception's text and
// where it was caught) to the process log's current file at once, without its queue.
void writeFaultRecord(const std::string& what);

}  // namespace common
