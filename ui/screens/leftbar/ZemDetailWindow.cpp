#include "ZemDetailWindow.h"

#include <QClipboard>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QImage>
#include <QTabBar>
#include <chrono>

#include "common/account/AccountModel.h"
#include "common/cipher/StringExtension.h"
#include "common/device/ITDevice.h"
#include "common/logger/LogSink.h"
#include "platform/archive/Plist.h"
#include "platform/dispatch/WorkQueue.h"
#include "platform/paths/Paths.h"
#include "ui/screens/base/AppWindows.h"
#include "ui/screens/base/CustomMessageBox.h"
#include "ui/screens/controls/ButtonSelected.h"
#include "ui/screens/controls/ImageExtension.h"
#include "ui/screens/controls/Localizable.h"
#include "ui/session/login/JsonFields.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui_ZemDetailWindow.h"

using namespace std::chrono_literals;
using hux::RavAvizaLoginHelper;

namespace {

constexpr auto kQRRefreshInterval = 12s;
constexpr const char* kUpdateLabelNotification = "update_Lable_notification";
constexpr const char* kImageNameKey = "_q_huxImageName";
const QString kTipsAfterScan =
    QStringLiteral("温馨提示：连网可能出现延时，扫码登录后，请等待审核通过，随后请检查电脑设备是否已连网。");

void log(const std::string& line) {
    common::processLog().writeLog(line);
}

std::string joined(const std::vector<std::string>& items) {
    std::string out;
    for (const auto& item : items) {
        if (!out.empty()) out += ";";
        out += item;
    }
    return out;
}

std::string replyMessage(const hux::Reply& reply) {
    if (!reply) return "(null)";
    if (auto msg = hux::fields::textOrNumber(*reply, "msg")) return *msg;
    return "(null)";
}

QString replyMessageText(const hux::Reply& reply) {
    if (!reply) return QString();
    auto msg = hux::fields::textOrNumber(*reply, "msg");
    return msg ? QString::fromStdString(*msg) : QString();
}

int64_t replyRet(const hux::Reply& reply) {
    return reply ? hux::fields::integer(*reply, "ret").value_or(0) : 0;
}

std::optional<int64_t> dataState(const hux::Reply& reply) {
    if (!reply) return std::nullopt;
    const hux::Json* data = hux::fields::member(*reply, "data");
    return data ? hux::fields::integer(*data, "state") : std::nullopt;
}

void setButtonImage(QPushButton* button, const QString& name) {
    button->setIcon(QIcon(Extension::imageWithName(name)));
    button->setProperty(kImageNameKey, name);
}

QString appVersion() {
    auto info = archive::readPlistFile(paths::uiAppBundle() + "/Contents/Info.plist", nullptr, 1u << 20);
    if (!info) return QString();
    const archive::Value* version = info->find("CFBundleVersion");
    if (!version || !version->string()) return QString();
    return QString::fromStdString(*version->string());
}

}  // namespace

