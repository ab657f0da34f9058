// The window bases, presentation helpers and the secondary windows (about, help, export logs).
#include <gtest/gtest.h>

#include <QLocale>
#include <QTest>
#include <filesystem>

#include "ModalTestSupport.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "ui/screens/base/AppWindows.h"
#include "ui/screens/base/AutoReleaseWindowController.h"
#include "ui/screens/base/CustomViewControllerBase.h"
#include "ui/screens/base/HuxExportLogController.h"
#include "ui/screens/base/ZemAboutWindowController.h"
#include "ui/screens/base/ZemBaseWindow.h"
#include "ui/screens/base/ZemHelpWebWindowController.h"
#include "tests/support/QtTestApp.h"
#include "ui/session/log/ZemLogHelper.h"

namespace fs = std::filesystem;

namespace {

class Windows : public ::testing::Test {
  protected:
    void SetUp() override { qttest::qtApp(); }
};

TEST_F(Windows, OriginCentresAWindowOnItsParent) {
    QWidget window;
    window.resize(200, 100);
    QWidget parent;
    parent.setGeometry(100, 50, 800, 600);
    struct Case {
        const char* name;
        const QWidget* window;
        const QWidget* parent;
        QPoint origin;
    };
    const Case cases[] = {
        {"both", &window, &parent, QPoint(400, 300)},
        {"no window", nullptr, &parent, QPoint(500, 350)},
        {"no parent", &window, nullptr, QPoint(-100, -50)},
        {"neither", nullptr, nullptr, QPoint(0, 0)},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(CustomViewControllerBase::getFrameOriginOfWindow(c.window, c.parent), c.origin) << c.name;
    }
}

TEST_F(Windows, ModalWindowReturnsTheCodeItsSessionStoppedWith) {
    QWidget main;
    main.setGeometry(50, 50, 600, 400);
    main.show();
    AppWindows::setMainWindow(&main);
    CustomViewControllerBase screen;
    auto* window = new QWidget;
    window->resize(200, 100);
    qttest::WhenModal act([](QWidget* w) {
        EXPECT_TRUE(w->isModal());
        AppWindows::stopModalWithCode(42);
    });
    EXPECT_EQ(screen.showModalWindow(window), 42);
    EXPECT_EQ(window->parentWidget(), &main);
    EXPECT_EQ(AppWindows::modalDepth(), 0);
    AppWindows::setMainWindow(nullptr);
}

TEST_F(Windows, StoppingOneWindowsSessionLeavesTheInnerOneRunning) {
    QWidget outer;
    QWidget inner;
    long innerCode = 0;
    qttest::WhenModal first([&](QWidget*) {
        qttest::WhenModal second([&](QWidget* w) {
            EXPECT_EQ(w, &inner);
            AppWindows::stopModalForWindow(&outer, 5);
            // The inner session goes on until its own stop.
            EXPECT_EQ(AppWindows::modalWindow(), &inner);
            AppWindows::stopModalForWindow(&inner, 7);
        });
        innerCode = AppWindows::runModalForWindow(&inner);
    });
    EXPECT_EQ(AppWindows::runModalForWindow(&outer), 5);
    EXPECT_EQ(innerCode, 7);
}

// A screen with a pop-up child; clicks are real mouse events through the application.
struct PopupFixture {
    PopupFixture() {
        screen.resize(400, 300);
        popup = new QWidget(&screen);
        popup->setGeometry(50, 50, 100, 80);
        other = new QWidget(&screen);
        other->setGeometry(250, 50, 100, 80);
        screen.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&screen));
    }
    CustomViewControllerBase screen;
    QPointer<QWidget> popup;
    QPointer<QWidget> other;
};

