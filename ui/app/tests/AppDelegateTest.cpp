// The app delegate in this process, offscreen, over one temporary root for the program (the
// state-file watcher and the message port are process-wide): the start-up order, the tray switch,
// the menu's items and commands, the menu logout against the client-API test server, and the
// quit path with its guard. Screenshots land in <build>/ui-screenshots.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QAction>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QSystemTrayIcon>
#include <atomic>
#include <filesystem>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "common/account/AccountModel.h"
#include "common/server/ZemServerConfig.h"
#include "messaging/TesselClient.h"
#include "outside/vpnagent/FenwickClient.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/paths/Paths.h"
#include "platform/qt/QtMainQueue.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/ClientApiServer.h"
#include "tests/support/QtTestApp.h"
#include "tests/support/TempRootEnvironment.h"
#include "tests/support/TestFiles.h"
#include "ui/app/AppDelegate.h"
#include "ui/app/SessionAssembly.h"
#include "ui/app/SingleInstance.h"
#include "ui/app/ZemMainWindow.h"
#include "ui/screens/base/CustomMessageBox.h"
#include "ui/screens/base/HuxExportLogController.h"
#include "ui/screens/base/ZemAboutWindowController.h"
#include "ui/screens/base/ZemHelpWebWindowController.h"
#include "ui/screens/bridge/ZemNotificationKeys.h"
#include "ui/screens/bridge/ZemUITesselManager.h"
#include "ui/screens/compliance/ZemMainViewController.h"
#include "ui/screens/controls/Localizable.h"
#include "ui/screens/login/HuxModifyPasswordCtrl.h"
#include "ui/screens/login/LoginTexts.h"
#include "ui/screens/main/HuxMianViewCtrl.h"
#include "ui/screens/main/HuxNavigationCellView.h"
#include "ui/screens/main/HuxNavigationViewCtrl.h"
#include "ui/screens/main/HuxServerSetingWinCtrl.h"
#include "ui/screens/tools/ZemToolModel.h"
#include "ui/screens/tools/ZemTrustAppCell.h"
#include "ui/session/login/RavAvizaLoginHelper.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qttest::saveScreenshot;
using qttest::waitFor;

const auto* kRoot = testsupport::tempRootEnvironment("hux-app");

QString localized(const char* key) {
    return Localizable::localizedString(QString::fromLatin1(key));
}

class AppDelegateTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qttest::qtApp();
        mainQueue_ = std::make_unique<QtMainQueue>();
        testsupport::capturedLog().clear();
        ::setenv("HOME", "/root", 1);
        root_ = testsupport::TempRootEnvironment::path();
        testsupport::signInAtScreen(root_, "root");
        fs::create_directories(root_ + "/root");
        fs::create_directories(paths::machineSupportFolder());
        fs::remove(hideSwitch());
        common::AccountModel::deleteCurrentModel();
        hux::SessionPeers peers;
        peers.vpnRunning = [] { return false; };
        hux::RavAvizaLoginHelper::sharedInstance().setPeers(peers);
    }
    void TearDown() override {
        delegate_.reset();
        mainQueue_.reset();
    }

    AppDelegate& launch(AppDelegate::Options options = {}) {
        if (!options.exitProcess) options.exitProcess = [this](int status) { exits_.push_back(status); };
        if (!options.startWatchdog) options.startWatchdog = [this] { ++watchdogStarts_; };
        delegate_ = std::make_unique<AppDelegate>(options);
        bool checked = false;
        QObject scope;
        QObject::connect(delegate_.get(), &AppDelegate::trayChecked, &scope, [&checked] { checked = true; });
        delegate_->applicationDidFinishLaunching();
        EXPECT_TRUE(waitFor([&] { return checked; }));
        return *delegate_;
    }
    std::string hideSwitch() const { return paths::machineSupportFolder() + "/hidezemswitch.archive"; }
    void setHideSwitch(const std::string& value) {
        ASSERT_TRUE(archive::archiveRootObjectToFile(archive::Value(value), hideSwitch()));
    }
    // The watcher's notice, from another thread as the watcher posts it; waits for the switch.
    void postHideNotice() {
        bool checked = false;
        QObject scope;
        QObject::connect(delegate_.get(), &AppDelegate::trayChecked, &scope, [&checked] { checked = true; });
        std::thread([] {
            dispatch::NotificationCenter::defaultCenter().post(hux::HideTrayForConfigNotificationKey);
        }).join();
        EXPECT_TRUE(waitFor([&] { return checked; }));
    }
    void storeRecord() {
        common::AccountModel record;
        record.userid = "u7";
        record.setTicket("TK-1");
        record.loginType = 1;
        ASSERT_TRUE(record.save());
    }
    void configure(int port) {
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            archive::Array{archive::Array{"127.0.0.1", std::to_string(port)},
                           archive::Array{"127.0.0.1", std::to_string(port)},
                           archive::Array{"127.0.0.1", std::to_string(port)}},
            paths::serverConfigFile()));
        common::ZemServerConfig::sharedInstance().updateServerConfig();
    }
    void settle() {
        bool done = false;
        dispatch::WorkQueue::main()->dispatch([&done] { done = true; });
        ASSERT_TRUE(waitFor([&] { return done; }));
    }

    std::string root_;
    testsupport::EnvGuard home_{{"HOME"}};
    std::unique_ptr<QtMainQueue> mainQueue_;
    std::unique_ptr<AppDelegate> delegate_;
    std::vector<int> exits_;
    int watchdogStarts_ = 0;
};

