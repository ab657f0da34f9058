#include "HuxLoginStateViewCtrl.h"

#include <QMetaObject>

#include "LoginReplies.h"
#include "LoginTexts.h"
#include "ui/screens/controls/ColorRGB.h"
#include "ui/screens/controls/Localizable.h"
#include "ui/screens/login/LoginFields.h"
#include "ui/session/log/ZemLogHelper.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui_HuxLoginStateViewCtrl.h"

using LoginReplies::Decision;

using loginfields::identifier;
using loginfields::setButtonTitle;
using loginfields::utf8;

HuxLoginStateViewCtrl::HuxLoginStateViewCtrl(QWidget* parent)
    : CustomViewControllerBase(parent), ui_(std::make_unique<Ui::HuxLoginStateViewCtrl>()) {
    LoginTexts::load();
    ui_->setupUi(this);

    connect(ui_->loginButton, &QPushButton::clicked, this, [this] { loginButton(ui_->loginButton); });
    connect(ui_->confirmResetBtn, &QPushButton::clicked, this,
            [this] { ConfirmResetPasswordBtn(ui_->confirmResetBtn); });
    connect(ui_->getback_password, &QPushButton::clicked, this,
            [this] { getBackPasswordBtn(ui_->getback_password); });
    connect(ui_->sendUseridBtn, &QPushButton::clicked, this,
            [this] { sendUseridtoServerBtn(ui_->sendUseridBtn); });
    connect(ui_->gotoLoginBtn, &QPushButton::clicked, this, [this] { backtoLoginUIBtn(ui_->gotoLoginBtn); });
    connect(ui_->fnewPassWordLab, &QLineEdit::returnPressed, this,
            [this] { resetPassBtn(ui_->fnewPassWordLab); });
    for (QLineEdit* field : {ui_->userIdLb, ui_->passwordLb, static_cast<QLineEdit*>(ui_->fnewPassWordLab),
                             static_cast<QLineEdit*>(ui_->confirmPassWordLab)}) {
        connect(field, &QLineEdit::returnPressed, this,
                [this, field] { controlTextDidEndEditing(field, kReturnTextMovement); });
        connect(field, &QLineEdit::textEdited, this, [this, field] { controlTextDidChange(field); });
        connect(field, &QLineEdit::editingFinished, this, [this, field] { control(field, field->text()); });
    }
    viewDidLoad();
}

HuxLoginStateViewCtrl::~HuxLoginStateViewCtrl() {
    // The fields lose their focus while the base class tears them down; their signals must not
    // reach this controller any more.
    for (QObject* field :
         {static_cast<QObject*>(ui_->userIdLb), static_cast<QObject*>(ui_->passwordLb),
          static_cast<QObject*>(ui_->fnewPassWordLab), static_cast<QObject*>(ui_->confirmPassWordLab)})
        field->disconnect(this);
    ui_->fnewPassWordLab->setTextfieldDelegate(nullptr);
    ui_->confirmPassWordLab->setTextfieldDelegate(nullptr);
}

QStackedWidget* HuxLoginStateViewCtrl::loginTypeTable() const {
    return ui_->loginTypeTable;
}
CustomButton* HuxLoginStateViewCtrl::loginButton() const {
    return ui_->loginButton;
}
ZemHoverButton* HuxLoginStateViewCtrl::getback_password() const {
    return ui_->getback_password;
}
QLineEdit* HuxLoginStateViewCtrl::userIdLb() const {
    return ui_->userIdLb;
}
QLineEdit* HuxLoginStateViewCtrl::passwordLb() const {
    return ui_->passwordLb;
}
QProgressBar* HuxLoginStateViewCtrl::progressIndicator() const {
    return ui_->progressIndicator;
}
QLabel* HuxLoginStateViewCtrl::resetPasswordTipsLab() const {
    return ui_->resetPasswordTipsLab;
}
ZemTextField* HuxLoginStateViewCtrl::fnewPassWordLab() const {
    return ui_->fnewPassWordLab;
}
ZemTextField* HuxLoginStateViewCtrl::confirmPassWordLab() const {
    return ui_->confirmPassWordLab;
}
CustomButton* HuxLoginStateViewCtrl::confirmResetBtn() const {
    return ui_->confirmResetBtn;
}
QStackedWidget* HuxLoginStateViewCtrl::retrieveTableView() const {
    return ui_->retrieveTableView;
}
ZemTextField* HuxLoginStateViewCtrl::getbackLab() const {
    return ui_->getbackLab;
}
QLabel* HuxLoginStateViewCtrl::mailInfoLab() const {
    return ui_->mailInfoLab;
}
CustomButton* HuxLoginStateViewCtrl::sendUseridBtn() const {
    return ui_->sendUseridBtn;
}
CustomButton* HuxLoginStateViewCtrl::gotoLoginBtn() const {
    return ui_->gotoLoginBtn;
}

