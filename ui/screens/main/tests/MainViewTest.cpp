// The main window's pages offscreen over a temporary root: the server page's checks, its save
// and ping against the client-API test server, the start-up ticket poll, the returns to the first
// page, the navigation list and the server sheet. Delays run on manual time. Screenshots of each
// state land in <build>/ui-screenshots.
#include <gtest/gtest.h>

#include <QLabel>
#include <QProgressBar>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/account/AccountModel.h"
#include "common/server/ZemServerConfig.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/paths/Paths.h"
#include "platform/qt/QtMainQueue.h"
#include "tests/support/CapturingLog.h"
#include "tests/support/ClientApiServer.h"
#include "tests/support/QtTestApp.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "ui/screens/base/AppWindows.h"
#include "ui/screens/base/UrlOpener.h"
#include "ui/screens/bridge/ZemNotificationKeys.h"
#include "ui/screens/controls/CustomButton.h"
#include "ui/screens/controls/Localizable.h"
#include "ui/screens/controls/ZemTextField.h"
#include "ui/screens/login/HuxLoginStateViewCtrl.h"
#include "ui/screens/main/HuxMianViewCtrl.h"
#include "ui/screens/main/HuxNavigationCellView.h"
#include "ui/screens/main/HuxNavigationViewCtrl.h"
#include "ui/screens/main/HuxServerSetingWinCtrl.h"
#include "ui/screens/main/NavigationList.h"
#include "ui/session/login/RavAvizaLoginHelper.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using qttest::saveScreenshot;
using qttest::waitFor;

constexpr const char* kTicketPath = "/api/public/clientlogin/ticket_auth";

QString localized(const char* key) {
    return Localizable::localizedString(QString::fromLatin1(key));
}

class MainViewTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qttest::qtApp();
        mainQueue_ = std::make_unique<QtMainQueue>();
        testsupport::capturedLog().clear();
        ::setenv("HOME", "/root", 1);
        root_.signInAtScreen("root");
        fs::create_directories(root_.at("/root"));
        fs::create_directories(paths::machineSupportFolder());
        hux::SessionPeers peers;
        peers.vpnRunning = [] { return false; };
        hux::RavAvizaLoginHelper::sharedInstance().setPeers(peers);
        // Every warning box is read, pictured once and answered.
        connect(&boxWatch_, [this] {
            QWidget* box = AppWindows::modalWindow();
            if (!box) return;
            auto* message = box->findChild<QLabel*>("messageLabel");
            warnings_.push_back(message ? message->text() : QString());
            if (!screenshotName_.empty()) {
                saveScreenshot(*box, screenshotName_);
                screenshotName_.clear();
            }
            AppWindows::stopModalWithCode(1);
        });
    }
    void TearDown() override {
        boxWatch_.stop();
        controller_.reset();
        mainQueue_.reset();
    }
    void connect(QTimer* timer, std::function<void()> f) {
        QObject::connect(timer, &QTimer::timeout, f);
        timer->start(20);
    }
    void connect(QTimer& timer, std::function<void()> f) { connect(&timer, std::move(f)); }

    // .ZemConfig naming the servers, read afresh.
    void configure(int intranetPort, int extranetPort, const std::string& extranetHost = "127.0.0.1") {
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            archive::Array{archive::Array{"127.0.0.1", std::to_string(intranetPort)},
                           archive::Array{extranetHost, std::to_string(extranetPort)},
                           archive::Array{"127.0.0.1", std::to_string(intranetPort)}},
            paths::serverConfigFile()));
        common::ZemServerConfig::sharedInstance().updateServerConfig();
    }
    void storeRecord(int64_t loginType = 1) {
        common::AccountModel record;
        record.userid = "u7";
        record.username = "User Seven";
        record.setTicket("TK-1");
        record.loginType = loginType;
        ASSERT_TRUE(record.save());
    }
    HuxMianViewCtrl& make() {
        controller_ = std::make_unique<HuxMianViewCtrl>();
        controller_->resize(420, 600);
        controller_->show();
        return *controller_;
    }
    std::string requestFile() const {
        return root_.at("/root/Library/Application Support/RavAvizaL/domianorip.archive");
    }
    // Runs the main queue until the queued work is done.
    void settle() {
        bool done = false;
        dispatch::WorkQueue::main()->dispatch([&done] { done = true; });
        ASSERT_TRUE(waitFor([&] { return done; }));
    }

    testsupport::TempRoot root_;
    testsupport::EnvGuard home_{{"HOME"}};
    std::unique_ptr<QtMainQueue> mainQueue_;
    std::unique_ptr<HuxMianViewCtrl> controller_;
    QTimer boxWatch_;
    std::vector<QString> warnings_;
    std::string screenshotName_;
};

