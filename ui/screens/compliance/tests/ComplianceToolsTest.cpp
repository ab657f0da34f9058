// The compliance screen's second half over real files in a temporary root: the office-tools grid
// from appmgrlist.archive and the account record, tool taps (links through Qt's URL handlers,
// applications and the domain-join app as recording stand-in programs), tips and logo, the
// join-domain button, the available-apps window and the restart prompt.
#include <signal.h>
#include <sys/wait.h>

#include <QDesktopServices>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <fstream>
#include <sstream>
#include <thread>

#include "ComplianceFixture.h"
#include "platform/spawn/Spawn.h"
#include "tests/support/TestFiles.h"
#include "ui/screens/base/AppWindows.h"
#include "ui/screens/base/UrlOpener.h"
#include "ui/screens/bridge/ZemNotificationKeys.h"
#include "ui/screens/tools/ZemToolCell.h"
#include "ui/screens/tools/ZemTrustedAppWindow.h"

// Receives the URLs the screen opens in the default browser.
class UrlRecorder : public QObject {
    Q_OBJECT
  public:
    std::vector<QString> urls;
  public slots:
    void open(const QUrl& url) { urls.push_back(url.toString()); }
};

namespace {

using namespace compliancetest;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

archive::Value tool(const std::string& name, int64_t serial, const std::string& type = "app",
                    const std::string& procName = "", const std::string& desUrl = "",
                    const std::string& downloadUrl = "") {
    return archive::Dictionary{{"appname", name},   {"app_serialnum", serial},
                               {"apptype", type},   {"procname", procName},
                               {"desturl", desUrl}, {"downloadurl", downloadUrl}};
}

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// A program that appends one line with its arguments to record each time it runs.
void recordingProgram(const std::string& path, const std::string& record) {
    testsupport::writeFile(path, "#!/bin/sh\necho \"started $*\" >> '" + record + "'\n", 0755);
}

class ComplianceTools : public ComplianceScreen {
  protected:
    void SetUp() override {
        ComplianceScreen::SetUp();
        QDesktopServices::setUrlHandler("https", &urls_, "open");
        QDesktopServices::setUrlHandler("http", &urls_, "open");
    }
    void TearDown() override {
        QDesktopServices::unsetUrlHandler("https");
        QDesktopServices::unsetUrlHandler("http");
        ComplianceScreen::TearDown();
    }

    static void writeTools(const archive::Array& tools) {
        ASSERT_TRUE(
            archive::archiveRootObjectToFile(tools, paths::machineSupportFolder() + "/appmgrlist.archive"));
    }
    static void writeSupportArchive(const char* name, const archive::Value& value) {
        ASSERT_TRUE(archive::archiveRootObjectToFile(value, paths::machineSupportFolder() + "/" + name));
    }
    static ZemToolCell* toolCell(ZemMainViewController& screen, size_t i) {
        return qobject_cast<ZemToolCell*>(screen.toolCells().at(i).data());
    }

