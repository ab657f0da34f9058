// The content of the change-password sheet: old, new and repeated password, checked here before
// the session sends the change for the signed-in account. Tips show inline in the tip label;
// success ends the sheet with 1, cancel with 0.
#pragma once

#include <QAbstractButton>
#include <QLabel>
#include <QPointer>
#include <memory>

#include "ZemCheckPasswordFormat.h"
#include "ui/screens/base/CustomViewControllerBase.h"
#include "ui/screens/controls/CustomButton.h"
#include "ui/screens/controls/ZemTextField.h"
#include "ui/session/login/ClientAccountManager.h"

namespace Ui {
class HuxModifypasswordViewCtrl;
}

class HuxModifypasswordViewCtrl : public CustomViewControllerBase, public ZemTextFieldDelegate {
    Q_OBJECT
  public:
    static constexpr long kSheetChanged = 1;
    static constexpr long kSheetCancelled = 0;

    explicit HuxModifypasswordViewCtrl(QWidget* parent = nullptr);
    ~HuxModifypasswordViewCtrl() override;

    // Outlets.
    ZemTextField* oldPassWordLab() const;
    ZemTextField* fnewPassWordLab() const;
    ZemTextField* confirmPassWordLab() const;
    QLabel* resetPasswordTipsLab() const;
    QLabel* oldPasswordTipsLab() const;
    CustomButton* okButton() const;
    CustomButton* cancelButton() const;
    ZemCheckPasswordFormat* checkPasswordCtrl();
    ZemCheckPasswordFormat* shownCheckPasswordCtrl() const;

    // Actions.
    void okButtonPush(QAbstractButton* sender);
    void cancelButtonPush(QObject* sender);
    void resetPassBtn(QLineEdit* sender);

    bool control(QLineEdit* control, const QString& text);
    void notifyToBecomeFirstResponder(ZemTextField* field) override;
    void noticesWithCase(int caseNumber);
    void showAlertTipForLogin(const QString& text);

  signals:
    // The sheet ends with this code (1 changed, 0 cancelled).
    void sheetEnded(long returnCode);

  private:
    void viewDidLoad();
    void endSheet(long returnCode);
    void onMain(std::function<void()> fn);

    std::unique_ptr<Ui::HuxModifypasswordViewCtrl> ui_;
    QPointer<ZemCheckPasswordFormat> checkPasswordCtrl_;
};
