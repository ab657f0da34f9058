// The upgrade app as a real process in a temporary root: its root check, one instance at a time,
// and the daemon's side (ZemIPCManager) starting it when needed and handing it orders that end in
// a real package install.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <thread>

#include "upgrade/app/InstanceGuard.h"
#include "upgrade/app/SessionWindow.h"
#include "UpgradeFixture.h"
#include "upgrade/app/ZemIPCConnection.h"
#include "daemon/peers/ZemIPCManager.h"

using hollin::ZemIPCManager;

namespace {

using namespace upgradetest;
using namespace std::chrono_literals;

// Installs and process starts on a loaded machine: waits are long, and end as soon as the
// condition holds.
constexpr auto kLong = 60s;
using testsupport::eventually;

class UpgradeProcessTest : public UpgradeFixture {
  protected:
    void SetUp() override {
        UpgradeFixture::SetUp();
        // The product's bundle with the upgrade app, and the installer stand-in in the tool folder.
        fs::create_directories(paths::uiAppResources());
        fs::copy(UPGRADE_APP_BUNDLE, paths::uiAppResources() + "/Perrow.app", fs::copy_options::recursive);
        fs::create_directories(paths::toolFolder());
        fs::copy_file(UPGRADE_INSTALLER, paths::toolFolder() + "/installer");
        ZemIPCManager::installUpgradeCopy(paths::uiAppResources() + "/Perrow.app");
    }

    void TearDown() override {
        // Every upgrade app of this root ends with the test.
        for (pid_t pid : apps()) ::kill(pid, SIGKILL);
        EXPECT_TRUE(eventually([&] { return apps().empty(); }, 20s));
        for (pid_t pid : children_) ::waitpid(pid, nullptr, 0);
        UpgradeFixture::TearDown();
    }

    // Running instances of the app. A child the app has forked but not yet turned into another
    // program (the installer, dpkg) still shows the app's executable: it is not an instance.
    std::vector<pid_t> apps() {
        std::vector<pid_t> live;
        for (pid_t pid : instance::olderInstances(paths::upgradeAppExecutable()))
            if (testsupport::alive(pid) && instance::executableOf(pid) == paths::upgradeAppExecutable())
                live.push_back(pid);
        std::erase_if(live, [&](pid_t pid) { return std::ranges::count(live, parentOf(pid)) > 0; });
        return live;
    }

    static pid_t parentOf(pid_t pid) {
        // The fourth field of /proc/PID/stat, after the command name in parentheses.
        const std::string stat = testsupport::readText("/proc/" + std::to_string(pid) + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos) return 0;
        int parent = 0;
        char state = 0;
        return std::sscanf(stat.c_str() + close + 1, " %c %d", &state, &parent) == 2 ? parent : 0;
    }

    pid_t startApp(std::vector<std::string> args = {"-upgrade"}) {
        spawn::Options o;
        o.program = paths::upgradeAppExecutable();
        o.argv = {o.program};
        o.argv.insert(o.argv.end(), args.begin(), args.end());
        auto child = spawn::start(o);
        EXPECT_TRUE(child);
        if (!child) return -1;
        children_.push_back(child->pid);
        return child->pid;
    }

    static bool connectionAnswers() {
        auto proxy = ipc::ConnectionProxy::lookup(ZemIPCConnection::kConnectionName);
        return proxy && proxy->call("startUpgradeByTipForce", {}, 5.0).ok();
    }

    static std::string appLog() {
        return testsupport::readText(paths::daemonLogsFolder() + "/Perrow-Info-1.log");
    }
    static int countOf(const std::string& text, const std::string& part) {
        int n = 0;
        for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
        return n;
    }

    // Hands the app an order as the daemon does, again while it still ends its previous flow (it
    // drops orders that come meanwhile), until the order starts its flow.
    bool handOrder(ZemIPCManager& daemon, int type, int started) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            daemon.upgradeIPC(order(type), type);
            if (eventually(
                    [&] {
                        return countOf(appLog(), "[hiddenUpgradeUIBypForce] start upgrade....") >= started;
                    },
                    5s))
                return true;
        }
        return false;
    }

    std::vector<pid_t> children_;
};

TEST_F(UpgradeProcessTest, NonRootStartReturnsMinusOneAndTouchesNothing) {
    const pid_t running = startApp();
    ASSERT_TRUE(eventually(connectionAnswers, kLong));

    // A copy of the program where another user may run it.
    const testsupport::TempFolder copy("upgrade-nonroot", 0755);
    const std::string dir = copy.path();
    fs::copy_file(paths::upgradeAppExecutable(), dir + "/Marlet");
    spawn::Options o;
    o.program = dir + "/Marlet";
    o.argv = {o.program, "-upgrade"};
    o.user = spawn::User{65534, 65534, {}};
    spawn::RunLimits limits;
    limits.deadline = 20s;
    auto r = spawn::run(o, limits);
    ASSERT_TRUE(r.waitStatus) << r.spawnError;
    EXPECT_EQ(spawn::exitStatusFromWait(*r.waitStatus), 255);  // -1
    EXPECT_TRUE(testsupport::alive(running));
    EXPECT_TRUE(connectionAnswers());
}