TEST_F(AppDelegateTest, StartUpOpensThePortShowsTheTrayAndStartsTheWatchdogThirtySecondsLater) {
    dispatch::ManualTime time;
    AppDelegate& app = launch();
    EXPECT_TRUE(testsupport::capturedLog().has("----------start Hux-----------"));
    EXPECT_EQ(app.terminateCode(), -1);
    ASSERT_NE(app.statusItem(), nullptr);
    EXPECT_EQ(app.statusItem()->contextMenu(), app.statusMenu());
    EXPECT_FALSE(app.statusItem()->icon().isNull());
    ASSERT_NE(app.mainWindow(), nullptr);
    EXPECT_TRUE(app.mainWindow()->isVisible());
    EXPECT_EQ(app.activationPolicy(), AppDelegate::ActivationPolicy::Regular);
    EXPECT_FALSE(app.logoutItem()->isEnabled()) << "nobody is signed in";
    EXPECT_FALSE(app.modifyPasswordItem()->isEnabled());
    EXPECT_TRUE(fs::exists(root_ + "/root/Library/Application Support/RavAvizaL/soleid.archive"))
        << "a login nonce when nobody is signed in";
    saveScreenshot(*app.mainWindow(), "app-main-window");

    tessel::TesselClient client;
    client.setUserScope(::geteuid());
    client.setSendTimeout(5);
    client.setReceiveTimeout(5);
    uint64_t code = 0;
    EXPECT_EQ(client.sendMessageWithName(hux::ZemUITesselManager::kListeningKey, {'x'}, 3, &code),
              std::optional<std::vector<uint8_t>>(std::vector<uint8_t>{'0'}));

    time.advance(29s);
    settle();
    EXPECT_EQ(watchdogStarts_, 0);
    time.advance(1s);
    ASSERT_TRUE(waitFor([&] { return watchdogStarts_ == 1; }));
}

TEST_F(AppDelegateTest, TraySwitchFollowsTheHideFile) {
    setHideSwitch("1");
    AppDelegate& app = launch();
    EXPECT_EQ(app.statusItem(), nullptr) << "hidden at start: no status item";
    EXPECT_FALSE(app.mainWindow()->isVisible());
    EXPECT_EQ(app.activationPolicy(), AppDelegate::ActivationPolicy::Accessory);

    setHideSwitch("0");
    postHideNotice();
    ASSERT_NE(app.statusItem(), nullptr);
    QSystemTrayIcon* item = app.statusItem();
    EXPECT_TRUE(app.mainWindow()->isVisible());
    EXPECT_EQ(app.activationPolicy(), AppDelegate::ActivationPolicy::Regular);
    postHideNotice();
    EXPECT_EQ(app.statusItem(), item) << "an existing status item stays";

    setHideSwitch("1");
    postHideNotice();
    EXPECT_EQ(app.statusItem(), nullptr);
    EXPECT_FALSE(app.mainWindow()->isVisible());
    EXPECT_EQ(app.activationPolicy(), AppDelegate::ActivationPolicy::Accessory);

    // A second copy's request re-reads the switch, as every activation does.
    fs::remove(hideSwitch());
    bool checked = false;
    QObject scope;
    QObject::connect(&app, &AppDelegate::trayChecked, &scope, [&checked] { checked = true; });
    app.activateFromOtherInstance();
    ASSERT_TRUE(waitFor([&] { return checked; }));
    EXPECT_NE(app.statusItem(), nullptr);
    EXPECT_TRUE(app.mainWindow()->isVisible());
}

