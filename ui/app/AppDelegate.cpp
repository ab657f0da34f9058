#include "AppDelegate.h"

#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QMenu>
#include <QMessageBox>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QWidget>
#include <string>
#include <vector>

#include "ZemMainWindow.h"
#include "common/account/AccountModel.h"
#include "common/device/ITDevice.h"
#include "common/logger/LogSink.h"
#include "platform/dispatch/WorkQueue.h"
#include "ui/screens/base/AppWindows.h"
#include "ui/screens/base/CustomMessageBox.h"
#include "ui/screens/base/HuxExportLogController.h"
#include "ui/screens/base/ZemAboutWindowController.h"
#include "ui/screens/base/ZemHelpWebWindowController.h"
#include "ui/screens/bridge/ZemNotificationKeys.h"
#include "ui/screens/bridge/ZemUIFileListener.h"
#include "ui/screens/bridge/ZemUITesselManager.h"
#include "ui/screens/controls/Localizable.h"
#include "ui/screens/login/HuxModifyPasswordCtrl.h"
#include "ui/screens/login/LoginTexts.h"
#include "ui/screens/main/HuxServerSetingWinCtrl.h"
#include "ui/session/login/JsonFields.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui/session/ticket/HollinProcessListener.h"
#include "ui/session/vpn/NimbrelAgentStopper.h"

using hux::RavAvizaLoginHelper;

namespace {

void log(const std::string& line) {
    common::processLog().writeLog(line);
}

QString localized(const char* key) {
    return Localizable::localizedString(QString::fromLatin1(key));
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const std::string& item : items) {
        if (!out.empty()) out += ";";
        out += item;
    }
    return out;
}

}  // namespace

AppDelegate::AppDelegate() : AppDelegate(Options()) {}

AppDelegate::AppDelegate(Options options) : options_(std::move(options)) {
    buildMenu();
    // The login screens refresh the menu after a sign-in.
    QPointer<AppDelegate> self(this);
    LoginTexts::setItemsHiddenMenuHandler([self] {
        if (self) self->setItemsHiddenMenu();
    });
    mainWindow_ = new ZemMainWindow(options_.flavour.value_or(ZemMainWindow::flavourFromBundle()));
    mainWindow_->setAttribute(Qt::WA_DeleteOnClose, false);
    AppWindows::setMainWindow(mainWindow_);
    connect(mainWindow_, &ZemMainWindow::windowWillClose, this,
            [this] { activationPolicy_ = ActivationPolicy::Accessory; });
    // The app coming to the front, from the window system's point of view.
    connect(qApp, &QGuiApplication::applicationStateChanged, this, [this](Qt::ApplicationState state) {
        if (state == Qt::ApplicationActive) applicationWillBecomeActive();
    });
}

AppDelegate::~AppDelegate() {
    LoginTexts::setItemsHiddenMenuHandler({});
    dispatch::NotificationCenter::defaultCenter().removeObserver(trayObserver_);
    delete mainWindow_.data();
}

ZemMainWindow* AppDelegate::mainWindow() const {
    return mainWindow_;
}

ZemAboutWindowController* AppDelegate::aboutWindow() const {
    return aboutWindow_;
}

QWidget* AppDelegate::window() const {
    return mainWindow_;
}

void AppDelegate::buildMenu() {
    statusMenu_ = std::make_unique<QMenu>();
    auto add = [this](const char* key, void (AppDelegate::*action)()) {
        QAction* item = statusMenu_->addAction(localized(key));
        connect(item, &QAction::triggered, this, [this, action] { (this->*action)(); });
        return item;
    };
    aboutItem_ = add("AboutHux", &AppDelegate::tapAboutItem);
    helpItem_ = add("Help", &AppDelegate::tapHelp);
    statusMenu_->addSeparator();
    configureServerItem_ = add("ConfigureServer", &AppDelegate::ConfigureServerClick);
    modifyPasswordItem_ = add("ModifyPassword", &AppDelegate::modifyPasswordClick);
    logoutItem_ = add("Logout", &AppDelegate::logoutClick);
    exportLogItem_ = add("ExportLog", &AppDelegate::excludeLogs);
    statusMenu_->addSeparator();
    quitItem_ = add("Quit", &AppDelegate::menuQuit);
    // The menu validates its items each time it opens.
    connect(statusMenu_.get(), &QMenu::aboutToShow, this, [this] {
        for (QAction* item : statusMenu_->actions()) validateMenuItem(item);
    });
}

