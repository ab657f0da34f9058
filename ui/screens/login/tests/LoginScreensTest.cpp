// The login tab and the change-password sheet against the real login session and the client-API
// test server: sign-in, the forced password change, retrieval by mail, the sheet, the local
// checks, and the texts of refusals as the message box and the tip labels show them.
#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <filesystem>
#include <string>
#include <vector>

#include "common/account/AccountModel.h"
#include "common/server/ZemServerConfig.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/paths/Paths.h"
#include "platform/qt/QtMainQueue.h"
#include "tests/support/ClientApiServer.h"
#include "tests/support/QtTestApp.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "ui/screens/base/AppWindows.h"
#include "ui/screens/controls/Localizable.h"
#include "ui/screens/login/HuxLoginFailMessageCtrl.h"
#include "ui/screens/login/HuxLoginStateViewCtrl.h"
#include "ui/screens/login/HuxModifyPasswordCtrl.h"
#include "ui/screens/login/LoginTexts.h"
#include "ui/screens/login/ZemLoginWindow.h"
#include "ui/session/login/RavAvizaLoginHelper.h"

// Fontconfig, loaded by Qt's offscreen platform, keeps its caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig\n";
}

namespace {

namespace fs = std::filesystem;
using hux::Json;
using hux::RavAvizaLoginHelper;

constexpr const char* kLoginPath = "/api/public/clientlogin/account_login";
constexpr const char* kResetPath = "/api/public/clientlogin/resetpass";
constexpr const char* kRetrievePath = "/api/public/clientlogin/retrieve_password";

// Scripted replies of one path, each a JSON reply object.
void scriptReplies(testsupport::ClientApiServer& server, const char* path, const std::vector<Json>& replies) {
    Json entries = Json::array();
    for (const Json& reply : replies) entries.push_back(Json{{"json", reply}});
    server.script(Json{{path, entries}});
}

QString L(const char* key) {
    return Localizable::localizedString(QString::fromUtf8(key));
}

// Answers every message box the screens run: records its title and text and presses its button.
class BoxCloser {
  public:
    BoxCloser() {
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            QWidget* box = AppWindows::modalWindow();
            if (!box) return;
            auto* title = box->findChild<QLabel*>("titleLabel");
            auto* message = box->findChild<QLabel*>("messageLabel");
            titles.push_back(title ? title->text() : QString());
            texts.push_back(message ? message->text() : QString());
            if (!screenshot.empty()) {
                qttest::saveScreenshot(*box, screenshot);
                screenshot.clear();
            }
            AppWindows::stopModalForWindow(box, 1);
        });
        timer_.start();
    }
    std::vector<QString> titles;
    std::vector<QString> texts;
    std::string screenshot;

  private:
    QTimer timer_;
};

class LoginScreensTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qttest::qtApp();
        testsupport::clearProxyEnvironment();
        root_.signInAtScreen("root");
        fs::create_directories(root_.at("/root"));
        fs::create_directories(paths::machineSupportFolder());
        ASSERT_GT(server_.port(), 0);
        configure(server_.port());
        mainQueue_ = std::make_unique<QtMainQueue>();

        auto& helper = RavAvizaLoginHelper::sharedInstance();
        helper.setIsCheckAndShow(false);
        helper.setLoginBlock({});
        hux::SessionPeers peers;
        peers.vpnRunning = [] { return false; };
        helper.setPeers(peers);
        LoginTexts::setItemsHiddenMenuHandler([this] { events_.push_back("menu"); });
    }
    void TearDown() override {
        LoginTexts::setItemsHiddenMenuHandler({});
        // The policy fetch a sign-in starts must not write into the next test's folder.
        if (signedIn_) {
            EXPECT_TRUE(qttest::waitFor([this] { return stateExists("QZNPolicy.archive"); }));
        }
    }

    void configure(int intranetPort) {
        ASSERT_TRUE(archive::archiveRootObjectToFile(
            archive::Array{archive::Array{"127.0.0.1", std::to_string(intranetPort)},
                           archive::Array{"127.0.0.1", std::to_string(testsupport::closedPort())},
                           archive::Array{"127.0.0.1", std::to_string(server_.port())}},
            paths::serverConfigFile()));
        common::ZemServerConfig::sharedInstance().updateServerConfig();
    }
    bool stateExists(const std::string& name) const {
        return fs::exists(root_.at("/root/Library/Application Support/RavAvizaL/") + name);
    }

    // The login tab in a window of its own, shown so that focus moves as for the user.
    std::unique_ptr<HuxLoginStateViewCtrl> makeLoginTab() {
        auto tab = std::make_unique<HuxLoginStateViewCtrl>();
        tab->setTapLoginBlock([this] { events_.push_back("block"); });
        tab->show();
        tab->activateWindow();
        return tab;
    }
    // Clicks a button and runs the events until done holds.
    bool clickAndWait(QAbstractButton* button, const std::function<bool()>& done) {
        button->click();
        return qttest::waitFor(done);
    }
    size_t requestCount(const char* path) const { return server_.requests(path).size(); }

    testsupport::TempRoot root_{"login-screens", 0755};
    testsupport::ClientApiServer server_{root_.path() + "/server"};
    std::unique_ptr<QtMainQueue> mainQueue_;
    std::vector<std::string> events_;
    bool signedIn_ = false;
};

}  // namespace

