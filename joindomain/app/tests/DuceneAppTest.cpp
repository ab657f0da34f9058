// The domain-join app's windows (offscreen) calling the real Sorrel helper, served in this
// process over the real helper connection, which runs recording stand-ins of the system tools in
// a temporary root. Delays run on manual time. Screenshots of each window state land in
// <build>/ui-screenshots.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

#include "joindomain/app/DomainJoinFiles.h"
#include "joindomain/app/DuceneHelperManager.h"
#include "joindomain/app/DuceneMainWindowController.h"
#include "joindomain/app/JoinDomainManualSettingInfoWindow.h"
#include "joindomain/app/JoinDomainStatusWindowController.h"
#include "joindomain/helper/JoinDomainUtil.h"
#include "joindomain/helper/Sorrel.h"
#include "joindomain/helper/tests/ToolFakes.h"
#include "joindomain/scaffold/RootApp.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/archive/Plist.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/dispatch/WorkQueue.h"
#include "platform/paths/Paths.h"
#include "platform/qt/QtMainQueue.h"
#include "tests/support/QtTestApp.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"

namespace {

using namespace std::chrono_literals;

// The ids of the user the app acts for: any user other than root.
constexpr uid_t kNobody = 65534;
// Windows of the app close while tests go on.
QApplication& qtApp() {
    QApplication& app = qttest::qtApp();
    app.setQuitOnLastWindowClosed(false);
    return app;
}

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit = 20s) {
    return qttest::waitFor(condition, limit);
}

void saveScreenshot(QWidget& widget, const std::string& name) {
    qttest::saveScreenshot(widget, "ducene-" + name);
}

using namespace std::chrono_literals;
using ducene::DuceneHelperManager;
using ducene::DuceneMainWindowController;
using ducene::JoinDomainManualSettingInfoWindow;
using ducene::JoinDomainStatusWindowController;

// The helper's log file: each line "[Type] date time text".
class HelperLog {
  public:
    explicit HelperLog(sorrel::Sorrel& helper) : helper_(helper) {}
    bool has(const std::string& text, unsigned type, std::chrono::milliseconds limit = 10s) const {
        const std::string prefix = type == sorrel::kLogInfo    ? "[Info] "
                                   : type == sorrel::kLogDebug ? "[Debug] "
                                                               : "[Error] ";
        return testsupport::eventually(
            [&] {
                helper_.logger().flush();
                const std::string log = testsupport::readText(paths::localLibraryFolder() +
                                                              "/Logs/RavAviza/v5/Logs/Ducene-Logger.log");
                for (size_t at = 0; at < log.size();) {
                    size_t end = log.find('\n', at);
                    if (end == std::string::npos) end = log.size();
                    std::string line = log.substr(at, end - at);
                    at = end + 1;
                    if (!line.empty() && line.back() == '\r') line.pop_back();
                    if (line.rfind(prefix, 0) == 0 && line.size() >= text.size() + 1 &&
                        line.compare(line.size() - text.size() - 1, std::string::npos, " " + text) == 0)
                        return true;
                }
                return false;
            },
            limit);
    }

  private:
    sorrel::Sorrel& helper_;
};

constexpr const char* kShowJoined =
    "Active Directory Forest          = corp.example.com\n"
    "Active Directory Domain          = corp.example.com\n"
    "Computer Account                 = abc-mc0$\n";

class DuceneAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        qtApp();
        fakes_.emplace(root_.path());
        for (const char* tool : {"ldapwhoami", "scutil", "createmobileaccount", "dscl", "profiles", "dig",
                                 "ldapsearch", "networksetup"}) {
            fakes_->recorder(tool);
        }
        // "-show" answers from answers/show; every other form from the usual answer files.
        fakes_->script("dsconfigad", "if [ \"$1\" = -show ]; then [ -f '" + root_.path() +
                                         "/answers/show' ] && cat '" + root_.path() +
                                         "/answers/show'; exit 0; fi\n");
        // The app acts for the user at the screen ("tester", with nobody's ids), whose home it
        // reaches through its folder's descriptor; HOME (root's under pkexec) plays no part.
        home_ = paths::usersFolder() + "/tester";
        std::filesystem::create_directories(home_);
        ASSERT_EQ(::chown(home_.c_str(), kNobody, kNobody), 0);
        helperscaffold::setActingUser({kNobody, kNobody, "tester", home_});
        root_.signInAtScreen("tester");
        std::filesystem::create_directories(paths::machineSupportFolder());
        DuceneMainWindowController::setResourcesFolder(DUCENE_RESOURCES);
        DuceneHelperManager& manager = DuceneHelperManager::sharedInstance();
        manager.reset();
        sorrel_.emplace();
        logs_.emplace(*sorrel_);
        helperThread_ = std::thread([this] { sorrel_->startToRun(); });
        // The app's connection to this test's helper (one to an earlier test's helper ends first).
        ASSERT_TRUE(testsupport::eventually([&] {
            connection_ = manager.helperConnection();
            return connection_->isValid() && sorrel_->connectionCount() == 1;
        }));
    }
    void TearDown() override {
        status_.reset();
        QCoreApplication::processEvents();
        sorrel_->setShouldQuit(true);
        helperThread_.join();
        logs_.reset();
        sorrel_.reset();
        EXPECT_TRUE(testsupport::eventually([&] { return !connection_->isValid(); }));
    }

    // Moves manual time on and lets the main queue work.
    void advance(std::chrono::milliseconds by) {
        dispatch::ManualTime::advance(by);
        settle();
    }
    void settle() {
        for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
    }
    // Lets the main queue and the helper's answers work for a while.
    void idle(std::chrono::milliseconds span = 200ms) {
        const auto until = std::chrono::steady_clock::now() + span;
        while (std::chrono::steady_clock::now() < until)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    }
    bool showsText(QWidget& window, const char* name, const std::string& expected) {
        return waitFor([&] { return text(window, name) == expected; }, 10s);
    }

    void writeDomainList(const archive::Array& entries) {
        ASSERT_TRUE(archive::archiveRootObjectToFile(archive::Value(entries), ducene::domainInfoFile()));
    }
    static archive::Value entry(const std::string& name, const std::string& ssid = "Office") {
        return archive::Value(
            archive::Dictionary{{"name", archive::Value(name)},
                                {"domain_admin_account", archive::Value(std::string("joiner"))},
                                {"domain_admin_pwd", archive::Value(std::string("adm\"in"))},
                                {"wifissid", archive::Value(ssid)}});
    }

    JoinDomainStatusWindowController& statusWindow() {
        if (!status_) {
            status_ = std::make_unique<JoinDomainStatusWindowController>();
            status_->show();
        }
        return *status_;
    }
    template <typename T>
    static T* child(QWidget& window, const char* name) {
        T* found = window.findChild<T*>(name);
        EXPECT_NE(found, nullptr) << name;
        return found;
    }
    static std::string text(QWidget& window, const char* name) {
        if (auto* label = window.findChild<QLabel*>(name)) return label->text().toStdString();
        if (auto* button = window.findChild<QPushButton*>(name)) return button->text().toStdString();
        ADD_FAILURE() << name;
        return {};
    }
    // Opens the join window from a status window that shows "not joined".
    DuceneMainWindowController& openJoinWindow() {
        JoinDomainStatusWindowController& status = statusWindow();
        status.loadDomainView();
        advance(1000ms);
        EXPECT_TRUE(showsText(status, "tipsLabel", "当前机器未入域"));
        status.mainButtonAction();
        settle();
        EXPECT_NE(status.joinMainWindowController(), nullptr);
        return *status.joinMainWindowController();
    }
    void typeCredentials(DuceneMainWindowController& join, const char* account, const char* password) {
        child<QLineEdit>(join, "accountTextField")->setText(account);
        child<QLineEdit>(join, "passwordTextField")->setText(password);
    }

    testsupport::TempRoot root_{"jd-app"};
    dispatch::ManualTime time_;
    QtMainQueue mainQueue_;
    std::optional<jdtest::ToolFakes> fakes_;
    std::optional<sorrel::Sorrel> sorrel_;
    std::optional<HelperLog> logs_;
    std::thread helperThread_;
    std::shared_ptr<ipc::XpcConnection> connection_;
    std::string home_;
    std::unique_ptr<JoinDomainStatusWindowController> status_;
};