TEST_F(Windows, PopupStaysOnAClickInsideAndGoesOnTheFirstClickOutside) {
    PopupFixture f;
    f.screen.addAutoRemoveForSubView(f.popup);
    ASSERT_NE(f.screen.eventMonitor(), nullptr);
    QTest::mouseClick(f.popup, Qt::LeftButton, {}, QPoint(10, 10));
    EXPECT_TRUE(f.popup && f.popup->isVisible());
    EXPECT_NE(f.screen.eventMonitor(), nullptr);

    QTest::mouseClick(&f.screen, Qt::LeftButton, {}, QPoint(300, 250));
    EXPECT_EQ(f.screen.eventMonitor(), nullptr);
    ASSERT_TRUE(qttest::waitFor([&] { return f.popup.isNull(); }));
    // The watch has ended: a later click outside touches nothing.
    QTest::mouseClick(&f.screen, Qt::LeftButton, {}, QPoint(300, 250));
    EXPECT_TRUE(f.other && f.other->isVisible());
}

TEST_F(Windows, ANewPopupWatchReplacesTheOldOne) {
    PopupFixture f;
    f.screen.addAutoHideForSubView(f.popup);
    f.screen.addAutoHideForSubView(f.other);
    // Outside both: only the watched one hides; the replaced watch no longer acts.
    QTest::mouseClick(&f.screen, Qt::LeftButton, {}, QPoint(200, 250));
    EXPECT_TRUE(f.other->isHidden());
    EXPECT_FALSE(f.popup->isHidden());
    EXPECT_EQ(f.screen.eventMonitor(), nullptr);
    f.screen.addAutoHideForSubView(nullptr);
    EXPECT_EQ(f.screen.eventMonitor(), nullptr);
}

class TitledWindow : public ZemBaseWindow {
  protected:
    void handleTitleView() override { setWindowFlag(Qt::WindowMinimizeButtonHint, true); }
};