// Login tab, page 0 -------------------------------------------------------------------------------

TEST_F(LoginScreensTest, SignInReturnsToPageZeroRefreshesTheMenuAndCallsTheBlock) {
    auto tab = makeLoginTab();
    EXPECT_EQ(tab->loginTypeTable()->currentIndex(), 0);
    EXPECT_EQ(tab->loginButton()->title(), L("Login"));
    EXPECT_EQ(tab->getback_password()->palette().color(QPalette::ButtonText), QColor(0x00, 0x6E, 0xFF));
    tab->userIdLb()->setText("alice");
    tab->passwordLb()->setText("pa ss+=word");
    qttest::saveScreenshot(*tab, "login-page0-filled");

    ASSERT_TRUE(clickAndWait(tab->loginButton(), [this] { return events_.size() == 2; }));
    signedIn_ = true;
    EXPECT_EQ(events_, (std::vector<std::string>{"menu", "block"}));
    auto body = server_.lastBody(kLoginPath);
    ASSERT_TRUE(body && body->is_object());
    EXPECT_EQ((*body)["userid"], "alice");
    EXPECT_EQ((*body)["password"], "pa ss+=word");
    EXPECT_FALSE(body->contains("otp")) << "the empty OTP is not sent";
    EXPECT_EQ(tab->loginTypeTable()->currentIndex(), 0);
    EXPECT_TRUE(tab->userIdLb()->text().isEmpty());
    EXPECT_TRUE(tab->passwordLb()->text().isEmpty());
    EXPECT_TRUE(RavAvizaLoginHelper::iflogin());
}

TEST_F(LoginScreensTest, EmptyFieldsAreRefusedBeforeAnyRequest) {
    const struct {
        const char* account;
        const char* password;
        const char* key;
    } cases[] = {{"", "secret", "AccountNotEmpty"}, {"", "", "AccountNotEmpty"}, {"   ", "", "PwdNotEmpty"}};
    auto tab = makeLoginTab();
    BoxCloser boxes;
    boxes.screenshot = "login-box-account-empty";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.key);
        const size_t before = boxes.texts.size();
        tab->userIdLb()->setText(c.account);
        tab->passwordLb()->setText(c.password);
        ASSERT_TRUE(clickAndWait(tab->loginButton(), [&] { return boxes.texts.size() == before + 1; }));
        EXPECT_EQ(boxes.texts.back(), L(c.key));
        EXPECT_EQ(boxes.titles.back(), L("Warnning"));
    }
    EXPECT_EQ(requestCount(kLoginPath), 0u);
}