ZemCheckPasswordFormat* HuxLoginStateViewCtrl::checkPasswordCtrl() {
    if (!checkPasswordCtrl_) checkPasswordCtrl_ = new ZemCheckPasswordFormat(this);
    return checkPasswordCtrl_;
}

ZemCheckPasswordFormat* HuxLoginStateViewCtrl::shownCheckPasswordCtrl() const {
    return checkPasswordCtrl_ && checkPasswordCtrl_->parentWidget() == this && !checkPasswordCtrl_->isHidden()
               ? checkPasswordCtrl_.data()
               : nullptr;
}

void HuxLoginStateViewCtrl::viewDidLoad() {
    ui_->fnewPassWordLab->setTextfieldDelegate(this);
    ui_->confirmPassWordLab->setTextfieldDelegate(this);
    setButtonTitle(ui_->confirmResetBtn, "ChangePassword");
    setButtonTitle(ui_->loginButton, "Login");
    setButtonTitle(ui_->sendUseridBtn, "Send");
    setButtonTitle(ui_->gotoLoginBtn, "Login");
    QPalette link = ui_->getback_password->palette();
    link.setColor(QPalette::ButtonText, RGB::fromRGB(0x006EFF));
    ui_->getback_password->setPalette(link);
    selectLoginTypeTableView(kPageLogin);
}

void HuxLoginStateViewCtrl::selectLoginTypeTableView(int page) {
    ui_->userIdLb->setFocus();
    if (page == kPageRetrieve) {
        ui_->getbackLab->setText(QString());
        ui_->loginTypeTable->setCurrentIndex(kPageRetrieve);
    } else if (page == kPageForcedChange) {
        // The account and the old password stay: the change sends them.
        ui_->fnewPassWordLab->setText(QString());
        ui_->userIdLb->setFocus();
        ui_->loginTypeTable->setCurrentIndex(kPageForcedChange);
    } else {
        ui_->userIdLb->setText(QString());
        ui_->passwordLb->setText(QString());
        ui_->loginTypeTable->setCurrentIndex(kPageLogin);
    }
}

// Page 0 ----------------------------------------------------------------------------------------

void HuxLoginStateViewCtrl::loginButton(QObject*) {
    if (textFieldIsNull(ui_->userIdLb)) return tipText(QStringLiteral("AccountNotEmpty"));
    if (textFieldIsNull(ui_->passwordLb)) return tipText(QStringLiteral("PwdNotEmpty"));
    ZemLogHelper::sharedInstance().writeLog("[ZemDetailWindow] RavAviza Account login");
    const hux::Json param{{"userid", utf8(ui_->userIdLb)}, {"password", utf8(ui_->passwordLb)}, {"otp", ""}};
    QPointer<HuxLoginStateViewCtrl> self(this);
    hux::RavAvizaLoginHelper::sharedInstance().login(
        param, [self](hux::Reply reply, hux::Error error, bool signedIn) {
            if (self) self->accountLoginHandleWithResponse(reply, error, signedIn);
        });
}

