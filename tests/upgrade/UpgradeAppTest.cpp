// The upgrade app's delegate, its remote operations and its window, in one process: the
// connection is vended and called over the real socket layer, the window is the real Qt window
// (offscreen) behind the real window service in the user's runtime folder, the daemon's
// connection is vended by the test, and the engine runs against a loopback HTTP server with real
// .deb packages. Screenshots of each window state land in <build>/upgrade-screenshots.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QImage>
#include <QPixmap>
#include <atomic>
#include <functional>
#include <memory>

#include "tests/support/QtTestApp.h"
#include "upgrade/app/AppDelegate.h"
#include "platform/qt/QtMainQueue.h"
#include "upgrade/app/SessionWindow.h"
#include "UpgradeFixture.h"
#include "upgrade/window/VPNLoginProgressView.h"
#include "upgrade/window/WindowService.h"
#include "upgrade/app/ZemIPCConnection.h"
#include "upgrade/window/ZemUpgradeWindow.h"

namespace {

using namespace std::chrono_literals;
using qttest::qtApp;
using qttest::saveScreenshot;

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
    return qttest::waitFor(condition, limit);
}

using namespace upgradetest;
using namespace std::chrono_literals;

// The daemon's side of the window's question: answers the set JSON, or nothing.
class DaemonStandIn {
  public:
    DaemonStandIn() {
        ipc::VendedObject object;
        object.add("getUpgradeStateFromServer",
                   [this](const archive::Array&) -> std::optional<archive::Value> {
                       ++calls;
                       std::lock_guard lock(mutex_);
                       if (!answer_) return archive::Value(archive::Null{});
                       return archive::Value(archive::Data(answer_->begin(), answer_->end()));
                   });
        connection_ = ipc::NamedConnection::vend(ZemViewController::kDaemonConnection, std::move(object));
    }
    ~DaemonStandIn() {
        if (connection_) connection_->invalidate();
    }
    void setAnswer(std::optional<std::string> answer) {
        std::lock_guard lock(mutex_);
        answer_ = std::move(answer);
    }
    bool vended() const { return connection_ != nullptr; }
    std::atomic<int> calls{0};

  private:
    std::mutex mutex_;
    std::optional<std::string> answer_;
    std::shared_ptr<ipc::NamedConnection> connection_;
};

class UpgradeAppTest : public UpgradeFixture {
  protected:
    void SetUp() override {
        UpgradeFixture::SetUp();
        qtApp();
        mainQueue_ = std::make_unique<QtMainQueue>();
        window_ = std::make_unique<ZemUpgradeWindow>();
        window_->setManualAnimationTime(true);
        QObject::connect(window_.get(), &ZemUpgradeWindow::rendered, [this] {
            progressTips_.push_back(window_->progressTip().toStdString());
            if (auto* bar = window_->gradualProgressView()) progressValues_.push_back(bar->progress());
        });
        service_ = std::make_unique<WindowService>(*window_, ::getuid());
        ASSERT_TRUE(service_->start());
        SessionWindow::Options so;
        so.consoleUser = [] {
            return std::optional<WindowUser>(WindowUser{::getuid(), ::getgid(), "root", "/root"});
        };
        so.connectWait = 5000ms;
        session_ = std::make_unique<SessionWindow>(so);
        daemon_ = std::make_unique<DaemonStandIn>();
        ASSERT_TRUE(daemon_->vended());

        AppDelegate::Options options;
        options.engine = helper_.get();
        options.window = session_.get();
        delegate_ = std::make_unique<AppDelegate>(options);
        ASSERT_TRUE(ConnectionManager::sharedInstance().registerUpgradeConnection());
    }

    void TearDown() override {
        // Let flows end, and the main-queue work they queued run, before their owners go.
        EXPECT_TRUE(waitFor([this] { return delegate_->backgroundWork() == 0; }));
        bool drained = false;
        dispatch::WorkQueue::main()->dispatch([&drained] { drained = true; });
        EXPECT_TRUE(waitFor([&] { return drained; }));
        ConnectionManager::sharedInstance().invalidate();
        delegate_.reset();
        session_.reset();
        service_.reset();
        daemon_.reset();
        window_.reset();
        QCoreApplication::processEvents();
        mainQueue_.reset();
        UpgradeFixture::TearDown();
    }