TEST_F(DuceneAppTest, StatusWindowShowsAnUnboundMachine) {
    JoinDomainStatusWindowController& status = statusWindow();
    status.loadDomainView();
    settle();
    EXPECT_TRUE(showsText(status, "tipsLabel", "正在检测当前机器"));
    EXPECT_TRUE(child<QPushButton>(status, "mainButton")->isHidden());
    EXPECT_FALSE(child<QProgressBar>(status, "progressIndicator")->isHidden());
    saveScreenshot(status, "status-checking");

    advance(1000ms);
    EXPECT_TRUE(showsText(status, "tipsLabel", "当前机器未入域"));
    EXPECT_TRUE(showsText(status, "mainButton", "入    域"));
    EXPECT_FALSE(child<QPushButton>(status, "mainButton")->isHidden());
    EXPECT_TRUE(child<QProgressBar>(status, "progressIndicator")->isHidden());
    EXPECT_FALSE(status.isJoinDomain());
    saveScreenshot(status, "status-not-joined");
}

TEST_F(DuceneAppTest, StatusWindowOffersTheMobileAccountUntilItsHomeExists) {
    fakes_->answer("show", "", "");
    testsupport::writeFile(root_.path() + "/answers/show", kShowJoined);
    JoinDomainStatusWindowController& status = statusWindow();
    status.loadDomainView();
    advance(1000ms);
    EXPECT_TRUE(showsText(status, "tipsLabel", "当前机器已加入域：corp.example.com"));
    EXPECT_TRUE(status.isJoinDomain());
    EXPECT_EQ(DuceneHelperManager::sharedInstance().domainAccount(), "abc");
    EXPECT_TRUE(child<QPushButton>(status, "mainButton")->isHidden());
    EXPECT_FALSE(child<QPushButton>(status, "createMobileAccountButton")->isHidden());
    EXPECT_FALSE(child<QPushButton>(status, "quitDomainButton")->isHidden());
    EXPECT_TRUE(showsText(status, "createMobileAccountTipsLabel", ""));
    saveScreenshot(status, "status-joined-no-mobile-account");

    // The helper cannot enable mobile accounts: the home folder stays missing.
    status.createMobileAccountButtonAction();
    EXPECT_TRUE(showsText(status, "tipsLabel", "正在检测当前机器"));
    advance(1000ms);
    EXPECT_EQ(fakes_->callsOf("dsconfigad [-mobile]"),
              std::vector<std::string>{"dsconfigad [-mobile] [enable] [-mobileconfirm] [disable]"});
    EXPECT_TRUE(showsText(status, "createMobileAccountTipsLabel", "移动账号创建失败！"));
    saveScreenshot(status, "status-mobile-account-failed");

    std::filesystem::create_directories(paths::usersFolder() + "/abc");
    status.loadDomainView();
    advance(1000ms);
    EXPECT_TRUE(showsText(status, "createMobileAccountTipsLabel",
                          "移动账号已创建成功，需要重启机器并登录后，账号才能生效！"));
    EXPECT_FALSE(child<QPushButton>(status, "mainButton")->isHidden());
    EXPECT_TRUE(showsText(status, "mainButton", "退    域"));
    EXPECT_TRUE(child<QPushButton>(status, "createMobileAccountButton")->isHidden());
    EXPECT_EQ(text(status, "createMobileAccountTipsLabel"),
              "移动账号已创建成功，需要重启机器并登录后，账号才能生效！");
    saveScreenshot(status, "status-joined");
}