ZemDetailWindow::ZemDetailWindow() : ui_(std::make_unique<Ui::ZemDetailWindow>()) {
    ui_->setupUi(this);
    ui_->tabview->tabBar()->hide();
    ui_->QRcodeView->tabBar()->hide();
    ui_->newpassTipLb->hide();
    ui_->confirmNewpassLb->hide();
    ui_->otp_Image->setPixmap(Extension::imageWithName(QStringLiteral("icon_otp")));
    ui_->photoImgView->setPixmap(Extension::imageWithName(QStringLiteral("avatar_safe_normal")));

    connect(ui_->info_btn, &QPushButton::clicked, this, [this] { tapinfoBtn(); });
    connect(ui_->login_btn, &QPushButton::clicked, this, [this] { taploginBtn(); });
    connect(ui_->deviceNameCpBtn, &QPushButton::clicked, this, [this] { copyDeviceName(); });
    connect(ui_->systemVersionCpBtn, &QPushButton::clicked, this, [this] { copySystemVersion(); });
    connect(ui_->ipAddressCpBtn, &QPushButton::clicked, this, [this] { copyIPAddress(); });
    connect(ui_->macAddressCpBtn, &QPushButton::clicked, this, [this] { copyMacAddress(); });
    connect(ui_->deviceTypeCpBtn, &QPushButton::clicked, this, [this] { copyDeviceType(); });
    connect(ui_->versionCpBtn, &QPushButton::clicked, this, [this] { copyMacVersion(); });
    connect(ui_->comfimBtn, &QPushButton::clicked, this, [this] { tapConfirmBtn(); });
    connect(ui_->confirmResetBtn, &QPushButton::clicked, this, [this] { ConfirmResetPassBtn(); });
    connect(ui_->logout_btn, &QPushButton::clicked, this, [this] { logoutBtn(); });
    connect(ui_->resetpassTF, &QLineEdit::returnPressed, this, [this] { resetPassBtn(); });
    ui_->resetpassTF->installEventFilter(this);
}

ZemDetailWindow* ZemDetailWindow::initialWithNibName(const QString& name) {
    if (name != QLatin1String("ZemDetailWindow")) return nullptr;
    return new ZemDetailWindow();
}

ZemDetailWindow::~ZemDetailWindow() {
    closeCheckQR();
    if (observer_) dispatch::NotificationCenter::defaultCenter().removeObserver(*observer_);
}

void ZemDetailWindow::setDelegate(ZemWindowDelegate* delegate) {
    delegate_ = delegate;
    delegateGuard_ = dynamic_cast<QObject*>(delegate);
}

void ZemDetailWindow::setStartCheckLoginDelegate(ZemDetailWindowDelegate* delegate) {
    startCheckLoginDelegate_ = delegate;
    startCheckLoginGuard_ = dynamic_cast<QObject*>(delegate);
}

ZemDetailWindowDelegate* ZemDetailWindow::startCheckLoginDelegate() const {
    return startCheckLoginGuard_ ? startCheckLoginDelegate_ : nullptr;
}