TEST_F(MainViewTest, FirstRunMarksTheDefaultAndLaterRunsShowTheExtranetServer) {
    configure(8001, 8443, "mdm.example.com");
    HuxMianViewCtrl& first = make();
    EXPECT_EQ(first.selectedTab(), 0);
    EXPECT_TRUE(first.domainOrIPLab()->text().isEmpty()) << "the first run leaves the fields";
    EXPECT_FALSE(first.ticketPollRunning()) << "nobody is signed in";
    EXPECT_EQ(first.saveServerBtn()->title(), localized("ConfigureServer"));
    EXPECT_EQ(first.loginBtn()->title(), localized("Login"));
    saveScreenshot(first, "main-server-page-first-run");

    HuxMianViewCtrl& second = make();
    EXPECT_EQ(second.domainOrIPLab()->text(), "mdm.example.com");
    EXPECT_EQ(second.PortLab()->text(), "8443");
    saveScreenshot(second, "main-server-page-configured");

    // Without .ZemConfig the fields stay as they are.
    fs::remove(paths::serverConfigFile());
    HuxMianViewCtrl& third = make();
    EXPECT_TRUE(third.domainOrIPLab()->text().isEmpty());
}

TEST_F(MainViewTest, InvalidHostOrPortWarnsAndWritesNothing) {
    struct Case {
        QString host, port;
        const char* warning;
    };
    const std::vector<Case> cases{
        {"", "443", "IPOrDomainNameNonconformance"},
        {"300.1.1.1", "443", "IPOrDomainNameNonconformance"},
        {"intranet", "443", "IPOrDomainNameNonconformance"},
        {"10.0.0.1", "0", "PortIncorrect"},
        {"10.0.0.1", "", "PortIncorrect"},
        {"mdm.example.com", "44a", "PortIncorrect"},
    };
    HuxMianViewCtrl& view = make();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host.toStdString() + " : " + c.port.toStdString());
        warnings_.clear();
        view.domainOrIPLab()->setText(c.host);
        view.PortLab()->setText(c.port);
        if (c.host == "300.1.1.1") screenshotName_ = "main-server-page-invalid-host";
        view.setingSeverBtton();
        ASSERT_TRUE(waitFor([&] { return !warnings_.empty(); }));
        EXPECT_EQ(warnings_.front(), localized(c.warning));
        EXPECT_FALSE(fs::exists(requestFile()));
        EXPECT_EQ(view.selectedTab(), 0);
        EXPECT_TRUE(view.saveServerBtn()->isEnabled());
    }
}

TEST_F(MainViewTest, ReturnInAFieldSavesOnlyWhenBothFieldsHoldText) {
    dispatch::ManualTime time;
    HuxMianViewCtrl& view = make();
    view.domainOrIPLab()->setText("10.0.0.1");
    view.clickPassWordTextField();
    settle();
    EXPECT_FALSE(fs::exists(requestFile()));
    EXPECT_TRUE(warnings_.empty());
    view.PortLab()->setText("443");
    emit view.PortLab()->returnPressed();
    EXPECT_TRUE(fs::exists(requestFile()));
}