TEST_F(LoginScreensTest, RefusedSignInShowsTheTextOfItsCodeOrStatus) {
    const struct {
        const char* name;
        Json entry;
        const char* key;      // a key of the table, or
        const char* literal;  // the text as it is
    } cases[] = {
        {"wrong password", Json{{"json", Json{{"ret", 1}, {"errorcode", 6}, {"msg", "bad"}}}},
         "AccountOrPwdError", nullptr},
        {"device blocked", Json{{"json", Json{{"ret", 1}, {"errorcode", 25}}}}, "Deviceblocked", nullptr},
        {"server text", Json{{"json", Json{{"ret", 1}, {"errorcode", 77}, {"msg", "Locked by admin"}}}},
         nullptr, "Locked by admin"},
        {"scanned", Json{{"json", Json{{"ret", 0}, {"data", Json{{"status", -1}}}}}}, nullptr,
         "\xE4\xBA\x8C\xE7\xBB\xB4\xE7\xA0\x81\xE5\xB7\xB2\xE6\x89\xAB\xE6\x8F\x8F"},
        {"under review", Json{{"json", Json{{"ret", 0}, {"data", Json{{"state", -5}}}}}}, "Devicereview",
         nullptr},
        {"no json", Json{{"raw", "<html>proxy</html>"}}, "NoAccount", nullptr},
        // Accepted replies that carry nothing the session can store are no sign-in.
        {"bare ret 0", Json{{"json", Json{{"ret", 0}}}}, "Faillogin", nullptr},
        {"state 0 without ticket", Json{{"json", Json{{"ret", 0}, {"data", Json{{"state", 0}}}}}},
         "Faillogin", nullptr},
        {"status 0 but state -3",
         Json{{"json", Json{{"ret", 0}, {"data", Json{{"status", 0}, {"state", -3}}}}}}, "Faillogin",
         nullptr},
        {"ticket without user",
         Json{{"json", Json{{"ret", 0}, {"data", Json{{"state", 0}, {"ticket", "TGT-1"}}}}}}, "Faillogin",
         nullptr},
    };
    auto tab = makeLoginTab();
    BoxCloser boxes;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server_.script(Json{{kLoginPath, Json::array({c.entry})}});
        const size_t before = boxes.texts.size();
        tab->userIdLb()->setText("bob");
        tab->passwordLb()->setText("secret");
        ASSERT_TRUE(clickAndWait(tab->loginButton(), [&] { return boxes.texts.size() == before + 1; }));
        EXPECT_EQ(boxes.texts.back(), c.key ? L(c.key) : QString::fromUtf8(c.literal));
        EXPECT_EQ(tab->loginTypeTable()->currentIndex(), 0);
    }
    EXPECT_TRUE(events_.empty()) << "no refusal counts as a sign-in";
    EXPECT_FALSE(RavAvizaLoginHelper::iflogin());
}

TEST_F(LoginScreensTest, StatusOutsideTheTableShowsNothing) {
    scriptReplies(
        server_, kLoginPath,
        {Json{{"ret", 0}, {"data", Json{{"status", 3}}}}, Json{{"ret", 0}, {"data", Json{{"status", -9}}}}});
    auto tab = makeLoginTab();
    BoxCloser boxes;
    for (int i = 0; i < 2; ++i) {
        tab->userIdLb()->setText("bob");
        tab->passwordLb()->setText("secret");
        ASSERT_TRUE(
            clickAndWait(tab->loginButton(), [&] { return requestCount(kLoginPath) == size_t(i + 1); }));
    }
    // The replies are handled once they are back: a later box would have come by the time the
    // server answered a third request.
    scriptReplies(server_, kLoginPath, {Json{{"ret", 1}, {"errorcode", 6}}});
    tab->userIdLb()->setText("bob");
    tab->passwordLb()->setText("secret");
    ASSERT_TRUE(clickAndWait(tab->loginButton(), [&] { return !boxes.texts.empty(); }));
    EXPECT_EQ(boxes.texts, (std::vector<QString>{L("AccountOrPwdError")}));
    EXPECT_TRUE(events_.empty());
}

TEST_F(LoginScreensTest, MissingLoginServerShowsItsText) {
    configure(0);
    auto tab = makeLoginTab();
    BoxCloser boxes;
    tab->userIdLb()->setText("bob");
    tab->passwordLb()->setText("secret");
    ASSERT_TRUE(clickAndWait(tab->loginButton(), [&] { return !boxes.texts.empty(); }));
    EXPECT_EQ(boxes.texts.back(), L("NoIPofIntranet"));
    EXPECT_EQ(requestCount(kLoginPath), 0u);
}