TEST_F(DuceneAppTest, LeavingTheDomain) {
    testsupport::writeFile(root_.path() + "/answers/show", kShowJoined);
    std::filesystem::create_directories(paths::usersFolder() + "/abc");
    JoinDomainStatusWindowController& status = statusWindow();
    status.loadDomainView();
    advance(1000ms);
    ASSERT_TRUE(showsText(status, "tipsLabel", "当前机器已加入域：corp.example.com"));

    // A failed leave keeps the joined state and gives the buttons back.
    fakes_->answer("dsconfigad", "err", "dsconfigad: not permitted\n");
    fakes_->answer("dsconfigad", "status", "3");
    status.mainButtonAction();
    settle();
    EXPECT_TRUE(showsText(status, "tipsLabel", "正在退域..."));
    EXPECT_FALSE(child<QPushButton>(status, "mainButton")->isEnabled());
    advance(2400ms);
    EXPECT_TRUE(fakes_->callsOf("dsconfigad [-f]").empty()) << "the leave waits 2.5 s";
    advance(100ms);
    EXPECT_TRUE(showsText(status, "tipsLabel", "当前机器退域失败"));
    EXPECT_EQ(fakes_->callsOf("dsconfigad [-f]").size(), 1u);
    EXPECT_TRUE(status.isJoinDomain());
    EXPECT_TRUE(child<QPushButton>(status, "mainButton")->isEnabled());
    saveScreenshot(status, "status-leave-failed");

    std::filesystem::remove(root_.path() + "/answers/dsconfigad.status");
    std::filesystem::remove(root_.path() + "/answers/dsconfigad.err");
    status.mainButtonAction();
    advance(2500ms);
    EXPECT_TRUE(showsText(status, "tipsLabel", "当前机器退域成功"));
    EXPECT_TRUE(showsText(status, "mainButton", "入    域"));
    EXPECT_FALSE(status.isJoinDomain());
    EXPECT_TRUE(child<QLabel>(status, "createMobileAccountTipsLabel")->isHidden());
    saveScreenshot(status, "status-left");
}

TEST_F(DuceneAppTest, JoinWindowWithoutDomainList) {
    DuceneMainWindowController& join = openJoinWindow();
    settle();
    EXPECT_TRUE(showsText(join, "tipsLabel", "未获取到任何域信息"));
    EXPECT_EQ(child<QComboBox>(join, "domainComboBox")->count(), 0);
    EXPECT_TRUE(child<QProgressBar>(join, "progressIndicator")->isHidden());
    EXPECT_TRUE(
        logs_->has("Failed to retrieve domain information because no policy was issued", sorrel::kLogError));
    saveScreenshot(join, "join-no-domain-list");
}

TEST_F(DuceneAppTest, JoinWindowWithMalformedDomainList) {
    testsupport::writeFile(ducene::domainInfoFile(), "not an archive");
    DuceneMainWindowController& join = openJoinWindow();
    settle();
    EXPECT_TRUE(showsText(join, "tipsLabel", ""));
    EXPECT_TRUE(logs_->has("Failed to get domain information because of a format error", sorrel::kLogError));
}

