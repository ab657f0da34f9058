#include "HuxMianViewCtrl.h"

#include <QFont>
#include <QProgressBar>
#include <QStackedWidget>
#include <filesystem>

#include "HuxNavigationViewCtrl.h"
#include "ServerAddressRequest.h"
#include "StringExtension.h"
#include "UserDefaults.h"
#include "common/account/AccountModel.h"
#include "common/logger/LogSink.h"
#include "common/server/ZemServerConfig.h"
#include "platform/paths/Paths.h"
#include "ui/screens/bridge/ZemNotificationKeys.h"
#include "ui/screens/controls/CustomButton.h"
#include "ui/screens/controls/Localizable.h"
#include "ui/screens/controls/ZemTextField.h"
#include "ui/screens/login/HuxLoginStateViewCtrl.h"
#include "ui/session/login/JsonFields.h"
#include "ui/session/login/RavAvizaLoginHelper.h"
#include "ui_HuxMianViewCtrl.h"

using hux::RavAvizaLoginHelper;

namespace {

using namespace std::chrono_literals;

constexpr const char* kFirstInstallMark = "firstInstallMark";
const QRgb kBusyBackground = 0xC7CFD9;
const QRgb kNormalBackground = 0x0070FF;
const QRgb kHoverBackground = 0x0454FF;

void log(const std::string& line) {
    common::processLog().writeLog(line);
}

QString localized(const char* key) {
    return Localizable::localizedString(QString::fromLatin1(key));
}

}  // namespace

HuxMianViewCtrl::HuxMianViewCtrl(QWidget* parent)
    : CustomViewControllerBase(parent), ui_(std::make_unique<Ui::HuxMianViewCtrl>()) {
    ui_->setupUi(this);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);
    connect(ui_->saveServerBtn, &QPushButton::clicked, this, [this] { setingSeverBtton(); });
    connect(ui_->loginBtn, &QPushButton::clicked, this, [this] { selectTab(1); });
    // Return in either field ends the editing as the Return key does.
    connect(ui_->domainOrIPLab, &QLineEdit::returnPressed, this, [this] { clickPassWordTextField(); });
    connect(ui_->PortLab, &QLineEdit::returnPressed, this, [this] { clickPassWordTextField(); });
    ui_->setSerProgress->setRange(0, 0);
    ui_->setSerProgress->hide();
    awakeFromNib();
}

HuxMianViewCtrl::~HuxMianViewCtrl() {
    auto& center = dispatch::NotificationCenter::defaultCenter();
    center.removeObserver(logoutObserver_);
    center.removeObserver(ticketObserver_);
    if (TicketCheckTimer_) TicketCheckTimer_->cancel();
}

void HuxMianViewCtrl::awakeFromNib() {
    if (RavAvizaLoginHelper::iflogin()) StartCheckTicketStatus();
    initBttonSatus();
    initLoadViews();
    selectTableItem();
    HuxAddNotifications();
}

QStackedWidget* HuxMianViewCtrl::mianTabView() const {
    return ui_->mianTabView;
}
ZemTextField* HuxMianViewCtrl::domainOrIPLab() const {
    return ui_->domainOrIPLab;
}
ZemTextField* HuxMianViewCtrl::PortLab() const {
    return ui_->PortLab;
}
CustomButton* HuxMianViewCtrl::saveServerBtn() const {
    return ui_->saveServerBtn;
}
QProgressBar* HuxMianViewCtrl::setSerProgress() const {
    return ui_->setSerProgress;
}
CustomButton* HuxMianViewCtrl::loginBtn() const {
    return ui_->loginBtn;
}
int HuxMianViewCtrl::selectedTab() const {
    return ui_->mianTabView->currentIndex();
}

HuxLoginStateViewCtrl* HuxMianViewCtrl::loginViewCtrl() {
    if (!loginViewCtrl_) loginViewCtrl_ = new HuxLoginStateViewCtrl(ui_->loginTab);
    return loginViewCtrl_;
}