TEST_F(MainViewTest, SavedServerIsTriedThreeSecondsLaterAndOpensTheLoginPage) {
    testsupport::ClientApiServer server(root_.path() + "/server");
    ASSERT_GT(server.port(), 0);
    configure(server.port(), testsupport::closedPort());
    dispatch::ManualTime time;
    HuxMianViewCtrl& view = make();
    std::optional<bool> tried;
    QObject::connect(&view, &HuxMianViewCtrl::serverTried, [&](bool reached) { tried = reached; });

    view.domainOrIPLab()->setText("mdm.example.com");
    view.PortLab()->setText("8443");
    view.setingSeverBtton();
    auto written = archive::unarchiveObjectWithFile(requestFile());
    ASSERT_TRUE(written);
    const archive::Value pair = archive::Array{"mdm.example.com", "8443"};
    EXPECT_EQ(written.value, archive::Value(archive::Array{pair, pair}));
    EXPECT_TRUE(testsupport::capturedLog().has("设置服务器成功"));

    // Busy until the ping answers.
    EXPECT_FALSE(view.saveServerBtn()->isEnabled());
    EXPECT_FALSE(view.setSerProgress()->isHidden());
    EXPECT_EQ(view.saveServerBtn()->backgroundNormalColor(), QColor::fromRgb(0xC7CFD9));
    EXPECT_EQ(view.saveServerBtn()->backgroundHoverColor(), QColor::fromRgb(0xC7CFD9));
    saveScreenshot(view, "main-server-page-busy");
    time.advance(2900ms);
    settle();
    EXPECT_TRUE(server.requests("/zem/ping").empty()) << "not before 3 s";
    time.advance(100ms);
    ASSERT_TRUE(waitFor([&] { return tried.has_value(); }));
    EXPECT_TRUE(*tried);
    EXPECT_EQ(server.requests("/zem/ping").size(), 1u);
    EXPECT_EQ(view.selectedTab(), 1);
    EXPECT_TRUE(view.saveServerBtn()->isEnabled());
    EXPECT_TRUE(view.setSerProgress()->isHidden());
    EXPECT_EQ(view.saveServerBtn()->backgroundNormalColor(), QColor::fromRgb(0x0070FF));
    EXPECT_EQ(view.saveServerBtn()->backgroundHoverColor(), QColor::fromRgb(0x0454FF));
    EXPECT_TRUE(warnings_.empty());
    saveScreenshot(view, "main-login-page");
}

TEST_F(MainViewTest, UnsavedServerWarnsAndIsNeverTried) {
    testsupport::ClientApiServer server(root_.path() + "/server");
    ASSERT_GT(server.port(), 0);
    configure(server.port(), testsupport::closedPort());
    // A folder where the request goes: the write cannot land.
    fs::create_directories(requestFile() + "/in-the-way");
    dispatch::ManualTime time;
    HuxMianViewCtrl& view = make();
    bool tried = false;
    QObject::connect(&view, &HuxMianViewCtrl::serverTried, [&](bool) { tried = true; });
    view.domainOrIPLab()->setText("mdm.example.com");
    view.PortLab()->setText("8443");
    view.setingSeverBtton();
    ASSERT_TRUE(waitFor([&] { return !warnings_.empty(); }));
    EXPECT_EQ(warnings_.front(), localized("SaveServerFailed"));
    EXPECT_TRUE(testsupport::capturedLog().has("设置服务器失败"));
    EXPECT_TRUE(view.saveServerBtn()->isEnabled());
    time.advance(3s);
    settle();
    EXPECT_FALSE(tried);
    EXPECT_TRUE(server.requests("/zem/ping").empty());
    EXPECT_EQ(view.selectedTab(), 0);

    HuxServerSetingWinCtrl sheet;
    std::optional<long> code;
    sheet.beginSheet(&view, [&](long returned) { code = returned; });
    sheet.domainOrIPLab()->setText("mdm.example.com");
    sheet.PortLab()->setText("8443");
    sheet.okButton()->click();
    EXPECT_FALSE(code) << "the sheet stays open until the request is written";
    EXPECT_TRUE(sheet.isSheetShown());
    sheet.cancelButton()->click();
}