QWidget* ZemDetailWindow::bgView() const {
    return ui_->bgView;
}
QLabel* ZemDetailWindow::photoImgView() const {
    return ui_->photoImgView;
}
QLabel* ZemDetailWindow::deviceNameLb() const {
    return ui_->deviceNameLb;
}
QLabel* ZemDetailWindow::systemVersionLb() const {
    return ui_->systemVersionLb;
}
QLabel* ZemDetailWindow::deviceTypeLb() const {
    return ui_->deviceTypeLb;
}
QLabel* ZemDetailWindow::macVersionLb() const {
    return ui_->macVersionLb;
}
ZemHoverLabel* ZemDetailWindow::ipAddressLb() const {
    return ui_->ipAddressLb;
}
ZemHoverLabel* ZemDetailWindow::macAddressLb() const {
    return ui_->macAddressLb;
}
ZemHoverButton* ZemDetailWindow::deviceNameCpBtn() const {
    return ui_->deviceNameCpBtn;
}
ZemHoverButton* ZemDetailWindow::systemVersionCpBtn() const {
    return ui_->systemVersionCpBtn;
}
ZemHoverButton* ZemDetailWindow::ipAddressCpBtn() const {
    return ui_->ipAddressCpBtn;
}
ZemHoverButton* ZemDetailWindow::macAddressCpBtn() const {
    return ui_->macAddressCpBtn;
}
ZemHoverButton* ZemDetailWindow::deviceTypeCpBtn() const {
    return ui_->deviceTypeCpBtn;
}
ZemHoverButton* ZemDetailWindow::versionCpBtn() const {
    return ui_->versionCpBtn;
}
QLabel* ZemDetailWindow::userNameLb() const {
    return ui_->userNameLb;
}
QPushButton* ZemDetailWindow::info_btn() const {
    return ui_->info_btn;
}
QPushButton* ZemDetailWindow::login_btn() const {
    return ui_->login_btn;
}
QLabel* ZemDetailWindow::info_line() const {
    return ui_->info_line;
}
QLabel* ZemDetailWindow::login_line() const {
    return ui_->login_line;
}
QTabWidget* ZemDetailWindow::tabview() const {
    return ui_->tabview;
}
QWidget* ZemDetailWindow::infoLoginView() const {
    return ui_->infoLoginView;
}
QTabWidget* ZemDetailWindow::QRcodeView() const {
    return ui_->QRcodeView;
}
ZemLoginView* ZemDetailWindow::selectLoginView() const {
    return ui_->selectLoginView;
}
QLabel* ZemDetailWindow::qrView() const {
    return ui_->qrView;
}
QLabel* ZemDetailWindow::loginStatusLb() const {
    return ui_->loginStatusLb;
}
QLabel* ZemDetailWindow::loginTipsLb() const {
    return ui_->loginTipsLb;
}
QLineEdit* ZemDetailWindow::userIdLb() const {
    return ui_->userIdLb;
}
QLineEdit* ZemDetailWindow::passwordLb() const {
    return ui_->passwordLb;
}
QLineEdit* ZemDetailWindow::otpTokenLb() const {
    return ui_->otpTokenLb;
}
QLabel* ZemDetailWindow::otp_Image() const {
    return ui_->otp_Image;
}
QPushButton* ZemDetailWindow::comfimBtn() const {
    return ui_->comfimBtn;
}
QPushButton* ZemDetailWindow::logout_btn() const {
    return ui_->logout_btn;
}
QLineEdit* ZemDetailWindow::resetpassTF() const {
    return ui_->resetpassTF;
}
QLineEdit* ZemDetailWindow::confirmpassTF() const {
    return ui_->confirmpassTF;
}
QLabel* ZemDetailWindow::newpassTipLb() const {
    return ui_->newpassTipLb;
}
QLabel* ZemDetailWindow::confirmNewpassLb() const {
    return ui_->confirmNewpassLb;
}

std::string ZemDetailWindow::login_Mac() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return login_Mac_;
}

std::string ZemDetailWindow::login_ip() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return login_ip_;
}

// Opening ------------------------------------------------------------------------------------------

void ZemDetailWindow::awakeFromNib() {
    ZemBaseWindow::awakeFromNib();
    for (ZemHoverButton* button : {ui_->deviceNameCpBtn, ui_->systemVersionCpBtn, ui_->ipAddressCpBtn,
                                   ui_->macAddressCpBtn, ui_->deviceTypeCpBtn, ui_->versionCpBtn}) {
        button->setIsAllHover(true);
        const QPixmap normal = Extension::imageWithName(QStringLiteral("copyBtn_normal"));
        button->setImage(Extension::imageWithName(QStringLiteral("copyBtn_hover")),
                         ZemHoverButton::kStateHover);
        button->setImage(normal, ZemHoverButton::kStateNormal);
        button->setIcon(QIcon(normal));
    }
    ui_->macAddressLb->setToolViewWidth(270);
    ui_->ipAddressLb->setToolViewWidth(270);
    isresetPassword_ = false;
    RavAvizaLoginHelper::sharedInstance().createSoleidAndSave();
    loadTabView();
    fillDeviceFacts();
    if (!(RavAvizaLoginHelper::iflogin() && RavAvizaLoginHelper::sharedInstance().isCheckAndShow()))
        StartCheckQR();
    if (!observer_) {
        QPointer<ZemDetailWindow> self(this);
        observer_ = dispatch::NotificationCenter::defaultCenter().addObserver(
            kUpdateLabelNotification, dispatch::WorkQueue::main(),
            [self](const dispatch::Notification& note) {
                if (!self) return;
                std::optional<int64_t> state = note.object.integer();
                if (!state) {
                    if (const auto* text = note.object.string()) {
                        try {
                            state = std::stoll(*text);
                        } catch (...) {
                        }
                    }
                }
                self->refreshLb(state.value_or(0));
            });
    }
}

