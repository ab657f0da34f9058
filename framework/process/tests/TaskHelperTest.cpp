#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>

#include "TestSupport.h"
#include "platform/paths/Paths.h"
#include "framework/process/TaskHelper.h"

using calix::TaskHandle;
using calix::TaskHelper;

namespace {

using namespace std::chrono_literals;
using calixtest::eventually;

const std::string kSentinelText = "untouched";
const ErrorValue kSentinelError{"sentinel.domain", 99, "untouched"};

bool sameError(const ErrorValue& a, const ErrorValue& b) {
    return a.domain == b.domain && a.code == b.code && a.failureReason == b.failureReason;
}

struct CommandRun {
    std::optional<TaskHandle> handle;
    std::string text = kSentinelText;
    ErrorValue error = kSentinelError;
};

CommandRun bash(const std::string& line, std::chrono::milliseconds deadline = 30s) {
    CommandRun r;
    r.handle =
        TaskHelper::sharedInstance().excuteTaskPath("/bin/bash", {"-c", line}, deadline, &r.text, &r.error);
    return r;
}

TEST(calix_process_TaskHelper, SortsOutputAndErrorStreams) {
    struct Case {
        const char* what;
        std::string line;
        std::optional<std::string> text;    // nothing: the out text stays untouched
        std::optional<std::string> reason;  // nothing: the out error stays untouched
    } cases[] = {
        {"output keeps its line feed", "echo hello", "hello\n", std::nullopt},
        {"multi-byte output", "printf 'caf\\xc3\\xa9'", "caf\xc3\xa9", std::nullopt},
        {"error text drops the output", "echo out; echo err >&2", std::nullopt, "err\n"},
        {"error text on success status", "echo warning >&2; exit 0", std::nullopt, "warning\n"},
        {"silent failure sets neither", "exit 1", std::nullopt, std::nullopt},
        {"output that is not UTF-8 gives no text", "printf 'a\\xffb'", "", std::nullopt},
        {"error that is not UTF-8", "printf '\\xc0\\x80' >&2", std::nullopt, "unknown error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CommandRun r = bash(c.line);
        ASSERT_TRUE(r.handle.has_value());
        EXPECT_GT(r.handle->pid, 0);
        EXPECT_EQ(r.text, c.text.value_or(kSentinelText));
        if (c.reason) {
            EXPECT_TRUE(sameError(r.error, ErrorValue{"", -1, *c.reason})) << r.error.failureReason;
        } else {
            EXPECT_TRUE(sameError(r.error, kSentinelError)) << r.error.failureReason;
        }
    }
}

TEST(calix_process_TaskHelper, ProgramsThatCannotStartReturnNothing) {
    testsupport::TempFolder dir;
    std::string notExecutable = dir.path() + "/plain.txt";
    calixtest::writeText(notExecutable, "echo hi\n");

    std::string text = kSentinelText;
    ErrorValue error = kSentinelError;
    auto& runner = TaskHelper::sharedInstance();
    EXPECT_FALSE(runner.excuteTaskPath(dir.path() + "/missing", {"x"}, &text, &error).has_value());
    EXPECT_FALSE(runner.excuteTaskPath("", {}, &text, &error).has_value());
    EXPECT_EQ(text, kSentinelText);
    EXPECT_TRUE(sameError(error, kSentinelError));

    // A file that exists but cannot be run is a failure the caller is told about.
    EXPECT_FALSE(runner.excuteTaskPath(notExecutable, {}, &text, &error).has_value());
    EXPECT_EQ(text, kSentinelText);
    EXPECT_EQ(error.code, -1);
    EXPECT_EQ(error.failureReason, std::strerror(EACCES));
}

TEST(calix_process_TaskHelper, DrainsLargeStreamsWithoutStalling) {
    // 1 MiB is far beyond a pipe's buffer: reading one stream to its end before the other
    // would leave the child blocked and the run would end at its deadline instead.
    CommandRun errorFirst = bash("head -c 1048576 /dev/zero | tr '\\0' e >&2; echo done", 20s);
    ASSERT_TRUE(errorFirst.handle);
    EXPECT_EQ(errorFirst.error.failureReason, std::string(1 << 20, 'e'));
    EXPECT_EQ(errorFirst.text, kSentinelText);

    CommandRun outputOnly = bash("head -c 1048576 /dev/zero | tr '\\0' o", 20s);
    EXPECT_EQ(outputOnly.text, std::string(1 << 20, 'o'));
    EXPECT_TRUE(sameError(outputOnly.error, kSentinelError));
}

TEST(calix_process_TaskHelper, StreamBeyondSixteenMebibytesIsCappedAndTheRunEnds) {
    // 17 MiB: the runner keeps draining past its cap, so the child finishes instead of stalling
    // on a full pipe, and the run reports the cut rather than returning partial text.
    auto start = std::chrono::steady_clock::now();
    CommandRun r = bash("head -c 17825792 /dev/zero | tr '\\0' o", 60s);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 50s) << "ended by the child, not the deadline";
    ASSERT_TRUE(r.handle);
    EXPECT_EQ(r.text, kSentinelText);
    EXPECT_TRUE(sameError(r.error, ErrorValue{"", -1, "command output too large"})) << r.error.failureReason;
    EXPECT_TRUE(eventually([] { return calixtest::zombieChildren() == 0; }));
}

TEST(calix_process_TaskHelper, ThousandRunsLeaveNoZombieOrDescriptor) {
    size_t descriptorsBefore = calixtest::openDescriptors();
    for (int i = 0; i < 1000; ++i) {
        ASSERT_TRUE(TaskHelper::sharedInstance().excuteTaskPath("/bin/true", {}).has_value()) << "run " << i;
    }
    EXPECT_EQ(calixtest::zombieChildren(), 0u);
    EXPECT_EQ(calixtest::openDescriptors(), descriptorsBefore);
}

TEST(calix_process_TaskHelper, ChildrenGetFixedSearchPathAndLocale) {
    testsupport::TempRoot root;
    testsupport::EnvGuard env({"PATH", "LANG", "LC_ALL", "CALIX_PASSED_THROUGH"});
    ::setenv("PATH", "/nowhere", 1);
    ::setenv("LANG", "xx_XX.bogus", 1);
    ::setenv("LC_ALL", "xx_XX.bogus", 1);
    ::setenv("CALIX_PASSED_THROUGH", "yes", 1);
    // A stand-in in the tool folder must win over any program of the same name.
    std::filesystem::create_directories(paths::toolFolder());
    std::string tool = paths::toolFolder() + "/uname";
    calixtest::writeText(tool, "#!/bin/sh\necho stand-in\n");
    ::chmod(tool.c_str(), 0755);

    CommandRun r = bash("echo \"$PATH|$LANG|$LC_ALL|$RAVAVIZA_ROOT|$CALIX_PASSED_THROUGH\"; uname");
    EXPECT_EQ(r.text,
              root.path() +
                  "/usr/libexec/ravaviza:/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin|"
                  "C.UTF-8|C.UTF-8|" +
                  root.path() + "|yes\nstand-in\n");
    EXPECT_TRUE(sameError(r.error, kSentinelError)) << r.error.failureReason;
}

TEST(calix_process_TaskHelper, ChildrenInheritNoOtherDescriptor) {
    int leaky = ::open("/dev/null", O_RDONLY);  // deliberately without O_CLOEXEC
    ASSERT_GE(leaky, 3);
    std::string probe = "/proc/self/fd/" + std::to_string(leaky);
    CommandRun r = bash("if [ -e " + probe + " ]; then echo leaked; else echo closed; fi");
    ::close(leaky);
    EXPECT_EQ(r.text, "closed\n");
}

TEST(calix_process_TaskHelper, DeadlineKillsTheWholeProcessGroup) {
    struct Case {
        const char* what;
        std::string line;
        std::chrono::milliseconds atLeast;
    } cases[] = {
        {"terminate signal suffices", "sleep 30 & sleep 30", 0ms},
        // Ignoring SIGTERM (inherited by both sleeps) leaves SIGKILL after the grace.
        {"terminate ignored", "trap '' TERM; sleep 30 & sleep 30", TaskHelper::kKillGrace},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto start = std::chrono::steady_clock::now();
        CommandRun r = bash(c.line, 300ms);
        auto elapsed = std::chrono::steady_clock::now() - start;
        ASSERT_TRUE(r.handle);
        EXPECT_GE(elapsed, 300ms + c.atLeast);
        EXPECT_LT(elapsed, 300ms + c.atLeast + 3s);
        EXPECT_EQ(r.text, kSentinelText);
        EXPECT_TRUE(sameError(r.error, ErrorValue{"", -1, "command timed out"})) << r.error.failureReason;
        pid_t group = r.handle->pid;
        EXPECT_TRUE(eventually([&] { return calixtest::liveMembersOfGroup(group) == 0; }));
        EXPECT_TRUE(eventually([] { return calixtest::zombieChildren() == 0; }));
    }
}

TEST(calix_process_TaskHelper, CommandThatClosesItsStreamsIsReapedLater) {
    auto start = std::chrono::steady_clock::now();
    CommandRun r = bash("exec >&- 2>&-; sleep 1");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 800ms);
    ASSERT_TRUE(r.handle);
    EXPECT_EQ(r.text, kSentinelText);
    EXPECT_TRUE(sameError(r.error, kSentinelError));
    pid_t pid = r.handle->pid;
    // Reaped by the runner, not by us: our own waitpid finds no such child.
    EXPECT_TRUE(eventually([pid] { return ::waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD; }));
    EXPECT_EQ(calixtest::zombieChildren(), 0u);
}

