#include "FaultHandler.h"

#include <dlfcn.h>
#include <errno.h>
#include <execinfo.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <exception>
#include <future>
#include <thread>

#include "LogSink.h"
#include "platform/dispatch/WorkQueue.h"

namespace common {

namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 16;
// A handler stuck in the loader's lock (a fault inside it) must not keep the process alive.
constexpr unsigned kHandlerSeconds = 3;

std::atomic<int> gExceptionStatus{253};
std::atomic<bool> gFaulting{false};

// A line built without the heap, so the signal handler can use it.
class Line {
  public:
    void add(const char* s) {
        while (s && *s && len_ < sizeof buf_ - 3) buf_[len_++] = *s++;
    }
    void add(const std::string& s) {
        for (char c : s) {
            if (len_ >= sizeof buf_ - 3) break;
            // One line, whatever the exception's text holds.
            buf_[len_++] = (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) ? ' ' : c;
        }
    }
    void addChar(char c) {
        if (len_ < sizeof buf_ - 3) buf_[len_++] = c;
    }
    void addNumber(unsigned long long v, int width = 0) {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v && n < 24);
        while (n < width && n < 24) digits[n++] = '0';
        while (n) addChar(digits[--n]);
    }
    void addHex(uintptr_t v) {
        add("0x");
        char digits[2 * sizeof v];
        int n = 0;
        do {
            digits[n++] = "0123456789abcdef"[v & 0xf];
            v >>= 4;
        } while (v);
        while (n) addChar(digits[--n]);
    }
    // Ends the line as the process logs do: a blank, then a line feed.
    void finish() {
        buf_[len_++] = ' ';
        buf_[len_++] = '\n';
    }
    const char* data() const { return buf_; }
    size_t size() const { return len_; }

  private:
    char buf_[2048];
    size_t len_ = 0;
};

// "yyyy-MM-dd HH:mm:ss" in UTC+8, as every log line starts (computed by hand: localtime and
// strftime are not safe in a signal handler).
void addDate(Line& line) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    long long t = static_cast<long long>(now.tv_sec) + 8 * 3600;
    long long days = t / 86400;
    long long secs = t % 86400;
    if (secs < 0) {
        secs += 86400;
        --days;
    }
    // Days since 1970-01-01 to a civil date (proleptic Gregorian).
    long long z = days + 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const long long doe = z - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long d = doy - (153 * mp + 2) / 5 + 1;
    const long long m = mp < 10 ? mp + 3 : mp - 9;
    const long long y = yoe + era * 400 + (m <= 2);
    line.addNumber(static_cast<unsigned long long>(y), 4);
    line.addChar('-');
    line.addNumber(static_cast<unsigned long long>(m), 2);
    line.addChar('-');
    line.addNumber(static_cast<unsigned long long>(d), 2);
    line.addChar(' ');
    line.addNumber(static_cast<unsigned long long>(secs / 3600), 2);
    line.addChar(':');
    line.addNumber(static_cast<unsigned long long>(secs / 60 % 60), 2);
    line.addChar(':');
    line.addNumber(static_cast<unsigned long long>(secs % 60), 2);
}

void addProcess(Line& line) {
    line.add(program_invocation_short_name && *program_invocation_short_name ? program_invocation_short_name
                                                                             : "process");
    line.addChar('[');
    line.addNumber(static_cast<unsigned long long>(::getpid()));
    line.add("] ");
}

// Frames as module+offset, which stay meaningful across address-space randomisation.
void addBacktrace(Line& line, int skip) {
    void* frames[kMaxFrames + 4];
    int n = ::backtrace(frames, kMaxFrames + 4);
    line.add(" backtrace:");
    for (int i = skip; i < n && i < skip + kMaxFrames; ++i) {
        auto address = reinterpret_cast<uintptr_t>(frames[i]);
        line.addChar(' ');
        Dl_info info{};
        if (::dladdr(frames[i], &info) && info.dli_fname && info.dli_fbase) {
            const char* base = std::strrchr(info.dli_fname, '/');
            line.add(base ? base + 1 : info.dli_fname);
            line.addChar('+');
            line.addHex(address - reinterpret_cast<uintptr_t>(info.dli_fbase));
        } else {
            line.addHex(address);
        }
    }
}

