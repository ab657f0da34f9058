// The uninstaller app: its window on its own (closing, the refused close while answers are
// missing, the countdown in each language, the code window), and the whole uninstall in a
// temporary root where our launchd runs the product's jobs as `Hollin -install` loads them, the
// helper Wendle is blessed from the built app bundle through a recording pkexec, and the
// product's processes run. Screenshots of each window state land in <build>/ui-screenshots.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/QtTestApp.h"
#include "joindomain/scaffold/SystemLog.h"
#include "joindomain/scaffold/tests/HelperTestSupport.h"
#include "platform/archive/KeyedArchive.h"
#include "platform/dispatch/ManualTime.h"
#include "platform/launchd/Client.h"
#include "platform/paths/Paths.h"
#include "platform/qt/QtMainQueue.h"
#include "tests/support/TempRoot.h"
#include "tests/support/TestFiles.h"
#include "uninstaller/app/AppDelegate.h"
#include "uninstaller/app/NSKeyedArchiverHelper.h"
#include "uninstaller/app/UninstallerMainWindowController.h"

namespace {

using namespace std::chrono_literals;
using qttest::qtApp;

bool pump(const std::function<bool()>& condition, std::chrono::seconds limit = 30s) {
    return qttest::waitFor(condition, limit);
}

void saveScreenshot(QWidget& widget, const std::string& name) {
    qttest::saveScreenshot(widget, "quillet-" + name);
}

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using quillet::UninstallerMainWindowController;

// The system log's lines, kept for the test.
class SystemLines {
  public:
    SystemLines() {
        helperscaffold::setSystemLogWriter([this](const std::string& line) {
            std::lock_guard<std::mutex> l(m_);
            text_ += line + "\n";
        });
    }
    ~SystemLines() { helperscaffold::setSystemLogWriter(nullptr); }
    std::string text() const {
        std::lock_guard<std::mutex> l(m_);
        return text_;
    }

  private:
    mutable std::mutex m_;
    std::string text_;
};

class QuilletWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        qtApp();
        mainQueue_ = std::make_unique<QtMainQueue>();
    }
    void TearDown() override {
        controller_.reset();
        QCoreApplication::processEvents();
        mainQueue_.reset();
    }

    // A window whose helper is not installed: its calls are dropped.
    UninstallerMainWindowController& open(const std::string& language) {
        UninstallerMainWindowController::Options options;
        options.preferredLanguage = language;
        options.homeDirectory = root_.makeFolder("home/tester");
        options.terminate = [this] { ++terminations_; };
        controller_ = std::make_unique<UninstallerMainWindowController>(manager_, options);
        controller_->show();
        return *controller_;
    }

    testsupport::TempRoot root_{"quillet-window", 0755};
    dispatch::ManualTime time_;
    SystemLines lines_;
    std::unique_ptr<QtMainQueue> mainQueue_;
    quillet::AppHelperManager manager_{root_.makeFolder("Applications/Quillet.app")};
    std::unique_ptr<UninstallerMainWindowController> controller_;
    std::atomic<int> terminations_{0};
};

TEST_F(QuilletWindow, ClosingBeforeTheUninstallQuitsTheApp) {
    auto& window = open("en-US");
    EXPECT_FALSE(window.progressIndicator()->isVisible());
    EXPECT_FALSE(window.tipsLabel()->isVisible());
    EXPECT_TRUE(window.uninstallButton()->isEnabled());
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(window.windowFlags() & Qt::WindowMaximizeButtonHint);
    saveScreenshot(window, "idle");
    EXPECT_TRUE(window.close());
    EXPECT_EQ(terminations_.load(), 1);
}

TEST_F(QuilletWindow, MissingAnswersKeepTheWindowOpenWithAWarning) {
    auto& window = open("en-US");
    window.uninstallButton()->click();
    // The app-side kill answers at once; the helper's seven never come.
    EXPECT_EQ(window.taskCount(), 7);
    EXPECT_FALSE(window.uninstallButton()->isEnabled());
    EXPECT_TRUE(window.progressIndicator()->isVisible());
    EXPECT_TRUE(window.tipsLabel()->isVisible());
    EXPECT_TRUE(pump([&] {
        return lines_.text().find("Helper connection was closed with error: ") != std::string::npos;
    }));
    EXPECT_NE(lines_.text().find("Unload Zem agent result: \n"), std::string::npos) << lines_.text();
    saveScreenshot(window, "uninstalling");

    EXPECT_FALSE(window.close());
    ASSERT_TRUE(window.warningAlert());
    EXPECT_TRUE(pump([&] { return window.warningAlert()->isVisible(); }));
    EXPECT_EQ(window.warningAlert()->text(),
              UninstallerMainWindowController::localizedString("Warning", "en-US"));
    ASSERT_EQ(window.warningAlert()->buttons().size(), 1);
    EXPECT_EQ(window.warningAlert()->buttons().front()->text(), "OK");
    saveScreenshot(*window.warningAlert(), "close-refused");
    EXPECT_TRUE(window.isVisible());
    EXPECT_EQ(terminations_.load(), 0);
    window.warningAlert()->accept();
}