void AppDelegate::applicationDidFinishLaunching() {
    log("----------start Hux-----------");
    setAppearanceAqua();
    setItemsHiddenMenu();
    auto& session = RavAvizaLoginHelper::sharedInstance();
    if (!RavAvizaLoginHelper::iflogin()) session.createSoleidAndSave();
    session.Get_network_type();
    addZemNotifications();
    hux::ZemUIFileListener::sharedInstance().startUIResourcesFileListen();
    if (!hux::ZemUITesselManager::sharedInstance().config()) log("UI message port not opened");
    auto startWatchdog = options_.startWatchdog;
    dispatch::WorkQueue::main()->dispatchAfter(options_.watchdogDelay, [startWatchdog] {
        if (startWatchdog) {
            startWatchdog();
        } else {
            hux::HollinProcessListener::sharedInstance().startListening();
        }
    });
    terminateCode_ = -1;
    checkTrayStatus();
}

void AppDelegate::setAppearanceAqua() {
    // Always the light look, whatever the desktop's theme.
    QApplication::setPalette(QApplication::style()->standardPalette());
}

void AppDelegate::addZemNotifications() {
    QPointer<AppDelegate> self(this);
    trayObserver_ = dispatch::NotificationCenter::defaultCenter().addObserver(
        hux::HideTrayForConfigNotificationKey, nullptr, [self](const dispatch::Notification&) {
            // Arrives on the watcher's thread; the tray switch hops to the main queue itself.
            dispatch::WorkQueue::main()->dispatch([self] {
                if (self) self->checkTrayStatusConfigWithNotification();
            });
        });
}

bool AppDelegate::applicationShouldHandleReopen(bool hasVisibleWindows) {
    if (!hasVisibleWindows) checkTrayStatus();
    return true;
}

void AppDelegate::applicationWillBecomeActive() {
    checkTrayStatus();
}

void AppDelegate::activateFromOtherInstance() {
    log("activated by another copy");
    // Activation with all windows brought forward.
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        if (widget->isVisible()) widget->raise();
    }
    applicationWillBecomeActive();
}

void AppDelegate::applicationDockMenu() {
    if (terminateCode_ > 0) terminateCode_ = 0;
    log("terminateCode: " + std::to_string(terminateCode_));
}

bool AppDelegate::validateMenuItem(QAction*) {
    setItemsHiddenMenu();
    return true;
}

void AppDelegate::setItemsHiddenMenu() {
    const bool signedIn = RavAvizaLoginHelper::iflogin();
    if (logoutItem_) logoutItem_->setEnabled(signedIn);
    if (modifyPasswordItem_) modifyPasswordItem_->setEnabled(signedIn);
}

void AppDelegate::checkTrayStatusConfigWithNotification() {
    checkTrayStatus();
}

