// The device-info and login window against the login session and the client-API test server:
// its tabs and device facts, copying, scan states, account login, the password change the server
// can demand, and logout.
#include <QClipboard>
#include <QGuiApplication>
#include <QTest>
#include <memory>

#include "LeftBarTestSupport.h"
#include "common/device/ITDevice.h"
#include "platform/archive/Plist.h"
#include "platform/dispatch/NotificationCenter.h"
#include "ui/screens/controls/ButtonSelected.h"
#include "ui/screens/controls/Localizable.h"
#include "ui/screens/leftbar/ZemDetailWindow.h"
#include "ui/screens/leftbar/ZemUpgradeWindow.h"

using leftbartest::AlertReader;
using leftbartest::LeftBarTest;
namespace fs = std::filesystem;

namespace {

QString imageName(const QObject* object) {
    return object->property("_q_huxImageName").toString();
}

// Stands in for the left bar: records what the window asks of it and closes the window on
// closeDetailWindow, as the bar does.
class RecordingDelegate : public QObject, public ZemDetailWindowDelegate, public ZemWindowDelegate {
  public:
    void closeDetailWindow(ZemDetailWindow* window) override {
        ++closes;
        window->close();
    }
    void StartCheckLogin() override { ++startCheckLogins; }
    void refreshUserName() override { ++refreshes; }
    bool windowShouldClose(QWidget*) override { return true; }
    int closes = 0;
    int startCheckLogins = 0;
    int refreshes = 0;
};

class DetailWindow : public LeftBarTest {
  protected:
    void SetUp() override {
        LeftBarTest::SetUp();
        fs::create_directories(paths::uiAppBundle() + "/Contents");
        ASSERT_TRUE(archive::writePlistFile(archive::Dictionary{{"CFBundleVersion", "5.2.0.7"}},
                                            paths::uiAppBundle() + "/Contents/Info.plist"));
    }
    void TearDown() override {
        window_.reset();
        LeftBarTest::TearDown();
    }
    ZemDetailWindow& open() {
        window_.reset(ZemDetailWindow::initialWithNibName(QStringLiteral("ZemDetailWindow")));
        EXPECT_TRUE(window_);
        window_->setDelegate(&delegate_);
        window_->setStartCheckLoginDelegate(&delegate_);
        window_->show();
        return *window_;
    }
    // Runs action and returns the text of the alert it brings up.
    static std::optional<QString> alertOf(const std::function<void()>& action) {
        AlertReader alert;
        action();
        if (!alert.wait()) return std::nullopt;
        return alert.text;
    }
    // Signs in with an account through the window, as the user would.
    void signInWithAccount(ZemDetailWindow& w) {
        w.userIdLb()->setText(QStringLiteral("alice"));
        w.passwordLb()->setText(QStringLiteral("secret"));
        w.tapConfirmBtn();
        ASSERT_TRUE(qttest::waitFor([&] { return w.tabview()->currentIndex() == 0; }));
    }