TEST_F(QuilletWindow, TheEighthAnswerStartsTheCountdownWhateverThreadItComesOn) {
    struct Case {
        std::string language;
        std::vector<std::string> labels;  // after the last answer, then after each of three ticks
    };
    const std::string nib = "Uninstalling…";
    const std::vector<Case> cases{
        {"en-US",
         {"Uninstall successfully, shut down after 3 seconds",
          "Uninstall successfully, 2 second later shut down",
          "Uninstall successfully, 1 second later shut down",
          "Uninstall successfully, 0 second later shut down"}},
        {"zh-Hans-CN",
         {"卸载成功，3秒后自动关闭", "卸载成功, 2秒后自动关闭", "卸载成功, 1秒后自动关闭",
          "卸载成功, 0秒后自动关闭"}},
        // zh-Hans without the region: the first text, then no countdown texts.
        {"zh-Hans-SG",
         {"卸载成功，3秒后自动关闭", "卸载成功，3秒后自动关闭", "卸载成功，3秒后自动关闭",
          "卸载成功，3秒后自动关闭"}},
        {"fr-FR", {nib, nib, nib, nib}},
    };
    for (const Case& c : cases) {
        terminations_ = 0;
        auto& window = open(c.language);
        window.uninstallButton()->click();
        ASSERT_EQ(window.taskCount(), 7);
        std::vector<std::thread> answers;
        for (int i = 0; i < 7; ++i) answers.emplace_back([&window] { window.checkTaskExcuted(); });
        for (auto& t : answers) t.join();
        EXPECT_EQ(window.taskCount(), 0);
        EXPECT_EQ(window.timeCount(), 3);
        // The label changes and the timer is released on the main queue; its first tick is due at once.
        ASSERT_TRUE(pump([&] { return !window.progressIndicator()->isVisible(); }));
        EXPECT_EQ(window.tipsLabel()->text().toStdString(), c.labels[0]) << c.language;
        if (c.language == "en-US") saveScreenshot(window, "done-en");
        if (c.language == "zh-Hans-CN") saveScreenshot(window, "done-zh");
        for (int tick = 1; tick <= 3; ++tick) {
            dispatch::ManualTime::advance(tick == 1 ? 0s : 1s);
            ASSERT_TRUE(pump([&] { return window.timeCount() == 3 - tick; }))
                << c.language << " tick " << tick;
            QCoreApplication::processEvents();
            EXPECT_EQ(window.tipsLabel()->text().toStdString(), c.labels[tick])
                << c.language << " tick " << tick;
        }
        EXPECT_EQ(terminations_.load(), 0);
        dispatch::ManualTime::advance(1s);
        ASSERT_TRUE(pump([&] { return terminations_.load() == 1; })) << c.language;
        // Closable now; the app ends once.
        EXPECT_TRUE(window.windowShouldClose());
        dispatch::ManualTime::advance(5s);
        QCoreApplication::processEvents();
        EXPECT_EQ(terminations_.load(), 1);
        controller_.reset();
    }
}

TEST_F(QuilletWindow, StartReadsTheUninstallSettingsAsTheFileHasThem) {
    // No helper: the line is dropped, but the settings are read as the file has them.
    archive::Dictionary settings{{"allow_uninstall", true}, {"uninstall_password", std::string("s3cret-码")}};
    fs::create_directories(paths::machineSupportFolder());
    ASSERT_TRUE(quillet::NSKeyedArchiverHelper::archiveRootObject(settings, paths::uninstallInfoFile()));
    auto& window = open("en-US");
    EXPECT_EQ(window.uninstallInfo(), settings);
    // A file with other archived types is not taken.
    archive::Dictionary withData{{"uninstall_password", archive::Data{1, 2, 3}}};
    ASSERT_TRUE(quillet::NSKeyedArchiverHelper::archiveRootObject(withData, paths::uninstallInfoFile()));
    EXPECT_FALSE(quillet::NSKeyedArchiverHelper::unarchivedObjectWithFilePath(paths::uninstallInfoFile()));
    EXPECT_FALSE(quillet::NSKeyedArchiverHelper::unarchivedObjectWithFilePath(root_.file("missing")));
}

TEST(UninstallCodeInputView, OnlyTheExactCodeClosesItWithYes) {
    qtApp();
    QWidget parent;
    parent.setGeometry(100, 100, 480, 300);
    parent.show();
    quillet::UninstallCodeInputView view;
    int yes = 0, no = 0;
    view.showAtwindow(&parent, "1234", [&](bool ok) { (ok ? yes : no)++; });
    QCoreApplication::processEvents();
    EXPECT_TRUE(view.isVisible());
    EXPECT_EQ(view.pos(),
              QPoint(parent.frameGeometry().x() + (parent.frameGeometry().width() - view.width()) / 2,
                     parent.frameGeometry().y() + (parent.frameGeometry().height() - view.height()) / 2));
    struct Case {
        const char* entry;
        const char* placeholder;
    };
    for (const Case& c :
         {Case{"", "卸载码不能为空"}, Case{"123", "卸载码输入错误"}, Case{"12345", "卸载码输入错误"}}) {
        view.codeTextField()->setText(QString::fromUtf8(c.entry));
        view.confirmButtonAction();
        EXPECT_TRUE(view.isVisible()) << c.entry;
        EXPECT_TRUE(view.codeTextField()->text().isEmpty()) << c.entry;
        EXPECT_EQ(view.codeTextField()->placeholderText(), QString::fromUtf8(c.placeholder)) << c.entry;
        if (std::string(c.entry).empty()) saveScreenshot(view, "code-empty");
    }
    saveScreenshot(view, "code-wrong");
    view.codeTextField()->setText("1234");
    view.confirmButtonAction();
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(yes, 1);

    view.showAtwindow(&parent, "1234", [&](bool ok) { (ok ? yes : no)++; });
    view.cancelButtonAction();
    EXPECT_FALSE(view.isVisible());
    EXPECT_EQ(yes, 1);
    EXPECT_EQ(no, 0) << "cancel does not answer";
}

}  // namespace