TEST_F(MainViewTest, UnreachableServerEndsTheBusyStateWithAWarning) {
    configure(testsupport::closedPort(), testsupport::closedPort());
    dispatch::ManualTime time;
    HuxMianViewCtrl& view = make();
    std::optional<bool> tried;
    QObject::connect(&view, &HuxMianViewCtrl::serverTried, [&](bool reached) { tried = reached; });
    view.domainOrIPLab()->setText("10.0.0.9");
    view.PortLab()->setText("443");
    screenshotName_ = "main-server-page-unreachable";
    view.setingSeverBtton();
    time.advance(3s);
    ASSERT_TRUE(waitFor([&] { return tried.has_value() && !warnings_.empty(); }, 20s));
    EXPECT_FALSE(*tried);
    EXPECT_EQ(warnings_.front(), localized("ConnectServerFailed"));
    EXPECT_EQ(view.selectedTab(), 0);
    EXPECT_TRUE(view.saveServerBtn()->isEnabled());
    EXPECT_TRUE(view.setSerProgress()->isHidden());
}

TEST_F(MainViewTest, StartUpTicketPollOpensNavigationOnceTheServerConfirms) {
    testsupport::ClientApiServer server(root_.path() + "/server");
    configure(server.port(), testsupport::closedPort());
    server.script({{kTicketPath, {{{"json", {{"ret", 0}, {"msg", "later"}, {"data", {{"state", -5}}}}}}}}});
    storeRecord();
    dispatch::ManualTime time;
    HuxMianViewCtrl& view = make();
    ASSERT_TRUE(view.ticketPollRunning());
    EXPECT_EQ(view.selectedTab(), 0);

    time.advance(1ms);
    ASSERT_TRUE(waitFor([&] {
        return testsupport::capturedLog().contains(
            "[ZemDetailWindow] RavAviza Check ticket response msg:later");
    }));
    settle();
    EXPECT_EQ(view.selectedTab(), 0) << "another state keeps the poll going";
    EXPECT_TRUE(view.ticketPollRunning());

    time.advance(3s);
    ASSERT_TRUE(waitFor([&] { return view.selectedTab() == 2; }));
    EXPECT_FALSE(view.ticketPollRunning());
    EXPECT_EQ(server.requests(kTicketPath).size(), 2u);
    saveScreenshot(view, "main-navigation-page");
    time.advance(9s);
    settle();
    EXPECT_EQ(server.requests(kTicketPath).size(), 2u) << "the poll has ended";
}

TEST_F(MainViewTest, SignInOnTheLoginPageOpensNavigation) {
    HuxMianViewCtrl& view = make();
    HuxLoginStateViewCtrl* login = view.loginViewCtrl();
    ASSERT_NE(login, nullptr);
    EXPECT_EQ(login->parentWidget(), view.mianTabView()->widget(1));
    EXPECT_EQ(view.loginViewCtrl(), login) << "made once";
    view.mianTabView()->setCurrentIndex(1);
    saveScreenshot(view, "main-login-page-form");
    ASSERT_TRUE(login->tapLoginBlock());
    login->tapLoginBlock()();
    EXPECT_EQ(view.selectedTab(), 2);
}