void AppDelegate::checkTrayStatus() {
    QPointer<AppDelegate> self(this);
    dispatch::WorkQueue::main()->dispatch([self] {
        if (!self) return;
        if (RavAvizaLoginHelper::isHideTray()) {
            self->activationPolicy_ = ActivationPolicy::Accessory;
            self->statusItem_.reset();
            if (self->mainWindow_) self->mainWindow_->close();
        } else {
            self->activationPolicy_ = ActivationPolicy::Regular;
            self->bringMainWindowForward();
            if (!self->statusItem_) {
                auto item = std::make_unique<QSystemTrayIcon>(
                    QIcon(QStringLiteral(":/hux/images/Hux_status_icon.png")));
                item->setContextMenu(self->statusMenu_.get());
                item->setToolTip(QStringLiteral("Hux"));
                connect(item.get(), &QSystemTrayIcon::activated, self,
                        [self](QSystemTrayIcon::ActivationReason reason) {
                            if (self && reason == QSystemTrayIcon::Trigger) self->statusItemDidCliked();
                        });
                item->show();
                self->statusItem_ = std::move(item);
            }
        }
        emit self->trayChecked();
    });
}

void AppDelegate::bringMainWindowForward() {
    if (!mainWindow_) return;
    mainWindow_->show();
    mainWindow_->raise();
    mainWindow_->activateWindow();
}

void AppDelegate::statusItemDidCliked() {
    activationPolicy_ = ActivationPolicy::Regular;
    bringMainWindowForward();
}

QPoint AppDelegate::getFrameOriginOfWindow(const QRect& window, const QRect& centerWith) {
    return QPoint(static_cast<int>(centerWith.x() + (centerWith.width() - window.width()) * 0.5),
                  static_cast<int>(centerWith.y() + (centerWith.height() - window.height()) * 0.5));
}

void AppDelegate::tapAboutItem() {
    if (!aboutWindow_ || !aboutWindow_->isWindowLoaded()) {
        if (aboutWindow_) aboutWindow_->deleteLater();
        auto* about = new ZemAboutWindowController(this);
        aboutWindow_ = about;
        // Centred by the frame it shows with.
        about->showWindow();
        QWidget* window = about->window();
        const QRect main = mainWindow_ ? mainWindow_->frameGeometry() : QRect();
        window->move(getFrameOriginOfWindow(window->frameGeometry(), main));
    }
    aboutWindow_->showWindow();
}

void AppDelegate::tapHelp() {
    auto& help = ZemHelpWebWindowController::sharedInstance();
    QWidget* window = help.window();
    const QRect main = mainWindow_ ? mainWindow_->frameGeometry() : QRect(0, 0, 0, 0);
    window->resize(920, 600);
    window->move(static_cast<int>(main.x() + 50 + (main.width() - 920) * 0.5),
                 static_cast<int>(main.y() + 50 + (main.height() - 600) * 0.5));
    help.loadHelpView();
    help.showWindow();
}

HuxModifyPasswordCtrl* AppDelegate::modifypasswordWinCtrl() {
    if (!modifypasswordWinCtrl_) modifypasswordWinCtrl_ = new HuxModifyPasswordCtrl(window());
    return modifypasswordWinCtrl_;
}

HuxServerSetingWinCtrl* AppDelegate::setingWinCtrl() {
    if (!setingWinCtrl_) setingWinCtrl_ = new HuxServerSetingWinCtrl(this);
    return setingWinCtrl_;
}

HuxExportLogController* AppDelegate::exportLogCtrl() {
    if (!exportLogCtrl_) exportLogCtrl_ = new HuxExportLogController(this);
    return exportLogCtrl_;
}

void AppDelegate::excludeLogs() {
    exportLogCtrl()->beginSheet(window(), [](long) {});
}

void AppDelegate::modifyPasswordClick() {
    HuxModifyPasswordCtrl* sheet = modifypasswordWinCtrl();
    sheet->savebtn()->setChecked(true);
    // A sheet: modal to the main window only, shown without waiting.
    sheet->setWindowModality(Qt::WindowModal);
    sheet->open();
}

void AppDelegate::ConfigureServerClick() {
    setingWinCtrl()->savebtn()->setChecked(true);
    setingWinCtrl()->beginSheet(window(), [](long) {});
}

