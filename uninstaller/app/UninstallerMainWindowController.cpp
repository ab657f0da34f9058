#include "UninstallerMainWindowController.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QLocale>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <chrono>
#include <vector>

#include "NSKeyedArchiverHelper.h"
#include "joindomain/scaffold/HSLogger.h"
#include "joindomain/scaffold/RootApp.h"
#include "joindomain/scaffold/ShellScript.h"
#include "platform/paths/Paths.h"
#include "ui_UninstallerMainWindowController.h"

namespace quillet {

namespace {

std::string firstPreferredLanguage() {
    const QStringList languages = QLocale::system().uiLanguages();
    return languages.isEmpty() ? std::string() : languages.first().toStdString();
}

bool contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

// The home of the user the app acts for: under pkexec the user who asked, not root.
std::string actingHomeFolder() {
    return helperscaffold::actingUser().home;
}

}  // namespace

QString UninstallerMainWindowController::localizedString(const std::string& key,
                                                         const std::string& language) {
    const bool chinese = contains(language, "zh-Hans");
    if (key == "Warning")
        return chinese ? QStringLiteral("正在卸载，请等待卸载完成后再关闭窗口。")
                       : QStringLiteral(
                             "Uninstalling. Please wait until it has finished before closing the window.");
    if (key == "Confirm") return chinese ? QStringLiteral("确定") : QStringLiteral("OK");
    return QString::fromStdString(key);
}

UninstallerMainWindowController::UninstallerMainWindowController(AppHelperManager& manager, Options options,
                                                                 QWidget* parent)
    : QWidget(parent),
      manager_(manager),
      options_(std::move(options)),
      ui_(std::make_unique<Ui::UninstallerMainWindowController>()),
      inputView_(std::make_unique<UninstallCodeInputView>()) {
    if (options_.preferredLanguage.empty()) options_.preferredLanguage = firstPreferredLanguage();
    if (options_.homeDirectory.empty()) options_.homeDirectory = actingHomeFolder();
    if (!options_.terminate) options_.terminate = [] { QCoreApplication::quit(); };
    ui_->setupUi(this);
    connect(ui_->uninstallButton, &QPushButton::clicked, this, [this] { uninstallButtonAction(); });
    windowDidLoad();
}

UninstallerMainWindowController::~UninstallerMainWindowController() {
    lifeline_->end();
    if (ternimateTimer) ternimateTimer->cancel();
}

QLabel* UninstallerMainWindowController::tipsLabel() const {
    return ui_->tipsLabel;
}
QProgressBar* UninstallerMainWindowController::progressIndicator() const {
    return ui_->progressIndicator;
}
QPushButton* UninstallerMainWindowController::uninstallButton() const {
    return ui_->uninstallButton;
}

void UninstallerMainWindowController::windowDidLoad() {
    // Only a close button: no miniaturise or zoom.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        QRect area = screen->availableGeometry();
        move(area.center() - rect().center());
    }
    ui_->progressIndicator->hide();
    ui_->tipsLabel->hide();

    // The countdown timer stays parked until the last answer.
    ternimateTimer = dispatch::TimerSource::create(dispatch::WorkQueue::main(), std::chrono::seconds(1),
                                                   std::chrono::seconds(1), [] {});

    std::optional<archive::Value> info =
        NSKeyedArchiverHelper::unarchivedObjectWithFilePath(paths::uninstallInfoFile());
    uninstallInfo_ = info && info->dictionary() ? *info->dictionary() : archive::Dictionary{};
    auto password = uninstallInfo_.find("uninstall_password");
    if (password != uninstallInfo_.end() && password->second.string()) {
        auto allow = uninstallInfo_.find("allow_uninstall");
        const std::string allowed =
            allow == uninstallInfo_.end() ? "(null)" : helperscaffold::describe(allow->second);
        // Base64 hides nothing: the helper's log says only whether a code is set.
        const std::string code = password->second.string()->empty() ? "" : "(set)";
        manager_.wendle()->writeLog("uninstall switch: " + allowed + ", password: " + code,
                                    helperscaffold::HSLogger::kInfo);
    }
}

void UninstallerMainWindowController::uninstallButtonAction() {
    startUninstallZem();
}