TEST_F(DuceneAppTest, JoinChecksItsFieldsInOrder) {
    writeDomainList(
        {entry("corp.example.com"), archive::Value(archive::Dictionary{}), entry("lab.example.com")});
    DuceneMainWindowController& join = openJoinWindow();
    settle();
    auto* combo = child<QComboBox>(join, "domainComboBox");
    ASSERT_EQ(combo->count(), 2) << "entries without a name are skipped";
    EXPECT_EQ(combo->currentText().toStdString(), "corp.example.com");
    EXPECT_EQ(join.ssid(), "Office");
    saveScreenshot(join, "join-ready");

    auto* account = child<QLineEdit>(join, "accountTextField");
    auto* password = child<QLineEdit>(join, "passwordTextField");
    combo->setEditText("");
    join.joinDomainButtonAction();
    EXPECT_EQ(account->placeholderText().toStdString(), "账号不能为空");
    EXPECT_EQ(password->placeholderText().toStdString(), "") << "the checks stop at the first empty field";
    EXPECT_TRUE(showsText(join, "tipsLabel", ""));

    account->setText("alice");
    join.joinDomainButtonAction();
    EXPECT_EQ(password->placeholderText().toStdString(), "密码不能为空");

    password->setText("pw");
    join.joinDomainButtonAction();
    EXPECT_TRUE(showsText(join, "tipsLabel", "域名不能为空"));

    combo->setEditText("typed.example.com");
    join.joinDomainButtonAction();
    EXPECT_TRUE(showsText(join, "tipsLabel", "获取不到当前域的信息"));
    EXPECT_TRUE(child<QPushButton>(join, "joinDomainButton")->isEnabled());
    settle();
    EXPECT_TRUE(fakes_->callsOf("ldapwhoami").empty());
    EXPECT_TRUE(fakes_->callsOf("networksetup").empty());
}

