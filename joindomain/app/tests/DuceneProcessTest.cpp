// The domain-join pair as the product runs it: the Ducene program from its bundle blesses Sorrel
// through a recording pkexec and the blesshelper tool into our launchd, which starts the helper
// when the app connects; the helper reads the binding with the directory tool as root.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "joindomain/helper/tests/ToolFakes.h"
#include "joindomain/scaffold/tests/HelperTestSupport.h"
#include "platform/launchd/Client.h"
#include "platform/paths/Paths.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace {

namespace fs = std::filesystem;

class DuceneProcess : public ::testing::Test {
  protected:
    void SetUp() override {
        ::umask(022);
        ASSERT_TRUE(launchd_.start()) << launchd_.log();
        helpertest::installBlessTool(BLESSHELPER_EXECUTABLE);
        helpertest::installFakePkexec(root_.path());
        fakes_.emplace(root_.path());
        fakes_->recorder("dsconfigad");
        fakes_->answer("dsconfigad", "out",
                       "Active Directory Domain          = corp.example.com\n"
                       "Computer Account                 = abc-mc0$\n");
        // The bundle as installed: program, helper under its label, templates.
        bundle_ = paths::domainJoinAppBundle();
        fs::create_directories(bundle_ + "/Contents/MacOS");
        fs::copy_file(DUCENE_BUNDLE "/Contents/MacOS/Ducene", bundle_ + "/Contents/MacOS/Ducene");
        fs::create_directories(bundle_ + "/Contents/Library/LaunchServices");
        fs::copy_file(DUCENE_BUNDLE "/Contents/Library/LaunchServices/com.velmora.Sorrel",
                      paths::bundledHelper(bundle_, "com.velmora.Sorrel"));
    }
    void TearDown() override {
        if (app_ > 0) {
            ::kill(app_, SIGTERM);
            if (!testsupport::eventually([&] { return ::waitpid(app_, nullptr, WNOHANG) == app_; })) {
                ::kill(app_, SIGKILL);
                ::waitpid(app_, nullptr, 0);
            }
        }
        if (HasFailure()) std::cerr << "launchd log:\n" << launchd_.log();
    }

    std::string helperLog() const {
        return testsupport::readText(paths::daemonLogsFolder() + "/Ducene-Logger.log");
    }

    testsupport::TempRoot root_{"ducene-process", 0755};
    helpertest::Launchd launchd_{root_.path()};
    std::optional<jdtest::ToolFakes> fakes_;
    std::string bundle_;
    pid_t app_ = -1;
};

TEST_F(DuceneProcess, AppBlessesItsHelperAndAsksItForTheBinding) {
    app_ = ::fork();
    if (app_ == 0) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        const std::string program = bundle_ + "/Contents/MacOS/Ducene";
        ::execl(program.c_str(), program.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    ASSERT_GT(app_, 0);
    // The helper, started by launchd as root, runs the directory tool for the status window.
    EXPECT_TRUE(testsupport::eventually([&] { return !fakes_->callsOf("dsconfigad").empty(); },
                                        std::chrono::seconds(30)));
    EXPECT_NE(helpertest::pkexecLog(root_.path()).find("blesshelper"), std::string::npos);
    EXPECT_TRUE(fs::exists(paths::installedHelper("com.velmora.Sorrel")));
    EXPECT_TRUE(fs::exists(paths::helperJobFile("com.velmora.Sorrel")));
    EXPECT_TRUE(testsupport::eventually([&] {
        return helperLog().find("The running helper version is: " RAVAVIZA_VERSION
                                ", the version of helper at PrivilegedHelperTools is: " RAVAVIZA_VERSION) !=
               std::string::npos;
    })) << helperLog();
    launchd::Reply listed = launchd::client::list("com.velmora.Sorrel");
    ASSERT_TRUE(listed.ok());
    ASSERT_FALSE(listed.jobs.empty());
    EXPECT_GT(listed.jobs.front().pid, 0);
    EXPECT_EQ(::waitpid(app_, nullptr, WNOHANG), 0) << "the app keeps running with its window";
}

}  // namespace
