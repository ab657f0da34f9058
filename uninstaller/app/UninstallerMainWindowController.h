// The uninstaller's one window: an uninstall button that sends the helper its operations in a
// fixed order, counts their answers, and once all eight are back shows a success text, counts
// down three seconds on a one-second timer and ends the app. It cannot be closed while an
// uninstall runs.
#pragma once

#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "AppHelperManager.h"
#include "UninstallCodeInputView.h"
#include "joindomain/scaffold/Lifeline.h"
#include "platform/archive/Value.h"
#include "platform/dispatch/WorkQueue.h"

namespace Ui {
class UninstallerMainWindowController;
}

class QLabel;
class QProgressBar;
class QPushButton;

namespace quillet {

class UninstallerMainWindowController : public QWidget {
    Q_OBJECT
  public:
    struct Options {
        // The user's first preferred language ("zh-Hans-CN", "en-US", ...); empty: the system's.
        std::string preferredLanguage;
        // The home folder of the user the app acts for, sent to the helper; empty: that user's from
        // the password database.
        std::string homeDirectory;
        // Ends the application; empty: the Qt application quits.
        std::function<void()> terminate;
    };

    static constexpr int64_t kOperationCount = 8;
    static constexpr int64_t kCountdownSeconds = 3;

    UninstallerMainWindowController(AppHelperManager& manager, Options options, QWidget* parent = nullptr);
    ~UninstallerMainWindowController() override;

    void windowDidLoad();
    void uninstallButtonAction();
    void startUninstallZem();
    // One operation answered; any thread.
    void checkTaskExcuted();
    void timerHandler();
    bool windowShouldClose();
    void windowWillClose();

    int64_t taskCount() const { return taskCount_.load(); }
    int64_t timeCount() const { return timeCount_.load(); }
    const archive::Dictionary& uninstallInfo() const { return uninstallInfo_; }
    QLabel* tipsLabel() const;
    QProgressBar* progressIndicator() const;
    QPushButton* uninstallButton() const;
    // The warning sheet shown while closing is refused, or null.
    QMessageBox* warningAlert() const { return warningAlert_; }
    UninstallCodeInputView& inputView() { return *inputView_; }

    // The localized text of a key ("Warning", "Confirm") for the user's language.
    static QString localizedString(const std::string& key, const std::string& language);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void releaseTimer();

    AppHelperManager& manager_;
    Options options_;
    std::unique_ptr<Ui::UninstallerMainWindowController> ui_;
    std::unique_ptr<UninstallCodeInputView> inputView_;
    std::atomic<int64_t> taskCount_{0};
    std::atomic<int64_t> timeCount_{0};
    // Parked until the last answer; owned by the main queue.
    std::shared_ptr<dispatch::TimerSource> ternimateTimer;
    archive::Dictionary uninstallInfo_;
    QPointer<QMessageBox> warningAlert_;
    bool terminated_ = false;
    // Answers and main-queue work reach the window only while it is there.
    std::shared_ptr<helperscaffold::Lifeline<UninstallerMainWindowController>> lifeline_ =
        helperscaffold::Lifeline<UninstallerMainWindowController>::make(this);
};

}  // namespace quillet
