// What a crash leaves in the program's own log: one line naming the fault, the program and a
// short backtrace, written after the lines queued before it, with the process ending as it must.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>

#include "common/logger/FaultHandler.h"
#include "common/logger/LogSink.h"
#include "common/logger/RotatingLogger.h"
#include "platform/dispatch/WorkQueue.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

using common::RotatingLogger;
using common::RotatingLoggerConfig;

namespace {

using testsupport::readText;

class FaultHandler : public ::testing::Test {
  protected:
    // The child is a fork of this process, so it logs into this fixture's folder.
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "fast"); }

    RotatingLoggerConfig config() const {
        RotatingLoggerConfig c = RotatingLogger::programConfig("faulty");
        c.logFolder = temp_.path() + "/logs";
        c.stateFolder = temp_.path() + "/state";
        return c;
    }
    // Runs in the death test's child: the program's start, one line logged, then the fault. A
    // signal handler cannot wait for the logger's queue, so signal cases let the line land first.
    void startProgramThenFail(const std::function<void()>& fault, bool lineOnDisk = false) const {
        static RotatingLogger* log = new RotatingLogger(config());
        common::setProcessLog(*log);
        common::installFaultHandler();
        log->writeLog("line before the fault");
        if (lineOnDisk) log->flush();
        fault();
    }
    std::string logText() const { return readText(temp_.path() + "/logs/faulty-Info-1.log"); }

    testsupport::TempRoot temp_{"fault-handler"};
};

// The record: the log's own date format, the program and process, the fault, a backtrace.
void expectRecord(const std::string& log, const std::string& fault) {
    const size_t before = log.find("line before the fault \n");
    ASSERT_NE(before, std::string::npos) << log;
    const size_t at = log.find(fault);
    ASSERT_NE(at, std::string::npos) << log;
    EXPECT_LT(before, at) << "lines queued before the fault come first:\n" << log;
    const size_t start = log.rfind('\n', at) + 1;
    const std::string record = log.substr(start, log.find('\n', at) + 1 - start);
    EXPECT_TRUE(std::regex_search(record, std::regex(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d: \S+\[\d+\] )")))
        << record;
    EXPECT_TRUE(std::regex_search(record, std::regex(R"( backtrace:( \S+\+0x[0-9a-f]+){2,}.* \n$)")))
        << record;
}

TEST_F(FaultHandler, UncaughtExceptionOnAnyThreadIsRecordedAndEndsWithStatus253) {
    EXPECT_EXIT(
        startProgramThenFail([] { std::thread([] { throw std::runtime_error("disk\nfull"); }).join(); }),
        ::testing::ExitedWithCode(253), "uncaught exception: disk full");
    expectRecord(logText(), "uncaught exception: disk full");
}

TEST_F(FaultHandler, ExceptionEscapingQueuedWorkIsRecordedWithTheQueue) {
    EXPECT_EXIT(startProgramThenFail([] {
                    auto queue = dispatch::WorkQueue::create("com.velmora.test.faulty");
                    queue->dispatch([] { throw std::logic_error("bad state"); });
                    ::pause();
                }),
                ::testing::ExitedWithCode(253), "");
    expectRecord(logText(), "uncaught exception on queue \"com.velmora.test.faulty\": bad state");
}

TEST_F(FaultHandler, FatalSignalIsRecordedAndStillEndsTheProcessBySignal) {
    struct SignalCase {
        int sig;
        std::function<void()> fault;
        const char* expected;
    };
    const SignalCase cases[] = {
        {SIGSEGV,
         [] {
             volatile int* nowhere = nullptr;
             *nowhere = 1;
         },
         "fatal signal 11 (SIGSEGV) at 0x0"},
        {SIGABRT, [] { std::abort(); }, "fatal signal 6 (SIGABRT) sent by pid"},
        {SIGBUS, [] { ::kill(::getpid(), SIGBUS); }, "fatal signal 7 (SIGBUS) sent by pid"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        std::filesystem::remove_all(temp_.path() + "/logs");
        std::filesystem::remove_all(temp_.path() + "/state");
        EXPECT_EXIT(startProgramThenFail(c.fault, true), ::testing::KilledBySignal(c.sig), "");
        expectRecord(logText(), c.expected);
    }
}

}  // namespace
