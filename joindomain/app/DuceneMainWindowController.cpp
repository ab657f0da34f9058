#include "DuceneMainWindowController.h"

#include <unistd.h>

#include <QCloseEvent>
#include <QEvent>
#include <filesystem>
#include <mutex>

#include "DomainJoinFiles.h"
#include "DuceneHelperManager.h"
#include "JoinDomainManualSettingInfoWindow.h"
#include "WindowSupport.h"
#include "joindomain/helper/CommandRun.h"
#include "joindomain/helper/JoinDomainUtil.h"
#include "ui_DuceneMainWindowController.h"

namespace ducene {

using namespace std::chrono_literals;

namespace {

std::mutex resourcesMutex;
std::string resourcesOverride;

bool fileExists(const std::string& path) {
    std::error_code ec;
    return std::filesystem::is_regular_file(path, ec);
}

}  // namespace

DuceneMainWindowController::DuceneMainWindowController(QWidget* parent)
    : QWidget(parent, closeOnlyWindowFlags()), ui_(std::make_unique<Ui::DuceneMainWindowController>()) {
    ui_->setupUi(this);
    setAttribute(Qt::WA_DeleteOnClose, false);
    connect(ui_->joinDomainButton, &QPushButton::clicked, this, [this] { joinDomainButtonAction(); });
    connect(ui_->settingButton, &QPushButton::clicked, this, [this] { settingButtonAction(); });
    // Return in either field sends the join, as the button does.
    connect(ui_->accountTextField, &QLineEdit::returnPressed, this, [this] { joinDomainButtonAction(); });
    connect(ui_->passwordTextField, &QLineEdit::returnPressed, this, [this] { joinDomainButtonAction(); });
    windowDidLoad();
}

DuceneMainWindowController::~DuceneMainWindowController() = default;

std::string DuceneMainWindowController::resourcesFolder() {
    {
        std::lock_guard lock(resourcesMutex);
        if (!resourcesOverride.empty()) return resourcesOverride;
    }
    // <bundle>/Contents/MacOS/<app> -> <bundle>/Contents/Resources
    std::error_code ec;
    std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (exe.parent_path().parent_path() / "Resources").string();
}

void DuceneMainWindowController::setResourcesFolder(std::string folder) {
    std::lock_guard lock(resourcesMutex);
    resourcesOverride = std::move(folder);
}

void DuceneMainWindowController::windowDidLoad() {
    stopProgress(ui_->progressIndicator);
    ui_->tipsLabel->clear();
    fetchDomainInfos();
}

void DuceneMainWindowController::showAtwindow(QWidget* parent) {
    showAtWindow(this, parent);
}

void DuceneMainWindowController::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow()) windowDidBecomeMain();
}

void DuceneMainWindowController::closeEvent(QCloseEvent* event) {
    QWidget::closeEvent(event);
    emit closed();
    // The status window becomes main again and reads the state afresh.
    if (QWidget* owner = parentWidget()) owner->activateWindow();
}

void DuceneMainWindowController::windowDidBecomeMain() {
    if (DuceneHelperManager::sharedInstance().hasDomainInfos()) fillDomainComboBox();
}

void DuceneMainWindowController::fillDomainComboBox() {
    ui_->domainComboBox->clear();
    for (const archive::Dictionary& info : DuceneHelperManager::sharedInstance().domainInfos()) {
        const std::string name = textOf(info, "name");
        if (!name.empty()) ui_->domainComboBox->addItem(QString::fromStdString(name));
    }
    if (ui_->domainComboBox->count() > 0) ui_->domainComboBox->setCurrentIndex(0);
}