void ZemDetailWindow::loadTabView() {
    ui_->infoLoginView->show();
    isSelected::setIsSelected(ui_->info_btn, false);
    isSelected::setIsSelected(ui_->login_btn, true);
    ui_->selectLoginView->awakeFromNib();
    ui_->QRcodeView->setCurrentIndex(RavAvizaLoginHelper::selectBtnTag() ? 1 : 0);
    QPointer<ZemDetailWindow> self(this);
    ui_->selectLoginView->setCompletion([self](QPushButton* button) {
        if (!self) return;
        const long tag = ZemLoginView::tagOf(button);
        if (self->isresetPassword_ && tag == 1) {
            self->ui_->newpassTipLb->hide();
            self->ui_->QRcodeView->setCurrentIndex(2);
        } else {
            self->ui_->QRcodeView->setCurrentIndex(static_cast<int>(tag));
        }
    });
    // The login button sits 36 points above the page's bottom under the one-time-code field, or
    // 76 points up in that field's place when no code is asked for.
    QPushButton* confirm = ui_->comfimBtn;
    const int pageHeight = confirm->parentWidget() ? confirm->parentWidget()->height() : 0;
    if (RavAvizaLoginHelper::iShowOTP()) {
        ui_->otp_Image->show();
        ui_->otpTokenLb->show();
        confirm->move(confirm->x(), pageHeight - 36 - confirm->height());
    } else {
        ui_->otp_Image->hide();
        ui_->otpTokenLb->hide();
        ui_->otpTokenLb->clear();
        confirm->move(confirm->x(), pageHeight - 76 - confirm->height());
    }
    changeBtnUI();
    refreshUI();
}

void ZemDetailWindow::fillDeviceFacts() {
    auto& device = common::ITDevice::currentDevice();
    ui_->deviceNameLb->setText(QString::fromStdString(device.machineName()));
    ui_->systemVersionLb->setText(QString::fromStdString(device.osVersion()));
    ui_->macVersionLb->setText(appVersion());
    device.getMacAndIPAddr();
    ui_->macAddressLb->setText(QString::fromStdString(joined(device.macAddresses())));
    ui_->ipAddressLb->setText(QString::fromStdString(joined(device.ipArray())));
}

// Tabs -----------------------------------------------------------------------------------------------

void ZemDetailWindow::tapinfoBtn() {
    isSelected::setIsSelected(ui_->info_btn, true);
    isSelected::setIsSelected(ui_->login_btn, false);
    ui_->tabview->setCurrentIndex(0);
    changeBtnUI();
}

void ZemDetailWindow::taploginBtn() {
    isSelected::setIsSelected(ui_->login_btn, true);
    isSelected::setIsSelected(ui_->info_btn, false);
    ui_->tabview->setCurrentIndex(1);
    changeBtnUI();
}

void ZemDetailWindow::changeBtnUI() {
    const bool info = isSelected::isSelected(ui_->info_btn);
    ui_->info_line->setVisible(info);
    ui_->login_line->setVisible(!info);
    setButtonImage(ui_->info_btn,
                   info ? QStringLiteral("icon_info_hove") : QStringLiteral("icon_info_normal"));
    setButtonImage(ui_->login_btn, isSelected::isSelected(ui_->login_btn)
                                       ? QStringLiteral("icon_login_hover")
                                       : QStringLiteral("icon_login_normal"));
}

// Copy and alerts --------------------------------------------------------------------------------------

void ZemDetailWindow::copyText(const QString& text) {
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    clipboard->setText(text);
    showAlertTip();
}