TEST_F(UpgradeProcessTest, NewInstanceEndsTheOlderOneAndVendsTheConnection) {
    const pid_t first = startApp();
    ASSERT_TRUE(eventually(connectionAnswers, kLong));
    const pid_t second = startApp({"-upgrade", "1"});
    int status = 0;
    ASSERT_EQ(::waitpid(first, &status, 0), first);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    std::erase(children_, first);
    EXPECT_TRUE(eventually(connectionAnswers, kLong));
    EXPECT_EQ(apps(), std::vector<pid_t>{second});
}

TEST_F(UpgradeProcessTest, DaemonStartsTheAppWhenNeededAndItsOrdersArrive) {
    buildPackage("old.deb", "5.1.80");
    installDirectly("old.deb");
    const std::string md5 = buildPackage("Hux.deb", "5.1.100");
    writeManifest(itemXml("Hux.pkg", "5.1.100", server_->url("/Hux.deb"), md5));

    // Not running, and not even copied to its place: the daemon copies it, starts it and retries
    // until the connection answers.
    fs::remove_all(paths::appUpgradeFolder() + "/Perrow.app");
    ASSERT_TRUE(apps().empty());
    ZemIPCManager::Options options;
    ZemIPCManager daemon(options);
    daemon.upgradeIPC(order(2), 2);
    ASSERT_EQ(apps().size(), 1u);
    const pid_t app = apps().front();
    EXPECT_TRUE(eventually([&] { return installedVersion() == "5.1.100"; }, kLong));
    EXPECT_TRUE(eventually([&] { return !fs::exists(pkgPath("Hux", "5.1.100")); }, kLong));

    // Running: the next order goes to the same process.
    const std::string md5b = buildPackage("Hux2.deb", "5.1.120");
    writeManifest(itemXml("Hux.pkg", "5.1.120", server_->url("/Hux2.deb"), md5b));
    ASSERT_TRUE(handOrder(daemon, 1, 2));
    EXPECT_TRUE(eventually([&] { return installedVersion() == "5.1.120"; }, kLong));
    EXPECT_EQ(apps(), std::vector<pid_t>{app});

    // A package that fails to install: the old version stays and the app's log says so.
    const std::string md5c = buildPackage("Hux3.deb", "5.1.130", true);
    writeManifest(itemXml("Hux.pkg", "5.1.130", server_->url("/Hux3.deb"), md5c));
    ASSERT_TRUE(handOrder(daemon, 2, 3));
    EXPECT_TRUE(eventually(
        [&] { return server_->requests("/Hux3.deb") == 1 && fs::exists(pkgPath("Hux", "5.1.130")); },
        kLong));
    EXPECT_TRUE(eventually([&] { return appLog().find("install Zem failed") != std::string::npos; }, kLong));
    EXPECT_EQ(installedVersion(), "5.1.120");
}

TEST_F(UpgradeProcessTest, WindowProcessComesUpInTheUsersSessionWhenShown) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    const std::string program = paths::appUpgradeFolder() + "/Perrow.app/Contents/MacOS/PerrowWindow";
    auto windows = [&] {
        std::vector<pid_t> found;
        for (const auto& e : fs::directory_iterator("/proc")) {
            pid_t pid = static_cast<pid_t>(std::atoi(e.path().filename().c_str()));
            if (pid > 0 && testsupport::alive(pid) && instance::executableOf(pid) == program)
                found.push_back(pid);
        }
        return found;
    };
    {
        SessionWindow::Options options;
        options.program = program;
        options.consoleUser = [] {
            return std::optional<WindowUser>(WindowUser{::getuid(), ::getgid(), "root", "/root"});
        };
        SessionWindow window(options);
        // Drawing alone starts nothing; showing starts the window process and connects to it.
        WindowState state;
        state.content = WindowState::Content::Upgrade;
        state.noNewVersionTipLabel = {"正在检测中...", false};
        window.render(state);
        window.show(true);
        ASSERT_TRUE(eventually([&] { return windows().size() == 1; }, 30s));
        ASSERT_TRUE(eventually(
            [&] {
                return fs::exists(ipc::socketPath(ipc::ServiceKind::Xpc, SessionWindow::kWindowService,
                                                  ipc::Scope::ofUser(::getuid())));
            },
            30s));
        // Another show reuses the running window.
        window.show(false);
        window.alert("不能取消安装");
        EXPECT_EQ(windows().size(), 1u);
    }
    // The root app's side gone, the window process ends.
    EXPECT_TRUE(eventually([&] { return windows().empty(); }, 30s));
    ::unsetenv("QT_QPA_PLATFORM");
}

}  // namespace