TEST_F(Windows, BaseWindowIsWhiteUntitledAndShowsOnlyTheCloseButtonUnlessASubclassAddsOne) {
    ZemBaseWindow window;
    window.setWindowTitle("set before");
    window.resize(300, 200);
    EXPECT_FALSE(window.awoken());
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_TRUE(window.awoken());
    EXPECT_EQ(window.windowTitle(), "");
    EXPECT_EQ(window.palette().color(QPalette::Window), QColor(Qt::white));
    EXPECT_TRUE(window.windowFlags() & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    qttest::saveScreenshot(window, "ZemBaseWindow");

    TitledWindow titled;
    titled.show();
    EXPECT_TRUE(titled.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(titled.windowFlags() & Qt::WindowMaximizeButtonHint);
}

class ReleasedController : public AutoReleaseWindowController {
  protected:
    QWidget* loadWindow() override { return new QWidget; }
};

TEST_F(Windows, AutoReleaseControllerLivesUntilItsWindowCloses) {
    QPointer<ReleasedController> controller = new ReleasedController;
    EXPECT_TRUE(AutoReleaseWindowController::autoReleaseWCs().contains(controller.data()));
    controller->showWindow();
    controller->window()->close();
    EXPECT_FALSE(AutoReleaseWindowController::autoReleaseWCs().contains(controller.data()));
    ASSERT_TRUE(qttest::waitFor([&] { return controller.isNull(); }));
}

TEST_F(Windows, AboutAgreementFollowsTheFirstPreferredLanguage) {
    struct Case {
        QStringList languages;
        const char* resource;
    };
    const Case cases[] = {
        {{"zh-Hans-CN", "en-US"}, ":/hux/Agreement_Chinese.html"},
        {{"en-GB", "zh-Hans-CN"}, ":/hux/Agreement_English.html"},
        {{"fr-FR"}, ":/hux/Agreement_English.html"},
        {{"zh-Hant-TW"}, ":/hux/Agreement_English.html"},
        {{}, ":/hux/Agreement_English.html"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ZemAboutWindowController::agreementResourceFor(c.languages), c.resource)
            << c.languages.join(",").toStdString();
    }
}

TEST_F(Windows, AboutWindowShowsVersionAgreementAndCopyrightAndIsRebuiltAfterClosing) {
    testsupport::TempFolder bundle("rav-about");
    testsupport::writeFile(fs::path(bundle.path()) / "Contents/Info.plist",
                           "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                           "<key>CFBundleVersion</key><string>5.2.1</string></dict></plist>\n");
    const QLocale before;
    QLocale::setDefault(QLocale(QLocale::Chinese, QLocale::SimplifiedChineseScript, QLocale::China));
    ZemAboutWindowController about(nullptr, QString::fromStdString(bundle.path()));
    about.showWindow();
    QLocale::setDefault(before);
    QWidget* first = about.window();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(about.versionLabel()->text(), "Version 5.2.1");
    const QString year = QString::number(QDate::currentDate().year());
    EXPECT_TRUE(about.copyrightTextField()->text().startsWith(QString(QChar(0x00A9))) ||
                about.copyrightTextField()->text().contains(QChar(0x00A9)));
    EXPECT_TRUE(about.copyrightTextField()->text().contains("2010-" + year));
    EXPECT_TRUE(about.copyrightTextField()->text().endsWith("."));
    EXPECT_TRUE(about.webView()->toPlainText().contains(QStringLiteral("软件许可协议")));
    qttest::saveScreenshot(*first, "ZemAboutWindow-chinese");

    QPointer<QWidget> gone(first);
    QTest::mouseClick(about.okButton(), Qt::LeftButton);
    EXPECT_FALSE(about.isWindowLoaded());
    ASSERT_TRUE(qttest::waitFor([&] { return gone.isNull(); }));

    about.showWindow();
    ASSERT_TRUE(about.isWindowLoaded());
    EXPECT_TRUE(about.webView()->toPlainText().contains("Software licence agreement"));
    qttest::saveScreenshot(*about.window(), "ZemAboutWindow-english");
    // Without an Info.plist the version is left empty.
    ZemAboutWindowController bare(nullptr, QString::fromStdString(bundle.path() + "/missing"));
    bare.showWindow();
    EXPECT_EQ(bare.versionLabel()->text(), "Version ");
}

TEST_F(Windows, HelpPageAddressCarriesTheTopicAndTheWindowLivesOn) {
    EXPECT_EQ(ZemHelpWebWindowController::htmlUrlWithTag(std::nullopt).toString(), "qrc:/hux/mac-help.html");
    EXPECT_EQ(ZemHelpWebWindowController::htmlUrlWithTag(QString("firewall")).toString(),
              "qrc:/hux/mac-help.html?q=firewall");
    // A topic is a query value, never more of the address.
    EXPECT_EQ(ZemHelpWebWindowController::htmlUrlWithTag(QString("a&b=c#d")).query(QUrl::FullyDecoded),
              "q=a&b=c#d");

    ZemHelpWebWindowController& help = ZemHelpWebWindowController::sharedInstance();
    EXPECT_EQ(&help, &ZemHelpWebWindowController::sharedInstance());
    help.loadHelpWithTag("domain");
    help.showWindow();
    QWidget* window = help.window();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(window->windowTitle(), "help");
    EXPECT_TRUE(help.webView()->toPlainText().contains("Firewall"));
    EXPECT_EQ(help.webView()->source().toString(), "qrc:/hux/mac-help.html");
    qttest::saveScreenshot(*window, "ZemHelpWebWindow-domain");

    window->close();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(help.window(), window);
    help.loadHelpView();
    EXPECT_TRUE(help.webView()->toPlainText().contains("Hux help"));
}

class ExportSheet : public Windows {
  protected:
    void SetUp() override {
        Windows::SetUp();
        home_ = root_ / "home/alice";
        fs::create_directories(home_ / "Desktop");
        ZemLogHelper::Options o;
        o.home = home_.string();
        o.systemLog = [](const std::string&) {};
        o.revealFolder = [](const std::string&) {};
        o.completionQueue = dispatch::WorkQueue::create("test.export.completions");
        log_ = std::make_unique<ZemLogHelper>(o);
    }
    std::string logText() {
        log_->flush();
        std::string all;
        for (const char* name : {"RavAviza-Info-1.log", "RavAviza-Info-2.log", "RavAviza-Info-3.log"}) {
            all += testsupport::readText(home_ / "Library/Logs/RavAviza/Logs" / name);
        }
        return all;
    }

    testsupport::TempRoot tempRoot_{"rav-export-sheet"};
    fs::path root_ = tempRoot_.path(), home_;
    std::unique_ptr<ZemLogHelper> log_;
};

TEST_F(ExportSheet, CancellingThePanelKeepsTheFolderAndAPickStaysForTheNextExport) {
    HuxExportLogController sheet(nullptr, log_.get());
    EXPECT_EQ(sheet.currentDirectoryPath().toStdString(), (home_ / "Desktop").string());
    EXPECT_EQ(sheet.customDirPathTitle(), sheet.currentDirectoryPath());

    sheet.setFolderChooser([](QWidget*, const QString&) { return std::optional<QString>(); });
    sheet.selectCustomFolderPath();
    EXPECT_EQ(sheet.currentDirectoryPath().toStdString(), (home_ / "Desktop").string());

    const QString picked = QString::fromStdString((root_ / "exports").string());
    sheet.setFolderChooser([&](QWidget*, const QString& start) {
        EXPECT_EQ(start.toStdString(), (home_ / "Desktop").string());
        return std::optional<QString>(picked);
    });
    // The popup's last item opens the panel.
    sheet.folderPopup()->setCurrentIndex(1);
    emit sheet.folderPopup()->activated(1);
    EXPECT_EQ(sheet.currentDirectoryPath(), picked);
    EXPECT_EQ(sheet.customDirPathTitle(), picked);
    EXPECT_EQ(sheet.folderPopup()->currentIndex(), 0);
}

TEST_F(ExportSheet, ExportClosesTheSheetAtOnceAndLogsTheOutcome) {
    testsupport::writeFile(root_ / "Library/Logs/RavAviza/v5/Logs/Hollin-Info-1.log", "daemon line\n");
    QWidget main;
    main.resize(700, 500);
    main.show();
    HuxExportLogController sheet(nullptr, log_.get());
    const fs::path chosen = root_ / "chosen folder";
    fs::create_directories(chosen);
    sheet.setFolderChooser([&](QWidget*, const QString&) { return QString::fromStdString(chosen.string()); });
    sheet.selectCustomFolderPath();

    std::vector<long> codes;
    sheet.beginSheet(&main, [&](long code) { codes.push_back(code); });
    EXPECT_TRUE(sheet.window()->isVisible());
    qttest::saveScreenshot(*sheet.window(), "HuxExportLog-sheet");
    QTest::mouseClick(sheet.exportButton(), Qt::LeftButton);
    EXPECT_EQ(codes, std::vector<long>{1});
    EXPECT_FALSE(sheet.window()->isVisible());

    ASSERT_TRUE(testsupport::eventually(
        [&] { return logText().find("RavAviza export log success") != std::string::npos; },
        std::chrono::seconds(60)));
    EXPECT_TRUE(fs::is_regular_file(chosen / "HuxLogs/HuxCloudLogs.zip"));

    // Cancel ends the next showing with 0.
    sheet.beginSheet(&main, [&](long code) { codes.push_back(code); });
    QTest::mouseClick(sheet.cancelButton(), Qt::LeftButton);
    EXPECT_EQ(codes, (std::vector<long>{1, 0}));
}

TEST_F(ExportSheet, AFailedExportOnlyReachesTheLog) {
    // The chosen folder cannot be made (a file lies where it would go).
    testsupport::writeFile(root_ / "blocked", "a file");
    HuxExportLogController sheet(nullptr, log_.get());
    sheet.setFolderChooser(
        [&](QWidget*, const QString&) { return QString::fromStdString((root_ / "blocked").string()); });
    sheet.selectCustomFolderPath();
    sheet.excuteExportLog();
    ASSERT_TRUE(testsupport::eventually(
        [&] { return logText().find("RavAviza export log failed with error:") != std::string::npos; },
        std::chrono::seconds(60)));
}

}  // namespace
