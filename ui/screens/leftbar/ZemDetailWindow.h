// The device-info and login window of the compliance flavour, 500 x 334, application-modal, with
// two tabs. The information tab lists the device's facts, each with a copy button, and the logout
// button. The login tab offers QR-code login (a code refreshed every 12 s on the serial queue
// "com.velmora.qr.check"), account login with password and an optional one-time code, and the
// password change the server can demand after a login. The window talks to the server only
// through the login session; the QR scan state comes from the left bar's poll through
// "update_Lable_notification", and a completed QR login closes the window through its delegate.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

#include "ZemDetailWindowDelegate.h"
#include "ZemLoginView.h"
#include "platform/dispatch/NotificationCenter.h"
#include "ui/screens/base/ZemBaseWindow.h"
#include "ui/screens/controls/ZemHoverButton.h"
#include "ui/screens/controls/ZemHoverLabel.h"
#include "ui/session/login/ClientAccountManager.h"

namespace Ui {
class ZemDetailWindow;
}
namespace dispatch {
class TimerSource;
class WorkQueue;
}  // namespace dispatch

class ZemDetailWindow : public ZemBaseWindow {
    Q_OBJECT
  public:
    static constexpr int kWidth = 500;
    static constexpr int kHeight = 334;
    // The QR code's size in points.
    static constexpr float kQRSize = 180;

    // Loads the window's layout resource (named as the class, "ZemDetailWindow"); null for any
    // other name.
    static ZemDetailWindow* initialWithNibName(const QString& name);
    ~ZemDetailWindow() override;

    // Weak: the window does not own them.
    void setDelegate(ZemWindowDelegate* delegate);
    void setStartCheckLoginDelegate(ZemDetailWindowDelegate* delegate);

    // Outlets.
    QWidget* bgView() const;
    QLabel* photoImgView() const;
    QLabel* deviceNameLb() const;
    QLabel* systemVersionLb() const;
    QLabel* deviceTypeLb() const;
    QLabel* macVersionLb() const;
    ZemHoverLabel* ipAddressLb() const;
    ZemHoverLabel* macAddressLb() const;
    ZemHoverButton* deviceNameCpBtn() const;
    ZemHoverButton* systemVersionCpBtn() const;
    ZemHoverButton* ipAddressCpBtn() const;
    ZemHoverButton* macAddressCpBtn() const;
    ZemHoverButton* deviceTypeCpBtn() const;
    ZemHoverButton* versionCpBtn() const;
    QLabel* userNameLb() const;
    QPushButton* info_btn() const;
    QPushButton* login_btn() const;
    QLabel* info_line() const;
    QLabel* login_line() const;
    QTabWidget* tabview() const;
    QWidget* infoLoginView() const;
    QTabWidget* QRcodeView() const;
    ZemLoginView* selectLoginView() const;
    QLabel* qrView() const;
    QLabel* loginStatusLb() const;
    QLabel* loginTipsLb() const;
    QLineEdit* userIdLb() const;
    QLineEdit* passwordLb() const;
    QLineEdit* otpTokenLb() const;
    QLabel* otp_Image() const;
    QPushButton* comfimBtn() const;
    QPushButton* logout_btn() const;
    QLineEdit* resetpassTF() const;
    QLineEdit* confirmpassTF() const;
    QLabel* newpassTipLb() const;
    QLabel* confirmNewpassLb() const;

    bool isresetPassword() const { return isresetPassword_; }
    std::string login_Mac() const;
    std::string login_ip() const;

    // Tab switches.
    void tapinfoBtn();
    void taploginBtn();
    void changeBtnUI();

    // Copy a fact to the clipboard and confirm with "复制成功".
    void copyDeviceName();
    void copySystemVersion();
    void copyIPAddress();
    void copyMacAddress();
    void copyDeviceType();
    void copyMacVersion();

    // Alerts "提醒" with the one button "确定", shown on the main queue.
    void showAlertTip();
    void tipText(const QString& text);
    // Makes the logout button usable again first.
    void showAlertTipForLogin(const QString& text);

    static bool textFieldIsNull(const QLineEdit* field);
    // YES when the one-time code is required and the field is missing or empty.
    static bool checkOTPtextField(const QLineEdit* field);

    void tapConfirmBtn();
    void accountLoginHandleWithResponse(const hux::Reply& reply, const hux::Error& error, bool signedIn);
    void ConfirmResetPassBtn();
    void resetPassBtn();
    // Whether editing of the new-password field may end: the text passes the password rule. Also
    // shows or hides the format hint.
    bool control(QLineEdit* field);
    void logoutBtn();

    void refreshUI();
    // The scan state of a QR login.
    void refreshLb(std::int64_t state);
    void RefreshQR();
    void setQRImage(const QPixmap& image);
    void StartCheckQR();
    void closeCheckQR();
    bool isRefreshingQR() const;
    void GetMacAndIP();
    void loadTabView();

    // A grey bitmap of the session as a pixmap.
    static QPixmap pixmapFromQR(const hux::QRImage& image);

  protected:
    void awakeFromNib() override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    ZemDetailWindow();
    std::shared_ptr<dispatch::WorkQueue> timerCheckQueue();
    void createCheckQRTimer();
    void fillDeviceFacts();
    void copyText(const QString& text);
    void showAlert(const QString& message);
    // The answer of a login (resetPassword false) or of a password change.
    void handleAnswer(const hux::Reply& reply, const hux::Error& error, bool resetPassword, bool signedIn);
    void runOnMainAndWait(const std::function<void()>& work);
    ZemDetailWindowDelegate* startCheckLoginDelegate() const;

    std::unique_ptr<Ui::ZemDetailWindow> ui_;
    ZemWindowDelegate* delegate_ = nullptr;
    QPointer<QObject> delegateGuard_;
    ZemDetailWindowDelegate* startCheckLoginDelegate_ = nullptr;
    QPointer<QObject> startCheckLoginGuard_;
    mutable std::mutex mutex_;
    std::shared_ptr<dispatch::WorkQueue> timerCheckQueue_;
    std::shared_ptr<dispatch::TimerSource> GDCheckQRTimer_;
    std::string login_Mac_;
    std::string login_ip_;
    bool isresetPassword_ = false;
    std::optional<dispatch::NotificationCenter::ObserverId> observer_;
};
