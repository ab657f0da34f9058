#include "HuxModifypasswordViewCtrl.h"

#include <QDialog>
#include <QMetaObject>

#include "LoginReplies.h"
#include "LoginTexts.h"
#include "ui/screens/login/LoginFields.h"
#include "common/account/AccountModel.h"
#include "ui/session/log/ZemLogHelper.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui_HuxModifypasswordViewCtrl.h"

using LoginReplies::Decision;

using loginfields::identifier;
using loginfields::setButtonTitle;
using loginfields::utf8;

HuxModifypasswordViewCtrl::HuxModifypasswordViewCtrl(QWidget* parent)
    : CustomViewControllerBase(parent), ui_(std::make_unique<Ui::HuxModifypasswordViewCtrl>()) {
    LoginTexts::load();
    ui_->setupUi(this);
    connect(ui_->okButton, &QPushButton::clicked, this, [this] { okButtonPush(ui_->okButton); });
    connect(ui_->cancelButton, &QPushButton::clicked, this, [this] { cancelButtonPush(ui_->cancelButton); });
    connect(ui_->fnewPassWordLab, &QLineEdit::returnPressed, this,
            [this] { resetPassBtn(ui_->fnewPassWordLab); });
    for (QLineEdit* field : {ui_->oldPassWordLab, ui_->fnewPassWordLab, ui_->confirmPassWordLab})
        connect(field, &QLineEdit::editingFinished, this, [this, field] { control(field, field->text()); });
    viewDidLoad();
}

HuxModifypasswordViewCtrl::~HuxModifypasswordViewCtrl() {
    // The fields lose their focus while the base class tears them down; their signals must not
    // reach this controller any more.
    for (QObject* field :
         {static_cast<QObject*>(ui_->oldPassWordLab), static_cast<QObject*>(ui_->fnewPassWordLab),
          static_cast<QObject*>(ui_->confirmPassWordLab)})
        field->disconnect(this);
    ui_->fnewPassWordLab->setTextfieldDelegate(nullptr);
    ui_->confirmPassWordLab->setTextfieldDelegate(nullptr);
}

ZemTextField* HuxModifypasswordViewCtrl::oldPassWordLab() const {
    return ui_->oldPassWordLab;
}
ZemTextField* HuxModifypasswordViewCtrl::fnewPassWordLab() const {
    return ui_->fnewPassWordLab;
}
ZemTextField* HuxModifypasswordViewCtrl::confirmPassWordLab() const {
    return ui_->confirmPassWordLab;
}
QLabel* HuxModifypasswordViewCtrl::resetPasswordTipsLab() const {
    return ui_->resetPasswordTipsLab;
}
QLabel* HuxModifypasswordViewCtrl::oldPasswordTipsLab() const {
    return ui_->oldPasswordTipsLab;
}
CustomButton* HuxModifypasswordViewCtrl::okButton() const {
    return ui_->okButton;
}
CustomButton* HuxModifypasswordViewCtrl::cancelButton() const {
    return ui_->cancelButton;
}

ZemCheckPasswordFormat* HuxModifypasswordViewCtrl::checkPasswordCtrl() {
    if (!checkPasswordCtrl_) checkPasswordCtrl_ = new ZemCheckPasswordFormat(this);
    return checkPasswordCtrl_;
}

ZemCheckPasswordFormat* HuxModifypasswordViewCtrl::shownCheckPasswordCtrl() const {
    return checkPasswordCtrl_ && checkPasswordCtrl_->parentWidget() == this && !checkPasswordCtrl_->isHidden()
               ? checkPasswordCtrl_.data()
               : nullptr;
}

void HuxModifypasswordViewCtrl::viewDidLoad() {
    ui_->fnewPassWordLab->setTextfieldDelegate(this);
    ui_->confirmPassWordLab->setTextfieldDelegate(this);
    setButtonTitle(ui_->okButton, "Confirm");
    setButtonTitle(ui_->cancelButton, "Cancel");
}

