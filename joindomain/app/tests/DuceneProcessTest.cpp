// The domain-join pair as the product runs it: the Ducene program from its bundle blesses Sorrel
// through a recording pkexec and the blesshelper tool into our launchd, which starts the helper
// when the app connects; the helper reads the binding with the directory tool as root.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

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
        stopApp();
        if (HasFailure()) std::cerr << "launchd log:\n" << launchd_.log();
    }

    // The app as pkexec runs it for a caller: the caller's arguments and environment passed on
    // (the fake pkexec keeps both), standard error kept in <root>/app.err.
    pid_t startThroughPkexec(const std::vector<std::string>& args,
                             const std::map<std::string, std::string>& env) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int err =
                ::open((root_.path() + "/app.err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ::dup2(err, 2);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            for (const auto& [name, value] : env) ::setenv(name.c_str(), value.c_str(), 1);
            std::vector<std::string> all{paths::toolFolder() + "/pkexec", bundle_ + "/Contents/MacOS/Ducene"};
            all.insert(all.end(), args.begin(), args.end());
            std::vector<char*> argv;
            for (std::string& a : all) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            _exit(127);
        }
        return pid;
    }
    void stopApp() {
        if (app_ <= 0) return;
        ::kill(app_, SIGTERM);
        if (!testsupport::eventually([&] { return ::waitpid(app_, nullptr, WNOHANG) == app_; })) {
            ::kill(app_, SIGKILL);
            ::waitpid(app_, nullptr, 0);
        }
        app_ = -1;
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

TEST_F(DuceneProcess, RootInstanceTakesNoOptionOrEnvironmentFromItsCaller) {
    const std::string plugins = root_.makeFolder("caller/plugins");
    const std::string sheet = root_.write("caller/evil.qss", "QWidget { background: url(/etc/shadow) ");
    std::filesystem::remove(PRELOAD_MARKER_LOG);
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        bool runs;  // otherwise it ends, and not for the reason the caller chose
    };
    const std::vector<Case> cases{
        // First, while the helper is not installed yet: the blessing's children see none of it.
        {"LD_PRELOAD of a library", {}, {{"LD_PRELOAD", PRELOAD_MARKER}}, true},
        {"-platform", {"-platform", "no_such_platform"}, {}, true},
        {"-platformpluginpath", {"-platformpluginpath", plugins, "-platform", "evil"}, {}, true},
        {"-style and -stylesheet", {"-style", "no_such_style", "-stylesheet", sheet}, {}, true},
        {"--reverse and stray words", {"--reverse", "-session", "x", "--", "-qwindowgeometry"}, {}, true},
        {"QT_PLUGIN_PATH", {}, {{"QT_PLUGIN_PATH", plugins}, {"QT_QPA_PLATFORM_PLUGIN_PATH", plugins}}, true},
        {"LD_PRELOAD of a missing file", {}, {{"LD_PRELOAD", root_.file("caller/missing.so")}}, true},
        // Dropped, Qt takes its default platform, which has no display here.
        {"QT_QPA_PLATFORM", {}, {{"QT_QPA_PLATFORM", "no_such_platform"}, {"DISPLAY", ""}}, false},
    };
    for (const Case& c : cases) {
        const size_t asked = fakes_->callsOf("dsconfigad").size();
        app_ = startThroughPkexec(c.args, c.env);
        ASSERT_GT(app_, 0);
        if (c.runs) {
            // The status window asks the helper, which runs the directory tool.
            EXPECT_TRUE(testsupport::eventually([&] { return fakes_->callsOf("dsconfigad").size() > asked; },
                                                std::chrono::seconds(30)))
                << c.name << "\n"
                << testsupport::readText(root_.path() + "/app.err");
            EXPECT_EQ(::waitpid(app_, nullptr, WNOHANG), 0) << c.name << " keeps running";
        } else {
            EXPECT_TRUE(testsupport::eventually([&] { return ::waitpid(app_, nullptr, WNOHANG) == app_; },
                                                std::chrono::seconds(30)))
                << c.name;
            app_ = -1;
        }
        const std::string err = testsupport::readText(root_.path() + "/app.err");
        for (const char* taken :
             {"no_such_platform", "evil", "no_such_style", "stylesheet", "caller/plugins"})
            EXPECT_EQ(err.find(taken), std::string::npos) << c.name << ": " << err;
        stopApp();
    }
    // The library reached the fake pkexec and, as a real pkexec would have dropped it, the app
    // itself; nothing the root app started (pkexec and blesshelper for the blessing).
    const std::string marked = testsupport::readText(PRELOAD_MARKER_LOG);
    EXPECT_NE(marked.find("/Contents/MacOS/Ducene\n"), std::string::npos) << marked;
    EXPECT_EQ(marked.find("blesshelper"), std::string::npos) << marked;
    EXPECT_EQ(std::count(marked.begin(), marked.end(), '\n'), 2) << marked;
    EXPECT_TRUE(fs::exists(paths::installedHelper("com.velmora.Sorrel")));
    // pkexec never carried an argument of the caller's to blesshelper.
    EXPECT_EQ(helpertest::pkexecLog(root_.path()).find("no_such_platform\t"),
              helpertest::pkexecLog(root_.path()).rfind("no_such_platform\t"));
}

TEST_F(DuceneProcess, AUserOtherThanTheOneAtTheScreenIsRefused) {
    struct Case {
        const char* name;
        std::string pkexecUid;
        bool atScreen;
    };
    const std::string nobody = "65534";
    for (const Case& c :
         {Case{"nobody signed in", nobody, false}, Case{"another user signed in", nobody, true},
          Case{"not a user id", "65534x", true}}) {
        std::filesystem::remove_all(root_.file("run"));
        if (c.atScreen) root_.signInAtScreen("root");
        app_ = startThroughPkexec({}, {{"PKEXEC_UID", c.pkexecUid}});
        int status = 0;
        ASSERT_TRUE(testsupport::eventually([&] { return ::waitpid(app_, &status, WNOHANG) == app_; }))
            << c.name;
        app_ = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << c.name;
        EXPECT_NE(
            testsupport::readText(root_.path() + "/app.err").find("Refused to run for the user who asked: "),
            std::string::npos)
            << c.name;
    }
    EXPECT_TRUE(fakes_->callsOf("dsconfigad").empty());
    EXPECT_TRUE(helpertest::pkexecLog(root_.path()).find("blesshelper") == std::string::npos);
}

}  // namespace