void HuxLoginStateViewCtrl::accountLoginHandleWithResponse(const hux::Reply& reply, const hux::Error& error,
                                                           bool signedIn) {
    const Decision decision = LoginReplies::loginReply(reply, error, signedIn);
    switch (decision.kind) {
        case Decision::Show:
            showAlertTipForLogin(LoginTexts::text(decision.message));
            break;
        case Decision::ForcedChange:
            onMain([this] { selectLoginTypeTableView(kPageForcedChange); });
            break;
        case Decision::Success:
            onMain([this] { loginSucceeded(false); });
            break;
        default:
            break;
    }
}

void HuxLoginStateViewCtrl::loginSucceeded(bool menuFirst) {
    if (menuFirst) LoginTexts::setItemsHiddenMenu();
    selectLoginTypeTableView(kPageLogin);
    if (!menuFirst) LoginTexts::setItemsHiddenMenu();
    if (tapLoginBlock_) tapLoginBlock_();
}

QString HuxLoginStateViewCtrl::showAlertTipsWithErrorcode(int64_t errorcode, const QString& msg) {
    return LoginTexts::text(LoginReplies::loginErrorMessage(errorcode, msg.toStdString()));
}

void HuxLoginStateViewCtrl::clickPassWordTextField(QLineEdit* field) {
    const QString id = identifier(field);
    if (id == QLatin1String("loginID")) {
        if (!textFieldIsNull(ui_->userIdLb) && !textFieldIsNull(ui_->passwordLb)) loginButton(field);
    } else if (id == QLatin1String("confirmpassword")) {
        ConfirmResetPasswordBtn(field);
    }
}

void HuxLoginStateViewCtrl::controlTextDidEndEditing(QLineEdit* field, int textMovement) {
    if (textMovement == kReturnTextMovement) clickPassWordTextField(field);
}

// Page 1 ----------------------------------------------------------------------------------------

void HuxLoginStateViewCtrl::ConfirmResetPasswordBtn(QObject*) {
    const std::string fresh = utf8(ui_->fnewPassWordLab);
    const std::string confirm = utf8(ui_->confirmPassWordLab);
    if (!LoginReplies::passwordPasses(fresh)) return noticesWithCase(2);
    if (fresh != confirm) {
        // Focus first: leaving the new-password field re-checks it and would hide this tip.
        ui_->confirmPassWordLab->setFocus();
        noticesWithCase(1);
        return;
    }
    ui_->resetPasswordTipsLab->setVisible(false);
    if (textFieldIsNull(ui_->passwordLb) || textFieldIsNull(ui_->userIdLb)) return noticesWithCase(5);
    if (utf8(ui_->passwordLb) == confirm) return noticesWithCase(4);
    if (confirm.empty() || fresh.empty()) return noticesWithCase(3);

    const hux::Json param{
        {"userid", utf8(ui_->userIdLb)}, {"password", confirm}, {"old_password", utf8(ui_->passwordLb)}};
    QPointer<HuxLoginStateViewCtrl> self(this);
    hux::RavAvizaLoginHelper::sharedInstance().resetPassword(
        param, [self](hux::Reply reply, hux::Error error, bool signedIn) {
            if (!self) return;
            const Decision decision = LoginReplies::forcedChangeReply(reply, error, signedIn);
            if (decision.kind == Decision::Show) {
                self->showAlertTipForLogin(LoginTexts::text(decision.message));
            } else if (decision.kind == Decision::Success) {
                self->onMain([raw = self.data()] { raw->loginSucceeded(true); });
            }
        });
}

void HuxLoginStateViewCtrl::noticesWithCase(int caseNumber) {
    ui_->resetPasswordTipsLab->setVisible(true);
    if (auto message = LoginReplies::noticeMessage(caseNumber)) {
        ui_->resetPasswordTipsLab->setText(LoginTexts::text(*message));
    } else {
        ui_->resetPasswordTipsLab->setVisible(false);
    }
}

void HuxLoginStateViewCtrl::controlTextDidChange(QLineEdit* field) {
    if (identifier(field) != QLatin1String("newpassword")) return;
    if (!field->text().isEmpty()) {
        if (checkPasswordCtrl_) checkPasswordCtrl_->hide();
    } else if (auto* zem = qobject_cast<ZemTextField*>(field)) {
        notifyToBecomeFirstResponder(zem);
    }
}