    // Calls a remote operation as the daemon does.
    void callRemote(const std::string& selector, std::optional<std::string> data = std::nullopt) {
        auto proxy = ipc::ConnectionProxy::lookup(ZemIPCConnection::kConnectionName);
        ASSERT_TRUE(proxy);
        archive::Array args;
        if (data) args.push_back(archive::Value(archive::Data(data->begin(), data->end())));
        auto r = proxy->call(selector, args, 5.0);
        ASSERT_TRUE(r.ok()) << r.error;
    }

    bool windowShows(const char* noNewVersionTip) {
        return waitFor([&] { return window_->noNewVersionTip() == QString::fromUtf8(noNewVersionTip); });
    }

    std::string answer(int type, const std::string& url, const std::string& des, const std::string& version) {
        return nlohmann::json{{"type", type}, {"url", url}, {"des", des}, {"version", version}}.dump();
    }

    // A manifest naming a package of the product at version; returns the manifest's URL.
    std::string servePackage(const std::string& version, bool failing = false, bool wrongMd5 = false) {
        std::string md5 = buildPackage("Hux.deb", version, failing);
        if (wrongMd5) md5 = "00000000000000000000000000000000";
        writeManifest(itemXml("Hux.pkg", version, server_->url("/Hux.deb"), md5));
        return server_->url("/update.xml");
    }

    std::unique_ptr<QtMainQueue> mainQueue_;
    std::unique_ptr<ZemUpgradeWindow> window_;
    std::unique_ptr<WindowService> service_;
    std::unique_ptr<SessionWindow> session_;
    std::unique_ptr<DaemonStandIn> daemon_;
    std::unique_ptr<AppDelegate> delegate_;
    std::vector<std::string> progressTips_;
    std::vector<double> progressValues_;
};

TEST_F(UpgradeAppTest, RemoteOperationsStartTheirFlows) {
    struct Case {
        const char* selector;
        bool withOrder;
        const char* startLine;
        // upgradeFrom while the flow runs (the order's manifest download stalls), when observable.
        std::optional<uint64_t> running;
        uint64_t after;
        bool upgradingAfter;  // the user's window flow runs until the window goes
        bool windowShown;
    };
    const Case cases[] = {
        {"startUpgradeApp:", true, "[hiddenUpgradeUIBypForce] start upgrade....", 1, 5, false, false},
        // Download-only leaves upgradeFrom as it was (5 after the previous row's end).
        {"startDownloadUpgradeAndNotInstall:", true, "[hiddenUpgradeUIAndDownloadPKG] start upgrade....", 5,
         5, false, false},
        // No kept package: the silent install ends at once.
        {"startUpgradeByTipForce", false, "[UpgradeForceFromTip]app data is not exist..", std::nullopt, 5,
         false, false},
        // The window's kept-package install fails the same way and leaves the window up.
        {"startUpgradeByTipUser", false, "[showUpgradeUIByTipUser] start upgrade....", std::nullopt, 3, false,
         true},
        {"startUpgradeByUser", false, "[showUpgradeUIByUser] start upgrade....", std::nullopt, 0, true, true},
    };
    const std::string stalling =
        nlohmann::json{{"type", 1}, {"url", server_->url("/stall")}, {"des", ""}, {"wait", 0}}.dump();
    daemon_->setAnswer(R"({"type":3})");
    delegate_->upgradeFrom = 5;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.selector);
        capturedLog().clear();
        callRemote(c.selector, c.withOrder ? std::optional<std::string>(stalling) : std::nullopt);
        ASSERT_TRUE(waitFor([&] { return capturedLog().contains(c.startLine); }));
        if (c.running) {
            EXPECT_TRUE(delegate_->isUpgrading);
            EXPECT_EQ(delegate_->upgradeFrom, *c.running);
        }
        if (c.windowShown) {
            EXPECT_TRUE(waitFor([&] { return window_->isVisible(); }));
        }
        ASSERT_TRUE(waitFor(
            [&] { return delegate_->isUpgrading == c.upgradingAfter && delegate_->upgradeFrom == c.after; }));
        EXPECT_FALSE(delegate_->isInstalling);
    }
    EXPECT_TRUE(windowShows("Zem已是最新版本"));
}