    UrlRecorder urls_;
};

TEST(ToolGridTest, SixToolsToARowWithEvenGaps) {
    const double gap = 240.0 / 7;
    struct Case {
        size_t index;
        QRect frame;
    };
    const std::vector<Case> cases = {
        {0, QRect(static_cast<int>(gap), 80, 110, 110)},
        {5, QRect(static_cast<int>(6 * gap + 5 * 110), 80, 110, 110)},
        {6, QRect(static_cast<int>(gap), 250, 110, 110)},
        {13, QRect(static_cast<int>(2 * gap + 110), 420, 110, 110)},
    };
    for (const Case& c : cases) EXPECT_EQ(toolCellFrame(c.index, 900), c.frame) << c.index;
}

TEST_F(ComplianceTools, TapActionsByLinkInstalledApplicationAndDownloadAddress) {
    testsupport::writeFile(paths::applicationsFolder() + "/Editor.app/Contents/MacOS/Editor", "", 0755);
    testsupport::writeFile(paths::under("/System/Applications") + "/Viewer", "", 0755);
    struct Case {
        const char* name;
        ZemToolModel tool;
        ToolTapAction::Kind kind;
        std::string target;
    };
    auto model = [](std::string type, std::string procName, std::string desUrl, std::string download) {
        ZemToolModel m;
        m.appType = std::move(type);
        m.procName = std::move(procName);
        m.desUrl = std::move(desUrl);
        m.downloadUrl = std::move(download);
        return m;
    };
    const std::vector<Case> cases = {
        {"link without scheme", model("hyperlink", "", "intranet.example/a", ""),
         ToolTapAction::Kind::OpenUrl, "https://intranet.example/a"},
        {"link holding http anywhere", model("hyperlink", "", "portal.example/?next=http", ""),
         ToolTapAction::Kind::OpenUrl, "portal.example/?next=http"},
        {"installed bundle", model("app", "Editor.app", "", "https://dl.example/e"),
         ToolTapAction::Kind::OpenApplication, "Editor.app"},
        {"installed system app", model("app", "Viewer", "", ""), ToolTapAction::Kind::OpenApplication,
         "Viewer"},
        {"a path is no application name", model("app", "../Applications/Editor.app", "", ""),
         ToolTapAction::Kind::AskToInstall, ""},
        {"missing with download", model("app", "Missing.app", "", "https://dl.example/m"),
         ToolTapAction::Kind::OfferDownload, "https://dl.example/m"},
        {"missing without download", model("app", "Missing.app", "", ""), ToolTapAction::Kind::AskToInstall,
         ""},
        {"download that is no web address", model("app", "Missing.app", "", "file:///tmp/setup.desktop"),
         ToolTapAction::Kind::AskToInstall, ""},
        {"download by another scheme", model("app", "Missing.app", "", "smb://files/setup"),
         ToolTapAction::Kind::AskToInstall, ""},
    };
    for (const Case& c : cases) {
        const ToolTapAction action = toolTapAction(c.tool);
        EXPECT_EQ(action.kind, c.kind) << c.name;
        EXPECT_EQ(action.target, c.target) << c.name;
    }
}

TEST_F(ComplianceTools, LivePageLaysOutTheToolsInSerialOrder) {
    writeTools({tool("Seven", 70), tool("One", 10), tool("Three", 30), tool("Two", 20), tool("Five", 50),
                tool("Four", 40), tool("Six", 60)});
    signIn(1);
    hux::RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(true);
    ZemMainViewController& screen = makeScreen();
    screen.mTabView()->setCurrentIndex(0);
    drainMain();
    ASSERT_TRUE(qttest::waitFor([&] { return screen.toolCells().size() == 7u; }));
    const std::vector<std::string> order = {"One", "Two", "Three", "Four", "Five", "Six", "Seven"};
    const int width = screen.toolMainView()->width();
    for (size_t i = 0; i < order.size(); ++i) {
        ZemToolCell* cell = toolCell(screen, i);
        ASSERT_NE(cell, nullptr);
        EXPECT_EQ(cell->toolModel()->appName, order[i]);
        EXPECT_EQ(cell->geometry(), toolCellFrame(i, width)) << i;
        EXPECT_EQ(cell->property("tag").toInt(), static_cast<int>(100 + i));
    }
    EXPECT_FALSE(screen.toolMainView()->isHidden());
    EXPECT_TRUE(screen.unloginTipsLabel()->isHidden());
    EXPECT_FALSE(screen.availableApplistButton()->isHidden());
    qttest::saveScreenshot(screen, "compliance-tools-live");

    // A new list replaces the cells.
    writeTools({tool("Only", 1)});
    dispatch::NotificationCenter::defaultCenter().post(hux::UpdateAppMgtListForConfigNoticationKey);
    // The old cells go with Qt's deferred deletion, after the main-queue task that replaced them.
    ASSERT_TRUE(qttest::waitFor([&] { return screen.toolCells().size() == 1u; }));
    EXPECT_EQ(toolCell(screen, 0)->toolModel()->appName, "Only");
}

TEST_F(ComplianceTools, PageByLoginTypeAndSessionState) {
    struct Case {
        const char* name;
        int64_t loginType;  // 0: no record
        bool shown;
        bool tools;
        bool toolsArea;
        bool appsButton;
        const char* tips;
    };
    const std::vector<Case> cases = {
        {"no record", 0, true, true, false, false, "您还未登录，暂无可用的工具..."},
        {"not shown as signed in", 1, false, true, false, false, "您还未登录，暂无可用的工具..."},
        {"domain account", 3, true, true, true, false, nullptr},
        {"account without tools", 1, true, false, true, true, "当前用户暂无办公工具清单，请等待管理员配置！"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        common::AccountModel::deleteCurrentModel();
        if (c.loginType != 0) signIn(c.loginType);
        writeTools(c.tools ? archive::Array{tool("One", 1)} : archive::Array{});
        hux::RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(c.shown);
        ZemMainViewController& screen = makeScreen();
        drainMain();
        // The page settles after the tool list's load, which may take more than one main-queue round.
        qttest::waitFor([&] {
            return !screen.toolMainView()->isHidden() == c.toolsArea &&
                   !screen.availableApplistButton()->isHidden() == c.appsButton &&
                   !screen.unloginTipsLabel()->isHidden() == (c.tips != nullptr);
        });
        EXPECT_EQ(!screen.toolMainView()->isHidden(), c.toolsArea);
        EXPECT_EQ(!screen.availableApplistButton()->isHidden(), c.appsButton);
        EXPECT_EQ(!screen.unloginTipsLabel()->isHidden(), c.tips != nullptr);
        if (c.tips) {
            EXPECT_EQ(screen.unloginTipsLabel()->text().toStdString(), c.tips);
        }
    }
}

TEST_F(ComplianceTools, TappingToolsOpensLinksApplicationsOrTheDownloadSheet) {
    const std::string record = root_.file("editor.record");
    recordingProgram(paths::applicationsFolder() + "/Editor.app/Contents/MacOS/Editor", record);
    writeTools({tool("Portal", 1, "hyperlink", "", "portal.example/home"),
                tool("Editor", 2, "app", "Editor.app"),
                tool("Chat", 3, "app", "Chat.app", "", "https://dl.example/chat.deb")});
    signIn(1);
    hux::RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(true);
    ZemMainViewController& screen = makeScreen();
    screen.mTabView()->setCurrentIndex(0);
    drainMain();
    ASSERT_TRUE(qttest::waitFor([&] { return screen.toolCells().size() == 3u; }));

    toolCell(screen, 0)->click();
    ASSERT_EQ(urls_.urls, std::vector<QString>{"https://portal.example/home"});

    toolCell(screen, 1)->click();
    ASSERT_TRUE(qttest::waitFor([&] { return readText(record) == "started \n"; }));

    toolCell(screen, 2)->click();
    auto* sheet = screen.window()->findChild<QMessageBox*>("toolAlert");
    ASSERT_NE(sheet, nullptr);
    ASSERT_TRUE(qttest::waitFor([&] { return sheet->isVisible(); }));
    EXPECT_EQ(sheet->windowTitle(), "提醒");
    EXPECT_EQ(sheet->text(), "未安装应用【Chat】，如需下载安装，请点击\"下载\"");
    qttest::saveScreenshot(*sheet, "compliance-tools-download-sheet");
    QAbstractButton* download = nullptr;
    for (QAbstractButton* b : sheet->buttons()) {
        if (b->text() == "下载") download = b;
    }
    ASSERT_NE(download, nullptr);
    download->click();
    EXPECT_EQ(urls_.urls.back(), "https://dl.example/chat.deb");
}

// Markup in the server's or a file's text (tool names, tips.txt, the user's name) is shown as typed.
TEST_F(ComplianceTools, OutsideTextsAreShownAsTyped) {
    const std::string markup =
        "<img src='file:///usr/share/pixmaps/x.png'><b>Mail</b> <a href='file:///etc/passwd'>link</a>";
    const QString shown = QString::fromStdString(markup);
    testsupport::writeFile(paths::machineSupportFolder() + "/tips.txt", markup);
    writeTools({tool(markup, 1, "app", "Missing.app", "", "https://dl.example/m")});
    common::AccountModel record;
    record.userid = "zhangsan";
    record.username = markup;
    record.loginType = 1;
    record.setTicket("ticket-1");
    ASSERT_TRUE(record.save());
    hux::RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(true);
    ZemMainViewController& screen = makeScreen();
    screen.mTabView()->setCurrentIndex(0);
    drainMain();

    EXPECT_EQ(screen.tipsTextField()->textFormat(), Qt::PlainText);
    EXPECT_EQ(screen.tipsTextField()->text(), shown);

    screen.leftBar()->setMachineName();
    QLabel* user = screen.leftBar()->userNameLb();
    ASSERT_TRUE(qttest::waitFor([&] { return user->text() == shown; }));
    EXPECT_EQ(user->textFormat(), Qt::PlainText);

    ASSERT_TRUE(qttest::waitFor([&] { return screen.toolCells().size() == 1u; }));
    ZemToolCell* cell = toolCell(screen, 0);
    EXPECT_EQ(cell->titleLabel()->textFormat(), Qt::PlainText);
    EXPECT_EQ(cell->titleLabel()->toolTip(), QStringLiteral("<qt>%1</qt>").arg(shown.toHtmlEscaped()));

    cell->click();
    auto* alert = screen.window()->findChild<QMessageBox*>("toolAlert");
    ASSERT_NE(alert, nullptr);
    EXPECT_EQ(alert->textFormat(), Qt::PlainText);
    EXPECT_EQ(alert->text(), QStringLiteral("未安装应用【%1】，如需下载安装，请点击\"下载\"").arg(shown));
    alert->close();
}

TEST_F(ComplianceTools, LinksThatAreNoWebAddressesAreNeverOpened) {
    std::vector<QString> opened;
    UrlOpener::setOpenFunction([&opened](const QUrl& url) {
        opened.push_back(url.toString());
        return true;
    });
    writeTools({tool("Script", 1, "hyperlink", "", "javascript:alert(1)//http"),
                tool("Desktop", 2, "hyperlink", "", "file:///home/u/evil.desktop#http"),
                tool("Share", 3, "hyperlink", "", "smb://files/share"),
                tool("Portal", 4, "hyperlink", "", "portal.example")});
    signIn(1);
    hux::RavAvizaLoginHelper::sharedInstance().setIsCheckAndShow(true);
    ZemMainViewController& screen = makeScreen();
    screen.mTabView()->setCurrentIndex(0);
    drainMain();
    ASSERT_TRUE(qttest::waitFor([&] { return screen.toolCells().size() == 4u; }));
    for (size_t i = 0; i < 4; ++i) toolCell(screen, i)->click();
    UrlOpener::setOpenFunction({});
    EXPECT_EQ(opened, std::vector<QString>{"https://portal.example"});
}

TEST_F(ComplianceTools, AvailableAppsButtonFollowsTheAccountRecord) {
    ZemMainViewController& screen = makeScreen();
    struct Case {
        const char* name;
        int64_t loginType;
        bool shown;
        bool recordKept;
    };
    const std::vector<Case> cases = {{"account", 1, true, true},
                                     {"QR code", 2, true, true},
                                     {"no type", 0, false, true},
                                     {"domain", 3, false, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        signIn(c.loginType);
        screen.changeAvailableAppListButtonStatus();
        drainMain();
        EXPECT_EQ(!screen.availableApplistButton()->isHidden(), c.shown);
        EXPECT_EQ(common::AccountModel::currentModel().has_value(), c.recordKept);
    }
}

TEST_F(ComplianceTools, AvailableAppsWindowRunsModallyOverTheScreen) {
    ZemMainViewController& screen = makeScreen();
    bool trustedApps = false;
    QSize size;
    QPoint position;
    QTimer::singleShot(0, [&] {
        QWidget* shown = AppWindows::modalWindow();
        if (!shown) return;
        trustedApps = qobject_cast<ZemTrustedAppWindow*>(shown) != nullptr;
        size = shown->size();
        position = shown->pos();
        qttest::saveScreenshot(*shown, "compliance-available-apps");
        shown->close();
    });
    screen.applistButtonDidClicked();
    ASSERT_TRUE(trustedApps);
    EXPECT_EQ(size, QSize(420, 375));
    const QRect main = screen.window()->frameGeometry();
    EXPECT_EQ(position, QPoint(main.x() + (main.width() - 420) / 2, main.y() + (main.height() - 375) / 2));
    EXPECT_EQ(AppWindows::modalWindow(), nullptr);
}

TEST_F(ComplianceTools, TipsAndLogoComeFromTheSupportFolderAndItsUpdates) {
    const std::string support = paths::machineSupportFolder();
    testsupport::writeFile(support + "/tips.txt", "请保持设备合规");
    QImage logo(40, 20, QImage::Format_RGB32);
    logo.fill(Qt::red);
    ASSERT_TRUE(logo.save(QString::fromStdString(support + "/c_zem_mark@2x.png")));
    ZemMainViewController& screen = makeScreen();
    EXPECT_EQ(screen.tipsTextField()->text(), "请保持设备合规");
    EXPECT_EQ(screen.logoImageView()->pixmap().size(), QSize(40, 20));

    // Updates are posted from the watcher's thread; bad or empty files leave the tips as they are.
    auto postFromWatcher = [](const char* name) {
        std::thread([name] { dispatch::NotificationCenter::defaultCenter().post(name); }).join();
    };
    testsupport::writeFile(support + "/tips.txt", "新的提示");
    postFromWatcher(hux::UpdateTipsForConfigNoticationKey);
    ASSERT_TRUE(qttest::waitFor([&] { return screen.tipsTextField()->text() == "新的提示"; }));
    for (std::string bad : {std::string("\xff\xfe bad"), std::string()}) {
        testsupport::writeFile(support + "/tips.txt", bad);
        postFromWatcher(hux::UpdateTipsForConfigNoticationKey);
        drainMain();
        EXPECT_EQ(screen.tipsTextField()->text(), "新的提示");
    }
    fs::remove(support + "/c_zem_mark@2x.png");
    postFromWatcher(hux::UpdateLogoForConfigNoticationKey);
    drainMain();
    EXPECT_EQ(screen.logoImageView()->pixmap().size(), QSize(40, 20));
    qttest::saveScreenshot(screen, "compliance-overview-tips-logo");
}

TEST_F(ComplianceTools, JoinDomainButtonBySwitchAndAdmissionMethod) {
    struct Case {
        const char* name;
        std::optional<archive::Value> switchValue;
        std::optional<std::string> method;
        bool shown;
    };
    const std::vector<Case> cases = {
        {"switch on", archive::Value(1), std::nullopt, true},
        {"switch on, method 3", archive::Value(1), std::string("3"), true},
        {"switch on, method 2", archive::Value(1), std::string("2"), false},
        {"switch off", archive::Value(0), std::nullopt, false},
        {"switch as text", archive::Value("1"), std::nullopt, false},
        {"no switch", std::nullopt, std::nullopt, false},
    };
    ZemMainViewController& screen = makeScreen();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string support = paths::machineSupportFolder();
        fs::remove(support + "/joindomainSwitchStatus.archive");
        fs::remove(support + "/tovikSSIDInfo.archive");
        if (c.switchValue) writeSupportArchive("joindomainSwitchStatus.archive", *c.switchValue);
        if (c.method)
            writeSupportArchive("tovikSSIDInfo.archive", archive::Dictionary{{"auth_method", *c.method}});
        std::thread([] {
            dispatch::NotificationCenter::defaultCenter().post(hux::DuceneSwitchStatusNotificationKey);
        }).join();
        drainMain();
        drainMain();
        EXPECT_EQ(!screen.joinDomainButton()->isHidden(), c.shown);
    }
}

TEST_F(ComplianceTools, JoinDomainStartsTheAppOnceAndIgnoresTapsMeanwhile) {
    const std::string record = root_.file("ducene.record");
    recordingProgram(ZemMainViewController::domainToolPath(), record);
    ZemMainViewController& screen = makeScreen();
    screen.tapDomainBtn();
    EXPECT_TRUE(screen.isJoiningDomain());
    EXPECT_FALSE(screen.joinDomainProgressIndicator()->isHidden());
    screen.tapDomainBtn();
    ASSERT_TRUE(qttest::waitFor([&] { return !screen.isJoiningDomain(); }));
    EXPECT_TRUE(screen.joinDomainProgressIndicator()->isHidden());
    ASSERT_TRUE(qttest::waitFor([&] { return !readText(record).empty(); }));
    EXPECT_EQ(readText(record), "started \n");

    // Without the app the start fails, is logged, and the indicator goes all the same.
    fs::remove(ZemMainViewController::domainToolPath());
    screen.tapDomainBtn();
    ASSERT_TRUE(qttest::waitFor([&] { return !screen.isJoiningDomain(); }));
    EXPECT_TRUE(screen.joinDomainProgressIndicator()->isHidden());
}

TEST_F(ComplianceTools, RunningDomainJoinAppIsNotStartedAgain) {
    const std::string record = root_.file("ducene.record");
    const std::string program = ZemMainViewController::domainToolPath();
    testsupport::writeFile(
        program, "#!/bin/sh\necho \"started\" >> '" + record + "'\nwhile :; do sleep 0.2; done\n", 0755);
    spawn::Options options;
    options.program = program;
    options.argv = {program};
    std::optional<spawn::Child> running = spawn::start(options);
    ASSERT_TRUE(running);
    ASSERT_TRUE(testsupport::eventually([&] { return !readText(record).empty(); }));

    ZemMainViewController& screen = makeScreen();
    screen.tapDomainBtn();
    ASSERT_TRUE(qttest::waitFor([&] { return !screen.isJoiningDomain(); }));
    EXPECT_EQ(readText(record), "started\n");

    ::kill(-running->pid, SIGKILL);
    ::waitpid(running->pid, nullptr, 0);
}

// A change of the admission settings to the static method with no certificate installed marks
// the static profile for the daemon; the issued method needs a signed-in account first.
TEST_F(ComplianceTools, AdmissionMethodChangeMarksTheProfileForTheDaemon) {
    fs::copy_file(
        std::string(RAVAVIZA_TEST_SOURCE_DIR) + "/ui/session/admission/resources/VOXMDNetwork.mobileconfig",
        paths::uiAppResources() + "/VOXMDNetwork.mobileconfig");
    const std::string marker =
        root_.path() + "/root/Library/Application Support/RavAvizaL/tovikCache.archive";
    ZemMainViewController& screen = makeScreen();
    auto changed = [&](const std::string& method) {
        writeSupportArchive("tovikSSIDInfo.archive",
                            archive::Dictionary{{"auth_method", method},
                                                {"tovik_addr", "https://127.0.0.1:9"},
                                                {"ssidlist", archive::Array{"corp-wifi"}}});
        std::thread([] {
            dispatch::NotificationCenter::defaultCenter().post(hux::TovikSSIDChangedNotificationKey);
        }).join();
    };
    changed("3");
    drainMain();
    EXPECT_FALSE(fs::exists(marker));

    changed("2");
    ASSERT_TRUE(testsupport::eventually([&] { return fs::exists(marker); }));
    archive::DecodeResult mark = archive::unarchiveObjectWithFile(marker);
    ASSERT_TRUE(mark);
    EXPECT_EQ(mark.value->string() ? *mark.value->string() : "", "2");
    (void)screen;
}

}  // namespace

#include "ComplianceToolsTest.moc"