void HuxLoginStateViewCtrl::notifyToBecomeFirstResponder(ZemTextField* field) {
    if (!field || identifier(field) != QLatin1String("newpassword") || !field->text().isEmpty()) return;
    ZemCheckPasswordFormat* callout = checkPasswordCtrl();
    callout->tipsLab()->setText(LoginTexts::localized("PwdRuleTips"));
    // Just below the field, in this view's coordinates.
    const QPoint origin = field->mapTo(this, QPoint(0, field->height() + 2));
    callout->setGeometry(origin.x(), origin.y(), callout->width(), 85);
    if (callout->parentWidget() != this) callout->setParent(this);
    callout->show();
    callout->raise();
    addAutoRemoveForSubView(callout);
}

bool HuxLoginStateViewCtrl::control(QLineEdit* control, const QString& text) {
    if (identifier(control) == QLatin1String("newpassword")) {
        if (!text.isEmpty() && !LoginReplies::passwordPasses(text.toStdString())) {
            noticesWithCase(2);
        } else {
            ui_->resetPasswordTipsLab->setVisible(false);
        }
    }
    return true;
}

void HuxLoginStateViewCtrl::resetPassBtn(QLineEdit* sender) {
    if (!sender) return;
    const QString text = sender->text();
    if (!text.isEmpty() && !LoginReplies::passwordPasses(text.toStdString())) {
        ui_->resetPasswordTipsLab->setVisible(true);
        noticesWithCase(2);
    } else {
        ui_->resetPasswordTipsLab->setVisible(false);
        ui_->confirmPassWordLab->setFocus();
    }
}

// Page 2 ----------------------------------------------------------------------------------------

void HuxLoginStateViewCtrl::getBackPasswordBtn(QObject*) {
    ui_->retrieveTableView->setCurrentIndex(0);
    selectLoginTypeTableView(kPageRetrieve);
}

void HuxLoginStateViewCtrl::backtoLoginUIBtn(QObject*) {
    selectLoginTypeTableView(kPageLogin);
}

void HuxLoginStateViewCtrl::sendUseridtoServerBtn(QObject*) {
    if (textFieldIsNull(ui_->getbackLab)) return tipText(QStringLiteral("AccountNotEmpty"));
    QPointer<HuxLoginStateViewCtrl> self(this);
    hux::RavAvizaLoginHelper::sharedInstance().retrievePassWordWithUserId(
        utf8(ui_->getbackLab), [self](hux::Reply reply, hux::Error error) {
            if (!self) return;
            const Decision decision = LoginReplies::retrievalReply(reply, error);
            if (decision.kind == Decision::Show) {
                self->showAlertTipForLogin(LoginTexts::text(decision.message));
            } else if (decision.kind == Decision::MailSent) {
                const QString info = QStringLiteral("%1 %2").arg(LoginTexts::localized("PasswordSendTo"),
                                                                 QString::fromStdString(decision.email));
                self->onMain([raw = self.data(), info] {
                    raw->ui_->retrieveTableView->setCurrentIndex(1);
                    raw->ui_->mailInfoLab->setText(info);
                });
            }
        });
}

// Messages --------------------------------------------------------------------------------------

void HuxLoginStateViewCtrl::tipText(const QString& key) {
    showAlertTipForLogin(Localizable::localizedString(key));
}

void HuxLoginStateViewCtrl::showAlertTipForLogin(const QString& text) {
    onMain([this, text] { showErrorMessageBoxWithTitle(LoginTexts::localized("Warnning"), text); });
}

bool HuxLoginStateViewCtrl::textFieldIsNull(const QLineEdit* field) {
    return !field || field->text().isEmpty();
}

void HuxLoginStateViewCtrl::onMain(std::function<void()> fn) {
    QMetaObject::invokeMethod(this, std::move(fn), Qt::QueuedConnection);
}
