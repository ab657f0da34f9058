#include "JoinDomainManualSettingInfoWindow.h"

#include <QCloseEvent>
#include <QLineEdit>

#include "DuceneHelperManager.h"
#include "WindowSupport.h"
#include "ui_JoinDomainManualSettingInfoWindow.h"

namespace ducene {

using namespace std::chrono_literals;

JoinDomainManualSettingInfoWindow::JoinDomainManualSettingInfoWindow(QWidget* parent)
    : QWidget(parent, closeOnlyWindowFlags()),
      ui_(std::make_unique<Ui::JoinDomainManualSettingInfoWindow>()) {
    ui_->setupUi(this);
    stopProgress(ui_->progressIndicator);
    QLineEdit* fields[] = {ui_->domainNameTextField, ui_->domainAdminAccountTF, ui_->domainAdminPwdTF};
    for (int i = 0; i < 3; ++i) {
        QLineEdit* field = fields[i];
        QLineEdit* next = fields[(i + 1) % 3];
        connect(field, &QLineEdit::textEdited, this, [this] {
            if (!ui_->tipsLabel->text().isEmpty()) ui_->tipsLabel->clear();
        });
        connect(field, &QLineEdit::returnPressed, this, [next] { next->setFocus(); });
    }
    connect(ui_->saveButton, &QPushButton::clicked, this, [this] { saveButtonAction(); });
}

JoinDomainManualSettingInfoWindow::~JoinDomainManualSettingInfoWindow() = default;

void JoinDomainManualSettingInfoWindow::showAtwindow(QWidget* parent) {
    showAtWindow(this, parent);
}

void JoinDomainManualSettingInfoWindow::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    if (QWidget* owner = parentWidget()) owner->activateWindow();
}

void JoinDomainManualSettingInfoWindow::saveButtonAction() {
    for (QLineEdit* field : {ui_->domainNameTextField, ui_->domainAdminAccountTF, ui_->domainAdminPwdTF}) {
        field->clearFocus();
    }
    const std::string domain = ui_->domainNameTextField->text().toStdString();
    const std::string account = ui_->domainAdminAccountTF->text().toStdString();
    const std::string password = ui_->domainAdminPwdTF->text().toStdString();
    if (domain.empty()) {
        setLabel(ui_->tipsLabel, "域名不能空");
        return;
    }
    if (account.empty()) {
        setLabel(ui_->tipsLabel, "域名的管理账号不能空");
        return;
    }
    if (password.empty()) {
        setLabel(ui_->tipsLabel, "域名的管理不能空");
        return;
    }
    DuceneHelperManager::sharedInstance().setDomainInfos({archive::Dictionary{
        {"name", archive::Value(domain)},
        {"domain_admin_account", archive::Value(account)},
        {"domain_admin_pwd", archive::Value(password)},
    }});
    setLabel(ui_->tipsLabel, "保存成功，1秒后自动跳转");
    onMainAfter(this, 1000ms, [this] { close(); });
}

}  // namespace ducene