void DuceneMainWindowController::fetchDomainInfos() {
    setLabel(ui_->tipsLabel, "正在获取域信息...");
    startProgress(ui_->progressIndicator);
    std::string tips;
    DomainInfoRead read = readDomainInfos();
    switch (read.status) {
        case DomainInfoRead::Status::Missing:
            appLog("Failed to retrieve domain information because no policy was issued", sorrel::kLogError);
            tips = "未获取到任何域信息";
            break;
        case DomainInfoRead::Status::Unreadable:
            appLog("Failed to get domain information because of a format error", sorrel::kLogError);
            break;
        case DomainInfoRead::Status::Ok: {
            const std::string wifi = textOf(read.infos.front(), "wifissid");
            if (!wifi.empty()) ssid_ = wifi;
            DuceneHelperManager::sharedInstance().setDomainInfos(read.infos);
            fillDomainComboBox();
            appLog("Fetch Domain infos for servers successfully.", sorrel::kLogInfo);
            break;
        }
    }
    loadViewForFailedWithTips(tips);
    ui_->accountTextField->setFocus();
}

void DuceneMainWindowController::setTips(const std::string& text) {
    setLabel(ui_->tipsLabel, text);
}

void DuceneMainWindowController::loadViewForFailedWithTips(const std::string& tips) {
    onMain(this, [this, tips] {
        setTips(tips);
        stopProgress(ui_->progressIndicator);
        ui_->joinDomainButton->setEnabled(true);
    });
}

std::optional<std::string> DuceneMainWindowController::Command(const std::string& program,
                                                               const std::vector<std::string>& args) {
    return sorrel::outputUnlessError(sorrel::runCommand(program, args, {}, sorrel::kShortCommandDeadline));
}

void DuceneMainWindowController::joinDomainButtonAction() {
    ui_->joinDomainButton->setEnabled(false);
    ui_->accountTextField->clearFocus();
    ui_->passwordTextField->clearFocus();
    const std::string account = ui_->accountTextField->text().toStdString();
    const std::string password = ui_->passwordTextField->text().toStdString();
    const std::string domain = ui_->domainComboBox->currentText().toStdString();
    if (account.empty()) {
        ui_->accountTextField->setPlaceholderText(QStringLiteral("账号不能为空"));
        ui_->joinDomainButton->setEnabled(true);
        return;
    }
    if (password.empty()) {
        ui_->passwordTextField->setPlaceholderText(QStringLiteral("密码不能为空"));
        ui_->joinDomainButton->setEnabled(true);
        return;
    }
    if (domain.empty()) {
        setTips("域名不能为空");
        ui_->joinDomainButton->setEnabled(true);
        return;
    }
    std::optional<archive::Dictionary> entry;
    for (const archive::Dictionary& info : DuceneHelperManager::sharedInstance().domainInfos()) {
        if (textOf(info, "name") == domain) {
            entry = info;
            break;
        }
    }
    if (!entry) {
        setTips("获取不到当前域的信息");
        ui_->joinDomainButton->setEnabled(true);
        return;
    }

    prepareProfiles(account, password);

    appLog("Start Joining domain...", sorrel::kLogInfo);
    startProgress(ui_->progressIndicator);
    DuceneHelperManager& manager = DuceneHelperManager::sharedInstance();
    manager.setDomainAccount(account);
    manager.helper().initiateDomainToolWithInfo(*entry);
    setTips("正在检测帐号是否有效...");
    onMainAfter(this, 2000ms, [this, account, password] { checkAccount(account, password); });
}

void DuceneMainWindowController::prepareProfiles(const std::string& account, const std::string& password) {
    // Already on the issued Wi-Fi network: the profiles are not needed.
    std::optional<std::string> network = Command("networksetup", {"-getairportnetwork", "en0"});
    if (ssid_ && network && network->find(*ssid_) != std::string::npos) return;

    sorrel::HelperProtocol& helper = DuceneHelperManager::sharedInstance().helper();
    const std::string templates = resourcesFolder();
    const std::string ethernetTemplate = templates + "/ConnectEthernet.mobileconfig";
    if (fileExists(ethernetTemplate)) {
        std::optional<archive::Data> profile = ethernetProfile(ethernetTemplate, account, password);
        std::optional<std::string> staged =
            profile ? saveProfile("ConnectEthernet.mobileconfig", *profile) : std::nullopt;
        helper.ConnectEthernetWithUsername(account, password, staged, [](bool) {});
    }
    // Without an issued SSID there is no Wi-Fi network to prepare.
    const std::string wifiTemplate = templates + "/ConnectWiFi.mobileconfig";
    if (ssid_ && fileExists(wifiTemplate)) {
        std::optional<archive::Data> profile = wifiProfile(wifiTemplate, *ssid_, account, password);
        std::optional<std::string> staged =
            profile ? saveProfile("ConnectWiFi.mobileconfig", *profile) : std::nullopt;
        appLog("DomainTool::update mobileconfig result: " + std::to_string(staged ? 1 : 0), sorrel::kLogInfo);
        helper.ConnectWiFiWithSSID(*ssid_, account, password, staged, [](bool) {});
    }
}

