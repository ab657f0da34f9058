#include <gtest/gtest.h>

#include <chrono>

#include "ui/session/compliance/ZemCheck.h"

namespace {

using Clock = std::chrono::steady_clock;

// The runner drains both streams while it waits, so a chatty command finishes at its own pace
// instead of filling its pipe and being killed at the deadline.
TEST(UiCommandRunner, LargeOutputArrivesWholeWithoutWaitingForTheDeadline) {
    UiCommandRunner runner;
    const auto start = Clock::now();
    CheckCommandResult r = runner.run("/bin/sh", {"-c", "head -c 1000000 /dev/zero | tr '\\000' a"});
    ASSERT_TRUE(r.output) << r.error.value_or("");
    EXPECT_EQ(r.output->size(), 1000000u);
    EXPECT_FALSE(r.error);
    EXPECT_LT(Clock::now() - start, UiCommandRunner::kDeadline);
}

TEST(UiCommandRunner, CommandsStillRunningAtTheDeadlineAreEnded) {
    struct Case {
        const char* name;
        std::string script;
    } cases[] = {
        {"ends at SIGTERM", "echo partial; sleep 30"},
        {"ignores SIGTERM", "trap '' TERM; echo partial; while true; do sleep 0.1; done"},
    };
    UiCommandRunner runner;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = Clock::now();
        CheckCommandResult r = runner.run("/bin/sh", {"-c", c.script});
        const auto took = Clock::now() - start;
        EXPECT_FALSE(r.output);
        ASSERT_TRUE(r.error);
        EXPECT_GE(took, UiCommandRunner::kDeadline);
        EXPECT_LT(took, std::chrono::seconds(20));
    }
}

TEST(UiCommandRunner, ErrorStreamTextIsTheErrorAndAMissingProgramSaysSo) {
    UiCommandRunner runner;
    CheckCommandResult r = runner.run("/bin/sh", {"-c", "echo out; echo bad >&2"});
    EXPECT_FALSE(r.output);
    EXPECT_EQ(r.error, std::optional<std::string>("bad\n"));
    r = runner.run("/nonexistent/program", {});
    EXPECT_FALSE(r.output);
    EXPECT_TRUE(r.error);
}

}  // namespace