void ZemDetailWindow::copyDeviceName() {
    copyText(ui_->deviceNameLb->text());
}
void ZemDetailWindow::copySystemVersion() {
    copyText(ui_->systemVersionLb->text());
}
void ZemDetailWindow::copyIPAddress() {
    copyText(ui_->ipAddressLb->text());
}
void ZemDetailWindow::copyMacAddress() {
    copyText(ui_->macAddressLb->text());
}
void ZemDetailWindow::copyDeviceType() {
    copyText(ui_->deviceTypeLb->text());
}
void ZemDetailWindow::copyMacVersion() {
    copyText(ui_->macVersionLb->text());
}

void ZemDetailWindow::showAlert(const QString& message) {
    QPointer<ZemDetailWindow> self(this);
    dispatch::WorkQueue::main()->dispatch([self, message] {
        CustomMessageBox box;
        if (!box.window()) return;
        box.setTitle(QStringLiteral("提醒"), message, 1, QStringLiteral("确定"), QString());
        box.window()->setWindowTitle(QStringLiteral("提醒"));
        if (self && self->isVisible()) {
            const QRect frame = self->frameGeometry();
            QWidget* w = box.window();
            w->move(frame.x() + (frame.width() - w->width()) / 2,
                    frame.y() + (frame.height() - w->height()) / 2);
        }
        AppWindows::runModalForWindow(box.window());
    });
}

void ZemDetailWindow::showAlertTip() {
    showAlert(QStringLiteral("复制成功"));
}

void ZemDetailWindow::tipText(const QString& text) {
    showAlert(text);
}

void ZemDetailWindow::showAlertTipForLogin(const QString& text) {
    QPointer<ZemDetailWindow> self(this);
    dispatch::WorkQueue::main()->dispatch([self] {
        if (self) self->ui_->logout_btn->setEnabled(true);
    });
    showAlert(text);
}

// Account login ----------------------------------------------------------------------------------------

bool ZemDetailWindow::textFieldIsNull(const QLineEdit* field) {
    return !field || field->text().isEmpty();
}

bool ZemDetailWindow::checkOTPtextField(const QLineEdit* field) {
    if (!RavAvizaLoginHelper::iShowOTP()) return false;
    return textFieldIsNull(field);
}

void ZemDetailWindow::tapConfirmBtn() {
    if (textFieldIsNull(ui_->userIdLb)) {
        tipText(QStringLiteral("账号不能为空"));
        return;
    }
    if (textFieldIsNull(ui_->passwordLb)) {
        tipText(QStringLiteral("密码不能为空"));
        return;
    }
    if (checkOTPtextField(ui_->otpTokenLb)) {
        tipText(QStringLiteral("OTP不能为空"));
        return;
    }
    log("[ZemDetailWindow] RavAviza Account login");
    const hux::Json param{{"userid", ui_->userIdLb->text().toStdString()},
                          {"password", ui_->passwordLb->text().toStdString()},
                          {"otp", ui_->otpTokenLb->text().toStdString()}};
    QPointer<ZemDetailWindow> self(this);
    RavAvizaLoginHelper::sharedInstance().login(
        param, [self](hux::Reply reply, hux::Error error, bool signedIn) {
            if (self) self->accountLoginHandleWithResponse(reply, error, signedIn);
        });
}

void ZemDetailWindow::accountLoginHandleWithResponse(const hux::Reply& reply, const hux::Error& error,
                                                     bool signedIn) {
    handleAnswer(reply, error, false, signedIn);
}