    RecordingDelegate delegate_;
    std::unique_ptr<ZemDetailWindow> window_;
};

TEST_F(DetailWindow, SignedOutWindowOpensOnTheLoginTabWithTheDeviceFacts) {
    ZemDetailWindow& w = open();
    EXPECT_EQ(w.size(), QSize(500, 334));
    EXPECT_EQ(w.tabview()->currentIndex(), 1);
    EXPECT_EQ(w.QRcodeView()->currentIndex(), 0);
    EXPECT_TRUE(isSelected::isSelected(w.login_btn()));
    EXPECT_FALSE(isSelected::isSelected(w.info_btn()));
    EXPECT_TRUE(w.info_line()->isHidden());
    EXPECT_FALSE(w.login_line()->isHidden());
    EXPECT_EQ(imageName(w.info_btn()), "icon_info_normal");
    EXPECT_EQ(imageName(w.login_btn()), "icon_login_hover");
    EXPECT_EQ(w.userNameLb()->text(), QStringLiteral("未登录"));
    EXPECT_EQ(w.loginStatusLb()->text(), QStringLiteral("Zem快速登录"));
    EXPECT_EQ(w.loginTipsLb()->text(), QStringLiteral("如需使用更多功能，请扫码登录"));
    EXPECT_TRUE(w.logout_btn()->isHidden());
    EXPECT_TRUE(w.otpTokenLb()->isHidden()) << "no one-time code asked for";
    EXPECT_GE(delegate_.startCheckLogins, 1);
    EXPECT_TRUE(w.isRefreshingQR());
    EXPECT_TRUE(stateExists("soleid.archive"));

    auto& device = common::ITDevice::currentDevice();
    EXPECT_EQ(w.deviceNameLb()->text().toStdString(), device.machineName());
    EXPECT_EQ(w.systemVersionLb()->text().toStdString(), device.osVersion());
    EXPECT_EQ(w.macVersionLb()->text(), QStringLiteral("5.2.0.7"));
    EXPECT_EQ(w.ipAddressLb()->toolViewFrameWidth(), 270);
    EXPECT_EQ(w.macAddressLb()->toolViewFrameWidth(), 270);
    EXPECT_TRUE(w.versionCpBtn()->isAllHover());

    tick(1);
    ASSERT_TRUE(qttest::waitFor([&] { return !w.qrView()->pixmap().isNull(); }));
    qttest::saveScreenshot(w, "ZemDetailWindow-signed-out");

    // The information tab, then a copy.
    QTest::mouseClick(w.info_btn(), Qt::LeftButton);
    EXPECT_EQ(w.tabview()->currentIndex(), 0);
    EXPECT_FALSE(w.info_line()->isHidden());
    EXPECT_TRUE(w.login_line()->isHidden());
    EXPECT_EQ(imageName(w.info_btn()), "icon_info_hove");
    EXPECT_EQ(imageName(w.login_btn()), "icon_login_normal");
    qttest::saveScreenshot(w, "ZemDetailWindow-information");
    const struct {
        QPushButton* button;
        QLabel* label;
    } copies[] = {{w.deviceNameCpBtn(), w.deviceNameLb()},
                  {w.macAddressCpBtn(), w.macAddressLb()},
                  {w.deviceTypeCpBtn(), w.deviceTypeLb()},
                  {w.versionCpBtn(), w.macVersionLb()}};
    for (const auto& c : copies) {
        QGuiApplication::clipboard()->setText(QStringLiteral("before"));
        AlertReader alert;
        QTest::mouseClick(c.button, Qt::LeftButton);
        ASSERT_TRUE(alert.wait());
        EXPECT_EQ(alert.text, QStringLiteral("复制成功"));
        EXPECT_EQ(alert.title, QStringLiteral("提醒"));
        EXPECT_EQ(alert.buttonTitle, QStringLiteral("确定"));
        EXPECT_EQ(QGuiApplication::clipboard()->text(), c.label->text());
    }
}

TEST_F(DetailWindow, ScanStatesSetTheLabelsAndStateZeroClosesTheWindow) {
    ZemDetailWindow& w = open();
    const QString tips = QStringLiteral(
        "温馨提示：连网可能出现延时，扫码登录后，请等待审核通过，随后请检查电脑设备是否已连网。");
    const QString start = QStringLiteral("如需使用更多功能，请扫码登录");
    const struct {
        int64_t state;
        const char16_t* status;
        bool scanTips;
    } cases[] = {{-8, u"设备审核通过", false}, {-7, u"设备已注销", false},      {-6, u"设备审核拒绝", false},
                 {-5, u"设备待审核", true},    {-1, u"已扫码,待确定...", true}, {-2, u"其它异常", false},
                 {1, u"其它异常", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.state);
        w.loginStatusLb()->clear();
        w.loginTipsLb()->setText(start);
        dispatch::NotificationCenter::defaultCenter().post("update_Lable_notification",
                                                           archive::Value(c.state));
        ASSERT_TRUE(qttest::waitFor([&] { return !w.loginStatusLb()->text().isEmpty(); }));
        EXPECT_EQ(w.loginStatusLb()->text(), QString::fromUtf16(c.status));
        EXPECT_EQ(w.loginTipsLb()->text(), c.scanTips ? tips : start);
    }
    qttest::saveScreenshot(w, "ZemDetailWindow-scanned");
    EXPECT_EQ(delegate_.closes, 0);
    dispatch::NotificationCenter::defaultCenter().post("update_Lable_notification",
                                                       archive::Value(int64_t{0}));
    ASSERT_TRUE(qttest::waitFor([&] { return delegate_.closes == 1; }));
    EXPECT_FALSE(w.isVisible());
    EXPECT_FALSE(w.isRefreshingQR()) << "a closed window stops its refresh";
    // A closed window listens no more.
    w.loginStatusLb()->clear();
    dispatch::NotificationCenter::defaultCenter().post("update_Lable_notification",
                                                       archive::Value(int64_t{-8}));
    qttest::waitFor([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_TRUE(w.loginStatusLb()->text().isEmpty());
}

TEST_F(DetailWindow, AccountLoginChecksItsFieldsInOrder) {
    const struct {
        const char* account;
        const char* password;
        const char* otp;
        bool otpRequired;
        const char16_t* alert;  // null: the login is sent
    } cases[] = {
        {"", "pw", "", false, u"账号不能为空"},  {"", "", "", true, u"账号不能为空"},
        {"bob", "", "", false, u"密码不能为空"}, {"bob", "pw", "", true, u"OTP不能为空"},
        {"bob", "pw", "", false, nullptr},       {"bob", "pw", "123456", true, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.account) + "/" + c.password + "/" + c.otp);
        common::AccountModel::deleteCurrentModel();
        hux::RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(false);
        writeLoginModes(std::nullopt, std::nullopt, c.otpRequired ? "1" : "0");
        ZemDetailWindow& w = open();
        EXPECT_EQ(w.otpTokenLb()->isHidden(), !c.otpRequired);
        EXPECT_EQ(w.comfimBtn()->geometry().bottom() + 1,
                  w.comfimBtn()->parentWidget()->height() - (c.otpRequired ? 36 : 76));
        const size_t before = server_.requests(kLoginPath).size();
        w.userIdLb()->setText(QString::fromUtf8(c.account));
        w.passwordLb()->setText(QString::fromUtf8(c.password));
        w.otpTokenLb()->setText(QString::fromUtf8(c.otp));
        if (c.alert) {
            EXPECT_EQ(alertOf([&] { w.tapConfirmBtn(); }), QString::fromUtf16(c.alert));
            EXPECT_EQ(server_.requests(kLoginPath).size(), before);
            continue;
        }
        w.tapConfirmBtn();
        ASSERT_TRUE(qttest::waitFor([&] { return server_.requests(kLoginPath).size() == before + 1; }));
        auto body = server_.lastBody(kLoginPath);
        ASSERT_TRUE(body);
        EXPECT_EQ((*body)["userid"], c.account);
        EXPECT_EQ((*body)["password"], c.password);
        EXPECT_EQ(body->value("otp", ""), c.otp);
        // The default reply signs the user in: the information tab with the user and logout.
        ASSERT_TRUE(qttest::waitFor([&] { return w.tabview()->currentIndex() == 0; }));
        EXPECT_EQ(w.userNameLb()->text(), QStringLiteral("bob(User bob)"));
        EXPECT_TRUE(w.login_btn()->isHidden());
        EXPECT_FALSE(w.logout_btn()->isHidden());
        EXPECT_FALSE(w.isRefreshingQR());
        EXPECT_GE(delegate_.refreshes, 1);
        if (c.otpRequired) qttest::saveScreenshot(w, "ZemDetailWindow-signed-in");
    }
}

TEST_F(DetailWindow, LoginAnswersShowTheirStateOrMessage) {
    using Json = nlohmann::json;
    const struct {
        const char* name;
        Json entry;
        std::optional<QString> alert;  // nothing: no alert
    } cases[] = {
        {"-8",
         {{"json", {{"ret", 0}, {"data", {{"state", -8}}}}}},
         Localizable::localizedString("Deviceapproved")},
        {"-5",
         {{"json", {{"ret", 0}, {"data", {{"state", -5}}}}}},
         Localizable::localizedString("Devicereview")},
        {"-3",
         {{"json", {{"ret", 0}, {"data", {{"state", -3}}}}}},
         Localizable::localizedString("Faillogin")},
        {"-1", {{"json", {{"ret", 0}, {"data", {{"state", -1}}}}}}, QStringLiteral("二维码已扫描")},
        {"ret 3",
         {{"json", {{"ret", 3}, {"errorcode", 6}, {"msg", "wrong password"}}}},
         QStringLiteral("wrong password")},
        {"server error", {{"status", 500}}, std::nullopt},
    };
    ZemDetailWindow& w = open();
    w.userIdLb()->setText(QStringLiteral("carol"));
    w.passwordLb()->setText(QStringLiteral("pw"));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server_.script({{kLoginPath, {c.entry}}});
        w.logout_btn()->setEnabled(false);
        auto text = alertOf([&] { w.tapConfirmBtn(); });
        ASSERT_TRUE(text);
        if (c.alert) {
            EXPECT_EQ(*text, *c.alert);
        } else {
            EXPECT_FALSE(text->isEmpty()) << "the error's description";
        }
        EXPECT_TRUE(w.logout_btn()->isEnabled()) << "every login alert makes logout usable again";
        EXPECT_EQ(w.tabview()->currentIndex(), 1);
    }
    EXPECT_TRUE(testsupport::capturedLog().contains(
        "[ZemDetailWindow] RavAviza Account login ret:3 msg:wrong password"));
    EXPECT_TRUE(testsupport::capturedLog().contains("[ZemDetailWindow] RavAviza Account login fail msg:"));
}

TEST_F(DetailWindow, ServerDemandedPasswordChange) {
    ZemDetailWindow& w = open();
    server_.script({{kLoginPath, {{{"json", {{"ret", 1}, {"errorcode", 20}, {"msg", "change it"}}}}}}});
    w.userIdLb()->setText(QStringLiteral("erin"));
    w.passwordLb()->setText(QStringLiteral("old-pass"));
    AlertReader none;
    w.tapConfirmBtn();
    ASSERT_TRUE(qttest::waitFor([&] { return w.isresetPassword(); }));
    EXPECT_EQ(w.QRcodeView()->currentIndex(), 2);
    EXPECT_TRUE(w.newpassTipLb()->isHidden());
    qttest::waitFor([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_FALSE(none.done) << "no alert";
    qttest::saveScreenshot(w, "ZemDetailWindow-password-change");

    // While the change is due, the account mode leads to the change page.
    QTest::mouseClick(w.selectLoginView()->qr_btn(), Qt::LeftButton);
    EXPECT_EQ(w.QRcodeView()->currentIndex(), 0);
    QTest::mouseClick(w.selectLoginView()->ac_btn(), Qt::LeftButton);
    EXPECT_EQ(w.QRcodeView()->currentIndex(), 2);

    // The format hint follows the password rule.
    const struct {
        const char* password;
        bool hint;
    } rules[] = {{"Abc1!xy", true},   {"Abcdefg!", true}, {"Abcdef12", true},
                 {"Abcdef1!", false}, {"", false},        {"Abcdefghijklmnopqrstuvwxyz1!ABCDE", true}};
    for (const auto& r : rules) {
        SCOPED_TRACE(r.password);
        w.resetpassTF()->setText(QString::fromUtf8(r.password));
        w.resetPassBtn();
        EXPECT_EQ(w.newpassTipLb()->isHidden(), !r.hint);
        EXPECT_EQ(w.control(w.resetpassTF()), !r.hint && *r.password != '\0');
    }

    // A failing password stops the change; a differing repeat asks again; a match sends it.
    w.resetpassTF()->setText(QStringLiteral("short1!"));
    w.ConfirmResetPassBtn();
    EXPECT_FALSE(w.newpassTipLb()->isHidden());
    EXPECT_TRUE(server_.requests(kResetPath).empty());
    w.resetpassTF()->setText(QStringLiteral("N3w!pass"));
    w.confirmpassTF()->setText(QStringLiteral("N3w!pasz"));
    w.ConfirmResetPassBtn();
    EXPECT_FALSE(w.confirmNewpassLb()->isHidden());
    EXPECT_TRUE(server_.requests(kResetPath).empty());
    w.confirmpassTF()->setText(QStringLiteral("N3w!pass"));
    w.ConfirmResetPassBtn();
    EXPECT_TRUE(w.confirmNewpassLb()->isHidden());
    ASSERT_TRUE(qttest::waitFor([&] { return !server_.requests(kResetPath).empty(); }));
    auto body = server_.lastBody(kResetPath);
    ASSERT_TRUE(body);
    EXPECT_EQ((*body)["userid"], "erin");
    EXPECT_EQ((*body)["password"], "N3w!pass");
    EXPECT_EQ((*body)["old_password"], "old-pass");
    ASSERT_TRUE(qttest::waitFor([&] { return w.tabview()->currentIndex() == 0; }));
    EXPECT_EQ(w.userNameLb()->text(), QStringLiteral("erin(User erin)"));
}

TEST_F(DetailWindow, LogoutButtonFollowsTheLoginTypeAndSignsOut) {
    const struct {
        int64_t loginType;
        bool shown;
        bool logout;
    } cases[] = {{1, true, true}, {2, true, true}, {3, true, false}, {1, false, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.loginType) + (c.shown ? " shown" : " not shown"));
        storeRecord("u7", "User Seven", c.loginType);
        hux::RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(c.shown);
        ZemDetailWindow& w = open();
        EXPECT_EQ(w.tabview()->currentIndex(), 0);
        EXPECT_EQ(!w.logout_btn()->isHidden(), c.logout);
        EXPECT_EQ(w.login_btn()->isHidden(), c.shown);
        EXPECT_EQ(w.isRefreshingQR(), !c.shown);
        EXPECT_EQ(w.userNameLb()->text(), c.shown ? QStringLiteral("u7(User Seven)") : QString());
        if (c.loginType == 3) qttest::saveScreenshot(w, "ZemDetailWindow-directory-account");
    }

    // A refused logout shows the server's message and leaves the button usable.
    storeRecord("u7", "User Seven", 1);
    hux::RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(true);
    ZemDetailWindow& w = open();
    server_.script({{kLogoutPath, {{{"json", {{"ret", 5}, {"msg", "not now"}}}}}}});
    EXPECT_EQ(alertOf([&] { QTest::mouseClick(w.logout_btn(), Qt::LeftButton); }), QStringLiteral("not now"));
    EXPECT_TRUE(w.logout_btn()->isEnabled());
    auto body = server_.lastBody(kLogoutPath);
    ASSERT_TRUE(body);
    EXPECT_EQ((*body)["userid"], "u7");
    EXPECT_EQ((*body)["ticket"], "TK-u7");
    EXPECT_EQ((*body)["msg"], "logout");
    EXPECT_EQ((*body)["deviceid"], common::ITDevice::currentDevice().uuid());
    EXPECT_EQ((*body)["mac"], w.login_Mac());
    EXPECT_EQ((*body)["ip"], w.login_ip());

    // An accepted one shows the signed-out window.
    server_.script(nlohmann::json::object());
    QTest::mouseClick(w.logout_btn(), Qt::LeftButton);
    ASSERT_TRUE(qttest::waitFor([&] { return w.tabview()->currentIndex() == 1; }));
    EXPECT_EQ(w.userNameLb()->text(), QStringLiteral("未登录"));
    EXPECT_TRUE(w.logout_btn()->isHidden());
    EXPECT_TRUE(w.isRefreshingQR());
    EXPECT_FALSE(common::AccountModel::currentModel());
}

}  // namespace

namespace {

TEST(UpgradeWindow, LayoutHoldsItsOutletsAndConfirmDoesNothing) {
    leftbartest::startQt();
    ZemUpgradeWindow window;
    ASSERT_TRUE(window.titleLb() && window.detailLb() && window.confirmBtn() && window.progressIndicator());
    window.titleLb()->setText(QStringLiteral("发现新版本"));
    window.detailLb()->setText(QStringLiteral("5.2.0.8"));
    window.progressIndicator()->setValue(40);
    window.show();
    QTest::mouseClick(window.confirmBtn(), Qt::LeftButton);
    EXPECT_TRUE(window.isVisible());
    qttest::saveScreenshot(window, "ZemUpgradeWindow");
}

}  // namespace