void HuxModifypasswordViewCtrl::okButtonPush(QAbstractButton* sender) {
    auto refuse = [this, sender](int caseNumber) {
        noticesWithCase(caseNumber);
        if (sender) sender->setChecked(true);
    };
    const std::string old = utf8(ui_->oldPassWordLab);
    const std::string fresh = utf8(ui_->fnewPassWordLab);
    const std::string confirm = utf8(ui_->confirmPassWordLab);
    if (old.empty()) return refuse(3);
    if (!LoginReplies::passwordPasses(fresh)) return refuse(2);
    if (fresh != confirm) {
        // Focus first: leaving the new-password field re-checks it and would hide this tip.
        ui_->confirmPassWordLab->setFocus();
        refuse(1);
        return;
    }
    ui_->resetPasswordTipsLab->setVisible(false);
    const auto record = common::AccountModel::currentModel();
    if (old.empty() || !record || record->userid.empty()) return refuse(5);
    if (old == confirm) return refuse(4);
    if (confirm.empty() || fresh.empty()) return refuse(3);

    ZemLogHelper::sharedInstance().writeLog("Hux start modify PassWord !!!!");
    const hux::Json param{{"userid", record->userid}, {"password", confirm}, {"old_password", old}};
    QPointer<HuxModifypasswordViewCtrl> self(this);
    hux::RavAvizaLoginHelper::sharedInstance().resetPassword(
        param, [self](hux::Reply reply, hux::Error error) {
            if (!self) return;
            const Decision decision = LoginReplies::sheetReply(reply, error);
            if (decision.kind == Decision::Show) {
                self->showAlertTipForLogin(LoginTexts::text(decision.message));
            } else if (decision.kind == Decision::Success) {
                self->onMain([raw = self.data()] { raw->endSheet(kSheetChanged); });
            }
        });
}

void HuxModifypasswordViewCtrl::cancelButtonPush(QObject*) {
    endSheet(kSheetCancelled);
}

void HuxModifypasswordViewCtrl::endSheet(long returnCode) {
    emit sheetEnded(returnCode);
    if (auto* sheet = qobject_cast<QDialog*>(window())) sheet->done(static_cast<int>(returnCode));
}

void HuxModifypasswordViewCtrl::noticesWithCase(int caseNumber) {
    ui_->resetPasswordTipsLab->setVisible(true);
    if (auto message = LoginReplies::noticeMessage(caseNumber)) {
        ui_->resetPasswordTipsLab->setText(LoginTexts::text(*message));
    } else {
        ui_->resetPasswordTipsLab->setVisible(false);
    }
}

void HuxModifypasswordViewCtrl::notifyToBecomeFirstResponder(ZemTextField* field) {
    const QString id = identifier(field);
    const char* key = nullptr;
    int height = 0;
    if (id == QLatin1String("newpassword")) {
        key = "PwdRuleTips";
        height = 67;
    } else if (id == QLatin1String("confirmpassword")) {
        key = "PwdInconsistent";
        height = 32;
    } else {
        return;
    }
    ZemCheckPasswordFormat* callout = checkPasswordCtrl();
    callout->tipsLab()->setText(LoginTexts::localized(key));
    const QPoint origin = field->mapTo(this, QPoint(0, field->height() + 5));
    callout->setGeometry(origin.x(), origin.y(), callout->width(), height);
    if (callout->parentWidget() != this) callout->setParent(this);
    callout->show();
    callout->raise();
    addAutoRemoveForSubView(callout);
}

bool HuxModifypasswordViewCtrl::control(QLineEdit*, const QString& text) {
    if (!text.isEmpty() && !LoginReplies::passwordPasses(text.toStdString())) {
        noticesWithCase(2);
    } else {
        ui_->resetPasswordTipsLab->setVisible(false);
    }
    return true;
}

void HuxModifypasswordViewCtrl::resetPassBtn(QLineEdit* sender) {
    if (!sender) return;
    const QString text = sender->text();
    if (!text.isEmpty() && !LoginReplies::passwordPasses(text.toStdString())) {
        ui_->resetPasswordTipsLab->setVisible(true);
        ui_->resetPasswordTipsLab->setText(LoginTexts::localized("PwdFormatError"));
    } else {
        ui_->resetPasswordTipsLab->setVisible(false);
        ui_->confirmPassWordLab->setFocus();
    }
}

void HuxModifypasswordViewCtrl::showAlertTipForLogin(const QString& text) {
    onMain([this, text] {
        ui_->resetPasswordTipsLab->setVisible(true);
        ui_->resetPasswordTipsLab->setText(text);
    });
}

void HuxModifypasswordViewCtrl::onMain(std::function<void()> fn) {
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}