void ZemDetailWindow::handleAnswer(const hux::Reply& reply, const hux::Error& error, bool resetPassword,
                                   bool signedIn) {
    const std::string what = resetPassword ? "[ZemDetailWindow] RavAviza resetpassword "
                                           : "[ZemDetailWindow] RavAviza Account login ";
    if (error) {
        log(what + "fail msg:" + error->failureReason);
        showAlertTipForLogin(QString::fromStdString(error->failureReason));
        return;
    }
    const int64_t ret = replyRet(reply);
    if (ret != 0) {
        const auto code = reply ? hux::fields::integer(*reply, "errorcode") : std::nullopt;
        if (!resetPassword && code == 20) {
            // The server demands a new password first.
            QPointer<ZemDetailWindow> self(this);
            dispatch::WorkQueue::main()->dispatch([self] {
                if (!self) return;
                self->ui_->newpassTipLb->hide();
                self->ui_->QRcodeView->setCurrentIndex(2);
                self->isresetPassword_ = true;
            });
            return;
        }
        log(what + "ret:" + std::to_string(ret) + " msg:" + replyMessage(reply));
        showAlertTipForLogin(replyMessageText(reply));
        return;
    }
    const auto state = dataState(reply);
    const int64_t value = state.value_or(1);
    static const std::pair<int64_t, const char*> keys[] = {
        {-8, "Deviceapproved"},   {-7, "Devicelogout"}, {-6, "Devicerejected"}, {-5, "Devicereview"},
        {-4, "DevicenoRegister"}, {-3, "Faillogin"},    {-2, "NotLogin"}};
    bool shown = false;
    for (const auto& entry : keys) {
        if (entry.first == value) {
            showAlertTipForLogin(Localizable::localizedString(QString::fromLatin1(entry.second)));
            shown = true;
        }
    }
    if (!shown && value == -1) showAlertTipForLogin(QStringLiteral("二维码已扫描"));
    if (state && value == 0) {
        // Only a sign-in the session stored shows the signed-in page.
        if (signedIn) {
            runOnMainAndWait([this] { refreshUI(); });
        } else {
            showAlertTipForLogin(Localizable::localizedString(QStringLiteral("Faillogin")));
        }
    }
    log(what + "state:" + std::to_string(state.value_or(0)) + " msg:" + replyMessage(reply));
}

void ZemDetailWindow::runOnMainAndWait(const std::function<void()>& work) {
    auto main = dispatch::WorkQueue::main();
    if (main->isCurrent()) {
        work();
    } else {
        main->dispatchSync([&work] { work(); });
    }
}

// Password change -------------------------------------------------------------------------------------

void ZemDetailWindow::resetPassBtn() {
    const QString text = ui_->resetpassTF->text();
    if (!text.isEmpty() && !Extension::confirmPassFormat(text.toStdString())) {
        ui_->newpassTipLb->show();
        return;
    }
    ui_->newpassTipLb->hide();
    ui_->confirmpassTF->setFocus();
}

bool ZemDetailWindow::control(QLineEdit* field) {
    const QString text = field ? field->text() : QString();
    const bool passes = Extension::confirmPassFormat(text.toStdString());
    ui_->newpassTipLb->setVisible(!text.isEmpty() && !passes);
    return passes;
}

bool ZemDetailWindow::eventFilter(QObject* watched, QEvent* event) {
    // Leaving the new-password field checks it; the hint says what is wrong, and the user stays
    // free to go elsewhere (back to the QR page, for one).
    if (watched == ui_->resetpassTF && event->type() == QEvent::FocusOut) control(ui_->resetpassTF);
    return ZemBaseWindow::eventFilter(watched, event);
}

void ZemDetailWindow::ConfirmResetPassBtn() {
    const QString password = ui_->resetpassTF->text();
    if (!Extension::confirmPassFormat(password.toStdString())) {
        ui_->newpassTipLb->show();
        return;
    }
    if (ui_->confirmpassTF->text() != password) {
        ui_->confirmNewpassLb->show();
        ui_->confirmpassTF->setFocus();
        return;
    }
    ui_->confirmNewpassLb->hide();
    log("[ZemDetailWindow] RavAviza resetpassword in zem");
    const hux::Json param{{"userid", ui_->userIdLb->text().toStdString()},
                          {"password", ui_->confirmpassTF->text().toStdString()},
                          {"old_password", ui_->passwordLb->text().toStdString()}};
    QPointer<ZemDetailWindow> self(this);
    RavAvizaLoginHelper::sharedInstance().resetPassword(
        param, [self](hux::Reply reply, hux::Error error, bool signedIn) {
            if (self) self->handleAnswer(reply, error, true, signedIn);
        });
}