TEST(calix_process_TaskHelper, CallbackRunReportsBothStreamsAfterTheHandle) {
    std::vector<std::string> events;
    std::optional<TaskHandle> seen;
    std::optional<std::string> text;
    std::optional<ErrorValue> error;
    TaskHelper::sharedInstance().excuteTaskPath(
        "/bin/bash", {"-c", "echo out; echo err >&2"},
        [&](TaskHandle h) {
            events.push_back("running");
            seen = h;
        },
        [&](std::optional<std::string> t, std::optional<ErrorValue> e) {
            events.push_back("complete");
            text = std::move(t);
            error = std::move(e);
        });
    EXPECT_EQ(events, (std::vector<std::string>{"running", "complete"}));
    ASSERT_TRUE(seen);
    EXPECT_GT(seen->pid, 0);
    EXPECT_EQ(text, "out\n");
    ASSERT_TRUE(error);
    EXPECT_TRUE(sameError(*error, ErrorValue{"", -1, "err\n"}));
}

TEST(calix_process_TaskHelper, CallbackRunOfMissingProgramCompletesWithNeither) {
    bool running = false;
    int completions = 0;
    TaskHelper::sharedInstance().excuteTaskPath(
        "/nonexistent/program", {}, [&](TaskHandle) { running = true; },
        [&](std::optional<std::string> t, std::optional<ErrorValue> e) {
            ++completions;
            EXPECT_FALSE(t);
            EXPECT_FALSE(e);
        });
    EXPECT_FALSE(running);
    EXPECT_EQ(completions, 1);
}

TEST(calix_process_TaskHelper, StartedAppRunsOnWithoutBlockingAndIsReaped) {
    testsupport::TempFolder dir;
    std::string marker = dir.path() + "/done";
    auto start = std::chrono::steady_clock::now();
    TaskHelper::sharedInstance().startCMDApp("/bin/bash", {"-c", "sleep 0.5; echo $$ > " + marker});
    EXPECT_LT(std::chrono::steady_clock::now() - start, 300ms);
    EXPECT_FALSE(std::filesystem::exists(marker));

    ASSERT_TRUE(
        eventually([&] { return std::filesystem::exists(marker) && !calixtest::readText(marker).empty(); }));
    pid_t pid = std::stoi(calixtest::readText(marker));
    EXPECT_TRUE(eventually([pid] { return !calixtest::procStat(pid).has_value(); }));
    EXPECT_EQ(calixtest::zombieChildren(), 0u);

    TaskHelper::sharedInstance().startCMDApp(dir.path() + "/missing", {});
    EXPECT_EQ(calixtest::zombieChildren(), 0u);
}

}  // namespace