TEST_F(AppDelegateTest, ClosingTheMainWindowLeavesTheStatusItemAndItsClickBringsItBack) {
    AppDelegate& app = launch();
    app.mainWindow()->close();
    EXPECT_FALSE(app.mainWindow()->isVisible());
    EXPECT_EQ(app.activationPolicy(), AppDelegate::ActivationPolicy::Accessory);
    EXPECT_NE(app.statusItem(), nullptr);
    app.statusItemDidCliked();
    EXPECT_TRUE(app.mainWindow()->isVisible());
    EXPECT_EQ(app.activationPolicy(), AppDelegate::ActivationPolicy::Regular);
}

TEST_F(AppDelegateTest, PasswordAndLogoutItemsAreEnabledOnlyWhileSignedIn) {
    AppDelegate& app = launch();
    EXPECT_FALSE(app.logoutItem()->isEnabled());
    storeRecord();
    LoginTexts::setItemsHiddenMenu();
    EXPECT_TRUE(app.logoutItem()->isEnabled()) << "the login screens' refresh after a sign-in";
    common::AccountModel::deleteCurrentModel();
    app.setItemsHiddenMenu();
    storeRecord();
    emit app.statusMenu()->aboutToShow();
    EXPECT_TRUE(app.logoutItem()->isEnabled());
    EXPECT_TRUE(app.modifyPasswordItem()->isEnabled());
    EXPECT_TRUE(app.quitItem()->isEnabled());
    common::AccountModel::deleteCurrentModel();
    EXPECT_TRUE(app.validateMenuItem(app.aboutItem()));
    EXPECT_FALSE(app.logoutItem()->isEnabled());
}

TEST_F(AppDelegateTest, MenuLogoutPostsTheReturnOrShowsTheServersWord) {
    testsupport::ClientApiServer server(root_ + "/server");
    ASSERT_GT(server.port(), 0);
    configure(server.port());
    AppDelegate& app = launch();
    std::vector<std::optional<int64_t>> posted;
    auto observer = dispatch::NotificationCenter::defaultCenter().addObserver(
        hux::UpdateLogoutStatusNotificationKey, nullptr,
        [&posted](const dispatch::Notification& n) { posted.push_back(n.object.integer()); });

    storeRecord();
    emit app.statusMenu()->aboutToShow();
    bool finished = false;
    QObject scope;
    QObject::connect(&app, &AppDelegate::logoutFinished, &scope, [&finished] { finished = true; });
    app.logoutClick();
    ASSERT_TRUE(waitFor([&] { return finished; }, 20s));
    EXPECT_EQ(posted, (std::vector<std::optional<int64_t>>{0}));
    EXPECT_FALSE(app.logoutItem()->isEnabled());
    EXPECT_TRUE(testsupport::capturedLog().contains("[ZemDetailWindow] RavAviza logout ret:0 msg:"));
    auto body = server.lastBody("/api/public/clientlogin/logout");
    ASSERT_TRUE(body);
    EXPECT_EQ((*body)["userid"], "u7");
    EXPECT_EQ((*body)["ticket"], "TK-1");
    EXPECT_EQ((*body)["msg"], "logout");
    for (const char* key : {"mac", "ip", "deviceid"}) EXPECT_TRUE(body->contains(key)) << key;

    // A refusal shows the server's message and posts nothing.
    server.script({{"/api/public/clientlogin/logout", {{{"json", {{"ret", 5}, {"msg", "try later"}}}}}}});
    storeRecord();
    finished = false;
    app.logoutClick();
    ASSERT_TRUE(waitFor([&] { return finished && app.lastAlert(); }, 20s));
    EXPECT_EQ(posted.size(), 1u);
    QWidget* box = app.lastAlert()->window();
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(app.lastAlert()->messageLabel()->text(), "try later");
    EXPECT_EQ(app.lastAlert()->titleLabel()->text(), localized("Warnning"));
    EXPECT_EQ(box->parentWidget(), app.window()) << "a child window of the main window";
    EXPECT_TRUE(box->isVisible());
    saveScreenshot(*box, "app-logout-refused");
    EXPECT_TRUE(testsupport::capturedLog().contains("[ZemDetailWindow] RavAviza logout ret:5 msg:try later"));
    dispatch::NotificationCenter::defaultCenter().removeObserver(observer);
}

