// The whole uninstall in a temporary root: our launchd runs the product's jobs as `Hollin -install`
// loads them, the UI app, the upgrade app, the VPN component and the domain-join app run, and the
// product's files lie in the machine's and a user's folders. Quillet blesses Wendle from the
// built bundle through a recording pkexec, the button sends the eight operations, and afterwards
// no job of the product is loaded, its processes have ended, its files are gone, and nothing
// outside the root was touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <atomic>
#include <filesystem>
#include <string>
#include <vector>

#include "joindomain/scaffold/RootApp.h"
#include "joindomain/scaffold/SystemLog.h"
#include "joindomain/scaffold/tests/HelperTestSupport.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/launchd/Client.h"
#include "platform/paths/Paths.h"
#include "platform/qt/QtMainQueue.h"
#include "tests/support/QtTestApp.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "uninstaller/app/AppDelegate.h"
#include "uninstaller/app/NSKeyedArchiverHelper.h"

namespace {

using namespace std::chrono_literals;

bool pump(const std::function<bool()>& condition, std::chrono::seconds limit = 60s) {
    return qttest::waitFor(condition, limit);
}

void screenshot(QWidget& widget, const std::string& name) {
    qttest::saveScreenshot(widget, "quillet-flow-" + name);
}

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::vector<std::string> kProductJobs{"com.velmora.Hollin.Daemon", "com.velmora.Stoven.Daemon",
                                            "com.velmora.Tamber.Daemon", "com.velmora.Marlet.Daemon"};

void place(const std::string& from, const std::string& to) {
    fs::create_directories(fs::path(to).parent_path());
    fs::copy_file(from, to, fs::copy_options::overwrite_existing);
    ::chmod(to.c_str(), 0755);
}

pid_t jobPid(const std::string& label) {
    launchd::Reply r = launchd::client::list(label);
    return r.ok() && !r.jobs.empty() ? r.jobs.front().pid : 0;
}

bool ended(pid_t pid) {
    ::waitpid(pid, nullptr, WNOHANG);
    return !testsupport::alive(pid);
}

class UninstallFlow : public ::testing::Test {
  protected:
    void SetUp() override {
        ::umask(022);
        static_cast<void>(qtApp());
        mainQueue_ = std::make_unique<QtMainQueue>();
        helperscaffold::setSystemLogWriter([this](const std::string& line) {
            std::lock_guard<std::mutex> l(m_);
            systemLog_ += line + "\n";
        });
    }
    void TearDown() override {
        helperscaffold::setSystemLogWriter(nullptr);
        for (pid_t pid : children_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        if (HasFailure()) {
            std::cerr << "launchd log:\n"
                      << launchd_.log() << "\nsystem log:\n"
                      << systemLog() << "\nhelper log:\n"
                      << wendleLog();
        }
        launchd_.stop();
        QCoreApplication::processEvents();
        mainQueue_.reset();
    }

    static QApplication& qtApp() {
        static QApplication* app = [] {
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            static int argc = 1;
            static char name[] = "quillet_tests";
            static char* argv[] = {name, nullptr};
            return new QApplication(argc, argv);
        }();
        return *app;
    }

    std::string systemLog() const {
        std::lock_guard<std::mutex> l(m_);
        return systemLog_;
    }
    std::string wendleLog() const {
        return testsupport::readText(paths::uninstallerLogsFolder() + "/RavAvizaUninstaller-Logger.log");
    }

    pid_t startProgram(const std::string& program, std::vector<std::string> args = {}) {
        if (!fs::exists(program)) place(SLEEPER_EXECUTABLE, program);
        pid_t pid = ::fork();
        if (pid == 0) {
            std::vector<char*> argv{const_cast<char*>(program.c_str())};
            for (auto& a : args) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            _exit(127);
        }
        children_.push_back(pid);
        EXPECT_TRUE(testsupport::eventually([&] {
            return testsupport::readText("/proc/" + std::to_string(pid) + "/cmdline").rfind(program, 0) == 0;
        }));
        return pid;
    }

    // The installed product as `Hollin -install` leaves it, run by our launchd.
    void installProduct() {
        place(HOLLIN_EXECUTABLE, paths::daemonExecutable());
        place(TAMBER_EXECUTABLE, paths::reportServiceExecutable());
        place(SLEEPER_EXECUTABLE, paths::uiAppExecutable());
        place(SLEEPER_EXECUTABLE, paths::uiAppResources() + "/Marlet.app/Contents/MacOS/Marlet");
        testsupport::writeFile(paths::uiAppResources() + "/Perrow.app/Contents/MacOS/marker", "upgrade app");
        for (const std::string& label : kProductJobs) {
            fs::copy_file(std::string(RAVAVIZA_TEST_SOURCE_DIR) + "/packaging/launchd/" + label + ".plist",
                          paths::uiAppResources() + "/" + label + ".plist");
        }
        fs::create_directories(paths::toolFolder());
        fs::create_symlink(LAUNCHCTL_EXECUTABLE, paths::toolFolder() + "/launchctl");
        root_.signInAtScreen("nobody", "user", "c7", "TYPE=x11\nDISPLAY=:5\n");
        ASSERT_TRUE(launchd_.start()) << launchd_.log();

        pid_t pid = ::fork();
        if (pid == 0) {
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::execl(paths::daemonExecutable().c_str(), paths::daemonExecutable().c_str(), "-install",
                    static_cast<char*>(nullptr));
            _exit(127);
        }
        ASSERT_TRUE(testsupport::eventually([&] { return ::waitpid(pid, nullptr, WNOHANG) == pid; }, 60s));
        for (const std::string& label : kProductJobs) {
            ASSERT_TRUE(testsupport::eventually([&] { return jobPid(label) > 0; }, 30s)) << label;
        }
    }

    testsupport::TempRoot root_{"quillet-flow", 0755};
    testsupport::TempFolder outside_{"quillet-outside", 0755};
    helpertest::Launchd launchd_{root_.path()};
    std::unique_ptr<QtMainQueue> mainQueue_;
    mutable std::mutex m_;
    std::string systemLog_;
    std::vector<pid_t> children_;
};

TEST_F(UninstallFlow, RemovesTheProductAndNothingElse) {
    ASSERT_NO_FATAL_FAILURE(installProduct());
    std::vector<pid_t> jobs;
    for (const std::string& label : kProductJobs) jobs.push_back(jobPid(label));

    // The product's processes outside its jobs, and another installation's outside the root.
    const pid_t ui = startProgram(paths::uiAppExecutable());
    const pid_t upgrade = startProgram(paths::upgradeAppExecutable(), {"-upgrade"});
    const pid_t vpn = startProgram(paths::vpnAgentExecutable());
    const pid_t join = startProgram(paths::domainJoinAppExecutable());
    const pid_t otherUi = startProgram(outside_.path() + "/Applications/Hux/Hux.app/Contents/MacOS/Hux");

    // The user's files, with a link out of the root placed among them; the settings file.
    // Quillet acts for the user who asked through pkexec (PKEXEC_UID), here the one at the screen.
    std::string refusal;
    std::optional<helperscaffold::ActingUser> asker =
        helperscaffold::chooseActingUser(std::to_string(::getpwnam("nobody")->pw_uid), &refusal);
    ASSERT_TRUE(asker) << refusal;
    helperscaffold::setActingUser(*asker);
    const std::string home = asker->home;
    ASSERT_EQ(home, root_.file("nonexistent"));
    fs::create_directories(home);
    testsupport::writeFile(home + "/Library/Logs/RavAviza/ui.log", "x");
    testsupport::writeFile(home + "/Library/Application Support/RavAvizaL/login.archive", "x");
    const std::string precious = outside_.write("keep/precious", "keep");
    fs::create_symlink(outside_.file("keep"), home + "/Library/Logs/RavAviza/link");
    archive::Dictionary settings{{"allow_uninstall", int64_t{1}},
                                 {"uninstall_password", std::string("open-sesame")}};
    fs::create_directories(paths::machineSupportFolder());
    ASSERT_TRUE(quillet::NSKeyedArchiverHelper::archiveRootObject(settings, paths::uninstallInfoFile()));

    helpertest::installBlessTool(BLESSHELPER_EXECUTABLE);
    helpertest::installFakePkexec(root_.path());
    testsupport::writeFile(paths::toolFolder() + "/nmcli",
                           "#!/bin/sh\necho \"$*\" >> '" + root_.path() + "/nmcli.log'\n", 0755);

    dispatch::ManualTime time;
    quillet::AppHelperManager manager(QUILLET_BUNDLE);
    bool ready = false;
    manager.checkHelperWithCompletion([&](bool ok) { ready = ok; });
    ASSERT_TRUE(ready) << systemLog();
    EXPECT_NE(helpertest::pkexecLog(root_.path()).find("\tcom.velmora.Wendle\t" QUILLET_BUNDLE),
              std::string::npos);

    std::atomic<int> terminations{0};
    quillet::UninstallerMainWindowController::Options options;
    options.preferredLanguage = "en-US";
    options.terminate = [&] { ++terminations; };
    quillet::AppDelegate delegate(manager, options);
    delegate.applicationDidFinishLaunching();
    auto& window = *delegate.mainWindowController();
    ASSERT_TRUE(testsupport::eventually([&] {
        return wendleLog().find("uninstall switch: 1, password: (set)\r\n") != std::string::npos;
    })) << wendleLog();
    EXPECT_EQ(wendleLog().find("open-sesame"), std::string::npos);
    EXPECT_EQ(wendleLog().find("b3Blbi1zZXNhbWU="), std::string::npos) << "the code, Base64-encoded";
    screenshot(window, "ready");

    window.uninstallButton()->click();
    EXPECT_FALSE(window.uninstallButton()->isEnabled());
    screenshot(window, "uninstalling");
    ASSERT_TRUE(pump([&] { return window.taskCount() == 0; })) << window.taskCount();
    ASSERT_TRUE(pump([&] { return !window.progressIndicator()->isVisible(); }));
    screenshot(window, "done");
    dispatch::ManualTime::advance(0s);
    for (int tick = 0; tick < 3; ++tick) {
        if (tick) dispatch::ManualTime::advance(1s);
        ASSERT_TRUE(pump([&] { return window.timeCount() == 2 - tick; }));
    }
    EXPECT_EQ(terminations.load(), 0);
    dispatch::ManualTime::advance(1s);
    ASSERT_TRUE(pump([&] { return terminations.load() == 1; }));

    // The jobs are gone from launchd and every process of the product has ended.
    for (const std::string& label : kProductJobs) {
        EXPECT_EQ(launchd::client::list(label).status, launchd::ReplyStatus::NotFound) << label;
    }
    for (pid_t pid : jobs) EXPECT_TRUE(testsupport::eventually([&] { return ended(pid); })) << pid;
    for (pid_t pid : {ui, upgrade, vpn, join})
        EXPECT_TRUE(testsupport::eventually([&] { return ended(pid); })) << pid;
    EXPECT_TRUE(testsupport::alive(otherUi)) << "another installation's UI app";
    EXPECT_EQ(testsupport::readText(root_.file("nmcli.log")), "networking off\nnetworking on\n");
    for (const std::string& label : kProductJobs) {
        EXPECT_FALSE(fs::exists(paths::launchDaemonsFolder() + "/" + label + ".plist")) << label;
    }

    // Its folders, logs and app are gone; the helper, its log and what lies outside stay.
    for (const std::string& gone :
         {paths::machineLogsFolder(), paths::machineSupportFolder(), paths::productRootParent(),
          paths::applicationsFolder() + "/Hux", home + "/Library/Logs/RavAviza",
          home + "/Library/Application Support/RavAvizaL"}) {
        EXPECT_FALSE(fs::exists(fs::symlink_status(gone))) << gone;
    }
    EXPECT_EQ(testsupport::readText(precious), "keep");
    EXPECT_TRUE(fs::exists(paths::installedHelper("com.velmora.Wendle")));
    EXPECT_TRUE(fs::exists(home + "/Library/Logs"));

    EXPECT_NE(wendleLog().find("User home path: " + home + "\r\n"), std::string::npos)
        << "the asking user's home";
    // The helper logged each step to its file and sent the lines to the app.
    for (const char* line :
         {"User home path: ", "Unload Zem all Daemons ", "Closed Zem upgrade process result: ",
          "Closed Zem Nimbrel process result: ", "Closed Zem Ducene process result: ",
          "Closed Zem process result: ", "Delete Zem system cache result: ", "Delete Zem user cache result: ",
          "Delete Zem user common cache result: ", "Delete Zem system Logs result: ",
          "Delete Zem user Logs result: ", "Remove Zem Application result: "}) {
        EXPECT_NE(wendleLog().find(line), std::string::npos) << line;
        EXPECT_NE(systemLog().find(std::string("[Helper] ") + line), std::string::npos) << line;
    }
    // In the order sent: the jobs stopped first, the app's folder removed last.
    const std::string log = wendleLog();
    EXPECT_LT(log.find("Unload Zem all Daemons "), log.find("Closed Zem upgrade process result: "));
    EXPECT_LT(log.find("Delete Zem user Logs result: "), log.find("Remove Zem Application result: "));
    EXPECT_NE(systemLog().find("Unload Zem agent result: "), std::string::npos) << systemLog();
}

}  // namespace