// Logout ------------------------------------------------------------------------------------------------

void ZemDetailWindow::GetMacAndIP() {
    auto& device = common::ITDevice::currentDevice();
    const std::string mac = joined(device.macAddresses());
    const std::string ip = joined(device.ipArray());
    std::lock_guard<std::mutex> lock(mutex_);
    login_Mac_ = mac;
    login_ip_ = ip;
}

void ZemDetailWindow::logoutBtn() {
    log("[ZemDetailWindow] RavAviza logout");
    ui_->logout_btn->setEnabled(false);
    GetMacAndIP();
    auto record = common::AccountModel::currentModel();
    const hux::Json param{{"userid", record ? record->userid : std::string()},
                          {"mac", login_Mac()},
                          {"ip", login_ip()},
                          {"deviceid", common::ITDevice::currentDevice().uuid()},
                          {"ticket", record ? record->decryptTicket() : std::string()},
                          {"msg", "logout"}};
    QPointer<ZemDetailWindow> self(this);
    RavAvizaLoginHelper::sharedInstance().logout(param, [self](hux::Reply reply, hux::Error error) {
        if (error) {
            log("[ZemDetailWindow] RavAviza logout fail msg:" + error->failureReason);
            if (self) self->showAlertTipForLogin(QString::fromStdString(error->failureReason));
            return;
        }
        const int64_t ret = replyRet(reply);
        if (self) {
            if (ret != 0) {
                self->showAlertTipForLogin(replyMessageText(reply));
            } else {
                self->runOnMainAndWait([self] {
                    if (self) self->refreshUI();
                });
            }
        }
        log("[ZemDetailWindow] RavAviza logout ret:" + std::to_string(ret) + " msg:" + replyMessage(reply));
    });
}

// Session state on screen ----------------------------------------------------------------------------------

void ZemDetailWindow::refreshUI() {
    auto& session = RavAvizaLoginHelper::sharedInstance();
    const int64_t loginType = RavAvizaLoginHelper::currentLoginType();
    if (loginType != 0) {
        const bool shown = session.isCheckAndShow();
        closeCheckQR();
        if (shown) {
            ui_->login_btn->hide();
        } else {
            ui_->login_btn->show();
            StartCheckQR();
        }
        ui_->logout_btn->setEnabled(true);
        isSelected::setIsSelected(ui_->info_btn, true);
        isSelected::setIsSelected(ui_->login_btn, false);
        ui_->logout_btn->setVisible(loginType != 3 && shown);
        auto record = common::AccountModel::currentModel();
        const QString userid = QString::fromStdString(record ? record->userid : std::string());
        const QString username = QString::fromStdString(record ? record->username : std::string());
        if (!username.isEmpty() && shown) {
            ui_->userNameLb->setText(QStringLiteral("%1(%2)").arg(userid, username));
        } else if (username.isEmpty()) {
            ui_->userNameLb->setText(userid);
        }
        ui_->tabview->setCurrentIndex(0);
        changeBtnUI();
        if (auto* delegate = startCheckLoginDelegate()) delegate->refreshUserName();
        return;
    }
    StartCheckQR();
    ui_->userNameLb->setText(QStringLiteral("未登录"));
    ui_->loginStatusLb->setText(QStringLiteral("Zem快速登录"));
    ui_->loginTipsLb->setText(QStringLiteral("如需使用更多功能，请扫码登录"));
    ui_->login_btn->show();
    ui_->logout_btn->hide();
    isSelected::setIsSelected(ui_->login_btn, true);
    isSelected::setIsSelected(ui_->info_btn, false);
    changeBtnUI();
    if (auto* delegate = startCheckLoginDelegate()) delegate->StartCheckLogin();
    ui_->tabview->setCurrentIndex(1);
}