void UninstallerMainWindowController::startUninstallZem() {
    ui_->progressIndicator->show();
    ui_->progressIndicator->setRange(0, 0);  // running without a known end
    ui_->tipsLabel->show();
    ui_->uninstallButton->setEnabled(false);
    taskCount_.store(kOperationCount);

    std::shared_ptr<WendleProxy> helper = manager_.wendle();
    helper->fetchHomeDirectory(options_.homeDirectory);
    // Sent one after another without waiting: the helper takes them in this order, so the jobs
    // are stopped before any process is killed or file removed, and the UI app's folder goes last.
    auto done = [lifeline = lifeline_](int32_t) {
        lifeline->with([](UninstallerMainWindowController& window) { window.checkTaskExcuted(); });
    };
    helper->unloadAllServiceProcessWithCompletion(done);
    manager_.unloadAgentServiceProcessWithCompletion(done);
    helper->closedZemUpgradeProcessWithCompletion(done);
    helper->closedZemOtherProcessWithCompletion(done);
    helper->closedZemProcessWithCompletion(done);
    helper->deleteZemResourcesCacheWithCompletion(done);
    helper->deleteZemLogsWithCompletion(done);
    helper->removeZemAppWithCompletion(done);
}

void UninstallerMainWindowController::checkTaskExcuted() {
    if (taskCount_.fetch_sub(1) - 1 != 0) return;
    timeCount_.store(kCountdownSeconds);
    dispatch::WorkQueue::main()->dispatch([lifeline = lifeline_] {
        lifeline->with([](UninstallerMainWindowController& window) {
            const std::string& language = window.options_.preferredLanguage;
            if (contains(language, "zh-Hans")) {
                window.ui_->tipsLabel->setText(QStringLiteral("卸载成功，3秒后自动关闭"));
            } else if (contains(language, "en")) {
                window.ui_->tipsLabel->setText(
                    QStringLiteral("Uninstall successfully, shut down after 3 seconds"));
            }
            window.ui_->progressIndicator->hide();
            window.releaseTimer();
        });
    });
}

void UninstallerMainWindowController::releaseTimer() {
    // Fires at once, then every second.
    if (ternimateTimer) ternimateTimer->cancel();
    ternimateTimer = dispatch::TimerSource::create(
        dispatch::WorkQueue::main(), std::chrono::seconds(0), std::chrono::seconds(1),
        [lifeline = lifeline_] {
            lifeline->with([](UninstallerMainWindowController& window) { window.timerHandler(); });
        });
    ternimateTimer->resume();
}

void UninstallerMainWindowController::timerHandler() {
    if (timeCount_.load() != 0) {
        const int64_t left = timeCount_.fetch_sub(1) - 1;
        const std::string& language = options_.preferredLanguage;
        if (contains(language, "zh-Hans-CN")) {
            ui_->tipsLabel->setText(QStringLiteral("卸载成功, %1秒后自动关闭").arg(left));
        } else if (contains(language, "en")) {
            ui_->tipsLabel->setText(
                QStringLiteral("Uninstall successfully, %1 second later shut down").arg(left));
        }
        return;
    }
    if (ternimateTimer) ternimateTimer->cancel();
    if (!terminated_) {
        terminated_ = true;
        options_.terminate();
    }
}

bool UninstallerMainWindowController::windowShouldClose() {
    if (taskCount_.load() == 0) return true;
    if (!warningAlert_) {
        warningAlert_ = new QMessageBox(this);
        warningAlert_->setAttribute(Qt::WA_DeleteOnClose);
        warningAlert_->setWindowModality(Qt::WindowModal);
        warningAlert_->setText(localizedString("Warning", options_.preferredLanguage));
        warningAlert_->addButton(localizedString("Confirm", options_.preferredLanguage),
                                 QMessageBox::AcceptRole);
    }
    warningAlert_->open();
    return false;
}

void UninstallerMainWindowController::windowWillClose() {
    if (!terminated_) {
        terminated_ = true;
        options_.terminate();
    }
}

void UninstallerMainWindowController::closeEvent(QCloseEvent* event) {
    if (!windowShouldClose()) {
        event->ignore();
        return;
    }
    event->accept();
    windowWillClose();
}

}  // namespace quillet
