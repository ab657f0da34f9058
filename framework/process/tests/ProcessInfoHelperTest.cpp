#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <latch>
#include <thread>

#include "TestSupport.h"
#include "platform/paths/Paths.h"
#include "framework/process/ProcessInfoHelper.h"
#include "framework/process/TaskHelper.h"

using calix::ProcessInfoHelper;
using calix::TaskHelper;

namespace {

namespace fs = std::filesystem;

class calix_process_ProcessInfo : public ::testing::Test {
  protected:
    std::string infoPath() const { return paths::productRoot() + "/.process.version"; }
    testsupport::TempRoot root_;
};

// The value of a "Name:\t<number> ..." line of /proc/self/status.
double statusNumber(const std::string& key) {
    std::string status = calixtest::readText("/proc/self/status");
    auto at = status.find("\n" + key + ":");
    if (at == std::string::npos) return -1;
    return std::stod(status.substr(at + key.size() + 2));
}

TEST_F(calix_process_ProcessInfo, PathIsMadeInTheProductRoot) {
    EXPECT_EQ(ProcessInfoHelper::createProcessInfoPath(), infoPath());
    ASSERT_TRUE(fs::is_regular_file(infoPath()));
    EXPECT_EQ(fs::file_size(infoPath()), 0u);
    EXPECT_EQ(ProcessInfoHelper::localProcessInfos(), archive::Dictionary{});
    EXPECT_EQ(ProcessInfoHelper::getProcessInfoWithName("Hollin"), -1);
}

TEST_F(calix_process_ProcessInfo, UpdatesRoundTripAsAnXmlPropertyList) {
    ProcessInfoHelper::updateProcessInfo(5, "Hollin");
    ProcessInfoHelper::updateProcessInfo(-7, "Tamber");
    ProcessInfoHelper::updateProcessInfo(INT32_MAX, "Hollin");
    EXPECT_EQ(ProcessInfoHelper::getProcessInfoWithName("Hollin"), INT32_MAX);
    EXPECT_EQ(ProcessInfoHelper::getProcessInfoWithName("Tamber"), -7);
    EXPECT_EQ(ProcessInfoHelper::getProcessInfoWithName("Perrow"), -1);

    // An independent reader sees the same dictionary in an XML plist.
    EXPECT_EQ(calixtest::readText(infoPath()).rfind("<?xml", 0), 0u);
    std::string text;
    ErrorValue error;
    TaskHelper::sharedInstance().excuteTaskPath(
        RAVAVIZA_PYTHON,
        {"-c", "import plistlib,sys; d=plistlib.load(open(sys.argv[1],'rb')); print(sorted(d.items()))",
         infoPath()},
        &text, &error);
    EXPECT_EQ(text, "[('Hollin', 2147483647), ('Tamber', -7)]\n") << error.failureReason;
}

TEST_F(calix_process_ProcessInfo, UnreadableFileCountsAsEmpty) {
    ASSERT_TRUE(ProcessInfoHelper::createProcessInfoPath());
    for (const char* content : {"not a plist", "<?xml version=\"1.0\"?><plist><array/></plist>"}) {
        SCOPED_TRACE(content);
        calixtest::writeText(infoPath(), content);
        EXPECT_EQ(ProcessInfoHelper::localProcessInfos(), archive::Dictionary{});
        EXPECT_EQ(ProcessInfoHelper::getProcessInfoWithName("Hollin"), -1);
        ProcessInfoHelper::updateProcessInfo(3, "Hollin");
        EXPECT_EQ(ProcessInfoHelper::getProcessInfoWithName("Hollin"), 3);
    }
}

TEST_F(calix_process_ProcessInfo, ConcurrentUpdatesLoseNothing) {
    constexpr int kWriters = 4, kUpdates = 20;
    auto writeNames = [](const std::string& prefix) {
        for (int i = 0; i < kUpdates; ++i)
            ProcessInfoHelper::updateProcessInfo(i, prefix + std::to_string(i));
    };
    {
        std::latch go(kWriters);
        std::vector<std::jthread> threads;
        for (int w = 0; w < kWriters; ++w) {
            threads.emplace_back([&, w] {
                go.arrive_and_wait();
                writeNames("thread" + std::to_string(w) + "-");
            });
        }
    }
    std::vector<pid_t> children;
    for (int w = 0; w < kWriters; ++w) {
        pid_t pid = ::fork();
        if (pid == 0) {
            writeNames("process" + std::to_string(w) + "-");
            ::_exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) ::waitpid(pid, nullptr, 0);

    auto infos = ProcessInfoHelper::localProcessInfos();
    ASSERT_TRUE(infos);
    EXPECT_EQ(infos->size(), static_cast<size_t>(2 * kWriters * kUpdates));
    EXPECT_EQ(ProcessInfoHelper::getProcessInfoWithName("process3-19"), 19);
}

TEST_F(calix_process_ProcessInfo, FiguresMatchTheKernelsAccount) {
    double rssMiB = statusNumber("VmRSS") / 1024.0;
    EXPECT_NEAR(ProcessInfoHelper::appMemoryUsage(), rssMiB, 8.0);
    EXPECT_GT(ProcessInfoHelper::appMemoryUsage(), 0.0);

    // The runner's reaper thread may end between two readings, hence the tolerance of one.
    int32_t before = ProcessInfoHelper::getThreadCount();
    EXPECT_NEAR(before, statusNumber("Threads"), 1);
    std::latch release(1);
    std::vector<std::jthread> threads;
    for (int i = 0; i < 3; ++i) threads.emplace_back([&release] { release.wait(); });
    EXPECT_GE(ProcessInfoHelper::getThreadCount(), before + 3 - 1);
    release.count_down();

    double cpu = ProcessInfoHelper::appCpuUsage();
    EXPECT_GE(cpu, 0.0);
    EXPECT_LT(cpu, 100.0 * std::thread::hardware_concurrency() + 1);
}

}  // namespace