TEST_F(DuceneAppTest, SuccessfulJoinRunsEveryStepAndClosesTheWindow) {
    writeDomainList({entry("corp.example.com")});
    // A profile the user planted in its folder, and a stand-in that keeps what it installs.
    const std::string folder = home_ + "/Library/Application Support/RavAvizaL/";
    testsupport::writeFile(folder + "ConnectWiFi.mobileconfig", "identity=planted-by-the-user", 0600);
    for (const std::string& path : {home_ + "/Library", home_ + "/Library/Application Support", folder,
                                    folder + "ConnectWiFi.mobileconfig"}) {
        ASSERT_EQ(::chown(path.c_str(), kNobody, kNobody), 0);
    }
    fakes_->script("profiles", "cat \"$3\" >> '" + root_.path() + "/installed'\n");
    fakes_->answer("networksetup", "out", "You are not associated with an AirPort network.\n");
    fakes_->answer("dsconfigad", "out", "Settings changed\n");
    DuceneMainWindowController& join = openJoinWindow();
    settle();
    typeCredentials(join, "alice", "p\"w$1");
    join.joinDomainButtonAction();
    settle();
    EXPECT_TRUE(showsText(join, "tipsLabel", "正在检测帐号是否有效..."));
    EXPECT_FALSE(child<QPushButton>(join, "joinDomainButton")->isEnabled());
    saveScreenshot(join, "join-checking-account");

    // Both profiles carry the credentials and stay private to the user.
    auto wifi = archive::readPlistFile(folder + "ConnectWiFi.mobileconfig");
    ASSERT_TRUE(wifi);
    const archive::Value& payload = wifi->find("PayloadContent")->array()->front();
    EXPECT_EQ(*payload.find("SSID_STR")->string(), "Office");
    EXPECT_EQ(*payload.find("PayloadDisplayName")->string(), "WiFi (Office)");
    EXPECT_EQ(*payload.find("EAPClientConfiguration")->find("UserPassword")->string(), "p\"w$1");
    auto ethernet = archive::readPlistFile(folder + "ConnectEthernet.mobileconfig");
    ASSERT_TRUE(ethernet);
    EXPECT_EQ(*ethernet->find("PayloadContent")
                   ->array()
                   ->front()
                   .find("EAPClientConfiguration")
                   ->find("UserName")
                   ->string(),
              "alice");
    struct stat st {};
    ASSERT_EQ(::stat((folder + "ConnectWiFi.mobileconfig").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(st.st_uid, kNobody) << "the user's own file";
    EXPECT_TRUE(logs_->has("DomainTool::update mobileconfig result: 1", sorrel::kLogInfo));

    EXPECT_TRUE(fakes_->callsOf("ldapwhoami").empty());
    advance(2000ms);
    EXPECT_TRUE(showsText(join, "tipsLabel", "账号有效，获取机器名..."));
    EXPECT_EQ(fakes_->callsOf("stdin ldapwhoami:"), std::vector<std::string>{"stdin ldapwhoami: p\"w$1"});
    // The helper installed the two profiles the app has just written, never the planted one.
    EXPECT_TRUE(logs_->has("DomainTool::InstallEthernetMobileConfig Success", sorrel::kLogDebug));
    EXPECT_TRUE(logs_->has("DomainTool::InstallWiFiMobileConfig Success", sorrel::kLogDebug));
    const std::string installed = testsupport::readText(root_.path() + "/installed");
    EXPECT_NE(installed.find("<string>WiFi (Office)</string>"), std::string::npos) << installed;
    EXPECT_NE(installed.find("<string>alice</string>"), std::string::npos) << installed;
    EXPECT_EQ(installed.find("planted-by-the-user"), std::string::npos) << installed;
    advance(500ms);
    EXPECT_TRUE(showsText(join, "tipsLabel", "获取到机器名，正在入域..."));
    advance(500ms);
    EXPECT_TRUE(showsText(join, "tipsLabel", "入域成功，更新设备机器名..."));
    EXPECT_EQ(fakes_->callsOf("dsconfigad [-a]").size(), 1u);
    EXPECT_NE(fakes_->callsOf("dsconfigad [-a]").front().find("[ALICE-MC0]"), std::string::npos);
    advance(500ms);
    EXPECT_TRUE(waitFor([&] { return join.isHidden(); }));
    EXPECT_EQ(fakes_->callsOf("scutil").size(), 3u);
    EXPECT_EQ(fakes_->callsOf("createmobileaccount").size(), 1u);
    EXPECT_TRUE(logs_->has("Join domain finish.", sorrel::kLogInfo));
    EXPECT_EQ(child<QLineEdit>(join, "accountTextField")->text().toStdString(), "");
    EXPECT_EQ(child<QLineEdit>(join, "passwordTextField")->text().toStdString(), "");
    settle();
    EXPECT_TRUE(testsupport::eventually([] {
        return testsupport::readText(paths::machineSupportFolder() + "/joinDomainUpdate.txt")
                   .find("Join domain success, then Zem need update machine name.") != std::string::npos;
    }));

    // The status window reads the state again; the domain user has no home folder yet.
    testsupport::writeFile(root_.path() + "/answers/show", kShowJoined);
    JoinDomainStatusWindowController& status = statusWindow();
    status.windowDidBecomeMain();
    advance(1000ms);
    EXPECT_TRUE(showsText(status, "tipsLabel", "当前机器已加入域：corp.example.com"));
    EXPECT_TRUE(showsText(status, "createMobileAccountTipsLabel", "移动账号创建失败！"));
}

TEST_F(DuceneAppTest, FailedStepsShowTheirMessageAndKeepTheWindow) {
    struct Case {
        const char* name;
        const char* tool;
        const char* error;
        size_t stepsPassed;
        const char* tips;
    } cases[] = {
        {"account check", "ldapwhoami", "ldap_bind: Invalid credentials (49)\n", 0,
         "校验帐号和密码错误或网络不通请确保已连接内网！"},
        {"computer name", "ldapsearch", "ldap_sasl_bind: Can't contact LDAP server\n", 1,
         "无法获取入域机器名"},
        {"bind", "dsconfigad", "dsconfigad: bind refused\n", 2, "入域失败!"},
    };
    const char* passed[] = {"账号有效，获取机器名...", "获取到机器名，正在入域..."};
    writeDomainList({entry("corp.example.com")});
    DuceneMainWindowController& join = openJoinWindow();
    settle();
    for (const Case& c : cases) {
        std::filesystem::remove_all(root_.path() + "/answers");
        // On the issued Wi-Fi network already: no profile is written or installed.
        fakes_->answer("networksetup", "out", "Current Wi-Fi Network: Office\n");
        fakes_->answer(c.tool, "err", c.error);
        typeCredentials(join, "alice", "pw");
        join.joinDomainButtonAction();
        EXPECT_TRUE(showsText(join, "tipsLabel", "正在检测帐号是否有效..."));
        advance(2000ms);
        for (size_t step = 0; step < c.stepsPassed; ++step) {
            EXPECT_TRUE(showsText(join, "tipsLabel", passed[step])) << c.name;
            advance(500ms);
        }
        EXPECT_TRUE(showsText(join, "tipsLabel", c.tips)) << c.name;
        EXPECT_TRUE(child<QPushButton>(join, "joinDomainButton")->isEnabled()) << c.name;
        EXPECT_TRUE(child<QProgressBar>(join, "progressIndicator")->isHidden()) << c.name;
        EXPECT_FALSE(join.isHidden()) << c.name;
        advance(2000ms);
        idle();  // nothing further comes
        EXPECT_EQ(text(join, "tipsLabel"), c.tips) << c.name;
    }
    saveScreenshot(join, "join-failed");
    EXPECT_FALSE(logs_->has("DomainTool::InstallWiFiMobileConfig Start", sorrel::kLogDebug, 500ms));
    EXPECT_FALSE(
        std::filesystem::exists(home_ + "/Library/Application Support/RavAvizaL/ConnectWiFi.mobileconfig"));
}

TEST_F(DuceneAppTest, ManualSettingsReplaceTheDomainList) {
    DuceneMainWindowController& join = openJoinWindow();
    settle();
    join.settingButtonAction();
    settle();
    JoinDomainManualSettingInfoWindow* settings = join.settingWindowController();
    ASSERT_NE(settings, nullptr);
    auto* domain = child<QLineEdit>(*settings, "domainNameTextField");
    auto* account = child<QLineEdit>(*settings, "domainAdminAccountTF");
    auto* password = child<QLineEdit>(*settings, "domainAdminPwdTF");

    struct Case {
        const char* domain;
        const char* account;
        const char* password;
        const char* tips;
    } cases[] = {
        {"", "", "", "域名不能空"},
        {"lab.example.com", "", "", "域名的管理账号不能空"},
        {"lab.example.com", "admin", "", "域名的管理不能空"},
    };
    for (const Case& c : cases) {
        domain->setText(c.domain);
        account->setText(c.account);
        password->setText(c.password);
        settings->saveButtonAction();
        EXPECT_EQ(text(*settings, "tipsLabel"), c.tips);
    }
    EXPECT_FALSE(DuceneHelperManager::sharedInstance().hasDomainInfos());
    saveScreenshot(*settings, "settings-missing-password");

    password->setText("secret");
    settings->saveButtonAction();
    EXPECT_TRUE(showsText(*settings, "tipsLabel", "保存成功，1秒后自动跳转"));
    saveScreenshot(*settings, "settings-saved");
    const auto infos = DuceneHelperManager::sharedInstance().domainInfos();
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(ducene::textOf(infos[0], "domain_admin_pwd"), "secret");
    EXPECT_EQ(infos[0].count("wifissid"), 0u);
    advance(900ms);
    EXPECT_FALSE(settings->isHidden());
    advance(100ms);
    EXPECT_TRUE(settings->isHidden());

    join.windowDidBecomeMain();
    auto* combo = child<QComboBox>(join, "domainComboBox");
    ASSERT_EQ(combo->count(), 1);
    EXPECT_EQ(combo->currentText().toStdString(), "lab.example.com");
    saveScreenshot(join, "join-manual-domain");
}

}  // namespace