TEST_F(LoginScreensTest, ReturnInTheLoginFieldsSignsInOnlyWithBothFilled) {
    auto tab = makeLoginTab();
    BoxCloser boxes;
    tab->userIdLb()->setText("alice");
    tab->passwordLb()->setText("");
    tab->controlTextDidEndEditing(tab->userIdLb(), HuxLoginStateViewCtrl::kReturnTextMovement);
    emit tab->passwordLb()->returnPressed();
    QCoreApplication::processEvents();
    // Any other movement (a tab) never signs in.
    tab->passwordLb()->setText("secret");
    tab->controlTextDidEndEditing(tab->passwordLb(), 17);
    ASSERT_TRUE(qttest::waitFor([] { return false; }, std::chrono::milliseconds(200)) == false);
    EXPECT_EQ(requestCount(kLoginPath), 0u);
    EXPECT_TRUE(boxes.texts.empty()) << "no message box for an empty password";

    emit tab->passwordLb()->returnPressed();
    ASSERT_TRUE(qttest::waitFor([this] { return events_.size() == 2; }));
    signedIn_ = true;
    EXPECT_EQ(requestCount(kLoginPath), 1u);
}

// Login tab, page 1: the forced password change ----------------------------------------------------

TEST_F(LoginScreensTest, ForcedChangeKeepsTheAccountAndSendsItWithTheOldPassword) {
    scriptReplies(server_, kLoginPath, {Json{{"ret", 1}, {"errorcode", 20}, {"msg", "change it"}}});
    auto tab = makeLoginTab();
    BoxCloser boxes;
    tab->userIdLb()->setText("dave");
    tab->passwordLb()->setText("Old-pass1");
    ASSERT_TRUE(clickAndWait(tab->loginButton(), [&] { return tab->loginTypeTable()->currentIndex() == 1; }));
    EXPECT_EQ(tab->userIdLb()->text(), "dave");
    EXPECT_EQ(tab->passwordLb()->text(), "Old-pass1");
    EXPECT_TRUE(tab->fnewPassWordLab()->text().isEmpty());
    EXPECT_EQ(tab->confirmResetBtn()->title(), L("ChangePassword"));
    qttest::saveScreenshot(*tab, "login-page1-forced-change");

    // Local checks, in their order; none reaches the server.
    const struct {
        const char* fresh;
        const char* confirm;
        const char* key;
    } checks[] = {
        {"short1!", "short1!", "PwdRuleTips"},
        {"abcdefg1!", "abcdefg1?", "PwdInconsistent"},
        {"Old-pass1", "Old-pass1", "NOUseOldPwd"},
    };
    for (const auto& c : checks) {
        SCOPED_TRACE(c.key);
        tab->fnewPassWordLab()->setText(c.fresh);
        tab->confirmPassWordLab()->setText(c.confirm);
        tab->confirmResetBtn()->click();
        EXPECT_FALSE(tab->resetPasswordTipsLab()->isHidden());
        EXPECT_EQ(tab->resetPasswordTipsLab()->text(), L(c.key));
    }
    EXPECT_EQ(tab->window()->focusWidget(), tab->confirmPassWordLab()) << "after a mismatch";
    qttest::saveScreenshot(*tab, "login-page1-tip");
    EXPECT_EQ(requestCount(kResetPath), 0u);
    EXPECT_TRUE(boxes.texts.empty()) << "page 1's checks use the tip label";

    // A refused change shows its text in the box; the accepted one signs in.
    scriptReplies(server_, kResetPath, {Json{{"ret", 1}, {"errorcode", 21}}});
    tab->fnewPassWordLab()->setText("abcdefg1!");
    tab->confirmPassWordLab()->setText("abcdefg1!");
    ASSERT_TRUE(clickAndWait(tab->confirmResetBtn(), [&] { return !boxes.texts.empty(); }));
    EXPECT_EQ(boxes.texts.back(), L("ModifyPwdFailedForOldPwdError"));
    EXPECT_TRUE(tab->resetPasswordTipsLab()->isHidden());

    ASSERT_TRUE(clickAndWait(tab->confirmResetBtn(), [this] { return events_.size() == 2; }));
    EXPECT_EQ(events_, (std::vector<std::string>{"menu", "block"}));
    auto body = server_.lastBody(kResetPath);
    ASSERT_TRUE(body);
    EXPECT_EQ((*body)["userid"], "dave");
    EXPECT_EQ((*body)["old_password"], "Old-pass1");
    EXPECT_EQ((*body)["password"], "abcdefg1!");
    EXPECT_EQ(tab->loginTypeTable()->currentIndex(), 0);
    EXPECT_TRUE(RavAvizaLoginHelper::iflogin());
    // A change signs in without the policy fetch of a login.
    EXPECT_EQ(requestCount(kLoginPath), 1u);
}

