// The spine of Hux: the start-up order, the status item and its menu, the menu commands (about,
// help, log export, password, logout, server, quit) and the quit guard. The app reaches the
// daemon only through the session services' request files; the state-file watcher brings the
// daemon's state back as notifications.
#pragma once

#include <QAction>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "ZemMainWindow.h"
#include "platform/dispatch/NotificationCenter.h"

class QMenu;
class QMessageBox;
class QSystemTrayIcon;
class QWidget;
class ZemAboutWindowController;
class HuxModifyPasswordCtrl;
class HuxServerSetingWinCtrl;
class HuxExportLogController;
class CustomMessageBox;

class AppDelegate : public QObject {
    Q_OBJECT
  public:
    // Whether the app shows as a regular app (window and task-bar entry) or only through its
    // status item.
    enum class ActivationPolicy { Regular, Accessory };

    struct Options {
        // Ends the process with a status once the quit guard lets it go; null: the event loop's
        // exit with that status.
        std::function<void(int)> exitProcess;
        // The stop of the VPN component's agent on quit, calling done once in every case; null:
        // the agent client of the VPN component.
        std::function<void(std::function<void()> done)> stopVpnAgent;
        // When the process watchdog starts.
        std::chrono::nanoseconds watchdogDelay = std::chrono::seconds(30);
        // Starts the watchdog; null: HollinProcessListener.
        std::function<void()> startWatchdog;
        // The main screen; nothing: the one the app bundle names.
        std::optional<ZemMainWindow::Flavour> flavour;
    };

    AppDelegate();
    explicit AppDelegate(Options options);
    ~AppDelegate() override;

    // Application events.
    void applicationDidFinishLaunching();
    bool applicationShouldHandleReopen(bool hasVisibleWindows);
    void applicationWillBecomeActive();
    void applicationWillTerminate() {}
    // The quit guard; true when the process ends.
    bool applicationShouldTerminate();
    void applicationDockMenu();
    // A terminate request (the quit path's end, or the session's).
    void terminate();
    // A second copy asked this one to come forward.
    void activateFromOtherInstance();

    // Menu commands.
    bool validateMenuItem(QAction* item);
    void statusItemDidCliked();
    void tapAboutItem();
    void tapHelp();
    void excludeLogs();
    void modifyPasswordClick();
    void ConfigureServerClick();
    void logoutClick();
    void menuQuit();
    void showAlertTipForLogin(const QString& message);
    static QPoint getFrameOriginOfWindow(const QRect& window, const QRect& centerWith);
    void setItemsHiddenMenu();
    void checkTrayStatus();
    void checkTrayStatusConfigWithNotification();

    // Parts for callers and tests.
    ZemMainWindow* mainWindow() const;
    QWidget* window() const;
    QSystemTrayIcon* statusItem() const { return statusItem_.get(); }
    QMenu* statusMenu() const { return statusMenu_.get(); }
    QAction* modifyPasswordItem() const { return modifyPasswordItem_; }
    QAction* logoutItem() const { return logoutItem_; }
    QAction* aboutItem() const { return aboutItem_; }
    QAction* helpItem() const { return helpItem_; }
    QAction* exportLogItem() const { return exportLogItem_; }
    QAction* configureServerItem() const { return configureServerItem_; }
    QAction* quitItem() const { return quitItem_; }
    ZemAboutWindowController* aboutWindow() const;
    HuxModifyPasswordCtrl* modifypasswordWinCtrl();
    HuxServerSetingWinCtrl* setingWinCtrl();
    HuxExportLogController* exportLogCtrl();
    int64_t terminateCode() const { return terminateCode_; }
    void setTerminateCode(int64_t code) { terminateCode_ = code; }
    ActivationPolicy activationPolicy() const { return activationPolicy_; }
    void setActivationPolicy(ActivationPolicy policy) { activationPolicy_ = policy; }
    QPointer<CustomMessageBox> lastAlert() const { return lastAlert_; }
    QPointer<QMessageBox> terminateWarning() const { return terminateWarning_; }

  signals:
    // The tray switch has been applied.
    void trayChecked();
    // The menu logout's answer has been handled.
    void logoutFinished();

  private:
    void buildMenu();
    void setAppearanceAqua();
    void addZemNotifications();
    void bringMainWindowForward();

    Options options_;
    QPointer<ZemAboutWindowController> aboutWindow_;
    QPointer<ZemMainWindow> mainWindow_;
    int64_t terminateCode_ = 0;
    std::unique_ptr<QSystemTrayIcon> statusItem_;
    std::unique_ptr<QMenu> statusMenu_;
    QPointer<QAction> modifyPasswordItem_;
    QPointer<QAction> logoutItem_;
    QPointer<QAction> aboutItem_;
    QPointer<QAction> helpItem_;
    QPointer<QAction> exportLogItem_;
    QPointer<QAction> configureServerItem_;
    QPointer<QAction> quitItem_;
    QPointer<HuxModifyPasswordCtrl> modifypasswordWinCtrl_;
    QPointer<HuxServerSetingWinCtrl> setingWinCtrl_;
    QPointer<HuxExportLogController> exportLogCtrl_;
    QPointer<CustomMessageBox> lastAlert_;
    QPointer<QMessageBox> terminateWarning_;
    ActivationPolicy activationPolicy_ = ActivationPolicy::Accessory;
    dispatch::NotificationCenter::ObserverId trayObserver_ = 0;
    bool quitting_ = false;
};