TEST_F(MainViewTest, TicketTimeOutReturnsToTheFirstPageAndSignsOutOnlyForTwo) {
    storeRecord();
    {
        dispatch::ManualTime time;  // keeps the start-up poll from running
        make();
    }
    HuxMianViewCtrl& view = *controller_;
    auto& center = dispatch::NotificationCenter::defaultCenter();

    view.mianTabView()->setCurrentIndex(2);
    center.post(hux::TicketTimeOutNoticationKey);
    ASSERT_TRUE(waitFor([&] { return view.selectedTab() == 0; }));
    EXPECT_TRUE(common::AccountModel::currentModel()) << "no object: the record stays";
    settle();
    EXPECT_TRUE(warnings_.empty());

    view.mianTabView()->setCurrentIndex(2);
    screenshotName_ = "main-ticket-timeout";
    center.post(hux::TicketTimeOutNoticationKey, archive::Value(int64_t{2}));
    ASSERT_TRUE(waitFor([&] { return view.selectedTab() == 0 && !warnings_.empty(); }));
    EXPECT_FALSE(common::AccountModel::currentModel());
    EXPECT_EQ(warnings_.front(), localized("TicketTips"));
    EXPECT_TRUE(fs::exists(root_.at("/root/Library/Application Support/RavAvizaL/soleid.archive")))
        << "a new login nonce";

    view.mianTabView()->setCurrentIndex(1);
    center.post(hux::UpdateLogoutStatusNotificationKey, archive::Value(int64_t{0}));
    EXPECT_TRUE(waitFor([&] { return view.selectedTab() == 0; })) << "a menu logout returns too";
}

class NavigationTest : public MainViewTest {
  protected:
    void writeTools(const archive::Array& tools) {
        ASSERT_TRUE(
            archive::archiveRootObjectToFile(tools, paths::machineSupportFolder() + "/appmgrlist.archive"));
    }
    static archive::Value tool(const std::string& name, int64_t serial, const std::string& url = "") {
        return archive::Dictionary{{"appname", name}, {"app_serialnum", serial}, {"desturl", url}};
    }
    std::vector<std::string> rows(HuxNavigationViewCtrl& nav) {
        std::vector<std::string> out;
        for (int i = 0; i < nav.NavigationTableView()->topLevelItemCount(); ++i) {
            HuxNavigationCellView* cell = nav.cellAt(i);
            out.push_back(cell ? cell->titleLb()->text().toStdString() : "?");
        }
        return out;
    }
};

TEST_F(NavigationTest, ToolsAreListedBySerialNumberAndAnEmptyListShowsTheNotice) {
    writeTools({tool("Mail", 3, "https://mail.example.com"), tool("Wiki", 1), archive::Value("not a tool"),
                tool("Drive", 2)});
    HuxNavigationViewCtrl nav;
    nav.resize(420, 600);
    nav.show();
    ASSERT_TRUE(waitFor([&] { return nav.toolModels().size() == 3; }));
    EXPECT_EQ(rows(nav), (std::vector<std::string>{"Wiki", "Drive", "Mail"}));
    EXPECT_TRUE(nav.emptyView()->isHidden());
    EXPECT_EQ(nav.NavigationTableView()->topLevelItem(0)->sizeHint(0).height(), 56);
    saveScreenshot(nav, "main-navigation-tools");

    // The watcher's notice of a changed list rebuilds it.
    bool reloaded = false;
    QObject::connect(&nav, &HuxNavigationViewCtrl::reloaded, [&] { reloaded = true; });
    writeTools({});
    dispatch::NotificationCenter::defaultCenter().post(hux::UpdateAppMgtListForConfigNoticationKey);
    ASSERT_TRUE(waitFor([&] { return reloaded; }));
    EXPECT_TRUE(rows(nav).empty());
    EXPECT_FALSE(nav.emptyView()->isHidden());
    saveScreenshot(nav, "main-navigation-empty");

    // A missing list reads as empty too.
    reloaded = false;
    fs::remove(paths::machineSupportFolder() + "/appmgrlist.archive");
    nav.updateSourceData();
    ASSERT_TRUE(waitFor([&] { return reloaded; }));
    EXPECT_FALSE(nav.emptyView()->isHidden());
}

