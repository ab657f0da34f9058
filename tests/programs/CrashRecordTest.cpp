// The real programs, killed by a fatal signal while they run: each leaves its one-line record in
// its own log, and still ends by that signal, as its supervisor expects.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/spawn/Spawn.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace std::chrono_literals;
using testsupport::readText;

struct Program {
    const char* name;
    std::vector<std::string> argv;
    const char* log;  // under the root's system log folder, named after the executable
    int sig;
};

// True once the process catches the signal: its handlers are installed.
bool catches(pid_t pid, int sig) {
    const std::string status = readText("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("SigCgt:\t");
    if (at == std::string::npos) return false;
    const unsigned long long mask = std::strtoull(status.c_str() + at + 8, nullptr, 16);
    return (mask >> (sig - 1)) & 1;
}

// The process's wait status once it has ended; -1 (after a SIGKILL) when it did not within 20 s.
int waitFor(pid_t pid) {
    int status = 0;
    if (testsupport::eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, 20s)) return status;
    ::kill(pid, SIGKILL);
    ::waitpid(pid, &status, 0);
    return -1;
}

// AddressSanitizer keeps SIGSEGV for its own report; under it every program is sent SIGABRT.
constexpr bool kSanitizerOwnsSegv = testsupport::kAddressSanitizer;

class CrashRecord : public ::testing::TestWithParam<Program> {};

TEST_P(CrashRecord, FatalSignalLeavesTheRecordInTheProgramsOwnLog) {
    if (::getuid() != 0) GTEST_SKIP() << "the programs run as root";
    const Program& program = GetParam();
    const int sig = kSanitizerOwnsSegv ? SIGABRT : program.sig;
    testsupport::TempRoot root("crash-record");
    spawn::Options options;
    options.program = program.argv.front();
    options.argv = program.argv;
    std::vector<std::string> env = {"RAVAVIZA_ROOT=" + root.path(), "HOME=/root", "PATH=/usr/bin:/bin"};
    options.environment = env;
    options.output = spawn::Stream::null();
    options.error = spawn::Stream::null();
    std::optional<spawn::Child> child = spawn::start(options);
    ASSERT_TRUE(child) << program.name;

    const bool ready = testsupport::eventually([&] { return catches(child->pid, sig); }, 20s);
    if (!ready) ::kill(child->pid, SIGKILL);
    ASSERT_TRUE(ready) << program.name << " never installed its fault handler";
    ASSERT_EQ(::kill(child->pid, sig), 0);
    const int status = waitFor(child->pid);

    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << program.name << " status " << status;
    const std::string log = readText(root.path() + "/Library/Logs/RavAviza/v5/Logs/" + program.log);
    const std::string record = std::string("fatal signal ") + std::to_string(sig) + " (" +
                               (sig == SIGSEGV ? "SIGSEGV" : "SIGABRT") + ") sent by pid " +
                               std::to_string(::getpid()) + " backtrace: ";
    EXPECT_NE(log.find(record), std::string::npos) << program.name << " log:\n" << log;
}

// One run per program: a second upgrade app would end the first as an older instance.
const Program kPrograms[] = {
    {"Hollin", {HOLLIN_EXECUTABLE, "-protect"}, "HollinExt-Info-1.log", SIGSEGV},
    {"Tamber", {TAMBER_EXECUTABLE, "-run"}, "Tamber-Info-1.log", SIGABRT},
    {"Perrow", {PERROW_EXECUTABLE, "-upgrade"}, "Perrow-Info-1.log", SIGSEGV},
    {"Sorrel", {SORREL_EXECUTABLE}, "com.velmora.Sorrel-Info-1.log", SIGABRT},
    {"Wendle", {WENDLE_EXECUTABLE}, "com.velmora.Wendle-Info-1.log", SIGSEGV},
};

INSTANTIATE_TEST_SUITE_P(Programs, CrashRecord, ::testing::ValuesIn(kPrograms),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