TEST_F(AppDelegateTest, QuitEndsTheAppWithoutAnAgentAndTheGuardHoldsOneRequest) {
    AppDelegate& app = launch();
    app.setTerminateCode(1);
    app.terminate();
    EXPECT_TRUE(exits_.empty()) << "the guard holds the first request";
    EXPECT_EQ(app.terminateCode(), 0);
    ASSERT_TRUE(app.terminateWarning());
    EXPECT_EQ(app.terminateWarning()->text(), localized("ForbidenExit"));
    saveScreenshot(*app.terminateWarning(), "app-terminate-warning");
    app.terminateWarning()->close();

    app.setTerminateCode(4);
    app.applicationDockMenu();
    EXPECT_EQ(app.terminateCode(), 0);
    EXPECT_TRUE(testsupport::capturedLog().has("terminateCode: 0"));

    // No agent process: the quit path ends at once.
    app.menuQuit();
    ASSERT_TRUE(waitFor([&] { return !exits_.empty(); }));
    EXPECT_EQ(exits_, std::vector<int>{0});
    EXPECT_TRUE(testsupport::capturedLog().has("applicationShouldTerminate isCanTerminated : 0"));
}

TEST_F(AppDelegateTest, QuitWaitsForTheAgentStopBeforeItEnds) {
    std::function<void()> stopDone;
    AppDelegate::Options options;
    options.stopVpnAgent = [&stopDone](std::function<void()> done) { stopDone = std::move(done); };
    AppDelegate& app = launch(options);
    app.menuQuit();
    ASSERT_TRUE(stopDone);
    settle();
    EXPECT_TRUE(exits_.empty());
    stopDone();
    EXPECT_EQ(exits_, std::vector<int>{0});
}

TEST_F(AppDelegateTest, AboutAndHelpWindowsAreCentredOverTheMainWindow) {
    AppDelegate& app = launch();
    app.mainWindow()->move(200, 100);
    const QRect main = app.mainWindow()->frameGeometry();

    app.tapAboutItem();
    ZemAboutWindowController* about = app.aboutWindow();
    ASSERT_NE(about, nullptr);
    QWidget* aboutWindow = about->window();
    EXPECT_TRUE(aboutWindow->isVisible());
    EXPECT_EQ(aboutWindow->pos(), AppDelegate::getFrameOriginOfWindow(aboutWindow->frameGeometry(), main));
    saveScreenshot(*aboutWindow, "app-about-window");
    aboutWindow->move(5, 5);
    app.tapAboutItem();
    EXPECT_EQ(app.aboutWindow(), about) << "an open about window is only brought forward";
    EXPECT_EQ(aboutWindow->pos(), QPoint(5, 5));

    app.tapHelp();
    QWidget* help = ZemHelpWebWindowController::sharedInstance().window();
    EXPECT_TRUE(help->isVisible());
    EXPECT_EQ(help->size(), QSize(920, 600));
    EXPECT_EQ(help->pos(),
              QPoint(main.x() + 50 + (main.width() - 920) / 2, main.y() + 50 + (main.height() - 600) / 2));
    help->close();
}