HuxNavigationViewCtrl* HuxMianViewCtrl::NavigationViewCtrl() {
    if (!NavigationViewCtrl_) NavigationViewCtrl_ = new HuxNavigationViewCtrl(ui_->navigationTab);
    return NavigationViewCtrl_;
}

void HuxMianViewCtrl::initBttonSatus() {
    QFont font(QStringLiteral("HelveticaNeue-Light"));
    font.setPixelSize(14);
    for (auto [button, key] :
         {std::pair{ui_->saveServerBtn, "ConfigureServer"}, std::pair{ui_->loginBtn, "Login"}}) {
        // The title sits 10 px below the button's top, centred across it.
        const QSize size = button->minimumSize();
        button->setTitle(localized(key), QRect(0, 10, size.width(), size.height()),
                         Qt::AlignHCenter | Qt::AlignTop, font);
    }
}

void HuxMianViewCtrl::initLoadViews() {
    ui_->loginTab->layout()->addWidget(loginViewCtrl());
    QPointer<HuxMianViewCtrl> self(this);
    loginViewCtrl()->setTapLoginBlock([self] {
        if (self) self->selectTab(2);
    });
    ui_->navigationTab->layout()->addWidget(NavigationViewCtrl());
}

void HuxMianViewCtrl::HuxAddNotifications() {
    auto& center = dispatch::NotificationCenter::defaultCenter();
    QPointer<HuxMianViewCtrl> self(this);
    logoutObserver_ = center.addObserver(hux::UpdateLogoutStatusNotificationKey, nullptr,
                                         [self](const dispatch::Notification&) {
                                             dispatch::WorkQueue::main()->dispatch([self] {
                                                 if (self) self->selectTableItem();
                                             });
                                         });
    ticketObserver_ = center.addObserver(hux::TicketTimeOutNoticationKey, nullptr,
                                         [this](const dispatch::Notification& n) { exitAccount(n); });
}

void HuxMianViewCtrl::selectTableItem() {
    auto defaults = hux::userDefaults();
    if (!defaults->contains(kFirstInstallMark)) {
        defaults->setValue(kFirstInstallMark, true);
        defaults->sync();
    } else if (std::filesystem::exists(paths::serverConfigFile())) {
        auto& config = common::ZemServerConfig::sharedInstance();
        config.readServerConfig();
        ui_->domainOrIPLab->setText(QString::fromStdString(config.extranet_server().value_or("")));
        ui_->PortLab->setText(QString::number(static_cast<qlonglong>(config.extranet_port())));
    }
    selectTab(0);
}

void HuxMianViewCtrl::UpdateTableView() {
    QPointer<HuxMianViewCtrl> self(this);
    dispatch::WorkQueue::main()->dispatch([self] {
        if (self) self->selectTableItem();
    });
}

void HuxMianViewCtrl::exitAccount(const dispatch::Notification& notification) {
    // Runs on the posting thread: only files and the login service before the hop to the main queue.
    if (notification.object.integer() == std::optional<int64_t>(2)) {
        common::AccountModel::deleteCurrentModel();
        auto& session = RavAvizaLoginHelper::sharedInstance();
        session.createSoleidAndSave();
        session.existNimbrel();
        tipText(localized("TicketTips"));
    }
    UpdateTableView();
}

void HuxMianViewCtrl::tipText(const QString& text) {
    QPointer<HuxMianViewCtrl> self(this);
    dispatch::WorkQueue::main()->dispatch([self, text] {
        if (self) self->showErrorMessageBoxWithTitle(localized("Warnning"), text);
    });
}

bool HuxMianViewCtrl::isPureNumandCharacters(const QString& text) {
    return hux::isPureNumandCharacters(text, true);
}

