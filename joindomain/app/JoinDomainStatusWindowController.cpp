#include "JoinDomainStatusWindowController.h"

#include <QEvent>

#include "DomainJoinFiles.h"
#include "DuceneHelperManager.h"
#include "DuceneMainWindowController.h"
#include "WindowSupport.h"
#include "joindomain/helper/JoinDomainUtil.h"
#include "ui_JoinDomainStatusWindowController.h"

namespace ducene {

using namespace std::chrono_literals;

JoinDomainStatusWindowController::JoinDomainStatusWindowController(QWidget* parent)
    : QWidget(parent, closeOnlyWindowFlags()), ui_(std::make_unique<Ui::JoinDomainStatusWindowController>()) {
    ui_->setupUi(this);
    stopProgress(ui_->progressIndicator);
    ui_->createMobileAccountButton->hide();
    ui_->quitDomainButton->hide();
    connect(ui_->mainButton, &QPushButton::clicked, this, [this] { mainButtonAction(); });
    connect(ui_->quitDomainButton, &QPushButton::clicked, this, [this] { quitDomainButtonAction(); });
    connect(ui_->createMobileAccountButton, &QPushButton::clicked, this,
            [this] { createMobileAccountButtonAction(); });
}

JoinDomainStatusWindowController::~JoinDomainStatusWindowController() = default;

void JoinDomainStatusWindowController::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) windowDidBecomeMain();
}

void JoinDomainStatusWindowController::windowDidBecomeMain() {
    loadDomainView();
}

void JoinDomainStatusWindowController::loadDomainView() {
    setLabel(ui_->tipsLabel, "正在检测当前机器");
    startProgress(ui_->progressIndicator);
    ui_->mainButton->hide();
    onMainAfter(this, 1000ms, [this] {
        WindowGuard guard(this);
        DuceneHelperManager::sharedInstance().helper().fetchJoinedDomainNameWithCompletion(
            [guard, this](std::optional<std::string> domain) {
                onMain(guard, [this, domain] {
                    if (!domain) {
                        stopProgress(this->ui_->progressIndicator);
                        this->ui_->mainButton->show();
                        setLabel(this->ui_->tipsLabel, "当前机器未入域", kBlack);
                        this->ui_->mainButton->setText(QStringLiteral("入    域"));
                        this->isJoinDomain_ = false;
                        return;
                    }
                    this->showJoined(*domain);
                });
            });
    });
}

void JoinDomainStatusWindowController::showJoined(const std::string& domain) {
    const bool canCreate = isShowCreateMobileAccount();
    stopProgress(ui_->progressIndicator);
    setLabel(ui_->tipsLabel, "当前机器已加入域：" + domain, kSystemGreen);
    ui_->mainButton->setText(QStringLiteral("退    域"));
    isJoinDomain_ = true;
    if (canCreate) {
        ui_->mainButton->hide();
        ui_->createMobileAccountButton->show();
        ui_->createMobileAccountButton->setEnabled(true);
        ui_->createMobileAccountTipsLabel->show();
        ui_->quitDomainButton->show();
        ui_->quitDomainButton->setEnabled(true);
        if (isCreateMobileAccount_)
            setLabel(ui_->createMobileAccountTipsLabel, "移动账号创建失败！", kSystemBlue);
    } else {
        ui_->mainButton->show();
        ui_->mainButton->setEnabled(true);
        ui_->createMobileAccountButton->hide();
        ui_->quitDomainButton->hide();
        if (isCreateMobileAccount_) {
            ui_->createMobileAccountTipsLabel->show();
            setLabel(ui_->createMobileAccountTipsLabel,
                     "移动账号已创建成功，需要重启机器并登录后，账号才能生效！", kSystemBlue);
        }
    }
}

std::optional<std::string> JoinDomainStatusWindowController::fetchDomainAccount() {
    std::optional<std::string> account = ducene::fetchDomainAccount(appLog);
    DuceneHelperManager::sharedInstance().setDomainAccount(account);
    return account;
}

bool JoinDomainStatusWindowController::isShowCreateMobileAccount() {
    std::optional<std::string> account = DuceneHelperManager::sharedInstance().domainAccount();
    if (!account || account->empty()) account = fetchDomainAccount();
    if (!account || account->empty()) return false;
    return homeFolderMissing(*account);
}

void JoinDomainStatusWindowController::mainButtonAction() {
    if (isJoinDomain_) {
        quitDomain();
        return;
    }
    isCreateMobileAccount_ = true;
    if (joinMainWindowController_ == nullptr)
        joinMainWindowController_ = new DuceneMainWindowController(this);
    joinMainWindowController_->showAtwindow(this);
}

void JoinDomainStatusWindowController::createMobileAccountButtonAction() {
    isCreateMobileAccount_ = true;
    startProgress(ui_->progressIndicator);
    WindowGuard guard(this);
    DuceneHelperManager::sharedInstance().createMobileAccountWithCompletion(
        [guard, this](bool) { onMain(guard, [this] { loadDomainView(); }); });
}

void JoinDomainStatusWindowController::quitDomainButtonAction() {
    quitDomain();
}

void JoinDomainStatusWindowController::quitDomain() {
    setLabel(ui_->tipsLabel, "正在退域...", kBlack);
    startProgress(ui_->progressIndicator);
    // One leave at a time: the visible buttons come back with the answer.
    ui_->mainButton->setEnabled(false);
    ui_->quitDomainButton->setEnabled(false);
    onMainAfter(this, 2500ms, [this] {
        WindowGuard guard(this);
        DuceneHelperManager::sharedInstance().helper().quitDomainWithCompletion([guard, this](int reply) {
            onMain(guard, [this, reply] {
                Ui::JoinDomainStatusWindowController& ui = *this->ui_;
                stopProgress(ui.progressIndicator);
                if (reply == 0) {
                    ui.mainButton->setText(QStringLiteral("入    域"));
                    setLabel(ui.tipsLabel, "当前机器退域成功", kBlack);
                    this->isJoinDomain_ = false;
                    ui.mainButton->setEnabled(true);
                    ui.mainButton->show();
                    ui.createMobileAccountTipsLabel->hide();
                    ui.createMobileAccountButton->hide();
                    ui.quitDomainButton->hide();
                    return;
                }
                setLabel(ui.tipsLabel, "当前机器退域失败", kBlack);
                if (!ui.mainButton->isHidden()) ui.mainButton->setEnabled(true);
                if (!ui.quitDomainButton->isHidden()) ui.quitDomainButton->setEnabled(true);
            });
        });
    });
}

}  // namespace ducene