TEST_F(LoginScreensTest, RuleCalloutFollowsTheEmptyNewPasswordField) {
    scriptReplies(server_, kLoginPath, {Json{{"ret", 1}, {"errorcode", 20}}});
    auto tab = makeLoginTab();
    tab->userIdLb()->setText("dave");
    tab->passwordLb()->setText("Old-pass1");
    ASSERT_TRUE(clickAndWait(tab->loginButton(), [&] { return tab->loginTypeTable()->currentIndex() == 1; }));

    tab->fnewPassWordLab()->setFocus();
    ASSERT_TRUE(qttest::waitFor([&] { return tab->shownCheckPasswordCtrl() != nullptr; }));
    ZemCheckPasswordFormat* callout = tab->shownCheckPasswordCtrl();
    EXPECT_EQ(callout->tipsLab()->text(), L("PwdRuleTips"));
    EXPECT_EQ(callout->height(), 85);
    const QPoint field = tab->fnewPassWordLab()->mapTo(tab.get(), QPoint(0, 0));
    EXPECT_EQ(callout->pos(), QPoint(field.x(), field.y() + tab->fnewPassWordLab()->height() + 2));
    qttest::saveScreenshot(*tab, "login-page1-rule-callout");

    // Typing hides it, emptying the field brings it back; the confirm field shows none.
    tab->fnewPassWordLab()->setText("a");
    tab->controlTextDidChange(tab->fnewPassWordLab());
    EXPECT_EQ(tab->shownCheckPasswordCtrl(), nullptr);
    tab->fnewPassWordLab()->setText("");
    tab->controlTextDidChange(tab->fnewPassWordLab());
    EXPECT_NE(tab->shownCheckPasswordCtrl(), nullptr);
    tab->controlTextDidChange(tab->confirmPassWordLab());
    tab->fnewPassWordLab()->setText("abc");
    tab->controlTextDidChange(tab->fnewPassWordLab());
    tab->notifyToBecomeFirstResponder(tab->confirmPassWordLab());
    EXPECT_EQ(tab->shownCheckPasswordCtrl(), nullptr);

    // Leaving the field with a text that breaks the rule shows the rule in the tip label.
    EXPECT_TRUE(tab->control(tab->fnewPassWordLab(), "abc"));
    EXPECT_EQ(tab->resetPasswordTipsLab()->text(), L("PwdRuleTips"));
    EXPECT_TRUE(tab->control(tab->fnewPassWordLab(), "abcdefg1!"));
    EXPECT_TRUE(tab->resetPasswordTipsLab()->isHidden());
}

// Login tab, page 2: retrieval by mail -------------------------------------------------------------

TEST_F(LoginScreensTest, RetrievalSendsTheAccountAndShowsWhereTheMailWent) {
    auto tab = makeLoginTab();
    BoxCloser boxes;
    tab->getback_password()->click();
    EXPECT_EQ(tab->loginTypeTable()->currentIndex(), 2);
    EXPECT_EQ(tab->retrieveTableView()->currentIndex(), 0);
    ASSERT_TRUE(clickAndWait(tab->sendUseridBtn(), [&] { return !boxes.texts.empty(); }));
    EXPECT_EQ(boxes.texts.back(), L("AccountNotEmpty"));

    scriptReplies(server_, kRetrievePath,
                  {Json{{"ret", 1}, {"errorcode", 42}},
                   Json{{"ret", 0}, {"data", Json{{"user_email", "c***@corp.example"}}}}});
    tab->getbackLab()->setText("carol");
    ASSERT_TRUE(clickAndWait(tab->sendUseridBtn(), [&] { return boxes.texts.size() == 2; }));
    EXPECT_EQ(boxes.texts.back(), L("UserNoMailbox"));
    EXPECT_EQ(tab->retrieveTableView()->currentIndex(), 0);

    ASSERT_TRUE(
        clickAndWait(tab->sendUseridBtn(), [&] { return tab->retrieveTableView()->currentIndex() == 1; }));
    EXPECT_EQ(tab->mailInfoLab()->text(), L("PasswordSendTo") + " c***@corp.example");
    EXPECT_EQ(server_.lastBody(kRetrievePath), (Json{{"user_id", "carol"}}));
    qttest::saveScreenshot(*tab, "login-page2-mail-sent");

    // Back to page 0, and a new retrieval starts on its first sub-page with an empty field.
    tab->gotoLoginBtn()->click();
    EXPECT_EQ(tab->loginTypeTable()->currentIndex(), 0);
    tab->getback_password()->click();
    EXPECT_EQ(tab->retrieveTableView()->currentIndex(), 0);
    EXPECT_TRUE(tab->getbackLab()->text().isEmpty());
}

