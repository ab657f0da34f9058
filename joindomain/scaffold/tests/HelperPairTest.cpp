// A test pair run as the product runs it: our launchd in a temporary root, a recording pkexec,
// the blesshelper tool, and a helper program launchd starts when the app connects.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "HelperTestSupport.h"
#include "joindomain/scaffold/AppHelperManager.h"
#include "joindomain/scaffold/EmbeddedPlist.h"
#include "joindomain/scaffold/HelperProtocol.h"
#include "joindomain/scaffold/SystemLog.h"
#include "platform/archive/Plist.h"

namespace fs = std::filesystem;
using namespace helperscaffold;

namespace {

const HelperIdentity kIdentity{"com.velmora.ScaffoldTest",
                               "com.velmora.ScaffoldTestApp",
                               "ScaffoldTest start to run.",
                               "com.velmora.scaffoldtest.logger",
                               "Logs/ScaffoldTest",
                               "ScaffoldTest-Logger",
                               "ScaffoldTest"};

// The system log's lines, kept for the test.
class SystemLines {
  public:
    SystemLines() {
        setSystemLogWriter([this](const std::string& line) {
            std::lock_guard<std::mutex> l(m_);
            lines_.push_back(line);
        });
    }
    ~SystemLines() { setSystemLogWriter(nullptr); }
    bool has(const std::string& line) const {
        std::lock_guard<std::mutex> l(m_);
        return std::find(lines_.begin(), lines_.end(), line) != lines_.end();
    }
    bool contains(const std::string& text) const {
        std::lock_guard<std::mutex> l(m_);
        for (const auto& line : lines_) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }
    std::string all() const {
        std::lock_guard<std::mutex> l(m_);
        std::string text;
        for (const auto& line : lines_) text += line + "\n";
        return text;
    }

