// The content of the main window's login tab: page 0 signs in with account and password, page 1
// is the new password the server demands before it lets the user in (errorcode 20), page 2 asks
// for a forgotten password by mail. Every request goes through the login session; refusals and
// local check failures show in the app's message box, page 1's local checks in its tip label.
#pragma once

#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QProgressBar>
#include <QStackedWidget>
#include <cstdint>
#include <functional>
#include <memory>

#include "ZemCheckPasswordFormat.h"
#include "ui/screens/base/CustomViewControllerBase.h"
#include "ui/screens/controls/CustomButton.h"
#include "ui/screens/controls/ZemHoverButton.h"
#include "ui/screens/controls/ZemTextField.h"
#include "ui/session/login/ClientAccountManager.h"

namespace Ui {
class HuxLoginStateViewCtrl;
}

class HuxLoginStateViewCtrl : public CustomViewControllerBase, public ZemTextFieldDelegate {
    Q_OBJECT
  public:
    static constexpr int kPageLogin = 0;
    static constexpr int kPageForcedChange = 1;
    static constexpr int kPageRetrieve = 2;
    // The text movement of the Return key.
    static constexpr int kReturnTextMovement = 16;

    explicit HuxLoginStateViewCtrl(QWidget* parent = nullptr);
    ~HuxLoginStateViewCtrl() override;

    // Called after a successful login or forced password change.
    void setTapLoginBlock(std::function<void()> block) { tapLoginBlock_ = std::move(block); }
    const std::function<void()>& tapLoginBlock() const { return tapLoginBlock_; }

    // Outlets.
    QStackedWidget* loginTypeTable() const;
    CustomButton* loginButton() const;
    ZemHoverButton* getback_password() const;
    QLineEdit* userIdLb() const;
    QLineEdit* passwordLb() const;
    QProgressBar* progressIndicator() const;
    QLabel* resetPasswordTipsLab() const;
    ZemTextField* fnewPassWordLab() const;
    ZemTextField* confirmPassWordLab() const;
    CustomButton* confirmResetBtn() const;
    QStackedWidget* retrieveTableView() const;
    ZemTextField* getbackLab() const;
    QLabel* mailInfoLab() const;
    CustomButton* sendUseridBtn() const;
    CustomButton* gotoLoginBtn() const;
    // The rule callout, made on first use (and again after a click outside removed it).
    ZemCheckPasswordFormat* checkPasswordCtrl();
    // The callout while it is shown in this view, else null.
    ZemCheckPasswordFormat* shownCheckPasswordCtrl() const;

    void selectLoginTypeTableView(int page);

    // Actions.
    void loginButton(QObject* sender);
    void ConfirmResetPasswordBtn(QObject* sender);
    void getBackPasswordBtn(QObject* sender);
    void sendUseridtoServerBtn(QObject* sender);
    void backtoLoginUIBtn(QObject* sender);
    void resetPassBtn(QLineEdit* sender);

    // Text-field delegate.
    void controlTextDidEndEditing(QLineEdit* field, int textMovement);
    void controlTextDidChange(QLineEdit* field);
    bool control(QLineEdit* control, const QString& text);
    void notifyToBecomeFirstResponder(ZemTextField* field) override;

    void clickPassWordTextField(QLineEdit* field);
    void accountLoginHandleWithResponse(const hux::Reply& reply, const hux::Error& error, bool signedIn);
    QString showAlertTipsWithErrorcode(int64_t errorcode, const QString& msg);
    void noticesWithCase(int caseNumber);
    void tipText(const QString& key);
    void showAlertTipForLogin(const QString& text);
    static bool textFieldIsNull(const QLineEdit* field);

  private:
    void viewDidLoad();
    // Runs fn on the GUI thread after the current event, unless the view is gone by then.
    void onMain(std::function<void()> fn);
    void loginSucceeded(bool menuFirst);

    std::unique_ptr<Ui::HuxLoginStateViewCtrl> ui_;
    std::function<void()> tapLoginBlock_;
    QPointer<ZemCheckPasswordFormat> checkPasswordCtrl_;
};