void writeLine(const Line& line) {
    const int fd = processLog().faultRecordFd();
    if (fd >= 0) {
        size_t done = 0;
        while (done < line.size()) {
            ssize_t n = ::write(fd, line.data() + done, line.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
    }
    // Standard error as well: the supervisor hands it to the journal.
    [[maybe_unused]] ssize_t n = ::write(STDERR_FILENO, line.data(), line.size());
}

const char* signalName(int sig) {
    switch (sig) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGFPE:
            return "SIGFPE";
        case SIGILL:
            return "SIGILL";
        case SIGABRT:
            return "SIGABRT";
        default:
            return "signal";
    }
}

void onFatalSignal(int sig, siginfo_t* info, void*) {
    const int savedErrno = errno;
    // A second fault while the first is being written ends the process as the default would.
    if (!gFaulting.exchange(true)) {
        ::alarm(kHandlerSeconds);
        Line line;
        addDate(line);
        line.add(": ");
        addProcess(line);
        line.add("fatal signal ");
        line.addNumber(static_cast<unsigned long long>(sig));
        line.add(" (");
        line.add(signalName(sig));
        line.add(")");
        if (info && info->si_code <= 0) {
            // Sent by a process (kill, raise, abort), not raised by the hardware.
            line.add(" sent by pid ");
            line.addNumber(static_cast<unsigned long long>(info->si_pid));
        } else if (info) {
            line.add(" at ");
            line.addHex(reinterpret_cast<uintptr_t>(info->si_addr));
        }
        addBacktrace(line, 1);
        line.finish();
        writeLine(line);
    }
    errno = savedErrno;
    // The handler was reset on entry: the signal, blocked while the handler runs, is delivered
    // again with its default action once it returns (and a hardware fault recurs at once).
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Lines queued before the fault go to disk first, unless the logger's own queue is what failed
// or does not answer soon.
void flushBriefly() {
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    try {
        std::thread([done] {
            flushProcessLog();
            done->set_value();
        }).detach();
        finished.wait_for(std::chrono::seconds(2));
    } catch (...) {
    }
}

std::string describeCurrentException() {
    std::exception_ptr current = std::current_exception();
    if (!current) return "std::terminate called without an active exception";
    try {
        std::rethrow_exception(current);
    } catch (const std::exception& e) {
        return std::string("uncaught exception: ") + e.what();
    } catch (...) {
        return "uncaught exception of a type not derived from std::exception";
    }
}

[[noreturn]] void onTerminate() {
    if (gFaulting.exchange(true)) ::_exit(gExceptionStatus.load());
    flushBriefly();
    writeFaultRecord(describeCurrentException());
    ::_exit(gExceptionStatus.load());
}

void onDispatchFault(const std::string& label, const std::string& what) {
    if (gFaulting.exchange(true)) ::_exit(gExceptionStatus.load());
    flushBriefly();
    writeFaultRecord("uncaught exception on queue \"" + label + "\": " + what);
    ::_exit(gExceptionStatus.load());
}

}  // namespace

void writeFaultRecord(const std::string& what) {
    Line line;
    addDate(line);
    line.add(": ");
    addProcess(line);
    line.add(what);
    addBacktrace(line, 1);
    line.finish();
    writeLine(line);
}

void installFaultHandler(FaultHandlerOptions options) {
    gExceptionStatus.store(options.exceptionExitStatus);
    // Opens the log's file now, and loads what backtrace() needs, so the handler has no first use.
    (void)processLog();
    void* warm[2];
    (void)::backtrace(warm, 2);

    // A handler for a stack overflow needs a stack of its own (the main thread's).
    static char alternateStack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = alternateStack;
    ss.ss_size = sizeof alternateStack;
    ::sigaltstack(&ss, nullptr);

    struct sigaction sa {};
    sa.sa_sigaction = onFatalSignal;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    for (int sig : kFatalSignals) ::sigaction(sig, &sa, nullptr);

    std::set_terminate(onTerminate);
    if (options.dispatchFaults) dispatch::setFaultHandler(onDispatchFault);
}

}  // namespace common