TEST_F(UpgradeAppTest, OnlyMinusOneStartsTheWindowAtLaunch) {
    struct Case {
        std::optional<std::string> secondArgument;
        bool window;
    } cases[] = {{std::nullopt, false}, {"1", false}, {"-1 ", false}, {"-10", false}, {"-1", true}};
    daemon_->setAnswer(R"({"type":3})");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.secondArgument.value_or("(none)"));
        const int calls = daemon_->calls;
        delegate_->applicationDidFinishLaunching(c.secondArgument);
        ASSERT_TRUE(waitFor([&] { return delegate_->backgroundWork() == 0; }));
        if (c.window) {
            EXPECT_TRUE(windowShows("Zem已是最新版本"));
            EXPECT_TRUE(window_->isVisible());
            EXPECT_EQ(daemon_->calls, calls + 1);
            EXPECT_EQ(delegate_->upgradeFrom, 0u);
            EXPECT_TRUE(delegate_->isUpgrading);
        } else {
            EXPECT_FALSE(window_->isVisible());
            EXPECT_EQ(daemon_->calls, calls);
            EXPECT_FALSE(delegate_->isUpgrading);
        }
    }
}

TEST_F(UpgradeAppTest, OrdersWhileASilentFlowRunsAreDropped) {
    const std::string stalling =
        nlohmann::json{{"type", 1}, {"url", server_->url("/stall")}, {"des", ""}, {"wait", 0}}.dump();
    callRemote("startUpgradeApp:", stalling);
    ASSERT_TRUE(waitFor([&] { return delegate_->isUpgrading; }));
    callRemote("startUpgradeApp:", stalling);
    callRemote("startDownloadUpgradeAndNotInstall:", stalling);
    callRemote("startUpgradeByTipForce");
    EXPECT_TRUE(waitFor([] {
        return capturedLog().contains("[hiddenUpgradeUIBypForce]is running upgrade....") &&
               capturedLog().contains("[hiddenUpgradeUIAndDownloadPKG] is running upgrade....") &&
               capturedLog().contains("[hiddenUpgradeUIByTipForce]is running upgrade....");
    }));
    // The window flow starts anyway and takes upgradeFrom over.
    daemon_->setAnswer(R"({"type":3})");
    callRemote("startUpgradeByTipUser");
    ASSERT_TRUE(waitFor([&] { return delegate_->upgradeFrom == 3u; }));
    ASSERT_TRUE(waitFor([&] { return !delegate_->isUpgrading; }));
    // Once no flow runs, an order is taken again: an order that is not JSON ends at once.
    callRemote("startUpgradeApp:", std::string("not json {"));
    ASSERT_TRUE(
        waitFor([] { return capturedLog().count("[hiddenUpgradeUIBypForce] start upgrade....") == 2; }));
    ASSERT_TRUE(waitFor([&] { return !delegate_->isUpgrading && delegate_->upgradeFrom == 5u; }));
    // The first order's flow still ends as its own: one manifest request, then the window is hidden.
    EXPECT_TRUE(waitFor([&] { return delegate_->backgroundWork() == 0; }));
    EXPECT_EQ(server_->requests("/stall"), 1);
}