void AppDelegate::showAlertTipForLogin(const QString& message) {
    QPointer<AppDelegate> self(this);
    dispatch::WorkQueue::main()->dispatch([self, message] {
        if (!self || !self->window()) return;
        QWidget* parent = self->window();
        auto* box = new CustomMessageBox(self);
        box->setTitle(localized("Warnning"), message, 2, QString(), localized("Confirm"));
        QWidget* window = box->window();
        if (!window) {
            box->deleteLater();
            return;
        }
        // A child window of the main window, above it, not modal.
        window->setParent(parent, window->windowFlags());
        window->move(getFrameOriginOfWindow(window->frameGeometry(), parent->frameGeometry()));
        connect(box, &CustomMessageBox::buttonClicked, box, &QObject::deleteLater);
        window->show();
        window->raise();
        self->lastAlert_ = box;
    });
}

void AppDelegate::logoutClick() {
    auto record = common::AccountModel::currentModel();
    auto& device = common::ITDevice::currentDevice();
    device.getMacAndIPAddr();
    hux::Json param = {
        {"userid", record ? record->userid : std::string()},
        {"mac", joined(device.macAddresses())},
        {"ip", joined(device.ipArray())},
        {"deviceid", device.uuid()},
        {"ticket", record ? record->decryptTicket() : std::string()},
        {"msg", "logout"},
    };
    QPointer<AppDelegate> self(this);
    RavAvizaLoginHelper::sharedInstance().logout(param, [self](hux::Reply reply, hux::Error error) {
        if (!self) return;
        if (error) {
            log("[ZemDetailWindow] RavAviza logout fail msg:" + error->failureReason);
            self->showAlertTipForLogin(QString::fromStdString(error->failureReason));
            emit self->logoutFinished();
            return;
        }
        const hux::Json json = reply.value_or(hux::Json());
        const std::optional<int64_t> ret = hux::fields::integer(json, "ret");
        const std::string msg = hux::fields::text(json, "msg").value_or("(null)");
        if (ret == std::optional<int64_t>(0)) {
            self->setItemsHiddenMenu();
            dispatch::NotificationCenter::defaultCenter().post(hux::UpdateLogoutStatusNotificationKey,
                                                               archive::Value(int64_t{0}));
        } else {
            self->showAlertTipForLogin(QString::fromStdString(msg));
        }
        log("[ZemDetailWindow] RavAviza logout ret:" + std::to_string(ret.value_or(0)) + " msg:" + msg);
        emit self->logoutFinished();
    });
}

void AppDelegate::menuQuit() {
    if (quitting_) return;
    quitting_ = true;
    RavAvizaLoginHelper::sharedInstance().existNimbrel();
    QPointer<AppDelegate> self(this);
    auto done = [self] {
        if (self) self->terminate();
    };
    if (options_.stopVpnAgent) {
        options_.stopVpnAgent(done);
        return;
    }
    // The agent's process is found without a shell; its client stops it or the wait runs out,
    // and the app ends in every case.
    NimbrelAgentStopper::existNimbrel("[appdelegate]", common::processLog(),
                                      [done](NimbrelAgentStopper::Outcome) { done(); });
}

void AppDelegate::terminate() {
    if (!applicationShouldTerminate()) quitting_ = false;
}

bool AppDelegate::applicationShouldTerminate() {
    log("applicationShouldTerminate isCanTerminated : " + std::to_string(terminateCode_));
    if (terminateCode_ != 1) {
        common::flushProcessLog();
        if (options_.exitProcess) {
            options_.exitProcess(0);
        } else {
            QCoreApplication::exit(0);
        }
        return true;
    }
    terminateCode_ = 0;
    auto* warning = new QMessageBox(window());
    warning->setTextFormat(Qt::PlainText);
    warning->setAttribute(Qt::WA_DeleteOnClose);
    warning->setText(localized("ForbidenExit"));
    warning->addButton(localized("Confirm"), QMessageBox::AcceptRole);
    warning->setWindowModality(Qt::WindowModal);
    warning->open();
    terminateWarning_ = warning;
    return false;
}