void ZemDetailWindow::refreshLb(std::int64_t state) {
    switch (state) {
        case -8:
            ui_->loginStatusLb->setText(QStringLiteral("设备审核通过"));
            break;
        case -7:
            ui_->loginStatusLb->setText(QStringLiteral("设备已注销"));
            break;
        case -6:
            ui_->loginStatusLb->setText(QStringLiteral("设备审核拒绝"));
            break;
        case -5:
            ui_->loginStatusLb->setText(QStringLiteral("设备待审核"));
            ui_->loginTipsLb->setText(kTipsAfterScan);
            break;
        case -1:
            ui_->loginStatusLb->setText(QStringLiteral("已扫码,待确定..."));
            ui_->loginTipsLb->setText(kTipsAfterScan);
            break;
        case 0:
            refreshUI();
            if (auto* delegate = startCheckLoginDelegate()) delegate->closeDetailWindow(this);
            break;
        default:
            ui_->loginStatusLb->setText(QStringLiteral("其它异常"));
            break;
    }
}

// QR refresh ------------------------------------------------------------------------------------------------

std::shared_ptr<dispatch::WorkQueue> ZemDetailWindow::timerCheckQueue() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!timerCheckQueue_) timerCheckQueue_ = dispatch::WorkQueue::create("com.velmora.qr.check");
    return timerCheckQueue_;
}

QPixmap ZemDetailWindow::pixmapFromQR(const hux::QRImage& image) {
    if (image.width <= 0 || image.height <= 0 ||
        image.pixels.size() < static_cast<size_t>(image.width) * static_cast<size_t>(image.height)) {
        return QPixmap();
    }
    QImage grey(image.pixels.data(), image.width, image.height, image.width, QImage::Format_Grayscale8);
    return QPixmap::fromImage(grey.copy());
}

void ZemDetailWindow::RefreshQR() {
    createCheckQRTimer();
}

void ZemDetailWindow::createCheckQRTimer() {
    QPointer<ZemDetailWindow> self(this);
    auto timer = dispatch::TimerSource::create(timerCheckQueue(), 0ns, kQRRefreshInterval, [self] {
        auto image = RavAvizaLoginHelper::sharedInstance().getCurrentQR(kQRSize);
        if (!image) return;
        // The window is looked at on the main thread only.
        dispatch::WorkQueue::main()->dispatchSync([self, &image] {
            if (self) self->setQRImage(pixmapFromQR(*image));
        });
    });
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (GDCheckQRTimer_) GDCheckQRTimer_->cancel();
        GDCheckQRTimer_ = timer;
    }
    timer->resume();
}

void ZemDetailWindow::setQRImage(const QPixmap& image) {
    ui_->qrView->setPixmap(image);
}

void ZemDetailWindow::StartCheckQR() {
    closeCheckQR();
    RefreshQR();
}

void ZemDetailWindow::closeCheckQR() {
    std::shared_ptr<dispatch::TimerSource> timer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        timer = std::move(GDCheckQRTimer_);
    }
    if (timer) timer->cancel();
}

bool ZemDetailWindow::isRefreshingQR() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return GDCheckQRTimer_ && !GDCheckQRTimer_->isCancelled();
}

void ZemDetailWindow::closeEvent(QCloseEvent* event) {
    if (delegateGuard_ && delegate_ && !delegate_->windowShouldClose(this)) {
        event->ignore();
        return;
    }
    // A closed window neither refreshes its code nor listens for scan states.
    closeCheckQR();
    if (observer_) {
        dispatch::NotificationCenter::defaultCenter().removeObserver(*observer_);
        observer_.reset();
    }
    event->accept();
}