TEST_F(UpgradeAppTest, WindowShowsTheDaemonsAnswer) {
    struct Case {
        const char* name;
        std::optional<std::string> answer;  // nothing: the daemon is not running
        const char* noNewVersionTip;        // nullptr: hidden
        const char* versionTip;             // nullptr: hidden
        const char* confirm;                // nullptr: hidden
    };
    const std::string url = server_->url("/update.xml");
    // No two cases in a row show the same window: a case's wait is then met only by its own
    // answer, never by the previous case's window while its own answer is still on its way.
    const Case cases[] = {
        {"up-to-date", R"({"type":3})", "Zem已是最新版本", nullptr, "确 定"},
        {"daemon-unreachable", std::nullopt, "连接服务器失败，请重试", nullptr, "重 试"},
        {"new-version", answer(1, url, "", "5.2.0"), "检测到有新版本v5.2.0", nullptr, "立即更新"},
        {"daemon-no-answer", std::string(), "连接服务器失败，请重试", nullptr, "重 试"},
        {"new-version-described", answer(1, url, "修复了若干问题", "5.2.0"), nullptr,
         "新版本特性如下:\n修复了若干问题", "立即更新"},
        {"answer-not-json", std::string("<html>"), "正在检测中...", nullptr, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.answer) {
            daemon_.reset();
        } else {
            if (!daemon_) daemon_ = std::make_unique<DaemonStandIn>();
            ASSERT_TRUE(daemon_->vended());
            daemon_->setAnswer(c.answer->empty() ? std::nullopt : c.answer);
        }
        const int callsBefore = daemon_ ? daemon_->calls.load() : 0;
        delegate_->showUpgradeUIByUser();
        ASSERT_TRUE(waitFor([&] { return window_->isVisible(); }));
        if (daemon_) {
            ASSERT_TRUE(waitFor([&] { return daemon_->calls > callsBefore; }));
        }
        ASSERT_TRUE(waitFor([&] { return delegate_->backgroundWork() == 0; }));
        const char* expectedTip = c.noNewVersionTip;
        ASSERT_TRUE(waitFor([&] {
            bool tip = expectedTip ? window_->noNewVersionTipShown() &&
                                         window_->noNewVersionTip() == QString::fromUtf8(expectedTip)
                                   : !window_->noNewVersionTipShown();
            bool version = c.versionTip ? window_->versionTipShown() &&
                                              window_->versionTip() == QString::fromUtf8(c.versionTip)
                                        : !window_->versionTipShown();
            bool confirm =
                c.confirm ? window_->confirmShown() && window_->confirmTitle() == QString::fromUtf8(c.confirm)
                          : !window_->confirmShown();
            return tip && version && confirm;
        })) << window_->noNewVersionTip().toStdString()
            << " | " << window_->versionTip().toStdString() << " | " << window_->confirmTitle().toStdString();
        EXPECT_FALSE(window_->progressTipShown());
        saveScreenshot(*window_, std::string("window-") + c.name);
    }
    // "重 试" without a known manifest asks the daemon again.
    daemon_.reset();
    daemon_ = std::make_unique<DaemonStandIn>();
    ASSERT_TRUE(daemon_->vended());
    daemon_->setAnswer(std::nullopt);
    delegate_->showUpgradeUIByUser();
    ASSERT_TRUE(windowShows("连接服务器失败，请重试"));
    const int calls = daemon_->calls;
    daemon_->setAnswer(R"({"type":3})");
    window_->pressConfirm();
    ASSERT_TRUE(windowShows("Zem已是最新版本"));
    EXPECT_EQ(daemon_->calls, calls + 1);
    // "确 定" hides the window and ends the flow.
    window_->pressConfirm();
    EXPECT_TRUE(waitFor([&] { return !window_->isVisible() && delegate_->upgradeFrom == 5u; }));
    // An order in progress: the window says so and asks nothing.
    delegate_->upgradeFrom = 1;
    const int before = daemon_->calls;
    delegate_->vcc().startGetUpgradeInfo();
    ASSERT_TRUE(windowShows("正在升级中..."));
    EXPECT_FALSE(window_->confirmShown());
    EXPECT_EQ(daemon_->calls, before);
    saveScreenshot(*window_, "window-order-in-progress");
}

TEST_F(UpgradeAppTest, ConfirmedUpgradeDownloadsAndInstallsWithProgress) {
    buildPackage("old.deb", "5.1.80");
    installDirectly("old.deb");
    daemon_->setAnswer(answer(1, servePackage("5.2.100"), "", "5.2.100"));
    delegate_->showUpgradeUIByUser();
    ASSERT_TRUE(waitFor(
        [&] { return window_->confirmTitle() == QString::fromUtf8("立即更新") && window_->confirmShown(); }));
    bool sawSucceeded = false;
    QObject guard;  // ends the connection with the test's locals
    QObject::connect(window_.get(), &ZemUpgradeWindow::rendered, &guard, [&] {
        if (window_->noNewVersionTip() == QString::fromUtf8("更新成功") && !sawSucceeded) {
            sawSucceeded = true;
            EXPECT_TRUE(window_->confirmShown());
            EXPECT_EQ(window_->confirmTitle(), QString::fromUtf8("确 定"));
            EXPECT_EQ(window_->gradualProgressView(), nullptr);
            saveScreenshot(*window_, "window-succeeded");
        }
        if (window_->progressTip() == QString::fromUtf8("正在下载安装包...") &&
            window_->gradualProgressView())
            saveScreenshot(*window_, "window-downloading");
    });
    progressTips_.clear();
    progressValues_.clear();
    window_->pressConfirm();
    ASSERT_TRUE(
        waitFor([&] { return sawSucceeded && !window_->isVisible() && delegate_->upgradeFrom == 5u; }));
    EXPECT_EQ(installedVersion(), "5.2.100");
    EXPECT_FALSE(fs::exists(pkgPath("Hux", "5.2.100")));
    EXPECT_TRUE(fs::exists(helper_->upgradeInfoFile()));
    EXPECT_FALSE(delegate_->isInstalling);

    // Every step shows its message, in order, and moves the bar by 0.1 from its first 0.1.
    std::vector<std::string> steps;
    for (const auto& t : progressTips_)
        if (!t.empty() && (steps.empty() || steps.back() != t)) steps.push_back(t);
    const std::vector<std::string> expected = {"开始下载配置文件...", "开始解析配置文件...",
                                               "开始下载升级包...", "正在下载安装包...", "开始安装..."};
    ASSERT_GE(steps.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(steps.begin(), steps.begin() + expected.size()), expected);
    ASSERT_FALSE(progressValues_.empty());
    EXPECT_NEAR(progressValues_.front(), 0.1, 1e-6);
    EXPECT_NEAR(*std::max_element(progressValues_.begin(), progressValues_.end()), 0.6, 1e-5);
}

