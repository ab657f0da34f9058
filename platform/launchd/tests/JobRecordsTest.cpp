// The job record of the supervisor: what it writes at each start and end, and how the next
// supervisor ends what a crashed one left, without touching a process that merely got its pid.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tests/support/TestFiles.h"
#include "platform/launchd/JobRecords.h"
#include "platform/launchd/Supervisor.h"
#include "platform/spawn/Spawn.h"
#include "tests/support/TempRoot.h"

namespace {

using testsupport::alive;
using testsupport::readText;

template <typename Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class platform_launchd_JobRecords : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("RAVAVIZA_ROOT");
    }
    void TearDown() override {
        for (pid_t pid : started_) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    }
    // A job-like process: its own session, a child in its group, the child's pid in a file.
    pid_t startJob(const std::string& name) {
        spawn::Options o;
        o.program = "/bin/sh";
        o.argv = {"sh", "-c", "sleep 60 & echo $! > " + dir_ + "/" + name + "; wait"};
        o.grouping = spawn::Grouping::OwnSession;
        std::optional<spawn::Child> child = spawn::start(o);
        EXPECT_TRUE(child);
        if (!child) return 0;
        started_.push_back(child->pid);
        EXPECT_TRUE(waitUntil([&] { return !readText(dir_ + "/" + name).empty(); }));
        return child->pid;
    }
    testsupport::TempFolder tmp_{"launchd-records"};
    std::string dir_ = tmp_.path();
    std::vector<pid_t> started_;
};

TEST_F(platform_launchd_JobRecords, RecordsSurviveTheRoundTripAndBadLinesAreSkipped) {
    std::string path = dir_ + "/launchd.jobs";
    std::vector<launchd::JobRecord> records = {{1234, 99887766, "com.velmora.One"},
                                               {4321, 5, "com.velmora.Two words"}};
    ASSERT_TRUE(launchd::writeJobRecords(path, records));
    EXPECT_EQ(launchd::readJobRecords(path), records);
    EXPECT_FALSE(std::filesystem::exists(path + ".new"));

    std::ofstream(path) << "1234 5 com.velmora.Good\nnot a record\n1 5 init\n-3 4 negative\n77 8\n";
    EXPECT_EQ(launchd::readJobRecords(path),
              (std::vector<launchd::JobRecord>{{1234, 5, "com.velmora.Good"}}));
    EXPECT_TRUE(launchd::readJobRecords(dir_ + "/missing").empty());
    // A label that is not one line is left out rather than adding a record of its own.
    ASSERT_TRUE(
        launchd::writeJobRecords(path, {{1234, 5, "com.velmora.Good"}, {4321, 5, "x\n77 8 injected"}}));
    EXPECT_EQ(readText(path), "1234 5 com.velmora.Good\n");
    // A record others could have written names no process to end.
    ::chmod(path.c_str(), 0666);
    EXPECT_TRUE(launchd::readJobRecords(path).empty());
}

TEST_F(platform_launchd_JobRecords, LeftoverJobsEndWithTheirGroupsButAReusedPidIsLeftAlone) {
    pid_t leftover = startJob("leftover.child");
    pid_t leftoverChild = std::stoi(readText(dir_ + "/leftover.child"));
    pid_t stranger = startJob("stranger.child");
    launchd::JobRecord strangerRecord = launchd::recordOf(stranger, "com.velmora.Stranger");
    ASSERT_GT(strangerRecord.pid, 0);
    // The pid is the stranger's, but the recorded start time is not: a job that ended long ago.
    strangerRecord.startTime -= 1;

    std::vector<launchd::JobRecord> records = {
        launchd::recordOf(leftover, "com.velmora.Leftover"), strangerRecord, {999999, 1, "com.velmora.Gone"}};
    std::vector<launchd::JobRecord> ended = launchd::endLeftoverJobs(records, 5.0);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0].label, "com.velmora.Leftover");
    EXPECT_FALSE(alive(leftover));
    EXPECT_FALSE(alive(leftoverChild)) << "the group goes with the job";
    EXPECT_TRUE(alive(stranger));
    EXPECT_TRUE(alive(std::stoi(readText(dir_ + "/stranger.child"))));
}

TEST_F(platform_launchd_JobRecords, SupervisorRecordsEachRunningJobAndForgetsEndedOnes) {
    std::string path = dir_ + "/launchd.jobs";
    launchd::Supervisor sup;
    sup.recordJobsIn(path);
    launchd::JobDescription a;
    a.label = "com.velmora.A";
    a.programArguments = {"/bin/sleep", "60"};
    a.runAtLoad = true;
    launchd::JobDescription b = a;
    b.label = "com.velmora.B";
    ASSERT_EQ(sup.load(a, {}, 0).outcome, launchd::LoadOutcome::Started);
    ASSERT_EQ(sup.load(b, {}, 0).outcome, launchd::LoadOutcome::Started);
    pid_t pa = sup.job("com.velmora.A")->pid;
    pid_t pb = sup.job("com.velmora.B")->pid;
    EXPECT_EQ(launchd::readJobRecords(path),
              (std::vector<launchd::JobRecord>{launchd::recordOf(pa, "com.velmora.A"),
                                               launchd::recordOf(pb, "com.velmora.B")}));

    ::kill(pa, SIGKILL);
    ASSERT_TRUE(waitUntil([&] {
        sup.reapChildren(1);
        return sup.job("com.velmora.A")->pid == 0;
    }));
    EXPECT_EQ(launchd::readJobRecords(path),
              (std::vector<launchd::JobRecord>{launchd::recordOf(pb, "com.velmora.B")}));
}

}  // namespace