void DuceneMainWindowController::checkAccount(const std::string& account, const std::string& password) {
    WindowGuard guard(this);
    DuceneHelperManager::sharedInstance().helper().checkDomainAccount(
        account, password, [guard, this, account](std::optional<std::string> error) {
            if (error) {
                onMain(guard, [this] {
                    loadViewForFailedWithTips("校验帐号和密码错误或网络不通请确保已连接内网！");
                });
                return;
            }
            onMain(guard, [guard, this, account] {
                setTips("账号有效，获取机器名...");
                onMainAfter(guard, 500ms, [this, account] { fetchComputerName(account); });
            });
        });
}

void DuceneMainWindowController::fetchComputerName(const std::string& account) {
    WindowGuard guard(this);
    DuceneHelperManager::sharedInstance().helper().fetchComputerNameWithAccount(
        account, [guard, this, account](std::optional<std::string> name) {
            if (!name) {
                onMain(guard, [this] { loadViewForFailedWithTips("无法获取入域机器名"); });
                return;
            }
            onMain(guard, [guard, this, account, name] {
                setTips("获取到机器名，正在入域...");
                onMainAfter(guard, 500ms, [this, account, name] { join(account, *name); });
            });
        });
}

void DuceneMainWindowController::join(const std::string& account, const std::string& name) {
    WindowGuard guard(this);
    DuceneHelperManager::sharedInstance().helper().joinWithComputerName(
        name, [guard, this, account, name](int reply) {
            if (reply != 0) {
                onMain(guard, [this] { loadViewForFailedWithTips("入域失败!"); });
                return;
            }
            onMain(guard, [guard, this, account, name] {
                setTips("入域成功，更新设备机器名...");
                onMainAfter(guard, 500ms, [this, account, name] { updateMachine(account, name); });
            });
        });
}

void DuceneMainWindowController::updateMachine(const std::string& account, const std::string& name) {
    WindowGuard guard(this);
    DuceneHelperManager::sharedInstance().helper().updateMachineWithComputerName(
        name, [guard, this, account](int reply) {
            if (reply != 0) {
                onMain(guard, [this] { loadViewForFailedWithTips("更新设备机器名失败!"); });
                return;
            }
            onMain(guard, [guard, this, account] {
                setTips("更新设备机器名成功，正在创建域账号用户...");
                DuceneHelperManager::sharedInstance().helper().createMobileAccountWithUid(
                    account, [guard, this](int) { onMain(guard, [this] { finishJoin(); }); });
            });
        });
}

void DuceneMainWindowController::finishJoin() {
    ui_->tipsLabel->clear();
    ui_->accountTextField->clear();
    ui_->passwordTextField->clear();
    stopProgress(ui_->progressIndicator);
    ui_->joinDomainButton->setEnabled(true);
    appLog("Join domain finish.", sorrel::kLogInfo);
    DuceneHelperManager::sharedInstance().helper().sendJoinDomainSuccessNotification();
    close();
}

void DuceneMainWindowController::settingButtonAction() {
    if (settingWindowController_ == nullptr)
        settingWindowController_ = new JoinDomainManualSettingInfoWindow(this);
    settingWindowController_->showAtwindow(this);
}

}  // namespace ducene