TEST_F(NavigationTest, RowTurnsBlueUnderThePointerAndItsClickRunsTheBlock) {
    HuxNavigationCellView cell;
    int taps = 0;
    cell.tabClickBtn();
    cell.setTapBlock([&] { ++taps; });
    cell.tabClickBtn();
    EXPECT_EQ(taps, 1);
    cell.mouseEntered();
    EXPECT_EQ(cell.backgroundColor(), QColor::fromRgb(0xE5EBF4));
    cell.mouseExited();
    EXPECT_EQ(cell.backgroundColor().alpha(), 0);
}

TEST_F(NavigationTest, RowsOpenOnlyWebAddresses) {
    std::vector<QString> opened;
    UrlOpener::setOpenFunction([&opened](const QUrl& url) {
        opened.push_back(url.toString());
        return true;
    });
    writeTools({tool("Passwd", 1, "file:///etc/passwd"), tool("Share", 2, "smb://files/share"),
                tool("Mail", 3, "https://mail.example.com"), tool("Wiki", 4, "wiki.example/start")});
    HuxNavigationViewCtrl nav;
    ASSERT_TRUE(waitFor([&] { return nav.toolModels().size() == 4; }));
    for (int i = 0; i < 4; ++i) nav.cellAt(i)->tabClickBtn();
    UrlOpener::setOpenFunction({});
    EXPECT_EQ(opened, (std::vector<QString>{"https://mail.example.com", "https://wiki.example/start"}));
}

TEST_F(NavigationTest, NetworkStatusPicksTheImageAndText) {
    HuxNavigationViewCtrl nav;
    struct Case {
        int status;
        const char* image;
        const char* key;
    };
    const std::vector<Case> cases{
        {2, "Hux-icon", "HuxSuccess"},      {0, "Hux-gray", "ReconnectServer"},
        {1, "Hux-icon", "HuxSuccess"},      {-1, "Hux-gray", "ReconnectServer"},
        {7, "Hux-gray", "ReconnectServer"},  // unchanged from the case before
    };
    for (const Case& c : cases) {
        nav.updateNetWorkStatus(c.status);
        EXPECT_EQ(nav.networkImageName(), c.image) << c.status;
        EXPECT_EQ(nav.tipsNewrokLab()->text(), localized(c.key)) << c.status;
        EXPECT_FALSE(nav.networkStateImage()->pixmap().isNull()) << c.status;
    }
}

TEST_F(MainViewTest, ServerSheetWritesValidInputAndStaysOpenOtherwise) {
    struct Case {
        QString host, port;
        bool accepted;
    };
    const std::vector<Case> cases{
        {"10.0.0.1", "abc", false},    {"", "443", false},
        {"intranet", "443", false},    {"10.0.0.1", "0", true},
        {"mdm.example.com", "", true}, {"10.0.0.2", "99999", true},
    };
    QWidget parent;
    parent.resize(420, 600);
    parent.show();
    HuxServerSetingWinCtrl sheet;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.host.toStdString() + " : " + c.port.toStdString());
        fs::remove(requestFile());
        std::optional<long> code;
        sheet.beginSheet(&parent, [&](long returned) { code = returned; });
        sheet.domainOrIPLab()->setText(c.host);
        sheet.PortLab()->setText(c.port);
        if (c.host == "10.0.0.1" && c.port == "abc") saveScreenshot(*sheet.window(), "main-server-sheet");
        sheet.okButton()->click();
        if (!c.accepted) {
            EXPECT_FALSE(code);
            EXPECT_TRUE(sheet.isSheetShown());
            EXPECT_FALSE(fs::exists(requestFile()));
            sheet.cancelButton()->click();
            EXPECT_EQ(code, std::optional<long>(0));
            continue;
        }
        EXPECT_EQ(code, std::optional<long>(1));
        auto written = archive::unarchiveObjectWithFile(requestFile());
        ASSERT_TRUE(written);
        const archive::Value pair = archive::Array{c.host.toStdString(), c.port.toStdString()};
        EXPECT_EQ(written.value, archive::Value(archive::Array{pair, pair}));
    }
    EXPECT_TRUE(warnings_.empty()) << "the sheet never warns";
}

}  // namespace