TEST_F(AppDelegateTest, CentringRuleAndHelpWithoutAMainWindow) {
    EXPECT_EQ(AppDelegate::getFrameOriginOfWindow(QRect(0, 0, 100, 50), QRect(10, 20, 300, 250)),
              QPoint(110, 120));
    EXPECT_EQ(AppDelegate::getFrameOriginOfWindow(QRect(0, 0, 920, 600), QRect()), QPoint(-460, -300));
    AppDelegate& app = launch();
    delete app.mainWindow();
    app.tapHelp();
    EXPECT_EQ(ZemHelpWebWindowController::sharedInstance().window()->pos(), QPoint(-410, -250));
    ZemHelpWebWindowController::sharedInstance().window()->close();
}

TEST_F(AppDelegateTest, ServerAndExportSheetsOpenOnTheMainWindow) {
    AppDelegate& app = launch();
    app.ConfigureServerClick();
    HuxServerSetingWinCtrl* sheet = app.setingWinCtrl();
    EXPECT_TRUE(sheet->isSheetShown());
    EXPECT_TRUE(sheet->savebtn()->isChecked());
    EXPECT_EQ(sheet->window()->parentWidget(), app.window());
    saveScreenshot(*sheet->window(), "app-server-sheet");
    sheet->cancelButtonPush();
    EXPECT_FALSE(sheet->isSheetShown());
    app.ConfigureServerClick();
    EXPECT_EQ(app.setingWinCtrl(), sheet) << "one sheet controller, reused";
    sheet->cancelButtonPush();

    app.excludeLogs();
    EXPECT_TRUE(app.exportLogCtrl()->isSheetShown());
    app.exportLogCtrl()->cancelAction();

    app.modifyPasswordClick();
    HuxModifyPasswordCtrl* password = app.modifypasswordWinCtrl();
    EXPECT_TRUE(password->isVisible());
    EXPECT_TRUE(password->savebtn()->isChecked());
    EXPECT_EQ(password->windowModality(), Qt::WindowModal);
    EXPECT_EQ(password->parentWidget(), app.window());
    saveScreenshot(*password, "app-password-sheet");
    password->reject();
}

TEST_F(AppDelegateTest, BundleNamesTheMainScreenFlavour) {
    const std::string info = paths::uiAppBundle() + "/Contents/Info.plist";
    fs::remove(info);
    EXPECT_EQ(ZemMainWindow::flavourFromBundle(), ZemMainWindow::Flavour::Hux);
    testsupport::writeFile(info,
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                           "<key>NSMainNibFile</key><string>ZemMainViewController</string></dict></plist>\n");
    EXPECT_EQ(ZemMainWindow::flavourFromBundle(), ZemMainWindow::Flavour::Compliance);

    AppDelegate& app = launch();
    ASSERT_EQ(app.mainWindow()->flavour(), ZemMainWindow::Flavour::Compliance);
    EXPECT_EQ(app.mainWindow()->contentViewController(), nullptr);
    EXPECT_TRUE(qobject_cast<ZemMainViewController*>(app.mainWindow()->contentView()));
    EXPECT_TRUE(app.mainWindow()->isVisible());
    saveScreenshot(*app.mainWindow(), "app-main-window-compliance");
    fs::remove(info);
}

// Markup in the server's, a file's or a user's text: shown as typed, never drawn, loaded or linked.
const QString kMarkup = QStringLiteral(
    "<img src='file:///usr/share/pixmaps/x.png'><b>Mail</b> <a href='file:///etc/passwd'>link</a>");

void expectShownAsTyped(const QLabel* label, const QString& text) {
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->textFormat(), Qt::PlainText) << label->objectName().toStdString();
    EXPECT_EQ(label->text(), text) << label->objectName().toStdString();
}