// The change-password sheet ------------------------------------------------------------------------

class ChangePasswordSheetTest : public LoginScreensTest {
  protected:
    void storeRecord() {
        common::AccountModel record;
        record.userid = "u7";
        record.username = "User Seven";
        record.setTicket("TGT-u7-1");
        record.loginType = 1;
        ASSERT_TRUE(record.save());
    }
    std::unique_ptr<HuxModifyPasswordCtrl> openSheet() {
        // Made here: the application exists only once SetUp ran.
        main_ = std::make_unique<QWidget>();
        main_->resize(600, 400);
        main_->show();
        auto sheet = std::make_unique<HuxModifyPasswordCtrl>(main_.get());
        sheet->savebtn()->setChecked(true);
        sheet->setWindowModality(Qt::WindowModal);
        sheet->open();
        return sheet;
    }
    void fill(HuxModifypasswordViewCtrl* view, const char* old, const char* fresh, const char* confirm) {
        view->oldPassWordLab()->setText(old);
        view->fnewPassWordLab()->setText(fresh);
        view->confirmPassWordLab()->setText(confirm);
    }
    std::unique_ptr<QWidget> main_;
};

TEST_F(ChangePasswordSheetTest, LocalChecksShowTheirTipAndSendNothing) {
    const struct {
        const char* name;
        bool record;
        const char* old;
        const char* fresh;
        const char* confirm;
        const char* key;
    } cases[] = {
        {"old empty", true, "", "abcdefg1!", "abcdefg1!", "PwdNotEmpty"},
        {"rule", true, "Old-pass1", "abcdefgh", "abcdefgh", "PwdRuleTips"},
        {"mismatch", true, "Old-pass1", "abcdefg1!", "abcdefg1#", "PwdInconsistent"},
        {"no account", false, "Old-pass1", "abcdefg1!", "abcdefg1!", "NOGetOldAcountInfo"},
        {"same as old", true, "abcdefg1!", "abcdefg1!", "abcdefg1!", "NOUseOldPwd"},
    };
    auto sheet = openSheet();
    HuxModifypasswordViewCtrl* view = sheet->contentViewController();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        common::AccountModel::deleteCurrentModel();
        if (c.record) storeRecord();
        fill(view, c.old, c.fresh, c.confirm);
        view->okButton()->setChecked(false);
        view->okButton()->click();
        EXPECT_FALSE(view->resetPasswordTipsLab()->isHidden());
        EXPECT_EQ(view->resetPasswordTipsLab()->text(), L(c.key));
        EXPECT_TRUE(view->okButton()->isChecked()) << "the button is left on";
    }
    qttest::saveScreenshot(*sheet, "change-password-sheet-tip");
    EXPECT_EQ(requestCount(kResetPath), 0u);
    EXPECT_TRUE(sheet->isVisible());
}