TEST_F(UpgradeAppTest, FailedStepsOfferWhatTheyCan) {
    buildPackage("old.deb", "5.1.80");
    installDirectly("old.deb");
    struct Case {
        const char* name;
        std::function<std::string()> manifest;  // the manifest URL the daemon names
        const char* message;
        bool retryShown;
    };
    const Case cases[] = {
        {"manifest-missing", [&] { return server_->url("/missing.xml"); }, "下载配置文件失败", true},
        {"manifest-not-xml",
         [&] {
             std::ofstream(served_ / "bad.xml") << "not xml <";
             return server_->url("/bad.xml");
         },
         "解析配置文件失败", true},
        {"package-checksum", [&] { return servePackage("5.2.100", false, true); }, "安装包异常", false},
        {"install-fails", [&] { return servePackage("5.2.100", true); }, "更新失败", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string url = c.manifest();
        daemon_->setAnswer(answer(1, url, "", "5.2.100"));
        delegate_->showUpgradeUIByUser();
        ASSERT_TRUE(waitFor([&] {
            return window_->confirmShown() && window_->confirmTitle() == QString::fromUtf8("立即更新");
        }));
        window_->pressConfirm();
        ASSERT_TRUE(waitFor([&] {
            return window_->progressTip() == QString::fromUtf8(c.message) && window_->progressTipShown() &&
                   !delegate_->isUpgrading;
        })) << window_->progressTip().toStdString();
        EXPECT_TRUE(window_->isVisible());
        EXPECT_EQ(window_->gradualProgressView(), nullptr);
        EXPECT_EQ(window_->confirmTitle(), QString::fromUtf8("重 试"));
        EXPECT_EQ(window_->confirmShown(), c.retryShown);
        EXPECT_FALSE(delegate_->isInstalling);
        EXPECT_EQ(installedVersion(), "5.1.80");
        saveScreenshot(*window_, std::string("window-failed-") + c.name);
        if (std::string(c.name) == "manifest-missing") {
            // "重 试" fetches the same manifest again.
            const int requests = server_->requests("/missing.xml");
            window_->pressConfirm();
            ASSERT_TRUE(waitFor([&] { return server_->requests("/missing.xml") == requests + 1; }));
            ASSERT_TRUE(waitFor([&] { return !delegate_->isUpgrading && !window_->gradualProgressView(); }));
        }
    }
}

TEST_F(UpgradeAppTest, CloseIsRefusedWhileTheInstallerRuns) {
    daemon_->setAnswer(R"({"type":3})");
    delegate_->showUpgradeUIByUser();
    ASSERT_TRUE(windowShows("Zem已是最新版本"));
    delegate_->isInstalling = true;
    window_->close();  // the close button
    ASSERT_TRUE(waitFor([&] { return window_->alert() != nullptr && window_->alert()->isVisible(); }));
    EXPECT_EQ(window_->alert()->text(), QString::fromUtf8("不能取消安装"));
    EXPECT_EQ(window_->alert()->windowTitle(), QString("Zem"));
    EXPECT_TRUE(window_->isVisible());
    EXPECT_EQ(delegate_->upgradeFrom, 0u);
    saveScreenshot(*window_, "window-close-refused");
    window_->alert()->accept();

    delegate_->isInstalling = false;
    window_->close();
    ASSERT_TRUE(waitFor([&] { return !window_->isVisible(); }));
    EXPECT_EQ(delegate_->upgradeFrom, 5u);
    EXPECT_FALSE(delegate_->isUpgrading);
    // The app goes on: the connection still takes orders.
    EXPECT_FALSE(delegate_->applicationShouldTerminateAfterLastWindowClosed());
    callRemote("startUpgradeByTipForce");
    EXPECT_TRUE(
        waitFor([] { return capturedLog().contains("[UpgradeForceFromTip]app data is not exist.."); }));
}

TEST_F(UpgradeAppTest, KeptPackageInstallsWithTheWindow) {
    buildPackage("old.deb", "5.1.80");
    installDirectly("old.deb");
    const std::string url = servePackage("5.2.100");
    const std::string order = nlohmann::json{{"type", 5}, {"url", url}, {"des", ""}, {"wait", 0}}.dump();
    ASSERT_EQ(helper_->startDownloadAndNotInstall(order), UpgradeOutcome::PackageKept);

    bool sawInstalling = false;
    QObject guard;  // ends the connection with the test's locals
    QObject::connect(window_.get(), &ZemUpgradeWindow::rendered, &guard, [&] {
        if (window_->noNewVersionTip() == QString::fromUtf8("正在安装中...") &&
            window_->noNewVersionTipShown() && !sawInstalling) {
            sawInstalling = true;
            EXPECT_FALSE(window_->confirmShown());
            saveScreenshot(*window_, "window-installing-kept-package");
        }
    });
    callRemote("startUpgradeByTipUser");
    ASSERT_TRUE(
        waitFor([&] { return sawInstalling && !delegate_->isUpgrading && delegate_->upgradeFrom == 5u; }));
    EXPECT_TRUE(waitFor([&] { return !window_->isVisible(); }));
    EXPECT_EQ(installedVersion(), "5.2.100");

    // Nothing kept any more: the install fails and the window stays up.
    callRemote("startUpgradeByTipUser");
    ASSERT_TRUE(windowShows("安装失败"));
    EXPECT_TRUE(waitFor([&] { return window_->isVisible() && !delegate_->isUpgrading; }));
    EXPECT_FALSE(window_->confirmShown());
    EXPECT_EQ(delegate_->upgradeFrom, 3u);
    saveScreenshot(*window_, "window-kept-package-failed");
}

TEST(UpgradeProgressViewTest, ColoursRotateOneStepPerAnimationOnManualTime) {
    qtApp();
    QWidget parent;
    parent.resize(640, 360);
    VPNLoginProgressView bar(QRect(160, 266, 320, 4), &parent);
    bar.setManualTime(true);
    // The gradient: 91 colours, hue 0, 4, .. 360 degrees, fully saturated and bright.
    ASSERT_EQ(bar.colors().size(), 91);
    // Creation ran the first animation, which moved the last colour to the front.
    const QList<QColor> first = bar.colors();
    EXPECT_EQ(first[1], QColor::fromHsvF(0, 1, 1, 1));
    EXPECT_EQ(first[2], QColor::fromHsvF(4 / 360.0, 1, 1, 1));
    bar.advance(250ms);
    EXPECT_EQ(bar.colors(), first);
    bar.advance(250ms);
    QList<QColor> rotated = first;
    rotated.push_front(rotated.takeLast());
    EXPECT_EQ(bar.colors(), rotated);
    bar.advance(1500ms);  // three more steps
    for (int i = 0; i < 3; ++i) rotated.push_front(rotated.takeLast());
    EXPECT_EQ(bar.colors(), rotated);
    EXPECT_EQ(bar.animationsRun(), 5);

    bar.stopAnimation();
    bar.advance(5000ms);
    EXPECT_EQ(bar.colors(), rotated);
    EXPECT_TRUE(bar.isStopAnimation());
}

TEST(UpgradeProgressViewTest, ProgressIsAMagnitudeCappedAtOne) {
    qtApp();
    QWidget parent;
    VPNLoginProgressView bar(QRect(0, 0, 200, 4), &parent);
    bar.setManualTime(true);
    struct Case {
        double value, progress;
        int maskWidth;
    } cases[] = {{0.25, 0.25, 50}, {-0.3, 0.3, 60}, {1.7, 1.0, 200}, {1.0, 1.0, 200}, {0, 0, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        bar.setProgress(c.value);
        EXPECT_DOUBLE_EQ(bar.progress(), c.progress);
        EXPECT_EQ(bar.maskWidth(), c.maskWidth);
    }
}

}  // namespace