  private:
    mutable std::mutex m_;
    std::vector<std::string> lines_;
};

struct Echo {
    std::string text;
    int64_t pid = 0;
    int64_t uid = -1;
};

// Calls the test helper's echo operation and waits for the reply block.
std::optional<Echo> echo(AppHelperManager& manager, const std::string& text) {
    std::mutex m;
    std::condition_variable cv;
    std::optional<Echo> answer;
    manager.helper()->call("echo:completion:", {text}, [&](const archive::Array& args) {
        std::lock_guard<std::mutex> l(m);
        answer = Echo{textArgument(args, 0).value_or(""), integerArgument(args, 1).value_or(0),
                      integerArgument(args, 2).value_or(-1)};
        cv.notify_all();
    });
    std::unique_lock<std::mutex> l(m);
    cv.wait_for(l, std::chrono::seconds(10), [&] { return answer.has_value(); });
    return answer;
}

pid_t runningPid(const std::string& label) {
    launchd::Reply r = launchd::client::list(label);
    return r.ok() && !r.jobs.empty() ? r.jobs.front().pid : 0;
}

int lineCount(const std::string& text) {
    return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

class HelperPair : public ::testing::Test {
  protected:
    void SetUp() override {
        ::umask(022);
        ASSERT_TRUE(launchd_.start()) << launchd_.log();
        helpertest::installBlessTool(BLESSHELPER_EXECUTABLE);
    }
    void TearDown() override {
        if (HasFailure()) std::cerr << "launchd log:\n" << launchd_.log() << "system log:\n" << lines_.all();
    }
    std::string helperLog() const {
        return testsupport::readText(paths::localLibraryFolder() +
                                     "/Logs/ScaffoldTest/ScaffoldTest-Logger.log");
    }

    testsupport::TempRoot root_{"helper-pair", 0755};
    helpertest::Launchd launchd_{root_.path()};
    SystemLines lines_;
};

TEST_F(HelperPair, BlessingInstallsTheHelperWhichLaunchdStartsForTheApp) {
    helpertest::installFakePkexec(root_.path());
    const std::string bundle = helpertest::makeAppBundle("ScaffoldTestApp", TEST_HELPER_1_0, kIdentity.label);
    AppHelperManager manager(kIdentity, bundle);
    bool ready = false;
    manager.checkHelperWithCompletion([&](bool ok) { ready = ok; });
    ASSERT_TRUE(ready) << helpertest::pkexecLog(root_.path());
    EXPECT_TRUE(lines_.has("Job is available!"));
    EXPECT_EQ(helpertest::pkexecLog(root_.path()),
              paths::toolFolder() + "/blesshelper\t--root\t" + root_.path() + "\t" + kIdentity.label + "\t" +
                  paths::bundledHelper(bundle, kIdentity.label) + "\t\n");

    struct stat st {};
    ASSERT_EQ(::stat(paths::installedHelper(kIdentity.label).c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    auto job = archive::readPlistFile(paths::helperJobFile(kIdentity.label));
    ASSERT_TRUE(job);
    EXPECT_EQ(*job->find("Label")->string(), kIdentity.label);
    EXPECT_EQ(*job->find("Program")->string(), paths::installedHelper(kIdentity.label));
    EXPECT_EQ(runningPid(kIdentity.label), 0) << "started only when a client comes";

    auto answer = echo(manager, "hi");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->text, "hi");
    EXPECT_EQ(answer->uid, 0);
    EXPECT_EQ(answer->pid, runningPid(kIdentity.label));
    ASSERT_TRUE(testsupport::eventually([&] { return lines_.has("[Helper] echo hi"); })) << lines_.all();
    ASSERT_TRUE(
        testsupport::eventually([&] { return helperLog().find(" echo hi\r\n") != std::string::npos; }));
}

TEST_F(HelperPair, CurrentHelperIsUsedWithoutAskingAndAnotherVersionIsBlessedAgain) {
    helpertest::installFakePkexec(root_.path());
    std::string bundle = helpertest::makeAppBundle("ScaffoldTestApp", TEST_HELPER_1_0, kIdentity.label);
    {
        AppHelperManager manager(kIdentity, bundle);
        manager.checkHelperWithCompletion([](bool ok) { EXPECT_TRUE(ok); });
    }
    ASSERT_EQ(lineCount(helpertest::pkexecLog(root_.path())), 1);
    {
        AppHelperManager manager(kIdentity, bundle);
        bool ready = false;
        manager.checkHelperWithCompletion([&](bool ok) { ready = ok; });
        EXPECT_TRUE(ready);
        EXPECT_EQ(lineCount(helpertest::pkexecLog(root_.path())), 1) << "no prompt for the current helper";
        ASSERT_TRUE(testsupport::eventually([&] {
            return helperLog().find(
                       "The running helper version is: 1.0, the version of helper at "
                       "PrivilegedHelperTools is: 1.0\r\n") != std::string::npos;
        })) << helperLog();
    }
    // 1.0.0 is not 1.0: the comparison is of texts.
    bundle = helpertest::makeAppBundle("ScaffoldTestApp", TEST_HELPER_1_0_0, kIdentity.label);
    {
        AppHelperManager manager(kIdentity, bundle);
        bool ready = false;
        manager.checkHelperWithCompletion([&](bool ok) { ready = ok; });
        EXPECT_TRUE(ready);
        EXPECT_EQ(lineCount(helpertest::pkexecLog(root_.path())), 2);
        EXPECT_EQ(embeddedVersion(paths::installedHelper(kIdentity.label)), "1.0.0");
        auto answer = echo(manager, "again");
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->text, "again");
    }
    // A missing job file also leads to a new blessing.
    fs::remove(paths::helperJobFile(kIdentity.label));
    {
        AppHelperManager manager(kIdentity, bundle);
        manager.checkHelperWithCompletion([](bool ok) { EXPECT_TRUE(ok); });
        EXPECT_EQ(lineCount(helpertest::pkexecLog(root_.path())), 3);
        EXPECT_TRUE(fs::exists(paths::helperJobFile(kIdentity.label)));
    }
}

TEST_F(HelperPair, RefusedPromptMeansNoHelperAndTheAppDoesNotRun) {
    struct Case {
        int pkexecStatus;
        std::string line;
    };
    for (const Case& c : {Case{126, "Something went wrong! NSOSStatusErrorDomain / -60006"},
                          Case{127, "Something went wrong! NSOSStatusErrorDomain / -60005"}}) {
        helpertest::installFakePkexec(root_.path(), c.pkexecStatus);
        const std::string bundle =
            helpertest::makeAppBundle("ScaffoldTestApp", TEST_HELPER_1_0, kIdentity.label);
        AppHelperManager manager(kIdentity, bundle);
        bool ran = false;
        EXPECT_EQ(runAppWithHelper(manager,
                                   [&] {
                                       ran = true;
                                       return 7;
                                   }),
                  0);
        EXPECT_FALSE(ran);
        EXPECT_TRUE(lines_.has(c.line)) << lines_.all();
        EXPECT_FALSE(fs::exists(paths::installedHelper(kIdentity.label)));
    }
}

TEST_F(HelperPair, HelperQuitsAfterItsLastAppAndCallsToNoHelperAreDropped) {
    helpertest::installFakePkexec(root_.path());
    const std::string bundle = helpertest::makeAppBundle("ScaffoldTestApp", TEST_HELPER_1_0, kIdentity.label);
    {
        AppHelperManager first(kIdentity, bundle);
        AppHelperManager second(kIdentity, bundle);
        first.checkHelperWithCompletion([](bool ok) { EXPECT_TRUE(ok); });
        ASSERT_TRUE(echo(first, "one"));
        ASSERT_TRUE(echo(second, "two"));
        const pid_t pid = runningPid(kIdentity.label);
        ASSERT_GT(pid, 0);
        // The line of the first app's call goes back to the app connected last only.
        ASSERT_TRUE(testsupport::eventually([&] { return lines_.has("[Helper] echo two"); }));
        first.helperConnection()->invalidate();
        ASSERT_TRUE(echo(second, "three"));
        EXPECT_EQ(runningPid(kIdentity.label), pid) << "one app still connected";
    }
    ASSERT_TRUE(testsupport::eventually([&] { return runningPid(kIdentity.label) == 0; }));

    AppHelperManager orphan(HelperIdentity{"com.velmora.NotInstalled", "", "", "q", "Logs/x", "x", "x"},
                            root_.path());
    bool replied = false;
    orphan.helper()->call("echo:completion:", {"x"}, [&](const archive::Array&) { replied = true; });
    EXPECT_TRUE(testsupport::eventually(
        [&] { return lines_.contains("Helper connection was closed with error: "); }));
    EXPECT_FALSE(replied);
}

}  // namespace