void HuxMianViewCtrl::clickPassWordTextField() {
    if (!ui_->domainOrIPLab->text().isEmpty() && !ui_->PortLab->text().isEmpty()) setingSeverBtton();
}

void HuxMianViewCtrl::setingSeverBtton() {
    const QString host = ui_->domainOrIPLab->text();
    if (host.isEmpty() || !Extension::isValidatIP(host)) {
        tipText(localized("IPOrDomainNameNonconformance"));
        return;
    }
    const QString port = ui_->PortLab->text();
    if (!isPureNumandCharacters(port)) {
        tipText(localized("PortIncorrect"));
        return;
    }
    if (!hux::writeServerAddressRequest(host, port)) {
        // Nothing was saved, so a reachable server would lead to a login against the old one.
        log("设置服务器失败");
        tipText(localized("SaveServerFailed"));
        return;
    }
    log("设置服务器成功");
    setBusy(true);
    QPointer<HuxMianViewCtrl> self(this);
    dispatch::WorkQueue::main()->dispatchAfter(3s, [self] {
        if (!self) return;
        RavAvizaLoginHelper::sharedInstance().pingServerToResult([self](bool reached) {
            dispatch::WorkQueue::main()->dispatch([self, reached] {
                if (!self) return;
                self->setBusy(false);
                if (reached) {
                    self->selectTab(1);
                } else {
                    self->tipText(localized("ConnectServerFailed"));
                }
                emit self->serverTried(reached);
            });
        });
    });
}

void HuxMianViewCtrl::setBusy(bool busy) {
    CustomButton* button = ui_->saveServerBtn;
    button->setBackgroundNormalColor(QColor::fromRgb(busy ? kBusyBackground : kNormalBackground));
    button->setBackgroundHoverColor(QColor::fromRgb(busy ? kBusyBackground : kHoverBackground));
    button->setHasBorder(true);
    button->setEnabled(!busy);
    ui_->setSerProgress->setVisible(busy);
    button->update();
}

void HuxMianViewCtrl::selectTab(int index) {
    ui_->mianTabView->setCurrentIndex(index);
    emit tabSelected(index);
}

void HuxMianViewCtrl::StartCheckTicketStatus() {
    if (TicketCheckTimer_) TicketCheckTimer_->cancel();
    createCheckTicketTimer();
}

void HuxMianViewCtrl::createCheckTicketTimer() {
    if (!timerCheckQueue_) timerCheckQueue_ = dispatch::WorkQueue::create(kTimerCheckQueueLabel);
    QPointer<HuxMianViewCtrl> self(this);
    TicketCheckTimer_ = dispatch::TimerSource::create(timerCheckQueue_, 0s, 3s, [self] {
        if (!RavAvizaLoginHelper::iflogin()) return;
        RavAvizaLoginHelper::sharedInstance().checkTicketStatus([self](hux::Reply reply, hux::Error error) {
            if (error) {
                log("[ZemDetailWindow] RavAviza Check ticket error:" + error->failureReason);
                return;
            }
            const hux::Json json = reply.value_or(hux::Json());
            log("[ZemDetailWindow] RavAviza Check ticket response msg:" +
                hux::fields::text(json, "msg").value_or("(null)"));
            const hux::Json* data = hux::fields::member(json, "data");
            if (hux::fields::integer(json, "ret") == std::optional<int64_t>(0) && data &&
                hux::fields::integer(*data, "state") == std::optional<int64_t>(0)) {
                dispatch::WorkQueue::main()->dispatch([self] {
                    if (!self) return;
                    self->closeCheckTicketStatus();
                    self->selectTab(2);
                });
            }
        });
    });
    TicketCheckTimer_->resume();
}

void HuxMianViewCtrl::closeCheckTicketStatus() {
    if (TicketCheckTimer_) TicketCheckTimer_->cancel();
}

bool HuxMianViewCtrl::ticketPollRunning() const {
    return TicketCheckTimer_ && !TicketCheckTimer_->isCancelled();
}