TEST_F(ChangePasswordSheetTest, ServerRefusalsShowInlineAndSuccessEndsTheSheetWithOne) {
    storeRecord();
    scriptReplies(
        server_, kResetPath,
        {Json{{"ret", -1}, {"errorcode", 21}}, Json{{"ret", 3}, {"errorcode", 21}, {"msg", "Try later"}},
         Json{{"ret", 0}, {"data", Json{{"status", -2}}}}});
    auto sheet = openSheet();
    HuxModifypasswordViewCtrl* view = sheet->contentViewController();
    BoxCloser boxes;
    const char* expected[] = {"OldPwdError", nullptr, "NotLogin"};
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        fill(view, "Old-pass1", "abcdefg1!", "abcdefg1!");
        view->resetPasswordTipsLab()->setText(QString());
        ASSERT_TRUE(
            clickAndWait(view->okButton(), [&] { return !view->resetPasswordTipsLab()->text().isEmpty(); }));
        EXPECT_EQ(view->resetPasswordTipsLab()->text(), expected[i] ? L(expected[i]) : QString("Try later"));
        EXPECT_TRUE(sheet->isVisible());
    }
    EXPECT_TRUE(boxes.texts.empty()) << "the sheet shows no message box";

    std::vector<long> ended;
    QObject::connect(view, &HuxModifypasswordViewCtrl::sheetEnded, [&](long code) { ended.push_back(code); });
    fill(view, "Old-pass1", "abcdefg1!", "abcdefg1!");
    ASSERT_TRUE(clickAndWait(view->okButton(), [&] { return !ended.empty(); }));
    EXPECT_EQ(ended, (std::vector<long>{1}));
    EXPECT_EQ(sheet->result(), 1);
    EXPECT_FALSE(sheet->isVisible());
    auto body = server_.lastBody(kResetPath);
    ASSERT_TRUE(body);
    EXPECT_EQ((*body)["userid"], "u7");
    EXPECT_EQ((*body)["old_password"], "Old-pass1");
    EXPECT_EQ((*body)["password"], "abcdefg1!");

    // The same sheet opens again; cancel ends it with 0.
    sheet->open();
    view->cancelButton()->click();
    EXPECT_EQ(ended.back(), 0);
    EXPECT_EQ(sheet->result(), 0);
}

TEST_F(ChangePasswordSheetTest, CalloutsOfTheNewAndTheConfirmField) {
    auto sheet = openSheet();
    HuxModifypasswordViewCtrl* view = sheet->contentViewController();
    view->fnewPassWordLab()->setText("typed");  // shown whether the field is empty or not
    view->notifyToBecomeFirstResponder(view->fnewPassWordLab());
    ZemCheckPasswordFormat* callout = view->shownCheckPasswordCtrl();
    ASSERT_NE(callout, nullptr);
    EXPECT_EQ(callout->tipsLab()->text(), L("PwdRuleTips"));
    EXPECT_EQ(callout->height(), 67);
    qttest::saveScreenshot(*sheet, "change-password-sheet-callout");
    view->notifyToBecomeFirstResponder(view->confirmPassWordLab());
    EXPECT_EQ(callout->tipsLab()->text(), L("PwdInconsistent"));
    EXPECT_EQ(callout->height(), 32);
    const QPoint field = view->confirmPassWordLab()->mapTo(view, QPoint(0, 0));
    EXPECT_EQ(callout->pos(), QPoint(field.x(), field.y() + view->confirmPassWordLab()->height() + 5));

    view->resetPassBtn(view->fnewPassWordLab());
    EXPECT_EQ(view->resetPasswordTipsLab()->text(), L("PwdFormatError"));
    view->fnewPassWordLab()->setText("abcdefg1!");
    view->resetPassBtn(view->fnewPassWordLab());
    EXPECT_TRUE(view->resetPasswordTipsLab()->isHidden());
}

// The two windows nobody opens ---------------------------------------------------------------------

TEST(UnopenedLoginWindows, LoadWithTheirOutlets) {
    qttest::qtApp();
    HuxLoginFailMessageCtrl fail;
    ASSERT_NE(fail.window(), nullptr);
    ASSERT_NE(fail.findpwd_btn(), nullptr);
    EXPECT_EQ(fail.findpwd_btn()->palette().color(QPalette::ButtonText), QColor(0x05, 0x7C, 0xFF));
    ZemLoginWindow login;
    EXPECT_EQ(login.passwordTF()->echoMode(), QLineEdit::Password);
    login.userNameTF()->setText("x");
    login.confirmBtn()->click();
    EXPECT_EQ(login.userNameTF()->text(), "x");
}