TEST_F(AppDelegateTest, OutsideTextsAreShownAsTyped) {
    CustomMessageBox box;
    box.setTitle(kMarkup, kMarkup, 1, QStringLiteral("OK"), QString());
    expectShownAsTyped(box.titleLabel(), kMarkup);
    expectShownAsTyped(box.messageLabel(), kMarkup);

    ASSERT_TRUE(archive::archiveRootObjectToFile(
        archive::Array{archive::Dictionary{{"appname", kMarkup.toStdString()},
                                           {"app_serialnum", int64_t{1}},
                                           {"desturl", "https://mail.example.com"}}},
        paths::machineSupportFolder() + "/appmgrlist.archive"));
    HuxNavigationViewCtrl navigation;
    ASSERT_TRUE(waitFor([&] { return navigation.cellAt(0) != nullptr; }));
    expectShownAsTyped(navigation.cellAt(0)->titleLb(), kMarkup);

    auto category = ZemCategoryMode::initWithDictionary(
        archive::Dictionary{{"categoryname", kMarkup.toStdString()}, {"appname", kMarkup.toStdString()}});
    ASSERT_TRUE(category);
    QWidget parent;
    ZemTrustAppCell* trusted = ZemTrustAppCell::initWithModel(category, &parent);
    expectShownAsTyped(trusted->categoryLable(), kMarkup + QStringLiteral("\uFF1A"));
    expectShownAsTyped(trusted->appNameLable(), kMarkup);
}

// Every strings table the app carries, with its entries in file order: a key has one text, so the
// menu and the screens never show another screen's text for it.
TEST(AppStrings, NoKeyHasTwoTexts) {
    QHash<QString, QStringList> places;
    QDirIterator files(QStringLiteral(":/"), {QStringLiteral("*.strings")}, QDir::Files,
                       QDirIterator::Subdirectories);
    int tables = 0;
    while (files.hasNext()) {
        const QString path = files.next();
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        ++tables;
        for (const auto& [key, value] : Localizable::parseStringsEntries(QString::fromUtf8(file.readAll())))
            places[key].append(path + QStringLiteral(": ") + value);
    }
    EXPECT_EQ(tables, 1) << "one table per language";
    for (auto it = places.cbegin(); it != places.cend(); ++it)
        EXPECT_EQ(it.value().size(), 1)
            << it.key().toStdString() << " in " << it.value().join("; ").toStdString();
}

TEST_F(AppDelegateTest, MenuAndServerPageReadTheSameConfigureServerText) {
    AppDelegate& app = launch();
    EXPECT_EQ(app.configureServerItem()->text(), QStringLiteral("Configure Server"));
    EXPECT_EQ(app.exportLogItem()->text(), localized("ExportLog"));
    HuxMianViewCtrl* page = app.mainWindow()->contentViewController();
    ASSERT_TRUE(page);
    EXPECT_EQ(page->saveServerBtn()->title(), app.configureServerItem()->text());
}

TEST(SessionAssembly, PeersReachTheTicketServiceTheAgentClientAndAdmission) {
    hux::SessionPeers peers = hux::appSessionPeers();
    EXPECT_TRUE(peers.runTicketXPC);
    EXPECT_TRUE(peers.closeQznServerXpc);
    EXPECT_TRUE(peers.admissionFollowUp);
    EXPECT_FALSE(peers.vpnRunning) << "the session's own look for the agent process";
    ASSERT_TRUE(peers.requestAccess && peers.stopAgent);

    // A stop without an access grant first reports an error instead of reaching no client.
    std::optional<hux::Error> stopError;
    peers.stopAgent([&](int64_t, hux::Reply, hux::Error error) { stopError = error; });
    ASSERT_TRUE(stopError);
    EXPECT_TRUE(stopError->has_value());

    // This build's agent client refuses access.
    std::atomic<int64_t> access{-1};
    peers.requestAccess([&](int64_t code) { access = code; });
    ASSERT_TRUE(testsupport::eventually([&] { return access.load() != -1; }));
    EXPECT_EQ(access.load(), FenwickStandIn::kRefusedCode);
}

TEST(SingleInstance, SecondCopyFindsTheFirstAndNeverSignalsItself) {
    testsupport::signInAtScreen(testsupport::TempRootEnvironment::path(), "root");
    hux::SingleInstance first;
    ASSERT_TRUE(first.acquire(::geteuid()));
    hux::SingleInstance second;
    std::optional<pid_t> holder;
    EXPECT_FALSE(second.acquire(::geteuid(), &holder));
    EXPECT_EQ(holder, std::optional<pid_t>(::getpid()));
    EXPECT_FALSE(hux::SingleInstance::activate(::getpid()));
}

}  // namespace
